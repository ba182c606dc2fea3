// harness.h - running the tool on a simulated device from a test.
#pragma once

#include "tool/tapwatcher.h"
#include "cli/runner/launch.h"
#include "device/device.h"
#include "device/listview.h"
#include "tests/harness/script.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

using Row = std::array<std::string, 6>;

// A temporary host folder, removed with everything in it at the end.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
};

// A profile with nothing taken by the shell (the built-in one holds the
// hardware buttons) and a temporary device root.
device::Profile QuietProfile(const std::string& root);

// The tool's list view on the device (NULL when there is none).
device::Window* ToolList(device::Device& dev);
// Its rows, cells as UTF-8 text.
std::vector<Row> Rows(device::Device& dev);
std::string RowText(const Row& r); // "tick|41|D||C|" form for messages

// The journal entries with this name, in order.
std::vector<device::JournalEntry> Calls(const device::Device& dev, const std::string& what);

// Reads a host file whole ("" when missing).
std::string ReadFile(const std::string& path);

// Key codes of a few keys.
constexpr uint8_t kShift = 0x10, kCtrl = 0x11, kAlt = 0x12, kA = 0x41;

} // namespace testing_support

namespace testing_support {

// The journal entries whose names appear in `names`, in order, from entry
// `from` up to (not including) entry `to`.
std::vector<device::JournalEntry> Filter(const device::Device& dev,
                                         const std::vector<std::string>& names, size_t from = 0,
                                         size_t to = SIZE_MAX);

// Compares a call sequence with the expected one, Wine-style: each expected
// call is "what(arg, arg" as the journal writes it (windows named as by
// JournalLines), "*" matching any one argument and arguments left off
// matching anything. On a mismatch the message names the first divergence and
// lists both sequences.
::testing::AssertionResult SameSequence(const std::vector<device::JournalEntry>& got,
                                        const std::vector<std::string>& want);

// The journal from entry `from` up to (not including) `to`, one line per
// entry with every argument, the tool's windows named main, list and bar and
// its window procedure WndProc: "SetFocus(list) -> NULL".
std::vector<std::string> JournalLines(const device::Device& dev, size_t from = 0,
                                      size_t to = SIZE_MAX);
// Compares two such line sequences whole, printing both from the first
// difference on.
::testing::AssertionResult SameLines(const std::vector<std::string>& got,
                                     const std::vector<std::string>& want);

} // namespace testing_support

namespace testing_support {

// A device made from a profile (nothing taken by the shell unless a test
// says so), the journal on, and a script to drive the tool.
struct Tool {
    TempDir tmp;
    device::Profile profile;
    std::unique_ptr<device::Device> dev;
    device::Script script;
    int code = -1;

    explicit Tool(const std::function<void(device::Profile&)>& tweak = {});
    // Runs the tool's WinMain from start to exit with the script.
    int Run();
    // Host path of a device path under this device's root.
    std::string Host(const std::string& device_path) const;
};

// The hot keys `owner` holds by its own calls, replayed from the journal:
// each successful RegisterHotKey (a later one of the same id replacing it)
// not undone by a successful UnregisterHotKey, up to the tool's quit message
// (what it still held when it quit) or the end of the journal, by id.
std::vector<device::HotKey> HeldHotKeys(const device::Device& dev, HWND owner);
// The tool's main window, as the journal saw it created.
HWND MainFromJournal(const device::Device& dev);

} // namespace testing_support
