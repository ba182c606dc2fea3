// terminal.cpp - the interactive device: a real-time clock, keys from the
// terminal, the screen redrawn in place.
//
// The device's clock follows the host's monotonic clock from the moment the
// tool starts: when the tool waits, the driver sleeps in poll(2) on standard
// input until a key arrives or the device's next timer falls due, so a quiet
// mark appears three real seconds after the last key. The terminal is put in
// raw mode (no echo, no line editing, no signals from keys) on the alternate
// screen, and restored on every way out: the tool's exit, an error, exit(),
// and SIGTERM, SIGHUP, SIGINT or SIGQUIT from outside.
#include "cli/sim/terminal.h"

#include "cli/sim/launch.h"
#include "device/device.h"
#include "cli/sim/keys.h"
#include "cli/sim/screen.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace runner {

// ---------------------------------------------------------------------------
// Decoding what the terminal sends
// ---------------------------------------------------------------------------

namespace {

constexpr uint8_t kShift = 0x10, kCtrl = 0x11, kAlt = 0x12;

TypedKey Combo(unsigned mods, uint8_t vk) {
    TypedKey k;
    if (mods & MOD_SHIFT)
        k.keys.push_back(kShift);
    if (mods & MOD_CONTROL)
        k.keys.push_back(kCtrl);
    if (mods & MOD_ALT)
        k.keys.push_back(kAlt);
    k.keys.push_back(vk);
    return k;
}

TypedKey Special(TypedKey::Kind kind) {
    TypedKey k;
    k.kind = kind;
    return k;
}

// The key of one plain byte (below 0x80, not Esc): false when it has none.
bool ByteKey(unsigned char b, unsigned& mods, uint8_t& vk) {
    mods = 0;
    static const char kShifted[] = ")!@#$%^&*("; // Shift+0 .. Shift+9
    struct Sym {
        char c;
        uint8_t vk;
        bool shift;
    };
    static const Sym kSyms[] = {
        {'-', 0xBD, false},  {'_', 0xBD, true}, {'=', 0xBB, false}, {'+', 0xBB, true},
        {'[', 0xDB, false},  {'{', 0xDB, true}, {']', 0xDD, false}, {'}', 0xDD, true},
        {'\\', 0xDC, false}, {'|', 0xDC, true}, {';', 0xBA, false}, {':', 0xBA, true},
        {'\'', 0xDE, false}, {'"', 0xDE, true}, {',', 0xBC, false}, {'<', 0xBC, true},
        {'.', 0xBE, false},  {'>', 0xBE, true}, {'/', 0xBF, false}, {'?', 0xBF, true},
        {'`', 0xC0, false},  {'~', 0xC0, true},
    };
    switch (b) {
    case 0x0D:
    case 0x0A:
        vk = VK_RETURN;
        return true;
    case 0x09:
        vk = VK_TAB;
        return true;
    case 0x08:
    case 0x7F:
        vk = VK_BACK;
        return true;
    case 0x00:
        mods = MOD_CONTROL;
        vk = VK_SPACE;
        return true;
    case 0x1C:
        mods = MOD_CONTROL;
        vk = 0xDC;
        return true;
    case 0x1D:
        mods = MOD_CONTROL;
        vk = 0xDD;
        return true;
    case 0x1E:
        mods = MOD_CONTROL | MOD_SHIFT;
        vk = '6';
        return true;
    case 0x1F:
        mods = MOD_CONTROL | MOD_SHIFT;
        vk = 0xBD;
        return true;
    case ' ':
        vk = VK_SPACE;
        return true;
    default:
        break;
    }
    if (b >= 0x01 && b <= 0x1A) {
        mods = MOD_CONTROL;
        vk = (uint8_t)('A' + b - 1);
        return true;
    }
    if (b >= 'a' && b <= 'z') {
        vk = (uint8_t)(b - 32);
        return true;
    }
    if (b >= 'A' && b <= 'Z') {
        mods = MOD_SHIFT;
        vk = b;
        return true;
    }
    if (b >= '0' && b <= '9') {
        vk = b;
        return true;
    }
    for (int i = 0; i < 10; ++i)
        if (kShifted[i] == (char)b) {
            mods = MOD_SHIFT;
            vk = (uint8_t)('0' + i);
            return true;
        }
    for (const Sym& s : kSyms)
        if (s.c == (char)b) {
            mods = s.shift ? MOD_SHIFT : 0;
            vk = s.vk;
            return true;
        }
    return false;
}

// Modifiers of an xterm modifier parameter (1 + Shift 1, Alt 2, Ctrl 4).
unsigned ParamMods(int m) {
    unsigned bits = m > 1 ? (unsigned)(m - 1) : 0, mods = 0;
    if (bits & 1)
        mods |= MOD_SHIFT;
    if (bits & 2)
        mods |= MOD_ALT;
    if (bits & 4)
        mods |= MOD_CONTROL;
    return mods;
}

// The key of a final letter of CSI or SS3 (arrows, Home, End, F1-F4); 0 for none.
uint8_t LetterKey(char f) {
    switch (f) {
    case 'A':
        return VK_UP;
    case 'B':
        return VK_DOWN;
    case 'C':
        return VK_RIGHT;
    case 'D':
        return VK_LEFT;
    case 'H':
        return 0x24; // Home
    case 'F':
        return 0x23; // End
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
        return (uint8_t)(VK_F1 + (f - 'P'));
    default:
        return 0;
    }
}

// The key of "CSI n ~"; 0 for none.
uint8_t TildeKey(int n) {
    switch (n) {
    case 1:
    case 7:
        return 0x24; // Home
    case 2:
        return 0x2D; // Insert
    case 3:
        return 0x2E; // Delete
    case 4:
    case 8:
        return 0x23; // End
    case 5:
        return 0x21; // PageUp
    case 6:
        return 0x22; // PageDown
    default:
        break;
    }
    if (n >= 11 && n <= 15)
        return (uint8_t)(VK_F1 + n - 11);
    if (n >= 17 && n <= 21)
        return (uint8_t)(VK_F1 + 5 + n - 17);
    if (n >= 23 && n <= 26)
        return (uint8_t)(VK_F1 + 10 + n - 23);
    if (n >= 28 && n <= 29)
        return (uint8_t)(VK_F1 + 14 + n - 28);
    if (n >= 31 && n <= 34)
        return (uint8_t)(VK_F1 + 16 + n - 31);
    return 0;
}

// The key of an SS3 final byte, keypad included; 0 for none.
uint8_t Ss3Key(char f) {
    if (uint8_t k = LetterKey(f))
        return k;
    if (f == 'M')
        return VK_RETURN;
    if (f >= 'p' && f <= 'y')
        return (uint8_t)(0x60 + (f - 'p')); // Numpad0-9
    switch (f) {
    case 'j':
        return 0x6A;
    case 'k':
        return 0x6B;
    case 'm':
        return 0x6D;
    case 'n':
        return 0x6E;
    case 'o':
        return 0x6F;
    default:
        return 0;
    }
}

} // namespace

