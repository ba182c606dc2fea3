// app.cpp - tapwatcher-x11: boots the simulated device with the X server as
// its keyboard and hot-key table, a real clock and an X window as its
// screen, runs the tool's unchanged WinMain on it and writes the runner's
// transcript to standard output.
//
// Choices where the task left room:
//  - the device is the runner's built-in Pocket PC profile (240x320, 96 dpi),
//    with no combination "taken" by a simulated shell: the X server's other
//    clients are the only holders;
//  - GetTickCount is CLOCK_MONOTONIC in milliseconds, cut to 32 bits
//    (Windows CE also leaves out time spent suspended);
//  - SIGINT, SIGTERM, SIGHUP and SIGQUIT and the window manager's close are
//    the shell's close request; a second one while the tool shuts down is
//    not acted on again. A signal that cannot be caught (SIGKILL) leaves the
//    grabs to the server, which drops them with the connection;
//  - one instance per display: the owner of the selection
//    _TAPWATCHER_INSTANCE (taken under a server grab, so two starting at
//    once cannot both win) is the running instance. A second instance sees
//    it as the window FindWindowW finds, asks it to come to the front (a
//    _TAPWATCHER_RAISE client message; it maps and raises its window but
//    does not take the focus) and exits 0. An owner is believed only when it
//    is still there 100 ms later: one that just ended keeps the selection
//    until the server has read the end of its connection;
//  - a display that cannot be opened, or one without the XTEST extension,
//    exits 3; a display that goes away while the tool runs shuts the tool
//    down (so a save-on-exit name still writes its file) and exits 1;
//  - rows are the runner's (DeviceWatch): each at the tick it was added, an
//    echo of the tool's own synthesised key marked;
//  - the window is redrawn when input has paused for 20 ms, and at least
//    every second while keys keep coming.
#include "cli/x11/app.h"

#include "cli/runner/job.h"
#include "cli/runner/launch.h"
#include "cli/runner/parse_util.h"
#include "cli/runner/profile.h"
#include "cli/runner/scenario_run.h"
#include "cli/runner/screen.h"
#include "cli/runner/transcript.h"
#include "device/listview.h"
#include "cli/x11/options.h"
#include "device/x11/xkeyboard.h"
#include "cli/x11/xscreen.h"
#include "tapwatcher_version.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// X.h's None (0L) would stand in for the driver's Next::None.
constexpr ::Window kNoWindow = None;
#undef None

namespace x11 {

namespace {

constexpr const char* kProgram = "tapwatcher-x11";
constexpr int kScale = 2; // window pixels per device pixel

// ---------------------------------------------------------------------------
// The real clock
// ---------------------------------------------------------------------------

uint64_t MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

// Milliseconds since the device started, from the monotonic clock.
class RealClock : public device::ClockSource {
  public:
    RealClock() : origin_(MonotonicMs()) {}
    uint64_t ElapsedMs() override { return MonotonicMs() - origin_; }
    uint64_t origin() const { return origin_; }

