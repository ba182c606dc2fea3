// realtime.cpp - the real-time core: the clock, the close signals, the wait.
//
// Choices: the self-pipe is the process's own, made once and never closed, so
// that a server thread may still Wake it as the run ends. SIGINT is told as
// "Ctrl-C" (what sends it, from a terminal), the others by their names. The
// close request is carried out as a step of its own, after the inputs that
// came before it; the front-end keeps reading and painting until the tool
// has exited, so the tool shuts down on the real clock.
#include "cli/runner/realtime.h"

#include "cli/runner/job.h"
#include "cli/runner/launch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace runner {

double HostMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

int g_pipe[2] = {-1, -1};
std::atomic<int> g_first{0};        // the first close signal; lock-free, as are the next two
std::atomic<int64_t> g_first_ms{0}; // when it came
void (*volatile g_restore)() = nullptr;

// The same signal again this soon is the same request, delivered twice.
constexpr int64_t kRepeatMs = 500;

const int kCloseSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kSignalCount = sizeof kCloseSignals / sizeof kCloseSignals[0];

// The first close signal is kept and wakes the wait; a second one ends the
// process, unless it is the first one again within kRepeatMs: `timeout` hands
// its signal to its child and to the child's group, and a shell passes its
// terminal's hangup on to a job that the kernel has told already.
void OnCloseSignal(int sig) {
    int saved = errno;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const int64_t ms = (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    int first = 0;
    if (g_first.compare_exchange_strong(first, sig)) {
        g_first_ms = ms;
        Realtime::Wake();
    } else if (int64_t at = g_first_ms; sig != first || (at && ms - at >= kRepeatMs)) {
        if (g_restore)
            g_restore();
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
    errno = saved;
}

// How the transcript names a close signal.
const char* SignalName(int sig) {
    return sig == SIGINT    ? "Ctrl-C"
           : sig == SIGTERM ? "SIGTERM"
           : sig == SIGHUP  ? "SIGHUP"
                            : "SIGQUIT";
}

struct sigaction g_old[kSignalCount];

} // namespace

Realtime::Realtime(Options options) : options_(options), clock_(options.lag_ms) {
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        g_pipe[0] = g_pipe[1] = -1;
    g_first = 0;
    g_first_ms = 0;
    g_restore = options.restore;
    struct sigaction sa {};
    sa.sa_handler = OnCloseSignal; // no SA_RESTART: the wait ends
    sigemptyset(&sa.sa_mask);
    for (int sig : kCloseSignals)
        sigaddset(&sa.sa_mask, sig); // one handler at a time on a thread
    for (size_t i = 0; i < kSignalCount; ++i)
        if (kCloseSignals[i] != SIGQUIT || options.quit_signal)
            sigaction(kCloseSignals[i], &sa, &g_old[i]);
}

Realtime::~Realtime() {
    for (size_t i = 0; i < kSignalCount; ++i)
        if (kCloseSignals[i] != SIGQUIT || options_.quit_signal)
            sigaction(kCloseSignals[i], &g_old[i], nullptr);
    g_restore = nullptr;
}

void Realtime::Wake() {
    unsigned char b = 0;
    ssize_t r = ::write(g_pipe[1], &b, 1);
    (void)r;
}

int Realtime::Run(device::Device& dev, RealtimeFrontEnd& front, Transcript& t,
                  std::string& stalled) {
    front_ = &front;
    t_ = &t;
    dev.SetClockSource(&clock_);
    int status;
    try {
        status = RunTool(dev, this);
    } catch (const device::Stalled& e) {
        stalled = e.what();
        status = kExitStalled;
    }
    dev.SetClockSource(nullptr);
    return status;
}

// Empties the pipe; a close signal that came is the shell's close request.
void Realtime::TakeSignals() {
    unsigned char buf[64];
    while (::read(g_pipe[0], buf, sizeof buf) > 0) {
    }
    if (int sig = g_first.load())
        front_->Close(SignalName(sig));
}

device::Driver::Next Realtime::Poll(device::Device& dev, uint64_t timer_due, uint64_t& at) {
    front_->Polled(dev);
    close_due_ = false;
    bool timed_out = false;
    fds_.clear();
    for (;;) {
        TakeSignals();
        front_->Read(dev, fds_, timed_out);
        const uint64_t now = std::max(dev.Now(), clock_.ElapsedMs());
        at = now;
        if (front_->Ready(dev, at))
            return Next::Step;
        at = now;
        if (!closed_ && !front_->close_why.empty()) {
            close_due_ = true;
            return Next::Step;
        }
        if (timer_due <= now)
            return Next::None;
        int timeout = front_->Paint(dev, now);
        t_->Flush();
        if (timer_due != UINT64_MAX) {
            int to_timer = (int)std::min<uint64_t>(timer_due - now, 60000);
            timeout = timeout < 0 ? to_timer : std::min(timeout, to_timer);
        }
        fds_.clear();
        front_->Watch(fds_);
        fds_.push_back({g_pipe[0], POLLIN, 0});
        int r = ::poll(fds_.data(), fds_.size(), timeout);
        if (r < 0 && errno != EINTR)
            front_->Close("an error waiting for input");
        timed_out = r == 0;
    }
}

void Realtime::Step(device::Device& dev) {
    if (!close_due_) {
        front_->Step(dev);
        return;
    }
    close_due_ = false;
    closed_ = true;
    front_->Closing(dev);
    const std::string& why = front_->close_why;
    t_->Event(dev.Tick(), "close", "the shell closes the tool (" + why + ")", {{"why", why}});
    if (!dev.RequestClose())
        throw device::Stalled("the shell asked to close and the tool has no main window");
}

} // namespace runner
