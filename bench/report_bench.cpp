// report_bench.cpp - the tapwatcher-report command on generated data files of 10,000,
// 100,000 and a million rows: the page (--html) and the key timeline (--timeline), beside
// the text report alone (which every run prints: the floor) and --summary (reading and
// analysing the file, printing the counts). Wall-clock
// time of the whole process, its CPU time, and the bytes it wrote. TAPWATCHER_REPORT names
// another build of the command to measure (the figures before a change).
// Also: --summary of a million rows against a Python loop that splits every line of the
// same file into its cells, run in turn in each iteration; and --summary of a folder of
// 10,000 files of 1,000 rows (a fleet).
#include "bench/common.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

#ifndef TAPWATCHER_REPORT_PATH
#define TAPWATCHER_REPORT_PATH "tapwatcher-report"
#endif

// A data file of about ROWS rows, as a long capture of typing makes it: a dozen taken
// combinations, then presses and releases of letters and digits 40-160 ms apart, now and
// then a key held with auto-repeats or pressed again 10 ms after its release (chatter),
// and a quiet mark after every 20-200 presses; one pause in five is minutes long.
// SEED varies the file.
std::string DataFile(std::uint64_t rows, std::uint64_t seed = 12345) {
    auto next = [&](std::uint32_t below) { // a small LCG: the same file every run
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(seed >> 33) % below;
    };
    std::string text = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n";
    std::int64_t tick = 1000;
    char line[64];
    auto row = [&](unsigned vk, const char* ud) {
        if (vk)
            std::snprintf(line, sizeof line, "%lld\t%02X\t%s\t\t\t\r\n",
                          static_cast<long long>(tick), vk, ud);
        else
            std::snprintf(line, sizeof line, "%lld\t\t\t\t\t\r\n", static_cast<long long>(tick));
        text += line;
    };
    std::uint64_t n = 0;
    for (unsigned vk = 0x70; vk < 0x7C; ++vk, ++n)
        row(vk, "F");
    std::uint32_t in_burst = 0, burst_len = 20 + next(180);
    while (n < rows) {
        unsigned vk = next(36) < 26 ? 0x41 + next(26) : 0x30 + next(10);
        tick += 40 + next(120);
        row(vk, "D");
        ++n;
        if (next(1000) < 20) { // held: auto-repeats after half a second, 33 ms apart
            tick += 500;
            for (std::uint32_t r = 1 + next(10); r > 0; --r, ++n, tick += 33)
                row(vk, "D");
        }
        tick += 30 + next(90);
        row(vk, "U");
        ++n;
        if (next(1000) < 2) { // chatter
            tick += 10;
            row(vk, "D");
            tick += 40;
            row(vk, "U");
            n += 2;
        }
        if (++in_burst >= burst_len) {
            in_burst = 0;
            burst_len = 20 + next(180);
            tick += 3000 + (next(5) == 0 ? 20000 + next(580000) : next(5000));
            row(0, "");
            ++n;
        }
    }
    return text;
}

// Size of the file at PATH in bytes, 0 when there is none.
double FileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    return f ? (double)f.tellg() : 0;
}

