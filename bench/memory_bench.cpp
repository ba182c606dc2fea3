// memory_bench.cpp - memory of the log: resident growth of the process while the
// tool logs press/release pairs, divided by the rows logged, beside the bytes of
// the rows' text (UTF-16, as the list view holds it).
#include "bench/common.h"

#include <benchmark/benchmark.h>

namespace {

using namespace bench;

// Reads the resident size when the last key event has been handled.
class MeasureDriver : public PairDriver {
  public:
    using PairDriver::PairDriver;
    size_t resident = 0;
    int rows = 0;
    uint64_t text_bytes = 0;
    size_t storage_bytes = 0;

  protected:
    void OnEnd(device::Device& dev) override {
        resident = ResidentBytes();
        const device::ListView& lv = *ToolList(dev);
        rows = lv.Count();
        text_bytes = TextBytes(lv);
        storage_bytes = lv.MemoryBytes();
    }
};

// `record_system_keys`: whether the device keeps its record of the keys that
// reached the system (its default; a long run turns it off); `journal`: whether
// it journals every call (tests that check an order turn it on).
void LogMemory(benchmark::State& state, bool record_system_keys, bool journal = false) {
    const uint64_t pairs = (uint64_t)state.range(0);
    double per_row = 0, text_per_row = 0, storage_per_row = 0;
    int rows = 0;
    size_t growth = 0;
    for (auto _ : state) {
        TempDir tmp;
        device::Device dev(DeviceProfile(tmp.path));
        dev.record_system_keys = record_system_keys;
        dev.journal_on = journal;
        Transcript transcript(dev, tmp.path + "/transcript.txt");
        MeasureDriver driver(pairs);
        TrimHeap();
        size_t before = ResidentBytes();
        Clock::time_point start = Clock::now();
        runner::RunTool(dev, &driver);
        state.SetIterationTime(Seconds(start, Clock::now()));
        rows = driver.rows;
        growth = driver.resident > before ? driver.resident - before : 0;
        per_row = (double)growth / rows;
        text_per_row = (double)driver.text_bytes / rows;
        storage_per_row = (double)driver.storage_bytes / rows;
    }
    state.counters["rows"] = rows;
    state.counters["resident_growth_MB"] = (double)growth / 1e6;
    state.counters["bytes_per_row"] = per_row;
    state.counters["text_bytes_per_row"] = text_per_row;
    state.counters["storage_bytes_per_row"] = storage_per_row; // ListView::MemoryBytes
}

void BM_LogMemory(benchmark::State& state) {
    LogMemory(state, false);
}
BENCHMARK(BM_LogMemory)
    ->Arg(500000)
    ->Arg(5000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_LogMemoryRecordingSystemKeys(benchmark::State& state) {
    LogMemory(state, true);
}
BENCHMARK(BM_LogMemoryRecordingSystemKeys)
    ->Arg(500000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// What the journal costs per row, on a shorter run.
void BM_LogMemoryJournalOn(benchmark::State& state) {
    LogMemory(state, false, true);
}
BENCHMARK(BM_LogMemoryJournalOn)
    ->Arg(50000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
