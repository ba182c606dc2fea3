// scenario_script.h - scenario lines turned into the steps of a test script.
#pragma once

#include "cli/sim/scenario.h"
#include "tests/harness/script.h"

namespace runner {

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

} // namespace runner
