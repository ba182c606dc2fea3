// common.h - what the benchmarks share: a generated key-pair driver that costs
// nothing per step beyond the step itself, a transcript written to a file, host
// clocks, resident memory, temporary folders and percentiles.
#pragma once

#include "cli/runner/launch.h"
#include "device/device.h"
#include "device/listview.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// CPU time of the calling thread, in seconds: beside the wall-clock figures, it
// shows how much of a run the machine's other work took away.
double ThreadCpuSeconds();

// A temporary host folder, removed with everything in it at the end.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
};

// Resident memory of this process in bytes (from /proc/self/statm).
size_t ResidentBytes();
// Gives freed heap pages back to the system, so that a resident reading
// that follows starts from what is really in use.
void TrimHeap();

// Runs the program ARGV (ARGV[0] is its path) with its standard output on
// OUT_FD (-1: /dev/null) and waits for it: its exit status (-1 when it did
// not exit), and in CPU the CPU seconds it used (user and system).
int RunProgram(const std::vector<std::string>& argv, int out_fd, double& cpu);

// The built-in profile (the shell holds the hardware buttons) over `root`.
device::Profile DeviceProfile(const std::string& root);

// Feeds the device `pairs` press/release pairs of ordinary keys, generated on
// the fly: one step at a time, no list of steps, no per-step allocation.
// A press and its release are `gap_ms` apart, pairs follow `gap_ms` apart,
// and every `burst` pairs a pause longer than the tool's quiet period ends the
// burst (the tool logs a quiet mark). Input starts after `lead_ms`, once the
// tool's start-up sweep has run.
class PairDriver : public device::Driver {
  public:
    explicit PairDriver(uint64_t pairs, uint32_t gap_ms = 1, uint32_t burst = 256,
                        uint32_t pause_ms = 3500, uint32_t lead_ms = 10);

    Next Poll(device::Device& dev, uint64_t timer_due, uint64_t& at) override;
    void Step(device::Device& dev) override;

    uint64_t Events() const { return done_; }
    // The key of event n (a press for even n, its release for the next odd n).
    static uint8_t KeyOf(uint64_t n);

  protected:
    // Called once, when the last event has been handled and the tool waits.
    virtual void OnEnd(device::Device& dev) {}
    // Called just before a release goes to the keyboard.
    virtual void BeforeRelease(uint8_t vk) {}

  private:
    uint64_t events_;
    uint32_t gap_, burst_, pause_, lead_;
    uint64_t done_ = 0;
    uint64_t next_at_ = 0;
    bool started_ = false;
    bool ended_ = false;
};

// The same input as PairDriver, as scenario text: the keys cycle through
// letters and digits, 1 ms apart, with a pause of 3500 ms after every 256 pairs.
std::string PairScenario(uint64_t pairs);

// A transcript of what reached the rest of the system and the message boxes,
// one line per event, tick first, written to a file through a stdio buffer
// (a file is fully buffered; a terminal would be flushed line by line).
class Transcript : public device::Observer {
  public:
    Transcript(device::Device& dev, const std::string& path);
    ~Transcript() override;
    uint64_t Lines() const { return lines_; }
    void OnSystemKey(const device::SystemKey& k) override;
    void OnMessageBox(const device::MessageBoxRecord& m) override;

  private:
    FILE* out_;
    uint64_t lines_ = 0;
    device::Device& dev_;
};

// The tool's report list view on the device, or NULL.
device::ListView* ToolList(device::Device& dev);

// UTF-16 bytes of every cell of the list view (the rows' text, no terminators).
uint64_t TextBytes(const device::ListView& lv);

// The p-th percentile (0..100) of the samples, which it sorts.
double Percentile(std::vector<double>& samples, double p);

} // namespace bench
