// The virtual-key / X keyboard correspondence on a described keyboard (the
// key codes and modifier rows of Xvfb's default US keyboard): which key
// codes and states a combination grabs, and what an event is reported as.
#include "device/x11/keymap.h"

#include <gtest/gtest.h>

// After gtest: X.h defines None.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>

using x11::Grab;
using x11::Keymap;

namespace {

constexpr unsigned kShift = ShiftMask, kLock = LockMask, kCtrl = ControlMask, kAlt = Mod1Mask,
                   kNum = Mod2Mask;
constexpr uint8_t kModAlt = 1, kModCtrl = 2, kModShift = 4;

// A few keys of Xvfb's default keyboard.
x11::KeyboardFacts XvfbFacts() {
    x11::KeyboardFacts f;
    auto key = [&](int code, unsigned long l1, unsigned long l2, unsigned mods = 0) {
        f.level1[code] = l1;
        f.level2[code] = l2;
        f.modifiers[code] = mods;
    };
    key(28, XK_t, XK_T);
    key(69, XK_F3, XK_F3);
    key(10, XK_1, XK_exclam);
    key(37, XK_Control_L, XK_Control_L, kCtrl);
    key(105, XK_Control_R, XK_Control_R, kCtrl);
    key(50, XK_Shift_L, XK_Shift_L, kShift);
    key(64, XK_Alt_L, XK_Meta_L, kAlt);
    key(66, XK_Caps_Lock, XK_Caps_Lock, kLock);
    key(77, XK_Num_Lock, XK_Num_Lock, kNum);
    key(87, XK_KP_End, XK_KP_1);
    key(36, XK_Return, XK_Return);
    key(104, XK_KP_Enter, XK_KP_Enter);
    return f;
}

std::vector<Grab> Sorted(std::vector<Grab> g) {
    std::sort(g.begin(), g.end(), [](const Grab& a, const Grab& b) {
        return a.keycode != b.keycode ? a.keycode < b.keycode : a.state < b.state;
    });
    return g;
}

std::vector<Grab> WithLocks(uint8_t code, unsigned state) {
    std::vector<Grab> g;
    for (unsigned locks : {0u, kLock, kNum, kLock | kNum})
        g.push_back({code, state | locks});
    return Sorted(g);
}

} // namespace

// Facts of the table, one per kind of key.
TEST(X11Keymap, KeysymTable) {
    struct {
        unsigned long keysym;
        uint8_t vk;
    } cases[] = {
        {XK_a, 'A'},
        {XK_Z, 'Z'},
        {XK_7, '7'},
        {XK_F3, 0x72},
        {XK_F24, 0x87},
        {XK_Control_R, 0x11},
        {XK_Alt_L, 0x12},
        {XK_Meta_R, 0x12},
        {XK_Shift_R, 0x10},
        {XK_KP_0, 0x60},
        {XK_KP_End, 0x23},
        {XK_KP_Enter, 0x0D},
        {XK_KP_Decimal, 0x6E},
        {XK_Down, 0x28},
        {XK_Menu, 0x5D},
        {XK_Print, 0x2C},
        {XK_bracketleft, 0xDB},
        {XK_less, 0xE2},
        {XK_exclam, 0},
        {XK_ISO_Level3_Shift, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(x11::VkOfKeysym(c.keysym), c.vk) << XKeysymToString(c.keysym);
    std::vector<unsigned long> enter = x11::KeysymsOfVk(0x0D);
    EXPECT_EQ(enter.size(), 2u);
    EXPECT_TRUE(x11::KeysymsOfVk(0xA2).empty()) << "left Ctrl is reported as VK_CONTROL";
}

// What each combination grabs: exact states, once per lock combination.
TEST(X11Keymap, GrabsOfCombinations) {
    Keymap km(XvfbFacts());
    EXPECT_EQ(km.AltMask(), kAlt);
    EXPECT_EQ(km.NumLockMask(), kNum);
    EXPECT_EQ(km.ScrollLockMask(), 0u);
    EXPECT_EQ(km.LockCombinations().size(), 4u);

    EXPECT_EQ(Sorted(km.GrabsOf('T', kModCtrl | kModAlt)), WithLocks(28, kCtrl | kAlt));
    EXPECT_EQ(Sorted(km.GrabsOf(0x72, kModShift)), WithLocks(69, kShift));
    // Shift+1 is still "1".
    EXPECT_EQ(Sorted(km.GrabsOf('1', kModShift)), WithLocks(10, kShift));

    // Ctrl's own press comes without the Control bit, a press of the other
    // Ctrl while one is held with it: both key codes, both states.
    std::vector<Grab> ctrl;
    for (uint8_t code : {37, 105})
        for (unsigned state : {0u, kCtrl})
            for (const Grab& g : WithLocks(code, state))
                ctrl.push_back(g);
    EXPECT_EQ(Sorted(km.GrabsOf(0x11, kModCtrl)), Sorted(ctrl));
    EXPECT_TRUE(km.GrabsOf(0x11, 0).empty()) << "Ctrl without Ctrl never happens";
    EXPECT_TRUE(km.GrabsOf(0xA2, kModCtrl).empty());

    // The keypad's 1 is VK_NUMPAD1 with Num Lock alone, VK_END otherwise.
    std::vector<Grab> numpad = Sorted(km.GrabsOf(0x61, 0));
    EXPECT_EQ(numpad, Sorted({{87, kNum}, {87, kNum | kLock}}));
    EXPECT_EQ(Sorted(km.GrabsOf(0x23, kModShift)),
              Sorted({{87, kShift | kNum}, {87, kShift | kNum | kLock}}))
        << "Shift turns Num Lock around, as the server's keypad does";
    // Return and the keypad's Enter are one virtual key.
    EXPECT_EQ(km.GrabsOf(0x0D, 0).size(), 8u);
}

// Events: the state is the one before the event; the key counts itself
// while it is down.
TEST(X11Keymap, EventsAsTheDeviceSeesThem) {
    Keymap km(XvfbFacts());
    struct {
        uint8_t code;
        unsigned state;
        bool down;
        uint8_t vk, mods;
    } cases[] = {
        {37, 0, true, 0x11, kModCtrl},                   // Ctrl pressed alone
        {37, kCtrl, false, 0x11, 0},                     // ... and released
        {28, kCtrl | kNum | kLock, true, 'T', kModCtrl}, // locks do not count
        {64, kShift, true, 0x12, kModShift | kModAlt},
        {87, kNum, true, 0x61, 0},
        {87, 0, true, 0x23, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(km.VkOf(c.code, c.state), c.vk) << "key code " << (int)c.code;
        EXPECT_EQ(km.ModsOf(c.state, c.vk, c.down), c.mods) << "key code " << (int)c.code;
    }
    EXPECT_EQ(km.KeycodesOf(0x11, 0), (std::vector<uint8_t>{37, 105}));
    std::vector<uint8_t> gone = km.Unreachable();
    EXPECT_TRUE(std::find(gone.begin(), gone.end(), 0xA0) != gone.end());
    EXPECT_TRUE(std::find(gone.begin(), gone.end(), 'T') == gone.end());
}