  private:
    uint64_t origin_;
};

// ---------------------------------------------------------------------------
// Signals and a lost display
// ---------------------------------------------------------------------------

int g_signal_pipe[2] = {-1, -1};

// OnSignal: hands the signal to the driver through the pipe.
void OnSignal(int sig) {
    int saved = errno;
    unsigned char b = (unsigned char)sig;
    ssize_t r = ::write(g_signal_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

const int kCloseSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void CatchSignals() {
    if (g_signal_pipe[0] < 0 && pipe(g_signal_pipe) == 0)
        for (int fd : g_signal_pipe)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kCloseSignals)
        sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void RestoreSignals() {
    for (int sig : kCloseSignals)
        std::signal(sig, SIG_DFL);
}

const char* SignalName(int sig) {
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    default:
        return "a signal";
    }
}

// Xlib calls this when the connection breaks; returning leaves the display
// marked dead (its calls do nothing) instead of exiting, so the tool can
// still shut down.
int OnIOError(Display*) {
    SetDisplayLost();
    return 0;
}
void OnIOErrorExit(Display*, void*) {
    SetDisplayLost();
}

// ---------------------------------------------------------------------------
// One instance per display
// ---------------------------------------------------------------------------

// Takes the display's instance selection for `ours`; returns the window of
// the instance that already holds it, or None. An instance that has just ended
// still owns the selection until the server reads the end of its connection,
// which a busy server may not have done yet: an owner is believed only when it
// is still there after a short while (100 ms, paid only by a second instance).
::Window ClaimInstance(Display* dpy, ::Window ours) {
    Atom sel = XInternAtom(dpy, "_TAPWATCHER_INSTANCE", False);
    for (int look = 1;; ++look) {
        XGrabServer(dpy);
        ::Window owner = XGetSelectionOwner(dpy, sel);
        if (owner == kNoWindow)
            XSetSelectionOwner(dpy, sel, ours, CurrentTime);
        XUngrabServer(dpy);
        XSync(dpy, False);
        if (owner == kNoWindow || look == 5)
            return owner;
        usleep(25000);
    }
}

// Asks the instance owning `other` to come to the front.
void AskToRaise(Display* dpy, ::Window other) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = other;
    e.xclient.message_type = XInternAtom(dpy, "_TAPWATCHER_RAISE", False);
    e.xclient.format = 32;
    XSendEvent(dpy, other, False, NoEventMask, &e);
    XRaiseWindow(dpy, other);
    XSync(dpy, False);
}

// ---------------------------------------------------------------------------
// The driver: X events and signals become the device's input
// ---------------------------------------------------------------------------

class XDriver : public device::Driver {
  public:
    XDriver(Display* dpy, ScreenWindow& screen, XKeyboard* keyboard, runner::Transcript& t,
            runner::DeviceWatch& watch, RealClock& clock)
        : dpy_(dpy), screen_(screen), kb_(keyboard), t_(t), watch_(watch), clock_(clock),
          raise_(XInternAtom(dpy, "_TAPWATCHER_RAISE", False)) {}

    Next Poll(device::Device& dev, uint64_t timer_due, uint64_t& at) override;
    void Step(device::Device& dev) override;
    bool lost() const { return lost_; }

  private:
    struct Action {
        enum Kind { Key, Tap, Close, Remap, Raise } kind;
        uint8_t vk = 0;
        bool down = false;
        uint8_t mods = 0;
        std::u16string caption;
        std::string why;
        explicit Action(Kind k) : kind(k) {}
    };
    void Drain(device::Device& dev);
    void Take(device::Device& dev, XEvent& e);
    void ReadSignals();
    void Close(const std::string& why);

