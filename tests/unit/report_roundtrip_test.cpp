// report_roundtrip_test.cpp - the round trip: a scenario run on the simulated device saves a data
// file; the report turns that file back into a scenario and a profile; running those on a fresh
// device saves the same key rows and the same taken rows.
#include "cli/report/analysis.h"
#include "cli/report/datafile.h"
#include "cli/report/replay.h"
#include "cli/sim/run.h"

#include <gtest/gtest.h>

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
void RoundTrip(const std::string& exe) {
    const std::string profile = "start-tick = 2147480000\n"
                                "taken = Shift+Alt+0x72\n"
                                "taken = Any+App1\n";
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
    EXPECT_GE(keys.size(), 14u);
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

} // namespace
