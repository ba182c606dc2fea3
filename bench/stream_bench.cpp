// stream_bench.cpp - the speed of the runner's stream, in one run: a million
// key rows through the device and tool alone (the floor), then 500,000 `type A`
// lines through the tapwatcher-sim command, its transcript as text and as JSON
// lines into a file. Counters: the median seconds of each and the two ratios
// the targets are set on (text over the floor, JSON lines over text).
// TAPWATCHER_SIM names another build of the command (the figures before a change).
#include "bench/common.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace {

using namespace bench;

#ifndef TAPWATCHER_SIM_PATH
#define TAPWATCHER_SIM_PATH "tapwatcher-sim"
#endif

constexpr uint64_t kPairs = 500000;

// Ends the timing when the last key event has been handled.
class EndDriver : public PairDriver {
  public:
    using PairDriver::PairDriver;
    Clock::time_point end;

  protected:
    void OnEnd(device::Device&) override { end = Clock::now(); }
};

// Seconds the device and tool take for the pairs, with no transcript.
double DeviceAndTool() {
    TempDir tmp;
    device::Device dev(DeviceProfile(tmp.path));
    dev.record_system_keys = false;
    EndDriver driver(kPairs);
    Clock::time_point start = Clock::now();
    runner::RunTool(dev, &driver);
    return Seconds(start, driver.end);
}

// Seconds tapwatcher-sim takes for `scenario` in `format`, into a file; -1 on failure.
double Sim(const std::string& sim, const std::string& dir, const std::string& scenario,
           const char* format, double& mb) {
    std::string out = dir + "/transcript";
    int fd = ::open(out.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    double cpu = 0;
    Clock::time_point start = Clock::now();
    int status =
        RunProgram({sim, "--root", dir + "/device", "--format", format, scenario}, fd, cpu);
    double s = Seconds(start, Clock::now());
    ::close(fd);
    mb = (double)std::ifstream(out, std::ios::binary | std::ios::ate).tellg() / 1e6;
    return status == 0 ? s : -1;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_StreamAgainstTheFloor(benchmark::State& state) {
    const char* env = std::getenv("TAPWATCHER_SIM");
    const std::string sim = env && *env ? env : TAPWATCHER_SIM_PATH;
    TempDir tmp;
    const std::string scenario = tmp.path + "/type-a.scn";
    {
        std::ofstream f(scenario);
        f << "wait 10\n";
        for (uint64_t i = 0; i < kPairs; ++i)
            f << "type A\n";
    }
    std::vector<double> floor, text, jsonl;
    double text_mb = 0, jsonl_mb = 0;
    for (auto _ : state) {
        floor.push_back(DeviceAndTool());
        text.push_back(Sim(sim, tmp.path, scenario, "text", text_mb));
        jsonl.push_back(Sim(sim, tmp.path, scenario, "jsonl", jsonl_mb));
        if (text.back() < 0 || jsonl.back() < 0) {
            state.SkipWithError("tapwatcher-sim failed");
            return;
        }
        state.SetIterationTime(floor.back() + text.back() + jsonl.back());
    }
    double f = Median(floor), t = Median(text), j = Median(jsonl);
    state.counters["floor_s"] = f;
    state.counters["text_s"] = t;
    state.counters["jsonl_s"] = j;
    state.counters["text_MB"] = text_mb;
    state.counters["jsonl_MB"] = jsonl_mb;
    state.counters["text_x_floor"] = t / f; // target: at most 3
    state.counters["jsonl_x_text"] = j / t; // target: at most 1.5
}
BENCHMARK(BM_StreamAgainstTheFloor)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace
