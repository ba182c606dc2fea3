// harness.h - running the tool on a simulated device from a test.
#pragma once

#include "app/tapwatcher.h"
#include "host/launch.h"
#include "platform/sim/device.h"
#include "platform/sim/listview.h"
#include "platform/sim/script.h"

#include <array>
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
sim::Profile QuietProfile(const std::string& root);

// The tool's list view on the device (NULL when there is none).
sim::Window* ToolList(sim::Device& dev);
// Its rows, cells as UTF-8 text.
std::vector<Row> Rows(sim::Device& dev);
std::string RowText(const Row& r); // "tick|41|D||C|" form for messages

// The journal entries with this name, in order.
std::vector<sim::JournalEntry> Calls(const sim::Device& dev, const std::string& what);

// Reads a host file whole ("" when missing).
std::string ReadFile(const std::string& path);

// Key codes of a few keys.
constexpr uint8_t kShift = 0x10, kCtrl = 0x11, kAlt = 0x12, kA = 0x41;

} // namespace testing_support
