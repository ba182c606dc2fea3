// report_roundtrip_test.cpp - the round trip: a scenario run on the simulated device saves a data
// file; the report turns that file back into a scenario and a profile; running those on a fresh
// device saves the same key rows and the same taken rows.
#include "cli/report/analysis.h"
#include "cli/report/datafile.h"
#include "cli/report/replay.h"
#include "cli/sim/run.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace {

struct KeyRow {
    int32_t tick;
    report::RowKind kind;
    unsigned vk, mods;
    bool operator==(const KeyRow&) const = default;
};

// The key rows (or, with TAKEN, the taken rows without their ticks).
std::vector<KeyRow> RowsOfKind(const std::vector<report::Row>& rows, bool taken) {
    std::vector<KeyRow> out;
    for (const report::Row& r : rows) {
        bool is_key = r.kind == report::RowKind::Press || r.kind == report::RowKind::Release;
        if ((taken && r.kind == report::RowKind::Taken) || (!taken && is_key))
            out.push_back({taken ? 0 : r.tick, r.kind, r.vk, r.mods});
    }
    return out;
}

// Runs a scenario on a fresh device and returns the data file it saved.
std::string Run(const std::string& profile, const std::string& scenario, const std::string& exe) {
    runner::ScenarioRun run;
    std::string error;
    EXPECT_TRUE(runner::RunScenarioText(profile, scenario, exe, run, error)) << error;
    EXPECT_EQ(run.status, 0) << run.transcript;
    EXPECT_TRUE(run.data_file_written) << run.transcript;
    return run.data_file;
}

// A capture, its replay, and the comparison of the two data files.
void RoundTrip(const std::string& exe, const std::string& setting = "") {
    const std::string profile = "start-tick = 2147480000\n"
                                "taken = Shift+Alt+0x72\n"
                                "taken = Any+App1\n" +
                                setting;
    const std::string scenario = "wait 500\n"
                                 "type Ctrl+A\n"
                                 "wait 120\n"
                                 "press Shift\n"
                                 "press Ctrl\n"
                                 "type B\n"
                                 "wait 40\n"
                                 "type Left\n"
                                 "release Ctrl\n"
                                 "release Shift\n"
                                 "wait 200\n"
                                 "press Shift\n" // Shift let go before B: an echo
                                 "wait 30\n"
                                 "press B\n"
                                 "wait 40\n"
                                 "release Shift\n"
                                 "wait 20\n"
                                 "release B\n"
                                 "wait 4000\n"
                                 "press C\n" // stuck: never released
                                 "wait 70\n"
                                 "type Alt+F1\n"
                                 "wait 3500\n";
    std::string first = Run(profile, scenario, exe);
    std::vector<report::Row> rows = report::ParseDataFile(first);
    report::Replay replay = report::BuildReplay(rows, "first.txt");
    EXPECT_TRUE(replay.why.empty()) << replay.why.begin()->second;
    EXPECT_EQ(report::Analyse(rows).echoes.size(),
              exe.find("L.exe") != std::string::npos ? 0u : 1u);
    std::string second = Run(replay.profile, replay.scenario, exe);
    std::vector<report::Row> again = report::ParseDataFile(second);

    std::vector<KeyRow> keys = RowsOfKind(rows, false), keys_again = RowsOfKind(again, false);
    EXPECT_GE(keys.size(), 13u);
    EXPECT_EQ(keys, keys_again) << "first:\n"
                                << first << "\nreplayed:\n"
                                << second << "\nscenario:\n"
                                << replay.scenario;
    EXPECT_EQ(RowsOfKind(rows, true), RowsOfKind(again, true));
    EXPECT_EQ(RowsOfKind(rows, true).size(), 9u);
}

TEST(ReportRoundTrip, SaveOnExit) {
    RoundTrip("\\Program Files\\Wtapwatcher.exe");
}

TEST(ReportRoundTrip, CaptureOnly) {
    RoundTrip("\\Program Files\\WtapwatcherL.exe");
}

TEST(ReportRoundTrip, ModifierKeysFiringNoHotKey) {
    RoundTrip("\\Program Files\\Wtapwatcher.exe", "modifier-hot-keys = no\n");
}

// A file under examples/report.
std::string Example(const std::string& name) {
    std::ifstream f(std::string(TAPWATCHER_SOURCE_DIR) + "/examples/report/" + name);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The rows the tool's own synthesised keys made: the transcript, its JSON lines and the report
// (from the data file alone) name the same ones, and no hold is timed by the tool's release.
TEST(ReportRoundTrip, TranscriptJsonLinesAndReportNameTheSameEchoes) {
    const struct {
        const char* profile;
        std::set<int> echoes;             // row numbers
        std::optional<int32_t> ctrl_held; // the report's hold of Ctrl (the scenario's: 310 ms)
    } cases[] = {
        {"session.profile", {14, 19, 20}, std::nullopt},
        {"session-top.profile", {14, 19, 20}, std::nullopt},
        {"session-system.profile", {}, 310},
    };
    const std::string scenario = Example("session.scn");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profile);
        runner::ScenarioRun text, json;
        std::string error;
        ASSERT_TRUE(runner::RunScenarioText(Example(c.profile), scenario, "", text, error))
            << error;
        ASSERT_TRUE(runner::RunScenarioText(Example(c.profile), scenario, "", json, error,
                                            runner::Format::Jsonl))
            << error;
        std::set<int> in_text, in_json, in_report;
        std::istringstream lines(text.transcript), objects(json.transcript);
        for (std::string line; std::getline(lines, line);) {
            if (line.find(" (echo of the tool's own ") != std::string::npos)
                in_text.insert(std::stoi(line.substr(line.find(" row ") + 5)));
        }
        for (std::string line; std::getline(objects, line);) {
            nlohmann::json j = nlohmann::json::parse(line);
            if (j["type"] == "row" && j.contains("echo_of"))
                in_json.insert(j["row"].get<int>());
        }
        std::vector<report::Row> rows = report::ParseDataFile(text.data_file);
        report::Analysis a = report::Analyse(rows);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (a.is_echo[i])
                in_report.insert(rows[i].line - 1); // line 1 is the header
        }
        EXPECT_EQ(in_text, c.echoes) << text.transcript;
        EXPECT_EQ(in_json, c.echoes);
        EXPECT_EQ(in_report, c.echoes);
        ASSERT_FALSE(a.holds.empty());
        const report::Hold& ctrl = a.holds.front();
        EXPECT_EQ(rows[ctrl.press].vk, 0x11u);
        EXPECT_TRUE(ctrl.release.has_value());
        EXPECT_EQ(ctrl.ms, c.ctrl_held);
        EXPECT_EQ(ctrl.by_tool, !c.ctrl_held.has_value());
    }
}

} // namespace
