// job.h - what the scenario run and the interactive run share: the job they
// are given, the runner's own exit statuses, and the device made ready for it.
#pragma once

#include "cli/runner/input.h"
#include "cli/runner/scenario.h"
#include "cli/runner/transcript.h"
#include "device/device.h"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

// The runner's name in its messages.
constexpr const char* kProgram = "tapwatcher-sim";

// Exit statuses of the runner itself; otherwise it exits with the tool's code.
constexpr int kExitBadInput = 2; // bad argument, profile or scenario: nothing ran
constexpr int kExitStalled = 3;  // the tool stopped making progress
constexpr int kExitHost = 4;     // the host failed a write (the device folder, the transcript)

// A job ready to run: everything read and checked.
struct Job {
    device::Profile profile;  // with root and exe as they will be used
    std::string profile_name; // "built-in" or the profile file as given
    Scenario scenario;        // the scenario (empty for an interactive run)
    // The owner named for each of profile.taken ("phone" for "taken = F3
    // phone"); empty: the shell.
    std::vector<std::string> taken_owners;
    // A scenario that runs as its lines arrive (a pipe, a terminal): the rest
    // of it, read by PullLine. NULL when the whole scenario was read first.
    std::unique_ptr<LineReader> stream;
    // Whether a run given a RunResult copies the list view's rows into it at the end of
    // input (a copy of the whole log).
    bool end_rows = true;
};

// Reads the job's stream until a line adds to its scenario: Line, or End at
// the end of input, or Bad with `error` for a bad line (or input that is not
// text).
LineReader::Result PullLine(Job& job, std::string& error);

// Follows the device for the transcript: the rows the tool adds (each at the
// tick it was added, marked when the tool's own synthesised key caused it),
// "Clear", key events another owner's hot key takes, keys that reach the rest
// of the system, message boxes, data files written, menu-bar taps, and writes
// the host refused. It listens to the device from its making to its end.
class DeviceWatch : public device::Observer {
  public:
    DeviceWatch(device::Device& dev, const Job& job, Transcript& t);
    ~DeviceWatch() override;
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Writes out the rows added since the last call.
    void Sync();
    // The device waits for input: rows written out.
    void Idle();
    // A menu-bar button was tapped.
    void MenuTap(std::u16string_view caption);
    // The host failed a write or an open under the device's folder.
    bool HostFault() const { return host_fault_; }
    // The owner of a hot key, as the transcript names it.
    std::string OwnerName(const device::HotKey& hk) const;

    // device::Observer
    void OnSystemKey(const device::SystemKey& k) override;
    void OnMessageBox(const device::MessageBoxRecord& b) override;
    void OnFileWritten(const std::string& path) override;
    void OnKeyTaken(uint8_t vk, bool down, bool synthesized, const device::HotKey& hk) override;
    void OnListChange(const device::Window& w, UINT msg, LRESULT result) override;
    void OnHostError(const std::string& what, const std::string& path, int host_errno,
                     int count) override;

  protected:
    device::Device& dev_;
    Transcript& t_;

  private:
    struct Pending {
        HWND list;
        int index;
        DWORD tick;
        std::string echo_of; // the tool's own key that made the row ("B up"), or empty
    };
    const Job& job_;
    std::vector<Pending> pending_;
    int rows_ = 0;
    bool host_fault_ = false;
    bool told_not_ready_ = false; // the first key before the tool was ready was said
    bool syncing_ = false;
    std::array<std::string, 6> cells_; // the row being written, its buffers kept
};

// Turns off the device's unbounded records (the DeviceWatch sees every event),
// writes the start (and a data file
// already there) and makes the read-only files that are missing (the device
// makes the executable's folder when it first writes a file there). False,
// with `error`, when a read-only file cannot be made.
bool PrepareDevice(device::Device& dev, const Job& job, Transcript& transcript, std::string& error);

// The device folder of a device path ("\Program Files" for
// "\Program Files\x.exe", "\" for "\x.exe").
std::u16string DeviceFolder(std::u16string_view path);

// The device path of the data file the tool at `exe` writes.
std::string DataFileDevicePath(const std::u16string& exe);

// The tool's list-view rows, cells as UTF-8.
std::vector<std::array<std::string, 6>> ListRows(device::Device& dev);

} // namespace runner
