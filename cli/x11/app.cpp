// app.cpp - tapwatcher-x11: boots the simulated device with the X server as
// its keyboard and hot-key table, a real clock and an X window as its
// screen, runs the tool's unchanged WinMain on it and writes the runner's
// transcript to standard output.
//
// Choices where the task left room:
//  - the device is the runner's built-in Pocket PC profile (240x320, 96 dpi),
//    with no combination "taken" by a simulated shell: the X server's other
//    clients are the only holders;
//  - the device runs on the real-time core (cli/runner/realtime.h):
//    GetTickCount is the host's monotonic clock in milliseconds, cut to 32
//    bits (Windows CE also leaves out time spent suspended); SIGINT, SIGTERM,
//    SIGHUP and SIGQUIT and the window manager's close are the shell's close
//    request; a second signal ends the program at once. That, or a signal that
//    cannot be caught (SIGKILL), leaves the grabs to the server, which drops
//    them with the connection;
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

#include "cli/common/program.h"
#include "cli/common/text.h"
#include "cli/runner/job.h"
#include "cli/runner/launch.h"
#include "cli/runner/parse_util.h"
#include "cli/runner/profile.h"
#include "cli/runner/realtime.h"
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

#include <csignal>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>
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
// A lost display
// ---------------------------------------------------------------------------

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
// The front-end: X events become the device's input, the window its screen
// ---------------------------------------------------------------------------

class XDriver : public runner::RealtimeFrontEnd {
  public:
    XDriver(Display* dpy, ScreenWindow& screen, XKeyboard* keyboard, runner::Transcript& t,
            runner::DeviceWatch& watch)
        : dpy_(dpy), screen_(screen), kb_(keyboard), t_(t), watch_(watch),
          raise_(XInternAtom(dpy, "_TAPWATCHER_RAISE", False)) {}

    void Watch(std::vector<pollfd>& fds) override {
        if (!DisplayLost())
            fds.push_back({ConnectionNumber(dpy_), POLLIN, 0});
    }
    void Read(device::Device& dev, const std::vector<pollfd>& fds, bool timed_out) override;
    bool Ready(device::Device&, uint64_t&) override { return !actions_.empty(); }
    void Step(device::Device& dev) override;
    int Paint(device::Device& dev, uint64_t now) override;
    void Closing(device::Device& dev) override {
        t_.Screen(dev.Tick(), "close", runner::DrawScreen(dev));
    }

  private:
    struct Action {
        enum Kind { Key, Tap, Remap, Raise } kind;
        uint8_t vk = 0;
        bool down = false;
        uint8_t mods = 0;
        std::u16string caption;
        explicit Action(Kind k) : kind(k) {}
    };
    void Take(device::Device& dev, XEvent& e);

    Display* dpy_;
    ScreenWindow& screen_;
    XKeyboard* kb_;
    runner::Transcript& t_;
    runner::DeviceWatch& watch_;
    Atom raise_;
    std::deque<Action> actions_;
    std::u16string pressed_button_;
    bool lost_ = false;
    size_t claimed_ = 0; // combinations held when last said
    uint64_t last_input_ = 0, last_redraw_ = 0;
    static constexpr uint64_t kRedrawQuietMs = 20, kRedrawStaleMs = 1000;
};

// Takes every X event that has come; a display that went away closes the tool.
void XDriver::Read(device::Device& dev, const std::vector<pollfd>&, bool) {
    while (!DisplayLost() && XPending(dpy_) > 0) {
        XEvent e;
        XNextEvent(dpy_, &e);
        if (kb_ && kb_->Watch(e))
            continue;
        if (e.type == KeyPress || e.type == KeyRelease || e.type == ButtonRelease)
            last_input_ = (uint64_t)runner::HostMs();
        Take(dev, e);
    }
    if (DisplayLost() && !lost_) {
        lost_ = true;
        Close("the display went away");
    }
}

