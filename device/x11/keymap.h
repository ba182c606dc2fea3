// keymap.h - virtual-key codes on an X keyboard: which key code and modifier
// state of the X server stands for which (virtual key, modifier set) of the
// device, in both directions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace x11 {

// The virtual-key code of a keysym; 0 when the table has none.
uint8_t VkOfKeysym(unsigned long keysym);

// The keysyms the table maps to `vk` (none for a code it does not cover).
std::vector<unsigned long> KeysymsOfVk(uint8_t vk);

// One passive grab: a key code and the exact modifier state it matches.
struct Grab {
    uint8_t keycode;
    unsigned state;
    bool operator==(const Grab& o) const { return keycode == o.keycode && state == o.state; }
};

// What the server says about its keyboard: the keysyms of each key code
// (group 1, levels 1 and 2) and which modifier bit each key code sets.
struct KeyboardFacts {
    int min_keycode = 8;
    int max_keycode = 255;
    unsigned long level1[256] = {}; // keysym without modifiers
    unsigned long level2[256] = {}; // keysym with Shift (or Num Lock on the keypad)
    unsigned modifiers[256] = {};   // modifier mask bits (1 << row) the key code sets
};

// The device's keyboard as it shows on one X keyboard.
class Keymap {
  public:
    explicit Keymap(const KeyboardFacts& facts);

    // True when `facts` describe the same keyboard as this map's.
    bool SameFacts(const KeyboardFacts& facts) const;

    // Masks of the modifiers that matter; 0 for one no key code sets.
    unsigned AltMask() const { return alt_mask_; }
    unsigned NumLockMask() const { return num_lock_mask_; }
    unsigned ScrollLockMask() const { return scroll_lock_mask_; }
    // Every combination of the lock modifiers (Caps Lock, Num Lock, Scroll
    // Lock) that this keyboard has, 0 first.
    const std::vector<unsigned>& LockCombinations() const { return locks_; }

    // The virtual key a key code gives in a modifier state (0: none).
    uint8_t VkOf(uint8_t keycode, unsigned state) const;
    // The device's modifier set (MOD_ALT | MOD_CONTROL | MOD_SHIFT) of a
    // state, the state being the one before the event, as X reports it, and
    // the key's own modifier added (press) or taken away (release).
    uint8_t ModsOf(unsigned state, uint8_t vk, bool down) const;
    // The grabs that stand for (vk, set): every key code and state whose
    // press the device sees as that combination, once for each combination
    // of the lock modifiers. Empty when nothing on this keyboard makes it.
    const std::vector<Grab>& GrabsOf(uint8_t vk, unsigned set) const {
        return grabs_[(set & 7) * 256 + vk];
    }
    // The key codes that give `vk` with no modifiers but `locks`, in key-code order.
    std::vector<uint8_t> KeycodesOf(uint8_t vk, unsigned locks) const;
    // The modifier mask bits a key code sets.
    unsigned ModifierBitsOf(uint8_t keycode) const { return facts_.modifiers[keycode]; }
    // Virtual-key codes 1-254 that no key code of this keyboard gives.
    std::vector<uint8_t> Unreachable() const;

  private:
    KeyboardFacts facts_;
    unsigned alt_mask_ = 0, num_lock_mask_ = 0, scroll_lock_mask_ = 0;
    std::vector<unsigned> locks_;
    std::vector<std::vector<Grab>> grabs_; // index set * 256 + vk
};

} // namespace x11
