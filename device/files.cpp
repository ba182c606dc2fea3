// files.cpp - the device's files: CreateFileW, WriteFile and CloseHandle over a
// host folder (the device root), with the read-only attribute and a disk-free
// limit modelled by the device itself (CI runs as root, so host permissions
// prove nothing).
//
// What it does not model (gap inventory):
//  - reading, seeking, deleting, renaming, attributes other than read-only,
//    hidden and system files, file times, overlapped I/O, security attributes
//    and template handles (both ignored);
//  - trailing dots and spaces in names are kept, not stripped as Windows does;
//    reserved names (CON, NUL, COM1...) are ordinary names here;
//  - non-ASCII case folding: names compare case-insensitively for ASCII only;
//  - a host write error (not the device's own disk-full limit) may leave part
//    of the data written;
//  - symbolic links under the root are followed as the host follows them;
//  - free space is counted in bytes, not in clusters;
//  - the profile's free space is what the device's writes may take, whatever the
//    root held at boot: emptying a file gives back only the bytes written to it
//    since boot, so a file an earlier run left makes no room.
//
// Where real platforms disagree, the choice made here:
//  - a path that does not start with a backslash gives ERROR_INVALID_NAME
//    (CE has no current folder and roots it; desktop Windows resolves it
//    against the current folder); so do "." and ".." components and empty ones;
//  - a whole path longer than MAX_PATH-1 units gives ERROR_FILENAME_EXCED_RANGE
//    (Wine does not check; what CE returns is unverified);
//  - '/' separates components like '\', as on desktop Windows;
//  - a read-only listed path counts as a read-only file only while it exists on
//    the host; creating it when missing succeeds, and from then on it is
//    read-only for every later open;
//  - a file created with FILE_ATTRIBUTE_READONLY becomes read-only for later
//    opens (the handle that created it may still write);
//  - CREATE_ALWAYS and OPEN_ALWAYS over an existing file succeed and set the
//    last error to ERROR_ALREADY_EXISTS, as Windows does; every other success
//    leaves the last error as it was;
//  - a write that does not fit in the free space writes nothing and fails with
//    ERROR_DISK_FULL (Windows may write part of it);
//  - faults.fail_write counts every WriteFile call since the device started,
//    failed ones included;
//  - handle values are never reused within a device's life, so a stale handle
//    is always unknown (ERROR_INVALID_HANDLE);
//  - a device without a host root has no storage: every CreateFileW fails with
//    ERROR_PATH_NOT_FOUND, so nothing is ever written outside a root.
#include "device/files.h"
#include "device/device.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef ERROR_TOO_MANY_OPEN_FILES
#define ERROR_TOO_MANY_OPEN_FILES 4L
#endif
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31L
#endif

namespace device {

namespace {

// ASCII upper-case of one unit; other units are left as they are.
WCHAR FoldUnit(WCHAR c) {
    return (c >= u'a' && c <= u'z') ? (WCHAR)(c - 32) : c;
}

// ASCII upper-case of one byte of a UTF-8 host name.
char FoldByte(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 32) : c;
}

// True when two host names are equal but for ASCII case.
bool SameNameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldByte(a[i]) != FoldByte(b[i]))
            return false;
    return true;
}

// True for a unit that may not appear in a Windows file name.
bool IllegalUnit(WCHAR c) {
    if (c < 0x20)
        return true;
    switch (c) {
    case u'<':
    case u'>':
    case u':':
    case u'"':
    case u'|':
    case u'?':
    case u'*':
        return true;
    default:
        return false;
    }
}

// True for either separator.
bool IsSep(WCHAR c) {
    return c == u'\\' || c == u'/';
}

// Splits an absolute device path into its components after checking it; a
// trailing separator is accepted only for folders. Returns 0 or the error.
DWORD SplitDevicePath(std::u16string_view path, bool folder, std::vector<std::u16string>& parts) {
    parts.clear();
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    if (path.size() > MAX_PATH - 1)
        return ERROR_FILENAME_EXCED_RANGE;
    if (!IsSep(path[0]))
        return ERROR_INVALID_NAME;
    size_t n = path.size();
    if (n > 1 && IsSep(path[n - 1])) {
        if (!folder)
            return ERROR_INVALID_NAME;
        --n;
    }
    if (n == 1) // the root itself: a folder, not a file
        return folder ? 0 : ERROR_INVALID_NAME;
    for (size_t i = 1;;) {
        size_t j = i;
        while (j < n && !IsSep(path[j]))
            ++j;
        std::u16string_view part = path.substr(i, j - i);
        if (part.empty() || part == u"." || part == u"..")
            return ERROR_INVALID_NAME;
        for (WCHAR c : part)
            if (IllegalUnit(c))
                return ERROR_INVALID_NAME;
        parts.emplace_back(part);
        if (j >= n)
            return 0;
        i = j + 1;
    }
}