// range(0): rows; range(1): 0 --summary, 1 the text report, 2 --timeline, 3 --html.
void BM_Report(benchmark::State& state) {
    const char* env = std::getenv("TAPWATCHER_REPORT");
    const std::string report = env && *env ? env : TAPWATCHER_REPORT_PATH;
    static const char* const kOption[] = {"--summary", "", "--timeline", "--html"};
    const int mode = (int)state.range(1);
    TempDir tmp;
    const std::string data = tmp.path + "/tapwatcherdata.txt";
    const std::string text = DataFile((std::uint64_t)state.range(0));
    std::ofstream(data, std::ios::binary) << text;
    const std::string out = tmp.path + "/out";
    std::vector<std::string> args{report, data};
    if (mode != 1)
        args.push_back(kOption[mode]);
    if (mode >= 2)
        args.push_back(out);
    double cpu = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        int status = RunProgram(args, -1, cpu);
        state.SetIterationTime(Seconds(start, Clock::now()));
        if (status != 0) {
            state.SkipWithError(("tapwatcher-report exited " + std::to_string(status)).c_str());
            return;
        }
    }
    state.counters["rows"] = (double)state.range(0);
    state.counters["data_MB"] = (double)text.size() / 1e6;
    // The command's own CPU time: steadier than the wall clock on a busy machine.
    state.counters["cpu_s"] = cpu;
    if (mode >= 2)
        state.counters["out_MB"] = FileBytes(out) / 1e6;
}
BENCHMARK(BM_Report)
    ->ArgNames({"rows", "output"})
    ->ArgsProduct({{10000, 100000, 1000000}, {0, 1, 2, 3}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The report's command line for --summary of DATA.
std::vector<std::string> SummaryArgs(const std::string& data) {
    const char* env = std::getenv("TAPWATCHER_REPORT");
    return {env && *env ? env : TAPWATCHER_REPORT_PATH, data, "--summary"};
}

// --summary of a million rows and the Python line split of the same file, in turn: the
// summary's wall clock is the iteration's time; both times, both CPU times and their
// ratios are counters.
void BM_SummaryAgainstPythonSplit(benchmark::State& state) {
    TempDir tmp;
    const std::string data = tmp.path + "/tapwatcherdata.txt";
    std::ofstream(data, std::ios::binary) << DataFile(1000000);
    const std::vector<std::string> python = {
        "/usr/bin/python3", "-c",
        "import sys\nfor line in open(sys.argv[1], 'rb'): len(line.split(b'\\t'))", data};
    double summary_s = 0, python_s = 0, summary_cpu = 0, python_cpu = 0;
    for (auto _ : state) {
        double cpu = 0;
        Clock::time_point start = Clock::now();
        const int status = RunProgram(SummaryArgs(data), -1, cpu);
        const double took = Seconds(start, Clock::now());
        summary_s += took;
        summary_cpu += cpu;
        state.SetIterationTime(took);
        start = Clock::now();
        const int python_status = RunProgram(python, -1, cpu);
        python_s += Seconds(start, Clock::now());
        python_cpu += cpu;
        if (status != 0 || python_status != 0) {
            state.SkipWithError("tapwatcher-report or python3 failed");
            return;
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["summary_s"] = summary_s / n;
    state.counters["python_s"] = python_s / n;
    state.counters["summary_cpu_s"] = summary_cpu / n;
    state.counters["python_cpu_s"] = python_cpu / n;
    state.counters["python_over_summary"] = python_s / summary_s;
    state.counters["python_over_summary_cpu"] = python_cpu / summary_cpu;
}
BENCHMARK(BM_SummaryAgainstPythonSplit)
    ->Iterations(20) // a run's CPU time is counted in scheduler ticks: 20 runs steady it
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// --summary of a folder of range(0) files of range(1) rows each, ten kinds of file.
void BM_FleetSummary(benchmark::State& state) {
    TempDir tmp;
    const std::string folder = tmp.path + "/fleet";
    std::vector<std::string> kinds;
    for (std::uint64_t seed = 1; seed <= 10; ++seed)
        kinds.push_back(DataFile(static_cast<std::uint64_t>(state.range(1)), seed));
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        const std::string device = folder + "/device" + std::to_string(i);
        std::filesystem::create_directories(device);
        std::ofstream(device + "/tapwatcherdata.txt", std::ios::binary)
            << kinds[static_cast<std::size_t>(i) % kinds.size()];
    }
    double cpu = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        const int status = RunProgram(SummaryArgs(folder), -1, cpu);
        state.SetIterationTime(Seconds(start, Clock::now()));
        if (status != 0) {
            state.SkipWithError(("tapwatcher-report exited " + std::to_string(status)).c_str());
            return;
        }
    }
    state.counters["files"] = static_cast<double>(state.range(0));
    state.counters["cpu_s"] = cpu;
}
BENCHMARK(BM_FleetSummary)
    ->ArgNames({"files", "rows"})
    ->Args({10000, 1000})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
