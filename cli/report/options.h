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
    {"--summary", "", "", "",
     "print only the counts and the findings; with several files or a\n"
     "folder: a line per file, then how many files show each finding,\n"
     "the taken combinations on some files but not all, and the keys\n"
     "with faults on which files"},
    {"--svg", "", "OUT", "file:svg", "write the grid of taken combinations as an SVG picture"},
    {"--timeline", "", "OUT", "file:svg",
     "write the key timeline as an SVG picture: a lane per key, a bar\n"
     "from each press to its release, quiet marks as lines (a long\n"
     "file: its first bursts, up to 2000 key events, and a note)"},
    {"--html", "", "OUT", "file:html",
     "write one self-contained page: the summary, both pictures, the\n"
     "findings linked to their rows, and the rows in a table (a long\n"
     "file: its first 5000 rows and those the findings link to); with\n"
     "several files or a folder: the same view of them as --summary"},
    {"--scenario", "", "OUT", "file:scn",
     "write a scenario for tapwatcher-sim that replays the key events,\n"
     "run it on the simulated device and compare the rows it makes\n"
     "with the file's (\"replay verified: N rows the same\", or the\n"
     "first rows that differ and why); the device's folder is a\n"
     "temporary one in $TMPDIR (/tmp without it), removed after"},
    {"--profile", "", "OUT", "file:profile",
     "write a device profile for tapwatcher-sim: a \"taken = ...\" line for\n"
     "each F row, the start tick of the capture and the executable"},
    {"--diff", "", "", "",
     "compare two data files, OLD and NEW: print each taken combination\n"
     "NEW holds that OLD did not (\"+ Ctrl+Alt+T\") and each it freed\n"
     "(\"- Shift+F3\"); exit 0 when the same, 1 when they differ"},
    {"--help", "-h", "", "", "show this help and exit"},
    {"--version", "", "", "", "show the version and the source revision and exit"},
};

// The command: its options, and the operands, the data files (or folders of them).
inline constexpr cli::CommandDoc kCommand = {"tapwatcher-report", kOptions, "FILE...", "file"};

} // namespace report
