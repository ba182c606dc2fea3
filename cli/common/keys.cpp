// keys.cpp - the one table of key names and codes.
#include "cli/common/keys.h"

#include "cli/common/text.h"

#include "platform/platform.h"

#include <cstdio>
#include <cstring>

namespace keys {

static_assert(kModAlt == MOD_ALT && kModCtrl == MOD_CONTROL && kModShift == MOD_SHIFT);
static_assert(kVkShift == VK_SHIFT && kVkCtrl == VK_CONTROL && kVkAlt == VK_MENU);

namespace {

// A key with a name of its own: its names, separated by blanks (the first is
// the one printed, the others are read as well), and a label where the name
// is too long for a narrow place. Letters and digits are their own names,
// F1 to F24 are named by rule.
struct Named {
    uint8_t vk;
    const char* names;
    const char* label; // "": the name
};

// clang-format off
const Named kNamed[] = {
    {0x01, "LButton", ""}, {0x02, "RButton", ""}, {0x03, "Cancel", ""}, {0x04, "MButton", ""},
    {0x08, "Back Backspace", ""}, {0x09, "Tab", ""}, {0x0C, "Clear", ""},
    {0x0D, "Enter Return", ""}, {0x10, "Shift", ""}, {0x11, "Ctrl Control", ""},
    {0x12, "Alt Menu", ""}, {0x13, "Pause", ""}, {0x14, "CapsLock", ""}, {0x1B, "Esc Escape", ""},
    {0x20, "Space", ""}, {0x21, "PageUp PgUp Prior", "PgUp"}, {0x22, "PageDown PgDn Next", "PgDn"},
    {0x23, "End", ""}, {0x24, "Home", ""}, {0x25, "Left", ""}, {0x26, "Up", ""},
    {0x27, "Right", ""}, {0x28, "Down", ""}, {0x29, "Select", ""}, {0x2A, "Print", ""},
    {0x2B, "Execute", ""}, {0x2C, "PrintScreen Snapshot", "PrtSc"}, {0x2D, "Insert Ins", ""},
    {0x2E, "Delete Del", ""}, {0x2F, "Help", ""}, {0x5B, "LWin", ""}, {0x5C, "RWin", ""},
    {0x5D, "Apps", ""}, {0x5F, "Sleep", ""}, {0x60, "Numpad0", "Num0"}, {0x61, "Numpad1", "Num1"},
    {0x62, "Numpad2", "Num2"}, {0x63, "Numpad3", "Num3"}, {0x64, "Numpad4", "Num4"},
    {0x65, "Numpad5", "Num5"}, {0x66, "Numpad6", "Num6"}, {0x67, "Numpad7", "Num7"},
    {0x68, "Numpad8", "Num8"}, {0x69, "Numpad9", "Num9"}, {0x6A, "Multiply", "Num*"},
    {0x6B, "Add", "Num+"}, {0x6C, "Separator", "Sep"}, {0x6D, "Subtract", "Num-"},
    {0x6E, "Decimal", "Num."}, {0x6F, "Divide", "Num/"}, {0x90, "NumLock", ""},
    {0x91, "ScrollLock", "ScrLock"}, {0xA0, "LShift", ""}, {0xA1, "RShift", ""},
    {0xA2, "LCtrl", ""}, {0xA3, "RCtrl", ""}, {0xA4, "LAlt", ""}, {0xA5, "RAlt", ""},
    {0xBA, "Semicolon", ";"}, {0xBB, "Plus", "="}, {0xBC, "Comma", ","}, {0xBD, "Minus", "-"},
    {0xBE, "Period", "."}, {0xBF, "Slash", "/"}, {0xC0, "Grave", "`"}, {0xC1, "App1", ""},
    {0xC2, "App2", ""}, {0xC3, "App3", ""}, {0xC4, "App4", ""}, {0xC5, "App5", ""},
    {0xC6, "App6", ""}, {0xDB, "LBracket", "["}, {0xDC, "Backslash", "\\"}, {0xDD, "RBracket", "]"},
    {0xDE, "Quote", "'"},
};
// clang-format on

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
    return "\"" + text::Printable(s, 60) + "\"";
}

// Calls `fn(word)` for each blank-separated word of `words` until it returns
// true; true when it did.
template <typename Fn> bool AnyWord(std::string_view words, Fn&& fn) {
    while (!words.empty()) {
        size_t blank = words.find(' ');
        if (fn(words.substr(0, blank)))
            return true;
        if (blank == std::string_view::npos)
            break;
        words.remove_prefix(blank + 1);
    }
    return false;
}

bool IsLetterOrDigit(unsigned vk) {
    return (vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9');
}

// F1 to F24, named by rule.
bool IsFKey(unsigned vk) {
    return vk >= VK_F1 && vk < VK_F1 + 24;
}

const Named* NamedOf(unsigned vk) {
    for (const Named& n : kNamed)
        if (n.vk == vk)
            return &n;
    return nullptr;
}

// The name of a key code, or its label; the code in hex for one without a name.
std::string Describe(unsigned vk, bool label) {
    if (IsLetterOrDigit(vk))
        return std::string(1, (char)vk);
    if (IsFKey(vk))
        return "F" + std::to_string(vk - VK_F1 + 1);
    if (const Named* n = NamedOf(vk))
        return label && *n->label ? n->label : std::string(n->names, std::strcspn(n->names, " "));
    return HexCode(vk);
}

// A code: "0x" followed by hexadecimal digits, at most 0xFF.
bool ParseCode(std::string_view text, uint8_t& vk, std::string& error) {
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

// "F1" to "F24", in any case.
bool ParseFKey(std::string_view text, uint8_t& vk) {
    if (text.size() < 2 || text.size() > 3 || Lower(text[0]) != 'f' || text[1] < '1' ||
        text[1] > '9')
        return false;
    int n = text[1] - '0';
    if (text.size() == 3) {
        if (text[2] < '0' || text[2] > '9')
            return false;
        n = n * 10 + (text[2] - '0');
    }
    if (n > 24)
        return false;
    vk = (uint8_t)(VK_F1 + n - 1);
    return true;
}

} // namespace

bool ParseKey(std::string_view text, uint8_t& vk, std::string& error) {
    if (text.empty()) {
        error = "missing key name";
        return false;
    }
    if (text.size() > 2 && text[0] == '0' && Lower(text[1]) == 'x')
        return ParseCode(text, vk, error);
    if (text.size() == 1) {
        char c = text[0];
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 32);
        if (IsLetterOrDigit((unsigned char)c)) {
            vk = (uint8_t)c;
            return true;
        }
    }
    if (ParseFKey(text, vk))
        return true;
    auto same = [text](std::string_view name) { return SameNoCase(text, name); };
    for (const Named& e : kNamed)
        if (AnyWord(e.names, same)) {
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

std::string KeyName(unsigned vk) {
    return Describe(vk, false);
}

std::string KeyLabel(unsigned vk) {
    return Describe(vk, true);
}

std::vector<std::string> NamesOf(uint8_t vk) {
    if (IsLetterOrDigit(vk) || IsFKey(vk))
        return {KeyName(vk)};
    std::vector<std::string> out;
    if (const Named* n = NamedOf(vk))
        AnyWord(n->names, [&out](std::string_view name) {
            out.emplace_back(name);
            return false;
        });
    return out;
}

std::string HexCode(unsigned vk) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", vk);
    return text;
}

std::string ModsName(unsigned mods) {
    std::string out;
    auto add = [&](unsigned bit, const char* name) {
        if (mods & bit)
            out += (out.empty() ? "" : "+") + std::string(name);
    };
    add(kModShift, "Shift");
    add(kModCtrl, "Ctrl");
    add(kModAlt, "Alt");
    return out.empty() ? "none" : out;
}

} // namespace keys
