// hotkey.cpp - hot keys with MOD_KEYUP on desktop Windows.
//
// The desktop reports a hot key on the press only, and may reject the
// Windows CE flag MOD_KEYUP (0x1000). So the flag is stripped before the real
// RegisterHotKey, and the release is reported here, the way Windows CE does
// it: the press of a key that fires one of this process's hot keys is
// remembered (which window and id took it) until that key's next release; if
// that hot key is then still registered with MOD_KEYUP, the release is posted
// to its window as WM_HOTKEY, id in wParam, (modifiers | MOD_KEYUP, key) in
// lParam. The presses and releases are watched with a low-level keyboard hook,
// installed while a hot key with MOD_KEYUP is registered.
//
// Choices:
//  - a press is matched on the left- or right-hand code of a modifier key, as
//    Wine matches hot keys: the hook may report a Ctrl press as VK_CONTROL
//    (0x11), but the hot key it fires is (VK_LCONTROL, MOD_CONTROL), 0xA2, or
//    VK_RCONTROL for the extended key. So VK_SHIFT, VK_CONTROL and VK_MENU
//    from the hook are taken as the left-hand code (right-hand: extended Ctrl
//    and Alt, right Shift's scan code), and the key state is kept that way;
//  - the modifiers of a press are those held once the key is down, the key
//    itself included when it is a modifier, as the system matches hot keys;
//  - the hook never swallows an event: the system still updates its key
//    state and delivers the release as it always does;
//  - a key the process synthesises while the matching hot key is unregistered
//    matches no registration and so is never reported as a release;
//  - Windows CE reports a modifier key's hot key under the generic code
//    (VK_SHIFT, VK_CONTROL, VK_MENU); Wine fires the registration of the
//    left- or right-hand code instead (0xA0-0xA5). So a window procedure put in
//    front of each class the process registers delivers such a WM_HOTKEY, its
//    press and its release alike, as the generic combination's, when that
//    combination is this window's too; otherwise (another program holds it)
//    the message is left as it came, the sided code being what fired.
#define TAPWATCHER_WIN32_IMPL
#include "platform/win32/wince.h"

#include <vector>

namespace {

struct Registration {
    HWND hwnd;
    int id;
    UINT mods; // MOD_ALT | MOD_CONTROL | MOD_SHIFT | MOD_WIN bits, MOD_KEYUP stripped
    UINT vk;
    bool keyup; // registered with MOD_KEYUP: its releases are reported
};

struct Press {
    bool taken; // the last press of this key fired one of our hot keys
    HWND hwnd;
    int id;
};

std::vector<Registration> g_regs; // hot keys this process holds
Press g_press[256];               // by key code, modifiers by their sided code
bool g_down[256];                 // key state as the hook saw it
HHOOK g_hook;

const UINT kModBits = MOD_ALT | MOD_CONTROL | MOD_SHIFT | MOD_WIN;

UINT ModsHeld() {
    UINT m = 0;
    if (g_down[VK_SHIFT] || g_down[VK_LSHIFT] || g_down[VK_RSHIFT])
        m |= MOD_SHIFT;
    if (g_down[VK_CONTROL] || g_down[VK_LCONTROL] || g_down[VK_RCONTROL])
        m |= MOD_CONTROL;
    if (g_down[VK_MENU] || g_down[VK_LMENU] || g_down[VK_RMENU])
        m |= MOD_ALT;
    if (g_down[VK_LWIN] || g_down[VK_RWIN])
        m |= MOD_WIN;
    return m;
}

// The code the system matches hot keys on: a generic modifier code becomes
// the code of the key that was pressed, left or right.
UINT SidedKey(const KBDLLHOOKSTRUCT* k) {
    bool right = (k->flags & LLKHF_EXTENDED) != 0;
    switch (k->vkCode) {
    case VK_SHIFT:
        return k->scanCode == 0x36 ? VK_RSHIFT : VK_LSHIFT;
    case VK_CONTROL:
        return right ? VK_RCONTROL : VK_LCONTROL;
    case VK_MENU:
        return right ? VK_RMENU : VK_LMENU;
    }
    return k->vkCode;
}

Registration* FindById(HWND hwnd, int id) {
    for (Registration& r : g_regs)
        if (r.hwnd == hwnd && r.id == id)
            return &r;
    return nullptr;
}

Registration* FindByCombination(UINT mods, UINT vk) {
    for (Registration& r : g_regs)
        if (r.mods == mods && r.vk == vk)
            return &r;
    return nullptr;
}

// The generic code of a left- or right-hand modifier code; 0 for any other.
UINT GenericModifier(UINT vk) {
    switch (vk) {
    case VK_LSHIFT:
    case VK_RSHIFT:
        return VK_SHIFT;
    case VK_LCONTROL:
    case VK_RCONTROL:
        return VK_CONTROL;
    case VK_LMENU:
    case VK_RMENU:
        return VK_MENU;
    }
    return 0;
}

// The window procedures of the classes the process registered, by class atom.
struct ClassProc {
    ATOM atom;
    WNDPROC proc;
};
std::vector<ClassProc> g_classes;

// In front of every class's own procedure: a WM_HOTKEY of one of this window's
// sided-modifier combinations becomes that of its generic combination.
LRESULT CALLBACK HotKeyFront(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_HOTKEY) {
        UINT mods = LOWORD(lParam), generic = GenericModifier(HIWORD(lParam));
        Registration* sided = FindById(hwnd, (int)wParam);
        Registration* r = generic ? FindByCombination(mods & kModBits, generic) : nullptr;
        if (sided && sided->vk == HIWORD(lParam) && r && r->hwnd == hwnd) {
            wParam = (WPARAM)r->id;
            lParam = MAKELPARAM(mods, generic);
        }
    }
    ATOM atom = (ATOM)GetClassLongPtrW(hwnd, GCW_ATOM);
    for (const ClassProc& c : g_classes)
        if (c.atom == atom)
            return CallWindowProcW(c.proc, hwnd, message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool AnyKeyUp() {
    for (const Registration& r : g_regs)
        if (r.keyup)
            return true;
    return false;
}

void OnKey(UINT vk, bool down) {
    if (vk > 0xFF)
        return;
    if (down) {
        g_down[vk] = true;
        Registration* r = FindByCombination(ModsHeld(), vk);
        g_press[vk] = r ? Press{true, r->hwnd, r->id} : Press{false, nullptr, 0};
        return;
    }
    g_down[vk] = false;
    Press p = g_press[vk];
    g_press[vk] = Press{false, nullptr, 0};
    if (!p.taken)
        return;
    Registration* r = FindById(p.hwnd, p.id);
    if (!r || !r->keyup)
        return;
    if (r->hwnd && !IsWindow(r->hwnd))
        return; // the window is gone, and its hot keys with it
    PostMessageW(r->hwnd, WM_HOTKEY, (WPARAM)r->id, MAKELPARAM(r->mods | MOD_KEYUP, r->vk));
}

LRESULT CALLBACK KeyboardHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const KBDLLHOOKSTRUCT* k = (const KBDLLHOOKSTRUCT*)lParam;
        if (wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN)
            OnKey(SidedKey(k), true);
        else if (wParam == WM_KEYUP || wParam == WM_SYSKEYUP)
            OnKey(SidedKey(k), false);
    }
    return CallNextHookEx(g_hook, code, wParam, lParam);
}

