// Faults the device can provoke that no other suite covers: what the tool
// does with each, checked on its outcomes (rows, the data file, messages, the
// hot keys it holds, its exit code). docs/fault-matrix.md maps every failure
// to the test that proves it.
#include "tests/harness/harness.h"

#include <filesystem>

using namespace testing_support;

namespace {

const std::string kHeader = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n";
const char16_t* kSaveExe = u"\\Program Files\\Wtapwatcher.exe";
const char* kDataFile = "\\Program Files\\tapwatcherdata.txt";

std::vector<std::string> Boxes(const device::Device& d) {
    std::vector<std::string> out;
    for (const device::MessageBoxRecord& m : d.message_boxes)
        out.push_back(device::Narrow(m.text));
    return out;
}

std::vector<std::string> Lines(const std::string& file) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < file.size()) {
        size_t end = file.find("\r\n", at);
        if (end == std::string::npos) {
            out.push_back(file.substr(at) + "<no CR LF>");
            break;
        }
        out.push_back(file.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

} // namespace

// With no list view the log is empty everywhere: a save-on-exit name writes
// the header alone and says nothing, and capture and shutdown go on.
TEST(Faults, NoListViewSavesAnEmptyLog) {
    Tool t([](device::Profile& p) {
        p.commctrl = false;
        p.exe = kSaveExe;
    });
    t.script.Wait(5).Type({kCtrl, kA}).Wait(4000);
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(ReadFile(t.Host(kDataFile)), kHeader);
    EXPECT_TRUE(t.dev->message_boxes.empty());
    EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
}

// The executable's folder is gone: the data file cannot be created, the
// message carries the platform's code (path not found), and the shutdown
// still ends with every hot key given back and exit code 0.
TEST(Faults, DataFileFolderMissing) {
    Tool t([](device::Profile& p) { p.exe = u"\\Gone\\Wtapwatcher.exe"; });
    std::filesystem::remove_all(t.tmp.path + "/Gone");
    t.script.Wait(5).Press(kA).Release(kA);
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(Boxes(*t.dev), std::vector<std::string>{"Can't open file.(3)"});
    EXPECT_FALSE(std::filesystem::exists(t.tmp.path + "/Gone"));
    EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
    EXPECT_EQ(Calls(*t.dev, "PostQuitMessage").size(), 1u);
}

// A row write that fails does not stop the rows after it: the file holds
// every other line, and one message is shown, after the last row's write.
TEST(Faults, FailedRowWriteKeepsTheRest) {
    Tool t([](device::Profile& p) { p.exe = kSaveExe; });
    int result = -1;
    size_t mark = 0, end = 0;
    std::vector<Row> rows;
    std::vector<std::string> boxes, lines;
    t.script.Wait(5).Type({0x42}).Type({0x43}).Check([&](device::Device& d) {
        rows = Rows(d);
        d.faults.fail_write = [](int nth) { return nth == 3; }; // the second row
        mark = d.journal.size();
        result = SaveLogFile();
        end = d.journal.size();
        d.faults.fail_write = nullptr; // the shutdown's own save succeeds
        boxes = Boxes(d);
        lines = Lines(ReadFile(t.Host(kDataFile)));
    });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(boxes, std::vector<std::string>{"Save file error.(112)"});
    ASSERT_EQ(rows.size(), 4u);
    std::vector<std::string> want = {kHeader.substr(0, kHeader.size() - 2)};
    for (size_t r = 0; r < rows.size(); ++r)
        if (r != 1)
            want.push_back(rows[r][0] + "\t" + rows[r][1] + "\t" + rows[r][2] + "\t\t\t");
    EXPECT_EQ(lines, want);
    // All five writes were made before the message, and the file closed last.
    EXPECT_TRUE(
        SameSequence(Filter(*t.dev, {"WriteFile", "MessageBoxW", "CloseHandle"}, mark, end),
                     {"WriteFile(*, *, " + std::to_string(kHeader.size()), "WriteFile", "WriteFile",
                      "WriteFile", "WriteFile", "MessageBoxW(*, *, *, 0x0)", "CloseHandle"}));
}

// Every failed registration in the sweep is listed, whatever refused it; a
// device where everything is taken yields 2048 rows in order, captures
// nothing, and every key reaches the system untouched.
TEST(Faults, RegistrationsRefused) {
    {
        Tool t;
        t.dev->faults.refuse_register = [](HWND, int id, UINT, UINT) { return id == 0x141; };
        std::vector<Row> rows;
        t.script.Wait(2).Check([&](device::Device& d) { rows = Rows(d); });
        ASSERT_EQ(t.Run(), 0);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(RowText(rows[0]), "1|41|F|||A");
    }
    {
        Tool t([](device::Profile& p) {
            for (int vk = 0; vk < 256; ++vk)
                for (uint8_t m = 0; m < 8; ++m)
                    p.taken.push_back({(uint8_t)vk, m});
        });
        std::vector<Row> rows;
        t.script.Wait(2).Type({kCtrl, kA}).Wait(3000).Check([&](device::Device& d) {
            rows = Rows(d);
        });
        ASSERT_EQ(t.Run(), 0);
        ASSERT_EQ(rows.size(), 2048u + 1);
        for (int i = 0; i < 2048; ++i) {
            char vk[8];
            snprintf(vk, sizeof vk, "%02X", i / 8);
            int m = i % 8;
            Row want = {"1",
                        vk,
                        "F",
                        (m & MOD_SHIFT) ? "S" : "",
                        (m & MOD_CONTROL) ? "C" : "",
                        (m & MOD_ALT) ? "A" : ""};
            ASSERT_EQ(rows[i], want) << "row " << i;
        }
        EXPECT_EQ(RowText(rows[2048]), "3001|||||")
            << "the sweep's quiet mark; no key was captured";
        // The shell's hot keys took the presses; nothing was synthesised.
        EXPECT_TRUE(Calls(*t.dev, "keybd_event").empty());
        EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
    }
}

// Another program posts the release of a combination the shell holds: the
// row is logged, the tool's unregister and re-register both fail, and the
// shell keeps its combination.
TEST(Faults, ReleasePostedForAShellCombination) {
    Tool t([](device::Profile& p) { p.taken = {{0xC1, 0}}; });
    size_t mark = 0, end = 0;
    std::vector<Row> rows;
    t.script.Wait(5).Check([&](device::Device& d) {
        mark = d.journal.size();
        PostMessageW(d.MainWindow(), WM_HOTKEY, 0xC1, MAKELPARAM(MOD_KEYUP, 0xC1));
    });
    t.script.Check([&](device::Device& d) {
        end = d.journal.size();
        rows = Rows(d);
        bool shell_holds = false;
        for (const device::HotKey& k : d.HotKeys())
            shell_holds =
                shell_holds || (k.vk == 0xC1 && (k.mods & 7) == 0 && k.owner != d.MainWindow());
        EXPECT_TRUE(shell_holds);
    });
    ASSERT_EQ(t.Run(), 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(RowText(rows[1]), "5|C1|U|||");
    auto calls = Filter(*t.dev, {"UnregisterHotKey", "RegisterHotKey"}, mark, end);
    EXPECT_TRUE(SameSequence(
        calls, {"UnregisterHotKey(main, 193)", "RegisterHotKey(main, 193, 0x1000, 0xc1)"}));
    for (const device::JournalEntry& c : calls)
        EXPECT_EQ(c.result, FALSE) << c.ToString();
    // The shell's hot key took the synthesised press; its release, which
    // that hot key does not ask for, reached the system.
    ASSERT_EQ(t.dev->system_keys.size(), 1u);
    EXPECT_EQ(t.dev->system_keys[0].vk, 0xC1);
    EXPECT_FALSE(t.dev->system_keys[0].down);
    EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
}

// A quiet-mark timer message that arrives when the timer is not armed: the
// failed KillTimer is ignored and the mark is added all the same.
TEST(Faults, QuietTimerMessageWithoutItsTimer) {
    Tool t;
    std::vector<Row> rows;
    size_t end = 0;
    t.script.Check([&](device::Device& d) { PostMessageW(d.MainWindow(), WM_TIMER, 1, 0); });
    t.script.Check([&](device::Device& d) { end = d.journal.size(); });
    t.script.Wait(1).Check([&](device::Device& d) { rows = Rows(d); });
    ASSERT_EQ(t.Run(), 0);
    auto kills = Filter(*t.dev, {"KillTimer"}, 0, end);
    EXPECT_TRUE(SameSequence(kills, {"KillTimer(main, 1)"}));
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0].result, FALSE);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(RowText(rows[0]), "0|||||");
}