std::vector<TypedKey> TerminalDecoder::Feed(std::string_view bytes) {
    pending_.append(bytes);
    return Decode(false);
}

std::vector<TypedKey> TerminalDecoder::Flush() {
    return Decode(true);
}

std::vector<TypedKey> TerminalDecoder::Decode(bool final) {
    std::vector<TypedKey> out;
    const std::string& s = pending_;
    size_t i = 0;
    auto byte = [&](size_t at) { return (unsigned char)s[at]; };
    while (i < s.size()) {
        unsigned char b = byte(i);
        if (b == 0x1B) {
            if (i + 1 >= s.size()) {
                if (!final)
                    break;
                out.push_back(Combo(0, VK_ESCAPE));
                i += 1;
                continue;
            }
            unsigned char c = byte(i + 1);
            if (c == '[') {
                // Linux console F1-F5: ESC [ [ A..E.
                if (i + 2 < s.size() && byte(i + 2) == '[') {
                    if (i + 3 >= s.size()) {
                        if (!final)
                            break;
                        out.push_back(Combo(MOD_ALT, 0xDB));
                        i += 2;
                        continue;
                    }
                    unsigned char f = byte(i + 3);
                    if (f >= 'A' && f <= 'E')
                        out.push_back(Combo(0, (uint8_t)(VK_F1 + (f - 'A'))));
                    i += 4;
                    continue;
                }
                size_t j = i + 2;
                while (j < s.size() && byte(j) >= 0x30 && byte(j) <= 0x3F)
                    ++j;
                while (j < s.size() && byte(j) >= 0x20 && byte(j) <= 0x2F)
                    ++j;
                if (j >= s.size()) {
                    if (!final)
                        break;
                    out.push_back(Combo(MOD_ALT, 0xDB)); // Alt+[, the rest as typed
                    i += 2;
                    continue;
                }
                char f = (char)byte(j);
                std::vector<int> params;
                int n = -1;
                for (size_t k = i + 2; k < j; ++k) {
                    char p = s[k];
                    if (p >= '0' && p <= '9') {
                        n = (n < 0 ? 0 : n) * 10 + (p - '0');
                        if (n > 100000)
                            n = 100000;
                    } else if (p == ';') {
                        params.push_back(n < 0 ? 1 : n);
                        n = -1;
                    }
                }
                params.push_back(n < 0 ? 1 : n);
                unsigned mods = params.size() >= 2 ? ParamMods(params[1]) : 0;
                uint8_t vk = 0;
                if (f == '~')
                    vk = TildeKey(params[0]);
                else if (f == 'Z') {
                    vk = VK_TAB;
                    mods |= MOD_SHIFT;
                } else
                    vk = LetterKey(f);
                if (vk)
                    out.push_back(Combo(mods, vk));
                i = j + 1;
                continue;
            }
            if (c == 'O') {
                if (i + 2 >= s.size()) {
                    if (!final)
                        break;
                    out.push_back(Combo(MOD_ALT | MOD_SHIFT, 'O'));
                    i += 2;
                    continue;
                }
                if (uint8_t vk = Ss3Key((char)byte(i + 2)))
                    out.push_back(Combo(0, vk));
                i += 3;
                continue;
            }
            if (c == 0x1B) {
                out.push_back(Combo(MOD_ALT, VK_ESCAPE));
                i += 2;
                continue;
            }
            unsigned mods;
            uint8_t vk;
            if (c != 0x03 && c < 0x80 && ByteKey(c, mods, vk)) {
                out.push_back(Combo(mods | MOD_ALT, vk));
                i += 2;
                continue;
            }
            out.push_back(Combo(0, VK_ESCAPE)); // Esc, then the next byte on its own
            i += 1;
            continue;
        }
        if (b == 0x03) {
            out.push_back(Special(TypedKey::Leave));
            i += 1;
            continue;
        }
        if (b == 0x18) {
            out.push_back(Special(TypedKey::Exit));
            i += 1;
            continue;
        }
        if (b == 0x0C) {
            out.push_back(Special(TypedKey::Clear));
            i += 1;
            continue;
        }
        if (b >= 0x80) {
            // A character beyond ASCII has no key code: skip its UTF-8 bytes.
            size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (i + len > s.size() && !final)
                break;
            i = std::min(s.size(), i + len);
            continue;
        }
        unsigned mods;
        uint8_t vk;
        if (ByteKey(b, mods, vk))
            out.push_back(Combo(mods, vk));
        i += 1;
    }
    pending_.erase(0, i);
    return out;
}

