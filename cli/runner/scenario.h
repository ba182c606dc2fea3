// scenario.h - scenario files: what happens to the device, line by line.
//
//   wait MS          device time passes; timers fire when they fall due
//   press KEY        a key goes down
//   release KEY      a key goes up
//   type COMBO       Ctrl+Shift+A: the keys go down in order, then up in reverse
//   button NAME      tap the menu-bar button with that caption
//   close            the shell asks the tool's main window to close
//   show             print the screen as it stands
//
// '#' starts a comment; blank lines are ignored; keywords and key names are
// not case-sensitive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace runner {

struct ScenarioLine {
    enum Kind { Wait, Press, Release, Type, Button, Close, Show } kind = Wait;
    int line = 0;              // line number in its file, from 1
    std::string text;          // the line as written, without comment and outer blanks
    uint32_t ms = 0;           // Wait
    std::vector<uint8_t> keys; // Press, Release: one key; Type: the combination
    std::u16string caption;    // Button
};

// A whole scenario, read and checked, held compactly for long runs: its text
// kept once, and per line a fixed record of a few tens of bytes that refers
// to it (a long run holds millions of lines).
class Scenario {
  public:
    using Kind = ScenarioLine::Kind;

    // Reads a scenario. False, with `error` = "FILE:LINE: what is wrong", at
    // the first bad line, and the scenario left empty: nothing of a bad
    // scenario runs.
    bool Parse(std::string text, const std::string& filename, std::string& error);
    // Reads one more line, number `number` of its file (a blank line or a
    // comment adds nothing). False, with `error`, for a bad line, which is
    // not added.
    bool Add(std::string_view line, int number, const std::string& filename, std::string& error);
    // Forgets every line, keeping the room they took (a streamed scenario
    // forgets the lines it has run).
    void Clear();

    size_t size() const { return lines_.size(); }
    bool empty() const { return lines_.empty(); }
    Kind KindOf(size_t i) const { return (Kind)lines_[i].kind; }
    int Number(size_t i) const { return lines_[i].number; }
    uint32_t Ms(size_t i) const { return lines_[i].arg; } // Wait
    // Press, Release: one key; Type: the combination, in the order written.
    size_t KeyCount(size_t i) const { return lines_[i].nkeys; }
    uint8_t Key(size_t i, size_t k) const {
        const Line& l = lines_[i];
        return l.nkeys == 1 ? l.key : keys_[l.arg + k];
    }
    const std::u16string& Caption(size_t i) const { return captions_[lines_[i].arg]; } // Button
    // The line as written, without comment and outer blanks.
    std::string_view Text(size_t i) const;
    // Line i in the form of ScenarioLine.
    ScenarioLine Expanded(size_t i) const;

  private:
    bool ParseInto(std::string_view text, uint64_t text_at, int number, const std::string& filename,
                   std::string& error);
    struct Line {
        uint64_t text_at = 0;  // into text_
        uint32_t text_len = 0; // kLongText: in long_lengths_
        int32_t number = 0;
        uint32_t arg = 0; // Wait: ms; Button: index into captions_; Type: into keys_
        uint16_t nkeys = 0;
        uint8_t kind = 0;
        uint8_t key = 0; // the key when nkeys is 1
    };
    static constexpr uint32_t kLongText = UINT32_MAX;
    std::string text_;
    std::vector<Line> lines_;
    std::vector<uint8_t> keys_; // combinations of more than one key
    std::vector<std::u16string> captions_;
    std::unordered_map<size_t, uint64_t> long_lengths_; // line index -> text length
};

// "8-10, 12" for the numbers of lines `from` to the end of a scenario.
std::string LineListFrom(const Scenario& scenario, size_t from);

} // namespace runner
