// device.h - the simulated Windows CE device: its state and its drivers.
//
// One Device is "the machine" that every platform call of platform.h goes to
// (Device::current()). It owns the virtual clock, the windows and the message
// queue, the timers, the device-wide hot-key table and keyboard, the files
// under a host folder, and the records that tests and the runner read back:
// the journal of calls, the keys that reached the rest of the system, and the
// message boxes shown.
//
// What it does not model (gap inventory; the keyboard's is in keyboard.h):
//  - more than one thread or process running at a time: other programs exist
//    only as windows and hot-key registrations made from the device profile;
//  - painting, the mouse (a menu-bar tap is the only pointer input), focus
//    changes beyond recording SetFocus, window activation and z-order.
#pragma once

#include "platform/platform.h"
#include "device/journal.h"
#include "device/keyboard.h"
#include "device/resources.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace device {

class ListView;
class MenuBar;
class FileSystem;

// A combination held by another program, from the device profile.
struct TakenCombo {
    uint8_t vk;
    uint8_t mods; // modifier set, MOD_ALT | MOD_CONTROL | MOD_SHIFT
};

// Everything a device is booted from. The runner fills it from a profile file;
// tests set the fields they need.
struct Profile {
    std::u16string platform = u"PocketPC"; // SPI_GETPLATFORMTYPE text
    bool platform_query_fails = false;     // "platform = none"
    int dpi = 96;
    int screen_w = 240;
    int screen_h = 320;
    int taskbar = 26;
    int menubar = 26; // height in pixels; < 0: no menu bar can be made
    bool commctrl = true;
    uint32_t start_tick = 0;
    std::u16string exe; // the tool's own path on the device
    std::vector<TakenCombo> taken;
    // Another instance of the tool already runs: a window of this class and
    // title exists before the tool starts.
    bool running_instance = false;
    std::u16string instance_class, instance_title;
    std::vector<std::u16string> read_only; // device paths
    int64_t disk_free = -1;                // bytes; < 0: unlimited
    std::string root;                      // host folder holding the device's files
    // Where a WM_HOTKEY goes in the queue: in front of every message already
    // waiting (the Windows CE reference), or behind them (Wine).
    enum class HotKeyQueue { Top, Back } hotkey_queue = HotKeyQueue::Top;
    // Whether keybd_event keys meet the hot-key table like keys the user
    // presses, or go straight to the rest of the system.
    enum class SynthesisedKeys { HotKeys, System } synthesised_keys = SynthesisedKeys::HotKeys;
    uint32_t register_cost_us = 0; // device time each RegisterHotKey call takes
    // Whether a modifier key's press meets the hot-key table (Ctrl going down
    // fires a hot key held for Ctrl with Ctrl), or goes straight to the rest
    // of the system.
    bool modifier_hot_keys = true;
};

// The built-in Pocket PC device: 240x320, 96 dpi, "PocketPC", 26-pixel taskbar
// and menu bar, the hardware buttons held by the shell, hot-key messages at
// the top of the queue and synthesised keys meeting the hot keys. What the
// device runs (exe, the running instance's window) is the runner's to say.
Profile BuiltinProfile();

// The profile words of the two queue and key settings, as profiles write them.
const char* HotKeyQueueName(Profile::HotKeyQueue q);         // "top", "back"
const char* SynthesisedKeysName(Profile::SynthesisedKeys s); // "hot-keys", "system"

// Faults a test can provoke beyond what a profile says.
struct Faults {
    bool no_module_name = false;           // GetModuleFileNameW returns 0
    bool register_class_fails = false;     // RegisterClassW returns 0
    bool create_main_window_fails = false; // CreateWindowExW of a top-level window returns NULL
    bool client_rect_fails = false;        // GetClientRect fails
    DWORD listview_ex_style = 0;           // extended styles a new list view reports
    // RegisterHotKey fails (1409) when this returns true for the call.
    std::function<bool(HWND hwnd, int id, UINT mods, UINT vk)> refuse_register;
    // WriteFile fails (112) for the n-th write (1-based) when this returns true.
    std::function<bool(int nth_write)> fail_write;
    // The narrow code page is double-byte, as on East Asian devices: wcstombs
    // writes each unit above 0x7F as two bytes and never splits one.
    bool double_byte_narrow = false;
};

