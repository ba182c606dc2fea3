// device.cpp - windows, the message queue, timers, hot keys and the keyboard of
// the simulated Windows CE device.
//
// Choices where real platforms disagree or are silent:
//  - hot-key conflicts are decided by (key, modifier bits & 0xF), Wine's rule;
//    MOD_KEYUP does not take part. The same window and id with a free
//    combination replaces the old combination (Windows CE, Wine).
//  - WM_HOTKEY goes in front of every message already waiting, earlier hot-key
//    messages included (profile "hotkey-queue = top", the built-in), as the
//    Windows CE reference for WM_HOTKEY says: "The message is placed at the
//    top of the message queue associated with the thread that registered the
//    hot key." Two hot-key messages made during one handler are therefore
//    retrieved last first. "hotkey-queue = back" keeps them in order behind
//    the posted messages, as Wine does. A WM_HOTKEY that a program posts with
//    PostMessageW is an ordinary posted message either way.
//  - keys from keybd_event meet the hot-key table like keys the user presses
//    (profile "synthesised-keys = hot-keys", the built-in), as on Windows and
//    Wine; the Windows CE reference says only "When a key is pressed, the
//    system looks for a match against all hot keys" and never names injected
//    keys. "synthesised-keys = system" sends them straight to the rest of the
//    system: they neither meet the hot-key table nor change the key state a
//    later key of the user's is matched with, so the user's own release of a
//    held modifier is the one a hot key reports, when the user lets go.
//  - "register-cost = MICROSECONDS" makes each RegisterHotKey call of the
//    tool take that much device time (default 0), as on a slow device.
//  - a timer of period P armed at t falls due at t+P; 1 ms is not raised to
//    the desktop's 10 ms minimum; a period of 0 counts as 1 ms.
//  - WM_SIZE is sent inside CreateWindowExW, after WM_CREATE (as Wine does),
//    and by MoveWindow when the size changes.
//  - DestroyWindow sends WM_DESTROY to the window, then to its children in
//    creation order; the menu bar a window owns is destroyed after them.
//  - FindWindowW compares class and title exactly, unit by unit.
//  - keybd_event ignores key codes 0 and 255 (Windows CE accepts 1 to 254).
//  - MessageBoxW is answered OK at once; no time passes and no message is
//    dispatched while it "shows".
//  - SPI_GETPLATFORMTYPE takes its size argument as a count of characters.
//  - a process that ends has its windows, timers, hot keys and classes freed
//    without any message.
//  - with a keyboard host (KeyboardHost), the device still decides which of
//    its hot keys takes a press and its release; the host only says who else
//    holds a combination, which modifiers are held, and carries the keys that
//    reach the rest of the system. A synthesised release that a hot key of
//    the device takes is not sent to the host, so a modifier the user holds
//    stays held there. The host claims a combination before a replacement
//    gives the old one up, so a refused replacement keeps the old one.
//
// Not modelled: see device.h.
#include "device/device.h"

#include "device/files.h"
#include "device/listview.h"
#include "device/menubar.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace device {

Device* Device::current_ = nullptr;
static std::vector<Device*> g_devices;

Window::Window() = default;
Window::~Window() = default;

Profile BuiltinProfile() {
    Profile p;
    // The application buttons of a Pocket PC (VK_APP1..VK_APP4 = 0xC1..0xC4)
    // and the Talk/End keys (F3/F4) are held by the shell in every modifier set.
    for (uint8_t vk : {0xC1, 0xC2, 0xC3, 0xC4, 0x72, 0x73})
        for (uint8_t m = 0; m < 8; ++m)
            p.taken.push_back({vk, m});
    return p;
}

const char* HotKeyQueueName(Profile::HotKeyQueue q) {
    return q == Profile::HotKeyQueue::Top ? "top" : "back";
}

const char* SynthesisedKeysName(Profile::SynthesisedKeys s) {
    return s == Profile::SynthesisedKeys::HotKeys ? "hot-keys" : "system";
}

Device::Device(Profile profile) : profile_(std::move(profile)) {
    combo_index_.assign(16 * 256, 0);
    files_ =
        std::make_unique<FileSystem>(*this, profile_.root, profile_.read_only, profile_.disk_free);
    g_devices.push_back(this);
    current_ = this;
    // Other programs: the shell, holding the profile's taken combinations.
    if (!profile_.taken.empty()) {
        HWND shell = CreateForeignWindow(u"ShellHotKeys", u"");
        int id = 0xC000;
        for (const TakenCombo& t : profile_.taken)
            RegisterHotKey(shell, id++, t.mods, t.vk);
    }
    if (profile_.running_instance)
        CreateForeignWindow(u"TapwatcherWndClass", u"Tapwatcher");
    last_error = 0;
}

