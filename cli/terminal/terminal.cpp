// terminal.cpp - the interactive device: a real-time clock, keys from the
// terminal, the screen redrawn in place.
//
// The device runs on the real-time core (cli/runner/realtime.h): its clock
// follows the host's monotonic clock, and when the tool waits the core sleeps
// on standard input until a key arrives or the device's next timer falls due,
// so a quiet mark appears three real seconds after the last key. SIGTERM,
// SIGHUP, SIGINT and SIGQUIT from outside are the shell's close request, as
// Ctrl-C is. The terminal is put in raw mode (no echo, no line editing, no
// signals from keys) on the alternate screen, and restored on every way out:
// the tool's exit, an error, exit(), and a second signal, which ends at once.
//
// Keys: the terminal is asked for the keyboard protocol that reports key
// releases ("CSI ? u", answered only where it exists, then "CSI c", which
// every terminal answers, so no terminal leaves the runner waiting more than
// 500 ms). Where it answers, the protocol is turned on (disambiguated keys,
// event types, every key as an escape code) and presses, repeats, releases
// and modifier-only presses reach the device as they happen; the status line
// says "releases: real". Elsewhere each key typed is pressed and released at
// once: "releases: made up at press".
//
// Choices: Ctrl-] is a prefix for what a PC keyboard lacks: 1-6 for the
// device's App1-App6 buttons, F1-F12 for F13-F24, and h to hold the next key
// down until it is typed (or pressed) again. Ctrl-] itself no longer reaches
// the device. A resize (SIGWINCH) redraws everything; a terminal too small
// for the device's screen shows a message saying how much room it needs.
#include "cli/terminal/terminal.h"

#include "cli/runner/realtime.h"
#include "device/device.h"
#include "cli/common/keys.h"
#include "cli/runner/screen.h"

#include <cstring>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <optional>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace runner {

// ---------------------------------------------------------------------------
// Decoding what the terminal sends
// ---------------------------------------------------------------------------

