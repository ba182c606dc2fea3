// datafile.cpp - reader of the data file. The grammar of the tool's own lines:
//
//   line 1   SysTime TAB VK TAB U/D TAB Shift TAB Ctrl TAB Alt CR LF
//   key row  TICK TAB VK TAB (D|U) TAB (S|) TAB (C|) TAB (A|) CR LF
//   taken    TICK TAB VK TAB F TAB (S|) TAB (C|) TAB (A|) CR LF     (VK at most FF)
//   quiet    TICK TAB TAB TAB TAB TAB CR LF
//
// TICK is a signed 32-bit number exactly as "%d" prints it (no sign but '-', no leading
// zero, no "-0"); VK is "%02X" of a 16-bit code: upper-case hex, two digits, or three or
// four without a leading zero.
//
// Read in spite of the grammar, each with one warning: lines that end with LF alone (a git
// or mail round trip), a last line without its line end (a copy cut short; if what is left
// of it is no longer a whole row, it is left out), a UTF-8 byte-order mark, and UTF-16 text
// (a file saved again by an editor) as long as every character is ASCII. A CR inside a line
// and every cell the tool cannot write stay errors.
#include "datafile.h"

#include <algorithm>
#include <cstdio>

namespace report {

namespace {

constexpr std::string_view kHeaderText = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt";

// Field text for a message, with bytes that would not print shown as \xNN.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}

// A decimal digit, in any locale.
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Value of an upper-case hex digit, -1 for anything else.
int HexValue(char c) {
    if (IsDigit(c))
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The tick field: a signed 32-bit number exactly as "%d" prints it.
std::int32_t ParseTick(std::string_view text, int line) {
    auto bad = [&](const char* why) {
        throw DataFileError(line, "bad tick " + Quoted(text) + ": " + why);
    };
    if (text.empty())
        bad("empty");
    bool negative = text.front() == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty())
        bad("no digits");
    for (char c : digits) {
        if (!IsDigit(c))
            bad("not a decimal number");
    }
    if (digits.size() > 1 && digits.front() == '0')
        bad("leading zero");
    if (negative && digits == "0")
        bad("negative zero");
    if (digits.size() > 10)
        bad("out of the signed 32-bit range");
    std::int64_t value = 0;
    for (char c : digits)
        value = value * 10 + (c - '0');
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        bad("out of the signed 32-bit range");
    return static_cast<std::int32_t>(value);
}

// The VK field: "%02X" of a 16-bit code.
unsigned ParseKeyCode(std::string_view text, int line) {
    auto bad = [&](const char* why) {
        throw DataFileError(line, "bad key code " + Quoted(text) + ": " + why);
    };
    if (text.size() < 2)
        bad("fewer than two hex digits");
    unsigned value = 0;
    for (char c : text) {
        int digit = HexValue(c);
        if (digit < 0)
            bad("not upper-case hex");
        value = value * 16 + static_cast<unsigned>(digit);
        if (value > 0xFFFF)
            bad("beyond FFFF");
    }
    if (text.size() > 2 && text.front() == '0')
        bad("leading zero");
    return value;
}

// One modifier field: the letter, or empty.
bool ParseModifier(std::string_view text, char letter, const char* column, int line) {
    if (text.empty())
        return false;
    if (text.size() == 1 && text.front() == letter)
        return true;
    throw DataFileError(line, std::string(column) + " field " + Quoted(text) + " is neither " +
                                  letter + " nor empty");
}

// One line after the header, without its CR LF.
Row ParseRow(std::string_view text, int line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = text.find('\t', start);
        fields.push_back(text.substr(start, tab - start));
        if (tab == std::string_view::npos)
            break;
        start = tab + 1;
    }
    if (fields.size() != 6) {
        throw DataFileError(line, std::to_string(fields.size()) +
                                      (fields.size() == 1 ? " field" : " fields") +
                                      "; a row has 6 fields separated by TAB");
    }

    Row row;
    row.line = line;
    row.tick = ParseTick(fields[0], line);

    if (fields[1].empty()) {
        for (int i = 2; i < 6; ++i) {
            if (!fields[i].empty()) {
                throw DataFileError(line, "row without key code has " + Quoted(fields[i]) +
                                              " in field " + std::to_string(i + 1) +
                                              "; a quiet mark is a tick and five empty fields");
            }
        }
        row.kind = RowKind::Quiet;
        return row;
    }

    row.vk = ParseKeyCode(fields[1], line);
    std::string_view ud = fields[2];
    if (ud == "D") {
        row.kind = RowKind::Press;
    } else if (ud == "U") {
        row.kind = RowKind::Release;
    } else if (ud == "F") {
        row.kind = RowKind::Taken;
    } else if (ud.empty()) {
        throw DataFileError(line, "key code without D, U or F");
    } else {
        throw DataFileError(line, "U/D field " + Quoted(ud) + " is not D, U or F");
    }
    if (ParseModifier(fields[3], 'S', "Shift", line))
        row.mods |= kModShift;
    if (ParseModifier(fields[4], 'C', "Ctrl", line))
        row.mods |= kModCtrl;
    if (ParseModifier(fields[5], 'A', "Alt", line))
        row.mods |= kModAlt;
    if (row.kind == RowKind::Taken && row.vk > 0xFF) {
        throw DataFileError(line, "taken combination with key code " + std::string(fields[1]) +
                                      "; the tool only registers codes 00 to FF");
    }
    return row;
}

} // namespace

