// keys.h - names of the device's keys, as scenario lines, profiles and the
// transcript write them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

// The key code of a name ("A", "f12", "Ctrl", "PageUp") or of a code written
// "0x00" to "0xFF". Names are not case-sensitive. False, with `error` set,
// for anything else.
bool ParseKey(std::string_view text, uint8_t& vk, std::string& error);

// The keys of a combination such as "Ctrl+Shift+A", in the order written. A
// key may appear only once.
bool ParseCombo(std::string_view text, std::vector<uint8_t>& keys, std::string& error);

// The name the transcript gives a key code: "A", "F12", "Ctrl", or "0xE5"
// for a code without a name. ParseKey reads every such name back.
std::string KeyName(uint8_t vk);

// A modifier set (MOD_SHIFT | MOD_CONTROL | MOD_ALT) as "Shift+Ctrl+Alt",
// "none" when empty.
std::string ModsName(unsigned mods);

// The modifier bit of a modifier key (Shift, Ctrl, Alt and their left and
// right keys), 0 for any other key.
unsigned ModifierOfKey(uint8_t vk);

} // namespace runner