struct MessageBoxRecord {
    uint64_t time;
    HWND owner;
    std::u16string text;
    std::u16string caption;
    UINT type;
};

enum class WindowKind { App, ListView, MenuBar, Foreign };

struct Window {
    HWND handle = nullptr;
    int pid = 0;
    WindowKind kind = WindowKind::App;
    std::u16string cls;
    std::u16string title;
    WNDPROC proc = nullptr; // App windows
    HWND parent = nullptr;
    HWND owner = nullptr; // the menu bar's owner window
    DWORD style = 0;
    DWORD exstyle = 0;
    int child_id = 0;
    HINSTANCE instance = nullptr;
    RECT rect{}; // top-level: screen; child: parent's client coordinates
    bool alive = true;
    bool destroying = false;
    std::unique_ptr<ListView> listview;
    std::unique_ptr<MenuBar> menubar;
    Window();
    ~Window();
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    uint32_t period;
    uint64_t due;
    uint64_t ordinal; // arm order, breaks ties between equal due times
};

// What drives the device when the tool waits for input: a script, a scenario
// file or the terminal.
class Driver {
  public:
    enum class Next {
        Step, // a step is due at `at`
        None, // nothing before the next timer (only when a timer is pending)
        End,  // no more input will come; it ended at `at`
    };
    virtual ~Driver() = default;
    // The device is idle at dev.Now(); `timer_due` is when its earliest timer
    // falls due (UINT64_MAX when none).
    virtual Next Poll(class Device& dev, uint64_t timer_due, uint64_t& at) = 0;
    // Run the step that is due now; the device's clock stands at its time.
    virtual void Step(class Device& dev) = 0;
};

// Where the device's time comes from when it is not the virtual clock that
// drivers move: a real clock.
class ClockSource {
  public:
    virtual ~ClockSource() = default;
    // Milliseconds since the device started.
    virtual uint64_t ElapsedMs() = 0;
};

// What listens to the device: one method per kind of event, each doing
// nothing unless overridden. Any number may listen (Device::AddObserver); each
// event goes to them in the order they were added.
class Observer {
  public:
    virtual ~Observer() = default;
    // A key event reached the rest of the system.
    virtual void OnSystemKey(const SystemKey& k) {}
    virtual void OnMessageBox(const MessageBoxRecord& box) {}
    // A file written to was closed.
    virtual void OnFileWritten(const std::string& host_path) {}
    // A key event a hot key took: the key, press or release, whether a
    // program synthesised it, and the hot key (its owner included).
    virtual void OnKeyTaken(uint8_t vk, bool down, bool synthesized, const HotKey& hk) {}
    // A list view handled a message that changes its rows (LVM_INSERTITEMW,
    // LVM_DELETEALLITEMS); `result` is what the message returned.
    virtual void OnListChange(const Window& w, UINT msg, LRESULT result) {}
    // A host call under the device's files failed for a reason of the host's
    // own (a read-only mount, a full host disk, a symbolic link: ELOOP), not
    // a limit the profile set: what failed ("write", "open", "replace"), the
    // host's errno, and how many calls failed so (the writes of one handle
    // are told once, when it is closed).
    virtual void OnHostError(const std::string& what, const std::string& host_path, int host_errno,
                             int count) {}
};

// Raised when the tool can make no progress: input has ended, the shell's
// close request was handled, and the tool neither quits nor has timers.
struct Stalled : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Device {
  public:
    explicit Device(Profile profile);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // The device that platform calls go to (the most recently made one that
    // still exists).
    static Device& Current() {
        if (!current_) [[unlikely]]
            NoDevice();
        return *current_;
    }

