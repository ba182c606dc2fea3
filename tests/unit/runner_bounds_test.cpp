// runner_bounds_test.cpp - tapwatcher-sim's inputs kept within bounds and its
// outside texts escaped: profiles of a size and a screen it can draw,
// combinations counted once, streamed scenarios forgotten as they run,
// paths and names that cannot forge a line, a run that saves nothing leaves
// nothing, a key before the tool was ready is said.
#include "cli/runner/job.h"
#include "cli/runner/profile.h"
#include "cli/runner/scenario_run.h"
#include "cli/sim/run.h"
#include "tests/harness/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

struct Outcome {
    int status;
    std::string out, err;
};

// Runs tapwatcher-sim on `scenario` with a profile of `profile` (none when
// empty) under `tmp`.
Outcome RunSim(const TempDir& tmp, const std::string& profile, const std::string& scenario,
               runner::Options o = {}) {
    if (!profile.empty()) {
        if (o.device.empty())
            o.device = tmp.path + "/device.prof";
        std::ofstream(o.device, std::ios::binary) << profile;
    }
    o.scenario = tmp.path + "/s.scn";
    std::ofstream(o.scenario, std::ios::binary) << scenario;
    o.root = tmp.path + "/root";
    std::ostringstream out, err;
    int status = runner::Run(o, out, err);
    return {status, out.str(), err.str()};
}

TEST(RunnerBounds, ProfilesOfASizeAndAScreenItCanDraw) {
    std::string many;
    while (many.size() <= (1 << 20))
        many += "taken = Any+0x41\n";
    struct Case {
        std::string profile;
        const char* error; // the start of the message after "FILE"; "" taken
    } cases[] = {
        {many, ": larger than 1 MB"},
        {"screen = 8192x8192\ndpi = 1\n", ":2: screen 8192x8192 at 1 dpi is 8192 characters"},
        {"dpi = 1\nscreen = 4096x240\n", ":2: screen 4096x240 at 1 dpi is 4096 characters"},
        {"screen = 8192x8192\n", ""},
        {"dpi = 1\nscreen = 240x320\n", ""},
    };
    for (const Case& c : cases) {
        TempDir tmp;
        Outcome r = RunSim(tmp, c.profile, "wait 1\n");
        if (*c.error) {
            EXPECT_EQ(r.status, runner::kExitBadInput) << c.error;
            EXPECT_EQ(r.err.rfind(tmp.path + "/device.prof" + c.error, 0), 0u) << r.err;
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
        }
    }
}

TEST(RunnerBounds, ACombinationListedTwiceIsCountedOnce) {
    TempDir tmp;
    std::string profile;
    for (int i = 0; i < 1000; ++i)
        profile += "taken = Any+0x41\ntaken = Ctrl+B\n";
    Outcome r = RunSim(tmp, profile, "wait 1\n");
    EXPECT_NE(r.out.find(", 9 combinations taken,"), std::string::npos) << r.out.substr(0, 300);
}

// Texts from outside reach the transcript escaped: no line is forged, no
// control sequence written.
TEST(RunnerBounds, OutsideTextsCannotForgeALine) {
    TempDir tmp;
    runner::Options o;
    o.exe = "\\x\n99999 row 1: FORGED.exe";
    o.device = tmp.path + "/dev\nice\x1b[2J.prof";
    Outcome r =
        RunSim(tmp, "platform = \x1b]0;owned\x07PocketPC\xc2\x9b\xe2\x80\xae\n", "wait 1\n", o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("\n99999"), std::string::npos);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.out.find('\x07'), std::string::npos);
    EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(r.out.find("PocketPC\\u009B\\u202E"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exe \\x\\x0A99999 row 1: FORGED.exe"), std::string::npos) << r.out;
}

// A streamed scenario forgets the lines it has run.
TEST(RunnerBounds, AStreamedScenarioKeepsOnlyWhatItNeeds) {
    TempDir tmp;
    const std::string path = tmp.path + "/s.scn";
    {
        std::ofstream f(path);
        for (int i = 0; i < 20000; ++i)
            f << "wait 0\n";
        f << "type A\n";
    }
    runner::Job job;
    job.profile = runner::BuiltinDeviceProfile();
    job.profile.root = tmp.path + "/root";
    job.profile_name = "built-in";
    job.stream = std::make_unique<runner::LineReader>(open(path.c_str(), O_RDONLY), path, true);
    std::string error;
    ASSERT_EQ(runner::PullLine(job, error), runner::LineReader::Line) << error;
    std::ostringstream out, err;
    runner::Transcript t(&out);
    EXPECT_EQ(runner::RunJob(job, t, err), 0) << err.str();
    EXPECT_LE(job.scenario.size(), 1u);
    t.Flush();
    EXPECT_NE(out.str().find("line 20001: type A"), std::string::npos);
}

// The executable's folder is made when the tool first writes a file there.
TEST(RunnerBounds, ARunThatSavesNothingCreatesNothing) {
    struct Case {
        const char* exe;
        const char* scenario;
        bool saves;
    } cases[] = {
        {"\\Program Files\\tapwatcher.exe", "type A\nbutton Exit\n", false},
        {"\\Program Files\\Wtapwatcher.exe", "wait 10\ntype A\nclose\n", true},
    };
    for (const Case& c : cases) {
        TempDir tmp;
        runner::Options o;
        o.exe = c.exe;
        Outcome r = RunSim(tmp, "", c.scenario, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fs::exists(tmp.path + "/root"), c.saves) << c.exe;
        EXPECT_EQ(fs::exists(tmp.path + "/root/Program Files/tapwatcherdata.txt"), c.saves);
    }
}

TEST(RunnerBounds, AKeyBeforeTheToolWasReadyIsSaid) {
    TempDir tmp;
    Outcome r = RunSim(tmp, "", "type A\nwait 100\ntype A\n");
    EXPECT_NE(r.out.find("0 the tool was not ready yet"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("not ready", r.out.find("line 3")), std::string::npos);
}

} // namespace
