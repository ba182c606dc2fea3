// output.cpp - writing the report's outputs without clobbering what their paths point to.
//
// Choices beyond the rule in output.h:
//  - The temporary file is ".NAME.XXXXXX" beside the file it replaces, flushed to the disk
//    before the rename, so a crash leaves the old file or the new one, never a mix.
//  - A replaced file keeps its permission bits; a new one gets 0666 less the umask, as a
//    shell redirection would make it. A regular file the user may not write is refused, as
//    a redirection would refuse it (root may write any).
//  - A symlink whose target does not exist yet is followed by its text, link by link, and
//    the target is made; /dev/stdout and its like (links into /proc that name a pipe or a
//    terminal) are opened through the link and written in place.
//  - The order: every temporary file first, then the streams, then the renames. A failure
//    before the renames removes the temporary files and replaces nothing; a stream's reader
//    may then have seen part of its output, which no stream can take back.
#include "output.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace report {

namespace {

namespace fs = std::filesystem;

enum class Way {
    Replace, // temporary file, then rename over the target
    InPlace, // opened and written as it is
    Stdout,  // the stream the report was given for standard output
};

// How one output is written.
struct Plan {
    const Output* output = nullptr;
    Way way = Way::Replace;
    std::string target; // the path renamed over, or opened in place
    std::string temp;   // the temporary file, once made
    mode_t mode = 0;    // permission bits of the file written
};

// The temporary files made and not yet renamed, for a signal that ends the process first.
constexpr int kMaxTemporaries = 8;
char g_temporaries[kMaxTemporaries][PATH_MAX];
volatile sig_atomic_t g_temporary_count = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
void (*g_before[std::size(kSignals)])(int); // what each signal did before
bool g_caught = false;

char g_folder[PATH_MAX]; // the temporary folder, "" for none
volatile sig_atomic_t g_folder_set = 0;

// Removes NAME under DIRFD, a folder with everything in it, using only calls a signal
// handler may make; a tree deeper than a replay's device root makes is left.
void RemoveTreeAt(int dirfd, const char* name, int depth) {
    if (unlinkat(dirfd, name, 0) == 0 || errno != EISDIR || depth > 8)
        return;
    const int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        alignas(dirent64) char buf[4096];
        for (ssize_t n; (n = getdents64(fd, buf, sizeof buf)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const dirent64* d = reinterpret_cast<const dirent64*>(buf + at);
                at += d->d_reclen;
                const char* e = d->d_name;
                if (!(e[0] == '.' && (e[1] == '\0' || (e[1] == '.' && e[2] == '\0'))))
                    RemoveTreeAt(fd, e, depth + 1);
            }
        close(fd);
    }
    unlinkat(dirfd, name, AT_REMOVEDIR);
}

// Removes the temporary files and folder and ends the process by the signal as it would
// have ended.
extern "C" void RemoveTemporariesAndDie(int signal) {
    for (int i = 0; i < g_temporary_count; ++i)
        unlink(g_temporaries[i]);
    if (g_folder_set)
        RemoveTreeAt(AT_FDCWD, g_folder, 0);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Catches the signals that would leave a temporary behind, once.
void CatchSignals() {
    for (std::size_t i = 0; i < std::size(kSignals) && !g_caught; ++i) {
        g_before[i] = std::signal(kSignals[i], SIG_IGN);
        if (g_before[i] != SIG_IGN) // a signal ignored before stays ignored
            std::signal(kSignals[i], RemoveTemporariesAndDie);
    }
    g_caught = true;
}

// With no temporary left to remove, the signals end the process as before.
void ReleaseSignals() {
    if (g_temporary_count != 0 || g_folder_set)
        return;
    for (std::size_t i = 0; i < std::size(kSignals) && g_caught; ++i)
        std::signal(kSignals[i], g_before[i]);
    g_caught = false;
}

// Notes a temporary file, and catches the signals that would leave it behind.
void RememberTemporary(const std::string& name) {
    if (g_temporary_count >= kMaxTemporaries || name.size() >= PATH_MAX)
        return;
    std::memcpy(g_temporaries[g_temporary_count], name.c_str(), name.size() + 1);
    g_temporary_count = g_temporary_count + 1;
    CatchSignals();
}

// No temporary file is left to remove.
void ForgetTemporaries() {
    g_temporary_count = 0;
    ReleaseSignals();
}

// PATH with its links and dots resolved as far as it exists.
std::string Canonical(const std::string& path) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(path, ec);
    return ec ? fs::absolute(path).string() : resolved.string();
}

// The text of errno.
std::string ErrnoText() {
    return std::strerror(errno);
}

// What a file that is not written is, for the message.
std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// Follows a chain of symlinks by their text, to the name at its end that does not exist.
bool DanglingTarget(const std::string& path, std::string& target, std::string& error) {
    fs::path current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                error = ErrnoText();
                return false;
            }
            target = current.string();
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            target = current.string();
            return true;
        }
        char link[PATH_MAX];
        ssize_t size = readlink(current.c_str(), link, sizeof link);
        if (size < 0 || static_cast<std::size_t>(size) >= sizeof link) {
            error = size < 0 ? ErrnoText() : "link text too long";
            return false;
        }
        fs::path next(std::string(link, static_cast<std::size_t>(size)));
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    error = std::strerror(ELOOP);
    return false;
}

