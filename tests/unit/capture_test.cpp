// The occupancy sweep, the release of all hot keys, and the capture timers,
// end to end on the simulated device's virtual clock.
#include "tests/harness/harness.h"

#include "device/listview.h"

using namespace testing_support;

namespace {

std::vector<std::string> Texts(const std::vector<Row>& rows) {
    std::vector<std::string> out;
    for (const Row& r : rows)
        out.push_back(RowText(r));
    return out;
}

} // namespace

// Nothing refused: no row, every combination held, nothing scrolled, and a
// quiet mark exactly 3000 ms after the sweep (which runs at 1 ms).
TEST(Capture, SweepOnAFreeDevice) {
    Tool t;
    size_t held = 0, rows_at_3000 = 99;
    std::vector<Row> rows_at_3001, rows_later;
    int top = -1;
    t.script.Wait(2).Check([&](device::Device& d) {
        held = HeldHotKeys(d, d.MainWindow()).size();
        top = ToolList(d)->listview->TopIndex();
    });
    t.script.Wait(2998).Check([&](device::Device& d) { rows_at_3000 = Rows(d).size(); });
    t.script.Wait(1).Check([&](device::Device& d) { rows_at_3001 = Rows(d); });
    t.script.Wait(60000).Check([&](device::Device& d) { rows_later = Rows(d); });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(held, 2048u);
    EXPECT_EQ(top, 0);
    EXPECT_EQ(rows_at_3000, 0u) << "no quiet mark at 2999 ms after the sweep";
    EXPECT_EQ(Texts(rows_at_3001), std::vector<std::string>{"3001|||||"});
    EXPECT_EQ(rows_later.size(), 1u) << "a long idle adds nothing more";
    // No row was scrolled into view during or after the sweep.
    for (auto& e : Calls(*t.dev, "SendMessageW")) {
        if (e.Arg(1) == "LVM_ENSUREVISIBLE") {
            EXPECT_EQ(e.Arg(2), "0") << "only the quiet mark row is ever shown";
        }
    }
}

// Taken combinations become "F" rows ordered by key code, then modifier
// set; modifier cells of absent modifiers are never set.
TEST(Capture, TakenCombinationRows) {
    Tool t([](device::Profile& p) {
        p.taken = {{0x41, MOD_SHIFT}, {0x0D, 5}, {0x41, MOD_CONTROL}};
    });
    std::vector<Row> rows;
    bool ctrl_cell_set = true;
    size_t held = 0;
    t.script.Wait(2).Check([&](device::Device& d) {
        rows = Rows(d);
        ToolList(d)->listview->Cell(0, COL_CTRL, &ctrl_cell_set);
        held = HeldHotKeys(d, d.MainWindow()).size();
    });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(Texts(rows), (std::vector<std::string>{"1|0D|F|S||A", "1|41|F||C|", "1|41|F|S||"}));
    EXPECT_FALSE(ctrl_cell_set);
    EXPECT_EQ(held, 2048u - 3);
}

// On a device where each registration takes time, every "F" row carries the
// tick of its own failed registration: 0.5 ms a call, from 1 ms.
TEST(Capture, TakenRowTicksRiseWithTheSweep) {
    Tool t([](device::Profile& p) {
        p.taken = {{0x00, 0}, {0x80, 0}, {0xFF, 7}};
        p.register_cost_us = 500;
    });
    std::vector<Row> rows;
    t.script.Wait(5000).Check([&](device::Device& d) { rows = Rows(d); });
    ASSERT_EQ(t.Run(), 0);
    // Calls 1, 1025 and 2048 end at 1.5, 513.5 and 1025 ms; the quiet mark
    // follows the sweep's end by 3000 ms.
    EXPECT_EQ(Texts(rows), (std::vector<std::string>{"1|00|F|||", "513|80|F|||", "1025|FF|F|S|C|A",
                                                     "4025|||||"}));
}

// After the sweep the view shows the last taken row.
TEST(Capture, SweepScrollsToLastTakenRow) {
    Tool t([](device::Profile& p) {
        for (uint8_t vk = 0xB0; vk < 0xC8; ++vk)
            for (uint8_t m = 0; m < 8; ++m)
                p.taken.push_back({vk, m});
    });
    int top = -1, count = 0, page = 0;
    t.script.Wait(2).Check([&](device::Device& d) {
        device::Window* w = ToolList(d);
        top = w->listview->TopIndex();
        count = w->listview->Count();
        page = w->listview->RowsPerPage(w->rect.bottom - w->rect.top);
    });
    ASSERT_EQ(t.Run(), 0);
    ASSERT_EQ(count, 24 * 8);
    ASSERT_GT(page, 0);
    EXPECT_EQ(top, count - page);
}

