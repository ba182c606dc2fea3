// sim_replay.cpp - running a replay on the simulated device (tapwatcher-sim's runner).
#include "sim_replay.h"

#include "output.h"

#include "cli/runner/scenario_run.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace report {

// Runs the scenario through the runner's streaming entry point on a device root of its own
// in $TMPDIR (/tmp without it), which a signal that ends the report removes too, reading
// the data file the tool saved before the device goes.
bool RunReplayOnDevice(const std::string& profile, int scenario_fd, const std::string& exe,
                       const std::function<void(const ByteSource&)>& read, std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/tapwatcher-report-XXXXXX";
    if (!mkdtemp(root.data())) {
        error = "cannot make a temporary device root in " + root.substr(0, root.rfind('/')) + ": " +
                std::strerror(errno);
        return false;
    }
    RememberTemporaryFolder(root);
    struct Remover {
        const std::string& root;
        ~Remover() {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
            ForgetTemporaryFolder();
        }
    } remover{root};
    int status = 0;
    bool saved = false;
    if (!runner::RunScenarioFile(
            profile, scenario_fd, exe, root, status,
            [&](const std::string& path) {
                const int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0 || status != 0) {
                    if (fd >= 0)
                        close(fd);
                    return;
                }
                saved = true;
                struct Closer {
                    int fd;
                    ~Closer() { close(fd); }
                } closer{fd};
                read([fd](char* buffer, std::size_t size) {
                    for (;;) {
                        const ssize_t n = ::read(fd, buffer, size);
                        if (n >= 0)
                            return static_cast<std::size_t>(n);
                        if (errno != EINTR)
                            throw DataFileError(0, std::string("cannot read: ") +
                                                       std::strerror(errno));
                    }
                });
            },
            error))
        return false;
    if (status != 0) {
        error = "the run ended with status " + std::to_string(status);
        return false;
    }
    if (!saved) {
        error = "the tool saved no data file";
        return false;
    }
    return true;
}

} // namespace report
