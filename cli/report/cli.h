// cli.h - the tapwatcher-report command, callable in-process.
#pragma once

#include "replay.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace report {

// Exit status of the command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitWriteFailed = 1; // an output could not be written
inline constexpr int kExitBadInput = 2;    // bad arguments or a bad data file

// Runs the command with ARGS (without the program name): the data file "-" is read from
// IN, the report and an output named "-" go to OUT, messages to ERR. RUN_REPLAY runs the
// written scenario on a simulated device to verify it; without it the replay is written
// unverified. Returns the exit status.
int RunReport(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
              std::ostream& err, const ReplayRunner& run_replay = nullptr);

} // namespace report