Device::~Device() {
    g_devices.erase(std::remove(g_devices.begin(), g_devices.end(), this), g_devices.end());
    current_ = g_devices.empty() ? nullptr : g_devices.back();
}

void Device::NoDevice() {
    std::fprintf(stderr, "platform call with no simulated device running\n");
    std::abort();
}

void Device::AdvanceTo(uint64_t t) {
    now_ = std::max(now_, t);
}

void Device::Spend(uint32_t us) {
    spent_us_ += us;
    now_ += spent_us_ / 1000;
    spent_us_ %= 1000;
}

// ---------------------------------------------------------------------------
// Processes
// ---------------------------------------------------------------------------

HINSTANCE Device::BeginProcess(const ModuleResources* resources) {
    pid_ = next_pid_++;
    resources_ = resources;
    queue_.clear();
    quit_ = false;
    quit_code_ = 0;
    input_ended_ = false;
    close_sent_ = false;
    idle_after_close_ = 0;
    exit_code.reset();
    return (HINSTANCE)(uintptr_t)0x00400000;
}

void Device::EndProcess(int code) {
    exit_code = code;
    for (auto& w : windows_)
        if (w && w->alive && w->pid == pid_) {
            FreeWindowResources(w->handle);
            w->alive = false;
            w->listview.reset();
            w->menubar.reset();
        }
    classes_.erase(std::remove_if(classes_.begin(), classes_.end(),
                                  [&](const Class& c) { return c.pid == pid_; }),
                   classes_.end());
    queue_.clear();
    quit_ = false;
    pid_ = 0;
    resources_ = nullptr;
}

// ---------------------------------------------------------------------------
// Windows
// ---------------------------------------------------------------------------

Window* Device::NewWindow() {
    windows_.push_back(std::make_unique<Window>());
    Window* w = windows_.back().get();
    w->handle = HandleFromSlot(windows_.size() - 1);
    w->pid = pid_;
    return w;
}

Window* Device::Find(HWND h) {
    uintptr_t v = (uintptr_t)h;
    if (v < 0x10000 || (v - 0x10000) % 4 != 0)
        return nullptr;
    size_t slot = (v - 0x10000) / 4;
    if (slot >= windows_.size() || !windows_[slot]->alive)
        return nullptr;
    return windows_[slot].get();
}

const Window* Device::Find(HWND h) const {
    return const_cast<Device*>(this)->Find(h);
}

std::vector<Window*> Device::Windows() {
    std::vector<Window*> out;
    for (auto& w : windows_)
        if (w->alive)
            out.push_back(w.get());
    return out;
}

HWND Device::CreateForeignWindow(std::u16string cls, std::u16string title) {
    int saved = pid_;
    pid_ = 0;
    Window* w = NewWindow();
    pid_ = saved;
    w->kind = WindowKind::Foreign;
    w->cls = std::move(cls);
    w->title = std::move(title);
    w->style = WS_VISIBLE;
    w->rect = {0, profile_.taskbar, profile_.screen_w, profile_.screen_h};
    return w->handle;
}

HWND Device::MainWindow() const {
    for (auto& w : windows_)
        if (w->alive && w->pid == pid_ && pid_ != 0 && w->kind == WindowKind::App && !w->parent)
            return w->handle;
    return nullptr;
}

static bool Equal(LPCWSTR a, const std::u16string& b) {
    return a && std::u16string_view(a) == b;
}

HWND Device::FindWindow(LPCWSTR cls, LPCWSTR title) {
    for (auto& w : windows_) {
        if (!w->alive || w->parent || w->kind == WindowKind::MenuBar)
            continue;
        if (cls && !Equal(cls, w->cls))
            continue;
        if (title && !Equal(title, w->title))
            continue;
        return w->handle;
    }
    return nullptr;
}

BOOL Device::SetForeground(HWND h) {
    bool low = ((uintptr_t)h & 1) != 0;
    Window* w = Find((HWND)((uintptr_t)h & ~(uintptr_t)1));
    if (!w || w->parent) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    foreground_ = w->handle;
    foreground_low_bit_ = low;
    return TRUE;
}

