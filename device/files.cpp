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
//    of the data written (in the file's temporary, which still replaces it);
//  - no host sync: the whole-file guarantee holds against the host process
//    dying, not against the host machine losing power;
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
//    ERROR_PATH_NOT_FOUND, so nothing is ever written outside a root;
//  - nothing is reached through a symbolic link beneath the root, even one
//    that points back inside it (the simplest rule to trust): a link where a
//    folder or the file stands is refused with ERROR_ACCESS_DENIED and told to
//    the listeners as a host error (ELOOP); the root itself may be a link;
//  - a file opened for writing, creating or emptying is written to a
//    temporary beside it (".tw-save-PID-N") that replaces it when the last
//    handle writing it is closed, so a host process killed half-way leaves the
//    old file whole; other handles see the file's new size at once, and the
//    file written is announced once it is in place;
//  - the writes the host fails on one handle are told once, with their count,
//    when the handle is closed.
#include "device/files.h"
#include "device/device.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/openat2.h>
#include <map>
#include <sys/stat.h>
#include <sys/syscall.h>
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
    case ELOOP: // a symbolic link, refused
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

// When false, every open takes the O_NOFOLLOW path, as where openat2 is missing.
std::atomic<bool> g_openat2{true};

// Opens `name`, one entry of the folder `dir`, never through a symbolic link (a
// link gives ELOOP): openat2 kept beneath `dir` where the kernel has it, else
// openat with O_NOFOLLOW. -1 with errno when it fails.
int OpenEntry(int dir, const std::string& name, int flags, mode_t mode) {
    flags |= O_CLOEXEC;
#ifdef SYS_openat2
    if (g_openat2) {
        open_how how{};
        how.flags = (uint64_t)flags;
        how.mode = (flags & O_CREAT) ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, dir, name.c_str(), &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
            return (int)fd;
        if (errno == ENOSYS) // an older kernel: the walk from now on
            g_openat2 = false;
    }
#endif
    int fd = ::openat(dir, name.c_str(), flags | O_NOFOLLOW, mode);
    struct stat st;
    if (fd < 0 && errno != ELOOP && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        errno = ELOOP; // a link opened as a folder fails ENOTDIR
    return fd;
}

// Copies what `from` holds into `to`; false with errno when it cannot.
bool CopyBytes(int from, int to) {
    char buf[1 << 16];
    for (;;) {
        ssize_t r = ::read(from, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r == 0;
        for (ssize_t done = 0; done < r;) {
            ssize_t w = ::write(to, buf + done, (size_t)(r - done));
            if (w < 0 && errno != EINTR)
                return false;
            done += w < 0 ? 0 : w;
        }
    }
}

// Closes a descriptor, keeping errno as it was.
void CloseKeepErrno(int fd) {
    int e = errno;
    if (fd >= 0)
        ::close(fd);
    errno = e;
}

} // namespace

void UseOpenat2(bool on) {
    g_openat2 = on;
}

struct FileSystem::Impl {
    // A file being written: its bytes go to a temporary beside it that takes
    // its place when the last handle writing it is closed, so that a host
    // process killed half-way leaves the file as it stood.
    struct Staged {
        int dir;          // the file's folder, open
        std::string name; // the file's host name in it
        std::string temp; // the temporary's
        int writers = 0;  // handles open on the temporary
        int64_t size = 0; // the file's size as the device sees it
        bool written = false;
    };
    struct OpenFile {
        int fd;
        std::string host_path; // handles on one file share it
        DWORD access;
        DWORD share;
        bool staged; // open on the file's temporary
        // The descriptor's offset, kept here so that a write needs no lseek
        // (the device is the only writer: nothing else moves it).
        int64_t pos = 0;
        int host_errno = 0;  // the first host fault a write on it met
        int host_faults = 0; // and how many writes the host failed
    };

    Device& dev;
    std::string root;                       // host folder, no trailing '/'; empty: no storage
    std::vector<std::u16string> read_only;  // folded keys
    int64_t free;                           // < 0: unlimited
    std::map<std::string, int64_t> charged; // bytes each file (by host path) took of `free`
    std::map<uintptr_t, OpenFile> open;
    std::map<std::string, Staged> staged; // by host path
    uintptr_t next_handle = 0x100;
    int writes = 0; // WriteFile calls so far, for faults.fail_write
    int temps = 0;  // temporaries made, for their names

    Impl(Device& d) : dev(d) {}

    // The host name in folder `dir` for device name `name`: an existing entry
    // equal but for ASCII case when there is one (the exact name first, then
    // the smallest such name, so the choice is stable), else the name as given.
    std::string Resolve(int dir, const std::u16string& name) const {
        std::string want = Narrow(name);
        struct stat st;
        if (fstatat(dir, want.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return want;
        std::string best;
        int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (DIR* d = fd >= 0 ? fdopendir(fd) : nullptr) {
            while (dirent* e = readdir(d)) {
                std::string got = e->d_name;
                if (SameNoCase<char>(got, want) && (best.empty() || got < best))
                    best = got;
            }
            closedir(d);
        } else {
            CloseKeepErrno(fd);
        }
        return best.empty() ? want : best;
    }

    // Opens the folder of the first `count` components beneath the root, one
    // component at a time and never through a link, making missing ones when
    // `make`; `host` gets its host path (the rest named as given when a
    // component fails). -1 with errno when it fails.
    int OpenFolder(const std::vector<std::u16string>& parts, size_t count, bool make,
                   std::string& host) const {
        host = root;
        int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 && make && errno == ENOENT) { // the root itself, made as the user named it
            std::error_code ec;
            std::filesystem::create_directories(root, ec);
            fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        for (size_t i = 0; i < count; ++i) {
            std::string name = fd >= 0 ? Resolve(fd, parts[i]) : Narrow(parts[i]);
            host += "/" + name;
            if (fd < 0)
                continue;
            if (make && ::mkdirat(fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
                CloseKeepErrno(fd);
                fd = -1;
                continue;
            }
            int next = OpenEntry(fd, name, O_RDONLY | O_DIRECTORY, 0);
            CloseKeepErrno(fd);
            fd = next;
        }
        return fd;
    }

    // Tells the listeners of a host call that failed `count` times alike.
    void HostError(const char* what, const std::string& host, int e, int count = 1) {
        dev.Notify([&](Observer& o) { o.OnHostError(what, host, e, count); });
    }

    // Opens a new temporary beside `name` in `dir` to write that file through,
    // holding a copy of its bytes when `keep`. The file itself, when it
    // exists, must open for writing: the host's own say stays as it was.
    // -1 with errno when it fails.
    int Stage(int dir, const std::string& name, bool exists, bool keep, mode_t mode,
              std::string& temp) {
        int old = exists ? OpenEntry(dir, name, O_RDWR, 0) : -1;
        if (exists && old < 0)
            return -1;
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < 100; ++tries) {
            temp = ".tw-save-" + std::to_string(getpid()) + "-" + std::to_string(++temps);
            fd = OpenEntry(dir, temp, O_RDWR | O_CREAT | O_EXCL, 0644);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        if (fd >= 0 && exists &&
            (fchmod(fd, mode & 07777) != 0 ||
             (keep && (!CopyBytes(old, fd) || lseek(fd, 0, SEEK_SET) != 0)))) {
            CloseKeepErrno(fd);
            int e = errno;
            ::unlinkat(dir, temp.c_str(), 0);
            errno = e;
            fd = -1;
        }
        CloseKeepErrno(old);
        return fd;
    }

    // Puts a staged file in the place of the file it stands for; tells of a
    // file written (when `tell`) or of a host that refused the replacement.
    void Commit(std::map<std::string, Staged>::iterator it, bool tell) {
        std::string host = it->first;
        Staged s = std::move(it->second);
        staged.erase(it);
        if (::renameat(s.dir, s.temp.c_str(), s.dir, s.name.c_str()) != 0) {
            int e = errno;
            ::unlinkat(s.dir, s.temp.c_str(), 0);
            if (tell)
                HostError("replace", host, e);
        } else if (tell && s.written) {
            dev.Notify([&](Observer& o) { o.OnFileWritten(host); });
        }
        ::close(s.dir);
    }

    // True when the device path (folded key) is in the read-only list.
    bool Listed(const std::u16string& key) const {
        return std::find(read_only.begin(), read_only.end(), key) != read_only.end();
    }

    OpenFile* Find(HANDLE h) {
        auto it = open.find((uintptr_t)h);
        return it == open.end() ? nullptr : &it->second;
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

// Closes every host file still open; what was written stays, as when a
// process ends with handles open.
FileSystem::~FileSystem() {
    for (auto& [h, f] : impl_->open)
        ::close(f.fd);
    while (!impl_->staged.empty())
        impl_->Commit(impl_->staged.begin(), false);
    delete impl_;
}

// Opens or creates a device file as CreateFileW does, beneath the root only.
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
    bool make = make_exe_folder && disposition != OPEN_EXISTING &&
                disposition != TRUNCATE_EXISTING && SplitDevicePath(exe, false, exe_parts) == 0 &&
                exe_parts.size() == parts.size() &&
                FoldedKey({exe_parts.begin(), exe_parts.end() - 1}) ==
                    FoldedKey({parts.begin(), parts.end() - 1});
    // A host failure: the device sees `err`, the listeners the errno.
    auto fail = [&](int e, const std::string& host) {
        err = ErrorFromErrno(e);
        if (IsHostFault(e))
            m.HostError("open", host, e);
        return INVALID_HANDLE_VALUE;
    };

    // Every folder on the way must exist, and none be a link.
    std::string host;
    int dir = m.OpenFolder(parts, parts.size() - 1, make, host);
    if (dir < 0)
        return fail(errno, host + "/" + Narrow(parts.back()));
    struct DirCloser {
        int& fd;
        ~DirCloser() { CloseKeepErrno(fd); }
    } closer{dir};
    std::string name = m.Resolve(dir, parts.back());
    host += "/" + name;

    // A file being written is its temporary, as the device sees it.
    auto stage = m.staged.find(host);
    bool is_staged = stage != m.staged.end();
    struct stat st {};
    bool exists = is_staged || fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !is_staged && S_ISLNK(st.st_mode))
        return fail(ELOOP, host);
    if (exists && !is_staged && S_ISDIR(st.st_mode)) {
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
    for (const auto& [h, f] : m.open) {
        if (f.host_path == host && SharingConflict(f.access, f.share, access, share)) {
            err = ERROR_SHARING_VIOLATION;
            return INVALID_HANDLE_VALUE;
        }
    }

    // Writing, creating or emptying goes through the file's temporary.
    bool host_write = (access & GENERIC_WRITE) || truncates || !exists;
    int fd;
    if (!host_write)
        fd = OpenEntry(dir, is_staged ? stage->second.temp : name, O_RDONLY, 0);
    else if (is_staged)
        fd = OpenEntry(dir, stage->second.temp, O_RDWR | (truncates ? O_TRUNC : 0), 0);
    else {
        std::string temp;
        fd = m.Stage(dir, name, exists, !truncates, st.st_mode, temp);
        if (fd >= 0) {
            stage = m.staged.emplace(host, Impl::Staged{dir, name, temp}).first;
            stage->second.size = exists ? st.st_size : 0;
            dir = -1; // the staged file keeps the folder open
        }
    }
    if (fd < 0)
        return fail(errno, host);
    if (host_write) {
        Impl::Staged& s = stage->second;
        ++s.writers;
        if (truncates)
            s.size = 0;
    }
    // Emptying a file gives back what this boot's writes took for it.
    if (truncates && m.free >= 0) {
        auto it = m.charged.find(host);
        if (it != m.charged.end()) {
            m.free += it->second;
            m.charged.erase(it);
        }
    }
    if (!exists && (attrs & FILE_ATTRIBUTE_READONLY) && !m.Listed(key))
        m.read_only.push_back(key);

    uintptr_t h = m.next_handle;
    m.next_handle += 4;
    m.open[h] = Impl::OpenFile{fd, host, access, share, host_write};
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
    Impl::Staged& s = m.staged.at(f->host_path);
    int64_t growth = std::max<int64_t>(0, f->pos + n - s.size);
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
            // Told once, at the handle's close, however often it happens.
            if (IsHostFault(e) && f->host_faults++ == 0)
                f->host_errno = e;
            // Part of the data may have gone: learn where the file stands now.
            struct stat st;
            off_t pos = lseek(f->fd, 0, SEEK_CUR);
            if (pos >= 0)
                f->pos = pos;
            if (fstat(f->fd, &st) == 0)
                s.size = st.st_size;
            return FALSE;
        }
        done += (DWORD)r;
    }
    f->pos += n;
    s.size = std::max(s.size, f->pos);
    if (m.free >= 0) {
        m.free -= growth;
        m.charged[f->host_path] += growth;
    }
    s.written = true;
    if (written != nullptr)
        *written = n;
    return TRUE;
}

// Closes a handle: the writes the host failed on it are told, in one event;
// the last handle writing a file puts it in place, and a file written to is
// announced to the device's listeners once it is there.
BOOL FileSystem::Close(HANDLE h, DWORD& err) {
    Impl& m = *impl_;
    err = 0;
    auto it = m.open.find((uintptr_t)h);
    if (it == m.open.end()) {
        err = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Impl::OpenFile f = std::move(it->second);
    m.open.erase(it);
    ::close(f.fd);
    if (f.host_faults > 0)
        m.HostError("write", f.host_path, f.host_errno, f.host_faults);
    if (f.staged) {
        auto s = m.staged.find(f.host_path);
        if (--s->second.writers == 0)
            m.Commit(s, true);
    }
    return TRUE;
}

// Closes every handle still open, as the end of the process that holds them does.
void FileSystem::CloseAll() {
    DWORD err;
    while (!impl_->open.empty())
        Close((HANDLE)impl_->open.begin()->first, err);
}

// The host path of a device path, components matched case-insensitively.
std::string FileSystem::HostPath(std::u16string_view device_path) const {
    std::vector<std::u16string> parts;
    if (impl_->root.empty() || SplitDevicePath(device_path, true, parts) != 0)
        return {};
    if (parts.empty())
        return impl_->root;
    std::string host;
    int dir = impl_->OpenFolder(parts, parts.size() - 1, false, host);
    host += "/" + (dir >= 0 ? impl_->Resolve(dir, parts.back()) : Narrow(parts.back()));
    CloseKeepErrno(dir);
    return host;
}

// Creates the root and every missing folder of a device folder path; a link
// on the way is refused and told as a host error.
bool FileSystem::MakeFolder(std::u16string_view device_folder) {
    Impl& m = *impl_;
    std::vector<std::u16string> parts;
    if (m.root.empty() || SplitDevicePath(device_folder, true, parts) != 0)
        return false;
    // The root itself, one level at a time.
    for (size_t i = 0; i <= m.root.size(); ++i) {
        if (i == m.root.size() || (m.root[i] == '/' && i > 0)) {
            if (::mkdir(m.root.substr(0, i).c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    std::string host;
    int dir = m.OpenFolder(parts, parts.size(), true, host);
    if (dir < 0 && errno == ELOOP)
        m.HostError("open", host, ELOOP);
    CloseKeepErrno(dir);
    return dir >= 0;
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
