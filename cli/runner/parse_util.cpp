// parse_util.cpp - lines, words and numbers of the runner's input files.
#include "cli/runner/parse_util.h"

#include "device/device.h"

namespace runner {

// Blanks around a word or value; a stray CR counts as one.
static bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && Blank(s[b]))
        ++b;
    while (e > b && Blank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool IsDevicePath(std::string_view v) {
    return v.size() >= 2 && device::Widen(v).size() < MAX_PATH && v[0] == '\\' &&
           v.back() != '\\' && v.back() != '/';
}

std::string_view MeaningfulPart(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    size_t hash = line.find('#');
    if (hash != std::string_view::npos)
        line = line.substr(0, hash);
    return Trim(line);
}

std::vector<SourceLine> MeaningfulLines(std::string_view text) {
    std::vector<SourceLine> out;
    ForEachMeaningfulLine(text, [&out](const SourceLine& l) {
        out.push_back(l);
        return true;
    });
    return out;
}

void SplitWord(std::string_view s, std::string_view& word, std::string_view& rest) {
    s = Trim(s);
    size_t i = 0;
    while (i < s.size() && !Blank(s[i]))
        ++i;
    word = s.substr(0, i);
    rest = Trim(s.substr(i));
}

bool ParseNumber(std::string_view s, uint64_t max, uint64_t& value) {
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty())
        return false;
    uint64_t v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = (unsigned)(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = (unsigned)(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = (unsigned)(c - 'A' + 10);
        else
            return false;
        if (d > max || v > (max - d) / base)
            return false;
        v = v * base + d;
    }
    value = v;
    return true;
}

std::string Lowered(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c + 32);
    return r;
}

std::string Where(const std::string& file, int line, const std::string& what) {
    return file + ":" + std::to_string(line) + ": " + what;
}

bool CheckExeOption(const char* program, const std::string& value, std::string& error) {
    if (IsDevicePath(value))
        return true;
    error = std::string(program) +
            ": --exe: expected a full device path such as \\Program Files\\tapwatcher.exe, "
            "got \"" +
            value + "\"";
    return false;
}

} // namespace runner
