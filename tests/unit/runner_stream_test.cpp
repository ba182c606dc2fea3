// runner_stream_test.cpp - tapwatcher-sim's input and output as programs use
// them: hostile input refused at once, scenarios streamed from a pipe, the
// transcript flushed before the runner waits, owners of taken keys, host
// faults, and a data file found at start.
#include "cli/runner/input.h"
#include "cli/sim/run.h"
#include "tests/harness/harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;

const std::string kSim = std::string(TAPWATCHER_BINARY_DIR) + "/bin/tapwatcher-sim";

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

struct Outcome {
    int status;
    std::string out, err;
};
Outcome RunWith(const runner::Options& o) {
    std::ostringstream out, err;
    int status = runner::Run(o, out, err);
    return {status, out.str(), err.str()};
}

// --- input that cannot hurt ---------------------------------------------------

TEST(RunnerHostileInput, RefusedWithOneSafeLineAndNothingRuns) {
    const std::string long_bad = "jump " + std::string(5 << 20, 'x') + "\n";
    struct Case {
        std::string text;
        std::string want; // the message after "FILE:"
    } cases[] = {
        {"\xFF\xFEw\0a\0i\0t\0", "1: UTF-16 text (it starts with a UTF-16 byte order mark)"},
        {std::string("w\0a\0i\0t\0 \0001\0\n\0", 14), "1: UTF-16 text without a byte order mark"},
        {std::string("wait 1\nwa\0it\n", 13), "2: binary data (a NUL byte)"},
        {"wait 1\n\xC3\x28\n", "2: bytes that are not UTF-8"},
        {"wait 1\n" + std::string(5000, 'x') + "\n", "2: line longer than 4096 bytes"},
        {long_bad, "1: line longer than 4096 bytes"},
        {"\x1b[2J\x1b]0;pwned\x07 now\n", "1: unknown line \"\\x1B[2J\\x1B]0;pwned\\x07 now\""},
        {"press " + std::string(300, 'Q') + "\n", "1: press: unknown key \"QQQQ"},
    };
    TempDir tmp;
    int n = 0;
    for (const Case& c : cases) {
        runner::Options o;
        o.scenario = tmp.path + "/s" + std::to_string(n) + ".scn";
        o.root = tmp.path + "/device" + std::to_string(n++);
        WriteFile(o.scenario, c.text);
        Outcome r = RunWith(o);
        EXPECT_EQ(r.status, runner::kExitBadInput) << c.want;
        EXPECT_EQ(r.err.rfind(o.scenario + ":" + c.want, 0), 0u)
            << "expected: " << c.want << "\ngot: " << r.err.substr(0, 300);
        EXPECT_LT(r.err.size(), o.scenario.size() + 200) << "echoed text is cut";
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "control bytes are escaped";
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err.substr(0, 300);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(o.root));
    }
}

TEST(RunnerHostileInput, AByteOrderMarkIsSkipped) {
    TempDir tmp;
    runner::Options o;
    o.scenario = tmp.path + "/s.scn";
    o.root = tmp.path + "/device";
    WriteFile(o.scenario, "\xEF\xBB\xBFwait 100\ntype A\n");
    Outcome r = RunWith(o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("100 line 2: type A\n"), std::string::npos) << r.out;
}

// A line without end is refused once the limit is passed: the reader never
// takes more than one read's worth of a gigabyte.
TEST(RunnerHostileInput, AGigabyteLineIsRefusedAfterOneRead) {
    TempDir tmp;
    std::string path = tmp.path + "/big.scn";
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    std::string head(64 * 1024, 'w');
    ASSERT_EQ(::write(fd, head.data(), head.size()), (ssize_t)head.size());
    ASSERT_EQ(::ftruncate(fd, 1LL << 30), 0);
    ::close(fd);
    fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    runner::LineReader reader(fd, "big.scn", false);
    std::string line, error;
    EXPECT_EQ(reader.Next(line, error), runner::LineReader::Bad);
    EXPECT_EQ(error, "big.scn:1: line longer than 4096 bytes");
    EXPECT_LE(::lseek(fd, 0, SEEK_CUR), 64 * 1024);
    ::close(fd);
}

TEST(RunnerHostileInput, DevicesThatNeverEndAreRefused) {
    for (const char* dev : {"/dev/zero", "/dev/urandom"}) {
        TempDir tmp;
        runner::Options o;
        o.scenario = dev;
        o.root = tmp.path + "/device";
        Outcome r = RunWith(o);
        EXPECT_EQ(r.status, runner::kExitBadInput) << dev;
        EXPECT_EQ(r.err.rfind(std::string(dev) + ":1: ", 0), 0u) << r.err;
        EXPECT_FALSE(fs::exists(o.root)) << dev;
    }
}

// --- the command as a child, its standard input and output pipes --------------

class Child {
  public:
    explicit Child(const std::vector<std::string>& args) {
        std::signal(SIGPIPE, SIG_IGN); // a child that stops reading fails a write, no more
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 2);
            for (int fd : {in[0], in[1], out[0], out[1], null})
                ::close(fd);
            std::vector<char*> argv;
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Child() {
        if (in_ >= 0)
            ::close(in_);
        if (out_ >= 0)
            ::close(out_);
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Write(const std::string& s) {
        ssize_t n = ::write(in_, s.data(), s.size());
        (void)n;
    }
    void CloseInput() {
        ::close(in_);
        in_ = -1;
    }
    // Reads until `text` has appeared in the output or 20 s have passed.
    bool ReadUntil(const std::string& text) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (output.find(text) == std::string::npos) {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                           end - std::chrono::steady_clock::now())
                           .count();
            if (left <= 0)
                return false;
            struct pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                return false;
            char buf[4096];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0)
                return output.find(text) != std::string::npos;
            output.append(buf, (size_t)n);
        }
        return true;
    }
    int Wait() {
        ReadUntil("\x01never");
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output;

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    bool waited_ = false;
};