namespace {

TypedKey Combo(unsigned mods, uint8_t vk) {
    TypedKey k;
    if (mods & MOD_SHIFT)
        k.keys.push_back(keys::kVkShift);
    if (mods & MOD_CONTROL)
        k.keys.push_back(keys::kVkCtrl);
    if (mods & MOD_ALT)
        k.keys.push_back(keys::kVkAlt);
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
    constexpr uint8_t S = MOD_SHIFT, C = MOD_CONTROL;
    struct Sym {
        unsigned char c;
        uint8_t vk, mods;
    };
    // Bytes that are not their key's letter or digit (US layout).
    static const Sym kSyms[] = {
        {'\r', VK_RETURN, 0}, {'\n', VK_RETURN, 0}, {'\t', VK_TAB, 0}, {'\b', VK_BACK, 0},
        {0x7F, VK_BACK, 0},   {' ', VK_SPACE, 0},   {0, VK_SPACE, C},  {0x1C, 0xDC, C},
        {0x1E, '6', C | S},   {0x1F, 0xBD, C | S},  {')', '0', S},     {'!', '1', S},
        {'@', '2', S},        {'#', '3', S},        {'$', '4', S},     {'%', '5', S},
        {'^', '6', S},        {'&', '7', S},        {'*', '8', S},     {'(', '9', S},
        {'-', 0xBD, 0},       {'_', 0xBD, S},       {'=', 0xBB, 0},    {'+', 0xBB, S},
        {'[', 0xDB, 0},       {'{', 0xDB, S},       {']', 0xDD, 0},    {'}', 0xDD, S},
        {'\\', 0xDC, 0},      {'|', 0xDC, S},       {';', 0xBA, 0},    {':', 0xBA, S},
        {'\'', 0xDE, 0},      {'"', 0xDE, S},       {',', 0xBC, 0},    {'<', 0xBC, S},
        {'.', 0xBE, 0},       {'>', 0xBE, S},       {'/', 0xBF, 0},    {'?', 0xBF, S},
        {'`', 0xC0, 0},       {'~', 0xC0, S},
    };
    mods = 0;
    for (const Sym& sym : kSyms)
        if (sym.c == b) {
            mods = sym.mods;
            vk = sym.vk;
            return true;
        }
    if (b >= 0x01 && b <= 0x1A)
        mods = MOD_CONTROL, vk = (uint8_t)('A' + b - 1);
    else if (b >= 'a' && b <= 'z')
        vk = (uint8_t)(b - 32);
    else if (b >= 'A' && b <= 'Z')
        mods = MOD_SHIFT, vk = b;
    else if (b >= '0' && b <= '9')
        vk = b;
    else
        return false;
    return true;
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

// The key of final byte `f` in `finals`, from `keys` in the same order; 0 for none.
uint8_t FinalKey(char f, const char* finals, const uint8_t* keys) {
    const char* at = f ? std::strchr(finals, f) : nullptr;
    return at ? keys[at - finals] : 0;
}

// The key of a final letter of CSI or SS3 (arrows, Home, End, F1-F4); 0 for none.
uint8_t LetterKey(char f) {
    static const uint8_t kKeys[] = {VK_UP, VK_DOWN,   VK_RIGHT,  VK_LEFT,  0x24, 0x23, // Home End
                                    VK_F1, VK_F1 + 1, VK_F1 + 2, VK_F1 + 3};
    return FinalKey(f, "ABCDHFPQRS", kKeys);
}

// The key of "CSI n ~"; 0 for none.
uint8_t TildeKey(int n) {
    constexpr uint8_t F = VK_F1;
    // Home Insert Delete End PageUp PageDown Home End, then F1-F20 with gaps.
    static const uint8_t kKeys[] = {
        0,      0x24,   0x2D,   0x2E,  0x23,   0x21,   0x22,  0x24,   0x23,   0,      0,     F,
        F + 1,  F + 2,  F + 3,  F + 4, 0,      F + 5,  F + 6, F + 7,  F + 8,  F + 9,  0,     F + 10,
        F + 11, F + 12, F + 13, 0,     F + 14, F + 15, 0,     F + 16, F + 17, F + 18, F + 19};
    return n >= 0 && n < (int)sizeof kKeys ? kKeys[n] : 0;
}

// The key of an SS3 final byte, keypad included; 0 for none.
uint8_t Ss3Key(char f) {
    if (uint8_t k = LetterKey(f))
        return k;
    if (f >= 'p' && f <= 'y')
        return (uint8_t)(0x60 + (f - 'p'));                                   // Numpad0-9
    static const uint8_t kKeys[] = {VK_RETURN, 0x6A, 0x6B, 0x6D, 0x6E, 0x6F}; // Enter * + - . /
    return FinalKey(f, "Mjkmno", kKeys);
}

// The key of a keyboard-protocol key code (CSI code ... u); 0 for none.
uint8_t ProtocolCodeKey(long code) {
    if (code >= 'a' && code <= 'z')
        return (uint8_t)(code - 32);
    if ((code >= 'A' && code <= 'Z') || (code >= '0' && code <= '9'))
        return (uint8_t)code;
    if (code >= 57364 && code <= 57387) // F1-F24
        return (uint8_t)(VK_F1 + (code - 57364));
    if (code >= 57399 && code <= 57408) // keypad 0-9
        return (uint8_t)(0x60 + (code - 57399));
    // CapsLock ScrollLock NumLock PrintScreen Pause Menu; the keypad's . / * - +
    // Enter; left Shift Ctrl Alt Super, then the right ones.
    static const std::pair<long, uint8_t> kCodes[] = {
        {13, VK_RETURN},
        {9, VK_TAB},
        {8, VK_BACK},
        {127, VK_BACK},
        {27, VK_ESCAPE},
        {' ', VK_SPACE},
        {57358, 0x14},
        {57359, 0x91},
        {57360, 0x90},
        {57361, 0x2C},
        {57362, 0x13},
        {57363, 0x5D},
        {57409, 0x6E},
        {57410, 0x6F},
        {57411, 0x6A},
        {57412, 0x6D},
        {57413, 0x6B},
        {57414, VK_RETURN},
        {57441, keys::kVkShift},
        {57442, keys::kVkCtrl},
        {57443, keys::kVkAlt},
        {57444, 0x5B},
        {57447, keys::kVkShift},
        {57448, keys::kVkCtrl},
        {57449, keys::kVkAlt},
        {57450, 0x5C},
    };
    for (const auto& [c, vk] : kCodes)
        if (c == code)
            return vk;
    unsigned mods;
    uint8_t vk;
    if (code > 0 && code < 0x7F && ByteKey((unsigned char)code, mods, vk))
        return vk;
    return 0;
}

// A legacy key sequence "CSI params final": the arrows, Home, End, Insert,
// Delete, PageUp, PageDown, F1-F12 with xterm modifiers, Shift+Tab.
std::optional<TypedKey> LegacyKey(std::string_view params, char f) {
    std::vector<int> p;
    int n = -1;
    for (char c : params) {
        if (c >= '0' && c <= '9') {
            n = (n < 0 ? 0 : n) * 10 + (c - '0');
            if (n > 100000)
                n = 100000;
        } else if (c == ';') {
            p.push_back(n < 0 ? 1 : n);
            n = -1;
        }
    }
    p.push_back(n < 0 ? 1 : n);
    unsigned mods = p.size() >= 2 ? ParamMods(p[1]) : 0;
    uint8_t vk = 0;
    if (f == '~') {
        vk = TildeKey(p[0]);
    } else if (f == 'Z') {
        vk = VK_TAB;
        mods |= MOD_SHIFT;
    } else {
        vk = LetterKey(f);
    }
    if (!vk)
        return std::nullopt;
    return Combo(mods, vk);
}

// The runner's own keys: Ctrl-C, Ctrl-X, Ctrl-L and Ctrl-]; Keys for any other byte.
TypedKey::Kind RunnerKey(unsigned char b) {
    switch (b) {
    case 0x03:
        return TypedKey::Leave;
    case 0x18:
        return TypedKey::Exit;
    case 0x0C:
        return TypedKey::Clear;
    case 0x1D:
        return TypedKey::Prefix;
    default:
        return TypedKey::Keys;
    }
}

} // namespace

// A key event of the keyboard protocol: "CSI code[:alternates] ;
// modifiers[:event] u", or a legacy final (~, arrows, Home, End, F1-F4) with
// ":event" after the modifiers. Ctrl+X, Ctrl+L, Ctrl+C and Ctrl+] are the
// runner's own; their releases go nowhere.
std::optional<TypedKey> TerminalDecoder::ProtocolKey(std::string_view params, char final) {
    std::vector<std::vector<long>> p(1, std::vector<long>(1, -1));
    for (char c : params) {
        if (c >= '0' && c <= '9') {
            long& v = p.back().back();
            v = std::min<long>((v < 0 ? 0 : v) * 10 + (c - '0'), 10000000);
        } else if (c == ';') {
            p.push_back(std::vector<long>(1, -1));
        } else if (c == ':') {
            p.back().push_back(-1);
        }
    }
    auto at = [&](size_t i, size_t k, long fallback) {
        return i < p.size() && k < p[i].size() && p[i][k] >= 0 ? p[i][k] : fallback;
    };
    long code = at(0, 0, 1), mods_param = at(1, 0, 1), event = at(1, 1, 1);
    uint8_t vk = 0;
    if (final == 'u')
        vk = ProtocolCodeKey(code);
    else if (final == '~')
        vk = TildeKey((int)code);
    else
        vk = LetterKey(final);
    if (!vk || event < 1 || event > 3)
        return std::nullopt;
    unsigned mods = ParamMods((int)std::min<long>(mods_param, 256));
    TypedKey k;
    if ((mods & MOD_CONTROL) && final == 'u' &&
        (code == 'x' || code == 'l' || code == 'c' || code == ']')) {
        if (event == 3)
            return std::nullopt;
        k.kind = code == 'x'   ? TypedKey::Exit
                 : code == 'l' ? TypedKey::Clear
                 : code == 'c' ? TypedKey::Leave
                               : TypedKey::Prefix;
        return k;
    }
    k.kind = event == 3 ? TypedKey::Release : TypedKey::Press;
    k.repeat = event == 2;
    k.keys.push_back(vk);
    return k;
}

std::vector<TypedKey> TerminalDecoder::Feed(std::string_view bytes) {
    pending_.append(bytes);
    return Decode(false);
}

std::vector<TypedKey> TerminalDecoder::Flush() {
    return Decode(true);
}

// "Esc [ ...": the bytes of the sequence at `i` taken (0: cut short, more
// may come). A reply to a query is no key.
size_t TerminalDecoder::Csi(size_t i, bool final, std::vector<TypedKey>& out) const {
    const std::string& s = pending_;
    auto byte = [&](size_t at) { return (unsigned char)s[at]; };
    // Linux console F1-F5: ESC [ [ A..E.
    if (i + 2 < s.size() && byte(i + 2) == '[') {
        if (i + 3 >= s.size()) {
            if (!final)
                return 0;
            out.push_back(Combo(MOD_ALT, 0xDB));
            return 2;
        }
        unsigned char f = byte(i + 3);
        if (f >= 'A' && f <= 'E')
            out.push_back(Combo(0, (uint8_t)(VK_F1 + (f - 'A'))));
        return 4;
    }
    size_t j = i + 2;
    while (j < s.size() && byte(j) >= 0x30 && byte(j) <= 0x3F)
        ++j;
    while (j < s.size() && byte(j) >= 0x20 && byte(j) <= 0x2F)
        ++j;
    if (j >= s.size()) {
        if (!final)
            return 0;
        out.push_back(Combo(MOD_ALT, 0xDB)); // Alt+[, the rest as typed
        return 2;
    }
    if (s[i + 2] == '?' || s[i + 2] == '>')
        return j + 1 - i;
    std::string_view params(s.data() + i + 2, j - i - 2);
    if (std::optional<TypedKey> k = protocol ? ProtocolKey(params, s[j]) : LegacyKey(params, s[j]))
        out.push_back(*k);
    return j + 1 - i;
}

// The escape sequence at `i` (an Esc): the bytes taken (0: cut short, more may
// come). Esc and a key is Alt+key; Esc alone, the Esc key.
size_t TerminalDecoder::Escape(size_t i, bool final, std::vector<TypedKey>& out) const {
    const std::string& s = pending_;
    if (i + 1 >= s.size()) {
        if (!final)
            return 0;
        out.push_back(Combo(0, VK_ESCAPE));
        return 1;
    }
    unsigned char c = (unsigned char)s[i + 1];
    if (c == '[')
        return Csi(i, final, out);
    if (c == 'O') {
        if (i + 2 >= s.size()) {
            if (!final)
                return 0;
            out.push_back(Combo(MOD_ALT | MOD_SHIFT, 'O'));
            return 2;
        }
        if (uint8_t vk = Ss3Key(s[i + 2]))
            out.push_back(Combo(0, vk));
        return 3;
    }
    if (c == 0x1B) {
        out.push_back(Combo(MOD_ALT, VK_ESCAPE));
        return 2;
    }
    unsigned mods;
    uint8_t vk;
    if (c != 0x03 && c < 0x80 && ByteKey(c, mods, vk)) {
        out.push_back(Combo(mods | MOD_ALT, vk));
        return 2;
    }
    out.push_back(Combo(0, VK_ESCAPE)); // Esc, then the next byte on its own
    return 1;
}

std::vector<TypedKey> TerminalDecoder::Decode(bool final) {
    std::vector<TypedKey> out;
    const std::string& s = pending_;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = (unsigned char)s[i];
        size_t took = 1;
        if (b == 0x1B) {
            took = Escape(i, final, out);
            if (took == 0)
                break;
        } else if (b >= 0x80) {
            // A character beyond ASCII has no key code: skip its UTF-8 bytes.
            size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (i + len > s.size() && !final)
                break;
            took = std::min(s.size() - i, len);
        } else if (TypedKey::Kind kind = RunnerKey(b); kind != TypedKey::Keys) {
            out.push_back(Special(kind));
        } else {
            unsigned mods;
            uint8_t vk;
            if (ByteKey(b, mods, vk))
                out.push_back(Combo(mods, vk));
        }
        i += took;
    }
    pending_.erase(0, i);
    return out;
}

