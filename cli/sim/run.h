// run.h - tapwatcher-sim: boots a simulated device from a profile, runs the
// tool's own WinMain on it, drives it from a scenario or the keyboard, and
// writes the transcript.
#pragma once

#include "cli/runner/job.h"
#include "cli/runner/scenario_run.h"

#include <array>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

namespace runner {

// The device root used without --root, relative to the current directory.
constexpr const char* kDefaultRoot = "tapwatcher-device";

struct Options {
    std::string device;              // --device: profile file; empty: the built-in profile
    std::string exe;                 // --exe: the tool's device path; empty: the profile's
    std::string root = kDefaultRoot; // --root: host folder holding the device's files
    std::string scenario;            // file, "-" for standard input; empty: none given
    std::string serve;               // --serve: [ADDRESS:]PORT; empty: no page served
    Format format = Format::Text;    // --format text | jsonl
    bool line_buffered = false;      // --line-buffered: write each line out at once
    bool help = false;
    bool version = false;
};

// Reads the arguments (without the program name). False, with a one-line
// `error`, for an unknown option, a missing value or a second scenario.
bool ParseArgs(const std::vector<std::string>& args, Options& options, std::string& error);

std::string UsageText();
std::string VersionText();

// Reads the profile and the scenario the options name into `job`. False,
// with `error` = "FILE:LINE: what is wrong" (or "FILE: why" for a file that
// cannot be read), when anything is wrong. `interactive` says that no
// scenario was given and standard input is a terminal; the scenario is then
// empty. `stdin_is_terminal` is passed in so tests can choose.
bool LoadJob(const Options& options, bool stdin_is_terminal, Job& job, bool& interactive,
             std::string& error);

// Does the whole job for the options: load, then run from the scenario or
// interactively. Returns the exit status.
int Run(const Options& options, std::ostream& transcript, std::ostream& errors = std::cerr);

// The command: argument handling, --help, --version, then Run.
int Main(int argc, char** argv);

} // namespace runner
