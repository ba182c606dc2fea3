// report_test.cpp - tapwatcher-report: the reader, the analysis, the text, the pictures and the
// replay. The command and its outputs are in report_command_test.cpp.
#include <gtest/gtest.h>

#include "cli/report/analysis.h"
#include "cli/report/datafile.h"
#include "cli/report/kept.h"
#include "cli/report/page.h"
#include "cli/report/pictures.h"
#include "cli/report/render.h"
#include "cli/report/replay.h"

#include <algorithm>
#include <regex>
#include <sstream>

namespace {

using namespace report;

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
std::vector<FindingKind> FindingKinds(const Analysis& a) {
    std::vector<FindingKind> kinds;
    for (const Finding& f : a.findings)
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

    // Ticks of every length, eight digits read at once: each row read back as written.
    const std::vector<std::int32_t> ticks = {7,        12,        1234567,    12345678,
                                             99999999, 100000000, 123456789,  1000000000,
                                             -8,       -12345678, -123456789, 2000000001};
    std::vector<std::string> lines;
    for (std::int32_t t : ticks)
        lines.push_back(Line(std::to_string(t), "41", "D"));
    rows = ParseDataFile(DataFile(lines));
    ASSERT_EQ(rows.size(), ticks.size());
    for (std::size_t i = 0; i < ticks.size(); ++i)
        EXPECT_EQ(rows[i].tick, ticks[i]) << "row " << i;
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

// Each way a file changes on its travels is read to the same rows, with one warning.
TEST(DataFile, TravelledFilesAreReadWithOneWarningEach) {
    const std::string crlf = DataFile({Line("5", "41", "D"), Line("9", "41", "U"), Line("3009")});
    auto lf = [](std::string text) {
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;)
            text.erase(at, 1);
        return text;
    };
    auto utf16 = [](const std::string& text, bool little, bool bom) {
        std::string out = bom ? (little ? "\xFF\xFE" : "\xFE\xFF") : "";
        for (char c : text)
            out += little ? std::string{c, '\0'} : std::string{'\0', c};
        return out;
    };
    std::string no_end = crlf.substr(0, crlf.size() - 2);
    const std::string kCut = "the last line has no line end: the file is cut short there (saving "
                             "stopped mid-write?); line left out";
    std::string mixed = crlf;
    mixed.erase(mixed.find("\r\n5"), 1);
    struct Case {
        std::string name, bytes;
        std::vector<std::string> warnings; // "LINE: what"
        std::size_t rows;
    };
    const std::vector<Case> cases = {
        {"LF only", lf(crlf), {"1: lines end with LF alone instead of CR LF; read anyway"}, 3},
        {"one LF", mixed, {"1: 1 line ends with LF alone instead of CR LF; read anyway"}, 3},
        // A last line without its end was cut while the file was written: never read as whole.
        {"no last line end", no_end, {"4: " + kCut}, 2},
        {"no last LF", no_end + "\r", {"4: " + kCut}, 2},
        {"cut in a row", crlf + "3010\t4", {"5: " + kCut}, 3},
        {"LF only, no last end",
         lf(no_end),
         {"1: lines end with LF alone instead of CR LF; read anyway", "4: " + kCut},
         2},
        {"UTF-8 BOM",
         "\xEF\xBB\xBF" + crlf,
         {"0: starts with a UTF-8 byte-order mark; read without it"},
         3},
        {"UTF-16 LE",
         utf16(crlf, true, true),
         {"0: is UTF-16 little-endian text (byte-order mark FF FE); read as the ASCII text it "
          "holds"},
         3},
        {"UTF-16 BE bare",
         utf16(crlf, false, false),
         {"0: is UTF-16 big-endian text without a byte-order mark; read as the ASCII text it "
          "holds"},
         3},
    };
    const std::vector<Row> expected = ParseDataFile(crlf);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Warning> warnings;
        std::vector<Row> rows = ParseDataFile(c.bytes, &warnings);
        ASSERT_EQ(rows.size(), c.rows);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].tick, expected[i].tick);
            EXPECT_EQ(rows[i].kind, expected[i].kind);
            EXPECT_EQ(rows[i].line, expected[i].line);
        }
        std::vector<std::string> got;
        for (const Warning& w : warnings)
            got.push_back(std::to_string(w.line) + ": " + w.what);
        EXPECT_EQ(got, c.warnings);
    }
    // Strict where it matters: a cell that is not the tool's, in any encoding, and text that
    // is not ASCII.
    const std::vector<std::pair<std::string, int>> bad = {
        {lf(DataFile({Line("5", "41", "d")})), 2},
        {utf16(DataFile({Line("5", "41", "D"), Line("6", "4\xC4", "D")}), true, true), 3},
        // Far past the first chunk read: the line is still counted right.
        {utf16(DataFile(std::vector<std::string>(9000, Line("5", "41", "D"))) + "\xC4", true,
               false),
         9002},
    };
    for (const auto& [bytes, line] : bad) {
        try {
            ParseDataFile(bytes);
            ADD_FAILURE() << "accepted line " << line;
        } catch (const DataFileError& e) {
            EXPECT_EQ(e.Line(), line) << e.what();
        }
    }
}

