// job.h - what the scenario run and the interactive run share: the job they
// are given, the runner's own exit statuses, and the device made ready for it.
#pragma once

#include "cli/sim/scenario.h"
#include "cli/sim/transcript.h"
#include "device/device.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

// The runner's name in its messages.
constexpr const char* kProgram = "tapwatcher-sim";

// Exit statuses of the runner itself; otherwise it exits with the tool's code.
constexpr int kExitBadInput = 2; // bad argument, profile or scenario: nothing ran
constexpr int kExitStalled = 3;  // the tool stopped making progress

// A job ready to run: everything read and checked.
struct Job {
    sim::Profile profile;     // with root and exe as they will be used
    std::string profile_name; // "built-in" or the profile file as given
    Scenario scenario;        // the scenario (empty for an interactive run)
};

// Makes the device's folders (the root, the executable's folder, read-only
// files that are missing) and hooks the transcript to the device. False,
// with `error`, when a folder cannot be made.
bool PrepareDevice(sim::Device& dev, const Job& job, Transcript& transcript, std::string& error);

// The device folder of a device path ("\Program Files" for
// "\Program Files\x.exe", "\" for "\x.exe").
std::u16string DeviceFolder(std::u16string_view path);

// The device path of the data file the tool at `exe` writes.
std::string DataFileDevicePath(const std::u16string& exe);

// The tool's list-view rows, cells as UTF-8.
std::vector<std::array<std::string, 6>> ListRows(sim::Device& dev);

} // namespace runner
