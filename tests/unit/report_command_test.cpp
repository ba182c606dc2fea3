// report_command_test.cpp - tapwatcher-report as a command: its arguments, its outputs (which
// never clobber what their paths point to), standard input, the replay checked on the
// simulated device, the page and the short form.
#include <gtest/gtest.h>

#include "cli/report/analysis.h"
#include "cli/report/cli.h"
#include "cli/report/datafile.h"
#include "cli/report/options.h"
#include "cli/report/replay.h"
#include "cli/report/sim_replay.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace report;
namespace fs = std::filesystem;

// One line of a data file, CR LF included.
std::string Line(const std::string& tick, const std::string& vk = "", const std::string& ud = "",
                 const std::string& ctrl = "") {
    return tick + "\t" + vk + "\t" + ud + "\t\t" + ctrl + "\t\r\n";
}

// Ctrl+A on a pass-through device, after a sweep that found F3 taken.
const std::string kCtrlA = std::string(kHeader) + Line("1001", "72", "F") + Line("4001") +
                           Line("9000", "11", "D", "C") + Line("9120", "41", "D", "C") +
                           Line("9250", "41", "U", "C") + Line("9250", "11", "U", "C") +
                           Line("12250");

// The examples' data files.
const std::string kExamples = std::string(TAPWATCHER_SOURCE_DIR) + "/examples/report/";

// All bytes that can be read from FD until its writers close it.
std::string Drain(int fd) {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

class Command : public ::testing::Test {
  protected:
    // A fresh folder for each test.
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("report_test_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    // Removes the test's folder.
    void TearDown() override { fs::remove_all(dir_); }

    // A path in the test's folder.
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Writes a file in the test's folder.
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }

    // Reads a file from the test's folder.
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Runs the command in-process with IN as standard input, keeping what it prints.
    int Run(const std::vector<std::string>& args, const std::string& in = "",
            const ReplayRunner& runner = nullptr) {
        out_.str("");
        err_.str("");
        std::istringstream stdin_stream(in);
        return RunReport(args, stdin_stream, out_, err_, runner);
    }

    // Whether the test's folder holds exactly NAMES.
    bool OnlyFiles(const std::vector<std::string>& names) const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir_))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        std::vector<std::string> wanted = names;
        std::sort(wanted.begin(), wanted.end());
        return found == wanted;
    }

    fs::path dir_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(Command, WritesEveryOutputWhole) {
    Write("in.txt", kCtrlA);
    ASSERT_EQ(Run({Path("in.txt"), "--svg", Path("o.svg"), "--timeline", Path("t.svg"), "--html",
                   Path("p.html"), "--scenario", Path("o.scn"), "--profile", Path("o.prof")}),
              kExitOk)
        << err_.str();
    EXPECT_TRUE(OnlyFiles({"in.txt", "o.svg", "t.svg", "p.html", "o.scn", "o.prof"}));
    Replay expected = BuildReplay(ParseDataFile(kCtrlA), Path("in.txt"));
    EXPECT_EQ(Read("o.scn"), expected.scenario);
    EXPECT_EQ(Read("o.prof"), expected.profile);
    EXPECT_NE(Read("o.svg").find("Taken hot-key combinations: 1 of 2048"), std::string::npos);
    EXPECT_NE(Read("t.svg").find("Key timeline: 4 key events"), std::string::npos);
    EXPECT_NE(out_.str().find("Occupancy: 1 of 2048"), std::string::npos);
    EXPECT_NE(out_.str().find("replay not verified (no simulated device in this build)"),
              std::string::npos);
    // From standard input, which the replay reads again from its copy.
    ASSERT_EQ(Run({"-", "--scenario", Path("i.scn"), "--profile", Path("i.prof")}, kCtrlA),
              kExitOk);
    Replay from_stdin = BuildReplay(ParseDataFile(kCtrlA), "<stdin>");
    EXPECT_EQ(Read("i.scn"), from_stdin.scenario);
    EXPECT_EQ(Read("i.prof"), from_stdin.profile);
}

