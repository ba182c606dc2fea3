// realtime.h - the real-time core under every interactive front-end (the
// terminal, the browser page, the X window): one clock, one path from the
// close signals to the shell's close request, one wait.
//
// The device's clock follows the host's monotonic clock (optionally a fixed
// lag behind it). When the tool waits for input, the core waits in poll(2) on
// the front-end's descriptors and its own self-pipe, which the close signals
// and other threads (Wake) write to, until input comes, the device's next
// timer falls due or the front-end's paint deadline passes. SIGINT, SIGTERM
// and SIGHUP (and SIGQUIT where asked) are the shell's close request: the
// transcript says so and the tool's main window is asked to close (WM_CLOSE);
// a second one ends the process at once, after `restore` (the terminal put
// back) where one is given. The same signal again within half a second is
// the first one delivered twice (`timeout`, a shell passing on a hangup),
// not a second request.
#pragma once

#include "cli/runner/transcript.h"
#include "device/device.h"

#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

namespace runner {

// Milliseconds on the host's monotonic clock, as a fraction.
double HostMs();

// The device's real-time clock: milliseconds since it was made, `lag_ms`
// behind the host's.
class RealClock : public device::ClockSource {
  public:
    explicit RealClock(double lag_ms = 0) : origin_(HostMs() - lag_ms), lag_(lag_ms) {}
    uint64_t ElapsedMs() override {
        double t = RealMs() - lag_;
        return t > 0 ? (uint64_t)t : 0;
    }
    // The host's time on the device's scale, without the lag.
    double RealMs() const { return HostMs() - origin_; }

  private:
    double origin_;
    double lag_;
};

// What a front-end supplies: how it reads its input and how it paints.
class RealtimeFrontEnd {
  public:
    virtual ~RealtimeFrontEnd() = default;
    // The descriptors to wait on for input, added to `fds`.
    virtual void Watch(std::vector<pollfd>& fds) { (void)fds; }
    // Reads what arrived: `fds` as the wait left them; `timed_out` when the
    // wait ended with nothing. Called before every wait too (fds empty).
    virtual void Read(device::Device& dev, const std::vector<pollfd>& fds, bool timed_out) = 0;
    // Whether an input waits; `at` (now on entry) becomes its device time.
    virtual bool Ready(device::Device& dev, uint64_t& at) = 0;
    // Runs the input that is due.
    virtual void Step(device::Device& dev) = 0;
    // The tool waits for input (once each time it does, before anything else).
    virtual void Polled(device::Device& dev) { (void)dev; }
    // Shows the device before a wait; milliseconds until it wants to paint
    // again (-1: not before more input).
    virtual int Paint(device::Device& dev, uint64_t now) = 0;
    // The shell is about to ask the tool to close.
    virtual void Closing(device::Device& dev) { (void)dev; }

    // The shell's close request, from the front-end's own input (a key, a
    // window's close) or a signal; the first reason given is the one told.
    void Close(const std::string& why) {
        if (close_why.empty())
            close_why = why;
    }
    std::string close_why;
};

// The core: the device's driver and clock while the tool runs in real time.
// Made before the front-end's own setup, so that a close signal during it
// is not lost (the clock starts then too); restores the signals' handlers
// when it goes.
class Realtime : public device::Driver {
  public:
    struct Options {
        double lag_ms = 0;           // how far the clock runs behind the host's
        bool quit_signal = false;    // SIGQUIT too is a close request
        void (*restore)() = nullptr; // async-signal-safe: before a second signal ends us
    };
    explicit Realtime(Options options);
    ~Realtime() override;
    Realtime(const Realtime&) = delete;
    Realtime& operator=(const Realtime&) = delete;

    RealClock& clock() { return clock_; }
    // Runs the tool on `dev` on the real clock, its input from `front`, until
    // it exits; its exit code, or kExitStalled with `stalled` saying why it
    // made no progress. The close request is told in `t`.
    int Run(device::Device& dev, RealtimeFrontEnd& front, Transcript& t, std::string& stalled);
    // Ends the current wait; safe from any thread and from a signal handler.
    static void Wake();

    Next Poll(device::Device& dev, uint64_t timer_due, uint64_t& at) override;
    void Step(device::Device& dev) override;

  private:
    void TakeSignals();

    RealtimeFrontEnd* front_ = nullptr;
    Transcript* t_ = nullptr;
    Options options_;
    RealClock clock_;
    bool close_due_ = false; // the step Poll gave is the close request
    bool closed_ = false;    // the close request was carried out
    std::vector<pollfd> fds_;
};

} // namespace runner
