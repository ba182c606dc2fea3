// common.cpp - helpers shared by the benchmarks.
#include "bench/common.h"

#include "cli/runner/profile.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace bench {

TempDir::TempDir() {
    char tmpl[] = "/tmp/tapwatcher-bench-XXXXXX";
    char* p = mkdtemp(tmpl);
    if (!p) {
        std::perror("mkdtemp");
        std::abort();
    }
    path = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

size_t ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    unsigned long size = 0, resident = 0;
    if (std::fscanf(f, "%lu %lu", &size, &resident) != 2)
        resident = 0;
    std::fclose(f);
    return (size_t)resident * (size_t)sysconf(_SC_PAGESIZE);
}

void TrimHeap() {
    malloc_trim(0);
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

device::Profile DeviceProfile(const std::string& root) {
    device::Profile p = runner::BuiltinDeviceProfile();
    p.root = root;
    return p;
}

// Letters and digits: keys no shell holds, each one passed through.
static const uint8_t kKeys[] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L',
                                'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X',
                                'Y', 'Z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

uint8_t PairDriver::KeyOf(uint64_t n) {
    return kKeys[(n / 2) % sizeof kKeys];
}

PairDriver::PairDriver(uint64_t pairs, uint32_t gap_ms, uint32_t burst, uint32_t pause_ms,
                       uint32_t lead_ms)
    : events_(2 * pairs), gap_(gap_ms), burst_(burst), pause_(pause_ms), lead_(lead_ms) {}

device::Driver::Next PairDriver::Poll(device::Device& dev, uint64_t timer_due, uint64_t& at) {
    if (!started_) {
        next_at_ = dev.Now() + lead_;
        started_ = true;
    }
    if (done_ >= events_) {
        if (!ended_) {
            ended_ = true;
            OnEnd(dev);
        }
        at = dev.Now();
        return Next::End;
    }
    at = next_at_;
    return Next::Step;
}

void PairDriver::Step(device::Device& dev) {
    uint64_t n = done_++;
    uint8_t vk = KeyOf(n);
    if (n % 2 == 0) {
        dev.KeyDown(vk);
        next_at_ += gap_;
        return;
    }
    BeforeRelease(vk);
    dev.KeyUp(vk);
    uint64_t pair = n / 2;
    next_at_ += (burst_ && (pair + 1) % burst_ == 0) ? pause_ : gap_;
}

Transcript::Transcript(device::Device& dev, const std::string& path) : dev_(dev) {
    out_ = std::fopen(path.c_str(), "w");
    if (!out_) {
        std::perror(path.c_str());
        std::abort();
    }
    dev.AddObserver(this);
}

// "TICK key VK down|up[ Shift][ Ctrl][ Alt][ synthesised]", formatted by hand:
// this line is written for every key that reaches the system.
void Transcript::OnSystemKey(const device::SystemKey& k) {
    char line[96];
    char* p = line + 24;
    char* end = p;
    uint64_t t = k.time;
    do {
        *--p = (char)('0' + t % 10);
        t /= 10;
    } while (t != 0);
    size_t n = (size_t)(end - p);
    std::memmove(line, p, n);
    auto put = [&](const char* s, size_t len) {
        std::memcpy(line + n, s, len);
        n += len;
    };
    static const char hex[] = "0123456789ABCDEF";
    put(" key ", 5);
    line[n++] = hex[k.vk >> 4];
    line[n++] = hex[k.vk & 15];
    if (k.down)
        put(" down", 5);
    else
        put(" up", 3);
    if (k.mods & MOD_SHIFT)
        put(" Shift", 6);
    if (k.mods & MOD_CONTROL)
        put(" Ctrl", 5);
    if (k.mods & MOD_ALT)
        put(" Alt", 4);
    if (k.synthesized)
        put(" synthesised", 12);
    line[n++] = '\n';
    fwrite_unlocked(line, 1, n, out_);
    ++lines_;
}

void Transcript::OnMessageBox(const device::MessageBoxRecord& m) {
    std::fprintf(out_, "%llu message box \"%s\": %s\n", (unsigned long long)m.time,
                 device::Narrow(m.caption).c_str(), device::Narrow(m.text).c_str());
    ++lines_;
}

Transcript::~Transcript() {
    dev_.RemoveObserver(this);
    std::fclose(out_);
}

device::ListView* ToolList(device::Device& dev) {
    for (device::Window* w : dev.Windows())
        if (w->kind == device::WindowKind::ListView && w->listview && w->pid == dev.CurrentPid())
            return w->listview.get();
    return nullptr;
}

uint64_t TextBytes(const device::ListView& lv) {
    uint64_t bytes = 0;
    for (int r = 0; r < lv.Count(); ++r)
        for (int c = 0; c < 6; ++c)
            bytes += lv.Cell(r, c).size() * sizeof(char16_t);
    return bytes;
}

double Percentile(std::vector<double>& samples, double p) {
    if (samples.empty())
        return 0;
    size_t k = (size_t)std::ceil(p / 100.0 * (double)samples.size());
    k = std::clamp<size_t>(k, 1, samples.size()) - 1;
    std::nth_element(samples.begin(), samples.begin() + (ptrdiff_t)k, samples.end());
    return samples[k];
}

std::string PairScenario(uint64_t pairs) {
    std::string text = "# generated: press/release pairs\nwait 10\n";
    text.reserve(pairs * 32);
    for (uint64_t pair = 0; pair < pairs; ++pair) {
        char key = (char)PairDriver::KeyOf(2 * pair);
        text += "press ";
        text += key;
        text += "\nwait 1\nrelease ";
        text += key;
        text += (pair + 1) % 256 == 0 ? "\nwait 3500\n" : "\nwait 1\n";
    }
    return text;
}

int RunProgram(const std::vector<std::string>& argv, int out_fd, double& cpu) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = out_fd >= 0 ? out_fd : ::open("/dev/null", O_WRONLY);
        dup2(fd, 1);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru = {};
    wait4(pid, &status, 0, &ru);
    cpu = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 +
          (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec / 1e6;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace bench