ProtocolAnswer ParseProtocolAnswer(std::string_view bytes, std::string& rest) {
    rest.clear();
    bool flags = false, attributes = false;
    for (size_t i = 0; i < bytes.size();) {
        if (bytes.compare(i, 3, "\x1b[?") == 0) {
            size_t j = i + 3;
            while (j < bytes.size() && ((bytes[j] >= '0' && bytes[j] <= '9') || bytes[j] == ';'))
                ++j;
            if (j >= bytes.size())
                return ProtocolAnswer::Unknown; // cut short: more to come
            if (bytes[j] == 'u')
                flags = true;
            else if (bytes[j] == 'c')
                attributes = true;
            else
                rest.append(bytes.substr(i, j + 1 - i));
            i = j + 1;
            continue;
        }
        rest += bytes[i++];
    }
    if (flags)
        return ProtocolAnswer::Yes;
    return attributes ? ProtocolAnswer::No : ProtocolAnswer::Unknown;
}

// ---------------------------------------------------------------------------
// The terminal's mode
// ---------------------------------------------------------------------------

namespace {

struct termios g_saved_mode;
volatile sig_atomic_t g_raw = 0;
volatile sig_atomic_t g_protocol = 0; // the keyboard protocol was asked for
volatile sig_atomic_t g_resized = 0;
int g_screen_fd = 1; // where the screen is drawn

const char kEnterScreen[] = "\x1b[?1049h\x1b[?25l";
const char kLeaveScreen[] = "\x1b[?25h\x1b[?1049l";
const char kProtocolQuery[] = "\x1b[?u\x1b[c";
// Disambiguate (1), report event types (2), report all keys as escape codes (8).
const char kProtocolPush[] = "\x1b[>11u";
const char kProtocolPop[] = "\x1b[<u";

// Writes all of `s` to `fd`; safe in a signal handler.
void WriteAll(int fd, const char* s, size_t n) {
    while (n > 0) {
        ssize_t r = ::write(fd, s, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        s += r;
        n -= (size_t)r;
    }
}

// Puts the terminal back as it was; safe in a signal handler.
void RestoreTerminal() {
    if (!g_raw)
        return;
    g_raw = 0;
    if (g_protocol) {
        g_protocol = 0;
        WriteAll(g_screen_fd, kProtocolPop, sizeof kProtocolPop - 1);
    }
    tcsetattr(0, TCSAFLUSH, &g_saved_mode);
    WriteAll(g_screen_fd, kLeaveScreen, sizeof kLeaveScreen - 1);
}

void OnResize(int) {
    g_resized = 1;
}

// Raw mode and the alternate screen for the life of the object.
class RawTerminal {
  public:
    explicit RawTerminal(int screen_fd) {
        g_screen_fd = screen_fd;
        if (tcgetattr(0, &g_saved_mode) != 0)
            return;
        static bool registered = false;
        if (!registered) {
            std::atexit(RestoreTerminal);
            registered = true;
        }
        struct sigaction sa = {};
        sa.sa_handler = OnResize; // no SA_RESTART: the wait in poll(2) ends
        sigaction(SIGWINCH, &sa, nullptr);
        struct termios raw = g_saved_mode;
        raw.c_iflag &= ~(tcflag_t)(IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP | INPCK);
        raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        g_raw = 1;
        tcsetattr(0, TCSAFLUSH, &raw);
        WriteAll(g_screen_fd, kEnterScreen, sizeof kEnterScreen - 1);
    }
    ~RawTerminal() {
        RestoreTerminal();
        std::signal(SIGWINCH, SIG_DFL);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    // Asks the terminal for the keyboard protocol: "CSI ? u" is answered only
    // by a terminal that has it, "CSI c" by every terminal, so the second
    // answer ends the wait (at most 500 ms). Bytes typed meanwhile go to
    // `typed`. True, with the protocol turned on, when the terminal has it.
    bool AskForProtocol(std::string& typed) {
        if (!g_raw)
            return false;
        WriteAll(g_screen_fd, kProtocolQuery, sizeof kProtocolQuery - 1);
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        ProtocolAnswer answer = ProtocolAnswer::Unknown;
        while (answer == ProtocolAnswer::Unknown) {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                           end - std::chrono::steady_clock::now())
                           .count();
            if (left <= 0)
                break;
            struct pollfd pfd = {0, POLLIN, 0};
            if (::poll(&pfd, 1, left) <= 0)
                continue;
            char buf[256];
            ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, (size_t)n);
            answer = ParseProtocolAnswer(got, typed);
        }
        if (answer == ProtocolAnswer::Unknown)
            ParseProtocolAnswer(got, typed);
        if (answer != ProtocolAnswer::Yes)
            return false;
        WriteAll(g_screen_fd, kProtocolPush, sizeof kProtocolPush - 1);
        g_protocol = 1;
        return true;
    }
};

// ---------------------------------------------------------------------------
// The driver
// ---------------------------------------------------------------------------

constexpr size_t kEventLines = 500; // kept for the events pane, which shows what fits
constexpr size_t kPaneLines = 8;    // the pane's height on a terminal of unknown size
constexpr int kTickMs = 100;        // the header's tick is redrawn this often
const char kKeysHelp[] = "Ctrl-X taps \"Exit\"  Ctrl-L taps \"Clear\"  Ctrl-C closes the tool";
const char kPrefixHelp[] = "Ctrl-] then: 1-6 App1-App6, F1-F12 F13-F24, h holds the next key";

// Keys from the terminal, the screen drawn on it.
class TerminalDriver : public RealtimeFrontEnd {
  public:
    TerminalDriver(const Job& job, int screen_fd) : job_(job), screen_fd_(screen_fd) {}

