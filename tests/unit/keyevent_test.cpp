// Key event rows and pass-through: what the tool logs for each press and
// release it captures, and what it hands on to the rest of the system.
#include "tests/harness/harness.h"

using namespace testing_support;

namespace {

const std::vector<std::string> kPassCalls = {"UnregisterHotKey", "keybd_event", "RegisterHotKey",
                                             "SetTimer"};

// Keys that reached the rest of the system, as "41D C synth" strings.
std::vector<std::string> SystemKeys(const sim::Device& dev) {
    std::vector<std::string> out;
    for (const sim::SystemKey& k : dev.system_keys) {
        char buf[64];
        snprintf(buf, sizeof buf, "%02X%c%s%s%s%s", k.vk, k.down ? 'D' : 'U',
                 (k.mods & MOD_SHIFT) ? " S" : "", (k.mods & MOD_CONTROL) ? " C" : "",
                 (k.mods & MOD_ALT) ? " A" : "", k.synthesized ? " synth" : "");
        out.push_back(buf);
    }
    return out;
}

} // namespace

// The road of Ctrl+A: press and release rows, then the exact pass-through
// order, and the rest of the system gets Ctrl+A once.
TEST(KeyEvents, CtrlAPressReleaseAndPassThrough) {
    Tool t;
    size_t before_release = 0, after_release = 0;
    std::vector<Row> rows;
    std::vector<std::string> keys_after_press;
    t.script.Wait(100).Press(kCtrl).Press(kA).Check([&](sim::Device& d) {
        keys_after_press = SystemKeys(d);
        before_release = d.journal.size();
    });
    t.script.Release(kA).Check([&](sim::Device& d) { after_release = d.journal.size(); });
    t.script.Release(kCtrl).Check([&](sim::Device& d) { rows = Rows(d); });
    ASSERT_EQ(t.Run(), 0);

    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(RowText(rows[0]), "100|11|D||C|");
    EXPECT_EQ(RowText(rows[1]), "100|41|D||C|");
    EXPECT_EQ(RowText(rows[2]), "100|41|U||C|");
    // The synthesised release of Ctrl is itself a captured release.
    EXPECT_EQ(RowText(rows[3]), "100|11|U||C|");
    EXPECT_TRUE(keys_after_press.empty()) << "a press is never synthesised on its own";

    std::vector<sim::JournalEntry> got(t.dev->journal.begin() + (ptrdiff_t)before_release,
                                       t.dev->journal.begin() + (ptrdiff_t)after_release);
    std::vector<sim::JournalEntry> seq;
    for (auto& e : got)
        for (auto& n : kPassCalls)
            if (e.what == n)
                seq.push_back(e);
    EXPECT_TRUE(SameSequence(seq, {{"UnregisterHotKey", {577}},
                                   {"keybd_event", {0x41, 0, 0}},
                                   {"keybd_event", {0x41, 0, KEYEVENTF_KEYUP}},
                                   {"keybd_event", {VK_CONTROL, 0, KEYEVENTF_KEYUP}},
                                   {"RegisterHotKey", {577, MOD_CONTROL | MOD_KEYUP, 0x41}},
                                   {"SetTimer", {1, 3000}},
                                   // the Ctrl release row's own re-arm
                                   {"SetTimer", {1, 3000}}}));

    // The rest of the system saw Ctrl+A exactly once, and the tool did not
    // log its own synthesised A.
    std::vector<std::string> keys = SystemKeys(*t.dev);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "41D C synth"), 1);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "41U C synth"), 1);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r[1] == "41"; }),
              2);
}

// Capture-only logs everything and never gives a combination up.
TEST(KeyEvents, CaptureOnlyLogsButPassesNothing) {
    Tool t([](sim::Profile& p) { p.exe = u"\\Program Files\\tapwatcherL.exe"; });
    size_t mark = 0;
    std::vector<Row> rows;
    t.script.Wait(10).Check([&](sim::Device& d) { mark = d.journal.size(); });
    t.script.Press(kCtrl).Press(kA).Release(kA).Release(kCtrl).Check(
        [&](sim::Device& d) { rows = Rows(d); });
    ASSERT_EQ(t.Run(), 0);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(RowText(rows[2]), "10|41|U||C|");
    auto calls = Filter(*t.dev, {"UnregisterHotKey", "keybd_event", "RegisterHotKey"}, mark);
    // Only the shutdown's releases may follow: nothing before the close.
    for (auto& c : calls)
        EXPECT_NE(c.what, "keybd_event");
    EXPECT_TRUE(t.dev->system_keys.empty());
}

// Shift, Ctrl and Alt themselves are logged on release but never passed on.
TEST(KeyEvents, ModifierKeysAreNotPassedOn) {
    for (uint8_t vk : {kShift, kCtrl, kAlt}) {
        Tool t;
        size_t mark = 0;
        std::vector<Row> rows;
        t.script.Wait(5).Check([&](sim::Device& d) { mark = d.journal.size(); });
        t.script.Press(vk).Release(vk).Check([&](sim::Device& d) { rows = Rows(d); });
        ASSERT_EQ(t.Run(), 0);
        ASSERT_EQ(rows.size(), 2u) << "key " << int(vk);
        EXPECT_EQ(rows[1][2], "U");
        EXPECT_TRUE(Filter(*t.dev, {"keybd_event"}, mark).empty()) << "key " << int(vk);
    }
}