// ---------------------------------------------------------------------------
// The terminal's mode
// ---------------------------------------------------------------------------

namespace {

struct termios g_saved_mode;
volatile sig_atomic_t g_raw = 0;

const char kEnterScreen[] = "\x1b[?1049h\x1b[?25l";
const char kLeaveScreen[] = "\x1b[?25h\x1b[?1049l";

// Puts the terminal back as it was; safe in a signal handler.
void RestoreTerminal() {
    if (!g_raw)
        return;
    g_raw = 0;
    tcsetattr(0, TCSAFLUSH, &g_saved_mode);
    ssize_t r = ::write(1, kLeaveScreen, sizeof kLeaveScreen - 1);
    (void)r;
}

void OnSignal(int sig) {
    RestoreTerminal();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Raw mode and the alternate screen for the life of the object.
class RawTerminal {
  public:
    RawTerminal() {
        if (tcgetattr(0, &g_saved_mode) != 0)
            return;
        static bool registered = false;
        if (!registered) {
            std::atexit(RestoreTerminal);
            registered = true;
        }
        for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT})
            std::signal(sig, OnSignal);
        struct termios raw = g_saved_mode;
        raw.c_iflag &= ~(tcflag_t)(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP | INPCK);
        raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        g_raw = 1;
        tcsetattr(0, TCSAFLUSH, &raw);
        ssize_t r = ::write(1, kEnterScreen, sizeof kEnterScreen - 1);
        (void)r;
    }
    ~RawTerminal() {
        RestoreTerminal();
        for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT})
            std::signal(sig, SIG_DFL);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
};

