// keys_test.cpp - the key vocabulary: every name reads back as its code,
// the names typed by hand, combinations, modifiers and the short labels.
#include "cli/common/keys.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

std::string Cased(std::string s, int (*to)(int)) {
    for (char& c : s)
        c = (char)to((unsigned char)c);
    return s;
}

TEST(Keys, EveryNameOfEveryCodeReadsBackInAnyCase) {
    for (int vk = 0; vk < 256; ++vk) {
        std::vector<std::string> names = keys::NamesOf((uint8_t)vk);
        std::string printed = keys::KeyName(vk);
        EXPECT_EQ(printed, names.empty() ? keys::HexCode(vk) : names[0]);
        names.push_back(printed);
        for (const std::string& name : names)
            for (const std::string& typed :
                 {name, Cased(name, std::tolower), Cased(name, std::toupper)}) {
                uint8_t got = 0;
                std::string error;
                ASSERT_TRUE(keys::ParseKey(typed, got, error)) << typed << ": " << error;
                EXPECT_EQ(got, vk) << typed;
            }
        // A label is for narrow places (the report's grid of codes).
        EXPECT_LE(keys::KeyLabel(vk).size(), 8u) << printed;
    }
}

TEST(Keys, NamesTypedByHand) {
    const std::pair<const char*, int> cases[] = {
        {"a", 0x41},       {"Z", 0x5A},     {"0", 0x30},         {"9", 0x39},
        {"f1", 0x70},      {"F24", 0x87},   {"Shift", 0x10},     {"CTRL", 0x11},
        {"alt", 0x12},     {"Enter", 0x0D}, {"esc", 0x1B},       {"Space", 0x20},
        {"Tab", 0x09},     {"Back", 0x08},  {"Left", 0x25},      {"Up", 0x26},
        {"Right", 0x27},   {"Down", 0x28},  {"0x0d", 0x0D},      {"0xFF", 0xFF},
        {"0x00", 0x00},    {"App1", 0xC1},  {"Delete", 0x2E},    {"numpad0", 0x60},
        {"Numpad9", 0x69}, {"PgDn", 0x22},  {"Backspace", 0x08}, {"Control", 0x11},
    };
    for (const auto& [name, vk] : cases) {
        uint8_t got = 0;
        std::string error;
        EXPECT_TRUE(keys::ParseKey(name, got, error)) << name << ": " << error;
        EXPECT_EQ(got, vk) << name;
    }
    for (const char* bad : {"F25", "F0", "F01", "0x100", "0xG1", "0x", "Foo", "", "AB", "-1",
                            "Numpad10", "Numpad01", "App0", "App7", "Num0", "="}) {
        uint8_t got;
        std::string error;
        EXPECT_FALSE(keys::ParseKey(bad, got, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(Keys, CombinationsKeepTheirOrderAndRejectRepeats) {
    std::vector<uint8_t> combo;
    std::string error;
    ASSERT_TRUE(keys::ParseCombo("Ctrl+Shift+A", combo, error)) << error;
    EXPECT_EQ(combo, (std::vector<uint8_t>{0x11, 0x10, 0x41}));
    for (const char* bad : {"Ctrl+Ctrl", "Ctrl+", "+A", "Ctrl++A", "Ctrl+Nope", "Control+Ctrl"})
        EXPECT_FALSE(keys::ParseCombo(bad, combo, error)) << bad;
}

TEST(Keys, ModifierSetsAndModifierKeys) {
    EXPECT_EQ(keys::ModsName(keys::kModShift | keys::kModAlt), "Shift+Alt");
    EXPECT_EQ(keys::ModsName(7), "Shift+Ctrl+Alt");
    EXPECT_EQ(keys::ModsName(0), "none");
    const std::pair<unsigned, unsigned> cases[] = {
        {0x10, keys::kModShift},
        {0xA1, keys::kModShift},
        {0x11, keys::kModCtrl},
        {0xA2, keys::kModCtrl},
        {0x12, keys::kModAlt},
        {0xA5, keys::kModAlt},
        {0x41, 0},
        {0x5B, 0},
        {0x1A0, 0},
    };
    for (const auto& [vk, mod] : cases)
        EXPECT_EQ(keys::ModifierOfKey(vk), mod) << keys::HexCode(vk);
    EXPECT_EQ(keys::KeyName(0x1A5), "0x1A5");
}

} // namespace