// ---- the analysis ---------------------------------------------------------------------

TEST(Analysis, PairsEachPressWithTheReleaseOfTheSameKeyAndModifierSet) {
    Analysis a = AnalyseLines(kCtrlA);
    ASSERT_EQ(a.holds.size(), 2u);
    EXPECT_EQ(a.holds[0].press, 2u); // Ctrl, closed by the synthesised release: time unknown
    EXPECT_EQ(a.holds[0].release, 5u);
    EXPECT_EQ(a.holds[0].ms, std::nullopt);
    EXPECT_TRUE(a.holds[0].by_tool);
    EXPECT_TRUE(a.is_echo[5]);
    EXPECT_FALSE(a.holds[1].by_tool);
    EXPECT_EQ(a.holds[1].press, 3u); // Ctrl+A
    EXPECT_EQ(a.holds[1].release, 4u);
    EXPECT_EQ(a.holds[1].ms, 130);
    EXPECT_TRUE(a.findings.empty());
    EXPECT_EQ(a.key_events, 4);
    EXPECT_EQ(a.quiet_marks, 2);

    // The same key released under another modifier set closes nothing.
    Analysis other = AnalyseLines({Line("100", "41", "D"), Line("200", "41", "U", "", "C")});
    EXPECT_FALSE(other.holds[0].release);
    EXPECT_EQ(FindingKinds(other),
              (std::vector<FindingKind>{FindingKind::Stuck, FindingKind::ReleaseWithoutPress}));
}