// Decides how OUTPUT is written, touching nothing.
bool PlanOutput(const Output& output, Plan& plan, std::string& error) {
    plan.output = &output;
    const std::string& path = output.path;
    if (path == "-") {
        plan.way = Way::Stdout;
        return true;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            plan.way = Way::InPlace;
            plan.target = path;
            return true;
        }
        if (!S_ISREG(st.st_mode)) {
            error = path + ": is " + KindOf(st.st_mode) +
                    "; only a regular file, a new name, a FIFO or a character device (or a "
                    "symlink to one) is written";
            return false;
        }
        if (access(path.c_str(), W_OK) != 0) {
            error = path + ": cannot write: " + ErrnoText();
            return false;
        }
        char* real = realpath(path.c_str(), nullptr);
        if (real == nullptr) {
            error = path + ": cannot write: " + ErrnoText();
            return false;
        }
        plan.target = real;
        std::free(real);
        plan.way = Way::Replace;
        plan.mode = st.st_mode & 07777;
        return true;
    }
    if (errno != ENOENT) {
        error = path + ": cannot write: " + ErrnoText();
        return false;
    }
    std::string why;
    if (!DanglingTarget(path, plan.target, why)) {
        error = path + ": cannot write: " + why;
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    plan.way = Way::Replace;
    plan.mode = 0666 & ~mask;
    return true;
}

// Writes all of BYTES to FD.
bool WriteFully(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Gives PUT the output's bytes, a piece at a time when they come from a file; false when
// PUT fails or the file cannot be read.
template <typename Put> bool EachPiece(const Output& output, Put put) {
    if (output.from_fd < 0)
        return put(std::string_view(output.bytes));
    char piece[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t n = pread(output.from_fd, piece, sizeof piece, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        if (!put(std::string_view(piece, static_cast<std::size_t>(n))))
            return false;
        at += n;
    }
}

// Writes all of the output's bytes to FD.
bool WriteFully(int fd, const Output& output) {
    return EachPiece(output, [fd](std::string_view bytes) { return WriteFully(fd, bytes); });
}

// Writes the output into a new temporary file beside its target.
bool WriteTemporary(Plan& plan, std::string& error) {
    fs::path target(plan.target);
    fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::string name = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = plan.output->path + ": cannot write: " + ErrnoText();
        return false;
    }
    plan.temp = name;
    RememberTemporary(name);
    bool ok = WriteFully(fd, *plan.output) && fchmod(fd, plan.mode) == 0 && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok)
        error = plan.output->path + ": cannot write: " + std::strerror(saved);
    return ok;
}

// Opens the FIFO or device and writes the output into it as it is.
bool WriteInPlace(const Plan& plan, std::string& error) {
    int fd = open(plan.target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    bool ok = fd >= 0 && WriteFully(fd, *plan.output);
    int saved = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok)
        error = plan.output->path + ": cannot write: " + std::strerror(saved);
    return ok;
}

} // namespace

// Plans every output, writes the temporary files and the streams, then renames.
bool WriteOutputs(const std::vector<Output>& outputs, std::ostream& stdout_stream,
                  std::string& error) {
    std::vector<Plan> plans(outputs.size());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (!PlanOutput(outputs[i], plans[i], error))
            return false;
        // Two names for one file (two links to one target, made or not): one would be lost.
        for (std::size_t j = 0; j < i; ++j) {
            if (plans[i].way != Way::Stdout && plans[j].way != Way::Stdout &&
                Canonical(plans[i].target) == Canonical(plans[j].target)) {
                error = outputs[i].path + ": named for two outputs (as " + outputs[j].path + ")";
                return false;
            }
        }
    }
    auto remove_temporaries = [&] {
        for (const Plan& plan : plans) {
            if (!plan.temp.empty())
                unlink(plan.temp.c_str());
        }
        ForgetTemporaries();
    };
    for (Plan& plan : plans) {
        if (plan.way == Way::Replace && !WriteTemporary(plan, error)) {
            remove_temporaries();
            return false;
        }
    }
    for (Plan& plan : plans) {
        bool ok = true;
        if (plan.way == Way::InPlace) {
            ok = WriteInPlace(plan, error);
        } else if (plan.way == Way::Stdout) {
            ok = EachPiece(*plan.output,
                           [&](std::string_view bytes) {
                               return static_cast<bool>(stdout_stream.write(
                                   bytes.data(), static_cast<std::streamsize>(bytes.size())));
                           }) &&
                 stdout_stream.flush().good();
            if (!ok)
                error = "standard output: cannot write";
        }
        if (!ok) {
            remove_temporaries();
            return false;
        }
    }
    for (Plan& plan : plans) {
        if (plan.way != Way::Replace)
            continue;
        if (rename(plan.temp.c_str(), plan.target.c_str()) != 0) {
            error = plan.output->path + ": cannot write: " + ErrnoText();
            remove_temporaries();
            return false;
        }
        plan.temp.clear();
    }
    ForgetTemporaries();
    return true;
}

void RememberTemporaryFolder(const std::string& path) {
    if (path.size() >= PATH_MAX)
        return;
    std::memcpy(g_folder, path.c_str(), path.size() + 1);
    g_folder_set = 1;
    CatchSignals();
}

void ForgetTemporaryFolder() {
    g_folder_set = 0;
    ReleaseSignals();
}

} // namespace report
