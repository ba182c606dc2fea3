// replay.h - turning a data file back into input for the simulated device: a scenario that replays
// its key events, and a device profile that takes the combinations its "F" rows list.
#pragma once

#include "datafile.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace report {

// A row that cannot be replayed (a key code the device keyboard does not have).
class ReplayError : public std::runtime_error {
  public:
    // An error about LINE of the data file.
    ReplayError(int line, const std::string& what) : std::runtime_error(what), line_(line) {}
    // Line of the data file the error is about.
    int Line() const { return line_; }

  private:
    int line_;
};

struct Replay {
    std::string scenario;         // scenario text for tapwatcher-sim
    std::string profile;          // device profile text
    std::uint32_t start_tick = 0; // the device's tick when the tool starts
    int key_events = 0;           // press and release lines in the scenario
    std::vector<int> differences; // lines of key rows the replay will not make the same
};

// Builds both texts from the rows; throws ReplayError for a key code above 0xFF.
Replay BuildReplay(const std::vector<Row>& rows, const std::string& source);

} // namespace report
