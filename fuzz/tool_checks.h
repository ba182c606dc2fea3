// tool_checks.h - what must hold after any input to the running tool: the
// texts of its rows, the data file it saves, and the hot keys it registers
// and gives back. Used by the message fuzzer and the soak run; a failed check
// prints what it found and aborts.
#pragma once

#include "device/device.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace fuzzcheck {

// Prints the message on stderr and aborts the process.
[[noreturn]] void Fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One row of the tool's list view, rendered as the data file holds it:
// six fields joined by TAB, ended by CR LF.
std::string RowLine(const device::ListView& lv, int row);

// Checks the rows of the tool's list view on a device whose clock started at
// `start_tick`.
class LogChecker {
  public:
    explicit LogChecker(uint32_t start_tick) : start_tick_(start_tick) {}
    // Every row now in the tool's list view: six cells, each a text the tool
    // can write for that kind of row, the tick no later than the device's.
    void Check(device::Device& dev);
    // The data file at `host_path` holds the header and exactly the rows now
    // in the list view, in order.
    void CheckSavedFile(device::Device& dev, const std::string& host_path);
    uint64_t rows_checked() const { return rows_checked_; }

  private:
    void CheckRow(const device::ListView& lv, int row, uint64_t now);
    uint32_t start_tick_;
    uint64_t rows_checked_ = 0;
};

// The tool's list view on the device, or NULL when there is none.
device::ListView* ToolListView(device::Device& dev);

// From the device's journal (which must be on): every hot-key identifier
// the main window registered or unregistered is in 0-2047, every
// registration names the combination its identifier stands for, and when
// the shutdown posts its quit message the main window holds none.
void CheckHotKeyCalls(const device::Device& dev);

// True for a reader's input that can be written back unchanged: valid UTF-8
// in which every CR ends a line.
bool WritableBack(std::string_view text);
// Lines of a text, the last one counted without its line end.
size_t CountLines(std::string_view text);

// A scratch device root for a fuzz target, made on first use and removed
// with everything in it when the process exits.
const std::string& ScratchRoot();

} // namespace fuzzcheck
