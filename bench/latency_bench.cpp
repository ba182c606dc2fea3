// latency_bench.cpp - host time from a key's release on the device's keyboard to
// its synthesised copy (the tool's keybd_event press and release) reaching the
// rest of the system, seen through the device's observer of system keys.
#include "bench/common.h"

#include <benchmark/benchmark.h>

namespace {

using namespace bench;

// Stamps each release just before it goes to the keyboard; the hook stamps the
// synthesised release of the same key when it reaches the system.
class StampDriver : public PairDriver, public device::Observer {
  public:
    StampDriver(device::Device& dev, uint64_t pairs) : PairDriver(pairs), dev_(dev) {
        samples_down.reserve(pairs);
        samples_up.reserve(pairs);
        dev.AddObserver(this);
    }
    ~StampDriver() override { dev_.RemoveObserver(this); }
    void OnSystemKey(const device::SystemKey& k) override {
        if (!waiting_ || !k.synthesized || k.vk != vk_)
            return;
        double ns = std::chrono::duration<double, std::nano>(Clock::now() - released_).count();
        if (k.down) {
            samples_down.push_back(ns);
        } else {
            samples_up.push_back(ns);
            waiting_ = false;
        }
    }
    std::vector<double> samples_down, samples_up;

  protected:
    void BeforeRelease(uint8_t vk) override {
        vk_ = vk;
        waiting_ = true;
        released_ = Clock::now();
    }

  private:
    device::Device& dev_;
    uint8_t vk_ = 0;
    bool waiting_ = false;
    Clock::time_point released_;
};

void BM_ReleaseToSystem(benchmark::State& state) {
    const uint64_t pairs = (uint64_t)state.range(0);
    double p50 = 0, p99 = 0, p999 = 0, max = 0, down99 = 0;
    size_t n = 0;
    for (auto _ : state) {
        TempDir tmp;
        device::Device dev(DeviceProfile(tmp.path));
        dev.record_system_keys = false;
        StampDriver driver(dev, pairs);
        Clock::time_point start = Clock::now();
        runner::RunTool(dev, &driver);
        state.SetIterationTime(Seconds(start, Clock::now()));
        n = driver.samples_up.size();
        p50 = Percentile(driver.samples_up, 50);
        p99 = Percentile(driver.samples_up, 99);
        p999 = Percentile(driver.samples_up, 99.9);
        max = Percentile(driver.samples_up, 100);
        down99 = Percentile(driver.samples_down, 99);
    }
    state.counters["samples"] = (double)n;
    state.counters["p50_us"] = p50 / 1000;
    state.counters["p99_us"] = p99 / 1000;
    state.counters["p999_us"] = p999 / 1000;
    state.counters["max_us"] = max / 1000;
    state.counters["press_p99_us"] = down99 / 1000; // to the synthesised press only
}
BENCHMARK(BM_ReleaseToSystem)
    ->Arg(200000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
