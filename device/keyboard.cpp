// keyboard.cpp - the keyboard of the simulated Windows CE device: the key
// state, the device-wide hot-key table, routing each key event to the hot key
// that takes it or to the rest of the system, and keys synthesised with
// keybd_event.
//
// Choices where real platforms disagree or are silent:
//  - hot-key conflicts are decided by (key, modifier bits & 0xF), Wine's rule;
//    MOD_KEYUP does not take part. The same window and id with a free
//    combination replaces the old combination (Windows CE, Wine).
//  - keys from keybd_event meet the hot-key table like keys the user presses
//    (profile "synthesised-keys = hot-keys", the built-in), as on Windows and
//    Wine; the Windows CE reference says only "When a key is pressed, the
//    system looks for a match against all hot keys" and never names injected
//    keys. "synthesised-keys = system" sends them straight to the rest of the
//    system: they neither meet the hot-key table nor change the key state a
//    later key of the user's is matched with, so the user's own release of a
//    held modifier is the one a hot key reports, when the user lets go.
//  - a modifier key's own press meets the hot-key table with its own modifier
//    held: Ctrl going down fires a hot key held for Ctrl with MOD_CONTROL, and
//    the tool logs "11 D C" (profile "modifier-hot-keys = yes", the built-in).
//    Platforms differ here: one fires it, another never fires a hot key on a
//    modifier's key-down, and Windows CE does not say. Under
//    "modifier-hot-keys = no" the press, and so its release, go to the rest of
//    the system.
//  - a WM_HOTKEY a synthesised key made is marked as such in the queue, so
//    that what the tool does while handling it (a row of its own key come
//    back, an echo) is known by its cause (Device::SynthesisedHotKeyInHand).
//  - "register-cost = MICROSECONDS" makes each RegisterHotKey call of the
//    tool take that much device time (default 0), as on a slow device.
//  - keybd_event ignores key codes 0 and 255 (Windows CE accepts 1 to 254).
//  - with a keyboard host (KeyboardHost), the device still decides which of
//    its hot keys takes a press and its release; the host only says who else
//    holds a combination, which modifiers are held, and carries the keys that
//    reach the rest of the system. A synthesised release that a hot key of
//    the device takes is not sent to the host, so a modifier the user holds
//    stays held there. The host claims a combination before a replacement
//    gives the old one up, so a refused replacement keeps the old one.
//
// Not modelled: see keyboard.h.
#include "device/device.h"

#include <algorithm>

namespace device {

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

HotKeyTable::HotKeyTable() : by_combo_(16 * 256, 0) {}

size_t HotKeyTable::Holder(UINT set, UINT vk) const {
    if (vk < 256) {
        uint32_t v = by_combo_[set * 256 + vk];
        return v == 0 ? SIZE_MAX : v - 1;
    }
    // Keys beyond 255 are rare enough to scan for.
    for (size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i].vk == vk && (keys_[i].mods & 0xF) == set)
            return i;
    return SIZE_MAX;
}

// Index: points both indexes at entry i.
void HotKeyTable::Index(size_t i) {
    const HotKey& k = keys_[i];
    if (k.vk < 256)
        by_combo_[(k.mods & 0xF) * 256 + k.vk] = (uint32_t)(i + 1);
    by_owner_id_.Set(k.owner, k.id, (uint32_t)(i + 1));
}

void HotKeyTable::Add(const HotKey& k) {
    keys_.push_back(k);
    Index(keys_.size() - 1);
}

void HotKeyTable::RemoveAt(size_t i) {
    const HotKey& gone = keys_[i];
    if (gone.vk < 256)
        by_combo_[(gone.mods & 0xF) * 256 + gone.vk] = 0;
    by_owner_id_.Erase(gone.owner, gone.id);
    if (i + 1 != keys_.size()) {
        keys_[i] = keys_.back();
        Index(i);
    }
    keys_.pop_back();
}

uint8_t ModifierOf(uint8_t vk) {
    if (vk == VK_SHIFT || vk == VK_LSHIFT || vk == VK_RSHIFT)
        return MOD_SHIFT;
    if (vk == VK_CONTROL || vk == VK_LCONTROL || vk == VK_RCONTROL)
        return MOD_CONTROL;
    if (vk == VK_MENU || vk == VK_LMENU || vk == VK_RMENU)
        return MOD_ALT;
    return 0;
}

uint8_t KeyState::Mods() const {
    uint8_t m = 0;
    for (uint8_t vk : {VK_SHIFT, VK_LSHIFT, VK_RSHIFT, VK_CONTROL, VK_LCONTROL, VK_RCONTROL,
                       VK_MENU, VK_LMENU, VK_RMENU})
        if (down[vk])
            m |= ModifierOf(vk);
    return m;
}

