// Tests of tapwatcher-report: the strict reader, the analysis, the renderings, the replay
// and the command's handling of its outputs.
#include <gtest/gtest.h>

#include "cli/report/analysis.h"
#include "cli/report/cli.h"
#include "cli/report/datafile.h"
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
std::string line(const std::string& tick, const std::string& vk = "", const std::string& ud = "",
                 const std::string& shift = "", const std::string& ctrl = "",
                 const std::string& alt = "") {
    return tick + "\t" + vk + "\t" + ud + "\t" + shift + "\t" + ctrl + "\t" + alt + "\r\n";
}

std::string dataFile(const std::vector<std::string>& lines) {
    std::string bytes(kHeader);
    for (const std::string& l : lines)
        bytes += l;
    return bytes;
}

Analysis analyseLines(const std::vector<std::string>& lines) {
    return analyse(parseDataFile(dataFile(lines)));
}

std::vector<FaultKind> faultKinds(const Analysis& a) {
    std::vector<FaultKind> kinds;
    for (const Fault& f : a.faults)
        kinds.push_back(f.kind);
    return kinds;
}

// Ctrl+A on a pass-through device: Ctrl down, A down, A up, then the Ctrl release that the
// tool synthesises when it passes A on, logged at the tick of A's release.
const std::vector<std::string> kCtrlA = {
    line("1001", "72", "F", "S", "", "A"),
    line("4001"),
    line("9000", "11", "D", "", "C"),
    line("9120", "41", "D", "", "C"),
    line("9250", "41", "U", "", "C"),
    line("9250", "11", "U", "", "C"),
    line("12250"),
};

// ---- the reader -----------------------------------------------------------------------