TEST_F(Command, BadInputWritesNothing) {
    Write("old.svg", "old");
    Write("in.txt", std::string(kHeader) + Line("1", "41", "D") + Line("2", "41", "u"));
    EXPECT_EQ(Run({Path("in.txt"), "--svg", Path("old.svg"), "--scenario", Path("o.scn")}),
              kExitBadInput);
    EXPECT_EQ(err_.str(), Path("in.txt") + ":3: U/D field \"u\" is not D, U or F\n");
    EXPECT_TRUE(out_.str().empty());
    EXPECT_EQ(Read("old.svg"), "old");
    EXPECT_TRUE(OnlyFiles({"in.txt", "old.svg"}));
}

TEST_F(Command, KeysTheReplayCannotExpressLeaveTheRestOfTheReport) {
    Write("in.txt", std::string(kHeader) + Line("1", "41", "D") + Line("2", "1A5", "D") +
                        Line("3", "1A5", "U") + Line("4", "41", "U"));
    ASSERT_EQ(Run({Path("in.txt"), "--svg", Path("o.svg"), "--scenario", Path("o.scn")}, "",
                  RunReplayOnDevice),
              kExitOk)
        << err_.str();
    EXPECT_NE(Read("o.scn").find("# line 3: press of key code 0x1A5 left out"), std::string::npos);
    EXPECT_NE(out_.str().find("replay verified: 2 rows the same (run as \\Program "
                              "Files\\Wtapwatcher.exe); 2 rows left out (lines 3, 4)"),
              std::string::npos)
        << out_.str();
    EXPECT_NE(out_.str().find("Key timeline: 4 key events"), std::string::npos);
}

