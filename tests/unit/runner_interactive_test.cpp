// runner_interactive_test.cpp - tapwatcher-sim on a terminal, driven through
// tmux: keys typed become rows, Ctrl-L clears the list, Ctrl-X exits with 0.
// Skipped when tmux is not installed. Every wait is bounded.
#include "tests/harness/harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

const std::string kSim = std::string(TAPWATCHER_BINARY_DIR) + "/bin/tapwatcher-sim";

// Runs a shell command; its standard output, and whether it exited with 0.
bool Shell(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return false;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int status = pclose(p);
    if (out)
        *out = text;
    return status == 0;
}

// A tmux server of our own, on its own socket, killed at the end.
class Tmux {
  public:
    Tmux() : socket_("tapwatcher-test-" + std::to_string(getpid())) {}
    ~Tmux() { Shell(Cmd("kill-server") + " 2>/dev/null"); }
    std::string Cmd(const std::string& args) const {
        return "env -u TMUX tmux -L " + socket_ + " " + args;
    }
    bool Start(const std::string& command) {
        return Shell(Cmd("new-session -d -x 100 -y 50 '" + command + "'"));
    }
    std::string Screen() const {
        std::string out;
        Shell(Cmd("capture-pane -p"), &out);
        return out;
    }
    void Keys(const std::string& keys) { Shell(Cmd("send-keys " + keys)); }

  private:
    std::string socket_;
};

// Waits up to 10 s for the condition; the last screen for the failure message.
bool WaitFor(const Tmux& tmux, const std::function<bool(const std::string&)>& ok,
             std::string& screen) {
    for (int i = 0; i < 200; ++i) {
        screen = tmux.Screen();
        if (ok(screen))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool HasLine(const std::string& screen, const std::regex& re) {
    std::istringstream in(screen);
    std::string line;
    while (std::getline(in, line))
        if (std::regex_search(line, re))
            return true;
    return false;
}

TEST(RunnerInteractive, TypedKeysBecomeRowsCtrlLClearsCtrlXExits) {
    if (!Shell("command -v tmux >/dev/null 2>&1"))
        GTEST_SKIP() << "tmux is not installed";
    ASSERT_EQ(access(kSim.c_str(), X_OK), 0) << kSim << " has not been built";
    TempDir tmp;
    Tmux tmux;
    ASSERT_TRUE(tmux.Start("cd " + tmp.path + " && " + kSim + " --root " + tmp.path +
                           "/device; echo status=$? > " + tmp.path + "/status; sleep 20"));
    std::string screen;

    // The sweep has listed the shell's 48 combinations.
    ASSERT_TRUE(WaitFor(
        tmux, [](const std::string& s) { return s.find("rows 34-48 of 48") != std::string::npos; },
        screen))
        << screen;
    EXPECT_NE(screen.find("Ctrl-X taps \"Exit\"  Ctrl-L taps \"Clear\""), std::string::npos)
        << screen;

    // "a": a press and a release of key 0x41, each a row, and passed on.
    tmux.Keys("-l a");
    const std::regex down(R"(^\|-?\d+ +41  D +\|$)"), up(R"(^\|-?\d+ +41  U +\|$)");
    ASSERT_TRUE(WaitFor(
        tmux, [&](const std::string& s) { return HasLine(s, down) && HasLine(s, up); }, screen))
        << screen;
    EXPECT_NE(screen.find("key A (0x41) up, mods none, synthesised"), std::string::npos) << screen;

    // Ctrl-L taps "Clear": no row is left (bar a quiet mark that may fall due).
    tmux.Keys("C-l");
    const std::regex any_key_row(R"(^\|-?\d+ +[0-9A-F]{2}  [DUF])");
    ASSERT_TRUE(WaitFor(
        tmux,
        [&](const std::string& s) {
            return !HasLine(s, any_key_row) && (s.find("\nno rows,") != std::string::npos ||
                                                s.find("\nrows 1-1 of 1,") != std::string::npos);
        },
        screen))
        << screen;

    // Ctrl-X taps "Exit": the tool ends, and so does the runner, with 0.
    tmux.Keys("C-x");
    std::string status;
    for (int i = 0; i < 200 && status.empty(); ++i) {
        status = ReadFile(tmp.path + "/status");
        if (status.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status, "status=0\n") << tmux.Screen();
}

} // namespace
