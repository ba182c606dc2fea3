// scenario.cpp - reading scenarios and turning them into device steps.
#include "cli/runner/scenario.h"

#include "cli/common/keys.h"
#include "cli/runner/parse_util.h"
#include "device/device.h"

#include <algorithm>

namespace runner {

bool Scenario::Parse(std::string text, const std::string& filename, std::string& error) {
    *this = Scenario{};
    text_ = std::move(text);
    bool ok = ForEachMeaningfulLine(text_, [&](const SourceLine& src) {
        return ParseInto(src.text, (uint64_t)(src.text.data() - text_.data()), src.number, filename,
                         error);
    });
    if (!ok) {
        *this = Scenario{};
        return false;
    }
    lines_.shrink_to_fit();
    keys_.shrink_to_fit();
    captions_.shrink_to_fit();
    return true;
}

bool Scenario::Add(std::string_view line, int number, const std::string& filename,
                   std::string& error) {
    std::string_view part = MeaningfulPart(line);
    if (part.empty())
        return true;
    const uint64_t at = text_.size();
    text_.append(part);
    if (!ParseInto(std::string_view(text_).substr(at), at, number, filename, error)) {
        text_.resize(at);
        return false;
    }
    return true;
}

void Scenario::Clear() {
    text_.clear();
    lines_.clear();
    keys_.clear();
    captions_.clear();
    long_lengths_.clear();
}

bool Scenario::ParseInto(std::string_view text, uint64_t text_at, int number,
                         const std::string& filename, std::string& error) {
    std::vector<uint8_t> combo;
    std::string why;
    const SourceLine src{number, text};
    auto fail = [&](const std::string& what) {
        error = Where(filename, src.number, what);
        return false;
    };
    std::string_view word, rest;
    SplitWord(src.text, word, rest);
    std::string cmd = Lowered(word);
    Line l;
    l.number = src.number;
    l.text_at = text_at;
    if (src.text.size() < kLongText)
        l.text_len = (uint32_t)src.text.size();
    else
        l.text_len = kLongText;
    auto one_key = [&]() {
        if (rest.empty())
            return fail(cmd + ": missing key name");
        if (rest.find_first_of(" \t") != std::string_view::npos)
            return fail(cmd + ": one key expected, got \"" + Printable(rest, 60) + "\"");
        uint8_t vk;
        if (!keys::ParseKey(rest, vk, why))
            return fail(cmd + ": " + why);
        l.nkeys = 1;
        l.key = vk;
        return true;
    };
    auto no_argument = [&]() {
        if (!rest.empty())
            return fail(cmd + " takes no argument, got \"" + Printable(rest, 60) + "\"");
        return true;
    };
    if (cmd == "wait") {
        l.kind = ScenarioLine::Wait;
        uint64_t ms;
        if (rest.empty())
            return fail("wait: missing milliseconds");
        if (!ParseNumber(rest, UINT32_MAX, ms))
            return fail("wait: bad number \"" + Printable(rest, 60) +
                        "\" (expected milliseconds, 0 to 4294967295)");
        l.arg = (uint32_t)ms;
    } else if (cmd == "press") {
        l.kind = ScenarioLine::Press;
        if (!one_key())
            return false;
    } else if (cmd == "release") {
        l.kind = ScenarioLine::Release;
        if (!one_key())
            return false;
    } else if (cmd == "type") {
        l.kind = ScenarioLine::Type;
        if (rest.empty())
            return fail("type: missing key combination");
        if (rest.find_first_of(" \t") != std::string_view::npos)
            return fail("type: one combination expected, such as Ctrl+Shift+A, got \"" +
                        Printable(rest, 60) + "\"");
        combo.clear();
        if (!keys::ParseCombo(rest, combo, why))
            return fail("type: " + why);
        // Each key appears once at most: no more than 256 of them.
        l.nkeys = (uint16_t)combo.size();
        if (combo.size() == 1) {
            l.key = combo[0];
        } else {
            l.arg = (uint32_t)keys_.size();
            keys_.insert(keys_.end(), combo.begin(), combo.end());
        }
    } else if (cmd == "button") {
        l.kind = ScenarioLine::Button;
        if (rest.empty())
            return fail("button: missing caption (Exit or Clear)");
        l.arg = (uint32_t)captions_.size();
        captions_.push_back(device::Widen(rest));
    } else if (cmd == "close") {
        l.kind = ScenarioLine::Close;
        if (!no_argument())
            return false;
    } else if (cmd == "show") {
        l.kind = ScenarioLine::Show;
        if (!no_argument())
            return false;
    } else {
        return fail("unknown line \"" + Printable(src.text, 60) +
                    "\" (expected wait, press, release, type, button, close or show)");
    }
    if (l.text_len == kLongText)
        long_lengths_[lines_.size()] = src.text.size();
    lines_.push_back(l);
    return true;
}

std::string_view Scenario::Text(size_t i) const {
    const Line& l = lines_[i];
    uint64_t len = l.text_len;
    if (len == kLongText)
        len = long_lengths_.at(i);
    return std::string_view(text_).substr(l.text_at, len);
}

ScenarioLine Scenario::Expanded(size_t i) const {
    ScenarioLine l;
    l.kind = KindOf(i);
    l.line = Number(i);
    l.text = std::string(Text(i));
    if (l.kind == ScenarioLine::Wait)
        l.ms = Ms(i);
    for (size_t k = 0; k < KeyCount(i); ++k)
        l.keys.push_back(Key(i, k));
    if (l.kind == ScenarioLine::Button)
        l.caption = Caption(i);
    return l;
}

std::string LineListFrom(const Scenario& scenario, size_t from) {
    std::string s;
    for (size_t i = from; i < scenario.size();) {
        size_t j = i;
        while (j + 1 < scenario.size() && scenario.Number(j + 1) == scenario.Number(j) + 1)
            ++j;
        if (!s.empty())
            s += ", ";
        s += std::to_string(scenario.Number(i));
        if (j > i)
            s += "-" + std::to_string(scenario.Number(j));
        i = j + 1;
    }
    return s;
}

} // namespace runner
