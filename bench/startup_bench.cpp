// startup_bench.cpp - start-up to ready: from the tool's WinMain until the
// occupancy sweep's rows are in and the message loop waits for input, on a
// device whose other programs hold 100 combinations. The floor is 2048 lookups
// and inserts in a plain hash table (what the sweep asks of a hot-key table).
#include "bench/common.h"

#include "tool/tapwatcher.h"

#include <benchmark/benchmark.h>

#include <unordered_map>

namespace {

using namespace bench;

// The built-in profile's 48 combinations and 52 more of F5 to F11, 100 in all.
device::Profile HundredTaken(const std::string& root) {
    device::Profile p = DeviceProfile(root);
    for (uint8_t vk = 0x74; p.taken.size() < 100; ++vk)
        for (uint8_t m = 0; m < 8 && p.taken.size() < 100; ++m)
            p.taken.push_back({vk, m});
    return p;
}

// Ready is the first time the loop waits with the sweep done (its timer gone);
// then input ends and the tool is closed, untimed.
class ReadyDriver : public device::Driver {
  public:
    Clock::time_point ready;
    bool is_ready = false;
    int rows = 0;

    Next Poll(device::Device& dev, uint64_t timer_due, uint64_t& at) override {
        if (!is_ready) {
            bool sweep_pending = false;
            for (const device::Timer& t : dev.Timers())
                sweep_pending = sweep_pending || t.id == TIMER_SWEEP;
            if (sweep_pending && timer_due != UINT64_MAX)
                return Next::None;
            ready = Clock::now();
            is_ready = true;
            rows = ToolList(dev) ? ToolList(dev)->Count() : -1;
        }
        at = dev.Now();
        return Next::End;
    }
    void Step(device::Device&) override {}
};

void BM_StartupToReady(benchmark::State& state) {
    TempDir tmp;
    device::Profile profile = HundredTaken(tmp.path);
    int rows = 0;
    for (auto _ : state) {
        device::Device dev(profile);
        ReadyDriver driver;
        Clock::time_point start = Clock::now();
        runner::RunTool(dev, &driver);
        state.SetIterationTime(Seconds(start, driver.ready));
        rows = driver.rows;
    }
    state.counters["taken"] = (double)profile.taken.size();
    state.counters["rows"] = rows;
}
BENCHMARK(BM_StartupToReady)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Floor: for each of the 2048 (key, modifier set) combinations, a lookup and an
// insert in a fresh std::unordered_map.
void BM_HashTable2048(benchmark::State& state) {
    for (auto _ : state) {
        std::unordered_map<uint32_t, uint32_t> table;
        for (uint32_t vk = 0; vk <= 0xFF; ++vk)
            for (uint32_t mods = 0; mods < 8; ++mods) {
                uint32_t key = vk | (mods << 8);
                if (table.find(key) == table.end())
                    table.emplace(key, key);
            }
        benchmark::DoNotOptimize(table.size());
    }
}
BENCHMARK(BM_HashTable2048)->Unit(benchmark::kMicrosecond);

} // namespace
