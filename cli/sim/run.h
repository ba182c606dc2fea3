// run.h - tapwatcher-sim: boots a simulated device from a profile, runs the
// tool's own WinMain on it, drives it from a scenario or the keyboard, and
// writes the transcript.
#pragma once

#include "device/device.h"
#include "cli/sim/scenario.h"
#include "cli/sim/transcript.h"

#include <array>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

namespace runner {

// Exit statuses of the runner itself; otherwise it exits with the tool's code.
constexpr int kExitBadInput = 2; // bad argument, profile or scenario: nothing ran
constexpr int kExitStalled = 3;  // the tool stopped making progress

// The device root used without --root, relative to the current directory.
constexpr const char* kDefaultRoot = "tapwatcher-device";

struct Options {
    std::string device;              // --device: profile file; empty: the built-in profile
    std::string exe;                 // --exe: the tool's device path; empty: the profile's
    std::string root = kDefaultRoot; // --root: host folder holding the device's files
    std::string scenario;            // file, "-" for standard input; empty: none given
    bool help = false;
    bool version = false;
};

// Reads the arguments (without the program name). False, with a one-line
// `error`, for an unknown option, a missing value or a second scenario.
bool ParseArgs(const std::vector<std::string>& args, Options& options, std::string& error);

std::string UsageText();
std::string VersionText();

// A job ready to run: everything read and checked.
struct Job {
    sim::Profile profile;     // with root and exe as they will be used
    std::string profile_name; // "built-in" or the profile file as given
    Scenario scenario;        // the scenario
};

// Reads the profile and the scenario the options name into `job`. False,
// with `error` = "FILE:LINE: what is wrong" (or "FILE: why" for a file that
// cannot be read), when anything is wrong. `interactive` says that no
// scenario was given and standard input is a terminal; the scenario is then
// empty. `stdin_is_terminal` is passed in so tests can choose.
bool LoadJob(const Options& options, bool stdin_is_terminal, Job& job, bool& interactive,
             std::string& error);

// What a run leaves behind besides the transcript.
struct RunResult {
    int status = 0;                                   // the runner's exit status
    bool reached_end_of_input = false;                // the tool still ran when the lines ran out
    std::vector<std::array<std::string, 6>> end_rows; // the list view's rows then
    std::string data_file_host_path; // where tapwatcherdata.txt belongs on the host
};

// Runs a loaded job from its scenario, writing the transcript. Messages for
// the person at the terminal (a stall, a root that cannot be made) go to
// `errors`. Returns the exit status.
int RunJob(const Job& job, Transcript& transcript, std::ostream& errors,
           RunResult* result = nullptr);

// Does the whole job for the options: load, then run from the scenario or
// interactively. Returns the exit status.
int Run(const Options& options, std::ostream& transcript, std::ostream& errors = std::cerr);

// The command: argument handling, --help, --version, then Run.
int Main(int argc, char** argv);

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
                     const std::string& exe, ScenarioRun& run, std::string& error);

// Shared by the scenario and the interactive runs: makes the device's folders
// (the root, the executable's folder, read-only files that are missing) and
// hooks the transcript to the device. False, with `error`, when a folder
// cannot be made.
bool PrepareDevice(sim::Device& dev, const Job& job, Transcript& transcript, std::string& error);

// The device folder of a device path ("\Program Files" for
// "\Program Files\x.exe", "\" for "\x.exe").
std::u16string DeviceFolder(std::u16string_view path);

} // namespace runner