// Lines from a pipe run as they arrive, and the transcript, buffered into a
// pipe, is written out before the runner waits for the next line. A bad line
// then stops the run with 2; what ran stays run.
TEST(RunnerStream, LinesRunAsTheyArriveAndABadLineStopsTheRun) {
    if (access(kSim.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no " << kSim;
    TempDir tmp;
    Child sim({kSim, "--root", tmp.path + "/device", "-"});
    sim.Write("wait 100\ntype A\n");
    ASSERT_TRUE(sim.ReadUntil("100 key A (0x41) up")) << sim.output;
    EXPECT_NE(sim.output.find("100 row 50: 41 (A) U +0 ms\n"), std::string::npos) << sim.output;
    sim.Write("wait 50\nfly away\ntype B\n");
    EXPECT_EQ(sim.Wait(), runner::kExitBadInput);
    EXPECT_NE(sim.output.find("150 stopped: <stdin>:4: unknown line \"fly away\""),
              std::string::npos)
        << sim.output;
    EXPECT_EQ(sim.output.find("line 5:"), std::string::npos) << sim.output;
    EXPECT_NE(sim.output.find("150 exit 2 (the tool exited 0; a bad line stopped the run)\n"),
              std::string::npos)
        << sim.output;
}

TEST(RunnerStream, AStreamThatEndsEndsTheRunAsAFileWould) {
    if (access(kSim.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no " << kSim;
    TempDir tmp;
    Child sim({kSim, "--format", "jsonl", "--root", tmp.path + "/device", "-"});
    sim.Write("# only a comment\nwait 10\nbutton Exit\n");
    sim.CloseInput();
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_NE(sim.output.find("{\"tick\":10,\"type\":\"menu_tap\",\"button\":\"Exit\"}\n"),
              std::string::npos)
        << sim.output;
    EXPECT_NE(sim.output.find("\"type\":\"exit\",\"status\":0"), std::string::npos) << sim.output;
}

// --- what the transcript tells ---------------------------------------------------

TEST(RunnerTranscript, TakenKeysNameTheirOwner) {
    runner::ScenarioRun run;
    std::string error;
    ASSERT_TRUE(runner::RunScenarioText("taken = Ctrl+F3 phone\ntaken = Any+App1\n",
                                        "wait 10\ntype Ctrl+F3\ntype App1\n", "", run, error))
        << error;
    EXPECT_NE(run.transcript.find("10 key F3 (0x72) down, mods Ctrl, taken by phone\n"),
              std::string::npos)
        << run.transcript;
    EXPECT_NE(run.transcript.find("10 key App1 (0xC1) down, mods none, taken by shell\n"),
              std::string::npos)
        << run.transcript;
}

// A data file from an earlier run is named at the start; a write the host
// refuses (here past the process's file-size limit) is told apart from the
// device's own faults, once for all the writes of the save, and ends the run
// with 4; so does a link under the root (here to /dev/full), never followed.
TEST(RunnerTranscript, HostFaultsAndAnEarlierDataFile) {
    TempDir tmp;
    runner::Options o;
    o.root = tmp.path + "/device";
    o.exe = "\\Program Files\\Wtapwatcher.exe";
    o.scenario = tmp.path + "/s.scn";
    WriteFile(o.scenario, "wait 10\ntype A\n");
    WriteFile(o.root + "/Program Files/tapwatcherdata.txt", "old\r\n");
    Outcome r = RunWith(o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("0 data file already present: " + o.root +
                         "/Program Files/tapwatcherdata.txt (5 bytes)\n"),
              std::string::npos)
        << r.out;

    WriteFile(o.scenario, "wait 10\ntype A\ntype B\ntype C\n");
    rlimit old_limit, limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    limit = old_limit;
    limit.rlim_cur = 8;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    r = RunWith(o);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(r.status, runner::kExitHost) << r.out;
    std::string failed =
        "host: write failed: File too large (" + o.root + "/Program Files/tapwatcherdata.txt), ";
    size_t at = r.out.find(failed);
    EXPECT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("host: write failed", at + 1), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exit 4 (the tool exited 0; the host failed a write)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("the host failed a write"), std::string::npos) << r.err;

    fs::remove(o.root + "/Program Files/tapwatcherdata.txt");
    fs::create_symlink("/dev/full", o.root + "/Program Files/tapwatcherdata.txt");
    r = RunWith(o);
    EXPECT_EQ(r.status, runner::kExitHost) << r.out;
    EXPECT_NE(r.out.find("host: open failed: a symbolic link, refused under the device root (" +
                         o.root + "/Program Files/tapwatcherdata.txt)\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::is_symlink(o.root + "/Program Files/tapwatcherdata.txt"));

    // A missing read-only file is made beneath the root, never through a link.
    o.device = tmp.path + "/ro.profile";
    WriteFile(o.device, "read-only = \\Program Files\\ro.txt\n");
    fs::create_symlink(tmp.path + "/outside.txt", o.root + "/Program Files/ro.txt");
    r = RunWith(o);
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_FALSE(fs::exists(tmp.path + "/outside.txt"));
}

TEST(RunnerTranscript, FormatOptions) {
    runner::Options o;
    std::string error;
    ASSERT_TRUE(runner::ParseArgs({"--format=jsonl", "--line-buffered", "s"}, o, error)) << error;
    EXPECT_EQ(o.format, runner::Format::Jsonl);
    EXPECT_TRUE(o.line_buffered);
    EXPECT_FALSE(runner::ParseArgs({"--format", "xml"}, o, error));
    EXPECT_EQ(error, "tapwatcher-sim: --format: expected text or jsonl, got \"xml\"");
}

} // namespace