namespace {

// The bytes as narrow text: a UTF-16 file (with or without its byte-order mark) is turned
// into the ASCII it holds, and a UTF-8 byte-order mark is dropped. Each is named in WARNINGS.
std::string_view NarrowText(std::string_view bytes, std::string& storage,
                            std::vector<Warning>& warnings) {
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
        warnings.push_back({0, "starts with a UTF-8 byte-order mark; read without it"});
        return bytes.substr(3);
    }
    bool bom_le = bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE;
    bool bom_be = bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF;
    bool bare_le = !bom_le && !bom_be && bytes.size() >= 2 && at(0) != 0 && at(1) == 0;
    bool bare_be = !bom_le && !bom_be && bytes.size() >= 2 && at(0) == 0 && at(1) != 0;
    if (!bom_le && !bom_be && !bare_le && !bare_be)
        return bytes;
    bool little = bom_le || bare_le;
    std::string name =
        std::string("UTF-16 ") + (little ? "little" : "big") + "-endian text" +
        (bom_le || bom_be ? " (byte-order mark " + std::string(little ? "FF FE" : "FE FF") + ")"
                          : " without a byte-order mark");
    if (bytes.size() % 2 != 0)
        throw DataFileError(0, "is " + name +
                                   " with an odd number of bytes; the tool writes "
                                   "narrow ASCII text");
    int line = 1;
    for (std::size_t i = (bom_le || bom_be) ? 2 : 0; i < bytes.size(); i += 2) {
        unsigned unit = little ? at(i) | at(i + 1) << 8 : at(i) << 8 | at(i + 1);
        if (unit > 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%04X", unit);
            throw DataFileError(line, "character U+" + std::string(hex) + " in " + name +
                                          "; the tool writes narrow ASCII text");
        }
        storage += static_cast<char>(unit);
        if (unit == '\n')
            ++line;
    }
    warnings.push_back({0, "is " + name + "; read as the ASCII text it holds"});
    return storage;
}

} // namespace

// Reads every line of the file; throws DataFileError at the first bad one.
std::vector<Row> ParseDataFile(std::string_view bytes, std::vector<Warning>* warnings_out) {
    std::vector<Warning> warnings;
    std::string storage;
    std::string_view text_bytes = NarrowText(bytes, storage, warnings);
    if (text_bytes.empty())
        throw DataFileError(1, "missing header: the file is empty");

    std::vector<Row> rows;
    std::size_t pos = 0;
    int lf_only = 0;       // lines ended by LF alone
    int first_lf_only = 0; // the first of them
    int lines = 0;
    for (int line = 1; pos < text_bytes.size(); ++line) {
        lines = line;
        std::size_t lf = text_bytes.find('\n', pos);
        bool last_unended = lf == std::string_view::npos;
        std::string_view text = text_bytes.substr(pos, last_unended ? lf : lf - pos);
        pos = last_unended ? text_bytes.size() : lf + 1;
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        } else if (!last_unended) {
            if (lf_only++ == 0)
                first_lf_only = line;
        }
        if (text.find('\r') != std::string_view::npos)
            throw DataFileError(line, "CR inside the line");

        if (line == 1) {
            if (text != kHeaderText) {
                throw DataFileError(line, "missing header: expected "
                                          "SysTime<TAB>VK<TAB>U/D<TAB>Shift<TAB>Ctrl<TAB>Alt");
            }
        } else if (!last_unended) {
            rows.push_back(ParseRow(text, line));
        } else {
            // A copy cut short keeps what it has: a whole row is read, a cut one left out.
            try {
                rows.push_back(ParseRow(text, line));
            } catch (const DataFileError& e) {
                warnings.push_back({line, "the last line has no line end and is cut short (" +
                                              std::string(e.what()) + "); left out"});
                continue;
            }
        }
        if (last_unended) {
            warnings.push_back(
                {line, "the last line has no line end (a copy cut short?); read anyway"});
        }
    }
    if (lf_only > 0) {
        int ended = lines - (text_bytes.back() == '\n' ? 0 : 1);
        std::string which = lf_only == ended ? "lines end"
                            : lf_only == 1   ? "1 line ends"
                                             : std::to_string(lf_only) + " lines end";
        warnings.push_back({first_lf_only, which + " with LF alone instead of CR LF; read anyway"});
        std::stable_sort(warnings.begin(), warnings.end(),
                         [](const Warning& a, const Warning& b) { return a.line < b.line; });
    }
    if (warnings_out)
        *warnings_out = std::move(warnings);
    return rows;
}

} // namespace report