ATOM Device::RegisterClass(const WNDCLASSW* wc) {
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) {
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (faults.register_class_fails) {
        last_error = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    for (const Class& c : classes_)
        if (c.pid == pid_ && c.name == wc->lpszClassName) {
            last_error = ERROR_CLASS_ALREADY_EXISTS;
            return 0;
        }
    Class c{wc->lpszClassName, *wc, pid_};
    c.wc.lpszClassName = nullptr; // the name is kept in c.name
    c.wc.lpszMenuName = nullptr;
    classes_.push_back(std::move(c));
    return (ATOM)(0xC000 + classes_.size());
}

HWND Device::CreateWindowEx(DWORD exstyle, LPCWSTR cls, LPCWSTR title, DWORD style, int x, int y,
                            int w, int h, HWND parent, HMENU menu, HINSTANCE inst, LPVOID param) {
    if (!cls) {
        last_error = ERROR_CANNOT_FIND_WND_CLASS;
        return nullptr;
    }
    std::u16string_view name(cls);
    WindowKind kind;
    const Class* app = nullptr;
    if (name == u"SysListView32") {
        if (!listview_class_) {
            last_error = ERROR_CANNOT_FIND_WND_CLASS;
            return nullptr;
        }
        kind = WindowKind::ListView;
    } else {
        for (const Class& c : classes_)
            if (c.pid == pid_ && c.name == name)
                app = &c;
        if (!app) {
            last_error = ERROR_CANNOT_FIND_WND_CLASS;
            return nullptr;
        }
        kind = WindowKind::App;
    }
    Window* pw = nullptr;
    if (style & WS_CHILD) {
        pw = Find(parent);
        if (!pw) {
            last_error = ERROR_INVALID_WINDOW_HANDLE;
            return nullptr;
        }
    } else if (faults.create_main_window_fails) {
        last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }

    WNDPROC proc = app ? app->wc.lpfnWndProc : nullptr;
    Window* win = NewWindow();
    win->kind = kind;
    win->cls = std::u16string(name);
    win->title = title ? std::u16string(title) : std::u16string();
    win->proc = proc;
    win->parent = pw ? pw->handle : nullptr;
    win->style = style;
    win->exstyle = exstyle;
    win->child_id = (style & WS_CHILD) ? (int)(uintptr_t)menu : 0;
    win->instance = inst;
    if (pw) {
        int cw = (w == CW_USEDEFAULT) ? 0 : w, ch = (h == CW_USEDEFAULT) ? 0 : h;
        int cx = (x == CW_USEDEFAULT) ? 0 : x, cy = (y == CW_USEDEFAULT) ? 0 : y;
        win->rect = {cx, cy, cx + cw, cy + ch};
    } else if (x == CW_USEDEFAULT || w == CW_USEDEFAULT) {
        // A default top-level window gets the screen below the taskbar.
        win->rect = {0, profile_.taskbar, profile_.screen_w, profile_.screen_h};
    } else {
        win->rect = {x, y, x + w, y + h};
    }
    if (kind == WindowKind::ListView) {
        win->listview = std::make_unique<ListView>(profile_.dpi);
        if (faults.listview_ex_style)
            win->listview->Handle(*win, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, faults.listview_ex_style);
    }
    HWND hwnd = win->handle;

    if (kind == WindowKind::App) {
        CREATESTRUCTW cs{};
        cs.lpCreateParams = param;
        cs.hInstance = inst;
        cs.hMenu = menu;
        cs.hwndParent = parent;
        cs.cx = win->rect.right - win->rect.left;
        cs.cy = win->rect.bottom - win->rect.top;
        cs.x = win->rect.left;
        cs.y = win->rect.top;
        cs.style = (LONG)style;
        cs.lpszName = title;
        cs.lpszClass = cls;
        cs.dwExStyle = exstyle;
        Note("WM_CREATE", hwnd, 0, [&](JournalArgs& o) { o.Wnd(hwnd); });
        LRESULT r = Send(hwnd, WM_CREATE, 0, (LPARAM)&cs);
        if (r == -1) {
            DestroyWindow(hwnd);
            last_error = ERROR_SUCCESS;
            return nullptr;
        }
        if (Window* again = Find(hwnd)) {
            int cw = again->rect.right - again->rect.left;
            int ch = again->rect.bottom - again->rect.top;
            SendSize(hwnd, cw, ch);
        }
    }
    return Find(hwnd) ? hwnd : nullptr;
}

void Device::FreeWindowResources(HWND h) {
    timers_.erase(
        std::remove_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.hwnd == h; }),
        timers_.end());
    // The system's own clean-up, journalled apart from the window's own
    // UnregisterHotKey calls, so that a test can tell the two apart.
    for (size_t i = hotkeys_.size(); i-- > 0;)
        if (hotkeys_[i].owner == h) {
            int id = hotkeys_[i].id;
            Note("FreeHotKey", h, id, [&](JournalArgs& o) { o.Wnd(h).Int(id); });
            RemoveHotKey(i);
        }
    queue_.erase(
        std::remove_if(queue_.begin(), queue_.end(), [&](const MSG& m) { return m.hwnd == h; }),
        queue_.end());
    if (focus_ == h)
        focus_ = nullptr;
    if (foreground_ == h)
        foreground_ = nullptr;
}

