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

#include "platform/sim/script.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
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

// Reads a scenario. False, with `error` = "FILE:LINE: what is wrong", at the
// first bad line; nothing of a bad scenario is meant to run.
bool ParseScenarioLines(std::string_view text, const std::string& filename,
                        std::vector<ScenarioLine>& lines, std::string& error);

// What the runner wants to happen around the steps of a scenario.
struct ScriptHooks {
    // Runs when a line other than `wait` or `show` is reached, before it acts.
    std::function<void(sim::Device&, const ScenarioLine&)> before_line;
    // Runs for each `show` line.
    std::function<void(sim::Device&, const ScenarioLine&)> show;
};

// Appends the steps of the lines to `script`. Every step carries the number
// of the line it came from, so the lines not run can be counted. The steps
// refer to `lines` and `hooks`, which must outlive the script's run.
void BuildScript(const std::vector<ScenarioLine>& lines, sim::Script& script,
                 const ScriptHooks& hooks = {});

// ParseScenarioLines and BuildScript in one: the steps of a scenario text
// (a `show` line becomes a Show step that does nothing).
bool ParseScenario(std::string_view text, const std::string& filename, sim::Script& script,
                   std::string& error);

// The distinct scenario line numbers of the steps a script has not run yet.
std::vector<int> LinesNotRun(const sim::Script& script);

// "8-10, 12" for a sorted list of line numbers.
std::string LineList(const std::vector<int>& lines);

} // namespace runner
