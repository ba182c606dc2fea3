// report_test.cpp - tapwatcher-report: the strict reader, the analysis, the renderings, the replay
// and the command's handling of its outputs.
#include <gtest/gtest.h>

#include "cli/report/analysis.h"
#include "cli/report/cli.h"
#include "cli/report/datafile.h"
#include "cli/report/options.h"
#include "cli/report/render.h"
#include "cli/report/replay.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using namespace report;
namespace fs = std::filesystem;

// One line of a data file, CR LF included.
std::string Line(const std::string& tick, const std::string& vk = "", const std::string& ud = "",
                 const std::string& shift = "", const std::string& ctrl = "",
                 const std::string& alt = "") {
    return tick + "\t" + vk + "\t" + ud + "\t" + shift + "\t" + ctrl + "\t" + alt + "\r\n";
}

// A whole data file: the header and LINES.
std::string DataFile(const std::vector<std::string>& lines) {
    std::string bytes(kHeader);
    for (const std::string& l : lines)
        bytes += l;
    return bytes;
}

// The analysis of a data file made of LINES.
Analysis AnalyseLines(const std::vector<std::string>& lines) {
    return Analyse(ParseDataFile(DataFile(lines)));
}

// The kinds of the faults found, in order.
std::vector<FaultKind> FaultKinds(const Analysis& a) {
    std::vector<FaultKind> kinds;
    for (const Fault& f : a.faults)
        kinds.push_back(f.kind);
    return kinds;
}

// Ctrl+A on a pass-through device: Ctrl down, A down, A up, then the Ctrl release that the
// tool synthesises when it passes A on, logged at the tick of A's release.
const std::vector<std::string> kCtrlA = {
    Line("1001", "72", "F", "S", "", "A"),
    Line("4001"),
    Line("9000", "11", "D", "", "C"),
    Line("9120", "41", "D", "", "C"),
    Line("9250", "41", "U", "", "C"),
    Line("9250", "11", "U", "", "C"),
    Line("12250"),
};

// ---- the reader -----------------------------------------------------------------------

TEST(DataFile, ReadsEachKindOfRowAndTheTickExtremes) {
    std::vector<Row> rows = ParseDataFile(DataFile({
        Line("2147483647", "72", "F", "S", "", "A"),
        Line("-2147483648", "1A5", "D", "", "C", ""),
        Line("0", "0D", "U", "S", "C", "A"),
        Line("-1"),
    }));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].line, 2);
    EXPECT_EQ(rows[0].tick, INT32_MAX);
    EXPECT_EQ(rows[0].kind, RowKind::Taken);
    EXPECT_EQ(rows[0].vk, 0x72u);
    EXPECT_EQ(rows[0].mods, kModShift | kModAlt);
    EXPECT_EQ(rows[1].tick, INT32_MIN);
    EXPECT_EQ(rows[1].kind, RowKind::Press);
    EXPECT_EQ(rows[1].vk, 0x1A5u);
    EXPECT_EQ(rows[1].mods, kModCtrl);
    EXPECT_EQ(rows[2].kind, RowKind::Release);
    EXPECT_EQ(rows[2].mods, kModShift | kModCtrl | kModAlt);
    EXPECT_EQ(rows[3].kind, RowKind::Quiet);
    EXPECT_EQ(rows[3].tick, -1);
    EXPECT_EQ(rows[3].line, 5);

    EXPECT_TRUE(ParseDataFile(kHeader).empty());
}

