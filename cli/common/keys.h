// keys.h - the device's keys as every program names them: names and codes,
// modifier bits and modifier keys. Scenarios and profiles are read with it;
// transcripts, the terminal's status line and reports are written with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keys {

// Modifier bits of a hot key and of a row of the tool's log (the platform's
// MOD_ALT, MOD_CONTROL and MOD_SHIFT).
inline constexpr unsigned kModAlt = 1, kModCtrl = 2, kModShift = 4;

// Codes of the three modifier keys (the platform's VK_SHIFT, VK_CONTROL and
// VK_MENU).
inline constexpr uint8_t kVkShift = 0x10, kVkCtrl = 0x11, kVkAlt = 0x12;

// The key code of a name ("A", "f12", "Ctrl", "PageUp", "PgUp") or of a code
// written "0x00" to "0xFF". Names are not case-sensitive. False, with `error`
// set, for anything else.
bool ParseKey(std::string_view text, uint8_t& vk, std::string& error);

// The keys of a combination such as "Ctrl+Shift+A", in the order written. A
// key may appear only once.
bool ParseCombo(std::string_view text, std::vector<uint8_t>& keys, std::string& error);

// The name every program prints for a key code: "A", "F12", "Ctrl",
// "Numpad0", or the code in hex ("0xE5", "0x1A5") for one without a name.
// ParseKey reads every name back.
std::string KeyName(unsigned vk);

// The key's label where room is short: "Num0", "PgUp", "=" for the long
// names, KeyName for the others.
std::string KeyLabel(unsigned vk);

// Every name ParseKey takes for a code, KeyName's first; none for a code
// without a name.
std::vector<std::string> NamesOf(uint8_t vk);

// A code in hex: "0x" and at least two upper-case digits.
std::string HexCode(unsigned vk);

// A modifier set as "Shift+Ctrl+Alt", "none" when empty.
std::string ModsName(unsigned mods);

// The modifier bit of a modifier key (Shift, Ctrl, Alt and their left and
// right keys: 0xA0 to 0xA5, in pairs in the same order), 0 for any other key.
// Inline: the report asks it of every row.
inline unsigned ModifierOfKey(unsigned vk) {
    constexpr unsigned kMods[] = {kModShift, kModCtrl, kModAlt};
    if (vk - kVkShift < 3u)
        return kMods[vk - kVkShift];
    if (vk - 0xA0u < 6u)
        return kMods[(vk - 0xA0u) / 2];
    return 0;
}

} // namespace keys