TEST(Analysis, AutoRepeatPressesCountOnOneHold) {
    Analysis a = AnalyseLines({Line("100", "42", "D"), Line("600", "42", "D"),
                               Line("650", "42", "D"), Line("700", "42", "U")});
    ASSERT_EQ(a.holds.size(), 1u);
    EXPECT_EQ(a.holds[0].repeats, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(a.holds[0].ms, 600);
    EXPECT_TRUE(a.findings.empty());
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
    EXPECT_TRUE(a.findings.empty());

    EXPECT_FALSE(AnalyseLines({Line("5", "41", "D")}).bursts[0].gap_from);
}

TEST(Analysis, StuckKeysAtAQuietMarkAndAtTheEndOfTheFile) {
    Analysis a = AnalyseLines({Line("100", "43", "D"), Line("3100"), Line("4600", "43", "U"),
                               Line("5000", "44", "D"), Line("8000"), Line("9000", "45", "D")});
    ASSERT_EQ(a.findings.size(), 3u); // each stuck key once, however many marks follow
    const Finding& released = a.findings[0];
    EXPECT_EQ(released.kind, FindingKind::Stuck);
    EXPECT_EQ(released.row, 0u);
    EXPECT_EQ(released.other, 1u);
    // The late release still closes the press, so it is not a release without press.
    EXPECT_EQ(a.holds[*released.index].release, 2u);
    EXPECT_EQ(a.holds[*released.index].ms, 4500);
    const Finding& never_released = a.findings[1];
    EXPECT_EQ(never_released.kind, FindingKind::Stuck);
    EXPECT_EQ(never_released.row, 3u);
    EXPECT_EQ(never_released.other, 4u);
    const Finding& at_end = a.findings[2];
    EXPECT_EQ(at_end.kind, FindingKind::Stuck);
    EXPECT_EQ(at_end.row, 5u);
    EXPECT_FALSE(at_end.other);
}

TEST(Analysis, ChatterIsTheSameKeyPressedWithin30MsOfItsRelease) {
    Analysis a = AnalyseLines({
        Line("100", "42", "D"), Line("150", "42", "U"), Line("180", "42", "D"),
        Line("250", "42", "U"),                         // 30 ms: chatter
        Line("281", "42", "D"), Line("300", "42", "U"), // 31 ms: not chatter
        Line("310", "43", "D"), Line("320", "43", "U"), // another key 10 ms after: not chatter
        Line("330", "43", "D", "S"), Line("340", "43", "U", "S"), // same key, other set
    });
    ASSERT_EQ(a.findings.size(), 2u);
    EXPECT_EQ(a.findings[0].kind, FindingKind::Chatter);
    EXPECT_EQ(a.findings[0].row, 2u);
    EXPECT_EQ(a.findings[0].other, 1u);
    EXPECT_EQ(a.findings[0].ms, 30);
    EXPECT_EQ(a.findings[1].kind, FindingKind::Chatter);
    EXPECT_EQ(a.findings[1].row, 8u);
    EXPECT_EQ(a.findings[1].ms, 10);
}

TEST(Analysis, ReleaseWithoutPressAndTickBackwards) {
    Analysis a =
        AnalyseLines({Line("1000", "44", "U"), Line("900", "41", "D"), Line("950", "41", "U")});
    ASSERT_EQ(a.findings.size(), 2u);
    EXPECT_EQ(a.findings[0].kind, FindingKind::ReleaseWithoutPress);
    EXPECT_EQ(a.findings[0].row, 0u);
    EXPECT_EQ(a.findings[1].kind, FindingKind::TickBackwards);
    EXPECT_EQ(a.findings[1].row, 1u);
    EXPECT_EQ(a.findings[1].other, 0u);
    EXPECT_EQ(a.findings[1].ms, -100);
}

TEST(Analysis, TheTickWrapIsNotAFault) {
    // Past 2^31 ms of uptime the text turns negative; past 2^32 ms it passes 0 again.
    const std::vector<std::string> lines = {
        Line("2147483600", "41", "D"), Line("-2147483596", "41", "U"), Line("-2147480596"),
        Line("-10", "42", "D"),        Line("5", "42", "U"),           Line("3005")};
    Analysis a = AnalyseLines(lines);
    // The whole span is longer than the tick's range: summed step by step.
    EXPECT_NE(RenderSummary(ParseDataFile(DataFile(lines)), "w.txt")
                  .find("Ticks 2147483600 to 3005, 2147486701 ms\n"),
              std::string::npos);
    EXPECT_TRUE(a.findings.empty());
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

// Shift down, B down, Shift up, B up on a pass-through device, then Shift+Ctrl+B with
// Shift let go first, whose echo is passed on and echoes again (rows as the simulated
// device logs them).
const std::vector<std::string> kEchoes = {
    Line("1000", "10", "D", "S"),
    Line("1090", "42", "D", "S"),
    Line("1200", "10", "U", "S"),
    Line("1270", "42", "U", "S"), // passed on
    Line("1270", "42", "D"),
    Line("1270", "42", "U"), // its echo
    Line("4270"),
    Line("5000", "10", "D", "S"),
    Line("5010", "11", "D", "S", "C"),
    Line("5060", "42", "D", "S", "C"),
    Line("5140", "10", "U", "S"),
    Line("5200", "42", "U", "S", "C"),
    Line("5200", "42", "D", "", "C"),
    Line("5200", "42", "U", "", "C"),  // echo
    Line("5200", "11", "U", "S", "C"), // the tool's Ctrl up
    Line("5200", "42", "D"),
    Line("5200", "42", "U"), // echo of the echo
    Line("8200"),
};

TEST(Analysis, EchoesOfThePassThroughAreNamedAndLeftOutOfThePairing) {
    std::vector<Row> rows = ParseDataFile(DataFile(kEchoes));
    Analysis a = Analyse(rows);
    ASSERT_EQ(a.echoes.size(), 3u);
    EXPECT_EQ(a.echoes[0].passed, 3u);
    EXPECT_EQ(a.echoes[0].press, 4u);
    EXPECT_EQ(a.echoes[0].release, 5u);
    EXPECT_EQ(a.echoes[1].passed, 11u);
    EXPECT_EQ(a.echoes[2].passed, 13u); // the first echo's release, passed on again
    EXPECT_EQ(a.echoes[2].press, 15u);
    EXPECT_EQ(FindingKinds(a), std::vector<FindingKind>(3, FindingKind::Echo)); // no chatter
    EXPECT_EQ(a.holds.size(), 5u); // Shift, B, Shift, Ctrl, Shift+Ctrl+B: no echo rows
    for (const Hold& hold : a.holds)
        EXPECT_TRUE(hold.release && !hold.stuck);
    EXPECT_EQ(a.Faults(), 0);
    const std::string text = RenderText(rows, "e.txt");
    EXPECT_NE(
        text.find("B at lines 6-7 echoes the tool's pass-through of Shift+B at line 5: Shift was "
                  "released before B (line 4), so the tool's own B came back to it without Shift "
                  "and was logged again; the system received B, not Shift+B\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("it was passed on and echoed again at line 17\n"), std::string::npos);
    EXPECT_NE(text.find("the tool had released Ctrl itself (line 16)"), std::string::npos);

    // Not echoes: the same key pressed again with the same modifiers (chatter), or too late.
    for (const char* later : {"1275", "1281"}) {
        Analysis other = AnalyseLines({Line("1090", "42", "D", "S"), Line("1270", "42", "U", "S"),
                                       Line(later, "42", "D", "S"), Line(later, "42", "U", "S")});
        EXPECT_TRUE(other.echoes.empty()) << later;
        EXPECT_EQ(FindingKinds(other), std::vector<FindingKind>{FindingKind::Chatter});
    }
    Analysis late = AnalyseLines({Line("1090", "42", "D", "S"), Line("1270", "42", "U", "S"),
                                  Line("1281", "42", "D"), Line("1281", "42", "U")});
    EXPECT_TRUE(late.echoes.empty());
}

// A listener that wants no rows (--summary) is told the findings and the end, and of the
// holds only those found stuck, when they close; none of the per-row calls.
TEST(Analysis, AListenerWantingNoRowsHearsOnlyOfFindingsAndStuckHolds) {
    struct Counts : AnalysisListener {
        bool WantsEveryRow() const override { return false; }
        void OnRow(const Seen&, Role, const HoldState*, const EchoFacts*,
                   const BurstState*) override {
            ++per_row;
        }
        void OnBurstOpened(const BurstState&) override { ++per_row; }
        void OnBurstClosed(const BurstState&) override { ++per_row; }
        void OnFinding(const FindingFacts&) override { ++findings; }
        void OnHoldClosed(const HoldState& hold) override {
            closed.push_back(hold.press.row.line * 1000 +
                             (hold.release ? hold.release->row.line : 0));
        }
        void OnEnd(const Totals& totals) override { rows = totals.rows; }
        int per_row = 0, findings = 0;
        std::size_t rows = 0;
        std::vector<int> closed; // press line * 1000 + release line
    } counts;
    // A released at once; B stuck at the quiet mark, released late; C never released.
    RunPass(ParseDataFile(
                DataFile({Line("100", "41", "D"), Line("150", "41", "U"), Line("200", "42", "D"),
                          Line("3200"), Line("3300", "42", "U"), Line("3400", "43", "D")})),
            {&counts});
    EXPECT_EQ(counts.per_row, 0);
    EXPECT_EQ(counts.findings, 2); // B and C stuck
    EXPECT_EQ(counts.closed, (std::vector<int>{4006, 7000}));
    EXPECT_EQ(counts.rows, 6u);
}

TEST(Analysis, TimesAcrossABackwardsTickAreUnknown) {
    std::vector<Row> rows = ParseDataFile(
        DataFile({Line("10000", "41", "D"), Line("900", "42", "D"), Line("950", "42", "U"),
                  Line("960", "41", "U"), Line("965", "41", "D")}));
    Analysis a = Analyse(rows);
    ASSERT_EQ(a.holds.size(), 3u);
    EXPECT_FALSE(a.holds[0].ms); // A: 10000 to 960 across the step back
    EXPECT_EQ(a.holds[1].ms, 50);
    EXPECT_FALSE(a.bursts[0].length_ms);
    // 5 ms from A's release, but the release's own tick came after the step: still chatter.
    EXPECT_EQ(FindingKinds(a),
              (std::vector<FindingKind>{FindingKind::TickBackwards, FindingKind::Chatter,
                                        FindingKind::Stuck}));
    std::string text = RenderText(rows, "b.txt");
    EXPECT_NE(text.find("held unknown"), std::string::npos) << text;
    EXPECT_NE(text.find("unknown time long"), std::string::npos) << text;
    EXPECT_EQ(text.find("-9"), std::string::npos) << text; // no negative time anywhere
}

// ---- rendering ------------------------------------------------------------------------

TEST(Render, TerminalGridMarksTheTakenCells) {
    std::vector<Row> rows = ParseDataFile(DataFile({Line("1", "72", "F", "S", "", "A")}));
    std::string text = RenderText(rows, "x.txt");
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

// How often NEEDLE occurs in TEXT.
std::size_t Count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST(Pictures, GridCountsEachHalfAndTitlesThePathAndTicks) {
    std::vector<Row> rows =
        ParseDataFile(DataFile({Line("7", "C1", "F"), Line("7", "C1", "F", "S", "C", "A"),
                                Line("8", "41", "F"), Line("9", "DC", "F", "", "C")}));
    std::string svg = RenderGridSvg(rows, "dev/a&b<c>.txt");
    EXPECT_EQ(Count(svg, "class=\"taken\""), 4u);
    EXPECT_NE(svg.find("dev/a&amp;b&lt;c&gt;.txt, ticks 7 to 9"), std::string::npos);
    EXPECT_EQ(svg.find("a&b"), std::string::npos);
    EXPECT_NE(svg.find("Shift+Ctrl+Alt+App1 (0xC1) taken"), std::string::npos);
    // The counts beside each half, top to bottom: none, Alt, ..., Shift+Ctrl+Alt.
    std::vector<std::string> counts;
    std::regex count("class=\"count\">(\\d+)<");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), count);
         it != std::sregex_iterator(); ++it)
        counts.push_back((*it)[1]);
    EXPECT_EQ(counts, (std::vector<std::string>{"1", "0", "0", "0", "0", "0", "0", "0",    // 00-7F
                                                "1", "0", "1", "0", "0", "0", "0", "1"})); // 80-FF
    EXPECT_EQ(svg.rfind("</svg>\n"), svg.size() - 7);
}

TEST(Pictures, EveryTextIsAtLeast11PxAndDark) {
    std::vector<Row> rows = ParseDataFile(DataFile(kEchoes));
    Analysis a = Analyse(rows);
    for (const std::string& svg : {RenderGridSvg(rows, "x"), RenderTimelineSvg(rows, "x")}) {
        std::regex size("font-size=\"(\\d+)\"");
        std::size_t sizes = 0;
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), size);
             it != std::sregex_iterator(); ++it, ++sizes)
            EXPECT_GE(std::stoi((*it)[1]), 11);
        EXPECT_GT(sizes, 10u);
        // Text is near black unless it is white on a bar or coloured as its mark.
        std::regex fill("<text[^>]* fill=\"#([0-9a-f]{6})\"");
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), fill);
             it != std::sregex_iterator(); ++it) {
            int rgb = std::stoi((*it)[1], nullptr, 16);
            int luma = (299 * (rgb >> 16) + 587 * (rgb >> 8 & 0xFF) + 114 * (rgb & 0xFF)) / 1000;
            EXPECT_TRUE(luma <= 0x60 || rgb == 0xffffff) << (*it)[0];
        }
    }
}