TEST(DataFile, RejectsEveryLineTheToolCannotWrite) {
    const std::string h(kHeader);
    const std::string good = Line("5", "41", "D");
    struct Case {
        std::string bytes;
        int line;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", 1, "missing header: the file is empty"},
        {"SysTime\tVK\tU/D\tShift\tCtrl\r\n", 1, "missing header"},
        {"systime\tVK\tU/D\tShift\tCtrl\tAlt\r\n", 1, "missing header"},
        {good, 1, "missing header"},
        {"SysTime\tVK\tU/D\tShift\tCtrl\tAlt\n", 1, "LF alone"},
        {h + "5\t41\tD\t\t\t", 2, "last line does not end with CR LF"},
        {h + good + "5\t41\tD\t\t\t\n", 3, "LF alone"},
        {h + "5\t41\tD\t\t\r\t\r\n", 2, "CR inside the line"},
        {h + "5\t41\tD\t\t\r\n", 2, "5 fields"},
        {h + "5\t41\tD\t\t\t\t\r\n", 2, "7 fields"},
        {h + "\r\n", 2, "1 field;"},
        {h + Line(""), 2, "bad tick \"\": empty"},
        {h + Line("+5", "41", "D"), 2, "not a decimal number"},
        {h + Line("-", "41", "D"), 2, "no digits"},
        {h + Line("12a"), 2, "not a decimal number"},
        {h + Line("007", "41", "D"), 2, "leading zero"},
        {h + Line("-0"), 2, "negative zero"},
        {h + Line("2147483648"), 2, "out of the signed 32-bit range"},
        {h + Line("-2147483649"), 2, "out of the signed 32-bit range"},
        {h + Line("99999999999"), 2, "out of the signed 32-bit range"},
        {h + Line("5", "4", "D"), 2, "fewer than two hex digits"},
        {h + Line("5", "4a", "D"), 2, "not upper-case hex"},
        {h + Line("5", "G1", "D"), 2, "not upper-case hex"},
        {h + Line("5", "041", "D"), 2, "leading zero"},
        {h + Line("5", "10000", "D"), 2, "beyond FFFF"},
        {h + Line("5", "41", "d"), 2, "U/D field \"d\" is not D, U or F"},
        {h + Line("5", "41", ""), 2, "key code without D, U or F"},
        {h + Line("5", "41", "D", "s"), 2, "Shift field \"s\" is neither S nor empty"},
        {h + Line("5", "41", "D", "C"), 2, "Shift field \"C\""},
        {h + Line("5", "41", "D", "", "CC"), 2, "Ctrl field \"CC\""},
        {h + Line("5", "41", "D", "", "", "S"), 2, "Alt field \"S\""},
        {h + Line("5", "", "D"), 2, "a quiet mark is a tick and five empty fields"},
        {h + Line("5", "", "", "", "", "A"), 2, "in field 6"},
        {h + Line("5", "1A5", "F"), 2, "taken combination with key code 1A5"},
        {h + good + good + Line("6", "41", "X"), 4, "U/D field"},
        {h + Line("5", "4\x01", "D"), 2, "\"4\\x01\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            ParseDataFile(c.bytes);
            ADD_FAILURE() << "accepted";
        } catch (const DataFileError& e) {
            EXPECT_EQ(e.Line(), c.line);
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << "got: " << e.what();
        }
    }
}

// ---- the analysis ---------------------------------------------------------------------

TEST(Analysis, PairsEachPressWithTheReleaseOfTheSameKeyAndModifierSet) {
    Analysis a = AnalyseLines(kCtrlA);
    ASSERT_EQ(a.holds.size(), 2u);
    EXPECT_EQ(a.holds[0].press, 2u); // Ctrl, closed by the synthesised release
    EXPECT_EQ(a.holds[0].release, 5u);
    EXPECT_EQ(a.holds[0].ms, 250);
    EXPECT_EQ(a.holds[1].press, 3u); // Ctrl+A
    EXPECT_EQ(a.holds[1].release, 4u);
    EXPECT_EQ(a.holds[1].ms, 130);
    EXPECT_TRUE(a.faults.empty());
    EXPECT_EQ(a.key_events, 4);
    EXPECT_EQ(a.quiet_marks, 2);

    // The same key released under another modifier set closes nothing.
    Analysis other = AnalyseLines({Line("100", "41", "D"), Line("200", "41", "U", "", "C")});
    EXPECT_FALSE(other.holds[0].release);
    EXPECT_EQ(FaultKinds(other),
              (std::vector<FaultKind>{FaultKind::Stuck, FaultKind::ReleaseWithoutPress}));
}