void XDriver::Take(device::Device& dev, XEvent& e) {
    switch (e.type) {
    case KeyPress:
    case KeyRelease: {
        if (!kb_ || kb_->OwnRelease(e.xkey))
            return;
        Action a{Action::Key};
        bool held = true;
        bool known = kb_->Translate(e.xkey, a.vk, a.down, a.mods, held);
        if (!held)
            t_.Event(dev.Tick(), "key code " + std::to_string(e.xkey.keycode) +
                                     " down: another program holds the keyboard, so releases "
                                     "may go to the focused window");
        if (known)
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

// The tool waits: the grabs settle, the transcript says what the tool holds,
// and the window is redrawn once input pauses, or now and then while it
// keeps coming, so that a redraw does not stand between two keys.
int XDriver::Paint(device::Device& dev, uint64_t) {
    watch_.Idle();
    if (kb_)
        kb_->Settle();
    if (kb_ && kb_->Holding()) {
        for (uint8_t code : kb_->ReleasesLost()) {
            // The release reached another window before the tool held the
            // keyboard: the row is made here, and says so.
            XEvent up{};
            up.xkey.type = KeyRelease;
            up.xkey.keycode = code;
            Action a{Action::Key};
            bool held;
            if (kb_->Translate(up.xkey, a.vk, a.down, a.mods, held))
                actions_.push_back(a);
            t_.Event(dev.Tick(), "key code " + std::to_string(code) +
                                     " up: its release went to the focused window before the "
                                     "tool held the keyboard; the next row stands for it");
        }
        if (!actions_.empty())
            return 0;
    }
    if (kb_ && kb_->Claimed() != claimed_) {
        claimed_ = kb_->Claimed();
        t_.Event(dev.Tick(), "the tool holds " + std::to_string(claimed_) + " combinations as " +
                                 std::to_string(kb_->GrabsHeld()) + " grabs");
    }
    const uint64_t now = (uint64_t)runner::HostMs();
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
            return 0; // events came meanwhile: no wait
    }
    return redraw_in;
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
the tool ran (the tool was shut down first); 4 when the host failed a write
under the device root (a full disk).
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
            if (!runner::CheckExeOption(kProgram, value, error))
                return false;
            options.exe = value;
        } else if (name == "--root") {
            options.root = value;
        } else if (name == "--display") {
            options.display = value;
        } else if (name == "--modifier-hot-keys") {
            if (value != "yes" && value != "no") {
                error = std::string(kProgram) +
                        ": --modifier-hot-keys: expected yes or no, got \"" +
                        text::Printable(value) + "\"";
                return false;
            }
            options.modifier_hot_keys = value == "yes";
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
    std::signal(SIGPIPE, SIG_IGN);

    runner::Realtime loop({0, true});
    runner::Job job;
    job.profile = runner::BuiltinDeviceProfile();
    job.profile.taken.clear();
    job.profile.start_tick = (uint32_t)runner::HostMs(); // the clock started just now
    job.profile.exe = device::Widen(options.exe);
    job.profile.root = options.root;
    job.profile.modifier_hot_keys = options.modifier_hot_keys;
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
        if (keyboard)
            dev.SetKeyboardHost(&*keyboard);
        runner::Transcript t(&std::cout);
        struct stat st;
        t.line_buffered = !(fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode));
        std::string error;
        if (!runner::PrepareDevice(dev, job, t, error)) {
            std::cerr << error << std::endl;
            return kExitBadArgs;
        }
        // The runner's watch, with what the X server changes: a key the device
        // hands to "the rest of the system" from a grab (pressed while a grab of
        // ours was active, no hot key of the tool holding it) never reaches
        // another window; a release the tool synthesises that a hot key takes
        // (its own modifier up after a pass-through) is made on the server too.
        struct GrabWatch : runner::DeviceWatch {
            GrabWatch(device::Device& dev, const runner::Job& job, runner::Transcript& t,
                      XKeyboard* kb)
                : DeviceWatch(dev, job, t), kb_(kb) {}
            XKeyboard* kb_;
            void OnKeyTaken(uint8_t vk, bool down, bool synthesized,
                            const device::HotKey& hk) override {
                DeviceWatch::OnKeyTaken(vk, down, synthesized, hk);
                if (kb_ && synthesized && !down)
                    kb_->ReleaseOwn(vk);
            }
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

        GrabWatch watch(dev, job, t, keyboard ? &*keyboard : nullptr);
        XDriver driver(dpy, screen, keyboard ? &*keyboard : nullptr, t, watch);
        std::string stalled;
        status = loop.Run(dev, driver, t, stalled);
        if (!stalled.empty())
            t.Event(dev.Tick(), "stalled: " + stalled);
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
        if (DisplayLost()) {
            t.Event(dev.Tick(), "exit " + std::to_string(kExitDisplayLost) +
                                    " (the display went away; the tool's own code was " +
                                    std::to_string(status) + ")");
        } else if (watch.HostFault()) {
            // As tapwatcher-sim: a write the host failed is not a success.
            t.Event(dev.Tick(), "exit " + std::to_string(kExitHost) + " (the tool exited " +
                                    std::to_string(status) + "; the host failed a write)");
            std::cerr << kProgram
                      << ": the host failed a write under the device root (see the transcript)"
                      << std::endl;
            status = kExitHost;
        } else {
            t.Event(dev.Tick(), "exit " + std::to_string(status));
        }
        t.Flush();
        if (DisplayLost()) {
            // The connection's Xlib state (the display, the window's GC and
            // font) cannot be freed without talking to the server: leave now.
            std::cerr << kProgram << ": the display went away; the tool was shut down" << std::endl;
            std::cout.flush();
            _exit(kExitDisplayLost);
        }
    }
    XCloseDisplay(dpy);
    return status;
}

int Main(int argc, char** argv) {
    return cli::ProgramMain<Options>(kProgram,
                                     std::string(kProgram) + " " + TAPWATCHER_VERSION +
                                         " (source revision " + TAPWATCHER_REVISION + ")\n",
                                     argc, argv, kExitBadArgs, ParseArgs, UsageText,
                                     [](const Options& o) { return Run(o); });
}

} // namespace x11
