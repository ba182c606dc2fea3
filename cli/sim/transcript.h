// transcript.h - what a person holding the device sees, one line per event,
// the device's tick first (as the tool prints it, with %d), in the manner of
// xev.
//
// Each line is flushed at once for a reader that follows the run live (a
// terminal, a pipe); into a regular file the lines go through the stream's
// buffer, flushed at the end of the run.
//
//   0 start: device built-in (240x320, 96 dpi, ...), exe \Program Files\tapwatcher.exe
//   1000 line 4: type Ctrl+A
//   1000 key A (0x41) down, mods Ctrl, synthesised
//   4000 screen at line 6 (show): rows 34-48 of 48, menu bar [Exit] [Clear]
//     +----------------------------------------+
//     |SysTime     VK  U… S… C… A…             |
//     ...
//   4000 message box "error": "Can't open file.(5)" [OK]
//   4000 data file written: tapwatcher-device/Program Files/tapwatcherdata.txt (1234 bytes)
//   4000 exit 0
#pragma once

#include "device/device.h"
#include "cli/sim/screen.h"

#include <functional>
#include <ostream>
#include <string>

namespace runner {

// The tick as the tool prints it: the 32-bit count as a signed decimal.
std::string TickText(DWORD tick);

// "key A (0x41) down, mods Ctrl, synthesised"
std::string DescribeSystemKey(const sim::SystemKey& key);
// "message box "error": "Can't open file.(5)" [OK]"
std::string DescribeMessageBox(const sim::MessageBoxRecord& box);

class Transcript {
  public:
    // Lines go to `out` (none when NULL) and to `on_line`, when set.
    explicit Transcript(std::ostream* out) : out_(out) {}

    // One event line: "TICK text".
    void Event(DWORD tick, const std::string& text);
    // An event line followed by the screen, each of its lines indented.
    void Screen(DWORD tick, const std::string& what, const ScreenView& view);

    std::function<void(const std::string& line)> on_line;
    // Flush after every line (see above); the command clears it when its
    // standard output is a regular file.
    bool flush_each_line = true;
    void Flush();

  private:
    void Write(const std::string& line);
    std::ostream* out_;
};

} // namespace runner