TEST(Analysis, AutoRepeatPressesCountOnOneHold) {
    Analysis a = AnalyseLines({Line("100", "42", "D"), Line("600", "42", "D"),
                               Line("650", "42", "D"), Line("700", "42", "U")});
    ASSERT_EQ(a.holds.size(), 1u);
    EXPECT_EQ(a.holds[0].repeats, 2);
    EXPECT_EQ(a.holds[0].ms, 600);
    EXPECT_TRUE(a.faults.empty());
}

TEST(Analysis, QuietMarksEndBurstsWithTheirCountLengthAndGap) {
    Analysis a = AnalyseLines({
        Line("1001", "72", "F", "S", "", "A"), Line("4001"), // sweep and its quiet mark
        Line("9000", "41", "D"), Line("9100", "41", "U"), Line("12100"), Line("20000", "42", "D"),
        Line("20040", "43", "D"), Line("20050", "42", "U"),
        Line("20070", "43", "U"), // the file ends before this burst's quiet mark
    });
    ASSERT_EQ(a.bursts.size(), 2u);
    const Burst& first = a.bursts[0];
    EXPECT_EQ(first.first, 2u);
    EXPECT_EQ(first.last, 3u);
    EXPECT_EQ(first.quiet, 4u);
    EXPECT_EQ(first.events, 2);
    EXPECT_EQ(first.length_ms, 100);
    EXPECT_EQ(first.gap_from, 0u); // from the last taken row
    EXPECT_EQ(first.gap_ms, 7999);
    const Burst& second = a.bursts[1];
    EXPECT_EQ(second.events, 4);
    EXPECT_EQ(second.length_ms, 70);
    EXPECT_EQ(second.gap_from, 3u); // from the last key event before it
    EXPECT_EQ(second.gap_ms, 10900);
    EXPECT_FALSE(second.quiet);
    EXPECT_TRUE(a.faults.empty());

    EXPECT_FALSE(AnalyseLines({Line("5", "41", "D")}).bursts[0].gap_from);
}

TEST(Analysis, StuckKeysAtAQuietMarkAndAtTheEndOfTheFile) {
    Analysis a = AnalyseLines({Line("100", "43", "D"), Line("3100"), Line("4600", "43", "U"),
                               Line("5000", "44", "D"), Line("8000"), Line("9000", "45", "D")});
    ASSERT_EQ(a.faults.size(), 3u); // each stuck key once, however many marks follow
    const Fault& released = a.faults[0];
    EXPECT_EQ(released.kind, FaultKind::Stuck);
    EXPECT_EQ(released.row, 0u);
    EXPECT_EQ(released.other, 1u);
    // The late release still closes the press, so it is not a release without press.
    EXPECT_EQ(a.holds[*released.hold].release, 2u);
    EXPECT_EQ(a.holds[*released.hold].ms, 4500);
    const Fault& never_released = a.faults[1];
    EXPECT_EQ(never_released.kind, FaultKind::Stuck);
    EXPECT_EQ(never_released.row, 3u);
    EXPECT_EQ(never_released.other, 4u);
    const Fault& atEnd = a.faults[2];
    EXPECT_EQ(atEnd.kind, FaultKind::Stuck);
    EXPECT_EQ(atEnd.row, 5u);
    EXPECT_FALSE(atEnd.other);
}

