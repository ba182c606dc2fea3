// keyboard.h - the simulated device's keyboard: its key state, the device-wide
// hot-key table, and the keyboard host that says who else holds a combination
// (the device's own keyboard unless a host such as an X server stands in).
//
// What it does not model (gap inventory):
//  - key auto-repeat, keyboard layouts, WM_KEYDOWN/WM_CHAR delivery to the
//    focus window (keys no hot key takes go to "the rest of the system",
//    which the device records);
//  - hot keys with MOD_WIN held (no Windows key on the keyboard).
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <vector>

namespace device {

// A key event that reached the rest of the system (no hot key took it).
struct SystemKey {
    uint64_t time; // device time, ms since boot
    uint8_t vk;
    bool down;
    uint8_t mods;     // modifier set held then (MOD_ALT | MOD_CONTROL | MOD_SHIFT)
    bool synthesized; // came from keybd_event
};

struct HotKey {
    HWND owner;
    int id;
    UINT mods; // as registered, MOD_KEYUP included
    UINT vk;
};

// Open-addressing map from (owner, id) to a value other than 0, with no
// allocation per insert or erase (the tool unregisters and registers again on
// every key it passes through).
class HotKeyIndex {
  public:
    uint32_t Get(HWND owner, int id) const; // 0 when absent
    void Set(HWND owner, int id, uint32_t value);
    void Erase(HWND owner, int id);

  private:
    struct Slot {
        HWND owner;
        int id;
        uint32_t value; // 0: free
    };
    size_t Home(HWND owner, int id) const;
    void Grow();
    std::vector<Slot> slots_; // size 0 or a power of two, at most half full
    size_t used_ = 0;
};

// The device-wide hot-key table: every program's hot keys, found by
// combination (key, modifier bits & 0xF) and by (owner, id) without a scan.
class HotKeyTable {
  public:
    HotKeyTable();
    const std::vector<HotKey>& All() const { return keys_; }
    // Index into All() of the hot key holding (set, vk), or SIZE_MAX.
    size_t Holder(UINT set, UINT vk) const;
    // Index into All() of the hot key (owner, id), or SIZE_MAX.
    size_t Find(HWND owner, int id) const {
        uint32_t v = by_owner_id_.Get(owner, id);
        return v == 0 ? SIZE_MAX : v - 1;
    }
    // Adds a hot key whose combination and (owner, id) are both free.
    void Add(const HotKey& k);
    // Takes entry i out; the last entry moves into its place.
    void RemoveAt(size_t i);

  private:
    void Index(size_t i);
    std::vector<HotKey> keys_;
    // Combination (mods & 0xF, vk) -> index + 1 into keys_; 0 when free.
    std::vector<uint32_t> by_combo_;
    HotKeyIndex by_owner_id_; // (owner, id) -> index + 1 into keys_
};

// Which keys are down on the device's keyboard.
struct KeyState {
    bool down[256] = {};
    // The modifier set (MOD_ALT | MOD_CONTROL | MOD_SHIFT) of the keys down.
    uint8_t Mods() const;
};

// The modifier bit a key stands for (MOD_SHIFT for VK_SHIFT, VK_LSHIFT and
// VK_RSHIFT ...), 0 for a key that is no modifier.
uint8_t ModifierOf(uint8_t vk);

// The keyboard and hot-key table of the world around the device's own table:
// who else holds a combination, which modifiers are held, and where a
// synthesised key that reaches "the rest of the system" goes on to. The
// device always has one: its own keyboard (OwnKeyboard) unless a host stands
// in (an X server, whose key grabs are every program's hot keys). With a host,
// RegisterHotKey also claims its combination there and fails with 1409 when
// the host says another program holds it; every hot key the device frees is
// given back; the modifier state of synthesised keys is the host's; and key
// events come from the host through Device::HostKeyEvent. Routing (which hot
// key takes a press, which one its release) stays the device's own.
class KeyboardHost {
  public:
    virtual ~KeyboardHost() = default;
    // Claims (vk, modifier set) for a hot key; false when another program holds
    // it. A hot key that never `fires` (a modifier's own, under
    // modifier-hot-keys no) only asks: the host keeps nothing that would take
    // the key from the rest of its system.
    virtual bool Claim(UINT vk, UINT set, bool fires) = 0;
    // Gives back a combination claimed before.
    virtual void Unclaim(UINT vk, UINT set) = 0;
    // The modifier set (MOD_ALT | MOD_CONTROL | MOD_SHIFT) held on the host now.
    virtual uint8_t ModsHeld() = 0;
    // A synthesised key event that no hot key of the device takes: the host
    // sends it on, to whatever program it reaches there.
    virtual void PassOn(uint8_t vk, bool down) = 0;
    // The modifier set once a synthesised event of `vk` has happened: the
    // host's set, with the key itself when it is a modifier (the host has not
    // seen the event yet).
    virtual uint8_t ModsAfter(uint8_t vk, bool down);
};

// The device's own keyboard as its keyboard host, standing wherever no other
// host is set, so that the key path never asks whether there is one: nobody
// beyond the device's table holds a combination, the modifiers are the
// device's key state (which already has the event), and a key passed on
// stops here, having been recorded as reaching the rest of the system.
class OwnKeyboard final : public KeyboardHost {
  public:
    explicit OwnKeyboard(const KeyState& keys) : keys_(keys) {}
    bool Claim(UINT, UINT, bool) override { return true; }
    void Unclaim(UINT, UINT) override {}
    uint8_t ModsHeld() override { return keys_.Mods(); }
    void PassOn(uint8_t, bool) override {}
    uint8_t ModsAfter(uint8_t, bool) override { return keys_.Mods(); }

  private:
    const KeyState& keys_;
};

} // namespace device
