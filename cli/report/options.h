// options.h - tapwatcher-report's options: the one list that --help, the manual page's
// OPTIONS section and the bash completion are all made from.
//
// To add an option: add its row to kOptions below and handle it in ParseArgs (cli.cpp).
// --help prints the table; the build makes the manual page
// (docs/man/tapwatcher-report.1.in) and the bash completion from it (tools/clidoc.cpp);
// tests/install/man_check.sh fails when the manual page and --help disagree.
#pragma once

#include "optiondoc.h"

namespace report {

// The options, in the order --help and the manual page list them.
inline constexpr cli::OptionDoc kOptions[] = {
    {"--svg", "", "OUT", "file:svg", "write the occupancy grid as an SVG picture"},
    {"--scenario", "", "OUT", "file:scn",
     "write a scenario for tapwatcher-sim that replays the key events"},
    {"--profile", "", "OUT", "file:profile",
     "write a device profile for tapwatcher-sim: a \"taken = ...\" line for\n"
     "each F row, and the start tick of the capture"},
    {"--help", "-h", "", "", "show this help and exit"},
    {"--version", "", "", "", "show the version and the source revision and exit"},
};

// The command: its options, and the operand, the data file.
inline constexpr cli::CommandDoc kCommand = {"tapwatcher-report", kOptions, "FILE", "file"};

} // namespace report