    Display* dpy_;
    ScreenWindow& screen_;
    XKeyboard* kb_;
    runner::Transcript& t_;
    runner::DeviceWatch& watch_;
    RealClock& clock_;
    Atom raise_;
    std::deque<Action> actions_;
    std::u16string pressed_button_;
    bool closing_ = false;
    bool lost_ = false;
    size_t claimed_ = 0; // combinations held when last said
    uint64_t last_input_ = 0, last_redraw_ = 0;
    static constexpr uint64_t kRedrawQuietMs = 20, kRedrawStaleMs = 1000;
};

void XDriver::Close(const std::string& why) {
    if (closing_)
        return;
    closing_ = true;
    Action a{Action::Close};
    a.why = why;
    actions_.push_back(a);
}

void XDriver::ReadSignals() {
    unsigned char b;
    while (::read(g_signal_pipe[0], &b, 1) == 1)
        Close(SignalName(b));
}

void XDriver::Drain(device::Device& dev) {
    while (!DisplayLost() && XPending(dpy_) > 0) {
        XEvent e;
        XNextEvent(dpy_, &e);
        if (kb_ && kb_->Watch(e))
            continue;
        if (e.type == KeyPress || e.type == KeyRelease || e.type == ButtonRelease)
            last_input_ = clock_.ElapsedMs();
        Take(dev, e);
    }
}

void XDriver::Take(device::Device& dev, XEvent& e) {
    switch (e.type) {
    case KeyPress:
    case KeyRelease: {
        if (!kb_)
            return;
        Action a{Action::Key};
        if (kb_->Translate(e.xkey, a.vk, a.down, a.mods))
            actions_.push_back(a);
        else
            t_.Event(dev.Tick(), "key code " + std::to_string(e.xkey.keycode) +
                                     (e.type == KeyPress ? " down" : " up") +
                                     ": no virtual key, held back by the grab");
        return;
    }
    case ButtonPress:
        if (e.xbutton.button == Button1)
            pressed_button_ = screen_.ButtonAt(dev, e.xbutton.x, e.xbutton.y);
        return;
    case ButtonRelease:
        if (e.xbutton.button == Button1) {
            std::u16string caption = screen_.ButtonAt(dev, e.xbutton.x, e.xbutton.y);
            if (!caption.empty() && caption == pressed_button_) {
                Action a{Action::Tap};
                a.caption = caption;
                actions_.push_back(a);
            }
            pressed_button_.clear();
        }
        return;
    case Expose:
        if (e.xexpose.count == 0)
            screen_.Update(dev, true);
        return;
    case ClientMessage:
        if (screen_.IsCloseRequest(e))
            Close("the window manager's close");
        else if (e.xclient.message_type == raise_)
            actions_.push_back(Action{Action::Raise});
        return;
    case MappingNotify:
        XRefreshKeyboardMapping(&e.xmapping);
        if (e.xmapping.request != MappingPointer && kb_)
            actions_.push_back(Action{Action::Remap});
        return;
    default:
        return;
    }
}

device::Driver::Next XDriver::Poll(device::Device& dev, uint64_t timer_due, uint64_t& at) {
    for (;;) {
        Drain(dev);
        if (DisplayLost() && !lost_) {
            lost_ = true;
            Close("the display went away");
        }
        ReadSignals();
        if (!actions_.empty()) {
            at = clock_.ElapsedMs();
            return Next::Step;
        }
        uint64_t now = clock_.ElapsedMs();
        if (timer_due <= now)
            return Next::None;
        watch_.Idle();
        if (kb_)
            kb_->Settle();
        if (kb_ && kb_->Claimed() != claimed_) {
            claimed_ = kb_->Claimed();
            t_.Event(dev.Tick(), "the tool holds " + std::to_string(claimed_) +
                                     " combinations as " + std::to_string(kb_->GrabsHeld()) +
                                     " grabs");
        }
        t_.Flush();
        // The screen is redrawn once input pauses, or now and then while it
        // keeps coming, so that a redraw does not stand between two keys.
        int redraw_in = -1;
        if (now - last_input_ >= kRedrawQuietMs || now - last_redraw_ >= kRedrawStaleMs) {
            screen_.Update(dev);
            last_redraw_ = now;
        } else {
            redraw_in = (int)(kRedrawQuietMs - (now - last_input_));
        }
        if (!DisplayLost()) {
            XFlush(dpy_);
            if (XPending(dpy_) > 0)
                continue;
        }
        struct pollfd fds[2] = {{g_signal_pipe[0], POLLIN, 0},
                                {DisplayLost() ? -1 : ConnectionNumber(dpy_), POLLIN, 0}};
        int timeout =
            timer_due == UINT64_MAX ? -1 : (int)std::min<uint64_t>(timer_due - now, 60000);
        if (redraw_in >= 0 && (timeout < 0 || redraw_in < timeout))
            timeout = redraw_in;
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR)
            Close("an error waiting for input");
    }
}

void XDriver::Step(device::Device& dev) {
    Action a = actions_.front();
    actions_.pop_front();
    switch (a.kind) {
    case Action::Key:
        dev.HostKeyEvent(a.vk, a.down, a.mods);
        break;
    case Action::Tap:
        watch_.MenuTap(a.caption);
        dev.TapButton(a.caption);
        break;
    case Action::Close:
        t_.Screen(dev.Tick(), "close", runner::DrawScreen(dev));
        t_.Event(dev.Tick(), "the shell closes the tool (" + a.why + ")");
        if (!dev.RequestClose())
            t_.Event(dev.Tick(), "the tool has no main window to close");
        break;
    case Action::Remap: {
        int lost = 0;
        if (!kb_->Remap(lost))
            break;
        t_.Event(dev.Tick(),
                 "keyboard mapping changed: " + std::to_string(kb_->Claimed()) +
                     " combinations grabbed again" +
                     (lost ? ", " + std::to_string(lost) + " now held by another program and lost"
                           : ""));
        break;
    }
    case Action::Raise:
        screen_.Raise();
        t_.Event(dev.Tick(), "another tapwatcher-x11 brings this window to the front");
        break;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// The command
// ---------------------------------------------------------------------------

std::string UsageText() {
    return cli::UsageLine(kCommand) + R"(
Runs Tapwatcher's own WinMain on an X display: every key combination is grabbed
on the root window (the ones another program holds are listed as taken, "F"),
each press and release of a grabbed key is a row, and after each release the
key is passed on to the focused window with XTest. The window "Tapwatcher"
shows the list; click its "Exit" or "Clear". The transcript (rows, keys passed
on, message boxes, the data file written) goes to standard output, with the
real tick count.

)" + cli::OptionsHelp(kCommand, 21) +
           R"(
SIGINT, SIGTERM and closing the window close the tool as the shell would: it
gives every grab back and saves its file under a save-on-exit name. A second
tapwatcher-x11 on the same display brings the first to the front and exits 0.

Exit status: the tool's exit code (0); 2 for a bad argument; 3 when the display
cannot be opened or has no XTEST extension; 1 when the display went away while
the tool ran (the tool was shut down first).
)";
}

bool ParseArgs(const std::vector<std::string>& args, Options& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        const cli::OptionDoc* option = cli::ReadOption(kCommand, args, i, value, error, "argument");
        if (option == nullptr)
            return false;
        const std::string name = option->name;
        if (*option->value == '\0') { // a flag
            if (name == "--help")
                options.help = true;
            else if (name == "--version")
                options.version = true;
            continue;
        }
        if (name == "--exe") {
            if (!runner::IsDevicePath(value)) {
                error = std::string(kProgram) +
                        ": --exe: expected a full device path such as "
                        "\\Program Files\\tapwatcher.exe, got \"" +
                        value + "\"";
                return false;
            }
            options.exe = value;
        } else if (name == "--root") {
            options.root = value;
        } else if (name == "--display") {
            options.display = value;
        }
    }
    return true;
}

