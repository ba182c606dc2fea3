// replay.h - turning a data file back into input for the simulated device (a scenario that
// replays its key events, a device profile that takes the combinations its "F" rows list),
// and checking what the device made of it against the file.
#pragma once

#include "datafile.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace report {

// The tool's device path for a replay: pass-through and capture-only, both saving on exit.
inline constexpr const char* kReplayExe = "\\Program Files\\Wtapwatcher.exe";
inline constexpr const char* kReplayExeCaptureOnly = "\\Program Files\\WtapwatcherL.exe";

struct Replay {
    std::string scenario;           // scenario text for tapwatcher-sim
    std::string profile;            // device profile text
    std::string exe;                // the tool's device path the profile names
    std::uint32_t start_tick = 0;   // the device's tick when the tool starts
    int key_events = 0;             // press and release lines in the scenario
    std::vector<int> left_out;      // lines of key rows the scenario cannot express
    std::map<int, std::string> why; // lines whose row the replay may not make the same, and why
};

// Builds both texts from the rows; key rows the device keyboard cannot make are left out,
// each with a comment naming its line.
Replay BuildReplay(const std::vector<Row>& rows, const std::string& source,
                   const std::string& exe = kReplayExe);

// A row of the file that the replay did not make the same.
struct Difference {
    int line = 0;           // line of the file; 0 for a row only the replay made
    std::string file_row;   // the file's row in words; empty for a row only the replay made
    std::string replay_row; // the replay's row in words; empty when it made none
    std::string why;
};

// The file's rows against the rows the replay made.
struct Verdict {
    std::size_t same = 0;                // rows the same
    std::vector<Difference> differences; // in file order
};

// Compares the rows (taken rows without their ticks, which the sweep's speed decides; the
// rows the replay left out are not expected).
Verdict CompareReplay(const std::vector<Row>& file, const std::vector<Row>& replayed,
                      const Replay& replay);

// A row in words: "Ctrl+A down at 9120", "quiet mark at 12250".
std::string RowText(const Row& row);

// Runs a scenario on a fresh simulated device with a profile, under EXE; the data file the
// tool saved, or false with ERROR.
using ReplayRunner =
    std::function<bool(const std::string& profile, const std::string& scenario,
                       const std::string& exe, std::string& data_file, std::string& error)>;

} // namespace report
