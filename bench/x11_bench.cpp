// x11_bench.cpp - tapwatcher-x11 on a real X server ($DISPLAY, an Xvfb in
// bench/x11_run.sh): the sweep of 2048 combinations as grabs, and the
// time from an XTest press to its row in the transcript and from a release
// to the passed-on key reaching a focused listener window.
#include "bench/common.h"
#include "device/x11/xkeyboard.h"

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef TAPWATCHER_X11_BIN
#define TAPWATCHER_X11_BIN "tapwatcher-x11"
#endif

namespace {

using bench::Clock;

// Another client holding two combinations, as in the end-to-end test.
struct Holder {
    Display* dpy = XOpenDisplay(nullptr);
    Holder() {
        Window root = DefaultRootWindow(dpy);
        XGrabKey(dpy, XKeysymToKeycode(dpy, XK_t), ControlMask | Mod1Mask, root, False,
                 GrabModeAsync, GrabModeAsync);
        XGrabKey(dpy, XKeysymToKeycode(dpy, XK_F3), ShiftMask, root, False, GrabModeAsync,
                 GrabModeAsync);
        XSync(dpy, False);
    }
    ~Holder() { XCloseDisplay(dpy); }
};

void SweepOn(benchmark::State& state, Display* dpy);

// The sweep as the tool makes it: RegisterHotKey for every key code and
// modifier set in order, on a device whose hot-key table is the X server's;
// the combinations are given back (untimed) between iterations.
void BM_Sweep(benchmark::State& state) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        state.SkipWithError("no X display");
        return;
    }
    Holder holder;
    x11::InstallErrorHandler();
    SweepOn(state, dpy);
    XCloseDisplay(dpy);
}

// SweepOn: the timed loop of BM_Sweep, with the keyboard gone before the display.
void SweepOn(benchmark::State& state, Display* dpy) {
    x11::XKeyboard kb(dpy);
    bench::TempDir tmp;
    device::Profile profile = bench::DeviceProfile(tmp.path);
    profile.taken.clear();
    device::Device dev(profile);
    dev.SetKeyboardHost(&kb);
    HWND h = dev.CreateForeignWindow(u"Sweep", u"");
    int refused = 0;
    size_t grabs = 0;
    for (auto _ : state) {
        refused = 0;
        for (UINT vk = 0; vk <= 0xFF; ++vk)
            for (UINT k = 0; k < 8; ++k)
                refused += !dev.RegisterHotKey(h, (int)(vk + 256 * k), MOD_KEYUP | k, vk);
        state.PauseTiming();
        grabs = kb.GrabsHeld();
        for (int id = 0; id < 2048; ++id)
            dev.UnregisterHotKey(h, id);
        kb.Settle();
        XSync(dpy, False);
        state.ResumeTiming();
    }
    state.counters["refused"] = refused;
    state.counters["grabs"] = (double)grabs;
}
BENCHMARK(BM_Sweep)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same combinations' grabs without the lock variants (one state each),
// grabbed straight with one XSync per combination: what the sweep would cost
// if Caps Lock and Num Lock could be left out.
void BM_SweepWithoutLockVariants(benchmark::State& state) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        state.SkipWithError("no X display");
        return;
    }
    x11::Keymap km(x11::ReadKeyboardFacts(dpy));
    const unsigned locks = LockMask | km.NumLockMask() | km.ScrollLockMask();
    Window root = DefaultRootWindow(dpy);
    size_t grabs = 0;
    for (auto _ : state) {
        grabs = 0;
        for (unsigned vk = 0; vk <= 0xFF; ++vk)
            for (unsigned k = 0; k < 8; ++k) {
                for (const x11::Grab& g : km.GrabsOf((uint8_t)vk, k))
                    if (!(g.state & locks)) {
                        XGrabKey(dpy, g.keycode, g.state, root, False, GrabModeAsync,
                                 GrabModeAsync);
                        ++grabs;
                    }
                XSync(dpy, False);
            }
        state.PauseTiming();
        XUngrabKey(dpy, AnyKey, AnyModifier, root);
        XSync(dpy, False);
        state.ResumeTiming();
    }
    state.counters["grabs"] = (double)grabs;
    XCloseDisplay(dpy);
}
BENCHMARK(BM_SweepWithoutLockVariants)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// tapwatcher-x11 as a child process, its transcript read line by line.
class Child {
  public:
    explicit Child(const std::string& root) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execl(TAPWATCHER_X11_BIN, TAPWATCHER_X11_BIN, "--root", root.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
        }
        if (fd_ >= 0)
            close(fd_);
    }
    // Reads lines until one contains `text`; false after `ms` without it.
    bool WaitFor(const std::string& text, int ms) {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t nl;
            while ((nl = buf_.find('\n')) != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                if (line.find(text) != std::string::npos)
                    return true;
            }
            int left =
                (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now())
                    .count();
            if (left <= 0)
                return false;
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buf_.append(chunk, (size_t)n);
        }
    }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buf_;
};