void Device::DestroyTree(Window& w) {
    HWND h = w.handle;
    w.destroying = true;
    Note("WM_DESTROY", h, 0, [&](JournalArgs& o) { o.Wnd(h); });
    if (w.kind == WindowKind::App && w.proc)
        w.proc(h, WM_DESTROY, 0, 0);
    // Children get WM_DESTROY after their parent, in creation order.
    for (size_t i = 0; i < windows_.size(); ++i) {
        Window* c = windows_[i].get();
        if (c->alive && !c->destroying && c->parent == h)
            DestroyTree(*c);
    }
    for (size_t i = 0; i < windows_.size(); ++i) {
        Window* c = windows_[i].get();
        if (c->alive && !c->destroying && c->owner == h)
            DestroyTree(*c);
    }
    FreeWindowResources(h);
    Window* again = Find(h);
    if (again) {
        again->alive = false;
        again->listview.reset();
        again->menubar.reset();
    }
}

BOOL Device::DestroyWindow(HWND h) {
    Window* w = Find(h);
    if (!w) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    if (w->destroying)
        return TRUE;
    DestroyTree(*w);
    return TRUE;
}

static LRESULT MenuBarProc(Device& dev, Window& w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_LBUTTONUP && w.menubar && wp < w.menubar->buttons.size()) {
        const MenuBar::Button& b = w.menubar->buttons[wp];
        if (b.state & TBSTATE_ENABLED)
            dev.SendCommand(w.owner, b.command, w.handle);
    }
    return 0;
}

// SendSize: WM_SIZE with the new client size, as the device sends it itself.
void Device::SendSize(HWND h, int w, int hgt) {
    Note("WM_SIZE", h, 0, [&](JournalArgs& o) { o.Wnd(h).Field("w").Int(w).Field("h").Int(hgt); });
    Send(h, WM_SIZE, 0, MAKELPARAM(w, hgt));
}

// SendCommand: a menu-bar button's command to the bar's owner.
void Device::SendCommand(HWND owner, UINT command, HWND bar) {
    Note("WM_COMMAND", owner, command,
         [&](JournalArgs& o) { o.Wnd(owner).Field("id").Int(command).Field("from").Wnd(bar); });
    Send(owner, WM_COMMAND, MAKEWPARAM(command, 0), (LPARAM)bar);
}

LRESULT Device::Send(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    Window* w = Find(h);
    if (!w) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return 0;
    }
    switch (w->kind) {
    case WindowKind::App:
        return w->proc(h, msg, wp, lp);
    case WindowKind::ListView: {
        if (!w->listview)
            return 0;
        LRESULT r = w->listview->Handle(*w, msg, wp, lp);
        if (on_list_change && (msg == LVM_INSERTITEMW || msg == LVM_DELETEALLITEMS))
            on_list_change(*w, msg, r);
        return r;
    }
    case WindowKind::MenuBar:
        return MenuBarProc(*this, *w, msg, wp, lp);
    case WindowKind::Foreign:
        return 0;
    }
    return 0;
}

BOOL Device::Post(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (h && !Find(h)) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    MSG m{};
    m.hwnd = h;
    m.message = msg;
    m.wParam = wp;
    m.lParam = lp;
    m.time = Tick();
    queue_.push_back(m);
    return TRUE;
}

uint64_t Device::NextTimerDue() const {
    uint64_t due = UINT64_MAX;
    for (const Timer& t : timers_)
        due = std::min(due, t.due);
    return due;
}

bool Device::MakeTimerMessage(LPMSG msg, uint64_t upto) {
    Timer* best = nullptr;
    for (Timer& t : timers_)
        if (t.due <= upto &&
            (!best || t.due < best->due || (t.due == best->due && t.ordinal < best->ordinal)))
            best = &t;
    if (!best)
        return false;
    *msg = MSG{};
    msg->hwnd = best->hwnd;
    msg->message = WM_TIMER;
    msg->wParam = best->id;
    msg->lParam = 0;
    msg->time = Tick();
    // A timer keeps running until it is killed: its next period starts now.
    best->due = now_ + best->period;
    return true;
}