TEST_F(Command, AnOutputThatCannotBeWrittenLeavesTheOthersUnwritten) {
    Write("in.txt", kCtrlA);
    fs::create_directory(Path("folder"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {Path("no/dir/o.prof"), "no/dir/o.prof: cannot write"},
        {Path("folder"), "folder: is a directory; only a regular file"},
    };
    for (const auto& [bad, message] : cases) {
        EXPECT_EQ(Run({Path("in.txt"), "--svg", Path("o.svg"), "--profile", bad}),
                  kExitWriteFailed);
        EXPECT_NE(err_.str().find(message), std::string::npos) << err_.str();
        EXPECT_TRUE(OnlyFiles({"in.txt", "folder"}));
        EXPECT_TRUE(fs::is_empty(Path("folder")));
    }
}

TEST_F(Command, SymlinksAreWrittenThroughAndRegularFilesKeepTheirMode) {
    Write("in.txt", kCtrlA);
    Write("real.svg", "old");
    chmod(Path("real.svg").c_str(), 0640);
    fs::create_symlink("real.svg", Path("link.svg"));
    fs::create_symlink("link.svg", Path("chain.svg")); // a link to the link
    fs::create_directory(Path("sub"));
    fs::create_symlink("../made.scn", Path("sub/dangling.scn"));
    Write("plain.prof", "old");
    chmod(Path("plain.prof").c_str(), 0600);
    ASSERT_EQ(Run({Path("in.txt"), "--svg", Path("chain.svg"), "--scenario",
                   Path("sub/dangling.scn"), "--profile", Path("plain.prof")}),
              kExitOk)
        << err_.str();
    EXPECT_TRUE(fs::is_symlink(Path("link.svg")));
    EXPECT_TRUE(fs::is_symlink(Path("chain.svg")));
    EXPECT_TRUE(fs::is_symlink(Path("sub/dangling.scn")));
    EXPECT_EQ(Read("real.svg").rfind("<?xml", 0), 0u);
    EXPECT_NE(Read("made.scn").find("press A\n"), std::string::npos);
    EXPECT_EQ(fs::status(Path("real.svg")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(fs::status(Path("plain.prof")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(OnlyFiles({"in.txt", "real.svg", "link.svg", "chain.svg", "sub", "made.scn",
                           "plain.prof"})); // no temporary file left
}

TEST_F(Command, StreamsAreWrittenInPlace) {
    Write("in.txt", kCtrlA);

    // "-": standard output holds the picture and nothing else.
    ASSERT_EQ(Run({Path("in.txt"), "--svg", "-"}), kExitOk) << err_.str();
    EXPECT_EQ(out_.str().rfind("<?xml", 0), 0u);
    EXPECT_EQ(out_.str().rfind("</svg>\n"), out_.str().size() - 7);
    EXPECT_FALSE(fs::exists(Path("-")));

    // A FIFO, directly and through a link, and a link like /dev/stdout into /proc that
    // names a pipe: each read by another thread, each still what it was afterwards.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    fs::create_symlink("fifo", Path("to-fifo"));
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    std::string proc_link = "/proc/self/fd/" + std::to_string(pipe_fds[1]);
    fs::create_symlink(proc_link, Path("stdout"));
    for (const char* name : {"fifo", "to-fifo", "stdout"}) {
        SCOPED_TRACE(name);
        // The reader's end, and a writer's end held open until the command is done, so the
        // reader sees the end of the stream then, whatever the command did.
        bool fifo = std::string(name) != "stdout";
        int read_fd = fifo ? open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK) : pipe_fds[0];
        int hold_fd = fifo ? open(Path("fifo").c_str(), O_WRONLY | O_NONBLOCK) : pipe_fds[1];
        ASSERT_GE(read_fd, 0);
        ASSERT_GE(hold_fd, 0);
        fcntl(read_fd, F_SETFL, 0);
        std::string got;
        std::thread reader([&] { got = Drain(read_fd); });
        int status = Run({Path("in.txt"), "--timeline", Path(name)});
        close(hold_fd);
        reader.join();
        close(read_fd);
        EXPECT_EQ(status, kExitOk) << err_.str();
        EXPECT_NE(got.find("Key timeline:"), std::string::npos);
        EXPECT_EQ(got.rfind("</svg>\n"), got.size() - 7);
    }
    struct stat st;
    ASSERT_EQ(stat(Path("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_TRUE(fs::is_symlink(Path("to-fifo")));
    EXPECT_TRUE(fs::is_symlink(Path("stdout")));
    EXPECT_EQ(fs::read_symlink(Path("stdout")).string(), proc_link);

    // A character device (a null device of our own, where the system allows making one).
    if (mknod(Path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        fs::create_symlink("null", Path("to-null"));
        EXPECT_EQ(Run({Path("in.txt"), "--svg", Path("to-null")}), kExitOk) << err_.str();
        ASSERT_EQ(lstat(Path("null").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_TRUE(fs::is_symlink(Path("to-null")));
    }
    EXPECT_EQ(Run({Path("in.txt"), "--svg", "-", "--timeline", "-"}), kExitBadInput);
    EXPECT_NE(err_.str().find("-: named for two outputs"), std::string::npos);
}

TEST_F(Command, ReadsStandardInputAndWarnsAboutWhatItReadAnyway) {
    std::string lf_only = kCtrlA;
    lf_only.erase(std::remove(lf_only.begin(), lf_only.end(), '\r'), lf_only.end());
    lf_only.pop_back(); // and no line end at the last line
    ASSERT_EQ(Run({"-", "--summary"}, lf_only), kExitOk) << err_.str();
    EXPECT_EQ(err_.str(),
              "<stdin>:1: lines end with LF alone instead of CR LF; read anyway\n"
              "<stdin>:8: the last line has no line end: the file is cut short there (saving "
              "stopped mid-write?); line left out\n");
    EXPECT_EQ(out_.str().rfind("Data file <stdin>: 6 rows", 0), 0u) << out_.str();
    EXPECT_NE(out_.str().find("\nCut short: line 8 has no line end and is left out\n"),
              std::string::npos);

    EXPECT_EQ(Run({"-"}, std::string(kHeader) + Line("1", "4", "D")), kExitBadInput);
    EXPECT_EQ(err_.str(), "<stdin>:2: bad key code \"4\": fewer than two hex digits\n");
}

TEST_F(Command, TheReplayIsVerifiedOnTheSimulatedDevice) {
    ASSERT_EQ(Run({kExamples + "session.txt", "--summary", "--scenario", Path("s.scn"), "--profile",
                   Path("s.prof")},
                  "", RunReplayOnDevice),
              kExitOk)
        << err_.str();
    EXPECT_NE(out_.str().find("14 key events; replay verified: 30 rows the same (run as "
                              "\\Program Files\\Wtapwatcher.exe)\n"),
              std::string::npos)
        << out_.str();
    EXPECT_NE(Read("s.prof").find("exe = \\Program Files\\Wtapwatcher.exe\n"), std::string::npos);

    // A file from a real device: the rows that differ, and why.
    ASSERT_EQ(Run({kExamples + "sample.txt", "--scenario", Path("s.scn")}, "", RunReplayOnDevice),
              kExitOk);
    EXPECT_NE(out_.str().find("replay differs: 23 rows the same, 3 not"), std::string::npos)
        << out_.str();
    EXPECT_NE(out_.str().find("  line 26: D up at -2147472596, not made by the replay: no press "
                              "of this key before it"),
              std::string::npos)
        << out_.str();
    EXPECT_EQ(out_.str().find("will not replay the same"), std::string::npos);

    // With the scenario on standard output, the verdict goes to standard error.
    ASSERT_EQ(Run({kExamples + "session.txt", "--scenario", "-"}, "", RunReplayOnDevice), kExitOk);
    EXPECT_EQ(out_.str().rfind("# Scenario written by tapwatcher-report", 0), 0u);
    EXPECT_NE(err_.str().find("replay verified: 30 rows the same"), std::string::npos);
}

TEST_F(Command, ThePageHoldsEverythingInlineWithFindingsLinkedToRows) {
    ASSERT_EQ(Run({kExamples + "session.txt", "--html", Path("p.html")}), kExitOk) << err_.str();
    std::string page = Read("p.html");
    std::regex link("<a href=\"#(line-\\d+)\">");
    std::size_t links = 0;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), link);
         it != std::sregex_iterator(); ++it, ++links)
        EXPECT_NE(page.find("<tr id=\"" + (*it)[1].str() + "\""), std::string::npos) << (*it)[0];
    EXPECT_GE(links, 4u); // three findings and the wrap, each linked
    std::size_t table_rows = 0;
    for (std::size_t at = page.find("<tr id=\"line-"); at != std::string::npos;
         at = page.find("<tr id=\"line-", at + 1))
        ++table_rows;
    EXPECT_EQ(table_rows, 30u);
    for (const char* section : {"id=\"summary\"", "id=\"findings\"", "id=\"timeline\"",
                                "id=\"grid\"", "id=\"rows\"", "<svg xmlns", "echoes the tool"})
        EXPECT_NE(page.find(section), std::string::npos) << section;
    EXPECT_EQ(page.find("<?xml"), std::string::npos); // the pictures inline, as elements
    std::string without_namespace = std::regex_replace(page, std::regex("xmlns=\"[^\"]*\""), "");
    for (const char* remote : {"http:", "https:", "src=", "<script", "@import", "url("})
        EXPECT_EQ(without_namespace.find(remote), std::string::npos) << remote;
}

TEST_F(Command, SummaryPrintsOnlyTheCountsAndTheFindings) {
    ASSERT_EQ(Run({kExamples + "session.txt", "--summary"}), kExitOk);
    std::string summary = out_.str();
    for (const char* section : {"Occupancy", "burst 1", "Key timeline"})
        EXPECT_EQ(summary.find(section), std::string::npos) << section;
    EXPECT_NE(summary.find("Findings: 3 (2 faults, 1 echo of the pass-through)\n"),
              std::string::npos);
    EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 9) << summary;
}

TEST_F(Command, BadArguments) {
    Write("in.txt", kCtrlA);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {Path("in.txt"), "--bogus"},
        {Path("in.txt"), "--svg"},
        {Path("in.txt"), "--svg", Path("a.svg"), "--svg", Path("b.svg")},
        {Path("in.txt"), Path("other.txt")},
        {Path("in.txt"), "--scenario", Path("in.txt")},
        {Path("in.txt"), "--html", Path("x"), "--profile", Path("./x")},
        {Path("missing.txt")},
        {dir_.string()},
    };
    for (const auto& args : cases) {
        EXPECT_EQ(Run(args), kExitBadInput) << ::testing::PrintToString(args);
        EXPECT_FALSE(err_.str().empty());
    }
    EXPECT_EQ(Read("in.txt"), kCtrlA);
    EXPECT_TRUE(OnlyFiles({"in.txt"}));

    EXPECT_EQ(Run({"--help"}), kExitOk);
    EXPECT_NE(out_.str().find("Replay:"), std::string::npos);
    EXPECT_EQ(Run({"--version"}), kExitOk);
    EXPECT_EQ(out_.str().rfind("tapwatcher-report ", 0), 0u);
}

// Every option of the table that --help and the manual page are made from is one the
// command takes, under each of its forms, and --help lists each.
TEST_F(Command, TakesEveryOptionItsHelpLists) {
    Write("in.txt", kCtrlA);
    ASSERT_EQ(Run({"--help"}), kExitOk);
    const std::string help = out_.str();
    for (const cli::OptionDoc& option : kOptions) {
        for (const char* form : {option.name, option.alias}) {
            if (*form == '\0')
                continue;
            std::vector<std::string> args = {Path("in.txt"), form};
            if (*option.value != '\0')
                args.push_back(Path(std::string("out") + form));
            if (std::string(form) == "--diff")
                args.push_back(Path("in.txt")); // the file against itself: the same
            EXPECT_EQ(Run(args), kExitOk) << form << ": " << err_.str();
            EXPECT_NE(help.find(form), std::string::npos) << form;
        }
    }
}

TEST_F(Command, ReadsTheExampleDataFiles) {
    struct Case {
        const char* name;
        std::vector<FindingKind> findings;
        std::size_t wraps;
    };
    const std::vector<Case> cases = {
        {"sample.txt",
         {FindingKind::Chatter, FindingKind::Stuck, FindingKind::ReleaseWithoutPress},
         1},
        {"session.txt", {FindingKind::Echo, FindingKind::Chatter, FindingKind::Stuck}, 1},
    };
    for (const Case& c : cases) {
        std::string path = kExamples + c.name;
        ASSERT_EQ(Run({path}), kExitOk) << err_.str();
        EXPECT_TRUE(err_.str().empty()) << err_.str();
        std::ifstream in(path, std::ios::binary);
        Analysis a = Analyse(ParseDataFile(std::string(std::istreambuf_iterator<char>(in), {})));
        std::vector<FindingKind> kinds;
        for (const Finding& f : a.findings)
            kinds.push_back(f.kind);
        EXPECT_EQ(kinds, c.findings) << c.name;
        EXPECT_EQ(a.wraps.size(), c.wraps);
    }
    // The session is what the simulated device saves for examples/report/session.scn.
    std::ifstream session(kExamples + "session.txt", std::ios::binary);
    std::ifstream golden(std::string(TAPWATCHER_SOURCE_DIR) +
                             "/tests/golden/report-session/root/Program Files/tapwatcherdata.txt",
                         std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(session), {}),
              std::string(std::istreambuf_iterator<char>(golden), {}));
}

// What the device took under one profile and not another, as the data files it saved say.
TEST_F(Command, DiffListsTheCombinationsTakenAndFreed) {
    auto saved = [](const char* golden) {
        return std::string(TAPWATCHER_SOURCE_DIR) + "/tests/golden/" + golden +
               "/root/Program Files/tapwatcherdata.txt";
    };
    // The session as saved, with App1 freed and Ctrl+Alt+T taken instead.
    std::ifstream in(saved("report-session"), std::ios::binary);
    std::string other(std::istreambuf_iterator<char>(in), {});
    const std::string app1 = "2147470001\tC1\tF\t\t\t\r\n";
    ASSERT_NE(other.find(app1), std::string::npos);
    other.replace(other.find(app1), app1.size(), "2147470001\t54\tF\t\tC\tA\r\n");
    Write("other.txt", other);
    Write("bad.txt", std::string(kHeader) + Line("1", "4", "F"));
    struct Case {
        std::string old_file, new_file;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {saved("report-session"), saved("report-session"), kExitOk, ""},
        {saved("report-session"), saved("report-session-top"), kExitOk, ""},
        {saved("report-session"), Path("other.txt"), 1, "+ Ctrl+Alt+T\n- App1\n"},
        {Path("other.txt"), saved("report-session-system"), 1, "+ App1\n- Ctrl+Alt+T\n"},
        {Path("bad.txt"), Path("other.txt"), kExitBadInput, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.old_file + " " + c.new_file);
        EXPECT_EQ(Run({"--diff", c.old_file, c.new_file}), c.status) << err_.str();
        EXPECT_EQ(out_.str(), c.out);
    }
}

// Each way a new user's command line could clobber, lose or corrupt something, run as the
// shell runs it: with its redirections, in the test's folder, $R the command.
TEST_F(Command, OutputsNeverClobberWhatTheShellGaveThem) {
    Write("data.txt", kCtrlA);
    Write("app.log", "old line\n");
    Write(std::string("a\nbutton Exit.txt"), kCtrlA);
    Write("long.txt", std::string(kHeader) + std::string(600, '7') + "\t41\tD\t\t\t\r\n" +
                          std::string(100000, '9') + "\r\n");
    std::string big(kHeader); // long enough to replay for a while
    for (int tick = 1000; tick < 301000; tick += 2)
        big += Line(std::to_string(tick), "41", tick % 4 ? "U" : "D");
    Write("big.txt", big);
    struct Case {
        const char* command;
        int status;
        const char* file; // a file afterwards ...
        const char* has;  // ... holds this (nullptr: the file is the data file, unchanged)
        const char* lacks;
    };
    const Case cases[] = {
        {"$R - --svg /dev/stdin < data.txt", 2, "data.txt", nullptr, nullptr},
        {"$R - --html /proc/self/fd/0 < data.txt", 2, "data.txt", nullptr, nullptr},
        {"$R data.txt --svg /dev/stdout >> app.log", 0, "app.log", "old line\n<?xml", "Occupancy"},
        {"$R data.txt > /dev/full", 1, nullptr, nullptr, nullptr},
        {"$R data.txt >&-", 1, nullptr, nullptr, nullptr},
        {"ln -s made.svg one && ln -s made.svg two && $R data.txt --svg one --timeline two", 1,
         "out", "named for two outputs", nullptr},
        {"$R 'a\nbutton Exit.txt' --scenario s.scn --svg s.svg", 0, "s.scn", "a\\x0Abutton",
         "\nbutton Exit"},
        {"$R long.txt", 2, "out", "(600 bytes)", "7777777777777777777777777777777777777777777"},
        // SIGTERM while the replay's device runs: its root goes too ("143": the signal's
        // status, so the run was cut).
        {"mkdir tmp; TMPDIR=$PWD/tmp $R big.txt --scenario b.scn & timeout 20 sh -c 'until "
         "[ -n \"$(ls tmp)\" ]; do sleep 0.01; done'; kill -TERM $!; wait $!; echo $? >left; "
         "ls -A tmp >>left",
         0, "left", "143\n", "tapwatcher"},
    };
    const std::string report = std::string(TAPWATCHER_BINARY_DIR) + "/bin/tapwatcher-report";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::string command =
            "cd '" + dir_.string() + "' && R='" + report + "' && (" + c.command + ") 2>out";
        int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status) << Read("out");
        const std::string after = c.file != nullptr ? Read(c.file) : "";
        if (c.file != nullptr && c.has == nullptr) {
            EXPECT_EQ(after, kCtrlA);
        }
        if (c.has != nullptr) {
            EXPECT_NE(after.find(c.has), std::string::npos) << after;
        }
        if (c.lacks != nullptr) {
            EXPECT_EQ(after.find(c.lacks), std::string::npos) << after;
        }
    }
    EXPECT_EQ(Read("s.svg").find('\n', Read("s.svg").find("<title>")),
              Read("s.svg").find("</title>") + 8); // the name's newline escaped in the title
    EXPECT_FALSE(fs::exists(Path("made.svg")));
}

} // namespace
