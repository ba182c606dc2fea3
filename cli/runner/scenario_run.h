// scenario_run.h - a job run from its scenario, on the device's virtual clock.
#pragma once

#include "cli/runner/job.h"
#include "cli/runner/screen.h"

#include <array>
#include <functional>
#include <string>
#include <ostream>
#include <string>
#include <vector>

namespace runner {

// What a run leaves behind besides the transcript.
struct RunResult {
    int status = 0;                                   // the runner's exit status
    bool reached_end_of_input = false;                // the tool still ran when the lines ran out
    std::vector<std::array<std::string, 6>> end_rows; // the list view's rows then
    ScreenView end_screen;                            // and the screen
    std::string data_file_host_path; // where tapwatcherdata.txt belongs on the host
};

// Runs a loaded job from its scenario, writing the transcript. Messages for
// the person at the terminal (a stall, a root that cannot be made) go to
// `errors`. Returns the exit status.
int RunJob(Job& job, Transcript& transcript, std::ostream& errors, RunResult* result = nullptr);

// Runs a scenario text on a device profile text (empty: the built-in
// profile) under `exe` (empty: the profile's), on a fresh temporary device
// root that is removed afterwards. For round trips of other tools: the data
// file the tool wrote and the rows it showed when the input ended.
struct ScenarioRun {
    int status = 0;
    bool data_file_written = false;
    std::string data_file; // its bytes
    bool reached_end_of_input = false;
    std::vector<std::array<std::string, 6>> end_rows;
    std::string transcript;
};
bool RunScenarioText(const std::string& profile_text, const std::string& scenario_text,
                     const std::string& exe, ScenarioRun& run, std::string& error,
                     Format format = Format::Text);

// The same for the scenario read from SCENARIO_FD (left open), its lines read as they run and
// no transcript kept, so that memory does not grow with the scenario, on ROOT, an empty
// folder the caller made and removes: STATUS is the run's exit status, and READ is given
// the host path of the data file the tool wrote ("" when none).
bool RunScenarioFile(const std::string& profile_text, int scenario_fd, const std::string& exe,
                     const std::string& root, int& status,
                     const std::function<void(const std::string&)>& read, std::string& error);

} // namespace runner