// GetClientRect fails on a later resize: the zeroed rectangle is used, so
// the list view gets width 0 and the height 0 less the menu bar.
TEST(Faults, ClientRectFailsOnResize) {
    Tool t;
    RECT rc{-1, -1, -1, -1};
    t.script.Wait(5).Check([&](device::Device& d) {
        d.faults.client_rect_fails = true;
        SendMessageW(d.MainWindow(), WM_SIZE, 0, MAKELPARAM(240, 294));
        rc = ToolList(d)->rect;
        d.faults.client_rect_fails = false;
    });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(rc.left, 0);
    EXPECT_EQ(rc.top, 0);
    EXPECT_EQ(rc.right, 0);
    EXPECT_EQ(rc.bottom, -26);
}

// No module name at shutdown under a save-on-exit name: no file is opened,
// nothing is shown, and the rest of the shutdown runs in order.
TEST(Faults, NoModuleNameAtShutdown) {
    Tool t([](device::Profile& p) { p.exe = kSaveExe; });
    t.script.Wait(5).Press(kA).Release(kA).Check(
        [&](device::Device& d) { d.faults.no_module_name = true; });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_TRUE(Calls(*t.dev, "CreateFileW").empty());
    EXPECT_TRUE(t.dev->message_boxes.empty());
    EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
    EXPECT_EQ(Calls(*t.dev, "PostQuitMessage").size(), 1u);
}

