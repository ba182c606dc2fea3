// keymap.cpp - the virtual-key to keysym table, and the key codes and modifier
// states of an X keyboard that stand for each (virtual key, modifier set).
//
// Sources of the table (facts, each line one correspondence):
//  - keysyms: X.Org's keysym list, xorgproto include/X11/keysymdef.h and
//    include/X11/XF86keysym.h (the names used below are its macros);
//  - virtual-key codes: Microsoft's "Virtual-Key Codes" list
//    (learn.microsoft.com/windows/win32/inputdev/virtual-key-codes), the
//    values of winuser.h;
//  - where a keysym's key is not named in the same words in both lists, the
//    correspondence was checked against Wine's X11 keyboard driver
//    (dlls/winex11.drv/keyboard.c), read as a reference only.
// docs/x11-keymap.md lists what the table leaves out.
//
// Choices:
//  - left and right Shift, Ctrl and Alt give the generic VK_SHIFT, VK_CONTROL
//    and VK_MENU, the codes a hot key is registered with and a key message
//    carries; VK_LSHIFT..VK_RMENU therefore come from no key (they register
//    and never fire);
//  - a key's virtual key is that of its keysym without modifiers (Shift+1 is
//    still "1", Caps Lock does not matter), except on the keypad, where Num
//    Lock and Shift choose between the digit and the cursor key as the X
//    server's keypad does: the digit (VK_NUMPAD0) when exactly one of them is
//    on, the cursor key (VK_INSERT) otherwise (Windows gives the cursor key
//    for Shift with Num Lock off);
//  - the punctuation keys (VK_OEM_*) are those of the US layout: a keysym,
//    not a key position, decides them;
//  - a modifier key's own combinations: X reports the state before the
//    event, so a Ctrl press arrives without the Control bit and its release
//    with it; the device counts the key itself while it is down, so both are
//    (VK_CONTROL, Ctrl) and that combination is grabbed with and without the
//    bit. (VK_CONTROL, no Ctrl) can never happen and grabs nothing.
#include "device/x11/keymap.h"

#include "device/keyboard.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <algorithm>

