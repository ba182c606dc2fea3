// cli.h - the tapwatcher-report command, callable in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace report {

// Exit status of the command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitWriteFailed = 1; // an output could not be written
inline constexpr int kExitBadInput = 2;    // bad arguments or a bad data file

// Runs the command with ARGS (without the program name); the report goes to OUT,
// messages to ERR. Returns the exit status.
int RunReport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace report