TEST(Analysis, ChatterIsTheSameKeyPressedWithin30MsOfItsRelease) {
    Analysis a = AnalyseLines({
        Line("100", "42", "D"), Line("150", "42", "U"), Line("180", "42", "D"),
        Line("250", "42", "U"),                         // 30 ms: chatter
        Line("281", "42", "D"), Line("300", "42", "U"), // 31 ms: not chatter
        Line("310", "43", "D"), Line("320", "43", "U"), // another key 10 ms after: not chatter
        Line("330", "43", "D", "S"), Line("340", "43", "U", "S"), // same key, other set
    });
    ASSERT_EQ(a.faults.size(), 2u);
    EXPECT_EQ(a.faults[0].kind, FaultKind::Chatter);
    EXPECT_EQ(a.faults[0].row, 2u);
    EXPECT_EQ(a.faults[0].other, 1u);
    EXPECT_EQ(a.faults[0].ms, 30);
    EXPECT_EQ(a.faults[1].kind, FaultKind::Chatter);
    EXPECT_EQ(a.faults[1].row, 8u);
    EXPECT_EQ(a.faults[1].ms, 10);
}

TEST(Analysis, ReleaseWithoutPressAndTickBackwards) {
    Analysis a =
        AnalyseLines({Line("1000", "44", "U"), Line("900", "41", "D"), Line("950", "41", "U")});
    ASSERT_EQ(a.faults.size(), 2u);
    EXPECT_EQ(a.faults[0].kind, FaultKind::ReleaseWithoutPress);
    EXPECT_EQ(a.faults[0].row, 0u);
    EXPECT_EQ(a.faults[1].kind, FaultKind::TickBackwards);
    EXPECT_EQ(a.faults[1].row, 1u);
    EXPECT_EQ(a.faults[1].other, 0u);
    EXPECT_EQ(a.faults[1].ms, -100);
}

TEST(Analysis, TheTickWrapIsNotAFault) {
    // Past 2^31 ms of uptime the text turns negative; past 2^32 ms it passes 0 again.
    Analysis a = AnalyseLines({Line("2147483600", "41", "D"), Line("-2147483596", "41", "U"),
                               Line("-2147480596"), Line("-10", "42", "D"), Line("5", "42", "U"),
                               Line("3005")});
    EXPECT_TRUE(a.faults.empty());
    EXPECT_EQ(a.holds[0].ms, 100);
    EXPECT_EQ(a.holds[1].ms, 15);
    EXPECT_EQ(a.wraps, std::vector<std::size_t>{1});
    ASSERT_EQ(a.bursts.size(), 2u);
    EXPECT_EQ(a.bursts[0].length_ms, 100);
    EXPECT_EQ(a.bursts[1].gap_ms, 2147483586);
    EXPECT_EQ(TickDiff(INT32_MAX, INT32_MIN), 1);
    EXPECT_EQ(TickDiff(-1, 0), 1);
}

TEST(Analysis, OccupancyCountsEachTakenCombinationOnce) {
    Analysis a = AnalyseLines({Line("1", "0D", "F", "S", "", "A"),
                               Line("1", "0D", "F", "S", "", "A"), Line("2", "41", "F", "", "C"),
                               Line("2", "41", "F", "S"), Line("3", "FF", "F")});
    EXPECT_EQ(a.occupancy.total, 4);
    EXPECT_EQ(a.taken_rows, 5);
    EXPECT_TRUE(a.occupancy.taken[0x0D][kModShift | kModAlt]);
    EXPECT_TRUE(a.occupancy.taken[0xFF][0]);
    EXPECT_FALSE(a.occupancy.taken[0x41][0]);
    EXPECT_EQ(a.occupancy.per_set, (std::array<int, 8>{1, 0, 1, 0, 1, 1, 0, 0}));
}

// ---- rendering ------------------------------------------------------------------------

