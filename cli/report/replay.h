// replay.h - turning a data file back into input for the simulated device (a scenario that
// replays its key events, a device profile that takes the combinations its "F" rows list),
// and checking what the device made of it against the file.
#pragma once

#include "datafile.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace report {

// The tool's device path for a replay: pass-through and capture-only, both saving on exit.
inline constexpr const char* kReplayExe = "\\Program Files\\Wtapwatcher.exe";
inline constexpr const char* kReplayExeCaptureOnly = "\\Program Files\\WtapwatcherL.exe";

struct Replay {
    std::string scenario;           // scenario text for tapwatcher-sim (BuildReplay only)
    std::string profile;            // device profile text
    std::string exe;                // the tool's device path the profile names
    std::uint32_t start_tick = 0;   // the device's tick when the tool starts
    int key_events = 0;             // press and release lines in the scenario
    std::size_t taken = 0;          // distinct taken combinations
    std::vector<int> left_out;      // lines of key rows the scenario cannot express
    std::map<int, std::string> why; // lines whose row the replay may not make the same, and why
                                    // (BuildReplay only)
};

// Calls EACH with every row of the data file, in order, from the first each time it is
// called. Throws DataFileError.
using RowPass = std::function<void(const std::function<void(const Row&)>& each)>;

// Told of each row as the scenario passes it: whether it is left out, and why the replay
// may not make it the same ("" when it should).
using ReplayRowHook = std::function<void(const Row& row, bool left_out, const std::string& why)>;

// Writes the scenario of the rows to SCENARIO as they pass (two passes over ROWS: the facts
// the first lines need, then the lines) and returns the rest, HOOK told of each row; key rows
// the device keyboard cannot make are left out, each with a comment naming its line.
Replay WriteReplay(const RowPass& rows, const std::string& source, const std::string& exe,
                   std::ostream& scenario, const ReplayRowHook& hook = nullptr);

// Builds both texts from rows in memory.
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
    std::size_t differ = 0;              // differences found
    std::vector<Difference> differences; // the first of them, in file order
};

// Lines up the file's rows, given in order, with the rows the replay made, read as they are
// needed; a short look-ahead on each side, so memory does not grow with the rows.
class ReplayComparer {
  public:
    // NEXT gives the replay's next row (false at its end); KEEP: the differences kept.
    ReplayComparer(std::function<bool(Row&)> next, std::size_t keep);
    ~ReplayComparer();
    // The next row of the file the replay should make; WHY: why it may not ("" when none).
    void Add(const Row& row, const std::string& why);
    // Compares what is left.
    Verdict Finish();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Compares rows in memory (taken rows without their ticks, which the sweep's speed decides;
// the rows the replay left out are not expected).
Verdict CompareReplay(const std::vector<Row>& file, const std::vector<Row>& replayed,
                      const Replay& replay);

// A row in words: "Ctrl+A down at 9120", "quiet mark at 12250".
std::string RowText(const Row& row);

// Runs the scenario read from SCENARIO_FD (from its start; left open) on a fresh simulated
// device with a profile, under EXE, and gives READ the data file the tool saved, as a source
// of bytes; false with ERROR when the device could not run it or the tool saved no data file.
using ReplayRunner =
    std::function<bool(const std::string& profile, int scenario_fd, const std::string& exe,
                       const std::function<void(const ByteSource&)>& read, std::string& error)>;

} // namespace report
