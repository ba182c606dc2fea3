// runner_interactive_test.cpp - tapwatcher-sim on a terminal. Through tmux,
// which has no keyboard protocol: keys typed become rows pressed and released
// at once, Ctrl-] makes App and held keys, a terminal too small says so,
// Ctrl-L clears the list, Ctrl-X exits with 0 (skipped when tmux is not
// installed). Through a pseudo-terminal that answers the protocol's query:
// real presses and releases, modifier-only presses, the screen on the
// controlling terminal and the transcript on standard output; SIGTERM and
// SIGHUP close the tool as the shell would, so a save-on-exit name saves.
// Every wait is bounded.
#include "tests/harness/harness.h"

#include "cli/runner/realtime.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>

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
    EXPECT_NE(screen.find("releases: made up at press"), std::string::npos) << screen;

    // "a": a press and a release of key 0x41, each a row, and passed on.
    tmux.Keys("-l a");
    const std::regex down(R"(^\|-?\d+ +41  D +\|$)"), up(R"(^\|-?\d+ +41  U +\|$)");
    ASSERT_TRUE(WaitFor(
        tmux, [&](const std::string& s) { return HasLine(s, down) && HasLine(s, up); }, screen))
        << screen;
    EXPECT_NE(screen.find("key A (0x41) up, mods none, synthesised"), std::string::npos) << screen;

    // Ctrl-] 1 is App1, which the built-in shell holds.
    tmux.Keys("C-]");
    tmux.Keys("-l 1");
    ASSERT_TRUE(WaitFor(
        tmux,
        [](const std::string& s) {
            return s.find("key App1 (0xC1) down, mods none, taken by shell") != std::string::npos;
        },
        screen))
        << screen;

    // Ctrl-] h holds the next key down until it is typed again.
    tmux.Keys("C-]");
    tmux.Keys("-l hb");
    const std::regex b_down(R"(^\|-?\d+ +42  D +\|$)"), b_up(R"(^\|-?\d+ +42  U +\|$)");
    ASSERT_TRUE(WaitFor(
        tmux,
        [&](const std::string& s) {
            return HasLine(s, b_down) && s.find("held: B") != std::string::npos;
        },
        screen))
        << screen;
    EXPECT_FALSE(HasLine(screen, b_up)) << screen;
    tmux.Keys("-l b");
    ASSERT_TRUE(WaitFor(
        tmux, [&](const std::string& s) { return HasLine(s, b_up); }, screen))
        << screen;

    // Too small a terminal says so; grown again, the screen comes back.
    tmux.Keys(""); // nothing: the resize below is what counts
    Shell(tmux.Cmd("resize-window -x 30 -y 12"));
    ASSERT_TRUE(WaitFor(
        tmux,
        [](const std::string& s) { return s.find("Terminal too small") != std::string::npos; },
        screen))
        << screen;
    for (const char* word : {"device's", "screen", "characters,", "terminal", "Enlarge", "closes"})
        EXPECT_NE(screen.find(word), std::string::npos) << "a word broken:\n" << screen;
    Shell(tmux.Cmd("resize-window -x 100 -y 50"));
    ASSERT_TRUE(WaitFor(
        tmux, [](const std::string& s) { return s.find("releases: made up") != std::string::npos; },
        screen))
        << screen;
    // With no key typed, the header's tick goes on.
    const std::string header = screen.substr(0, screen.find('\n'));
    ASSERT_TRUE(WaitFor(
        tmux, [&](const std::string& s) { return s.substr(0, s.find('\n')) != header; }, screen))
        << header;

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

// A terminal with the keyboard protocol, played on a pseudo-terminal: it
// answers "CSI ? u" and sends key events with their types. Standard output is
// a pipe, so the screen goes to the controlling terminal (the pseudo-terminal)
// and the transcript to the pipe.
class ProtocolTerminal {
  public:
    explicit ProtocolTerminal(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0)
            return;
        struct winsize ws = {50, 100, 0, 0};
        pid_ = forkpty(&master_, nullptr, nullptr, &ws);
        if (pid_ == 0) {
            dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~ProtocolTerminal() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            ::close(master_);
        if (out_ >= 0)
            ::close(out_);
    }
    void Send(const std::string& s) {
        ssize_t n = ::write(master_, s.data(), s.size());
        (void)n;
    }
    void Signal(int sig) { kill(pid_, sig); }
    // Reads the screen and the transcript until `done` holds or 10 s pass;
    // answers the protocol's query as such a terminal does.
    bool Until(const std::function<bool()>& done, int ms = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            struct pollfd p[2] = {{master_, POLLIN, 0}, {out_, POLLIN, 0}};
            if (poll(p, 2, 100) <= 0)
                continue;
            char buf[65536];
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP)))
                    continue;
                ssize_t n = ::read(p[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    if (i == 1)
                        closed = true;
                    continue;
                }
                (i ? transcript : screen).append(buf, (size_t)n);
            }
            if (!answered_ && screen.find("\x1b[?u") != std::string::npos) {
                answered_ = true;
                Send("\x1b[?0u\x1b[?62;22c");
            }
        }
        return true;
    }
    int Wait() {
        Until([this] { return closed; });
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string screen, transcript;
    bool closed = false;

  private:
    pid_t pid_ = -1;
    int master_ = -1, out_ = -1;
    bool answered_ = false, waited_ = false;
};