TEST(Render, TerminalGridMarksTheTakenCells) {
    std::vector<Row> rows = ParseDataFile(DataFile({Line("1", "72", "F", "S", "", "A")}));
    std::string text = RenderText(rows, Analyse(rows), "x.txt");
    // The second block holds Shift, Shift+Alt, Shift+Ctrl, Shift+Ctrl+Alt.
    std::size_t first = text.find("   70-7F ");
    std::size_t second = text.find("   70-7F ", first + 1);
    ASSERT_NE(second, std::string::npos);
    std::istringstream cells(text.substr(second, text.find('\n', second) - second));
    std::string label, shift, shift_alt;
    cells >> label >> shift >> shift_alt;
    EXPECT_EQ(shift, std::string(16, '.'));
    EXPECT_EQ(shift_alt, "..#.............");
    EXPECT_EQ(std::count(text.begin(), text.end(), '#'), 1);
    EXPECT_NE(text.find("0x72  F3        Shift+Alt"), std::string::npos) << text;
}

TEST(Render, SvgHasOneMarkPerTakenCombinationAndEscapesText) {
    Analysis a = AnalyseLines(
        {Line("1", "C1", "F"), Line("1", "C1", "F", "S", "C", "A"), Line("1", "DC", "F", "", "C")});
    std::string svg = RenderSvg(a, "a&b<c>.txt");
    std::size_t marks = 0;
    for (std::size_t at = svg.find("class=\"taken\""); at != std::string::npos;
         at = svg.find("class=\"taken\"", at + 1))
        ++marks;
    EXPECT_EQ(marks, 3u);
    EXPECT_NE(svg.find("a&amp;b&lt;c&gt;.txt"), std::string::npos);
    EXPECT_EQ(svg.find("a&b"), std::string::npos);
    EXPECT_NE(svg.find("Shift+Ctrl+Alt+App1 (0xC1) taken"), std::string::npos);
    EXPECT_EQ(svg.rfind("</svg>\n"), svg.size() - 7);
}

TEST(Render, KeyAndCombinationNames) {
    EXPECT_EQ(ComboName(0x11, kModCtrl), "Ctrl");
    EXPECT_EQ(ComboName(0x10, kModShift | kModCtrl), "Ctrl+Shift");
    EXPECT_EQ(ComboName(0x41, kModShift | kModCtrl | kModAlt), "Shift+Ctrl+Alt+A");
    EXPECT_EQ(KeyName(0x72), "F3");
    EXPECT_EQ(KeyName(0x1A5), "0x1A5");
    EXPECT_EQ(KeyName(0x07), "0x07");
}

// ---- the replay -----------------------------------------------------------------------

// The scenario's lines without its comments.
std::vector<std::string> Commands(const std::string& scenario) {
    std::vector<std::string> out;
    std::istringstream in(scenario);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l[0] != '#')
            out.push_back(l);
    }
    return out;
}

TEST(Replay, EachKeyRowInOrderWithTheTickDifferencesAsWaits) {
    Replay r = BuildReplay(ParseDataFile(DataFile(kCtrlA)), "ctrl-a.txt");
    EXPECT_EQ(r.start_tick, 1000u); // the sweep's first row is 1 ms after start
    // No modifier is added around A, and the synthesised Ctrl release is replayed in place.
    EXPECT_EQ(Commands(r.scenario),
              (std::vector<std::string>{"wait 8000", "press Ctrl", "wait 120", "press 0x41",
                                        "wait 130", "release 0x41", "release Ctrl", "wait 3000"}));
    EXPECT_EQ(r.key_events, 4);
    EXPECT_TRUE(r.differences.empty());

    // Across the wrap the wait is the modular difference.
    Replay wrapped = BuildReplay(
        ParseDataFile(DataFile({Line("2147483600", "41", "D"), Line("-2147483596", "41", "U")})),
        "w.txt");
    EXPECT_EQ(Commands(wrapped.scenario),
              (std::vector<std::string>{"wait 1", "press 0x41", "wait 100", "release 0x41"}));
}

TEST(Replay, StartTickComesFromTheSweepTheQuietMarkOrTheFirstKey) {
    auto start = [](const std::vector<std::string>& lines) {
        return BuildReplay(ParseDataFile(DataFile(lines)), "s.txt").start_tick;
    };
    EXPECT_EQ(start({Line("501", "72", "F"), Line("3501"), Line("9000", "41", "D")}), 500u);
    EXPECT_EQ(start({Line("3501"), Line("9000", "41", "D")}), 500u);
    EXPECT_EQ(start({Line("9000", "41", "D")}), 8999u);
    EXPECT_EQ(start({Line("-2147483648", "41", "D")}), 0x7FFFFFFFu);
}