// The hook runs while at least one hot key with MOD_KEYUP is registered.
void UpdateHook() {
    bool want = AnyKeyUp();
    if (want && !g_hook) {
        // Start from the keyboard as it is now, so that a modifier held when
        // the hook arrives counts for the presses that follow.
        for (int vk = 1; vk < 256; ++vk)
            g_down[vk] = vk != VK_SHIFT && vk != VK_CONTROL && vk != VK_MENU &&
                         (GetAsyncKeyState(vk) & 0x8000) != 0;
        g_hook = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHook, GetModuleHandleW(nullptr), 0);
    } else if (!want && g_hook) {
        UnhookWindowsHookEx(g_hook);
        g_hook = nullptr;
        for (Press& p : g_press)
            p = Press{false, nullptr, 0};
    }
}

} // namespace

BOOL TapwatcherRegisterHotKey(HWND hWnd, int id, UINT fsModifiers, UINT vk) {
    if (!RegisterHotKey(hWnd, id, fsModifiers & ~(UINT)MOD_KEYUP, vk))
        return FALSE;
    DWORD err = GetLastError();
    Registration entry{hWnd, id, fsModifiers & kModBits, vk, (fsModifiers & MOD_KEYUP) != 0};
    if (Registration* r = FindById(hWnd, id))
        *r = entry; // the same window and id with a new combination replaces the old one
    else
        g_regs.push_back(entry);
    UpdateHook();
    SetLastError(err);
    return TRUE;
}

ATOM TapwatcherRegisterClassW(const WNDCLASSW* wc) {
    WNDCLASSW front = *wc;
    front.lpfnWndProc = HotKeyFront;
    ATOM atom = RegisterClassW(&front);
    if (atom)
        g_classes.push_back(ClassProc{atom, wc->lpfnWndProc});
    return atom;
}

BOOL TapwatcherUnregisterHotKey(HWND hWnd, int id) {
    BOOL ok = UnregisterHotKey(hWnd, id);
    DWORD err = GetLastError();
    for (size_t i = 0; i < g_regs.size(); ++i)
        if (g_regs[i].hwnd == hWnd && g_regs[i].id == id) {
            g_regs[i] = g_regs.back();
            g_regs.pop_back();
            break;
        }
    UpdateHook();
    SetLastError(err);
    return ok;
}
