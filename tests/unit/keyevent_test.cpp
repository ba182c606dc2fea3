// Key event rows and pass-through: what the tool logs for each press and
// release it captures, and what it hands on to the rest of the system.
#include "tests/harness/harness.h"

using namespace testing_support;

namespace {

// The journal lines of one WM_HOTKEY's row: the message, the input method,
// the row count, the tick, and each cell formatted and set, then shown.
std::vector<std::string> HotKeyRow(int id, int vk, int mods, int row, int tick,
                                   const std::vector<std::string>& cells) {
    char lparam[32];
    snprintf(lparam, sizeof lparam, "0x%x", (unsigned)MAKELPARAM(mods, vk));
    std::string msg = "{main, WM_HOTKEY, " + std::to_string(id) + ", " + lparam + "}";
    std::string r = std::to_string(row);
    auto item = [&](const char* what, int sub, const std::string& text, int result) {
        return "SendMessageW(list, " + std::string(what) + ", 0, {mask=0x1, iItem=" + r +
               ", iSubItem=" + std::to_string(sub) + ", state=0x0, stateMask=0x0, pszText=\"" +
               text + "\", cchTextMax=0, iImage=0, lParam=0x0, iIndent=0}) -> " +
               std::to_string(result);
    };
    auto printed = [](const char* format, const std::string& text) {
        return "wsprintfW(out, \"" + std::string(format) + "\") -> " + std::to_string(text.size()) +
               ", \"" + text + "\"";
    };
    std::string t = std::to_string(tick);
    std::vector<std::string> out = {"TranslateMessage(" + msg + ") -> 0",
                                    "DispatchMessageW(" + msg + ") -> 0",
                                    "CoreRoutine814(NULL, 0) -> 0",
                                    "SendMessageW(list, LVM_GETITEMCOUNT, 0, 0x0) -> " + r,
                                    "GetTickCount() -> " + t,
                                    printed("%d", t),
                                    item("LVM_INSERTITEMW", 0, t, row)};
    const char* formats[] = {"%02X", "%s", "%s", "%s", "%s"};
    for (int c = 0; c < 5; ++c) {
        out.push_back(printed(formats[c], cells[c]));
        out.push_back(item("LVM_SETITEMW", c + 1, cells[c], 1));
    }
    out.push_back("SendMessageW(list, LVM_ENSUREVISIBLE, " + r + ", 0x0) -> 1");
    return out;
}

std::vector<std::string> Concat(const std::vector<std::vector<std::string>>& parts) {
    std::vector<std::string> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Keys that reached the rest of the system, as "41D C synth" strings.
std::vector<std::string> SystemKeys(const device::Device& dev) {
    std::vector<std::string> out;
    for (const device::SystemKey& k : dev.system_keys) {
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
    t.script.Wait(100).Press(kCtrl).Press(kA).Check([&](device::Device& d) {
        keys_after_press = SystemKeys(d);
        before_release = d.journal.size();
    });
    t.script.Release(kA).Check([&](device::Device& d) { after_release = d.journal.size(); });
    t.script.Release(kCtrl).Check([&](device::Device& d) { rows = Rows(d); });
    ASSERT_EQ(t.Run(), 0);

    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(RowText(rows[0]), "100|11|D||C|");
    EXPECT_EQ(RowText(rows[1]), "100|41|D||C|");
    EXPECT_EQ(RowText(rows[2]), "100|41|U||C|");
    // The synthesised release of Ctrl is itself a captured release.
    EXPECT_EQ(RowText(rows[3]), "100|11|U||C|");
    EXPECT_TRUE(keys_after_press.empty()) << "a press is never synthesised on its own";

    // Every call of the two releases' handling, whole: the A release's row
    // and pass-through, then the row of the synthesised Ctrl release.
    EXPECT_TRUE(SameLines(
        JournalLines(*t.dev, before_release, after_release),
        Concat({HotKeyRow(577, 0x41, MOD_CONTROL | MOD_KEYUP, 2, 100, {"41", "U", "", "C", ""}),
                {"UnregisterHotKey(main, 577) -> 1", "keybd_event(0x41, 0, 0x0, 0)",
                 "keybd_event(0x41, 0, 0x2, 0)", "keybd_event(0x11, 0, 0x2, 0)",
                 "RegisterHotKey(main, 577, 0x1002, 0x41) -> 1",
                 "SetTimer(main, 1, 3000, NULL) -> 1", "GetMessageW(out, NULL, 0, 0) -> 1"},
                HotKeyRow(529, 0x11, MOD_CONTROL | MOD_KEYUP, 3, 100, {"11", "U", "", "C", ""}),
                {"SetTimer(main, 1, 3000, NULL) -> 1", "GetMessageW(out, NULL, 0, 0) -> 1"}})));

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
    Tool t([](device::Profile& p) { p.exe = u"\\Program Files\\tapwatcherL.exe"; });
    size_t mark = 0;
    std::vector<Row> rows;
    t.script.Wait(10).Check([&](device::Device& d) { mark = d.journal.size(); });
    t.script.Press(kCtrl).Press(kA).Release(kA).Release(kCtrl).Check(
        [&](device::Device& d) { rows = Rows(d); });
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
        t.script.Wait(5).Check([&](device::Device& d) { mark = d.journal.size(); });
        t.script.Press(vk).Release(vk).Check([&](device::Device& d) { rows = Rows(d); });
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
        t.script.Wait(5).Press(kA).Check([&](device::Device& d) { mark = d.journal.size(); });
        t.script.Release(kA).Check([&](device::Device& d) { end = d.journal.size(); });
        ASSERT_EQ(t.Run(), 0);
        auto seq = Filter(*t.dev, {"UnregisterHotKey", "keybd_event", "RegisterHotKey"}, mark, end);
        EXPECT_TRUE(SameSequence(seq, {"UnregisterHotKey(main, 65)", "keybd_event(0x41, 0, 0x0",
                                       "keybd_event(0x41, 0, 0x2",
                                       "RegisterHotKey(main, 65, 0x1000, 0x41)"}));
    }
    {
        Tool t;
        size_t mark = 0, end = 0;
        t.script.Wait(5).Press(kAlt).Press(kCtrl).Press(kShift).Press(0x42).Check(
            [&](device::Device& d) { mark = d.journal.size(); });
        t.script.Release(0x42).Check([&](device::Device& d) { end = d.journal.size(); });
        ASSERT_EQ(t.Run(), 0);
        auto seq = Filter(*t.dev, {"UnregisterHotKey", "keybd_event", "RegisterHotKey"}, mark, end);
        const int id = 0x42 + 256 * 7;
        EXPECT_TRUE(SameSequence(
            seq, {"UnregisterHotKey(main, " + std::to_string(id) + ")", "keybd_event(0x42, 0, 0x0",
                  "keybd_event(0x42, 0, 0x2", "keybd_event(0x10, 0, 0x2",
                  "keybd_event(0x11, 0, 0x2", "keybd_event(0x12, 0, 0x2",
                  "RegisterHotKey(main, " + std::to_string(id) + ", 0x1007, 0x42)"}));
    }
}

// Cell texts: two-digit codes, longer codes, and ticks past 2^31.
TEST(KeyEvents, CellTexts) {
    Tool t([](device::Profile& p) { p.start_tick = 0x80000000u - 50; });
    std::vector<Row> rows;
    t.script.Wait(50).Press(VK_RETURN).Check([&](device::Device& d) {
        PostMessageW(d.MainWindow(), WM_HOTKEY, 0, MAKELPARAM(MOD_KEYUP, 0x1A5));
    });
    t.script.Check([&](device::Device& d) { rows = Rows(d); });
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
    t.script.Wait(5).Check([&](device::Device& d) {
        mark = d.journal.size();
        HWND main = d.MainWindow();
        PostMessageW(main, WM_HOTKEY, 0, MAKELPARAM(MOD_KEYUP | MOD_WIN, 0x41));
        PostMessageW(main, WM_HOTKEY, 0, MAKELPARAM(MOD_KEYUP | MOD_CONTROL, 0x141));
        PostMessageW(main, WM_HOTKEY, 0, MAKELPARAM(0xFFFF, 0xFFFF));
    });
    t.script.Check([&](device::Device& d) {
        rows = Rows(d);
        for (const device::HotKey& k : HeldHotKeys(d, d.MainWindow()))
            if (k.id < 0 || k.id >= 2048)
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
    EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
}

// Where a hot-key message joins the queue and whether the tool's own keys
// meet its hot keys, every way. Ctrl+Alt+B with B released first: the
// synthesised releases of Ctrl and Alt are logged at once, the later one
// first at the top of the queue; sent to the system instead, the rows come
// when the user lets go. Ctrl released before A: the pass-through's own A
// comes back as new rows unless synthesised keys skip the hot keys.
TEST(KeyEvents, HotKeyQueueAndSynthesisedKeys) {
    using Q = device::Profile::HotKeyQueue;
    using S = device::Profile::SynthesisedKeys;
    const std::vector<std::string> held = {"100|11|D||C|", "100|12|D||C|A", "100|42|D||C|A",
                                           "100|42|U||C|A"};
    const std::vector<std::string> early = {"100|11|D||C|", "100|41|D||C|", "100|11|U||C|",
                                            "100|41|U||C|"};
    auto plus = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        Q queue;
        S synth;
        std::vector<std::string> held_rows, early_rows;
    } cases[] = {
        {Q::Top, S::HotKeys, plus(held, {"100|12|U||C|A", "100|11|U||C|"}),
         plus(early, {"100|41|U|||", "100|41|D|||"})},
        {Q::Back, S::HotKeys, plus(held, {"100|11|U||C|", "100|12|U||C|A"}),
         plus(early, {"100|41|D|||", "100|41|U|||"})},
        {Q::Top, S::System, plus(held, {"600|12|U||C|A", "600|11|U||C|"}), early},
        {Q::Back, S::System, plus(held, {"600|12|U||C|A", "600|11|U||C|"}), early},
    };
    for (const Case& c : cases) {
        std::string name = std::string("hotkey-queue ") + device::HotKeyQueueName(c.queue) +
                           ", synthesised-keys " + device::SynthesisedKeysName(c.synth);
        auto tweak = [&](device::Profile& p) {
            p.hotkey_queue = c.queue;
            p.synthesised_keys = c.synth;
        };
        std::vector<std::string> got;
        {
            Tool t(tweak);
            t.script.Wait(100).Press(kCtrl).Press(kAlt).Press(0x42).Release(0x42);
            t.script.Wait(500).Release(kAlt).Release(kCtrl).Check([&](device::Device& d) {
                for (const Row& r : Rows(d))
                    got.push_back(RowText(r));
            });
            ASSERT_EQ(t.Run(), 0) << name;
            EXPECT_EQ(got, c.held_rows) << name;
        }
        got.clear();
        {
            Tool t(tweak);
            t.script.Wait(100).Press(kCtrl).Press(kA).Release(kCtrl).Release(kA).Check(
                [&](device::Device& d) {
                    for (const Row& r : Rows(d))
                        got.push_back(RowText(r));
                });
            ASSERT_EQ(t.Run(), 0) << name;
            EXPECT_EQ(got, c.early_rows) << name;
        }
    }
}