TEST(Pictures, TimelineHasALanePerKeyABarPerPressAndMarksForTheFindings) {
    std::vector<std::string> lines = kEchoes;
    lines.insert(lines.end(),
                 {Line("9000", "44", "D"), Line("9080", "44", "U"), Line("9090", "44", "D"),
                  Line("9150", "44", "U"), Line("12150"), Line("13000", "43", "D"), Line("16000"),
                  Line("17000", "45", "U"), Line("90000", "43", "U"), Line("95000", "46", "D")});
    std::vector<Row> rows = ParseDataFile(DataFile(lines));
    Analysis a = Analyse(rows);
    std::string svg = RenderTimelineSvg(rows, "t.txt");
    for (const char* lane : {">Shift<", ">Ctrl<", ">B<", ">C<", ">D<", ">E<", ">F<"})
        EXPECT_NE(svg.find(std::string("font-weight=\"bold\">") + (lane + 1)), std::string::npos)
            << lane;
    EXPECT_EQ(Count(svg, "<rect class=\"held\""), 7u);  // 5 in kEchoes, 2 of D
    EXPECT_EQ(Count(svg, "<rect class=\"stuck\""), 2u); // C (released late) and F (never)
    EXPECT_NE(svg.find("F: never released, stuck"), std::string::npos);
    EXPECT_EQ(Count(svg, "<g class=\"echo\""), 3u);
    EXPECT_EQ(Count(svg, "<g class=\"chatter\""), 1u);
    EXPECT_EQ(Count(svg, "<g class=\"unpaired\""), 1u);
    EXPECT_EQ(Count(svg, "<line class=\"quiet\""), static_cast<std::size_t>(a.quiet_marks));
    EXPECT_NE(svg.find("+1 min 13 s"), std::string::npos); // 17 s to 90 s cut short
    EXPECT_NE(svg.find(">90 s<"), std::string::npos);      // and the axis goes on after it
    EXPECT_NE(svg.find("t.txt, ticks 1000 to 95000"), std::string::npos);
}