int Run(const Options& options) {
    const char* name = options.display.empty() ? nullptr : options.display.c_str();
    Display* dpy = XOpenDisplay(name);
    if (!dpy) {
        const char* env = std::getenv("DISPLAY");
        std::string shown = name ? name : env ? env : "";
        std::cerr << kProgram << ": cannot open display \"" << shown << "\""
                  << (shown.empty() ? " (DISPLAY is not set; use --display)" : "") << std::endl;
        return kExitNoDisplay;
    }
    int ev, er, maj, min;
    if (!XTestQueryExtension(dpy, &ev, &er, &maj, &min)) {
        std::cerr << kProgram << ": display \"" << DisplayString(dpy)
                  << "\" has no XTEST extension, so keys cannot be passed on" << std::endl;
        XCloseDisplay(dpy);
        return kExitNoDisplay;
    }
    InstallErrorHandler();
    XSetIOErrorHandler(OnIOError);
    XSetIOErrorExitHandler(dpy, OnIOErrorExit, nullptr);
    CatchSignals();

    RealClock clock;
    runner::Job job;
    job.profile = runner::BuiltinDeviceProfile();
    job.profile.taken.clear();
    job.profile.start_tick = (uint32_t)clock.origin();
    job.profile.exe = device::Widen(options.exe);
    job.profile.root = options.root;
    job.profile_name = "built-in, X display " + std::string(DisplayString(dpy));

    int status;
    {
        ScreenWindow screen(dpy, job.profile.screen_w, job.profile.screen_h, kScale);
        ::Window other = ClaimInstance(dpy, screen.id());
        job.profile.running_instance = other != kNoWindow;
        std::optional<XKeyboard> keyboard;
        if (!other)
            keyboard.emplace(dpy);

        device::Device dev(job.profile);
        dev.SetClockSource(&clock);
        if (keyboard)
            dev.SetKeyboardHost(&*keyboard);
        runner::Transcript t(&std::cout);
        struct stat st;
        t.line_buffered = !(fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode));
        std::string error;
        if (!runner::PrepareDevice(dev, job, t, error)) {
            std::cerr << error << std::endl;
            RestoreSignals();
            return kExitBadArgs;
        }
        // Keys the device hands to "the rest of the system" from a grab
        // (a key pressed while a grab of ours was active, that no hot key
        // of the tool holds) never reach another window.
        struct GrabWatch : runner::DeviceWatch {
            using DeviceWatch::DeviceWatch;
            void OnSystemKey(const device::SystemKey& k) override {
                DWORD tick = (DWORD)(dev_.profile().start_tick + k.time);
                if (k.synthesized)
                    t_.SystemKey(tick, k);
                else
                    t_.Event(tick, runner::DescribeSystemKey(k) + ", held back by the grab");
            }
        };
        if (keyboard)
            t.Event(dev.Tick(), keyboard->Describe());
        else
            t.Event(
                dev.Tick(), "a tapwatcher-x11 already runs on this display (window 0x" + [&] {
                    char b[32];
                    std::snprintf(b, sizeof b, "%lx", (unsigned long)other);
                    return std::string(b);
                }() + ")");

        GrabWatch watch(dev, job, t);
        XDriver driver(dpy, screen, keyboard ? &*keyboard : nullptr, t, watch, clock);
        try {
            status = runner::RunTool(dev, &driver);
        } catch (const device::Stalled& e) {
            t.Event(dev.Tick(), std::string("stalled: ") + e.what());
            status = runner::kExitStalled;
        }
        if (const device::Window* fg = dev.Find(dev.ForegroundWindow()))
            if (fg->kind == device::WindowKind::Foreign && other && !DisplayLost()) {
                AskToRaise(dpy, other);
                t.Event(dev.Tick(), "the running instance's window \"" + device::Narrow(fg->title) +
                                        "\" comes to the front");
            }
        if (keyboard && !DisplayLost()) {
            keyboard->Settle();
            size_t left = keyboard->GrabsHeld();
            keyboard->ReleaseAll();
            if (left)
                t.Event(dev.Tick(), std::to_string(left) + " grabs the tool left were given back");
        }
        if (DisplayLost())
            t.Event(dev.Tick(), "exit " + std::to_string(kExitDisplayLost) +
                                    " (the display went away; the tool's own code was " +
                                    std::to_string(status) + ")");
        else
            t.Event(dev.Tick(), "exit " + std::to_string(status));
        t.Flush();
        if (DisplayLost()) {
            // The connection's Xlib state (the display, the window's GC and
            // font) cannot be freed without talking to the server: leave now.
            std::cerr << kProgram << ": the display went away; the tool was shut down" << std::endl;
            std::cout.flush();
            _exit(kExitDisplayLost);
        }
    }
    RestoreSignals();
    XCloseDisplay(dpy);
    return status;
}

int Main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    std::string error;
    if (!ParseArgs(args, options, error)) {
        std::cerr << error << std::endl;
        return kExitBadArgs;
    }
    if (options.help) {
        std::cout << UsageText();
        return 0;
    }
    if (options.version) {
        std::cout << kProgram << " " << TAPWATCHER_VERSION << " (source revision "
                  << TAPWATCHER_REVISION << ")\n";
        return 0;
    }
    try {
        return Run(options);
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << std::endl;
        return 70;
    }
}

} // namespace x11