    void Watch(std::vector<pollfd>& fds) override {
        if (!input_ended_)
            fds.push_back({0, POLLIN, 0});
    }
    void Read(device::Device& dev, const std::vector<pollfd>& fds, bool timed_out) override;
    bool Ready(device::Device&, uint64_t&) override { return !actions_.empty(); }
    void Step(device::Device& dev) override;
    void Polled(device::Device&) override {
        if (watch)
            watch->Idle();
    }
    int Paint(device::Device& dev, uint64_t now) override;

    void AddEvent(const std::string& line) {
        events_.push_back(line);
        while (events_.size() > kEventLines)
            events_.pop_front();
    }
    const std::vector<std::string>& LastScreen() const { return last_screen_; }
    // The events the pane showed last.
    std::vector<std::string> Events() const {
        return {events_.end() - (ptrdiff_t)std::min(shown_events_, events_.size()), events_.end()};
    }
    DeviceWatch* watch = nullptr;
    TerminalDecoder decoder;
    void Take(const std::vector<TypedKey>& keys);

  private:
    struct Action {
        enum Kind { Press, Release, Exit, Clear } kind;
        uint8_t vk;
    };
    uint8_t Prefixed(uint8_t vk);
    void TakeCombo(std::vector<uint8_t> keys);
    void TakePress(uint8_t orig, bool repeat);
    void Redraw(device::Device& dev, uint64_t now);