TEST(Pictures, AutoRepeatPressesAreMarkedOnTheTimelineAndInThePage) {
    // B held with two repeats, C without any, D never released with one.
    std::vector<Row> rows = ParseDataFile(
        DataFile({Line("100", "42", "D"), Line("600", "42", "D"), Line("633", "42", "D"),
                  Line("700", "42", "U"), Line("1000", "43", "D"), Line("1100", "43", "U"),
                  Line("1200", "44", "D"), Line("1800", "44", "D")}));
    Analysis a = Analyse(rows);
    const std::string svg = RenderTimelineSvg(rows, "r.txt");
    const std::string page = RenderHtml(rows, "r.txt");
    const struct {
        const std::string& out;
        const char* needle;
        std::size_t count;
    } cases[] = {
        {svg, "<path class=\"repeat\"", 2}, // one per bar with repeats
        {svg, "<title>B: 2 auto-repeats while held, line 3-4</title>", 1},
        {svg, "<title>D: 1 auto-repeat while held, line 9</title>", 1},
        {svg, ">auto-repeat</text>", 1}, // the legend
        {page, "<tr id=\"line-3\" class=\"repeat\">", 1},
        {page, "<td>auto-repeat of the press at line 2</td>", 2},
        {page, "<td>auto-repeat of the press at line 8</td>", 1},
        {page, "<td>held 600 ms, 2 auto-repeats, released at line 5</td>", 1},
        {page, ">auto-repeat presses</td><td>3</td>", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Count(c.out, c.needle), c.count) << c.needle;
}

TEST(Pictures, ALongFilesTimelineDrawsItsFirstBurstsAndSaysSo) {
    // Three bursts of four key events: lines 2-6, 7-11 (quiet marks at 6 and 11), 12-15.
    std::vector<Row> rows = ParseDataFile(DataFile(
        {Line("100", "41", "D"), Line("150", "41", "U"), Line("200", "42", "D"),
         Line("250", "42", "U"), Line("3300"), Line("3400", "43", "D"), Line("3450", "43", "U"),
         Line("3500", "44", "D"), Line("3550", "44", "U"), Line("6600"), Line("6700", "45", "D"),
         Line("6750", "45", "U"), Line("6800", "46", "D"), Line("6850", "46", "U")}));
    const struct {
        std::size_t max_key_events, rows;
    } cases[] = {
        {100, 14}, // all of it
        {4, 5},    // the first burst, to its quiet mark
        {5, 6},    // the second burst goes on past a fifth more: cut at the fifth event
        {10, 14},  // the last burst ends within a fifth more: drawn whole
    };
    for (const auto& c : cases)
        EXPECT_EQ(TimelineRows(rows, c.max_key_events), c.rows) << c.max_key_events;

    Analysis a = Analyse(rows);
    std::string svg = RenderTimelineSvg(rows, "t.txt", 4);
    EXPECT_EQ(Count(svg, "<rect class=\"held\""), 2u);
    EXPECT_EQ(Count(svg, "<line class=\"quiet\""), 1u);
    EXPECT_EQ(Count(svg, "Drawn: lines 2 to 6 only, 4 of 12 key events"), 1u);
    EXPECT_EQ(Count(RenderTimelineSvg(rows, "t.txt"), "Drawn:"), 0u);
}

TEST(Page, ALongFilesTableHoldsItsFirstRowsAndThoseItsFindingsLinkTo) {
    // Chatter at lines 6 (B) and 10 (C).
    std::vector<Row> rows = ParseDataFile(
        DataFile({Line("100", "41", "D"), Line("150", "41", "U"), Line("200", "42", "D"),
                  Line("250", "42", "U"), Line("255", "42", "D"), Line("300", "42", "U"),
                  Line("400", "43", "D"), Line("450", "43", "U"), Line("460", "43", "D"),
                  Line("500", "43", "U")}));
    Analysis a = Analyse(rows);
    ASSERT_EQ(a.findings.size(), 2u);
    PageLimits limits;
    limits.rows = 2;
    limits.findings = 1;
    const std::string page = RenderHtml(rows, "p.txt", limits);
    std::string table;
    for (std::size_t at = page.find("<tr id=\"line-"); at != std::string::npos;
         at = page.find("<tr id=\"line-", at + 1))
        table += page.substr(at + 13, page.find('"', at + 13) - at - 13) + " ";
    EXPECT_EQ(table, "2 3 5 6 "); // the first two, and the chatter's two rows
    for (const char* text : {">1 row not shown, line 4<", ">5 rows not shown, lines 7 to 11<",
                             "The file has 10 rows: the table holds the first 2",
                             "Only the first 1 of 2 findings are listed"})
        EXPECT_EQ(Count(page, text), 1u) << text;
    EXPECT_EQ(Count(page, "<a href=\"#line-10\">"), 0u);
    EXPECT_EQ(Count(RenderHtml(rows, "p.txt"), "not shown"), 0u);
}

TEST(Render, FindingsNameTheKeysOfTheirRowsInTheRightNumber) {
    std::vector<Row> rows = ParseDataFile(DataFile({
        Line("100", "72", "D", "S", "", "A"),
        Line("150", "72", "U", "S", "", "A"),
        Line("150", "72", "D", "", "C", "A"), // bounce after letting go of Shift, pressing Ctrl
        Line("200", "72", "U", "", "C", "A"),
        Line("3200"),
    }));
    Analysis a = Analyse(rows);
    std::string text = RenderText(rows, "n.txt");
    EXPECT_NE(text.find("chatter                Ctrl+Alt+F3 pressed 0 ms after the release of "
                        "Shift+Alt+F3 at line 3"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("5 rows (0 taken, 4 key events, 1 quiet mark)"), std::string::npos) << text;
    EXPECT_NE(text.find("Findings: 1 (1 fault)"), std::string::npos);

    std::string summary = RenderSummary(rows, "n.txt");
    EXPECT_EQ(summary, "Data file n.txt: 5 rows (0 taken, 4 key events, 1 quiet mark)\n"
                       "Ticks 100 to 3200, 3100 ms\n"
                       "Taken: 0 of 2048 combinations\n"
                       "Key events: 2 presses with their releases, 0 echoes, 1 burst\n"
                       "Findings: 1 (1 fault)\n"
                       "  line 4      chatter                Ctrl+Alt+F3 pressed 0 ms after the "
                       "release of Shift+Alt+F3 at line 3\n");
}

TEST(Render, KeyAndCombinationNames) {
    EXPECT_EQ(ComboName(0x11, kModCtrl), "Ctrl");
    EXPECT_EQ(ComboName(0x10, kModShift | kModCtrl), "Ctrl+Shift");
    EXPECT_EQ(ComboName(0xA1, kModShift | kModCtrl), "Ctrl+RShift");
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
              (std::vector<std::string>{"wait 8000", "press Ctrl", "wait 120", "press A",
                                        "wait 130", "release A", "release Ctrl", "wait 3000"}));
    EXPECT_EQ(r.key_events, 4);
    EXPECT_TRUE(r.why.empty());

    // Across the wrap the wait is the modular difference.
    Replay wrapped = BuildReplay(
        ParseDataFile(DataFile({Line("2147483600", "41", "D"), Line("-2147483596", "41", "U")})),
        "w.txt");
    EXPECT_EQ(Commands(wrapped.scenario),
              (std::vector<std::string>{"wait 1", "press A", "wait 100", "release A"}));
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

TEST(Replay, RowsTheReplayMayNotMakeTheSameKeepTheirReason) {
    Replay r = BuildReplay(ParseDataFile(DataFile({
                               Line("100", "41", "D", "", "C"), // Ctrl has no press row
                               Line("200", "41", "U", "", "C"),
                               Line("300", "44", "U"), // no press before it
                               Line("400", "42", "D"),
                               Line("500", "42", "D"), // repeat
                               Line("600", "42", "U"),
                               Line("700", "10", "D", "S"), // this device logs modifier keys
                               Line("800", "10", "U", "S"),
                           })),
                           "d.txt");
    std::vector<int> lines;
    for (const auto& [line, why] : r.why)
        lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<int>{2, 4, 6}));
    EXPECT_EQ(r.why[2], "the row shows modifiers Ctrl, the replay held none (a modifier with no "
                        "press row in the file)");
    EXPECT_EQ(r.scenario.find("# line 2"), std::string::npos); // a reason, not a guess in it
}