BOOL Device::GetMessage(LPMSG msg) {
    if (!msg) {
        last_error = ERROR_INVALID_PARAMETER;
        return -1;
    }
    for (;;) {
        SyncClock();
        if (!queue_.empty()) {
            *msg = queue_.front();
            queue_.pop_front();
            return TRUE;
        }
        if (quit_) {
            quit_ = false;
            *msg = MSG{};
            msg->message = WM_QUIT;
            msg->wParam = (WPARAM)quit_code_;
            msg->time = Tick();
            return FALSE;
        }
        uint64_t due = NextTimerDue();
        if (due <= now_) {
            MakeTimerMessage(msg, now_);
            return TRUE;
        }
        if (!input_ended_ && driver_) {
            uint64_t at = now_;
            switch (driver_->Poll(*this, due, at)) {
            case Driver::Next::Step:
                if (due <= at) {
                    now_ = due;
                } else {
                    AdvanceTo(at);
                    driver_->Step(*this);
                }
                continue;
            case Driver::Next::None:
                if (due != UINT64_MAX)
                    now_ = std::max(now_, due);
                continue;
            case Driver::Next::End:
                input_ended_ = true;
                input_end_at_ = std::max(at, now_);
                continue;
            }
        }
        input_ended_ = true;
        if (!close_sent_) {
            if (due <= input_end_at_) {
                now_ = due;
                continue;
            }
            AdvanceTo(input_end_at_);
            close_sent_ = true;
            if (!RequestClose())
                throw Stalled("input ended and the tool has no main window to close");
            continue;
        }
        if (due != UINT64_MAX && ++idle_after_close_ < 100000) {
            now_ = due;
            continue;
        }
        throw Stalled("the tool did not exit after the shell asked it to close");
    }
}

LRESULT Device::Dispatch(const MSG* msg) {
    if (!msg)
        return 0;
    if (!msg->hwnd)
        return 0;
    return Send(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void Device::PostQuit(int code) {
    quit_ = true;
    quit_code_ = code;
}

LRESULT Device::DefProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CLOSE)
        DestroyWindow(h);
    return 0;
}

BOOL Device::GetClientRect(HWND h, LPRECT rc) {
    Window* w = Find(h);
    if (!w || !rc || faults.client_rect_fails) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    *rc = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

BOOL Device::GetWindowRect(HWND h, LPRECT rc) {
    Window* w = Find(h);
    if (!w || !rc) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    RECT r = w->rect;
    for (Window* p = Find(w->parent); p; p = Find(p->parent)) {
        r.left += p->rect.left;
        r.right += p->rect.left;
        r.top += p->rect.top;
        r.bottom += p->rect.top;
    }
    *rc = r;
    return TRUE;
}

BOOL Device::MoveWindow(HWND h, int x, int y, int w, int hgt, BOOL repaint) {
    Window* win = Find(h);
    if (!win) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    bool resized =
        (win->rect.right - win->rect.left != w) || (win->rect.bottom - win->rect.top != hgt);
    win->rect = RECT{x, y, x + w, y + hgt};
    if (resized && win->kind == WindowKind::App)
        SendSize(h, w, hgt);
    return TRUE;
}

HWND Device::SetFocus(HWND h) {
    if (h && !Find(h)) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return nullptr;
    }
    HWND prev = focus_;
    focus_ = h;
    return prev;
}

BOOL Device::ShowWindow(HWND h, int cmd) {
    Window* w = Find(h);
    if (!w)
        return FALSE;
    BOOL was = (w->style & WS_VISIBLE) ? TRUE : FALSE;
    if (cmd == SW_HIDE)
        w->style &= ~(DWORD)WS_VISIBLE;
    else
        w->style |= WS_VISIBLE;
    return was;
}

// ---------------------------------------------------------------------------
// Hot keys and the keyboard
// ---------------------------------------------------------------------------

size_t HotKeyIndex::Home(HWND owner, int id) const {
    uint64_t v = (uint64_t)(uintptr_t)owner * 0x9E3779B97F4A7C15ull ^
                 (uint64_t)(uint32_t)id * 0xC2B2AE3D27D4EB4Full;
    return (size_t)(v ^ (v >> 32)) & (slots_.size() - 1);
}

uint32_t HotKeyIndex::Get(HWND owner, int id) const {
    if (slots_.empty())
        return 0;
    for (size_t i = Home(owner, id);; i = (i + 1) & (slots_.size() - 1)) {
        const Slot& s = slots_[i];
        if (s.value == 0)
            return 0;
        if (s.owner == owner && s.id == id)
            return s.value;
    }
}

void HotKeyIndex::Grow() {
    std::vector<Slot> old(std::max<size_t>(64, slots_.size() * 2), Slot{nullptr, 0, 0});
    old.swap(slots_);
    used_ = 0;
    for (const Slot& s : old)
        if (s.value != 0)
            Set(s.owner, s.id, s.value);
}

void HotKeyIndex::Set(HWND owner, int id, uint32_t value) {
    if ((used_ + 1) * 2 > slots_.size())
        Grow();
    for (size_t i = Home(owner, id);; i = (i + 1) & (slots_.size() - 1)) {
        Slot& s = slots_[i];
        if (s.value == 0) {
            s = Slot{owner, id, value};
            ++used_;
            return;
        }
        if (s.owner == owner && s.id == id) {
            s.value = value;
            return;
        }
    }
}