// A focused window that waits for a key event of one key code.
class Listener {
  public:
    Listener() : dpy_(XOpenDisplay(nullptr)) {
        win_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 700, 0, 100, 100, 0, 0, 0);
        XSelectInput(dpy_, win_, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
        XMapWindow(dpy_, win_);
        for (XEvent e;;) {
            XNextEvent(dpy_, &e);
            if (e.type == MapNotify)
                break;
        }
        XSetInputFocus(dpy_, win_, RevertToParent, CurrentTime);
        XSync(dpy_, False);
    }
    ~Listener() { XCloseDisplay(dpy_); }
    bool WaitFor(int type, unsigned keycode, int ms) {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            while (XPending(dpy_)) {
                XEvent e;
                XNextEvent(dpy_, &e);
                if (e.type == type && e.xkey.keycode == keycode)
                    return true;
            }
            struct pollfd p = {ConnectionNumber(dpy_), POLLIN, 0};
            poll(&p, 1, 5);
        }
        return false;
    }

  private:
    Display* dpy_;
    Window win_;
};

// The floor, without tapwatcher-x11: an XTest press straight to a focused
// listener, on the same server under the same load.
void BM_XTestFloor(benchmark::State& state) {
    const int samples = (int)state.range(0);
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        state.SkipWithError("no X display");
        return;
    }
    std::vector<double> to_listener;
    for (auto _ : state) {
        Listener listener;
        const KeyCode a = XKeysymToKeycode(dpy, XK_a);
        Clock::time_point start = Clock::now();
        for (int i = 0; i < samples; ++i) {
            Clock::time_point t0 = Clock::now();
            XTestFakeKeyEvent(dpy, a, True, CurrentTime);
            XFlush(dpy);
            if (!listener.WaitFor(KeyPress, a, 2000)) {
                state.SkipWithError("the key did not reach the listener");
                break;
            }
            to_listener.push_back(bench::Seconds(t0, Clock::now()) * 1e3);
            XTestFakeKeyEvent(dpy, a, False, CurrentTime);
            XFlush(dpy);
            listener.WaitFor(KeyRelease, a, 2000);
        }
        state.SetIterationTime(bench::Seconds(start, Clock::now()));
    }
    state.counters["samples"] = (double)to_listener.size();
    state.counters["p50_ms"] = bench::Percentile(to_listener, 50);
    state.counters["p90_ms"] = bench::Percentile(to_listener, 90);
    state.counters["p99_ms"] = bench::Percentile(to_listener, 99);
    XCloseDisplay(dpy);
}
BENCHMARK(BM_XTestFloor)->Arg(500)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One key typed `samples` times: the XTest press to its D row in the
// transcript, and the XTest release to the passed-on press reaching the
// listener (median and p99 of each).
void BM_KeyLatency(benchmark::State& state) {
    const int samples = (int)state.range(0);
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        state.SkipWithError("no X display");
        return;
    }
    std::vector<double> to_row, to_listener;
    for (auto _ : state) {
        bench::TempDir tmp;
        Listener listener;
        Child child(tmp.path);
        if (!child.WaitFor("the tool holds", 20000)) {
            state.SkipWithError("tapwatcher-x11 did not start");
            break;
        }
        const KeyCode a = XKeysymToKeycode(dpy, XK_a);
        Clock::time_point start = Clock::now();
        for (int i = 0; i < samples; ++i) {
            Clock::time_point t0 = Clock::now();
            XTestFakeKeyEvent(dpy, a, True, CurrentTime);
            XFlush(dpy);
            if (!child.WaitFor(" 41 (A) D", 2000)) {
                state.SkipWithError("no D row");
                break;
            }
            to_row.push_back(bench::Seconds(t0, Clock::now()) * 1e3);
            Clock::time_point t1 = Clock::now();
            XTestFakeKeyEvent(dpy, a, False, CurrentTime);
            XFlush(dpy);
            if (!listener.WaitFor(KeyPress, a, 2000)) {
                state.SkipWithError("the key did not reach the listener");
                break;
            }
            to_listener.push_back(bench::Seconds(t1, Clock::now()) * 1e3);
            listener.WaitFor(KeyRelease, a, 2000);
            child.WaitFor(" 41 (A) U", 2000);
            // The tool claims A again just after it has sent it on; a press
            // sent at once can reach the server first and go to the focused
            // window, and the row then waits for the server's auto-repeat
            // (660 ms). Keys come as from a fast typist, 20 a second, which
            // also leaves the tool time for the redraw it makes once input
            // pauses for 20 ms.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        state.SetIterationTime(bench::Seconds(start, Clock::now()));
    }
    state.counters["samples"] = (double)to_row.size();
    state.counters["press_row_p50_ms"] = bench::Percentile(to_row, 50);
    state.counters["press_row_p90_ms"] = bench::Percentile(to_row, 90);
    state.counters["press_row_p99_ms"] = bench::Percentile(to_row, 99);
    state.counters["release_on_p90_ms"] = bench::Percentile(to_listener, 90);
    state.counters["release_on_p50_ms"] = bench::Percentile(to_listener, 50);
    state.counters["release_on_p99_ms"] = bench::Percentile(to_listener, 99);
    XCloseDisplay(dpy);
}
BENCHMARK(BM_KeyLatency)->Arg(500)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