// Cells the tool never writes itself but another program can put in its list:
// text the narrow code page cannot hold is saved as an empty cell, and text
// whose conversion fills the 64-byte cell buffer (two bytes a character on a
// double-byte code page) is cut to 63 bytes; the rest of the line stays.
TEST(Faults, CellsTheNarrowCodePageCannotHold) {
    struct Case {
        bool double_byte;
        std::u16string text;
        size_t saved_bytes; // of the device's own conversion of `text`
    } cases[] = {
        {false, u"\u00E9t\u00E9", 0},
        {true, std::u16string(40, u'\u00E9'), 63},
        {true, u"\u00E9t\u00E9", 5},
    };
    for (const Case& c : cases) {
        Tool t([](device::Profile& p) { p.exe = kSaveExe; });
        t.dev->faults.double_byte_narrow = c.double_byte;
        std::vector<std::string> lines;
        std::string converted(200, '\0');
        t.script.Wait(5).Check([&](device::Device& d) {
            HWND list = ToolList(d)->handle;
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.pszText = (LPWSTR)u"7";
            SendMessageW(list, LVM_INSERTITEMW, 0, (LPARAM)&item);
            item.iSubItem = COL_VK;
            item.pszText = (LPWSTR)c.text.c_str();
            SendMessageW(list, LVM_SETITEMW, 0, (LPARAM)&item);
            item.iSubItem = COL_UD;
            item.pszText = (LPWSTR)u"D";
            SendMessageW(list, LVM_SETITEMW, 0, (LPARAM)&item);
            SaveLogFile();
            lines = Lines(ReadFile(t.Host(kDataFile)));
            size_t n = wcstombs(converted.data(), c.text.c_str(), converted.size());
            converted.resize(n == (size_t)-1 ? 0 : n);
        });
        ASSERT_EQ(t.Run(), 0);
        std::string cell = converted.substr(0, c.saved_bytes);
        EXPECT_EQ(lines, (std::vector<std::string>{kHeader.substr(0, kHeader.size() - 2),
                                                   "7\t" + cell + "\tD\t\t\t"}))
            << (c.double_byte ? "double-byte" : "ASCII") << ", " << c.text.size() << " units";
    }
}