// Erases by shifting later entries of the probe run back (no tombstones).
void HotKeyIndex::Erase(HWND owner, int id) {
    if (slots_.empty())
        return;
    const size_t mask = slots_.size() - 1;
    size_t i = Home(owner, id);
    for (;; i = (i + 1) & mask) {
        if (slots_[i].value == 0)
            return;
        if (slots_[i].owner == owner && slots_[i].id == id)
            break;
    }
    for (size_t j = i;;) {
        j = (j + 1) & mask;
        if (slots_[j].value == 0)
            break;
        size_t h = Home(slots_[j].owner, slots_[j].id);
        bool stays = i < j ? (h > i && h <= j) : (h > i || h <= j);
        if (!stays) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i].value = 0;
    --used_;
}

size_t Device::FindHotKey(HWND owner, int id) const {
    uint32_t v = owner_id_index_.Get(owner, id);
    return v == 0 ? SIZE_MAX : v - 1;
}

BOOL Device::RegisterHotKey(HWND h, int id, UINT mods, UINT vk) {
    Window* w = Find(h);
    if (!w) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    if (faults.refuse_register && faults.refuse_register(h, id, mods, vk)) {
        last_error = ERROR_HOTKEY_ALREADY_REGISTERED;
        return FALSE;
    }
    UINT set = mods & 0xF;
    bool held = false;
    if (vk < 256) {
        held = combo_index_[set * 256 + vk] != 0;
    } else {
        for (const HotKey& k : hotkeys_)
            held = held || (k.vk == vk && (k.mods & 0xF) == set);
    }
    if (held) {
        last_error = ERROR_HOTKEY_ALREADY_REGISTERED;
        return FALSE;
    }
    // A keyboard host has the last word on who holds the combination.
    if (keyboard_host_ && !keyboard_host_->Claim(vk, set)) {
        last_error = ERROR_HOTKEY_ALREADY_REGISTERED;
        return FALSE;
    }
    // The same window and id with another combination: the new one replaces it.
    if (FindHotKey(h, id) != SIZE_MAX)
        UnregisterHotKey(h, id);
    hotkeys_.push_back(HotKey{h, id, mods, vk});
    owner_id_index_.Set(h, id, (uint32_t)hotkeys_.size());
    if (vk < 256)
        combo_index_[set * 256 + vk] = (uint32_t)hotkeys_.size();
    return TRUE;
}

