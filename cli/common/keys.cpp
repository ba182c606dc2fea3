// keys.cpp - key names and codes. The first name listed for a code is the one
// the transcript prints; the others are accepted as well.
#include "cli/common/keys.h"

#include "cli/runner/parse_util.h"

#include "platform/platform.h"

#include <cstdio>

namespace runner {

namespace {

struct KeyNameEntry {
    const char* name;
    uint8_t vk;
};

// Named keys other than letters, digits and F1-F24 (made by rule below).
const KeyNameEntry kNames[] = {
    {"Back", 0x08},      {"Backspace", 0x08}, {"Tab", 0x09},       {"Clear", 0x0C},
    {"Enter", 0x0D},     {"Return", 0x0D},    {"Shift", 0x10},     {"Ctrl", 0x11},
    {"Control", 0x11},   {"Alt", 0x12},       {"Menu", 0x12},      {"Pause", 0x13},
    {"CapsLock", 0x14},  {"Esc", 0x1B},       {"Escape", 0x1B},    {"Space", 0x20},
    {"PageUp", 0x21},    {"PgUp", 0x21},      {"Prior", 0x21},     {"PageDown", 0x22},
    {"PgDn", 0x22},      {"Next", 0x22},      {"End", 0x23},       {"Home", 0x24},
    {"Left", 0x25},      {"Up", 0x26},        {"Right", 0x27},     {"Down", 0x28},
    {"Select", 0x29},    {"Print", 0x2A},     {"Execute", 0x2B},   {"PrintScreen", 0x2C},
    {"Snapshot", 0x2C},  {"Insert", 0x2D},    {"Ins", 0x2D},       {"Delete", 0x2E},
    {"Del", 0x2E},       {"Help", 0x2F},      {"LWin", 0x5B},      {"RWin", 0x5C},
    {"Apps", 0x5D},      {"Sleep", 0x5F},     {"Numpad0", 0x60},   {"Numpad1", 0x61},
    {"Numpad2", 0x62},   {"Numpad3", 0x63},   {"Numpad4", 0x64},   {"Numpad5", 0x65},
    {"Numpad6", 0x66},   {"Numpad7", 0x67},   {"Numpad8", 0x68},   {"Numpad9", 0x69},
    {"Multiply", 0x6A},  {"Add", 0x6B},       {"Separator", 0x6C}, {"Subtract", 0x6D},
    {"Decimal", 0x6E},   {"Divide", 0x6F},    {"NumLock", 0x90},   {"ScrollLock", 0x91},
    {"LShift", 0xA0},    {"RShift", 0xA1},    {"LCtrl", 0xA2},     {"RCtrl", 0xA3},
    {"LAlt", 0xA4},      {"RAlt", 0xA5},      {"Semicolon", 0xBA}, {"Plus", 0xBB},
    {"Comma", 0xBC},     {"Minus", 0xBD},     {"Period", 0xBE},    {"Slash", 0xBF},
    {"Grave", 0xC0},     {"App1", 0xC1},      {"App2", 0xC2},      {"App3", 0xC3},
    {"App4", 0xC4},      {"App5", 0xC5},      {"App6", 0xC6},      {"LBracket", 0xDB},
    {"Backslash", 0xDC}, {"RBracket", 0xDD},  {"Quote", 0xDE},
};

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Quoted(std::string_view s) {
    return "\"" + Printable(s, 60) + "\"";
}

} // namespace

bool ParseKey(std::string_view text, uint8_t& vk, std::string& error) {
    if (text.empty()) {
        error = "missing key name";
        return false;
    }
    // A code: 0x followed by hexadecimal digits.
    if (text.size() > 2 && text[0] == '0' && Lower(text[1]) == 'x') {
        unsigned value = 0;
        for (size_t i = 2; i < text.size(); ++i) {
            int d = HexDigit(text[i]);
            if (d < 0) {
                error = "bad key code " + Quoted(text);
                return false;
            }
            value = value * 16 + (unsigned)d;
            if (value > 0xFF) {
                error = "key code " + Quoted(text) + " is out of range (0x00 to 0xFF)";
                return false;
            }
        }
        vk = (uint8_t)value;
        return true;
    }
    if (text.size() == 1) {
        char c = text[0];
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 32);
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            vk = (uint8_t)c;
            return true;
        }
    }
    // F1 to F24.
    if ((text[0] == 'F' || text[0] == 'f') && text.size() >= 2 && text.size() <= 3 &&
        text[1] >= '1' && text[1] <= '9') {
        int n = text[1] - '0';
        bool ok = true;
        if (text.size() == 3) {
            ok = text[2] >= '0' && text[2] <= '9';
            n = n * 10 + (text[2] - '0');
        }
        if (ok && n >= 1 && n <= 24) {
            vk = (uint8_t)(VK_F1 + n - 1);
            return true;
        }
    }
    for (const KeyNameEntry& e : kNames)
        if (SameNoCase(text, e.name)) {
            vk = e.vk;
            return true;
        }
    error = "unknown key " + Quoted(text);
    return false;
}

bool ParseCombo(std::string_view text, std::vector<uint8_t>& keys, std::string& error) {
    keys.clear();
    if (text.empty()) {
        error = "missing key combination";
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t plus = text.find('+', start);
        std::string_view part = text.substr(
            start, plus == std::string_view::npos ? std::string_view::npos : plus - start);
        if (part.empty()) {
            error = "empty key name in " + Quoted(text);
            return false;
        }
        uint8_t vk;
        if (!ParseKey(part, vk, error))
            return false;
        for (uint8_t k : keys)
            if (k == vk) {
                error = "key " + KeyName(vk) + " appears twice in " + Quoted(text);
                return false;
            }
        keys.push_back(vk);
        if (plus == std::string_view::npos)
            return true;
        start = plus + 1;
    }
}

std::string KeyName(uint8_t vk) {
    if ((vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9'))
        return std::string(1, (char)vk);
    if (vk >= VK_F1 && vk < VK_F1 + 24)
        return "F" + std::to_string(vk - VK_F1 + 1);
    for (const KeyNameEntry& e : kNames)
        if (e.vk == vk)
            return e.name;
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", vk);
    return buf;
}

std::string ModsName(unsigned mods) {
    std::string out;
    auto add = [&](unsigned bit, const char* name) {
        if (mods & bit)
            out += (out.empty() ? "" : "+") + std::string(name);
    };
    add(MOD_SHIFT, "Shift");
    add(MOD_CONTROL, "Ctrl");
    add(MOD_ALT, "Alt");
    return out.empty() ? "none" : out;
}

unsigned ModifierOfKey(uint8_t vk) {
    switch (vk) {
    case VK_SHIFT:
    case VK_LSHIFT:
    case VK_RSHIFT:
        return MOD_SHIFT;
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL:
        return MOD_CONTROL;
    case VK_MENU:
    case VK_LMENU:
    case VK_RMENU:
        return MOD_ALT;
    default:
        return 0;
    }
}

} // namespace runner
