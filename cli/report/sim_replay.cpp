// sim_replay.cpp - running a replay on the simulated device (tapwatcher-sim's runner).
#include "sim_replay.h"

#include "cli/runner/scenario_run.h"

namespace report {

// Runs the scenario through the runner's in-memory entry point.
bool RunReplayOnDevice(const std::string& profile, const std::string& scenario,
                       const std::string& exe, std::string& data_file, std::string& error) {
    runner::ScenarioRun run;
    if (!runner::RunScenarioText(profile, scenario, exe, run, error))
        return false;
    if (run.status != 0) {
        error = "the run ended with status " + std::to_string(run.status);
        return false;
    }
    if (!run.data_file_written) {
        error = "the tool saved no data file";
        return false;
    }
    data_file = std::move(run.data_file);
    return true;
}

} // namespace report