    const Profile& profile() const { return profile_; }
    Faults faults;

    // --- clock ---
    uint64_t Now() const { return now_; } // ms since boot
    DWORD Tick() const { return (DWORD)(profile_.start_tick + now_); }
    // Moves the clock forward without running anything (drivers use it).
    void AdvanceTo(uint64_t t);
    // A real clock instead of the virtual one (NULL: virtual); the device reads
    // it whenever it looks at the time (GetTickCount, GetMessageW).
    void SetClockSource(ClockSource* clock) {
        clock_ = clock;
        SyncClock();
    }
    // Moves the clock to the clock source's time; nothing without a source.
    void SyncClock() {
        if (clock_) [[unlikely]]
            AdvanceTo(clock_->ElapsedMs());
    }

    // --- processes ---
    // Starts the tool's process: its windows, classes and registrations are
    // its own; ends with EndProcess, which frees what is left of them.
    HINSTANCE BeginProcess(const ModuleResources* resources);
    void EndProcess(int exit_code);
    int CurrentPid() const { return pid_; }
    const ModuleResources* Resources() const { return resources_; }
    std::optional<int> exit_code;

    // --- input ---
    void SetDriver(Driver* d) { driver_ = d; }
    void KeyDown(uint8_t vk, bool synthesized = false);
    void KeyUp(uint8_t vk, bool synthesized = false);
    // A key from keybd_event: through the hot-key table like a key the user
    // presses, or straight to the rest of the system, as the profile says.
    void Synthesise(uint8_t vk, bool down);
    uint8_t ModsHeld() const;
    // The host's keyboard and hot-key table instead of the device's own (NULL:
    // the device's own). Set it before the tool registers anything.
    void SetKeyboardHost(KeyboardHost* host) { keyboard_ = host ? host : &own_keyboard_; }
    // A key event from the keyboard host, routed as KeyDown/KeyUp route one;
    // `mods` is the modifier set held once the event has happened (a modifier
    // key counts itself while it is down).
    void HostKeyEvent(uint8_t vk, bool down, uint8_t mods);
    // Taps the menu-bar button with this caption; false when none shows it.
    bool TapButton(std::u16string_view caption);
    // The shell asks the tool's main window to close.
    bool RequestClose();
    // The tool's first top-level window still alive, or NULL.
    HWND MainWindow() const;

    // --- windows ---
    Window* Find(HWND h);
    const Window* Find(HWND h) const;
    std::vector<Window*> Windows(); // alive, in creation order
    HWND CreateForeignWindow(std::u16string cls, std::u16string title);
    HWND ForegroundWindow() const { return foreground_; }
    bool ForegroundLowBitSet() const { return foreground_low_bit_; }

    // --- hot keys ---
    const std::vector<HotKey>& HotKeys() const { return hotkeys_.All(); }

    // --- timers ---
    const std::vector<Timer>& Timers() const { return timers_; }
    uint64_t NextTimerDue() const;

    // --- records ---
    bool journal_on = false;
    std::vector<JournalEntry> journal;
    // The journal point: every entry passes here. An entry is opened before
    // the call runs, so that what the call causes follows it, and closed with
    // the result. `render` writes the arguments; it runs only while the
    // journal is on (Open then returns SIZE_MAX, and Close does nothing).
    template <class Render> size_t JournalOpen(const char* what, HWND h, Render&& render) {
        if (!journal_on)
            return SIZE_MAX;
        JournalArgs args(*this);
        render(args);
        return Open(what, h, std::move(args.text));
    }
    void JournalClose(size_t at, int64_t result, std::string shown);
    // The name the journal gives a window: "<class>", "<class>|1" for a
    // handle with its low bit set, NULL, or the handle in hexadecimal.
    std::string WindowName(HWND h) const;
    // The device whose journal is on, or NULL: for the text routines, which
    // also run where no device exists.
    static Device* Journaling() { return current_ && current_->journal_on ? current_ : nullptr; }
    // The current device, or NULL where none exists (the text routines).
    static Device* Running() { return current_; }
    bool record_system_keys = true;
    std::vector<SystemKey> system_keys;
    std::vector<MessageBoxRecord> message_boxes;
    // Listeners, told of events in the order they were added; an observer
    // stays listening until it is removed.
    void AddObserver(Observer* o) { observers_.push_back(o); }
    void RemoveObserver(Observer* o);
    // Tells every observer: f(observer).
    template <class F> void Notify(F&& f) {
        for (size_t i = 0; i < observers_.size(); ++i)
            f(*observers_[i]);
    }

