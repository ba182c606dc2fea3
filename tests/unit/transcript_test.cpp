// The transcript's rows as people and programs read them: key names beside
// codes, the time since the previous key row of a burst, the sweep's "held"
// lines, and JSON strings that any reader parses back to what was meant.
#include "cli/runner/transcript.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

using Cells = std::array<std::string, 6>;

// Rows of a short session, as text and as JSON lines.
void WriteSession(runner::Transcript& t) {
    t.Row(1, 1, {"1", "72", "F", "", "", ""}, "");
    t.Row(1, 2, {"1", "72", "F", "S", "", ""}, "");
    t.Row(1, 3, {"1", "C1", "F", "", "C", "A"}, "");
    t.Row(-5, 4, {"-5", "41", "D", "", "", ""}, ""); // the tick wraps within the burst
    t.Row(20, 5, {"20", "41", "U", "", "", ""}, "");
    t.Row(25, 6, {"25", "E5", "D", "", "", ""}, "");
    t.Row(3025, 7, {"3025", "", "", "", "", ""}, "");
    t.Row(4000, 8, {"4000", "11", "U", "", "C", ""}, "Ctrl up");
}

TEST(TranscriptRows, TextNamesKeysTimesBurstsAndSumsUpTheSweep) {
    std::ostringstream out;
    {
        runner::Transcript t(&out);
        WriteSession(t);
    }
    EXPECT_EQ(out.str(), "1 row 1: 72 (F3) F\n"
                         "1 row 2: 72 (F3) F S\n"
                         "1 row 3: C1 (App1) F C A\n"
                         "1 held elsewhere: F3 (0x72) with none, Shift (rows 1-2)\n"
                         "1 held elsewhere: App1 (0xC1) with Ctrl+Alt (row 3)\n"
                         "-5 row 4: 41 (A) D\n"
                         "20 row 5: 41 (A) U +25 ms\n"
                         "25 row 6: E5 D +5 ms\n"
                         "3025 row 7: quiet mark\n"
                         "4000 row 8: 11 (Ctrl) U C (echo of the tool's own Ctrl up)\n");
}

TEST(TranscriptRows, JsonRowsKeepTheCellsAndAddOneKeyForm) {
    std::ostringstream out;
    {
        runner::Transcript t(&out, runner::Format::Jsonl);
        WriteSession(t);
    }
    std::vector<nlohmann::json> rows;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);)
        rows.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(rows.size(), 10u);
    EXPECT_EQ(rows[3]["type"], "held");
    EXPECT_EQ(rows[3]["vk"], 0x72);
    EXPECT_EQ(rows[3]["mods"], nlohmann::json({"none", "Shift"}));
    const nlohmann::json& a_up = rows[6];
    EXPECT_EQ(a_up["cells"], nlohmann::json({"20", "41", "U", "", "", ""}));
    EXPECT_EQ(a_up["key"], "A");
    EXPECT_EQ(a_up["vk"], 65);
    EXPECT_EQ(a_up["since_ms"], 25);
    EXPECT_EQ(rows[7]["key"], "0xE5");
    EXPECT_FALSE(rows[5].contains("since_ms")) << "first key row of the burst";
    EXPECT_FALSE(rows[8].contains("key")) << "quiet mark";
    EXPECT_FALSE(rows[9].contains("since_ms")) << "first key row after the quiet mark";
}

TEST(TranscriptJson, StringsParseBackAsWritten) {
    const struct {
        std::string in, want;
    } cases[] = {
        {"say \"hi\" \\ there", "say \"hi\" \\ there"},
        {"tab\there\nnew\x01", "tab\there\nnew\x01"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"bad \xFF end \xC3", "bad \xEF\xBF\xBD end \xEF\xBF\xBD"},
        {"overlong \xC0\xAF, surrogate \xED\xA0\x80",
         "overlong \xEF\xBF\xBD\xEF\xBF\xBD, surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        {
            runner::Transcript t(&out, runner::Format::Jsonl);
            t.Event(7, "note", c.in, {{"text", c.in}});
        }
        nlohmann::json j = nlohmann::json::parse(out.str());
        EXPECT_EQ(j["text"], c.want) << out.str();
        EXPECT_EQ(j["tick"], 7);
    }
}

} // namespace