// The key a device path is compared by: components joined by '\', ASCII upper-case.
std::u16string FoldedKey(const std::vector<std::u16string>& parts) {
    std::u16string key;
    for (const auto& p : parts) {
        key += u'\\';
        for (WCHAR c : p)
            key += FoldUnit(c);
    }
    return key;
}

// Whether a host errno is the host's own trouble (a read-only mount, a full
// or failing host disk, no permission on the host) rather than what the
// device's paths mean (a missing folder, a name that exists, a folder where a
// file was asked for).
static bool IsHostFault(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
    case EEXIST:
    case EISDIR:
    case ENAMETOOLONG:
        return false;
    default:
        return true;
    }
}

// The Win32 error for a host errno.
DWORD ErrorFromErrno(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Windows' sharing rule: an open is refused when either side's access is not
// allowed by the other side's share mode.
bool SharingConflict(DWORD old_access, DWORD old_share, DWORD new_access, DWORD new_share) {
    auto denies = [](DWORD access, DWORD share) {
        return ((access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) ||
               ((access & GENERIC_READ) && !(share & FILE_SHARE_READ));
    };
    return denies(new_access, old_share) || denies(old_access, new_share);
}

} // namespace

struct FileSystem::Impl {
    struct OpenFile {
        int fd;
        std::string host_path;
        dev_t st_dev;
        ino_t st_ino;
        DWORD access;
        DWORD share;
        bool written = false;
        // The descriptor's offset and the file's size, kept here so that a write
        // needs no lseek and fstat to count the space it takes (the device is
        // the only writer: nothing else moves the offset or resizes the file).
        int64_t pos = 0;
        int64_t size = 0;
    };

    Device& dev;
    std::string root;                      // host folder, no trailing '/'; empty: no storage
    std::vector<std::u16string> read_only; // folded keys
    int64_t free;                          // < 0: unlimited
    std::map<std::pair<dev_t, ino_t>, int64_t> charged; // bytes each file took of `free`
    std::map<uintptr_t, OpenFile> open;
    uintptr_t next_handle = 0x100;
    int writes = 0; // WriteFile calls so far, for faults.fail_write

    Impl(Device& d) : dev(d) {}

    // The host name in folder `dir` for device name `name`: an existing entry
    // equal but for ASCII case when there is one (the exact name first, then
    // the smallest such name, so the choice is stable), else the name as given.
    std::string Resolve(const std::string& dir, const std::u16string& name) const {
        std::string want = Narrow(name);
        struct stat st;
        if (lstat((dir + "/" + want).c_str(), &st) == 0)
            return want;
        std::string best;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string got = e->d_name;
                if (SameNameNoCase(got, want) && (best.empty() || got < best))
                    best = got;
            }
            closedir(d);
        }
        return best.empty() ? want : best;
    }

    // Host path of the first `count` components.
    std::string HostOf(const std::vector<std::u16string>& parts, size_t count) const {
        std::string path = root;
        for (size_t i = 0; i < count; ++i)
            path += "/" + Resolve(path, parts[i]);
        return path;
    }

    // True when the device path (folded key) is in the read-only list.
    bool Listed(const std::u16string& key) const {
        return std::find(read_only.begin(), read_only.end(), key) != read_only.end();
    }

    OpenFile* Find(HANDLE h) {
        auto it = open.find((uintptr_t)h);
        return it == open.end() ? nullptr : &it->second;
    }

    // Every handle open on the same file sees its new size.
    void SetSize(dev_t dev, ino_t ino, int64_t size) {
        for (auto& [h, f] : open)
            if (f.st_dev == dev && f.st_ino == ino)
                f.size = size;
    }
};

// Boots the device's file system over `host_root`, with its read-only list and
// free space.
FileSystem::FileSystem(Device& dev, std::string host_root, std::vector<std::u16string> read_only,
                       int64_t disk_free)
    : impl_(new Impl(dev)) {
    while (host_root.size() > 1 && host_root.back() == '/')
        host_root.pop_back();
    impl_->root = std::move(host_root);
    impl_->free = disk_free < 0 ? -1 : disk_free;
    std::vector<std::u16string> parts;
    for (const auto& p : read_only)
        if (SplitDevicePath(p, false, parts) == 0)
            impl_->read_only.push_back(FoldedKey(parts));
}

// Closes every host file still open.
FileSystem::~FileSystem() {
    for (auto& [h, f] : impl_->open)
        ::close(f.fd);
    delete impl_;
}

