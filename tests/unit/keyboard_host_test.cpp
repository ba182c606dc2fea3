// The device with a host's keyboard, hot-key table and clock in place of its
// own (the seam the X11 port plugs into): what the host refuses becomes an F
// row, every claim is given back, host key events make the rows the device's
// own keyboard would, and only keys no hot key takes are sent on to the host.
#include "tests/harness/harness.h"

#include <set>
#include <utility>

using namespace testing_support;

namespace {

// A host whose other programs hold `others`; it records what the device
// claims and sends on.
struct FakeHost : device::KeyboardHost {
    std::set<std::pair<UINT, UINT>> others, claimed;
    std::set<UINT> asked_only; // key codes claimed as never firing
    uint8_t mods = 0;
    std::vector<std::string> passed; // "41D", "41U"
    bool Claim(UINT vk, UINT set, bool fires) override {
        if (others.count({vk, set}))
            return false;
        if (!fires)
            asked_only.insert(vk);
        EXPECT_TRUE(claimed.insert({vk, set}).second) << "claimed twice: " << vk << "/" << set;
        return true;
    }
    void Unclaim(UINT vk, UINT set) override {
        EXPECT_EQ(claimed.erase({vk, set}), 1u) << "gave back what it never held";
    }
    uint8_t ModsHeld() override { return mods; }
    void PassOn(uint8_t vk, bool down) override {
        char buf[8];
        snprintf(buf, sizeof buf, "%02X%c", vk, down ? 'D' : 'U');
        passed.push_back(buf);
    }
};

struct FakeClock : device::ClockSource {
    uint64_t ms = 0;
    uint64_t ElapsedMs() override { return ms; }
};

} // namespace

// The sweep: exactly what the host refuses is listed, the rest is claimed
// once each, and all of it is given back at exit.
TEST(KeyboardHost, SweepListsRefusalsAndExitGivesAllBack) {
    Tool t;
    FakeHost host;
    host.others = {{'T', MOD_CONTROL | MOD_ALT}, {0x72 /* F3 */, MOD_SHIFT}};
    t.dev->SetKeyboardHost(&host);
    std::vector<Row> rows;
    size_t held = 0;
    t.script.Wait(10).Check([&](device::Device& d) {
        rows = Rows(d);
        held = host.claimed.size();
    });
    ASSERT_EQ(t.Run(), 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(RowText(rows[0]), "1|54|F||C|A");
    EXPECT_EQ(RowText(rows[1]), "1|72|F|S||");
    EXPECT_EQ(held, 2046u);
    EXPECT_TRUE(host.claimed.empty()) << host.claimed.size() << " still claimed after exit";
}

// A modifier's own hot key never fires under modifier-hot-keys no: the host
// is asked who holds it and is told to keep nothing that takes the key; with
// yes, every combination is a hot key that fires.
TEST(KeyboardHost, ModifierHotKeysThatNeverFireOnlyAsk) {
    for (bool modifier_hot_keys : {true, false}) {
        Tool t([&](device::Profile& p) { p.modifier_hot_keys = modifier_hot_keys; });
        FakeHost host;
        t.dev->SetKeyboardHost(&host);
        t.script.Wait(10);
        ASSERT_EQ(t.Run(), 0);
        std::set<UINT> want;
        if (!modifier_hot_keys)
            want = {VK_SHIFT,    VK_CONTROL,  VK_MENU,  VK_LSHIFT, VK_RSHIFT,
                    VK_LCONTROL, VK_RCONTROL, VK_LMENU, VK_RMENU};
        EXPECT_EQ(host.asked_only, want) << "modifier-hot-keys " << modifier_hot_keys;
    }
}

// Ctrl+T from the host: four rows as on the device's own keyboard; T goes on
// to the host with Ctrl, and the synthesised Ctrl release is the Ctrl hot
// key's (a U row), so the host never gets it and the user's Ctrl stays held.
TEST(KeyboardHost, HostKeysMakeRowsAndOnlyUntakenKeysGoOn) {
    Tool t;
    FakeHost host;
    t.dev->SetKeyboardHost(&host);
    std::vector<Row> rows;
    t.script.Wait(10).Check([&](device::Device& d) {
        host.mods = MOD_CONTROL;
        d.HostKeyEvent(VK_CONTROL, true, MOD_CONTROL);
    });
    t.script.Check([&](device::Device& d) { d.HostKeyEvent('T', true, MOD_CONTROL); });
    t.script.Check([&](device::Device& d) { d.HostKeyEvent('T', false, MOD_CONTROL); });
    t.script.Check([&](device::Device& d) { rows = Rows(d); });
    ASSERT_EQ(t.Run(), 0);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(RowText(rows[0]), "10|11|D||C|");
    EXPECT_EQ(RowText(rows[1]), "10|54|D||C|");
    EXPECT_EQ(RowText(rows[2]), "10|54|U||C|");
    EXPECT_EQ(RowText(rows[3]), "10|11|U||C|");
    EXPECT_EQ(host.passed, (std::vector<std::string>{"54D", "54U"}));
    ASSERT_EQ(t.dev->system_keys.size(), 2u);
    EXPECT_EQ(t.dev->system_keys[0].mods, MOD_CONTROL);
}

// A clock source is the device's time: GetTickCount reads it at each call and
// wraps as a 32-bit count does.
TEST(KeyboardHost, ClockSourceIsTheDevicesTime) {
    Tool t([](device::Profile& p) { p.start_tick = 0xFFFFFFF0u; });
    FakeClock clock;
    clock.ms = 40;
    t.dev->SetClockSource(&clock);
    DWORD tick = 0;
    t.script.Check([&](device::Device& d) {
        tick = GetTickCount();
        clock.ms = 75;
    });
    t.script.Wait(1).Check([&](device::Device& d) { EXPECT_EQ(GetTickCount(), 75u - 16u); });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(tick, 40u - 16u) << "the count wraps as a 32-bit count does";
}
