// profile.h - device profiles: the file a simulated device is booted from.
//
//   platform = PocketPC        # SPI_GETPLATFORMTYPE text, or none (the query fails)
//   dpi = 96
//   screen = 240x320
//   taskbar = 26               # pixels
//   menubar = 26               # pixels, or none (no menu bar can be made)
//   commctrl = yes             # no: no list view
//   start-tick = 0             # GetTickCount when the tool starts
//   exe = \Program Files\tapwatcher.exe
//   taken = Shift+Alt+0x72     # repeatable; Any+0xC1 for all eight modifier sets;
//                              # a name after it names the owner: taken = F3 phone
//   running-instance = no
//   read-only = \Program Files\tapwatcherdata.txt   # repeatable
//   disk-free = 1000000        # bytes, or unlimited
//   hotkey-queue = top         # WM_HOTKEY in front of waiting messages, or back
//   synthesised-keys = hot-keys  # keybd_event keys meet the hot keys, or system
//   modifier-hot-keys = yes    # a modifier's own press meets the hot keys, or no
//   register-cost = 0          # microseconds each RegisterHotKey takes
#pragma once

#include "device/device.h"

#include <string>
#include <string_view>
#include <vector>

namespace runner {

// A profile file larger than this is refused before it is read further.
constexpr size_t kMaxProfileBytes = 1 << 20;
// The largest screen the transcript draws, in characters: the screen's pixels
// over the character width and line height at its dpi.
constexpr int kMaxTextColumns = 2048, kMaxTextLines = 1024;

// Reads a device profile into `profile`. Every setting the text does not make
// keeps the built-in profile's value, except `taken` and `read-only`, which
// list all of their own (none when the text lists none). `profile.root` is
// left as it was. False, with `error` = "FILE:LINE: what is wrong", when a
// line is bad; `profile` is then unspecified.
// `owners`, when given, gets the owner named for each taken combination
// ("taken = Ctrl+F3 phone"; empty when none is named), in the order of
// profile.taken.
bool ParseProfile(std::string_view text, const std::string& filename, device::Profile& profile,
                  std::string& error, std::vector<std::string>* owners = nullptr);

// The built-in Pocket PC profile the runner uses without --device: the
// device's own, running the tool as \Program Files\tapwatcher.exe, with the
// tool's main window as the running instance when one is asked for.
device::Profile BuiltinDeviceProfile();

// A one-line summary for the transcript: screen, density, platform, bars,
// and the hot-key queue, synthesised-key and modifier hot-key settings.
std::string DescribeProfile(const device::Profile& profile);

} // namespace runner
