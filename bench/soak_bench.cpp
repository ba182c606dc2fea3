// soak_bench.cpp - memory over a million key events through the whole tool:
// the heap grows by a fixed amount per row, "Clear" gives the rows back, and
// the end of the run gives back everything. Half the events, "Clear", the
// other half, then the close. Counters: heap bytes per row at the fullest
// point, heap left after "Clear" and after the run (beyond where each
// started). The run fails (SkipWithError) when growth leaves 24-64 bytes a
// row or memory is not given back.
#include "bench/common.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <malloc.h>
#include <string>

namespace {

using namespace bench;

// Bytes the allocator has handed out and not had back.
size_t HeapInUse() {
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

struct Sample {
    uint64_t events;
    int rows;
    size_t heap;
};

// Presses and releases keys A to Z in turn, one event per millisecond; half
// way it taps "Clear"; it samples the heap at ten points of each half.
class SoakDriver : public device::Driver {
  public:
    explicit SoakDriver(uint64_t events) : events_(events & ~uint64_t{1}) {}

    Next Poll(device::Device&, uint64_t, uint64_t& at) override {
        at = now_;
        return done_ ? Next::End : Next::Step;
    }

    void Step(device::Device& dev) override {
        ++now_;
        const uint64_t half = events_ / 2, every = std::max<uint64_t>(half / 10, 2);
        if (!baseline_) {
            baseline_ = true;
            start = Take(dev);
            return;
        }
        if (clear_ == 1) { // "Clear" has been handled
            clear_ = 2;
            after_clear = Take(dev);
            return;
        }
        if (sent_ == half && clear_ == 0) {
            before_clear = Take(dev);
            clear_ = 1;
            dev.TapButton(u"Clear");
            return;
        }
        if (sent_ == events_) {
            end = Take(dev);
            done_ = true;
            return;
        }
        if (sent_ % every == 0 && sent_ != 0 && sent_ != half)
            samples.push_back(Take(dev));
        uint8_t vk = (uint8_t)('A' + (sent_ / 2) % 26);
        if (sent_ % 2 == 0)
            dev.KeyDown(vk);
        else
            dev.KeyUp(vk);
        ++sent_;
    }

    std::vector<Sample> samples;
    Sample start{}, before_clear{}, after_clear{}, end{};

  private:
    Sample Take(device::Device& dev) {
        device::ListView* lv = ToolList(dev);
        return {sent_, lv ? lv->Count() : -1, HeapInUse()};
    }

    uint64_t events_;
    uint64_t sent_ = 0;
    uint64_t now_ = 10; // after the sweep
    bool baseline_ = false, done_ = false;
    int clear_ = 0;
};

void BM_Soak(benchmark::State& state) {
    const uint64_t events = (uint64_t)state.range(0);
    const size_t slack = 2 << 20; // chunk granularity and the allocator's own tables
    for (auto _ : state) {
        TempDir tmp;
        size_t heap_before = HeapInUse();
        SoakDriver driver(events);
        Clock::time_point t0 = Clock::now();
        {
            device::Profile p = DeviceProfile(tmp.path);
            p.exe = u"\\Program Files\\Wtapwatcher.exe";
            p.taken.clear(); // nothing taken: one row per key event
            device::Device dev(p);
            dev.journal_on = false;
            dev.record_system_keys = false;
            runner::RunTool(dev, &driver);
        }
        state.SetIterationTime(Seconds(t0, Clock::now()));
        size_t heap_after = HeapInUse();

        std::string error;
        const Sample& s0 = driver.start;
        driver.samples.push_back(driver.before_clear);
        for (const Sample& s : driver.samples) {
            if (s.rows <= 0)
                continue;
            if (s.heap > s0.heap + (size_t)s.rows * 64 + slack)
                error = "more than 64 bytes a row at " + std::to_string(s.events) + " events";
            if (s.heap + slack < s0.heap + (size_t)s.rows * 24)
                error = "less than 24 bytes a row at " + std::to_string(s.events) + " events";
        }
        if (driver.before_clear.rows != (int)(events / 2))
            error = "not one row per key event";
        if (driver.after_clear.rows != 0 || driver.after_clear.heap > s0.heap + slack)
            error = "\"Clear\" kept rows or their memory";
        if (heap_after > heap_before + slack)
            error = "the end of the run kept memory";
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        const Sample& full = driver.before_clear;
        state.counters["rows"] = full.rows;
        state.counters["heap_bytes_per_row"] = (double)(full.heap - s0.heap) / full.rows;
        state.counters["kept_after_clear_KB"] =
            (double)(driver.after_clear.heap > s0.heap ? driver.after_clear.heap - s0.heap : 0) /
            1e3;
        state.counters["kept_after_run_KB"] =
            (double)(heap_after > heap_before ? heap_after - heap_before : 0) / 1e3;
    }
}
// A million events; TAPWATCHER_SOAK_EVENTS=10000000 is the ten-million soak.
void SoakLength(benchmark::internal::Benchmark* b) {
    const char* v = std::getenv("TAPWATCHER_SOAK_EVENTS");
    b->Arg(v && *v ? std::strtoll(v, nullptr, 10) : 1000000);
}
BENCHMARK(BM_Soak)
    ->Apply(SoakLength)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
