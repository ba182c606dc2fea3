// files.h - the simulated device's files, kept under a host folder (the device root).
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Win32 error codes the file system gives that platform.h does not name.

namespace device {

class Device;

// Whether opens beneath the root use openat2 (true, where the kernel has it)
// or walk with O_NOFOLLOW; tests turn it off to prove the walk.
void UseOpenat2(bool on);

class FileSystem {
  public:
    FileSystem(Device& dev, std::string host_root, std::vector<std::u16string> read_only,
               int64_t disk_free);
    ~FileSystem();
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // Win32 semantics; on failure the Win32 error code is stored in `err`
    // (the caller sets the thread's last error from it). `err` is 0 after a
    // plain success, and ERROR_ALREADY_EXISTS after a CREATE_ALWAYS or
    // OPEN_ALWAYS that found the file already there (that call succeeds, and
    // Windows sets the last error all the same).
    HANDLE Create(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD attrs,
                  DWORD& err);
    BOOL Write(HANDLE h, LPCVOID buf, DWORD n, LPDWORD written, DWORD& err);
    BOOL Close(HANDLE h, DWORD& err);
    // Closes every handle still open (the tool's process has ended).
    void CloseAll();

    // The host path for a device path ("\\Program Files\\x" -> root/Program Files/x);
    // each existing component is matched case-insensitively. Empty when the
    // path is not a valid absolute device path or the device has no root.
    std::string HostPath(std::u16string_view device_path) const;
    // Makes the folder of a device path exist on the host (the runner uses it
    // for the executable's folder), mkdir -p style; false when it cannot.
    bool MakeFolder(std::u16string_view device_folder);
    // Bytes the device still has free; < 0 when unlimited.
    int64_t DiskFree() const;
    // Makes the executable's folder on the host when a file is first created
    // in it, so a run that saves nothing leaves nothing (the runner sets it;
    // off, a missing folder is a missing folder).
    bool make_exe_folder = false;

  private:
    struct Impl;
    Impl* impl_;
};

} // namespace device