// A key without modifiers uses its code as the identifier and releases no
// modifier; with all three held, modifiers are released Shift, Ctrl, Alt.
TEST(KeyEvents, IdentifierAndModifierReleaseOrder) {
    {
        Tool t;
        size_t mark = 0, end = 0;
        t.script.Wait(5).Press(kA).Check([&](sim::Device& d) { mark = d.journal.size(); });
        t.script.Release(kA).Check([&](sim::Device& d) { end = d.journal.size(); });
        ASSERT_EQ(t.Run(), 0);
        auto seq = Filter(*t.dev, {"UnregisterHotKey", "keybd_event", "RegisterHotKey"}, mark, end);
        EXPECT_TRUE(SameSequence(seq, {{"UnregisterHotKey", {0x41}},
                                       {"keybd_event", {0x41, 0, 0}},
                                       {"keybd_event", {0x41, 0, KEYEVENTF_KEYUP}},
                                       {"RegisterHotKey", {0x41, MOD_KEYUP, 0x41}}}));
    }
    {
        Tool t;
        size_t mark = 0, end = 0;
        t.script.Wait(5).Press(kAlt).Press(kCtrl).Press(kShift).Press(0x42).Check(
            [&](sim::Device& d) { mark = d.journal.size(); });
        t.script.Release(0x42).Check([&](sim::Device& d) { end = d.journal.size(); });
        ASSERT_EQ(t.Run(), 0);
        auto seq = Filter(*t.dev, {"UnregisterHotKey", "keybd_event", "RegisterHotKey"}, mark, end);
        const int id = 0x42 + 256 * 7;
        EXPECT_TRUE(SameSequence(seq, {{"UnregisterHotKey", {id}},
                                       {"keybd_event", {0x42, 0, 0}},
                                       {"keybd_event", {0x42, 0, KEYEVENTF_KEYUP}},
                                       {"keybd_event", {VK_SHIFT, 0, KEYEVENTF_KEYUP}},
                                       {"keybd_event", {VK_CONTROL, 0, KEYEVENTF_KEYUP}},
                                       {"keybd_event", {VK_MENU, 0, KEYEVENTF_KEYUP}},
                                       {"RegisterHotKey", {id, 0x1007, 0x42}}}));
    }
}

// Cell texts: two-digit codes, longer codes, and ticks past 2^31.
TEST(KeyEvents, CellTexts) {
    Tool t([](sim::Profile& p) { p.start_tick = 0x80000000u - 50; });
    std::vector<Row> rows;
    t.script.Wait(50).Press(VK_RETURN).Check([&](sim::Device& d) {
        PostMessageW(d.MainWindow(), WM_HOTKEY, 0, MAKELPARAM(MOD_KEYUP, 0x1A5));
    });
    t.script.Check([&](sim::Device& d) { rows = Rows(d); });
    ASSERT_EQ(t.Run(), 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(RowText(rows[0]), "-2147483648|0D|D|||");
    EXPECT_EQ(RowText(rows[1]), "-2147483648|1A5|U|||");
}

// Any program can post WM_HOTKEY: a message naming no combination of the
// sweep's is logged, but never unregisters or registers anything.
TEST(KeyEvents, HostileHotKeyMessagesAreLoggedNotPassed) {
    Tool t;
    size_t mark = 0;
    std::vector<Row> rows;
    std::vector<int> out_of_range;
    t.script.Wait(5).Check([&](sim::Device& d) {
        mark = d.journal.size();
        HWND main = d.MainWindow();
        PostMessageW(main, WM_HOTKEY, 0, MAKELPARAM(MOD_KEYUP | MOD_WIN, 0x41));
        PostMessageW(main, WM_HOTKEY, 0, MAKELPARAM(MOD_KEYUP | MOD_CONTROL, 0x141));
        PostMessageW(main, WM_HOTKEY, 0, MAKELPARAM(0xFFFF, 0xFFFF));
    });
    t.script.Check([&](sim::Device& d) {
        rows = Rows(d);
        for (const sim::HotKey& k : d.HotKeys())
            if (k.owner == d.MainWindow() && (k.id < 0 || k.id >= 2048))
                out_of_range.push_back(k.id);
    });
    ASSERT_EQ(t.Run(), 0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(RowText(rows[0]), "5|41|U|||");
    EXPECT_EQ(RowText(rows[1]), "5|141|U||C|");
    EXPECT_EQ(RowText(rows[2]), "5|FFFF|U|S|C|A");
    EXPECT_TRUE(out_of_range.empty());
    auto calls = Filter(*t.dev, {"keybd_event"}, mark);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(HeldIds(*t.dev, MainFromJournal(*t.dev)).empty());
}