TEST(Replay, RowsItCannotExpressAndEchoesAreLeftOutWithAComment) {
    std::vector<std::string> lines = kEchoes;
    lines.insert(lines.begin() + 1, {Line("1050", "1A5", "D"), Line("1060", "1A5", "U")});
    Replay r = BuildReplay(ParseDataFile(DataFile(lines)), "e.txt");
    EXPECT_EQ(r.left_out, (std::vector<int>{3, 4}));
    EXPECT_NE(r.scenario.find("# line 3: press of key code 0x1A5 left out: the device keyboard "
                              "has codes 0x00 to 0xFF\n"),
              std::string::npos);
    EXPECT_NE(r.scenario.find("# lines 8-9: echo of the pass-through at line 7; the tool makes "
                              "it itself\n"),
              std::string::npos)
        << r.scenario;
    EXPECT_EQ(r.key_events, 10);              // 18 key rows less 2 left out and 3 echoes of 2 rows
    EXPECT_EQ(Count(r.scenario, " B\n"), 4u); // B twice, its echoes not at all
}

TEST(Replay, ComparisonNamesTheRowsThatDifferAndWhy) {
    const std::vector<std::string> file = {Line("1", "72", "F", "S", "", "A"),
                                           Line("3002"),
                                           Line("5000", "41", "D"),
                                           Line("5100", "41", "U"),
                                           Line("5200", "44", "U"),
                                           Line("8200")};
    Replay replay = BuildReplay(ParseDataFile(DataFile(file)), "c.txt");
    struct Case {
        const char* name;
        std::vector<std::string> replayed;
        std::size_t same;
        std::vector<std::string> differences; // "LINE|file row|replay row|why"
    };
    const std::vector<Case> cases = {
        {"as the device made it",
         {Line("1", "72", "F", "S", "", "A"), Line("3002"), Line("5000", "41", "D"),
          Line("5100", "41", "U"), Line("5200", "44", "U"), Line("8200")},
         6,
         {}},
        {"a lost release and its quiet mark",
         {Line("2", "72", "F", "S", "", "A"), Line("3002"), Line("5000", "41", "D"),
          Line("5100", "41", "U"), Line("8100")},
         4,
         {"6|D up at 5200||no press of this key before it, so its release finds the key up and "
          "goes to the system",
          "7|quiet mark at 8200|quiet mark at 8100|the replay made it 100 ms earlier: it comes "
          "3000 ms after the last key event, and the replay did not make line 6"}},
        {"other modifiers and a row more",
         {Line("1", "72", "F", "S", "", "A"), Line("3002"), Line("5000", "41", "D", "", "C"),
          Line("5100", "41", "U"), Line("5100", "11", "U"), Line("5200", "44", "U"), Line("8200")},
         5,
         {"4|A down at 5000|Ctrl+A down at 5000|the modifiers differ",
          "0||Ctrl up at 5100|the file has no such row"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Verdict v = CompareReplay(ParseDataFile(DataFile(file)),
                                  ParseDataFile(DataFile(c.replayed)), replay);
        EXPECT_EQ(v.same, c.same);
        std::vector<std::string> got;
        for (const Difference& d : v.differences)
            got.push_back(std::to_string(d.line) + "|" + d.file_row + "|" + d.replay_row + "|" +
                          d.why);
        EXPECT_EQ(got, c.differences);
        EXPECT_EQ(v.differ, c.differences.size());
        // Streamed, keeping only the first: the same first difference, all of them counted.
        std::vector<Row> replayed = ParseDataFile(DataFile(c.replayed));
        std::size_t next = 0;
        ReplayComparer compare(
            [&](Row& row) { return next < replayed.size() && (row = replayed[next++], true); }, 1);
        for (const Row& row : ParseDataFile(DataFile(file))) {
            auto why = replay.why.find(row.line);
            compare.Add(row, why == replay.why.end() ? "" : why->second);
        }
        Verdict streamed = compare.Finish();
        EXPECT_EQ(streamed.same, c.same);
        EXPECT_EQ(streamed.differ, c.differences.size());
        ASSERT_EQ(streamed.differences.size(), std::min<std::size_t>(1, got.size()));
        if (!got.empty()) {
            EXPECT_EQ(streamed.differences[0].why, v.differences[0].why);
        }
    }
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
              (std::vector<std::string>{"start-tick = 10", "exe = \\Program Files\\Wtapwatcher.exe",
                                        "taken = 0x0D", "taken = Alt+0x0D",
                                        "taken = Shift+Alt+0x72", "taken = Any+0xC1"}));
}

// The round trip through the simulated device is in report_roundtrip_test.cpp.

} // namespace
