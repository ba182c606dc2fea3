// options.h - tapwatcher-sim's options: the one list that --help, the manual page's
// OPTIONS section and the bash completion are all made from.
//
// To add an option: add its row to kOptions below and handle it in ParseArgs (run.cpp).
// --help prints the table; the build makes the manual page (docs/man/tapwatcher-sim.1.in)
// and the bash completion from it (tools/clidoc.cpp); tests/install/man_check.sh fails
// when the manual page and --help disagree.
#pragma once

#include "cli/common/optiondoc.h"

namespace runner {

// The options, in the order --help and the manual page list them.
inline constexpr cli::OptionDoc kOptions[] = {
    {"--device", "", "PROFILE", "file:profile",
     "device profile file (default: the built-in Pocket PC,\n"
     "240x320, 96 dpi, the hardware buttons held by the shell)"},
    {"--exe", "", "DEVICE-PATH",
     "words:\\Program Files\\tapwatcher.exe|\\Program Files\\tapwatcherL.exe|"
     "\\Program Files\\Wtapwatcher.exe|\\Program Files\\WtapwatcherL.exe",
     "the tool's path on the device, e.g. \\Program Files\\Wtapwatcher.exe\n"
     "(default: the profile's exe, \\Program Files\\tapwatcher.exe);\n"
     "its name selects the variants: tapwatcherL.exe capture-only,\n"
     "Wtapwatcher.exe save-on-exit, WtapwatcherL.exe both"},
    {"--root", "", "DIR", "dir",
     "host folder that holds the device's files (default:\n"
     "./tapwatcher-device); the data file appears under the\n"
     "executable's folder there"},
    {"--serve", "", "[ADDRESS:]PORT", "",
     "drive the device from a browser page instead: serve it on\n"
     "ADDRESS (default 127.0.0.1; an IPv6 address in brackets,\n"
     "e.g. [::1]:8731) and PORT (0: any free port), print the\n"
     "page's address with its access token, and run on a\n"
     "real-time clock until the tool exits"},
    {"--format", "", "FORMAT", "words:text|jsonl",
     "text (default) or jsonl: one JSON object per event\n"
     "(docs/transcript.md)"},
    {"--line-buffered", "", "", "",
     "write each transcript line out at once (the default to a\n"
     "terminal; otherwise the transcript is buffered and written\n"
     "out whenever the runner waits for input, and at the end)"},
    {"--help", "-h", "", "", "show this help and exit"},
    {"--version", "", "", "", "show the version and the source revision and exit"},
};

// The command: its options, and the operand, a scenario file or - for standard input.
inline constexpr cli::CommandDoc kCommand = {"tapwatcher-sim", kOptions, "[SCENARIO]", "file:scn"};

} // namespace runner