TEST(DataFile, ReadsEachKindOfRowAndTheTickExtremes) {
    std::vector<Row> rows = parseDataFile(dataFile({
        line("2147483647", "72", "F", "S", "", "A"),
        line("-2147483648", "1A5", "D", "", "C", ""),
        line("0", "0D", "U", "S", "C", "A"),
        line("-1"),
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

    EXPECT_TRUE(parseDataFile(kHeader).empty());
}

TEST(DataFile, RejectsEveryLineTheToolCannotWrite) {
    const std::string h(kHeader);
    const std::string good = line("5", "41", "D");
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
        {h + line(""), 2, "bad tick \"\": empty"},
        {h + line("+5", "41", "D"), 2, "not a decimal number"},
        {h + line("-", "41", "D"), 2, "no digits"},
        {h + line("12a"), 2, "not a decimal number"},
        {h + line("007", "41", "D"), 2, "leading zero"},
        {h + line("-0"), 2, "negative zero"},
        {h + line("2147483648"), 2, "out of the signed 32-bit range"},
        {h + line("-2147483649"), 2, "out of the signed 32-bit range"},
        {h + line("99999999999"), 2, "out of the signed 32-bit range"},
        {h + line("5", "4", "D"), 2, "fewer than two hex digits"},
        {h + line("5", "4a", "D"), 2, "not upper-case hex"},
        {h + line("5", "G1", "D"), 2, "not upper-case hex"},
        {h + line("5", "041", "D"), 2, "leading zero"},
        {h + line("5", "10000", "D"), 2, "beyond FFFF"},
        {h + line("5", "41", "d"), 2, "U/D field \"d\" is not D, U or F"},
        {h + line("5", "41", ""), 2, "key code without D, U or F"},
        {h + line("5", "41", "D", "s"), 2, "Shift field \"s\" is neither S nor empty"},
        {h + line("5", "41", "D", "C"), 2, "Shift field \"C\""},
        {h + line("5", "41", "D", "", "CC"), 2, "Ctrl field \"CC\""},
        {h + line("5", "41", "D", "", "", "S"), 2, "Alt field \"S\""},
        {h + line("5", "", "D"), 2, "a quiet mark is a tick and five empty fields"},
        {h + line("5", "", "", "", "", "A"), 2, "in field 6"},
        {h + line("5", "1A5", "F"), 2, "taken combination with key code 1A5"},
        {h + good + good + line("6", "41", "X"), 4, "U/D field"},
        {h + line("5", "4\x01", "D"), 2, "\"4\\x01\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            parseDataFile(c.bytes);
            ADD_FAILURE() << "accepted";
        } catch (const DataFileError& e) {
            EXPECT_EQ(e.line(), c.line);
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << "got: " << e.what();
        }
    }
}

// ---- the analysis ---------------------------------------------------------------------

TEST(Analysis, PairsEachPressWithTheReleaseOfTheSameKeyAndModifierSet) {
    Analysis a = analyseLines(kCtrlA);
    ASSERT_EQ(a.holds.size(), 2u);
    EXPECT_EQ(a.holds[0].press, 2u); // Ctrl, closed by the synthesised release
    EXPECT_EQ(a.holds[0].release, 5u);
    EXPECT_EQ(a.holds[0].ms, 250);
    EXPECT_EQ(a.holds[1].press, 3u); // Ctrl+A
    EXPECT_EQ(a.holds[1].release, 4u);
    EXPECT_EQ(a.holds[1].ms, 130);
    EXPECT_TRUE(a.faults.empty());
    EXPECT_EQ(a.keyEvents, 4);
    EXPECT_EQ(a.quietMarks, 2);

    // The same key released under another modifier set closes nothing.
    Analysis other = analyseLines({line("100", "41", "D"), line("200", "41", "U", "", "C")});
    EXPECT_FALSE(other.holds[0].release);
    EXPECT_EQ(faultKinds(other),
              (std::vector<FaultKind>{FaultKind::Stuck, FaultKind::ReleaseWithoutPress}));
}

TEST(Analysis, AutoRepeatPressesCountOnOneHold) {
    Analysis a = analyseLines({line("100", "42", "D"), line("600", "42", "D"),
                               line("650", "42", "D"), line("700", "42", "U")});
    ASSERT_EQ(a.holds.size(), 1u);
    EXPECT_EQ(a.holds[0].repeats, 2);
    EXPECT_EQ(a.holds[0].ms, 600);
    EXPECT_TRUE(a.faults.empty());
}

TEST(Analysis, QuietMarksEndBurstsWithTheirCountLengthAndGap) {
    Analysis a = analyseLines({
        line("1001", "72", "F", "S", "", "A"), line("4001"), // sweep and its quiet mark
        line("9000", "41", "D"), line("9100", "41", "U"), line("12100"), line("20000", "42", "D"),
        line("20040", "43", "D"), line("20050", "42", "U"),
        line("20070", "43", "U"), // the file ends before this burst's quiet mark
    });
    ASSERT_EQ(a.bursts.size(), 2u);
    const Burst& first = a.bursts[0];
    EXPECT_EQ(first.first, 2u);
    EXPECT_EQ(first.last, 3u);
    EXPECT_EQ(first.quiet, 4u);
    EXPECT_EQ(first.events, 2);
    EXPECT_EQ(first.lengthMs, 100);
    EXPECT_EQ(first.gapFrom, 0u); // from the last taken row
    EXPECT_EQ(first.gapMs, 7999);
    const Burst& second = a.bursts[1];
    EXPECT_EQ(second.events, 4);
    EXPECT_EQ(second.lengthMs, 70);
    EXPECT_EQ(second.gapFrom, 3u); // from the last key event before it
    EXPECT_EQ(second.gapMs, 10900);
    EXPECT_FALSE(second.quiet);
    EXPECT_TRUE(a.faults.empty());

    EXPECT_FALSE(analyseLines({line("5", "41", "D")}).bursts[0].gapFrom);
}

TEST(Analysis, StuckKeysAtAQuietMarkAndAtTheEndOfTheFile) {
    Analysis a = analyseLines({line("100", "43", "D"), line("3100"), line("4600", "43", "U"),
                               line("5000", "44", "D"), line("8000"), line("9000", "45", "D")});
    ASSERT_EQ(a.faults.size(), 3u); // each stuck key once, however many marks follow
    const Fault& released = a.faults[0];
    EXPECT_EQ(released.kind, FaultKind::Stuck);
    EXPECT_EQ(released.row, 0u);
    EXPECT_EQ(released.other, 1u);
    // The late release still closes the press, so it is not a release without press.
    EXPECT_EQ(a.holds[*released.hold].release, 2u);
    EXPECT_EQ(a.holds[*released.hold].ms, 4500);
    const Fault& neverReleased = a.faults[1];
    EXPECT_EQ(neverReleased.kind, FaultKind::Stuck);
    EXPECT_EQ(neverReleased.row, 3u);
    EXPECT_EQ(neverReleased.other, 4u);
    const Fault& atEnd = a.faults[2];
    EXPECT_EQ(atEnd.kind, FaultKind::Stuck);
    EXPECT_EQ(atEnd.row, 5u);
    EXPECT_FALSE(atEnd.other);
}

TEST(Analysis, ChatterIsTheSameKeyPressedWithin30MsOfItsRelease) {
    Analysis a = analyseLines({
        line("100", "42", "D"), line("150", "42", "U"), line("180", "42", "D"),
        line("250", "42", "U"),                         // 30 ms: chatter
        line("281", "42", "D"), line("300", "42", "U"), // 31 ms: not chatter
        line("310", "43", "D"), line("320", "43", "U"), // another key 10 ms after: not chatter
        line("330", "43", "D", "S"), line("340", "43", "U", "S"), // same key, other set
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
        analyseLines({line("1000", "44", "U"), line("900", "41", "D"), line("950", "41", "U")});
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
    Analysis a = analyseLines({line("2147483600", "41", "D"), line("-2147483596", "41", "U"),
                               line("-2147480596"), line("-10", "42", "D"), line("5", "42", "U"),
                               line("3005")});
    EXPECT_TRUE(a.faults.empty());
    EXPECT_EQ(a.holds[0].ms, 100);
    EXPECT_EQ(a.holds[1].ms, 15);
    EXPECT_EQ(a.wraps, std::vector<std::size_t>{1});
    ASSERT_EQ(a.bursts.size(), 2u);
    EXPECT_EQ(a.bursts[0].lengthMs, 100);
    EXPECT_EQ(a.bursts[1].gapMs, 2147483586);
    EXPECT_EQ(tickDiff(INT32_MAX, INT32_MIN), 1);
    EXPECT_EQ(tickDiff(-1, 0), 1);
}

TEST(Analysis, OccupancyCountsEachTakenCombinationOnce) {
    Analysis a = analyseLines({line("1", "0D", "F", "S", "", "A"),
                               line("1", "0D", "F", "S", "", "A"), line("2", "41", "F", "", "C"),
                               line("2", "41", "F", "S"), line("3", "FF", "F")});
    EXPECT_EQ(a.occupancy.total, 4);
    EXPECT_EQ(a.takenRows, 5);
    EXPECT_TRUE(a.occupancy.taken[0x0D][kModShift | kModAlt]);
    EXPECT_TRUE(a.occupancy.taken[0xFF][0]);
    EXPECT_FALSE(a.occupancy.taken[0x41][0]);
    EXPECT_EQ(a.occupancy.perSet, (std::array<int, 8>{1, 0, 1, 0, 1, 1, 0, 0}));
}

// ---- rendering ------------------------------------------------------------------------

TEST(Render, TerminalGridMarksTheTakenCells) {
    std::vector<Row> rows = parseDataFile(dataFile({line("1", "72", "F", "S", "", "A")}));
    std::string text = renderText(rows, analyse(rows), "x.txt");
    // The second block holds Shift, Shift+Alt, Shift+Ctrl, Shift+Ctrl+Alt.
    std::size_t first = text.find("   70-7F ");
    std::size_t second = text.find("   70-7F ", first + 1);
    ASSERT_NE(second, std::string::npos);
    std::istringstream cells(text.substr(second, text.find('\n', second) - second));
    std::string label, shift, shiftAlt;
    cells >> label >> shift >> shiftAlt;
    EXPECT_EQ(shift, std::string(16, '.'));
    EXPECT_EQ(shiftAlt, "..#.............");
    EXPECT_EQ(std::count(text.begin(), text.end(), '#'), 1);
    EXPECT_NE(text.find("0x72  F3        Shift+Alt"), std::string::npos) << text;
}

TEST(Render, SvgHasOneMarkPerTakenCombinationAndEscapesText) {
    Analysis a = analyseLines(
        {line("1", "C1", "F"), line("1", "C1", "F", "S", "C", "A"), line("1", "DC", "F", "", "C")});
    std::string svg = renderSvg(a, "a&b<c>.txt");
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
    EXPECT_EQ(comboName(0x11, kModCtrl), "Ctrl");
    EXPECT_EQ(comboName(0x10, kModShift | kModCtrl), "Ctrl+Shift");
    EXPECT_EQ(comboName(0x41, kModShift | kModCtrl | kModAlt), "Shift+Ctrl+Alt+A");
    EXPECT_EQ(keyName(0x72), "F3");
    EXPECT_EQ(keyName(0x1A5), "0x1A5");
    EXPECT_EQ(keyName(0x07), "0x07");
}

// ---- the replay -----------------------------------------------------------------------

// The scenario's lines without its comments.
std::vector<std::string> commands(const std::string& scenario) {
    std::vector<std::string> out;
    std::istringstream in(scenario);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l[0] != '#')
            out.push_back(l);
    }
    return out;
}

TEST(Replay, EachKeyRowInOrderWithTheTickDifferencesAsWaits) {
    Replay r = buildReplay(parseDataFile(dataFile(kCtrlA)), "ctrl-a.txt");
    EXPECT_EQ(r.startTick, 1000u); // the sweep's first row is 1 ms after start
    // No modifier is added around A, and the synthesised Ctrl release is replayed in place.
    EXPECT_EQ(commands(r.scenario),
              (std::vector<std::string>{"wait 8000", "press Ctrl", "wait 120", "press 0x41",
                                        "wait 130", "release 0x41", "release Ctrl", "wait 3000"}));
    EXPECT_EQ(r.keyEvents, 4);
    EXPECT_TRUE(r.differences.empty());

    // Across the wrap the wait is the modular difference.
    Replay wrapped = buildReplay(
        parseDataFile(dataFile({line("2147483600", "41", "D"), line("-2147483596", "41", "U")})),
        "w.txt");
    EXPECT_EQ(commands(wrapped.scenario),
              (std::vector<std::string>{"wait 1", "press 0x41", "wait 100", "release 0x41"}));
}

TEST(Replay, StartTickComesFromTheSweepTheQuietMarkOrTheFirstKey) {
    auto start = [](const std::vector<std::string>& lines) {
        return buildReplay(parseDataFile(dataFile(lines)), "s.txt").startTick;
    };
    EXPECT_EQ(start({line("501", "72", "F"), line("3501"), line("9000", "41", "D")}), 500u);
    EXPECT_EQ(start({line("3501"), line("9000", "41", "D")}), 500u);
    EXPECT_EQ(start({line("9000", "41", "D")}), 8999u);
    EXPECT_EQ(start({line("-2147483648", "41", "D")}), 0x7FFFFFFFu);
}

TEST(Replay, RowsTheReplayCannotMakeTheSameAreListed) {
    Replay r = buildReplay(parseDataFile(dataFile({
                               line("100", "41", "D", "", "C"), // Ctrl has no press row
                               line("200", "41", "U", "", "C"),
                               line("300", "44", "U"), // no press before it
                               line("400", "42", "D"),
                               line("500", "42", "D"), // repeat
                               line("600", "42", "U"),
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
        lines.push_back(line("11", "0D", "F", "", "", mods));
    lines.push_back(line("11", "72", "F", "S", "", "A"));
    for (int set = 0; set < 8; ++set) {
        lines.push_back(
            line("12", "C1", "F", set & 4 ? "S" : "", set & 2 ? "C" : "", set & 1 ? "A" : ""));
    }
    Replay r = buildReplay(parseDataFile(dataFile(lines)), "p.txt");
    EXPECT_EQ(commands(r.profile),
              (std::vector<std::string>{"start-tick = 10", "taken = 0x0D", "taken = Alt+0x0D",
                                        "taken = Shift+Alt+0x72", "taken = Any+0xC1"}));
}

TEST(Replay, KeyCodesAboveFFCannotBeReplayed) {
    try {
        buildReplay(parseDataFile(dataFile({line("1", "41", "D"), line("2", "1A5", "D")})), "");
        ADD_FAILURE() << "accepted";
    } catch (const ReplayError& e) {
        EXPECT_EQ(e.line(), 3);
    }
}

// ---- the command ----------------------------------------------------------------------

class Command : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("report_test_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    int run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        return runReport(args, out_, err_);
    }

    bool onlyFiles(const std::vector<std::string>& names) const {
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
    write("in.txt", dataFile(kCtrlA));
    ASSERT_EQ(run({path("in.txt"), "--svg", path("o.svg"), "--scenario", path("o.scn"), "--profile",
                   path("o.prof")}),
              kExitOk)
        << err_.str();
    EXPECT_TRUE(onlyFiles({"in.txt", "o.svg", "o.scn", "o.prof"}));
    Replay expected = buildReplay(parseDataFile(dataFile(kCtrlA)), "in.txt");
    EXPECT_EQ(read("o.scn"), expected.scenario);
    EXPECT_EQ(read("o.prof"), expected.profile);
    EXPECT_NE(out_.str().find("Occupancy: 1 of 2048"), std::string::npos);
}

TEST_F(Command, BadInputWritesNothing) {
    write("old.svg", "old");
    write("in.txt", dataFile({line("1", "41", "D"), line("2", "41", "u")}));
    EXPECT_EQ(run({path("in.txt"), "--svg", path("old.svg"), "--scenario", path("o.scn")}),
              kExitBadInput);
    EXPECT_EQ(err_.str(), path("in.txt") + ":3: U/D field \"u\" is not D, U or F\n");
    EXPECT_TRUE(out_.str().empty());
    EXPECT_EQ(read("old.svg"), "old");
    EXPECT_TRUE(onlyFiles({"in.txt", "old.svg"}));

    // A valid file whose keys cannot be replayed writes no picture either.
    write("in.txt", dataFile({line("1", "1A5", "D")}));
    EXPECT_EQ(run({path("in.txt"), "--svg", path("o.svg"), "--scenario", path("o.scn")}),
              kExitBadInput);
    EXPECT_EQ(err_.str().rfind(path("in.txt") + ":2: key code 0x1A5", 0), 0u) << err_.str();
    EXPECT_TRUE(onlyFiles({"in.txt", "old.svg"}));
}

TEST_F(Command, AnOutputThatCannotBeWrittenLeavesTheOthersUnwritten) {
    write("in.txt", dataFile(kCtrlA));
    EXPECT_EQ(run({path("in.txt"), "--svg", path("o.svg"), "--profile", path("no/dir/o.prof")}),
              kExitWriteFailed);
    EXPECT_NE(err_.str().find("no/dir/o.prof: cannot write"), std::string::npos) << err_.str();
    EXPECT_TRUE(onlyFiles({"in.txt"}));
}

TEST_F(Command, BadArguments) {
    write("in.txt", dataFile(kCtrlA));
    const std::vector<std::vector<std::string>> cases = {
        {},
        {path("in.txt"), "--bogus"},
        {path("in.txt"), "--svg"},
        {path("in.txt"), "--svg", path("a.svg"), "--svg", path("b.svg")},
        {path("in.txt"), path("other.txt")},
        {path("in.txt"), "--scenario", path("in.txt")},
        {path("in.txt"), "--scenario", path("x"), "--profile", path("./x")},
        {path("missing.txt")},
        {dir_.string()},
    };
    for (const auto& args : cases) {
        EXPECT_EQ(run(args), kExitBadInput) << ::testing::PrintToString(args);
        EXPECT_FALSE(err_.str().empty());
    }
    EXPECT_EQ(read("in.txt"), dataFile(kCtrlA));
    EXPECT_TRUE(onlyFiles({"in.txt"}));

    EXPECT_EQ(run({"--help"}), kExitOk);
    EXPECT_NE(out_.str().find("Replay:"), std::string::npos);
    EXPECT_EQ(run({"--version"}), kExitOk);
    EXPECT_EQ(out_.str().rfind("tapwatcher-report ", 0), 0u);
}

TEST_F(Command, ReadsTheExampleDataFile) {
    std::string sample = std::string(TAPWATCHER_SOURCE_DIR) + "/examples/report/sample.txt";
    ASSERT_EQ(run({sample}), kExitOk) << err_.str();
    std::ifstream in(sample, std::ios::binary);
    Analysis a = analyse(parseDataFile(std::string(std::istreambuf_iterator<char>(in), {})));
    EXPECT_EQ(faultKinds(a), (std::vector<FaultKind>{FaultKind::Chatter, FaultKind::Stuck,
                                                     FaultKind::ReleaseWithoutPress}));
    EXPECT_EQ(a.wraps.size(), 1u);
}

// The round trip through the simulated device is in report_roundtrip_test.cpp.

} // namespace
