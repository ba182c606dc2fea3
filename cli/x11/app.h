// app.h - tapwatcher-x11: the tool's own WinMain on a device whose keyboard
// and hot-key table are an X server's, whose clock is real and whose screen
// is an X window.
#pragma once

#include <string>
#include <vector>

namespace x11 {

// Exit statuses of the program itself; otherwise it exits with the tool's code.
constexpr int kExitBadArgs = 2;     // a bad argument: nothing ran
constexpr int kExitNoDisplay = 3;   // the display cannot be opened or lacks XTEST
constexpr int kExitDisplayLost = 1; // the display went away while the tool ran
constexpr int kExitHost = 4;        // the host failed a write under the device root

struct Options {
    std::string exe = "\\Program Files\\tapwatcher.exe"; // --exe
    std::string root = "tapwatcher-device";              // --root
    std::string display;                                 // --display; empty: $DISPLAY
    bool modifier_hot_keys = true;                       // --modifier-hot-keys
    bool help = false;
    bool version = false;
};

// Reads the arguments (without the program name); false with a one-line `error`.
bool ParseArgs(const std::vector<std::string>& args, Options& options, std::string& error);

std::string UsageText();

// Runs the tool on the display until it exits; the transcript goes to
// standard output. Returns the exit status.
int Run(const Options& options);

// The command: arguments, --help, --version, then Run.
int Main(int argc, char** argv);

} // namespace x11