BOOL Device::UnregisterHotKey(HWND h, int id) {
    size_t i = FindHotKey(h, id);
    if (i == SIZE_MAX) {
        last_error = Find(h) ? ERROR_HOTKEY_NOT_REGISTERED : ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    RemoveHotKey(i);
    return TRUE;
}

// RemoveHotKey: takes entry i out of the table and its indexes.
void Device::RemoveHotKey(size_t i) {
    HotKey gone = hotkeys_[i];
    if (keyboard_host_)
        keyboard_host_->Unclaim(gone.vk, gone.mods & 0xF);
    if (gone.vk < 256)
        combo_index_[(gone.mods & 0xF) * 256 + gone.vk] = 0;
    owner_id_index_.Erase(gone.owner, gone.id);
    if (i + 1 != hotkeys_.size()) {
        hotkeys_[i] = hotkeys_.back();
        const HotKey& moved = hotkeys_[i];
        if (moved.vk < 256)
            combo_index_[(moved.mods & 0xF) * 256 + moved.vk] = (uint32_t)(i + 1);
        owner_id_index_.Set(moved.owner, moved.id, (uint32_t)(i + 1));
    }
    hotkeys_.pop_back();
}

size_t Device::HotKeysOf(HWND owner) const {
    size_t n = 0;
    for (const HotKey& k : hotkeys_)
        n += k.owner == owner;
    return n;
}

uint8_t Device::ModsHeld() const {
    uint8_t m = 0;
    if (keys_[VK_SHIFT] || keys_[VK_LSHIFT] || keys_[VK_RSHIFT])
        m |= MOD_SHIFT;
    if (keys_[VK_CONTROL] || keys_[VK_LCONTROL] || keys_[VK_RCONTROL])
        m |= MOD_CONTROL;
    if (keys_[VK_MENU] || keys_[VK_LMENU] || keys_[VK_RMENU])
        m |= MOD_ALT;
    return m;
}

// Deliver: a key event no hot key takes reaches the rest of the system; a
// synthesised one goes on through the keyboard host, when there is one.
void Device::Deliver(uint8_t vk, bool down, bool synthesized, uint8_t mods) {
    SystemKey k{now_, vk, down, mods, synthesized};
    if (record_system_keys)
        system_keys.push_back(k);
    if (on_system_key)
        on_system_key(k);
    if (synthesized && keyboard_host_)
        keyboard_host_->PassOn(vk, down);
}

// HostMods: the modifier set once a synthesised event of `vk` has happened on
// the host: the host's set, with the key itself when it is a modifier.
uint8_t Device::HostMods(uint8_t vk, bool down) {
    uint8_t own = 0;
    if (vk == VK_SHIFT || vk == VK_LSHIFT || vk == VK_RSHIFT)
        own = MOD_SHIFT;
    else if (vk == VK_CONTROL || vk == VK_LCONTROL || vk == VK_RCONTROL)
        own = MOD_CONTROL;
    else if (vk == VK_MENU || vk == VK_LMENU || vk == VK_RMENU)
        own = MOD_ALT;
    uint8_t mods = keyboard_host_->ModsHeld();
    return down ? (uint8_t)(mods | own) : (uint8_t)(mods & ~own);
}

void Device::KeyDown(uint8_t vk, bool synthesized) {
    keys_[vk] = true;
    Press(vk, synthesized && keyboard_host_ ? HostMods(vk, true) : ModsHeld(), synthesized);
}

void Device::HostKeyEvent(uint8_t vk, bool down, uint8_t mods) {
    bool was_down = keys_[vk];
    keys_[vk] = down;
    if (down)
        Press(vk, mods, false);
    else
        Release(vk, was_down, mods, false);
}

// Press: the hot key for (key, modifiers held) takes the press, or the rest
// of the system gets it.
void Device::Press(uint8_t vk, uint8_t mods, bool synthesized) {
    uint32_t idx = combo_index_[mods * 256 + vk];
    if (!idx) {
        taken_by_[vk] = false;
        Deliver(vk, true, synthesized, mods);
        return;
    }
    const HotKey& hk = hotkeys_[idx - 1];
    taken_by_[vk] = true;
    taken_key_[vk] = hk;
    if (on_key_taken)
        on_key_taken(vk, true, synthesized, hk);
    PostHotKey(hk.owner, hk.id, MAKELPARAM(mods, vk));
}

void Device::KeyUp(uint8_t vk, bool synthesized) {
    bool was_down = keys_[vk];
    keys_[vk] = false;
    Release(vk, was_down, synthesized && keyboard_host_ ? HostMods(vk, false) : ModsHeld(),
            synthesized);
}

// Release: the hot key that took the key's press gets its release, when it
// asked for releases; otherwise the rest of the system gets it.
void Device::Release(uint8_t vk, bool was_down, uint8_t mods, bool synthesized) {
    if (was_down && taken_by_[vk]) {
        taken_by_[vk] = false;
        const HotKey& took = taken_key_[vk];
        size_t i = FindHotKey(took.owner, took.id);
        if (i != SIZE_MAX && (hotkeys_[i].mods & MOD_KEYUP)) {
            const HotKey& hk = hotkeys_[i];
            if (on_key_taken)
                on_key_taken(vk, false, synthesized, hk);
            PostHotKey(hk.owner, hk.id, MAKELPARAM((hk.mods & 0xF) | MOD_KEYUP, vk));
            return; // a release the shell's hot key takes goes nowhere else
        }
    }
    Deliver(vk, false, synthesized, mods);
}

void Device::Synthesise(uint8_t vk, bool down) {
    if (profile_.synthesised_keys == Profile::SynthesisedKeys::System)
        Deliver(vk, down, true, keyboard_host_ ? HostMods(vk, down) : ModsHeld());
    else if (down)
        KeyDown(vk, true);
    else
        KeyUp(vk, true);
}

// PostHotKey: a hot key's WM_HOTKEY to its owner, at the top of the queue or
// at its back as the profile says; a hot key of another program (the shell)
// takes its key without a message the device needs to deliver.
void Device::PostHotKey(HWND owner, int id, LPARAM lp) {
    const Window* w = Find(owner);
    if (!w || w->kind == WindowKind::Foreign)
        return;
    MSG m{};
    m.hwnd = owner;
    m.message = WM_HOTKEY;
    m.wParam = (WPARAM)id;
    m.lParam = lp;
    m.time = Tick();
    if (profile_.hotkey_queue == Profile::HotKeyQueue::Top)
        queue_.push_front(m);
    else
        queue_.push_back(m);
}

bool Device::TapButton(std::u16string_view caption) {
    auto lower = [](char16_t c) { return (c >= 'A' && c <= 'Z') ? (char16_t)(c + 32) : c; };
    auto same = [&](std::u16string_view a, std::u16string_view b) {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i]))
                return false;
        return true;
    };
    for (auto& w : windows_) {
        if (!w->alive || w->kind != WindowKind::MenuBar || !w->menubar)
            continue;
        for (size_t i = 0; i < w->menubar->buttons.size(); ++i)
            if (same(w->menubar->buttons[i].caption, caption))
                return Post(w->handle, WM_LBUTTONUP, i, 0);
    }
    return false;
}

