// datafile.h - reader of the data file that the tool saves on exit.
//
// The file is narrow ASCII text: the header line, then one line per row of the event log,
// each line six fields separated by TAB and ended by CR LF. Every cell must be one the tool
// can write; anything else is reported with its line number. What a file picks up on its
// travels (LF line ends, a lost last line end, a byte-order mark, UTF-16) is read, with a
// warning that names it.
#pragma once

#include "cli/common/keys.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace report {

// Modifier set bits, the modifier keys' codes and the modifier bit of a key
// (cli/common/keys.h).
using keys::kModAlt;
using keys::kModCtrl;
using keys::kModShift;
using keys::kVkAlt;
using keys::kVkCtrl;
using keys::kVkShift;
using keys::ModifierOfKey;

inline constexpr std::string_view kHeader = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n";

enum class RowKind {
    Press,   // "D": a key went down
    Release, // "U": a key came up
    Taken,   // "F": a combination the tool could not register
    Quiet,   // tick only: the quiet mark that closes a burst
};

// One row of the event log, as read from one line of the file.
struct Row {
    int line = 0;          // line number in the file; the header is line 1
    std::int32_t tick = 0; // tick count as printed, signed 32-bit
    RowKind kind = RowKind::Quiet;
    unsigned vk = 0;   // virtual-key code, 0 for a quiet mark
    unsigned mods = 0; // modifier set, kMod* bits
};

// A line that the tool cannot have written.
class DataFileError : public std::runtime_error {
  public:
    // An error about LINE of the data file.
    DataFileError(int line, const std::string& what) : std::runtime_error(what), line_(line) {}
    // Line of the data file the error is about.
    int Line() const { return line_; }

  private:
    int line_;
};

// Something about the file that was read anyway: LINE is 0 for the file as a whole.
struct Warning {
    int line = 0;
    std::string what;
};

// Parses the bytes of a whole data file; throws DataFileError at the first bad line. What
// was read in spite of the rules is added to WARNINGS, one entry per kind, when given.
std::vector<Row> ParseDataFile(std::string_view bytes, std::vector<Warning>* warnings = nullptr);

} // namespace report