TEST(RunnerInteractive, TheKeyboardProtocolGivesRealPressesAndReleases) {
    ASSERT_EQ(access(kSim.c_str(), X_OK), 0) << kSim << " has not been built";
    TempDir tmp;
    ProtocolTerminal term({kSim, "--root", tmp.path + "/device"});
    auto seen = [&](const std::string& where, const std::string& what) {
        return [&where, what] { return where.find(what) != std::string::npos; };
    };
    ASSERT_TRUE(term.Until(seen(term.screen, "releases: real"))) << term.screen;
    ASSERT_TRUE(term.Until(seen(term.screen, "rows 34-48 of 48"))) << term.screen;

    // A press alone is a D row and nothing more; its release comes when sent.
    term.Send("\x1b[97u");
    ASSERT_TRUE(term.Until(seen(term.transcript, ": 41 (A) D"))) << term.transcript;
    term.Until([] { return false; }, 500); // half a second: no release is made up
    EXPECT_EQ(term.transcript.find(": 41 (A) U"), std::string::npos) << term.transcript;
    term.Send("\x1b[97;1:3u");
    ASSERT_TRUE(term.Until(seen(term.transcript, ": 41 (A) U"))) << term.transcript;

    // Shift alone, pressed and released: its own rows.
    term.Send("\x1b[57441;2u\x1b[57441;2:3u");
    ASSERT_TRUE(term.Until(seen(term.transcript, ": 10 (Shift) U S"))) << term.transcript;
    EXPECT_NE(term.transcript.find(": 10 (Shift) D S"), std::string::npos) << term.transcript;

    // Ctrl+C, as the protocol sends it, leaves; the protocol is turned off.
    term.Send("\x1b[99;5u");
    EXPECT_EQ(term.Wait(), 0);
    EXPECT_NE(term.screen.find("\x1b[<u"), std::string::npos);
    EXPECT_NE(term.transcript.find("the shell closes the tool (Ctrl-C)\n"), std::string::npos)
        << term.transcript;
    EXPECT_NE(term.transcript.find(" exit 0\n"), std::string::npos) << term.transcript;
}

// A signal from outside is the shell's close request, as Ctrl-C is: the tool
// closes, a save-on-exit name writes its data file, the terminal is put back,
// and the exit status is the tool's.
TEST(RunnerInteractive, SigtermAndSighupCloseTheToolWhichSaves) {
    ASSERT_EQ(access(kSim.c_str(), X_OK), 0) << kSim << " has not been built";
    const struct {
        int sig;
        const char* why;
    } kCases[] = {{SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.why);
        TempDir tmp;
        ProtocolTerminal term(
            {kSim, "--root", tmp.path + "/device", "--exe", "\\Program Files\\Wtapwatcher.exe"});
        auto seen = [&](const std::string& where, const std::string& what) {
            return [&where, what] { return where.find(what) != std::string::npos; };
        };
        ASSERT_TRUE(term.Until(seen(term.screen, "rows 34-48 of 48"))) << term.screen;
        term.Send("\x1b[97u\x1b[97;1:3u");
        ASSERT_TRUE(term.Until(seen(term.transcript, ": 41 (A) U"))) << term.transcript;

        term.Signal(c.sig);
        EXPECT_EQ(term.Wait(), 0) << term.transcript;
        EXPECT_NE(term.transcript.find(std::string("the shell closes the tool (") + c.why + ")\n"),
                  std::string::npos)
            << term.transcript;
        EXPECT_NE(term.transcript.find("data file written: "), std::string::npos)
            << term.transcript;
        std::string data = ReadFile(tmp.path + "/device/Program Files/tapwatcherdata.txt");
        EXPECT_NE(data.find("\t41\tD\t"), std::string::npos) << data;
        EXPECT_NE(data.find("\t41\tU\t"), std::string::npos) << data;
        // The protocol turned off and the alternate screen left, in that order.
        size_t pop = term.screen.rfind("\x1b[<u"), leave = term.screen.rfind("\x1b[?1049l");
        ASSERT_NE(pop, std::string::npos);
        ASSERT_NE(leave, std::string::npos);
        EXPECT_LT(pop, leave);
    }
}

int g_restored_fd = -1; // where a forked child says that it put the terminal back

// A second close signal ends the process at once, the terminal put back
// first; the first one again at once (`timeout`, a shell passing on a hangup)
// is the same request and ends nothing.
TEST(RunnerInteractive, ASecondCloseSignalEndsAtOnceTheSameOneAtOnceDoesNot) {
    const struct {
        int first, second, after_ms, dies_by;
    } kCases[] = {
        {SIGHUP, SIGHUP, 0, 0}, {SIGTERM, SIGINT, 0, SIGINT}, {SIGINT, SIGINT, 600, SIGINT}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second) + " after " +
                     std::to_string(c.after_ms) + " ms");
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        g_restored_fd = fds[1];
        pid_t pid = fork();
        if (pid == 0) {
            runner::Realtime loop({0, false, [] {
                                       ssize_t n = ::write(g_restored_fd, "r", 1);
                                       (void)n;
                                   }});
            raise(c.first);
            usleep((useconds_t)c.after_ms * 1000);
            raise(c.second);
            _exit(0);
        }
        ::close(fds[1]);
        int status = 0;
        waitpid(pid, &status, 0);
        char restored[8];
        ssize_t n = ::read(fds[0], restored, sizeof restored);
        ::close(fds[0]);
        if (c.dies_by) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.dies_by) << status;
            EXPECT_EQ(n, 1);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(n, 0);
        }
    }
}

} // namespace
