// options.h - tapwatcher-x11's options: the one list that --help, the manual page's
// OPTIONS section and the bash completion are all made from.
//
// To add an option: add its row to kOptions below and handle it in ParseArgs (app.cpp).
// --help prints the table; the build makes the manual page (docs/man/tapwatcher-x11.1.in)
// and the bash completion from it (tools/clidoc.cpp); tests/install/man_check.sh fails
// when the manual page and --help disagree.
#pragma once

#include "cli/common/optiondoc.h"

namespace x11 {

// The options, in the order --help and the manual page list them.
inline constexpr cli::OptionDoc kOptions[] = {
    {"--exe", "", "DEVICE-PATH",
     "words:\\Program Files\\tapwatcher.exe|\\Program Files\\tapwatcherL.exe|"
     "\\Program Files\\Wtapwatcher.exe|\\Program Files\\WtapwatcherL.exe",
     "the tool's path on the device (default\n"
     "\\Program Files\\tapwatcher.exe); its name selects the\n"
     "variants: tapwatcherL.exe capture-only, Wtapwatcher.exe\n"
     "save-on-exit, WtapwatcherL.exe both"},
    {"--root", "", "DIR", "dir",
     "host folder holding the device's files (default\n"
     "./tapwatcher-device); a save-on-exit run writes\n"
     "DIR/Program Files/tapwatcherdata.txt"},
    {"--display", "", "NAME", "", "the X display (default: $DISPLAY)"},
    {"--modifier-hot-keys", "", "yes|no", "words:yes|no",
     "whether a modifier key's own press fires its hot key\n"
     "(yes, the default: Ctrl going down is a row \"11 D C\");\n"
     "no: Shift, Ctrl and Alt are never grabbed, their\n"
     "presses reach the focused window, and they show only\n"
     "as the S, C and A of other keys' rows"},
    {"--help", "-h", "", "", "show this help and exit"},
    {"--version", "", "", "", "show the version and the source revision and exit"},
};

// The command: its options, and no operand.
inline constexpr cli::CommandDoc kCommand = {"tapwatcher-x11", kOptions, "", ""};

} // namespace x11
