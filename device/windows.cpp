// windows.cpp - the windows of the simulated Windows CE device: window classes,
// making and destroying windows, sending messages to their procedures, their
// rectangles, the list view and menu bar controls, and message boxes.
//
// Choices where real platforms disagree or are silent:
//  - WM_SIZE is sent inside CreateWindowExW, after WM_CREATE (as Wine does),
//    and by MoveWindow when the size changes.
//  - DestroyWindow sends WM_DESTROY to the window, then to its children in
//    creation order; the menu bar a window owns is destroyed after them.
//  - FindWindowW compares class and title exactly, unit by unit.
//  - MessageBoxW is answered OK at once; no time passes and no message is
//    dispatched while it "shows".
#include "device/device.h"

#include "device/listview.h"
#include "device/menubar.h"

#include <algorithm>

namespace device {

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
        Note("WM_CREATE", hwnd, [&](JournalArgs& o) { o.Wnd(hwnd); });
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
    for (size_t i = hotkeys_.All().size(); i-- > 0;)
        if (hotkeys_.All()[i].owner == h) {
            int id = hotkeys_.All()[i].id;
            Note("FreeHotKey", h, [&](JournalArgs& o) { o.Wnd(h).Int(id); });
            RemoveHotKey(i);
        }
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [&](const Queued& q) { return q.msg.hwnd == h; }),
                 queue_.end());
    if (focus_ == h)
        focus_ = nullptr;
    if (foreground_ == h)
        foreground_ = nullptr;
}

void Device::DestroyTree(Window& w) {
    HWND h = w.handle;
    w.destroying = true;
    Note("WM_DESTROY", h, [&](JournalArgs& o) { o.Wnd(h); });
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
    Note("WM_SIZE", h, [&](JournalArgs& o) { o.Wnd(h).Field("w").Int(w).Field("h").Int(hgt); });
    Send(h, WM_SIZE, 0, MAKELPARAM(w, hgt));
}

// SendCommand: a menu-bar button's command to the bar's owner.
void Device::SendCommand(HWND owner, UINT command, HWND bar) {
    Note("WM_COMMAND", owner,
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
        if (msg == LVM_INSERTITEMW || msg == LVM_DELETEALLITEMS)
            Notify([&](Observer& o) { o.OnListChange(*w, msg, r); });
        return r;
    }
    case WindowKind::MenuBar:
        return MenuBarProc(*this, *w, msg, wp, lp);
    case WindowKind::Foreign:
        return 0;
    }
    return 0;
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

int Device::MessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    MessageBoxRecord r{now_, owner, text ? text : u"", caption ? caption : u"Error", type};
    message_boxes.push_back(r);
    Notify([&](Observer& o) { o.OnMessageBox(r); });
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