    FileSystem& Files() { return *files_; }

    DWORD last_error = 0;

    // --- implementation of the platform calls (platform.cpp calls these) ---
    HWND FindWindow(LPCWSTR cls, LPCWSTR title);
    BOOL SetForeground(HWND h);
    ATOM RegisterClass(const WNDCLASSW* wc);
    HWND CreateWindowEx(DWORD exstyle, LPCWSTR cls, LPCWSTR title, DWORD style, int x, int y, int w,
                        int h, HWND parent, HMENU menu, HINSTANCE inst, LPVOID param);
    BOOL DestroyWindow(HWND h);
    LRESULT Send(HWND h, UINT msg, WPARAM wp, LPARAM lp);
    BOOL Post(HWND h, UINT msg, WPARAM wp, LPARAM lp);
    BOOL GetMessage(LPMSG msg);
    LRESULT Dispatch(const MSG* msg);
    // The WM_HOTKEY being dispatched when a synthesised key made it (the
    // tool's own key coming back to it), else NULL.
    const MSG* SynthesisedHotKeyInHand() const { return synthesised_in_hand_; }
    void PostQuit(int code);
    LRESULT DefProc(HWND h, UINT msg, WPARAM wp, LPARAM lp);
    BOOL GetClientRect(HWND h, LPRECT rc);
    BOOL GetWindowRect(HWND h, LPRECT rc);
    BOOL MoveWindow(HWND h, int x, int y, int w, int hgt, BOOL repaint);
    HWND SetFocus(HWND h);
    BOOL ShowWindow(HWND h, int cmd);
    BOOL RegisterHotKey(HWND h, int id, UINT mods, UINT vk);
    BOOL UnregisterHotKey(HWND h, int id);
    UINT_PTR SetTimer(HWND h, UINT_PTR id, UINT elapse);
    BOOL KillTimer(HWND h, UINT_PTR id);
    int MessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
    BOOL InitCommonControls(const INITCOMMONCONTROLSEX* icc);
    BOOL CreateMenuBar(SHMENUBARINFO* mbi);
    HWND FindMenuBar(HWND h);
    // Messages the device sends on its own, journalled as such.
    void SendSize(HWND h, int w, int hgt);
    void SendCommand(HWND owner, UINT command, HWND bar);

    // Device time that passes inside one call: `us` microseconds, carried
    // over to the millisecond clock as they add up.
    void Spend(uint32_t us);

  private:
    [[noreturn]] static void NoDevice();
    size_t Open(const char* what, HWND h, std::string args);
    // A journal entry for something the device does on its own: a message it
    // sends to a window procedure, or a hot key it frees.
    template <class Render> void Note(const char* what, HWND h, Render&& render) {
        JournalClose(JournalOpen(what, h, render), 0, "");
    }
    void PostHotKey(HWND owner, int id, LPARAM lp, bool synthesized);
    Window* NewWindow();
    void DestroyTree(Window& w);
    void FreeWindowResources(HWND h);
    void RemoveHotKey(size_t i);
    void Deliver(uint8_t vk, bool down, bool synthesized, uint8_t mods);
    void Press(uint8_t vk, uint8_t mods, bool synthesized);
    void Release(uint8_t vk, bool was_down, uint8_t mods, bool synthesized);
    bool MakeTimerMessage(LPMSG msg, uint64_t upto);