TEST(Replay, RowsTheReplayCannotMakeTheSameAreListed) {
    Replay r = BuildReplay(ParseDataFile(DataFile({
                               Line("100", "41", "D", "", "C"), // Ctrl has no press row
                               Line("200", "41", "U", "", "C"),
                               Line("300", "44", "U"), // no press before it
                               Line("400", "42", "D"),
                               Line("500", "42", "D"), // repeat
                               Line("600", "42", "U"),
                           })),
                           "d.txt");
    EXPECT_EQ(r.differences, (std::vector<int>{2, 4, 6}));
    EXPECT_NE(r.scenario.find("# line 2: the row shows modifiers Ctrl, the replayed press "
                              "will show none"),
              std::string::npos)
        << r.scenario;
}

TEST(Replay, ProfileListsTheTakenCombinations) {
    std::vector<std::string> lines;
    for (const char* mods : {"", "A"})
        lines.push_back(Line("11", "0D", "F", "", "", mods));
    lines.push_back(Line("11", "72", "F", "S", "", "A"));
    for (int set = 0; set < 8; ++set) {
        lines.push_back(
            Line("12", "C1", "F", set & 4 ? "S" : "", set & 2 ? "C" : "", set & 1 ? "A" : ""));
    }
    Replay r = BuildReplay(ParseDataFile(DataFile(lines)), "p.txt");
    EXPECT_EQ(Commands(r.profile),
              (std::vector<std::string>{"start-tick = 10", "taken = 0x0D", "taken = Alt+0x0D",
                                        "taken = Shift+Alt+0x72", "taken = Any+0xC1"}));
}

TEST(Replay, KeyCodesAboveFFCannotBeReplayed) {
    try {
        BuildReplay(ParseDataFile(DataFile({Line("1", "41", "D"), Line("2", "1A5", "D")})), "");
        ADD_FAILURE() << "accepted";
    } catch (const ReplayError& e) {
        EXPECT_EQ(e.Line(), 3);
    }
}

// ---- the command ----------------------------------------------------------------------

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

    // Runs the command in-process, keeping what it prints.
    int Run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        return RunReport(args, out_, err_);
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
    Write("in.txt", DataFile(kCtrlA));
    ASSERT_EQ(Run({Path("in.txt"), "--svg", Path("o.svg"), "--scenario", Path("o.scn"), "--profile",
                   Path("o.prof")}),
              kExitOk)
        << err_.str();
    EXPECT_TRUE(OnlyFiles({"in.txt", "o.svg", "o.scn", "o.prof"}));
    Replay expected = BuildReplay(ParseDataFile(DataFile(kCtrlA)), "in.txt");
    EXPECT_EQ(Read("o.scn"), expected.scenario);
    EXPECT_EQ(Read("o.prof"), expected.profile);
    EXPECT_NE(out_.str().find("Occupancy: 1 of 2048"), std::string::npos);
}

TEST_F(Command, BadInputWritesNothing) {
    Write("old.svg", "old");
    Write("in.txt", DataFile({Line("1", "41", "D"), Line("2", "41", "u")}));
    EXPECT_EQ(Run({Path("in.txt"), "--svg", Path("old.svg"), "--scenario", Path("o.scn")}),
              kExitBadInput);
    EXPECT_EQ(err_.str(), Path("in.txt") + ":3: U/D field \"u\" is not D, U or F\n");
    EXPECT_TRUE(out_.str().empty());
    EXPECT_EQ(Read("old.svg"), "old");
    EXPECT_TRUE(OnlyFiles({"in.txt", "old.svg"}));

    // A valid file whose keys cannot be replayed writes no picture either.
    Write("in.txt", DataFile({Line("1", "1A5", "D")}));
    EXPECT_EQ(Run({Path("in.txt"), "--svg", Path("o.svg"), "--scenario", Path("o.scn")}),
              kExitBadInput);
    EXPECT_EQ(err_.str().rfind(Path("in.txt") + ":2: key code 0x1A5", 0), 0u) << err_.str();
    EXPECT_TRUE(OnlyFiles({"in.txt", "old.svg"}));
}

