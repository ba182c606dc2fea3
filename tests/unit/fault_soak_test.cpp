// Soak: a run of key events through the whole tool on the device. "Clear"
// empties the log and gives its memory back, the end of the run gives back
// everything, and the data file saved at exit holds exactly the rows on
// screen. The memory per row of a million-row run is measured by
// bench/soak_bench.cpp.
//
// The run is TAPWATCHER_SOAK_EVENTS key events long (default 20000, so the
// suite stays quick; tools/leakcheck.sh runs it under valgrind): half of
// them, "Clear", the other half, then the close that saves. Set
// TAPWATCHER_SOAK_REPORT=1 to print the memory figures at each checkpoint.
#include "tests/harness/harness.h"

#include "device/listview.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#endif
#ifdef SOAK_ASAN
// From the sanitizer runtime (its header is not installed with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

using namespace testing_support;

namespace {

// Bytes the allocator has handed out and not had back.
size_t HeapInUse() {
#ifdef SOAK_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
#endif
}

// Resident set size of the process, in bytes.
size_t Resident() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return (size_t)resident * (size_t)sysconf(_SC_PAGESIZE);
}

uint64_t EnvCount(const char* name, uint64_t fallback) {
    const char* v = getenv(name);
    return v && *v ? strtoull(v, nullptr, 10) : fallback;
}

struct Sample {
    const char* phase;
    uint64_t events;
    int rows;
    size_t heap, resident, list_bytes;
};

// One row as the data file holds it.
std::string Line(const device::ListView& lv, int row) {
    std::string s;
    for (int c = 0; c < 6; ++c)
        s += device::Narrow(lv.Cell(row, c)) + (c < 5 ? "\t" : "\r\n");
    return s;
}

// Presses and releases keys A to Z in turn, one event per millisecond; half
// way it taps "Clear"; it samples memory at ten points of each half.
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
            Take(dev, "start");
            return;
        }
        if (clear_ == 1) { // "Clear" has been handled
            clear_ = 2;
            Take(dev, "after Clear");
            return;
        }
        if (sent_ == half && clear_ == 0) {
            Take(dev, "before Clear");
            clear_ = 1;
            dev.TapButton(u"Clear");
            return;
        }
        if (sent_ == events_) {
            Take(dev, "end");
            done_ = true;
            return;
        }
        if (sent_ % every == 0 && sent_ != 0 && sent_ != half)
            Take(dev, sent_ < half ? "first half" : "second half");
        uint8_t vk = (uint8_t)('A' + (sent_ / 2) % 26);
        if (sent_ % 2 == 0)
            dev.KeyDown(vk);
        else
            dev.KeyUp(vk);
        ++sent_;
    }

    std::vector<Sample> samples;

  private:
    void Take(device::Device& dev, const char* phase) {
        device::Window* w = ToolList(dev);
        samples.push_back({phase, sent_, w ? w->listview->Count() : -1, HeapInUse(), Resident(),
                           w ? w->listview->MemoryBytes() : 0});
    }

    uint64_t events_;
    uint64_t sent_ = 0;
    uint64_t now_ = 10; // after the sweep
    bool baseline_ = false, done_ = false;
    int clear_ = 0;
};

} // namespace

TEST(Soak, ClearAndTheEndGiveMemoryBackAndTheFileHoldsTheRows) {
    const uint64_t events = EnvCount("TAPWATCHER_SOAK_EVENTS", 20000);
    ASSERT_GE(events, 1000u);
    const size_t heap_before = HeapInUse();
    uint64_t file_lines = 0;
    std::string file_error = "the data file was not written";
    std::vector<Sample> samples;
    {
        Tool t([](device::Profile& p) { p.exe = u"\\Program Files\\Wtapwatcher.exe"; });
        t.dev->journal_on = false;
        t.dev->record_system_keys = false;
        // At exit, while the list view still lives: the file against the rows.
        struct FileCheck : device::Observer {
            device::Device& dev;
            std::string& file_error;
            uint64_t& file_lines;
            FileCheck(device::Device& d, std::string& e, uint64_t& n)
                : dev(d), file_error(e), file_lines(n) {}
            void OnFileWritten(const std::string& path) override {
                device::Window* w = ToolList(dev);
                if (!w) {
                    file_error = "no list view when the file was written";
                    return;
                }
                std::ifstream in(path, std::ios::binary);
                std::string line;
                file_error.clear();
                if (!std::getline(in, line) || line != "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r")
                    file_error = "bad header";
                int rows = w->listview->Count();
                for (int r = 0; r < rows && file_error.empty(); ++r) {
                    if (!std::getline(in, line) || line + "\n" != Line(*w->listview, r))
                        file_error = "line " + std::to_string(r + 2) + " differs from row " +
                                     std::to_string(r) + ": \"" + line + "\"";
                    else
                        ++file_lines;
                }
                if (file_error.empty() && std::getline(in, line))
                    file_error = "lines after the last row";
            }
        } check(*t.dev, file_error, file_lines);
        t.dev->AddObserver(&check);
        SoakDriver driver(events);
        ASSERT_EQ(runner::RunTool(*t.dev, &driver), 0);
        samples = driver.samples;
    }
    const size_t heap_after = HeapInUse();

    const bool report = EnvCount("TAPWATCHER_SOAK_REPORT", 0) != 0;
    for (const Sample& s : samples)
        if (report)
            printf("soak: %-12s events %10llu rows %10d heap %12zu resident %12zu list %12zu\n",
                   s.phase, (unsigned long long)s.events, s.rows, s.heap, s.resident, s.list_bytes);
    if (report)
        printf("soak: heap before the run %zu, after it %zu\n", heap_before, heap_after);

    ASSERT_GE(samples.size(), 4u);
    const uint64_t half = events / 2;
    const Sample& start = samples.front();
    const Sample* before_clear = nullptr;
    const Sample* after_clear = nullptr;
    for (const Sample& s : samples) {
        if (std::string(s.phase) == "before Clear")
            before_clear = &s;
        if (std::string(s.phase) == "after Clear")
            after_clear = &s;
    }
    ASSERT_TRUE(before_clear && after_clear);
    EXPECT_EQ(before_clear->rows, (int)half) << "one row per key event";
    EXPECT_EQ(after_clear->rows, 0);
    EXPECT_EQ(samples.back().rows, (int)half);

    const size_t slack = 2 << 20; // chunk granularity and the allocator's own tables
    // "Clear" gives the rows' memory back to the allocator, and the end of
    // the run gives back everything.
    EXPECT_LE(after_clear->heap, start.heap + slack);
    EXPECT_LE(heap_after, heap_before + slack);

    EXPECT_EQ(file_error, "");
    EXPECT_EQ(file_lines, half);
}