// Bursts: the quiet mark follows the last event of a burst by 3000 ms; a
// later event starts a new burst; "Clear" mid-burst keeps the pending mark.
TEST(Capture, BurstsAndQuietMarks) {
    Tool t([](device::Profile& p) { p.start_tick = 0xFFFFFFFFu - 4000; }); // wraps mid-run
    std::vector<Row> first, second;
    const uint8_t kB = 0x42;
    t.script.Wait(5000).Press(kB).Wait(1000).Release(kB).Wait(1000).Press(kB);
    t.script.Wait(2999).Check([&](device::Device& d) { first = Rows(d); });
    t.script.Wait(1).Check([&](device::Device& d) { first = Rows(d); });
    t.script.Wait(10000).Release(kB).Wait(500).Button(u"Clear").Wait(2500).Check(
        [&](device::Device& d) { second = Rows(d); });
    t.script.Wait(60000).Check(
        [&](device::Device& d) { EXPECT_EQ(Rows(d).size(), 1u) << "a long idle adds nothing"; });
    ASSERT_EQ(t.Run(), 0);
    // The tick wraps 4001 ms after start: the sweep's own mark at 3001 ms
    // prints -1000; keys at 5000, 6000 and 7000 ms; the burst's mark at
    // 10000 ms; the release at 20000 ms, "Clear" at 20500, its mark at 23000.
    EXPECT_EQ(Texts(first), (std::vector<std::string>{"-1000|||||", "999|42|D|||", "1999|42|U|||",
                                                      "2999|42|D|||", "5999|||||"}));
    // After "Clear" the burst's mark still comes 3000 ms after its release.
    EXPECT_EQ(Texts(second), std::vector<std::string>{"18999|||||"});
}

// Releasing all hot keys makes 2048 calls even when the sweep never ran.
TEST(Capture, ReleaseWithoutSweep) {
    Tool t;
    t.script.Close(); // at 0 ms, before the 1 ms sweep timer
    ASSERT_EQ(t.Run(), 0);
    auto calls = Calls(*t.dev, "UnregisterHotKey");
    ASSERT_EQ(calls.size(), 2048u);
    for (int id = 0; id < 2048; ++id) {
        EXPECT_EQ(calls[id].Arg(1), std::to_string(id));
        EXPECT_EQ(calls[id].result, FALSE);
    }
    EXPECT_TRUE(Calls(*t.dev, "RegisterHotKey").empty());
}

// The road of one key press, Ctrl+A: rows, what reached the system, and the
// combination held again afterwards; nothing held after exit.
TEST(Capture, RoadOfCtrlA) {
    Tool t;
    std::vector<Row> rows;
    bool held_again = false;
    t.script.Wait(500).Type({kCtrl, kA}).Wait(3000).Check([&](device::Device& d) {
        rows = Rows(d);
        for (const device::HotKey& k : HeldHotKeys(d, d.MainWindow()))
            held_again =
                held_again || (k.id == 577 && k.mods == (MOD_CONTROL | MOD_KEYUP) && k.vk == 0x41);
    });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(Texts(rows), (std::vector<std::string>{"500|11|D||C|", "500|41|D||C|", "500|41|U||C|",
                                                     "500|11|U||C|", "3500|||||"}));
    EXPECT_TRUE(held_again);
    ASSERT_EQ(t.dev->system_keys.size(), 3u);
    EXPECT_EQ(t.dev->system_keys[0].vk, 0x41);
    EXPECT_EQ(t.dev->system_keys[0].mods, MOD_CONTROL);
    EXPECT_TRUE(t.dev->system_keys[0].down && t.dev->system_keys[0].synthesized);
    // The physical release of Ctrl comes after the synthesised one.
    EXPECT_EQ(t.dev->system_keys[2].vk, kCtrl);
    EXPECT_FALSE(t.dev->system_keys[2].synthesized);
    EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
    EXPECT_EQ(t.dev->HotKeys().size(), 0u);
}

// A failed re-registration: the combination is silently no longer captured.
TEST(Capture, FailedReRegistration) {
    Tool t;
    std::vector<Row> rows;
    int registrations = 0;
    t.dev->faults.refuse_register = [&](HWND, int id, UINT, UINT) {
        return id == 0x41 && ++registrations > 1;
    };
    t.script.Wait(5).Press(kA).Release(kA).Press(kA).Release(kA).Check(
        [&](device::Device& d) { rows = Rows(d); });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(rows.size(), 2u);
    // The second press went straight to the system.
    ASSERT_EQ(t.dev->system_keys.size(), 4u);
    EXPECT_FALSE(t.dev->system_keys[2].synthesized);
}