    const Job& job_;
    int screen_fd_;
    std::deque<Action> actions_;
    bool input_ended_ = false;
    std::string status_;
    std::deque<std::string> events_;
    size_t shown_events_ = kPaneLines;
    std::vector<std::string> last_screen_;
    std::string last_frame_;
    bool prefix_ = false;         // Ctrl-] typed: the next key is read as its second half
    bool hold_next_ = false;      // the next key is held down
    std::vector<uint8_t> held_;   // the keys held, in the order they went down
    uint8_t remapped_[256] = {};  // protocol: a key pressed after Ctrl-], for its release
    bool drop_release_[256] = {}; // protocol: a held key's own release goes nowhere
};

// The key after Ctrl-]: 1-6 are App1-App6, F1-F12 are F13-F24, h holds the
// next key (0: nothing to press).
uint8_t TerminalDriver::Prefixed(uint8_t vk) {
    prefix_ = false;
    if (vk >= '1' && vk <= '6')
        return (uint8_t)(0xC1 + (vk - '1'));
    if (vk >= VK_F1 && vk < VK_F1 + 12)
        return (uint8_t)(vk + 12);
    if (vk == 'H') {
        hold_next_ = true;
        return 0;
    }
    return vk;
}

// A combination typed without the keyboard protocol: pressed and released at
// once, or held after Ctrl-] h until typed again.
void TerminalDriver::TakeCombo(std::vector<uint8_t> keys) {
    if (prefix_ && !keys.empty()) {
        uint8_t vk = Prefixed(keys.back());
        if (!vk)
            return;
        keys.back() = vk;
    }
    if (!held_.empty() && keys == held_) { // typed again: let go
        for (size_t i = held_.size(); i-- > 0;)
            actions_.push_back({Action::Release, held_[i]});
        held_.clear();
        return;
    }
    for (uint8_t vk : keys)
        actions_.push_back({Action::Press, vk});
    if (hold_next_) {
        hold_next_ = false;
        held_ = keys;
        return;
    }
    for (size_t i = keys.size(); i-- > 0;)
        actions_.push_back({Action::Release, keys[i]});
}

// A press or repeat of the keyboard protocol, after Ctrl-] read as its second
// half; a held key pressed again goes up.
void TerminalDriver::TakePress(uint8_t orig, bool repeat) {
    uint8_t vk = orig;
    if (prefix_ && !repeat && keys::ModifierOfKey(orig) == 0) {
        vk = Prefixed(orig);
        if (!vk) { // the h of Ctrl-] h: its release goes nowhere either
            drop_release_[orig] = true;
            return;
        }
        remapped_[orig] = vk;
    } else if (remapped_[orig]) {
        vk = remapped_[orig];
    }
    if (!repeat && drop_release_[vk] && !held_.empty() &&
        std::find(held_.begin(), held_.end(), vk) != held_.end()) {
        // A held key pressed again: it goes up now; this press's own
        // release goes nowhere.
        held_.erase(std::find(held_.begin(), held_.end(), vk));
        actions_.push_back({Action::Release, vk});
        return;
    }
    actions_.push_back({Action::Press, vk});
    if (hold_next_ && !repeat) {
        hold_next_ = false;
        held_.push_back(vk);
        drop_release_[orig] = true;
    }
}

void TerminalDriver::Take(const std::vector<TypedKey>& keys) {
    for (const TypedKey& k : keys) {
        switch (k.kind) {
        case TypedKey::Keys:
            TakeCombo(k.keys);
            break;
        case TypedKey::Press:
            TakePress(k.keys[0], k.repeat);
            break;
        case TypedKey::Release: {
            uint8_t orig = k.keys[0];
            uint8_t vk = remapped_[orig] ? remapped_[orig] : orig;
            remapped_[orig] = 0;
            if (drop_release_[orig])
                drop_release_[orig] = false;
            else
                actions_.push_back({Action::Release, vk});
            break;
        }
        case TypedKey::Exit:
        case TypedKey::Clear:
            actions_.push_back({k.kind == TypedKey::Exit ? Action::Exit : Action::Clear, 0});
            break;
        case TypedKey::Leave:
            Close("Ctrl-C");
            break;
        case TypedKey::Prefix:
            prefix_ = true;
            break;
        }
    }
}

// Reads the keys the wait found; a sequence cut short is taken as it stands
// once the terminal has been quiet for a while.
void TerminalDriver::Read(device::Device&, const std::vector<pollfd>& fds, bool timed_out) {
    for (const pollfd& p : fds) {
        if (p.fd != 0 || !p.revents)
            continue;
        char buf[256];
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            return;
        if (n <= 0) {
            Take(decoder.Flush());
            input_ended_ = true; // end of input or an error: the shell closes the tool
            Close("the terminal went away");
            return;
        }
        Take(decoder.Feed(std::string_view(buf, (size_t)n)));
        return;
    }
    if (timed_out && decoder.Pending())
        Take(decoder.Flush());
}

// Draws the screen (all of it after a resize); a sequence cut short is
// looked at again in 30 ms, the header's tick in kTickMs.
int TerminalDriver::Paint(device::Device& dev, uint64_t now) {
    if (g_resized) {
        g_resized = 0;
        last_frame_.clear();
        WriteAll(screen_fd_, "\x1b[2J", 4);
    }
    Redraw(dev, now);
    return decoder.Pending() ? 30 : kTickMs;
}

void TerminalDriver::Step(device::Device& dev) {
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
        if (dev.TapButton(caption)) {
            status_.clear();
            if (watch)
                watch->MenuTap(caption);
        } else {
            status_ = "No menu-bar button \"" + device::Narrow(caption) +
                      "\" on this device; Ctrl-C closes the tool.";
        }
        break;
    }
    }
}

