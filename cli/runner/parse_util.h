// parse_util.h - what the scenario and profile readers share: lines,
// comments, words and numbers.
#pragma once

#include "cli/common/text.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

// A full device path: starts with a backslash, names something after the last
// one, and fits MAX_PATH with its terminator, counted in device (UTF-16) units.
bool IsDevicePath(std::string_view v);

// Checks an --exe value: false, with "PROGRAM: --exe: expected a full device
// path ..." in `error`, when it is not a full device path.
bool CheckExeOption(const char* program, const std::string& value, std::string& error);

// One line of an input file, with its comment ('#' to the end) and outer
// blanks removed; `number` counts from 1.
struct SourceLine {
    int number;
    std::string_view text;
};

// The lines of a text that hold something after their comment is removed.
// Lines end at LF; a CR before it is dropped.
std::vector<SourceLine> MeaningfulLines(std::string_view text);

// The same lines, one at a time: `fn(const SourceLine&)` returns false to
// stop. False when it stopped.
template <typename Fn> bool ForEachMeaningfulLine(std::string_view text, Fn&& fn);

// One line of MeaningfulLines: `line` without its end, comment and blanks.
std::string_view MeaningfulPart(std::string_view line);

template <typename Fn> bool ForEachMeaningfulLine(std::string_view text, Fn&& fn) {
    int number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = MeaningfulPart(text.substr(pos, end - pos));
        pos = end + 1;
        ++number;
        if (!line.empty() && !fn(SourceLine{number, line}))
            return false;
    }
    return true;
}

// The text without blanks (space, tab) at either end.
std::string_view Trim(std::string_view s);

// The first word of `s` and what follows it (trimmed).
void SplitWord(std::string_view s, std::string_view& word, std::string_view& rest);

// A whole number written in decimal, or in hexadecimal after "0x", from 0 to
// `max`. False for anything else (signs, blanks, other characters, overflow).
bool ParseNumber(std::string_view s, uint64_t max, uint64_t& value);

// ASCII lower case.
std::string Lowered(std::string_view s);

// Outside text made safe to echo (cli/common/text.h).
using text::Printable;

// "FILE:LINE: what" (the form of every input error).
std::string Where(const std::string& file, int line, const std::string& what);

} // namespace runner