bool Device::RequestClose() {
    HWND main = MainWindow();
    return main && Post(main, WM_CLOSE, 0, 0);
}

// ---------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------

UINT_PTR Device::SetTimer(HWND h, UINT_PTR id, UINT elapse) {
    if (h && !Find(h)) {
        last_error = ERROR_INVALID_WINDOW_HANDLE;
        return 0;
    }
    if (!h) {
        // A thread timer gets an id of the system's choosing.
        id = 0x7FF0;
        for (const Timer& t : timers_)
            id = std::max<UINT_PTR>(id, t.id + 1);
    }
    uint32_t period = elapse ? elapse : 1;
    for (Timer& t : timers_)
        if (t.hwnd == h && t.id == id) {
            t.period = period;
            t.due = now_ + period;
            t.ordinal = ++timer_ordinal_;
            return id ? id : 1;
        }
    timers_.push_back(Timer{h, id, period, now_ + period, ++timer_ordinal_});
    return id ? id : 1;
}

BOOL Device::KillTimer(HWND h, UINT_PTR id) {
    for (size_t i = 0; i < timers_.size(); ++i)
        if (timers_[i].hwnd == h && timers_[i].id == id) {
            timers_.erase(timers_.begin() + (ptrdiff_t)i);
            return TRUE;
        }
    last_error = ERROR_INVALID_PARAMETER;
    return FALSE;
}

// ---------------------------------------------------------------------------
// Message boxes, common controls, the menu bar
// ---------------------------------------------------------------------------

int Device::MessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    MessageBoxRecord r{now_, owner, text ? text : u"", caption ? caption : u"Error", type};
    message_boxes.push_back(r);
    if (on_message_box)
        on_message_box(r);
    return IDOK;
}

BOOL Device::InitCommonControls(const INITCOMMONCONTROLSEX* icc) {
    BOOL ok = FALSE;
    if (icc && icc->dwSize == sizeof(INITCOMMONCONTROLSEX) && profile_.commctrl) {
        if (icc->dwICC & ICC_LISTVIEW_CLASSES)
            listview_class_ = true;
        ok = TRUE;
    }
    return ok;
}

BOOL Device::CreateMenuBar(SHMENUBARINFO* mbi) {
    if (!mbi) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (mbi->cbSize != SHMENUBARINFO_CE_SIZE && mbi->cbSize != sizeof(SHMENUBARINFO)) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    Window* parent = Find(mbi->hwndParent);
    if (!parent || profile_.menubar < 0) {
        last_error = parent ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    auto bar = std::make_unique<MenuBar>();
    bar->resource_id = mbi->nToolBarId;
    if (!(mbi->dwFlags & SHCMBF_EMPTYBAR)) {
        // The tool's own module; no module handle, no resources.
        ModuleResources res = (mbi->hInstRes && resources_) ? *resources_ : ModuleResources{};
        std::optional<std::span<const uint8_t>> d =
            FindResourceData(res, RT_RCDATA_ID, (uint16_t)mbi->nToolBarId);
        if (!d || d->size() < 4) {
            last_error = 1813; // ERROR_RESOURCE_TYPE_NOT_FOUND
            return FALSE;
        }
        auto word = [&](size_t i) -> uint16_t {
            return (uint16_t)((*d)[2 * i] | ((*d)[2 * i + 1] << 8));
        };
        size_t nwords = d->size() / 2;
        size_t count = word(1);
        for (size_t b = 0; b < count && 2 + 7 * b + 6 < nwords; ++b) {
            size_t at = 2 + 7 * b;
            MenuBar::Button btn;
            btn.command = word(at + 1);
            btn.state = word(at + 2);
            btn.style = word(at + 3);
            btn.caption = LoadResString(res, word(at + 4));
            bar->buttons.push_back(std::move(btn));
        }
    }
    Window* w = NewWindow();
    w->kind = WindowKind::MenuBar;
    w->cls = u"menu_worker";
    w->owner = parent->handle;
    w->style = WS_VISIBLE;
    w->rect = {0, profile_.screen_h - profile_.menubar, profile_.screen_w, profile_.screen_h};
    w->menubar = std::move(bar);
    mbi->hwndMB = w->handle;
    return TRUE;
}

HWND Device::FindMenuBar(HWND h) {
    HWND found = nullptr;
    if (h)
        for (auto& w : windows_)
            if (w->alive && w->kind == WindowKind::MenuBar && w->owner == h) {
                found = w->handle;
                break;
            }
    return found;
}

} // namespace device