// The width of a UTF-8 line in characters.
size_t Columns(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

// A UTF-8 line cut to `cols` characters.
std::string CutTo(const std::string& s, size_t cols) {
    size_t n = 0, i = 0;
    for (; i < s.size(); ++i)
        if (((unsigned char)s[i] & 0xC0) != 0x80 && n++ == cols)
            break;
    return s.substr(0, i);
}

// `text` broken into lines of at most `cols` characters at blanks (a word
// longer than a line is cut).
std::vector<std::string> WordWrap(const std::string& text, size_t cols) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t pos = 0; pos <= text.size();) {
        size_t end = std::min(text.find(' ', pos), text.size());
        std::string word = text.substr(pos, end - pos);
        pos = end + 1;
        if (word.empty())
            continue;
        if (!line.empty() && Columns(line) + 1 + Columns(word) > cols) {
            lines.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        while (Columns(line) > cols) { // a word longer than a line
            std::string head = CutTo(line, cols);
            lines.push_back(head);
            line.erase(0, head.size());
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

void TerminalDriver::Redraw(device::Device& dev, uint64_t now) {
    ScreenView view = DrawScreen(dev);
    std::vector<std::string> lines;
    // The tick goes on with the host's clock while the device waits for input.
    const DWORD tick = dev.Tick() + (DWORD)(now > dev.Now() ? now - dev.Now() : 0);
    lines.push_back("tapwatcher-sim: device " + job_.profile_name + ", " +
                    device::Narrow(dev.profile().exe) + ", tick " + TickText(tick));
    for (const std::string& l : view.lines)
        lines.push_back(l);
    lines.push_back(view.summary);
    std::string mode = decoder.protocol ? "releases: real" : "releases: made up at press";
    if (prefix_)
        mode += "  Ctrl-]: 1-6 App1-App6, F1-F12 F13-F24, h hold";
    else if (hold_next_)
        mode += "  hold: the next key stays down";
    if (!held_.empty()) {
        mode += "  held:";
        for (uint8_t vk : held_)
            mode += " " + keys::KeyName(vk);
        mode += " (type it again to let go)";
    }
    lines.push_back(mode);
    lines.push_back(kKeysHelp);
    lines.push_back(kPrefixHelp);
    lines.push_back(status_);
    lines.push_back("Events:");

    // The terminal's size: the device's screen must fit, or it says so; the
    // events pane takes the rows left.
    size_t cols = 0, rows = 0;
    struct winsize ws;
    if (ioctl(screen_fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        cols = ws.ws_col;
        rows = ws.ws_row;
    }
    shown_events_ = std::min(events_.size(), !rows                     ? kPaneLines
                                             : rows > lines.size() + 1 ? rows - lines.size() - 1
                                                                       : 0);
    for (size_t e = events_.size() - shown_events_; e < events_.size(); ++e)
        lines.push_back(" " + events_[e]);
    size_t need_cols = 0;
    for (const std::string& l : view.lines)
        need_cols = std::max(need_cols, Columns(l));
    const size_t need_rows = view.lines.size() + 6; // title, summary, status, help lines
    std::string frame = "\x1b[H";
    if (cols && (cols < need_cols || rows < need_rows)) {
        std::vector<std::string> words =
            WordWrap("Terminal too small: the device's screen needs " + std::to_string(need_cols) +
                         "x" + std::to_string(need_rows) + " characters, this terminal has " +
                         std::to_string(cols) + "x" + std::to_string(rows) +
                         ". Enlarge it; Ctrl-C closes the tool.",
                     cols);
        for (size_t k = 0; k < words.size() && k + 1 < rows; ++k)
            frame += words[k] + "\x1b[K\r\n";
        frame += "\x1b[J";
    } else {
        size_t shown = 0;
        for (const std::string& l : lines) {
            if (rows && shown + 1 >= rows)
                break;
            frame += (cols ? CutTo(l, cols) : l) + "\x1b[K\r\n";
            ++shown;
        }
        frame += "\x1b[J";
    }
    last_screen_ = view.lines;
    last_screen_.push_back(view.summary);
    if (frame == last_frame_)
        return;
    last_frame_ = frame;
    WriteAll(screen_fd_, frame.data(), frame.size());
}

} // namespace

int RunInteractive(const Job& job, std::ostream& out, std::ostream& errors, bool out_is_terminal,
                   Format format) {
    // The screen goes where a person sees it: standard output when that is
    // the terminal, else the controlling terminal, and the transcript to
    // standard output.
    int screen_fd = 1;
    if (!out_is_terminal) {
        screen_fd = ::open("/dev/tty", O_WRONLY | O_CLOEXEC);
        if (screen_fd < 0) {
            errors << kProgram << ": no terminal to draw the screen on: " << std::strerror(errno)
                   << std::endl;
            return kExitBadInput;
        }
    }
    Realtime loop({0, true, RestoreTerminal});
    device::Device dev(job.profile);
    TerminalDriver driver(job, screen_fd);
    Transcript t(out_is_terminal ? nullptr : &out, format);
    t.on_line = [&driver](const std::string& line) { driver.AddEvent(line); };
    DeviceWatch watch(dev, job, t);
    driver.watch = &watch;
    std::string error;
    if (!PrepareDevice(dev, job, t, error)) {
        errors << error << std::endl;
        if (screen_fd != 1)
            ::close(screen_fd);
        return kExitBadInput;
    }
    int status;
    std::string stalled;
    {
        RawTerminal raw(screen_fd);
        std::string typed;
        driver.decoder.protocol = raw.AskForProtocol(typed);
        driver.Take(driver.decoder.Feed(typed));
        status = loop.Run(dev, driver, t, stalled);
    }
    watch.Sync();
    if (screen_fd != 1)
        ::close(screen_fd);
    if (!stalled.empty()) {
        t.Event(dev.Tick(), "stalled", "stalled: " + stalled, {{"why", stalled}});
        t.Flush();
        errors << kProgram << ": the tool stopped making progress: " << stalled << std::endl;
        return status;
    }
    const int code = status;
    if (watch.HostFault())
        status = kExitHost;
    if (out_is_terminal) {
        for (const std::string& l : driver.LastScreen())
            out << l << '\n';
        for (const std::string& e : driver.Events())
            out << e << '\n';
        out << TickText(dev.Tick()) << " exit " << status << std::endl;
    } else {
        t.Event(dev.Tick(), "exit", "exit " + std::to_string(status),
                {{"status", status}, {"tool_code", code}});
        if (!t.Flush()) {
            errors << kProgram << ": cannot write the transcript: " << std::strerror(errno)
                   << std::endl;
            return kExitHost;
        }
    }
    return status;
}

} // namespace runner
