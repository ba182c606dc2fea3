// save_bench.cpp - saving the log: the tool runs under a save-on-exit name, logs
// press/release pairs, and the shell closes it; timed from the close request to
// the data file's close. The floor, measured in the same iteration, writes the
// same lines (read back from the data file) with one write(2) each.
#include "bench/common.h"

#include "device/files.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using namespace bench;

// Stamps the end of input: the shell's close request follows at once.
class CloseDriver : public PairDriver {
  public:
    using PairDriver::PairDriver;
    Clock::time_point closing;
    int rows = 0;

  protected:
    void OnEnd(device::Device& dev) override {
        rows = ToolList(dev)->Count();
        closing = Clock::now();
    }
};

// The same lines written with one write(2) each; returns the seconds taken.
double WriteLines(const std::string& path, const std::string& data, size_t* lines) {
    Clock::time_point start = Clock::now();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    size_t at = 0, n = 0;
    while (at < data.size()) {
        size_t end = data.find('\n', at);
        end = end == std::string::npos ? data.size() : end + 1;
        if (::write(fd, data.data() + at, end - at) != (ssize_t)(end - at)) {
            ::close(fd);
            return -1;
        }
        at = end;
        ++n;
    }
    ::close(fd);
    *lines = n;
    return Seconds(start, Clock::now());
}

void BM_SaveLog(benchmark::State& state) {
    const uint64_t pairs = (uint64_t)state.range(0);
    double save = 0, floor = 0;
    size_t bytes = 0, lines = 0;
    int rows = 0;
    for (auto _ : state) {
        TempDir tmp;
        device::Profile profile = DeviceProfile(tmp.path);
        profile.exe = u"\\Program Files\\Wtapwatcher.exe";
        device::Device dev(profile);
        dev.record_system_keys = false;
        if (!dev.Files().MakeFolder(u"\\Program Files")) {
            state.SkipWithError("cannot make the executable's folder");
            return;
        }
        struct SaveWatch : device::Observer {
            Clock::time_point saved;
            std::string written;
            void OnFileWritten(const std::string& host) override {
                saved = Clock::now();
                written = host;
            }
        } watch;
        dev.AddObserver(&watch);
        CloseDriver driver(pairs);
        runner::RunTool(dev, &driver);
        dev.RemoveObserver(&watch);
        const Clock::time_point saved = watch.saved;
        const std::string& written = watch.written;
        if (written.empty()) {
            state.SkipWithError("the tool saved no data file");
            return;
        }
        double s = Seconds(driver.closing, saved);
        state.SetIterationTime(s);
        save += s;
        rows = driver.rows;

        std::ifstream in(written, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string data = ss.str();
        bytes = data.size();
        double f = WriteLines(tmp.path + "/floor.txt", data, &lines);
        if (f < 0) {
            state.SkipWithError("floor write failed");
            return;
        }
        floor += f;
    }
    double it = (double)state.iterations();
    state.counters["rows"] = rows;
    state.counters["file_lines"] = (double)lines;
    state.counters["file_MB"] = (double)bytes / 1e6;
    state.counters["save_s"] = save / it;
    state.counters["floor_s"] = floor / it;
    state.counters["ratio"] = save / floor;
}
BENCHMARK(BM_SaveLog)->Arg(500000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