uint64_t MonotonicMs() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------
// The driver
// ---------------------------------------------------------------------------

constexpr size_t kEventLines = 8;
const char kKeysHelp[] = "Ctrl-X taps \"Exit\"  Ctrl-L taps \"Clear\"  Ctrl-C closes the tool";

class TerminalDriver : public sim::Driver {
  public:
    TerminalDriver(const Job& job, std::ostream& out) : job_(job), out_(out) {}

    Next Poll(sim::Device& dev, uint64_t timer_due, uint64_t& at) override;
    void Step(sim::Device& dev) override;

    void AddEvent(const std::string& line) {
        events_.push_back(line);
        while (events_.size() > kEventLines)
            events_.pop_front();
    }
    const std::vector<std::string>& LastScreen() const { return last_screen_; }
    const std::deque<std::string>& Events() const { return events_; }

  private:
    struct Action {
        enum Kind { Press, Release, Exit, Clear } kind;
        uint8_t vk;
    };
    uint64_t DeviceNow(const sim::Device& dev);
    void Take(const std::vector<TypedKey>& keys);
    void Redraw(sim::Device& dev);

    const Job& job_;
    std::ostream& out_;
    TerminalDecoder decoder_;
    std::deque<Action> actions_;
    bool leaving_ = false;
    bool started_ = false;
    uint64_t real_origin_ = 0;
    uint64_t device_origin_ = 0;
    std::string status_;
    std::deque<std::string> events_;
    std::vector<std::string> last_screen_;
    std::string last_frame_;
};

// The device time that the real time now stands for.
uint64_t TerminalDriver::DeviceNow(const sim::Device& dev) {
    if (!started_) {
        started_ = true;
        real_origin_ = MonotonicMs();
        device_origin_ = dev.Now();
    }
    return device_origin_ + (MonotonicMs() - real_origin_);
}

void TerminalDriver::Take(const std::vector<TypedKey>& keys) {
    for (const TypedKey& k : keys) {
        switch (k.kind) {
        case TypedKey::Keys:
            for (uint8_t vk : k.keys)
                actions_.push_back({Action::Press, vk});
            for (size_t i = k.keys.size(); i-- > 0;)
                actions_.push_back({Action::Release, k.keys[i]});
            break;
        case TypedKey::Exit:
            actions_.push_back({Action::Exit, 0});
            break;
        case TypedKey::Clear:
            actions_.push_back({Action::Clear, 0});
            break;
        case TypedKey::Leave:
            leaving_ = true;
            break;
        }
    }
}

