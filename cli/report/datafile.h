// datafile.h - reader of the data file that the tool saves on exit.
//
// The file is narrow ASCII text: the header line, then one line per row of the event log,
// each line six fields separated by TAB and ended by CR LF. Every cell must be one the tool
// can write; anything else is reported with its line number. What a file picks up on its
// travels (LF line ends, a byte-order mark, UTF-16) is read, with a warning that names it;
// a last line without its line end is a file cut short, and that line is left out. The file
// is read as a stream, a row at a time, in memory that does not grow with the file.
#pragma once

#include "cli/common/keys.h"

#include <cstdint>
#include <functional>
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

enum class RowKind : std::uint8_t {
    Press,   // "D": a key went down
    Release, // "U": a key came up
    Taken,   // "F": a combination the tool could not register
    Quiet,   // tick only: the quiet mark that closes a burst
};

// One row of the event log, as read from one line of the file.
struct Row {
    int line = 0;          // line number in the file; the header is line 1
    std::int32_t tick = 0; // tick count as printed, signed 32-bit
    std::uint16_t vk = 0;  // virtual-key code, 0 for a quiet mark
    RowKind kind = RowKind::Quiet;
    std::uint8_t mods = 0; // modifier set, kMod* bits
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

// Fills BUFFER with up to SIZE bytes of the file and returns how many; 0 at its end. Throws
// DataFileError (line 0) when the file cannot be read.
using ByteSource = std::function<std::size_t(char* buffer, std::size_t size)>;

// The longest line read: the tool's lines are at most 31 bytes, so anything longer is not
// one of them (and a file of no line ends, /dev/zero, is refused at once).
inline constexpr std::size_t kMaxLineBytes = 1024;

// Reads a data file a row at a time, in memory that does not grow with the file.
class DataFileReader {
  public:
    // Reads from SOURCE, which must outlive the reader.
    explicit DataFileReader(ByteSource source);

    // The next row into ROW; false at the end of the file. Throws DataFileError at the first
    // bad line.
    bool Next(Row& row);

    // What was read in spite of the rules, one entry per kind, by line; complete once Next
    // has returned false.
    const std::vector<Warning>& Warnings() const { return warnings_; }

    // The line of the file left out because the file was cut short there; 0 when whole.
    int CutLine() const { return cut_line_; }

  private:
    bool FillText();
    bool NextLine(std::string_view& text, bool& unended);
    bool NextCommonRow(Row& row);
    void Finish();
    void DetectEncoding();

    ByteSource source_;
    std::string raw_; // bytes read and not yet decoded
    std::size_t raw_at_ = 0;
    bool raw_end_ = false;
    std::string text_; // decoded text; [text_at_, text_end_) is not yet split into lines
    std::size_t text_at_ = 0;
    std::size_t text_end_ = 0;
    int utf16_ = 0;          // 0 narrow, 1 little-endian, 2 big-endian
    std::string utf16_name_; // "UTF-16 little-endian text (...)" for its messages
    int decoded_lines_ = 1;  // line of the next decoded unit, for a UTF-16 error
    bool started_ = false;
    bool done_ = false;
    int line_ = 0;          // the last line split off
    int lf_only_ = 0;       // lines ended by LF alone
    int first_lf_only_ = 0; // the first of them
    bool last_unended_ = false;
    int cut_line_ = 0;
    std::vector<Warning> warnings_;
};

// Parses the bytes of a whole data file; throws DataFileError at the first bad line. What
// was read in spite of the rules is added to WARNINGS, one entry per kind, when given.
std::vector<Row> ParseDataFile(std::string_view bytes, std::vector<Warning>* warnings = nullptr);

} // namespace report
