// scenario_run.h - a job run from its scenario, on the device's virtual clock.
#pragma once

#include "cli/sim/job.h"
#include "cli/sim/screen.h"

#include <array>
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

} // namespace runner
