// sim_replay.h - running a replay on the simulated device, for tapwatcher-report's check of
// the scenario it writes. The one part of the report that sees the device; it is a library
// of its own, so that the rest of the report stays device-free.
#pragma once

#include "replay.h"

#include <string>

namespace report {

// Runs the scenario read from SCENARIO_FD on a fresh simulated device booted from PROFILE,
// with the tool at EXE, its lines read as they run; READ is given the data file the tool
// saved. False, with ERROR, when the device could not run it or the tool saved no data file.
bool RunReplayOnDevice(const std::string& profile, int scenario_fd, const std::string& exe,
                       const std::function<void(const ByteSource&)>& read, std::string& error);

} // namespace report