sim::Driver::Next TerminalDriver::Poll(sim::Device& dev, uint64_t timer_due, uint64_t& at) {
    Redraw(dev);
    for (;;) {
        uint64_t now = DeviceNow(dev);
        if (!actions_.empty()) {
            at = std::max(dev.Now(), now);
            return Next::Step;
        }
        if (leaving_) {
            at = std::max(dev.Now(), now);
            AddEvent(TickText((DWORD)(dev.profile().start_tick + at)) +
                     " the shell closes the tool (Ctrl-C)");
            return Next::End;
        }
        if (timer_due != UINT64_MAX && timer_due <= now)
            return Next::None;
        int timeout = -1;
        if (timer_due != UINT64_MAX)
            timeout = (int)std::min<uint64_t>(timer_due - now, 60000);
        if (decoder_.Pending())
            timeout = timeout < 0 ? 30 : std::min(timeout, 30);
        struct pollfd pfd = {0, POLLIN, 0};
        int r = ::poll(&pfd, 1, timeout);
        if (r < 0) {
            if (errno != EINTR)
                leaving_ = true;
            continue;
        }
        if (r == 0) {
            if (decoder_.Pending())
                Take(decoder_.Flush());
            continue;
        }
        char buf[256];
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Take(decoder_.Flush());
            leaving_ = true; // end of input or an error: the shell closes the tool
            continue;
        }
        Take(decoder_.Feed(std::string_view(buf, (size_t)n)));
    }
}

void TerminalDriver::Step(sim::Device& dev) {
    Action a = actions_.front();
    actions_.pop_front();
    switch (a.kind) {
    case Action::Press:
        dev.KeyDown(a.vk);
        break;
    case Action::Release:
        dev.KeyUp(a.vk);
        break;
    case Action::Exit:
    case Action::Clear: {
        const char16_t* caption = a.kind == Action::Exit ? u"Exit" : u"Clear";
        if (dev.TapButton(caption))
            status_.clear();
        else
            status_ = "No menu-bar button \"" + sim::Narrow(caption) +
                      "\" on this device; Ctrl-C closes the tool.";
        break;
    }
    }
}

void TerminalDriver::Redraw(sim::Device& dev) {
    ScreenView view = DrawScreen(dev);
    std::vector<std::string> lines;
    lines.push_back("tapwatcher-sim: device " + job_.profile_name + ", " +
                    sim::Narrow(dev.profile().exe) + ", tick " + TickText(dev.Tick()));
    for (const std::string& l : view.lines)
        lines.push_back(l);
    lines.push_back(view.summary);
    lines.push_back(kKeysHelp);
    lines.push_back(status_);
    lines.push_back("Events:");
    for (const std::string& e : events_)
        lines.push_back(" " + e);
    std::string frame = "\x1b[H";
    for (const std::string& l : lines)
        frame += l + "\x1b[K\r\n";
    frame += "\x1b[J";
    if (frame == last_frame_)
        return;
    last_frame_ = frame;
    last_screen_ = view.lines;
    last_screen_.push_back(view.summary);
    out_ << frame << std::flush;
}

} // namespace

int RunInteractive(const Job& job, std::ostream& out, std::ostream& errors) {
    sim::Device dev(job.profile);
    TerminalDriver driver(job, out);
    Transcript t(nullptr);
    t.on_line = [&driver](const std::string& line) { driver.AddEvent(line); };
    std::string error;
    if (!PrepareDevice(dev, job, t, error)) {
        errors << error << std::endl;
        return kExitBadInput;
    }
    int status;
    std::string stalled;
    {
        RawTerminal raw;
        try {
            status = host::RunTool(dev, &driver);
        } catch (const sim::Stalled& e) {
            stalled = e.what();
            status = kExitStalled;
        }
    }
    for (const std::string& l : driver.LastScreen())
        out << l << '\n';
    for (const std::string& e : driver.Events())
        out << e << '\n';
    if (!stalled.empty()) {
        errors << "tapwatcher-sim: the tool stopped making progress: " << stalled << std::endl;
        return status;
    }
    out << TickText(dev.Tick()) << " exit " << status << std::endl;
    return status;
}

} // namespace runner