uint8_t KeyboardHost::ModsAfter(uint8_t vk, bool down) {
    uint8_t own = ModifierOf(vk), mods = ModsHeld();
    return down ? (uint8_t)(mods | own) : (uint8_t)(mods & ~own);
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
    // The device's table first, then the keyboard host, which has the last
    // word on who holds the combination.
    UINT set = mods & 0xF;
    bool fires = profile_.modifier_hot_keys || vk > 0xFF || !ModifierOf((uint8_t)vk);
    if (hotkeys_.Holder(set, vk) != SIZE_MAX || !keyboard_->Claim(vk, set, fires)) {
        last_error = ERROR_HOTKEY_ALREADY_REGISTERED;
        return FALSE;
    }
    // The same window and id with another combination: the new one replaces it.
    if (hotkeys_.Find(h, id) != SIZE_MAX)
        UnregisterHotKey(h, id);
    hotkeys_.Add(HotKey{h, id, mods, vk});
    return TRUE;
}

BOOL Device::UnregisterHotKey(HWND h, int id) {
    size_t i = hotkeys_.Find(h, id);
    if (i == SIZE_MAX) {
        last_error = Find(h) ? ERROR_HOTKEY_NOT_REGISTERED : ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    RemoveHotKey(i);
    return TRUE;
}

// RemoveHotKey: takes entry i out of the table and gives its combination back.
void Device::RemoveHotKey(size_t i) {
    const HotKey& gone = hotkeys_.All()[i];
    keyboard_->Unclaim(gone.vk, gone.mods & 0xF);
    hotkeys_.RemoveAt(i);
}

uint8_t Device::ModsHeld() const {
    return keys_.Mods();
}

// Deliver: a key event no hot key takes reaches the rest of the system; a
// synthesised one goes on through the keyboard host.
void Device::Deliver(uint8_t vk, bool down, bool synthesized, uint8_t mods) {
    SystemKey k{now_, vk, down, mods, synthesized};
    if (record_system_keys)
        system_keys.push_back(k);
    Notify([&](Observer& o) { o.OnSystemKey(k); });
    if (synthesized)
        keyboard_->PassOn(vk, down);
}

void Device::KeyDown(uint8_t vk, bool synthesized) {
    keys_.down[vk] = true;
    Press(vk, synthesized ? keyboard_->ModsAfter(vk, true) : ModsHeld(), synthesized);
}

void Device::HostKeyEvent(uint8_t vk, bool down, uint8_t mods) {
    bool was_down = keys_.down[vk];
    keys_.down[vk] = down;
    if (down)
        Press(vk, mods, false);
    else
        Release(vk, was_down, mods, false);
}

// Press: the hot key for (key, modifiers held) takes the press, or the rest
// of the system gets it (a modifier key's always, under modifier-hot-keys no).
void Device::Press(uint8_t vk, uint8_t mods, bool synthesized) {
    size_t i = hotkeys_.Holder(mods, vk);
    if (!profile_.modifier_hot_keys && ModifierOf(vk))
        i = SIZE_MAX;
    if (i == SIZE_MAX) {
        taken_by_[vk] = false;
        Deliver(vk, true, synthesized, mods);
        return;
    }
    const HotKey& hk = hotkeys_.All()[i];
    taken_by_[vk] = true;
    taken_key_[vk] = hk;
    Notify([&](Observer& o) { o.OnKeyTaken(vk, true, synthesized, hk); });
    PostHotKey(hk.owner, hk.id, MAKELPARAM(mods, vk), synthesized);
}

void Device::KeyUp(uint8_t vk, bool synthesized) {
    bool was_down = keys_.down[vk];
    keys_.down[vk] = false;
    Release(vk, was_down, synthesized ? keyboard_->ModsAfter(vk, false) : ModsHeld(), synthesized);
}

// Release: the hot key that took the key's press gets its release, when it
// asked for releases; otherwise the rest of the system gets it.
void Device::Release(uint8_t vk, bool was_down, uint8_t mods, bool synthesized) {
    if (was_down && taken_by_[vk]) {
        taken_by_[vk] = false;
        const HotKey& took = taken_key_[vk];
        size_t i = hotkeys_.Find(took.owner, took.id);
        if (i != SIZE_MAX && (hotkeys_.All()[i].mods & MOD_KEYUP)) {
            const HotKey& hk = hotkeys_.All()[i];
            Notify([&](Observer& o) { o.OnKeyTaken(vk, false, synthesized, hk); });
            PostHotKey(hk.owner, hk.id, MAKELPARAM((hk.mods & 0xF) | MOD_KEYUP, vk), synthesized);
            return; // a release the shell's hot key takes goes nowhere else
        }
    }
    Deliver(vk, false, synthesized, mods);
}

void Device::Synthesise(uint8_t vk, bool down) {
    if (profile_.synthesised_keys == Profile::SynthesisedKeys::System)
        Deliver(vk, down, true, keyboard_->ModsAfter(vk, down));
    else if (down)
        KeyDown(vk, true);
    else
        KeyUp(vk, true);
}

} // namespace device