namespace x11 {

namespace {

// X core modifier masks.
constexpr unsigned kShiftMask = 1u << 0, kLockMask = 1u << 1, kControlMask = 1u << 2;

// One correspondence, or a run of them: keysyms first..first+count-1 give
// virtual keys vk..vk+count-1.
struct Fact {
    unsigned long keysym;
    uint8_t vk;
    uint8_t count;
};

// keysym -> virtual-key code. A keysym appears once; a virtual key may have
// several keysyms (both Shift keys, Return and the keypad's Enter).
const Fact kFacts[] = {
    // VK_CANCEL 0x03
    {XK_Cancel, 0x03, 1},
    {XK_Break, 0x03, 1},
    // VK_BACK 0x08, VK_TAB 0x09
    {XK_BackSpace, 0x08, 1},
    {XK_Tab, 0x09, 1},
    {XK_ISO_Left_Tab, 0x09, 1},
    {XK_KP_Tab, 0x09, 1},
    // VK_CLEAR 0x0C (also the keypad's 5 with Num Lock off)
    {XK_Clear, 0x0C, 1},
    {XK_KP_Begin, 0x0C, 1},
    // VK_RETURN 0x0D
    {XK_Return, 0x0D, 1},
    {XK_KP_Enter, 0x0D, 1},
    // VK_SHIFT 0x10, VK_CONTROL 0x11, VK_MENU 0x12 (generic; see above)
    {XK_Shift_L, 0x10, 1},
    {XK_Shift_R, 0x10, 1},
    {XK_Control_L, 0x11, 1},
    {XK_Control_R, 0x11, 1},
    {XK_Alt_L, 0x12, 1},
    {XK_Alt_R, 0x12, 1},
    {XK_Meta_L, 0x12, 1},
    {XK_Meta_R, 0x12, 1},
    // VK_PAUSE 0x13, VK_CAPITAL 0x14
    {XK_Pause, 0x13, 1},
    {XK_Caps_Lock, 0x14, 1},
    // VK_KANA/VK_HANGUL 0x15, VK_KANJI/VK_HANJA 0x19, VK_CONVERT 0x1C, VK_NONCONVERT 0x1D
    {XK_Hangul, 0x15, 1},
    {XK_Kanji, 0x19, 1},
    {XK_Hangul_Hanja, 0x19, 1},
    {XK_Henkan_Mode, 0x1C, 1},
    {XK_Muhenkan, 0x1D, 1},
    // VK_ESCAPE 0x1B, VK_SPACE 0x20
    {XK_Escape, 0x1B, 1},
    {XK_space, 0x20, 1},
    {XK_KP_Space, 0x20, 1},
    // VK_PRIOR 0x21 .. VK_DOWN 0x28, and their keypad twins
    {XK_Prior, 0x21, 1},
    {XK_Next, 0x22, 1},
    {XK_End, 0x23, 1},
    {XK_Home, 0x24, 1},
    {XK_Left, 0x25, 4}, // Left, Up, Right, Down
    {XK_KP_Prior, 0x21, 1},
    {XK_KP_Next, 0x22, 1},
    {XK_KP_End, 0x23, 1},
    {XK_KP_Home, 0x24, 1},
    {XK_KP_Left, 0x25, 4}, // KP_Left, KP_Up, KP_Right, KP_Down
    // VK_SELECT 0x29, VK_EXECUTE 0x2B, VK_SNAPSHOT 0x2C, VK_INSERT 0x2D,
    // VK_DELETE 0x2E, VK_HELP 0x2F
    {XK_Select, 0x29, 1},
    {XK_Execute, 0x2B, 1},
    {XK_Print, 0x2C, 1},
    {XK_Insert, 0x2D, 1},
    {XK_KP_Insert, 0x2D, 1},
    {XK_Delete, 0x2E, 1},
    {XK_KP_Delete, 0x2E, 1},
    {XK_Help, 0x2F, 1},
    // '0'..'9' 0x30-0x39, 'A'..'Z' 0x41-0x5A (keysyms of the same values,
    // and the lower-case letters)
    {XK_0, 0x30, 10},
    {XK_A, 0x41, 26},
    {XK_a, 0x41, 26},
    // VK_LWIN 0x5B, VK_RWIN 0x5C, VK_APPS 0x5D, VK_SLEEP 0x5F
    {XK_Super_L, 0x5B, 1},
    {XK_Super_R, 0x5C, 1},
    {XK_Menu, 0x5D, 1},
    {XF86XK_Sleep, 0x5F, 1},
    // VK_NUMPAD0..VK_NUMPAD9 0x60-0x69, VK_MULTIPLY 0x6A, VK_ADD 0x6B,
    // VK_SEPARATOR 0x6C, VK_SUBTRACT 0x6D, VK_DECIMAL 0x6E, VK_DIVIDE 0x6F
    {XK_KP_0, 0x60, 10},
    {XK_KP_Multiply, 0x6A, 1},
    {XK_KP_Add, 0x6B, 1},
    {XK_KP_Separator, 0x6C, 1},
    {XK_KP_Subtract, 0x6D, 1},
    {XK_KP_Decimal, 0x6E, 1},
    {XK_KP_Divide, 0x6F, 1},
    // VK_F1..VK_F24 0x70-0x87
    {XK_F1, 0x70, 24},
    // VK_NUMLOCK 0x90, VK_SCROLL 0x91, VK_OEM_NEC_EQUAL 0x92 (keypad '=')
    {XK_Num_Lock, 0x90, 1},
    {XK_Scroll_Lock, 0x91, 1},
    {XK_KP_Equal, 0x92, 1},
    // Browser and media keys, VK_BROWSER_BACK 0xA6 .. VK_LAUNCH_APP2 0xB7
    {XF86XK_Back, 0xA6, 1},
    {XF86XK_Forward, 0xA7, 1},
    {XF86XK_Refresh, 0xA8, 1},
    {XF86XK_Reload, 0xA8, 1},
    {XF86XK_Stop, 0xA9, 1},
    {XF86XK_Search, 0xAA, 1},
    {XF86XK_Favorites, 0xAB, 1},
    {XF86XK_HomePage, 0xAC, 1},
    {XF86XK_AudioMute, 0xAD, 1},
    {XF86XK_AudioLowerVolume, 0xAE, 1},
    {XF86XK_AudioRaiseVolume, 0xAF, 1},
    {XF86XK_AudioNext, 0xB0, 1},
    {XF86XK_AudioPrev, 0xB1, 1},
    {XF86XK_AudioStop, 0xB2, 1},
    {XF86XK_AudioPlay, 0xB3, 1},
    {XF86XK_AudioPause, 0xB3, 1},
    {XF86XK_Mail, 0xB4, 1},
    {XF86XK_AudioMedia, 0xB5, 1},
    {XF86XK_MyComputer, 0xB6, 1},
    {XF86XK_Calculator, 0xB7, 1},
    // US-layout punctuation: VK_OEM_1 0xBA ';', VK_OEM_PLUS 0xBB '=',
    // VK_OEM_COMMA 0xBC, VK_OEM_MINUS 0xBD, VK_OEM_PERIOD 0xBE, VK_OEM_2 0xBF
    // '/', VK_OEM_3 0xC0 '`', VK_OEM_4 0xDB '[', VK_OEM_5 0xDC '\',
    // VK_OEM_6 0xDD ']', VK_OEM_7 0xDE ''', VK_OEM_102 0xE2 (the ISO key '<')
    {XK_semicolon, 0xBA, 1},
    {XK_equal, 0xBB, 1},
    {XK_comma, 0xBC, 1},
    {XK_minus, 0xBD, 1},
    {XK_period, 0xBE, 1},
    {XK_slash, 0xBF, 1},
    {XK_grave, 0xC0, 1},
    {XK_bracketleft, 0xDB, 1},
    {XK_backslash, 0xDC, 1},
    {XK_bracketright, 0xDD, 1},
    {XK_apostrophe, 0xDE, 1},
    {XK_less, 0xE2, 1},
};

bool IsKeypadKeysym(unsigned long ks) {
    return ks >= XK_KP_Space && ks <= XK_KP_Equal;
}

} // namespace

uint8_t VkOfKeysym(unsigned long keysym) {
    for (const Fact& f : kFacts)
        if (keysym >= f.keysym && keysym < f.keysym + f.count)
            return (uint8_t)(f.vk + (keysym - f.keysym));
    return 0;
}

std::vector<unsigned long> KeysymsOfVk(uint8_t vk) {
    std::vector<unsigned long> out;
    for (const Fact& f : kFacts)
        if (vk >= f.vk && vk < f.vk + f.count)
            out.push_back(f.keysym + (vk - f.vk));
    return out;
}

// Keymap: finds the Alt, Num Lock and Scroll Lock bits from the key codes
// that set them, then files every (key code, state) under the combination
// the device would see it as.
Keymap::Keymap(const KeyboardFacts& facts) : facts_(facts), grabs_(8 * 256) {
    for (int k = facts_.min_keycode; k <= facts_.max_keycode; ++k) {
        unsigned long ks = facts_.level1[k];
        unsigned m = facts_.modifiers[k] & ~(kShiftMask | kLockMask | kControlMask);
        if (!m)
            continue;
        if ((ks == XK_Alt_L || ks == XK_Alt_R) && !alt_mask_)
            alt_mask_ = m & -m;
        if (ks == XK_Num_Lock && !num_lock_mask_)
            num_lock_mask_ = m & -m;
        if (ks == XK_Scroll_Lock && !scroll_lock_mask_)
            scroll_lock_mask_ = m & -m;
    }
    // Meta on its own bit serves as Alt when no Alt key sets one.
    for (int k = facts_.min_keycode; k <= facts_.max_keycode && !alt_mask_; ++k) {
        unsigned long ks = facts_.level1[k];
        unsigned m = facts_.modifiers[k] & ~(kShiftMask | kLockMask | kControlMask);
        if (m && (ks == XK_Meta_L || ks == XK_Meta_R))
            alt_mask_ = m & -m;
    }
    if (num_lock_mask_ == alt_mask_)
        num_lock_mask_ = 0;
    if (scroll_lock_mask_ == alt_mask_ || scroll_lock_mask_ == num_lock_mask_)
        scroll_lock_mask_ = 0;

    std::vector<unsigned> bits{kLockMask};
    if (num_lock_mask_)
        bits.push_back(num_lock_mask_);
    if (scroll_lock_mask_)
        bits.push_back(scroll_lock_mask_);
    for (unsigned i = 0; i < (1u << bits.size()); ++i) {
        unsigned m = 0;
        for (size_t b = 0; b < bits.size(); ++b)
            if (i & (1u << b))
                m |= bits[b];
        locks_.push_back(m);
    }

    const unsigned base_bits[3] = {kShiftMask, kControlMask, alt_mask_};
    for (int k = facts_.min_keycode; k <= facts_.max_keycode; ++k) {
        if (!facts_.level1[k])
            continue;
        for (unsigned locks : locks_) {
            for (unsigned b = 0; b < 8; ++b) {
                if ((b & 4) && !alt_mask_)
                    continue;
                unsigned state = locks;
                for (int i = 0; i < 3; ++i)
                    if (b & (1u << i))
                        state |= base_bits[i];
                uint8_t vk = VkOf((uint8_t)k, state);
                if (!vk)
                    continue;
                uint8_t set = ModsOf(state, vk, true);
                grabs_[set * 256 + vk].push_back(Grab{(uint8_t)k, state});
            }
        }
    }
}

bool Keymap::SameFacts(const KeyboardFacts& f) const {
    return f.min_keycode == facts_.min_keycode && f.max_keycode == facts_.max_keycode &&
           std::equal(f.level1, f.level1 + 256, facts_.level1) &&
           std::equal(f.level2, f.level2 + 256, facts_.level2) &&
           std::equal(f.modifiers, f.modifiers + 256, facts_.modifiers);
}

uint8_t Keymap::VkOf(uint8_t keycode, unsigned state) const {
    if (keycode < facts_.min_keycode || keycode > facts_.max_keycode)
        return 0;
    unsigned long ks = facts_.level1[keycode];
    unsigned long ks2 = facts_.level2[keycode];
    if (IsKeypadKeysym(ks) && IsKeypadKeysym(ks2)) {
        bool num_lock = num_lock_mask_ && (state & num_lock_mask_);
        bool shift = (state & kShiftMask) != 0;
        if (num_lock != shift)
            ks = ks2;
    }
    return VkOfKeysym(ks);
}

uint8_t Keymap::ModsOf(unsigned state, uint8_t vk, bool down) const {
    uint8_t mods = 0;
    if (state & kShiftMask)
        mods |= MOD_SHIFT;
    if (state & kControlMask)
        mods |= MOD_CONTROL;
    if (alt_mask_ && (state & alt_mask_))
        mods |= MOD_ALT;
    uint8_t own = device::ModifierOf(vk);
    return down ? (uint8_t)(mods | own) : (uint8_t)(mods & ~own);
}

std::vector<uint8_t> Keymap::KeycodesOf(uint8_t vk, unsigned locks) const {
    std::vector<uint8_t> out;
    for (int k = facts_.min_keycode; k <= facts_.max_keycode; ++k)
        if (facts_.level1[k] && VkOf((uint8_t)k, locks) == vk)
            out.push_back((uint8_t)k);
    return out;
}

std::vector<uint8_t> Keymap::Unreachable() const {
    std::vector<bool> seen(256, false);
    for (size_t i = 0; i < grabs_.size(); ++i)
        if (!grabs_[i].empty())
            seen[i % 256] = true;
    std::vector<uint8_t> out;
    for (int vk = 1; vk < 255; ++vk)
        if (!seen[vk])
            out.push_back((uint8_t)vk);
    return out;
}

} // namespace x11