TEST_F(Command, AnOutputThatCannotBeWrittenLeavesTheOthersUnwritten) {
    Write("in.txt", DataFile(kCtrlA));
    EXPECT_EQ(Run({Path("in.txt"), "--svg", Path("o.svg"), "--profile", Path("no/dir/o.prof")}),
              kExitWriteFailed);
    EXPECT_NE(err_.str().find("no/dir/o.prof: cannot write"), std::string::npos) << err_.str();
    EXPECT_TRUE(OnlyFiles({"in.txt"}));
}

TEST_F(Command, BadArguments) {
    Write("in.txt", DataFile(kCtrlA));
    const std::vector<std::vector<std::string>> cases = {
        {},
        {Path("in.txt"), "--bogus"},
        {Path("in.txt"), "--svg"},
        {Path("in.txt"), "--svg", Path("a.svg"), "--svg", Path("b.svg")},
        {Path("in.txt"), Path("other.txt")},
        {Path("in.txt"), "--scenario", Path("in.txt")},
        {Path("in.txt"), "--scenario", Path("x"), "--profile", Path("./x")},
        {Path("missing.txt")},
        {dir_.string()},
    };
    for (const auto& args : cases) {
        EXPECT_EQ(Run(args), kExitBadInput) << ::testing::PrintToString(args);
        EXPECT_FALSE(err_.str().empty());
    }
    EXPECT_EQ(Read("in.txt"), DataFile(kCtrlA));
    EXPECT_TRUE(OnlyFiles({"in.txt"}));

    EXPECT_EQ(Run({"--help"}), kExitOk);
    EXPECT_NE(out_.str().find("Replay:"), std::string::npos);
    EXPECT_EQ(Run({"--version"}), kExitOk);
    EXPECT_EQ(out_.str().rfind("tapwatcher-report ", 0), 0u);
}

TEST_F(Command, ReadsTheExampleDataFile) {
    std::string sample = std::string(TAPWATCHER_SOURCE_DIR) + "/examples/report/sample.txt";
    ASSERT_EQ(Run({sample}), kExitOk) << err_.str();
    std::ifstream in(sample, std::ios::binary);
    Analysis a = Analyse(ParseDataFile(std::string(std::istreambuf_iterator<char>(in), {})));
    EXPECT_EQ(FaultKinds(a), (std::vector<FaultKind>{FaultKind::Chatter, FaultKind::Stuck,
                                                     FaultKind::ReleaseWithoutPress}));
    EXPECT_EQ(a.wraps.size(), 1u);
}

// Every option of the table that --help and the manual page are made from is one the
// command takes, under each of its forms, and --help lists each.
TEST_F(Command, TakesEveryOptionItsHelpLists) {
    Write("in.txt", DataFile(kCtrlA));
    ASSERT_EQ(Run({"--help"}), kExitOk);
    const std::string help = out_.str();
    for (const cli::OptionDoc& option : kOptions) {
        for (const char* form : {option.name, option.alias}) {
            if (*form == '\0')
                continue;
            std::vector<std::string> args = {Path("in.txt"), form};
            if (*option.value != '\0')
                args.push_back(Path(std::string("out") + form));
            EXPECT_EQ(Run(args), kExitOk) << form << ": " << err_.str();
            EXPECT_NE(help.find(form), std::string::npos) << form;
        }
    }
}

// The round trip through the simulated device is in report_roundtrip_test.cpp.

} // namespace