    Profile profile_;
    uint64_t now_ = 0;
    int pid_ = 0;
    int next_pid_ = 1;
    const ModuleResources* resources_ = nullptr;
    Driver* driver_ = nullptr;
    ClockSource* clock_ = nullptr;
    bool input_ended_ = false;
    uint64_t input_end_at_ = 0;
    bool close_sent_ = false;
    int idle_after_close_ = 0;

    std::vector<std::unique_ptr<Window>> windows_; // index = handle slot
    struct Class {
        std::u16string name;
        WNDCLASSW wc;
        int pid;
    };
    std::vector<Class> classes_;
    bool listview_class_ = false;

    // A message waiting, marked when a synthesised key made it.
    struct Queued {
        MSG msg;
        bool synthesized = false;
    };
    std::deque<Queued> queue_;
    Queued retrieved_{};                       // the last message GetMessage gave out
    const MSG* synthesised_in_hand_ = nullptr; // see SynthesisedHotKeyInHand
    bool quit_ = false;
    int quit_code_ = 0;

    std::vector<Timer> timers_;
    uint64_t timer_ordinal_ = 0;

    HotKeyTable hotkeys_;
    KeyState keys_;
    OwnKeyboard own_keyboard_{keys_};
    KeyboardHost* keyboard_ = &own_keyboard_; // never NULL
    // Whether a hot key took the last press of each key, and which one.
    bool taken_by_[256] = {};
    HotKey taken_key_[256] = {};
    std::vector<Observer*> observers_;

    uint32_t spent_us_ = 0; // microseconds spent not yet on the millisecond clock

    HWND foreground_ = nullptr;
    bool foreground_low_bit_ = false;
    HWND focus_ = nullptr;

    std::unique_ptr<FileSystem> files_;
    static Device* current_;
};

// JournalCall: the journal entry of one platform call, opened when the call is
// made (with every argument) and closed with its result by one of the Return
// functions, which hand the result back to the caller.
class JournalCall {
  public:
    template <class Render>
    JournalCall(Device& dev, const char* what, HWND h, Render&& render)
        : dev_(dev), at_(dev.JournalOpen(what, h, render)) {}
    JournalCall(const JournalCall&) = delete;
    JournalCall& operator=(const JournalCall&) = delete;

    bool On() const { return at_ != SIZE_MAX; }
    // Names the window the entry is about once it is known (a new window).
    void SetWindow(HWND h) {
        if (On())
            dev_.journal[at_].hwnd = h;
    }
    // A number, shown in decimal.
    int64_t Return(int64_t r) {
        if (On())
            dev_.JournalClose(at_, r, std::to_string(r));
        return r;
    }
    // A handle, flags or an atom, shown in hexadecimal (NULL for 0).
    uint64_t ReturnHex(uint64_t r);
    // A window, shown by its class.
    HWND ReturnWnd(HWND h);
    // A result with its own text.
    int64_t ReturnShown(int64_t r, std::string shown) {
        if (On())
            dev_.JournalClose(at_, r, std::move(shown));
        return r;
    }
    // Nothing (a void call).
    void ReturnVoid() {
        if (On())
            dev_.JournalClose(at_, 0, "");
    }

  private:
    Device& dev_;
    size_t at_;
};

// Handle values: even numbers from 0x10000, so that "handle | 1" is a
// different value that still names the same window (the Windows CE idiom).
inline HWND HandleFromSlot(size_t slot) {
    return (HWND)(uintptr_t)(0x10000 + 4 * slot);
}

std::string Narrow(std::u16string_view s); // device text to UTF-8 for printing
std::u16string Widen(std::string_view s);  // ASCII/UTF-8 to device text

// True when two texts (device text or host bytes) are equal but for ASCII case.
template <class C> bool SameNoCase(std::basic_string_view<C> a, std::basic_string_view<C> b) {
    auto fold = [](C c) { return (c >= C('a') && c <= C('z')) ? C(c - 32) : c; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

} // namespace device