// Opens or creates a device file as CreateFileW does.
HANDLE FileSystem::Create(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD attrs,
                          DWORD& err) {
    Impl& m = *impl_;
    err = 0;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        err = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)) {
        err = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    std::vector<std::u16string> parts;
    if (path == nullptr || m.root.empty()) {
        err = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if ((err = SplitDevicePath(path, false, parts)) != 0)
        return INVALID_HANDLE_VALUE;
    // The executable's folder is made on the host when a file is first
    // created in it: a run that saves nothing leaves nothing behind.
    const std::u16string& exe = m.dev.profile().exe;
    std::vector<std::u16string> exe_parts;
    if (make_exe_folder && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING &&
        SplitDevicePath(exe, false, exe_parts) == 0 && exe_parts.size() == parts.size() &&
        FoldedKey({exe_parts.begin(), exe_parts.end() - 1}) ==
            FoldedKey({parts.begin(), parts.end() - 1}) &&
        !MakeFolder(
            std::u16string_view(exe).substr(0, std::max<size_t>(1, exe.find_last_of(u'\\'))))) {
        int e = errno;
        m.dev.Notify([&](Observer& o) { o.OnHostError("mkdir", m.root, e); });
    }

    // Every folder on the way must exist.
    std::string dir = m.root;
    struct stat st;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            err = ERROR_PATH_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
        if (i + 1 < parts.size())
            dir += "/" + m.Resolve(dir, parts[i]);
    }
    std::string host = dir + "/" + m.Resolve(dir, parts.back());

    bool exists = stat(host.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        err = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW && exists) {
        err = ERROR_FILE_EXISTS;
        return INVALID_HANDLE_VALUE;
    }
    if ((disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) && !exists) {
        err = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    std::u16string key = FoldedKey(parts);
    bool truncates = exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    if (exists && m.Listed(key) && ((access & GENERIC_WRITE) || truncates)) {
        err = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    if (exists) {
        for (const auto& [h, f] : m.open) {
            if (f.st_dev == st.st_dev && f.st_ino == st.st_ino &&
                SharingConflict(f.access, f.share, access, share)) {
                err = ERROR_SHARING_VIOLATION;
                return INVALID_HANDLE_VALUE;
            }
        }
    }

    int flags = O_CLOEXEC;
    if (disposition == CREATE_NEW)
        flags |= O_CREAT | O_EXCL;
    else if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
        flags |= O_CREAT;
    if (truncates)
        flags |= O_TRUNC;
    // A file opened for reading only may still need creating or emptying,
    // which the host allows only through a writable descriptor.
    bool host_write = (access & GENERIC_WRITE) || (flags & (O_CREAT | O_TRUNC));
    flags |= host_write ? O_RDWR : O_RDONLY;
    int fd = ::open(host.c_str(), flags, 0644);
    if (fd < 0) {
        int e = errno;
        err = ErrorFromErrno(e);
        if (IsHostFault(e))
            m.dev.Notify([&](Observer& o) { o.OnHostError("open", host, e); });
        return INVALID_HANDLE_VALUE;
    }
    struct stat now;
    fstat(fd, &now);
    if (truncates && m.free >= 0) {
        auto it = m.charged.find({st.st_dev, st.st_ino});
        if (it != m.charged.end()) {
            m.free += std::min<int64_t>(it->second, st.st_size);
            m.charged.erase(it);
        }
    }
    if (!exists && (attrs & FILE_ATTRIBUTE_READONLY) && !m.Listed(key))
        m.read_only.push_back(key);

    uintptr_t h = m.next_handle;
    m.next_handle += 4;
    m.open[h] = Impl::OpenFile{fd, host, now.st_dev, now.st_ino, access, share};
    m.SetSize(now.st_dev, now.st_ino, now.st_size); // a truncation shows through other handles
    if (exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS))
        err = ERROR_ALREADY_EXISTS;
    return (HANDLE)h;
}

// Writes all of `buf` at the file's position, or nothing.
BOOL FileSystem::Write(HANDLE h, LPCVOID buf, DWORD n, LPDWORD written, DWORD& err) {
    Impl& m = *impl_;
    err = 0;
    if (written != nullptr)
        *written = 0;
    int nth = ++m.writes;
    Impl::OpenFile* f = m.Find(h);
    if (f == nullptr) {
        err = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!(f->access & GENERIC_WRITE)) {
        err = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (buf == nullptr && n > 0) {
        err = ERROR_NOACCESS;
        return FALSE;
    }
    if (m.dev.faults.fail_write && m.dev.faults.fail_write(nth)) {
        err = ERROR_DISK_FULL;
        return FALSE;
    }
    if (n == 0)
        return TRUE;

    // Only bytes beyond the current end take space.
    int64_t growth = std::max<int64_t>(0, f->pos + n - f->size);
    if (m.free >= 0 && growth > m.free) {
        err = ERROR_DISK_FULL;
        return FALSE;
    }

    const char* p = static_cast<const char*>(buf);
    DWORD done = 0;
    while (done < n) {
        ssize_t r = ::write(f->fd, p + done, n - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            err = ErrorFromErrno(e);
            if (IsHostFault(e))
                m.dev.Notify([&](Observer& o) { o.OnHostError("write", f->host_path, e); });
            // Part of the data may have gone: learn where the file stands now.
            struct stat st;
            off_t pos = lseek(f->fd, 0, SEEK_CUR);
            if (pos >= 0)
                f->pos = pos;
            if (fstat(f->fd, &st) == 0)
                m.SetSize(f->st_dev, f->st_ino, st.st_size);
            return FALSE;
        }
        done += (DWORD)r;
    }
    f->pos += n;
    if (f->pos > f->size)
        m.SetSize(f->st_dev, f->st_ino, f->pos);
    if (m.free >= 0) {
        m.free -= growth;
        m.charged[{f->st_dev, f->st_ino}] += growth;
    }
    f->written = true;
    if (written != nullptr)
        *written = n;
    return TRUE;
}

// Closes a handle; a file that was written to is announced to the device's
// listener once it is closed.
BOOL FileSystem::Close(HANDLE h, DWORD& err) {
    Impl& m = *impl_;
    err = 0;
    auto it = m.open.find((uintptr_t)h);
    if (it == m.open.end()) {
        err = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    ::close(it->second.fd);
    std::string host = std::move(it->second.host_path);
    bool written = it->second.written;
    m.open.erase(it);
    if (written)
        m.dev.Notify([&](Observer& o) { o.OnFileWritten(host); });
    return TRUE;
}

// The host path of a device path, components matched case-insensitively.
std::string FileSystem::HostPath(std::u16string_view device_path) const {
    std::vector<std::u16string> parts;
    if (impl_->root.empty() || SplitDevicePath(device_path, true, parts) != 0)
        return {};
    return impl_->HostOf(parts, parts.size());
}

// Creates the root and every missing folder of a device folder path.
bool FileSystem::MakeFolder(std::u16string_view device_folder) {
    Impl& m = *impl_;
    std::vector<std::u16string> parts;
    if (m.root.empty() || SplitDevicePath(device_folder, true, parts) != 0)
        return false;
    std::string dir;
    // The root itself, one level at a time.
    for (size_t i = 0; i <= m.root.size(); ++i) {
        if (i == m.root.size() || (m.root[i] == '/' && i > 0)) {
            dir = m.root.substr(0, i);
            if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    for (const auto& part : parts) {
        dir += "/" + m.Resolve(dir, part);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Free bytes on the device; < 0 when unlimited.
int64_t FileSystem::DiskFree() const {
    return impl_->free;
}

} // namespace device

// CreateFileW: opens or creates a device file; sets the last error only when
// it fails, or to ERROR_ALREADY_EXISTS when it opened an existing file with
// CREATE_ALWAYS or OPEN_ALWAYS.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    device::Device& dev = device::Device::Current();
    device::JournalCall call(dev, "CreateFileW", nullptr, [&](device::JournalArgs& o) {
        o.Text(lpFileName).Hex(dwDesiredAccess).Hex(dwShareMode);
        o.Ptr(lpSecurityAttributes).Int(dwCreationDisposition);
        o.Hex(dwFlagsAndAttributes).Ptr(hTemplateFile);
    });
    DWORD err = 0;
    HANDLE h = dev.Files().Create(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                                  dwFlagsAndAttributes, err);
    if (err != 0)
        dev.last_error = err;
    return (HANDLE)(uintptr_t)call.ReturnHex((uint64_t)(uintptr_t)h);
}

// WriteFile: writes all bytes or none; the last error is set only on failure.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    device::Device& dev = device::Device::Current();
    device::JournalCall call(dev, "WriteFile", nullptr, [&](device::JournalArgs& o) {
        o.Ptr(hFile).Bytes(lpBuffer, nNumberOfBytesToWrite);
        o.Int(nNumberOfBytesToWrite).Out(lpNumberOfBytesWritten);
        o.Ptr(lpOverlapped);
    });
    DWORD err = 0;
    BOOL ok =
        dev.Files().Write(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, err);
    if (!ok)
        dev.last_error = err;
    return (BOOL)call.Return(ok);
}

// CloseHandle: closes a file handle; an unknown handle fails with
// ERROR_INVALID_HANDLE.
BOOL CloseHandle(HANDLE hObject) {
    device::Device& dev = device::Device::Current();
    device::JournalCall call(dev, "CloseHandle", nullptr,
                             [&](device::JournalArgs& o) { o.Ptr(hObject); });
    DWORD err = 0;
    BOOL ok = dev.Files().Close(hObject, err);
    if (!ok)
        dev.last_error = err;
    return (BOOL)call.Return(ok);
}
