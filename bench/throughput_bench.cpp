// throughput_bench.cpp - logged rows per second through the whole device and tool:
// press/release pairs of ordinary keys, each release passed through to the system,
// the transcript of the keys that reach the system written to a file. The floor is
// the same rows appended straight to a list view's storage, with no device, no
// messages and no tool.
#include "bench/common.h"

#include "tests/harness/script.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace bench;

// Ends the timing when the last key event has been handled and the tool waits.
class TimedDriver : public PairDriver {
  public:
    using PairDriver::PairDriver;
    Clock::time_point end;
    double end_cpu = 0;
    int rows = 0;

  protected:
    void OnEnd(device::Device& dev) override {
        end = Clock::now();
        end_cpu = ThreadCpuSeconds();
        rows = ToolList(dev)->Count();
    }
};

// From WinMain to the end of input: the start-up sweep, then 2 rows per pair
// and a quiet mark after each burst of 256 pairs.
void BM_WholePath(benchmark::State& state) {
    const uint64_t pairs = (uint64_t)state.range(0);
    double seconds = 0, cpu = 0;
    int rows = 0;
    uint64_t lines = 0;
    for (auto _ : state) {
        TempDir tmp;
        device::Device dev(DeviceProfile(tmp.path));
        dev.record_system_keys = false; // a long run keeps them in the transcript only
        Transcript transcript(dev, tmp.path + "/transcript.txt");
        TimedDriver driver(pairs);
        double start_cpu = ThreadCpuSeconds();
        Clock::time_point start = Clock::now();
        runner::RunTool(dev, &driver);
        double s = Seconds(start, driver.end);
        state.SetIterationTime(s);
        seconds += s;
        cpu += driver.end_cpu - start_cpu;
        rows = driver.rows;
        lines = transcript.Lines();
    }
    state.counters["rows"] = rows;
    state.counters["transcript_lines"] = (double)lines;
    state.counters["rows_per_s"] = (double)rows * (double)state.iterations() / seconds;
    state.counters["ns_per_row"] = seconds * 1e9 / ((double)rows * (double)state.iterations());
    state.counters["cpu_ns_per_row"] = cpu * 1e9 / ((double)rows * (double)state.iterations());
}
BENCHMARK(BM_WholePath)
    ->Arg(500000)
    ->Arg(5000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The same input as a device::Script step list (what tests and scenario files use):
// building the list and running it, to show what a list of steps costs per step.
void BM_WholePathScript(benchmark::State& state) {
    const uint64_t pairs = (uint64_t)state.range(0);
    double seconds = 0, build_seconds = 0;
    int rows = 0;
    size_t script_bytes = 0;
    for (auto _ : state) {
        TempDir tmp;
        device::Device dev(DeviceProfile(tmp.path));
        dev.record_system_keys = false;
        Transcript transcript(dev, tmp.path + "/transcript.txt");
        TrimHeap();
        size_t before = ResidentBytes();
        Clock::time_point start = Clock::now();
        auto script = std::make_unique<device::Script>();
        script->Wait(10);
        for (uint64_t n = 0; n < 2 * pairs; ++n) {
            uint8_t vk = PairDriver::KeyOf(n);
            if (n % 2 == 0) {
                script->Press(vk).Wait(1);
            } else {
                script->Release(vk);
                script->Wait(((n / 2 + 1) % 256 == 0) ? 3500 : 1);
            }
        }
        Clock::time_point built = Clock::now();
        script_bytes = ResidentBytes() - before;
        runner::RunTool(dev, script.get());
        Clock::time_point end = Clock::now(); // includes the tool's shutdown
        rows = 0;
        double s = Seconds(start, end);
        state.SetIterationTime(s);
        seconds += s;
        build_seconds += Seconds(start, built);
        rows = (int)(2 * pairs);
    }
    double steps = 4.0 * (double)pairs + 1;
    state.counters["key_rows_per_s"] = (double)rows * (double)state.iterations() / seconds;
    state.counters["build_ns_per_step"] =
        build_seconds * 1e9 / (steps * (double)state.iterations());
    state.counters["script_bytes_per_step"] = (double)script_bytes / steps;
}
BENCHMARK(BM_WholePathScript)
    ->Arg(500000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The rows of a whole-path run, kept as texts: per row, for each of the six cells,
// the offset of its NUL-terminated text in `text` or -1 for a cell never set.
struct RowCopy {
    std::u16string text;
    std::vector<std::array<int64_t, 6>> rows;
};

RowCopy CopyRows(uint64_t pairs) {
    TempDir tmp;
    device::Device dev(DeviceProfile(tmp.path));
    dev.record_system_keys = false;
    struct CopyDriver : PairDriver {
        using PairDriver::PairDriver;
        RowCopy* out;
        void OnEnd(device::Device& dev) override {
            const device::ListView& lv = *ToolList(dev);
            out->rows.reserve((size_t)lv.Count());
            for (int r = 0; r < lv.Count(); ++r) {
                std::array<int64_t, 6> row;
                for (int c = 0; c < 6; ++c) {
                    bool set = false;
                    std::u16string_view cell = lv.Cell(r, c, &set);
                    row[c] = set ? (int64_t)out->text.size() : -1;
                    if (set) {
                        out->text.append(cell);
                        out->text.push_back(0);
                    }
                }
                out->rows.push_back(row);
            }
        }
    } driver(pairs);
    RowCopy copy;
    driver.out = &copy;
    runner::RunTool(dev, &driver);
    return copy;
}

// Floor: the same rows appended straight to a list view's storage (its message
// handler called directly: no device, no SendMessageW, no tool, no formatting).
void BM_ListViewAppend(benchmark::State& state) {
    RowCopy copy = CopyRows((uint64_t)state.range(0));
    double seconds = 0, cpu = 0;
    for (auto _ : state) {
        device::Window w;
        w.rect = {0, 0, 240, 268};
        auto lv = std::make_unique<device::ListView>(96);
        for (int c = 0; c < 6; ++c) {
            LVCOLUMNW col{};
            col.mask = LVCF_SUBITEM;
            col.iSubItem = c;
            lv->Handle(w, LVM_INSERTCOLUMNW, (WPARAM)c, (LPARAM)&col);
        }
        double start_cpu = ThreadCpuSeconds();
        Clock::time_point start = Clock::now();
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        int index = 0;
        for (const auto& row : copy.rows) {
            item.iItem = index++;
            for (int c = 0; c < 6; ++c) {
                if (row[c] < 0)
                    continue;
                item.iSubItem = c;
                item.pszText = copy.text.data() + row[c];
                lv->Handle(w, c == 0 ? LVM_INSERTITEMW : LVM_SETITEMW, 0, (LPARAM)&item);
            }
        }
        double s = Seconds(start, Clock::now());
        cpu += ThreadCpuSeconds() - start_cpu;
        benchmark::DoNotOptimize(lv->Count());
        state.SetIterationTime(s);
        seconds += s;
    }
    double rows = (double)copy.rows.size() * (double)state.iterations();
    state.counters["rows"] = (double)copy.rows.size();
    state.counters["rows_per_s"] = rows / seconds;
    state.counters["ns_per_row"] = seconds * 1e9 / rows;
    state.counters["cpu_ns_per_row"] = cpu * 1e9 / rows;
}
BENCHMARK(BM_ListViewAppend)
    ->Arg(500000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// What the tool's formatting of one key-event row costs: its six wsprintfW calls.
void BM_FormatRowCells(benchmark::State& state) {
    WCHAR cell[MAX_PATH];
    int tick = 1234567;
    for (auto _ : state) {
        ++tick;
        benchmark::DoNotOptimize(wsprintfW(cell, TEXT("%d"), tick));
        benchmark::DoNotOptimize(wsprintfW(cell, TEXT("%02X"), 0x41u));
        benchmark::DoNotOptimize(wsprintfW(cell, TEXT("%s"), (tick & 1) ? TEXT("U") : TEXT("D")));
        benchmark::DoNotOptimize(wsprintfW(cell, TEXT("%s"), TEXT("")));
        benchmark::DoNotOptimize(wsprintfW(cell, TEXT("%s"), TEXT("")));
        benchmark::DoNotOptimize(wsprintfW(cell, TEXT("%s"), TEXT("")));
    }
}
BENCHMARK(BM_FormatRowCells);

} // namespace
