// report_bench.cpp - the tapwatcher-report command on generated data files of 10,000,
// 100,000 and a million rows: the page (--html) and the key timeline (--timeline), beside
// the text report alone (which every run prints: the floor) and --summary (reading and
// analysing the file, printing the counts). Wall-clock
// time of the whole process, its CPU time, and the bytes it wrote. TAPWATCHER_REPORT names
// another build of the command to measure (the figures before a change).
#include "bench/common.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
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
std::string DataFile(std::uint64_t rows) {
    std::uint64_t seed = 12345;
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

} // namespace
