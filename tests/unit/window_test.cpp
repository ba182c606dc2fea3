// The main window: layout, set-up and variant switches, commands, shutdown
// order and the single-instance rule, on the simulated device.
#include "tests/harness/harness.h"

#include "device/listview.h"

using namespace testing_support;

namespace {

RECT ListRect(device::Device& d) {
    RECT rc{-1, -1, -1, -1};
    if (device::Window* w = ToolList(d))
        rc = w->rect;
    return rc;
}

std::vector<int> ColumnWidths(device::Device& d) {
    std::vector<int> out;
    if (device::Window* w = ToolList(d))
        for (int i = 0; i < w->listview->ColumnCount(); ++i)
            out.push_back(w->listview->Column(i).width);
    return out;
}

} // namespace

// The list view covers the client area, less the menu bar on Pocket PC.
TEST(MainWindow, LayoutFollowsPlatformAndMenuBar) {
    struct Case {
        const char* name;
        std::function<void(device::Profile&)> tweak;
        RECT want;
        bool looks_up_menu_bar;
    } cases[] = {
        {"Pocket PC, 26-pixel menu bar", {}, {0, 0, 240, 268}, true},
        {"not Pocket PC",
         [](device::Profile& p) { p.platform = u"H/PC"; },
         {0, 0, 240, 294},
         false},
        {"no menu bar", [](device::Profile& p) { p.menubar = -1; }, {0, 0, 240, 294}, true},
        {"taller menu bar", [](device::Profile& p) { p.menubar = 40; }, {0, 0, 240, 254}, true},
    };
    for (const Case& c : cases) {
        Tool t(c.tweak);
        RECT got{};
        t.script.Wait(1).Check([&](device::Device& d) { got = ListRect(d); });
        ASSERT_EQ(t.Run(), 0) << c.name;
        EXPECT_EQ(got.left, c.want.left) << c.name;
        EXPECT_EQ(got.top, c.want.top) << c.name;
        EXPECT_EQ(got.right, c.want.right) << c.name;
        EXPECT_EQ(got.bottom, c.want.bottom) << c.name;
        EXPECT_EQ(!Calls(*t.dev, "SHFindMenuBar").empty(), c.looks_up_menu_bar) << c.name;
    }
}

// Column widths follow the layout class, decided by density, then width.
TEST(MainWindow, LayoutClassAndColumnWidths) {
    const std::vector<int> narrow = {76, 28, 20, 20, 20, 20}, wide = {84, 56, 40, 40, 40, 40};
    struct Case {
        int dpi, screen_w;
        bool client_rect_fails;
        std::vector<int> want;
    } cases[] = {
        {96, 240, false, narrow}, {96, 241, false, wide},  {97, 240, false, wide},
        {192, 480, false, wide},  {96, 480, true, narrow}, {120, 480, true, wide},
    };
    for (const Case& c : cases) {
        Tool t([&](device::Profile& p) {
            p.dpi = c.dpi;
            p.screen_w = c.screen_w;
        });
        t.dev->faults.client_rect_fails = c.client_rect_fails;
        std::vector<int> got;
        t.script.Wait(1).Check([&](device::Device& d) { got = ColumnWidths(d); });
        ASSERT_EQ(t.Run(), 0);
        EXPECT_EQ(got, c.want) << "dpi " << c.dpi << ", width " << c.screen_w
                               << (c.client_rect_fails ? ", client rect fails" : "");
    }
}

// Header texts, extended styles kept with 0x30 added, and the sweep timer
// armed once with 1 ms after all six columns exist.
TEST(MainWindow, ListViewSetUp) {
    Tool t;
    t.dev->faults.listview_ex_style = LVS_EX_GRIDLINES | LVS_EX_LABELTIP;
    std::vector<std::string> headers;
    DWORD ex = 0;
    t.script.Wait(1).Check([&](device::Device& d) {
        device::Window* w = ToolList(d);
        for (int i = 0; i < w->listview->ColumnCount(); ++i)
            headers.push_back(device::Narrow(w->listview->Column(i).text));
        ex = w->listview->ExStyle();
    });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(headers, (std::vector<std::string>{"SysTime", "VK", "U/D", "Shift", "Ctrl", "Alt"}));
    EXPECT_EQ(ex, (DWORD)(LVS_EX_GRIDLINES | LVS_EX_LABELTIP | 0x30));

    size_t last_column = 0, sweep_armed = 0, sweeps = 0;
    for (size_t i = 0; i < t.dev->journal.size(); ++i) {
        const device::JournalEntry& e = t.dev->journal[i];
        if (e.what == "SendMessageW" && e.Arg(1) == "LVM_INSERTCOLUMNW")
            last_column = i;
        if (e.what == "SetTimer" && e.Arg(1) == "16") {
            sweep_armed = i;
            ++sweeps;
            EXPECT_EQ(e.Arg(2), "1");
        }
    }
    EXPECT_EQ(sweeps, 1u);
    EXPECT_LT(last_column, sweep_armed);
}

// Variant names and the platform text are compared exactly.
TEST(MainWindow, VariantNamesAndPlatformText) {
    struct Name {
        const char16_t* exe;
        int capture_only;
    } names[] = {
        {u"\\Program Files\\tapwatcherL.exe", 1},
        {u"\\Program Files\\WtapwatcherL.exe", 1},
        {u"\\Program Files\\Wtapwatcher.exe", 0},
        {u"\\Program Files\\TapwatcherL.exe", 0},
        {u"\\Program Files\\tapwatcherL.EXE", 0},
        {u"\\Program Files\\wtapwatcherL.exe", 0},
        {u"tapwatcherL.exe", 1}, // a path without a backslash is all name
    };
    for (const Name& n : names) {
        Tool t([&](device::Profile& p) { p.exe = n.exe; });
        ASSERT_EQ(t.Run(), 0);
        EXPECT_EQ(fCaptureOnly, n.capture_only) << device::Narrow(n.exe);
    }
    {
        Tool t;
        t.dev->faults.no_module_name = true;
        ASSERT_EQ(t.Run(), 0);
        EXPECT_EQ(fCaptureOnly, 0);
    }
    struct Platform {
        const char16_t* text;
        bool fails;
        int not_pocket_pc;
    } platforms[] = {{u"PocketPC", false, 0},   {u"pocketpc", false, 1}, {u"PocketPC2", false, 1},
                     {u"SmartPhone", false, 1}, {u"", false, 1},         {u"PocketPC", true, 1}};
    for (const Platform& p : platforms) {
        Tool t([&](device::Profile& pr) {
            pr.platform = p.text;
            pr.platform_query_fails = p.fails;
        });
        ASSERT_EQ(t.Run(), 0);
        EXPECT_EQ(fNotPocketPC, p.not_pocket_pc)
            << device::Narrow(p.text) << (p.fails ? " (query fails)" : "");
    }
}

// WM_COMMAND: Clear whatever the high word, other ids to DefWindowProcW;
// WM_TIMER of an unknown id never reaches DefWindowProcW.
TEST(MainWindow, CommandsAndUnknownTimers) {
    Tool t;
    size_t rows_before = 0, rows_after = 0, mark = 0, end = 0;
    LRESULT other = -1, timer = -1;
    t.script.Wait(5).Press(kA).Release(kA).Check([&](device::Device& d) {
        rows_before = Rows(d).size();
        SendMessageW(d.MainWindow(), WM_COMMAND, MAKEWPARAM(40004, 1), 0);
        rows_after = Rows(d).size();
        mark = d.journal.size();
        other = SendMessageW(d.MainWindow(), WM_COMMAND, MAKEWPARAM(40005, 0), 0);
        timer = SendMessageW(d.MainWindow(), WM_TIMER, 99, 0);
        end = d.journal.size();
    });
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(rows_before, 2u);
    EXPECT_EQ(rows_after, 0u);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(timer, 0);
    EXPECT_TRUE(
        SameLines(JournalLines(*t.dev, mark, end),
                  {"SendMessageW(main, WM_COMMAND, 40005, 0x0) -> 0",
                   "DefWindowProcW(main, WM_COMMAND, 40005, 0x0) -> 0",
                   "SendMessageW(main, WM_TIMER, 99, 0x0) -> 0", "CoreRoutine814(NULL, 0) -> 0"}));
}

// Exit and a close request both take the shutdown path: all 2048 hot keys
// released in order first, then the menu bar, the list view, and quit 0.
TEST(MainWindow, ShutdownOrder) {
    for (bool by_button : {true, false}) {
        Tool t;
        HWND bar = nullptr, list = nullptr;
        size_t mark = 0;
        t.script.Wait(10).Check([&](device::Device& d) {
            bar = SHFindMenuBar(d.MainWindow());
            list = ToolList(d)->handle;
            mark = d.journal.size();
        });
        if (by_button)
            t.script.Button(u"Exit");
        else
            t.script.Close();
        t.script.Wait(1000).Press(kA); // never runs: the tool has exited
        ASSERT_EQ(t.Run(), 0);
        EXPECT_EQ(t.script.Remaining(), 2u);
        // DestroyWindow of the main window itself comes first: the shutdown
        // runs inside it.
        HWND main = MainFromJournal(*t.dev);
        std::vector<device::JournalEntry> seq;
        for (auto& e :
             Filter(*t.dev, {"UnregisterHotKey", "DestroyWindow", "PostQuitMessage"}, mark))
            if (e.what != "DestroyWindow" || e.hwnd != main)
                seq.push_back(e);
        ASSERT_EQ(seq.size(), 2048u + 3);
        for (int id = 0; id < 2048; ++id)
            ASSERT_TRUE(seq[id].what == "UnregisterHotKey" && seq[id].Arg(1) == std::to_string(id))
                << "entry " << id << ": " << seq[id].ToString();
        EXPECT_EQ(seq[2048].what, "DestroyWindow");
        EXPECT_EQ(seq[2048].hwnd, bar);
        EXPECT_EQ(seq[2049].what, "DestroyWindow");
        EXPECT_EQ(seq[2049].hwnd, list);
        EXPECT_TRUE(SameSequence({seq[2050]}, {"PostQuitMessage(0)"}));
        EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
    }
}

// A second start finds the running window and brings it forward with the
// handle's lowest bit set; nothing else of it runs.
TEST(MainWindow, SingleInstance) {
    {
        Tool t([](device::Profile& p) { p.running_instance = true; });
        HWND other = FindWindowW(u"TapwatcherWndClass", u"Tapwatcher");
        ASSERT_NE(other, nullptr);
        ASSERT_EQ(t.Run(), 0);
        EXPECT_TRUE(Calls(*t.dev, "RegisterClassW").empty());
        EXPECT_TRUE(Calls(*t.dev, "CreateWindowExW").empty());
        auto fg = Calls(*t.dev, "SetForegroundWindow");
        ASSERT_EQ(fg.size(), 1u);
        EXPECT_EQ((uintptr_t)fg[0].hwnd, (uintptr_t)other | 1);
        EXPECT_EQ(t.dev->ForegroundWindow(), other);
        EXPECT_TRUE(t.dev->ForegroundLowBitSet());
    }
    {
        // Started again while it runs.
        Tool t;
        int second = -1;
        size_t mark = 0;
        HWND main = nullptr;
        t.script.Wait(10).Check([&](device::Device& d) {
            main = d.MainWindow();
            mark = d.journal.size();
            WCHAR cmd[] = u"ignored --anything";
            second = WinMain((HINSTANCE)0x400000, nullptr, cmd, SW_SHOW);
        });
        ASSERT_EQ(t.Run(), 0);
        EXPECT_EQ(second, 0);
        EXPECT_TRUE(Filter(*t.dev, {"RegisterClassW", "CreateWindowExW"}, mark).empty());
        EXPECT_EQ(t.dev->ForegroundWindow(), nullptr) << "the window is gone after exit";
        auto fg = Filter(*t.dev, {"SetForegroundWindow"}, mark);
        ASSERT_EQ(fg.size(), 1u);
        EXPECT_EQ((uintptr_t)fg[0].hwnd, (uintptr_t)main | 1);
    }
    // Same class with another title, or the title with another class: not us.
    for (auto names : {std::pair<std::u16string, std::u16string>{u"TapwatcherWndClass", u"Other"},
                       {u"OtherClass", u"Tapwatcher"}}) {
        Tool t;
        t.dev->CreateForeignWindow(names.first, names.second);
        ASSERT_EQ(t.Run(), 0);
        EXPECT_EQ(Calls(*t.dev, "RegisterClassW").size(), 1u);
        EXPECT_TRUE(Calls(*t.dev, "SetForegroundWindow").empty());
    }
}

// Start-up failures: a class that cannot be registered ends silently; a
// window that cannot be made says so once; both exit 0.
TEST(MainWindow, StartUpFailures) {
    {
        Tool t;
        t.dev->faults.register_class_fails = true;
        ASSERT_EQ(t.Run(), 0);
        EXPECT_TRUE(t.dev->message_boxes.empty());
        EXPECT_TRUE(Calls(*t.dev, "CreateWindowExW").empty());
    }
    {
        Tool t;
        t.dev->faults.create_main_window_fails = true;
        ASSERT_EQ(t.Run(), 0);
        ASSERT_EQ(t.dev->message_boxes.size(), 1u);
        const device::MessageBoxRecord& m = t.dev->message_boxes[0];
        EXPECT_EQ(device::Narrow(m.text), "CreateWindow Failed.");
        EXPECT_EQ(device::Narrow(m.caption), "error");
        EXPECT_EQ(m.owner, nullptr);
        EXPECT_EQ(m.type, (UINT)MB_OK);
        EXPECT_TRUE(Calls(*t.dev, "DispatchMessageW").empty()) << "no message loop runs";
    }
}

// Without a list view the tool still runs, captures nothing visible, and
// exits 0 with every hot key released.
TEST(MainWindow, RunsWithoutListViewOrMenuBar) {
    Tool t([](device::Profile& p) {
        p.commctrl = false;
        p.menubar = -1;
    });
    t.script.Wait(5).Press(kA).Release(kA).Wait(4000);
    ASSERT_EQ(t.Run(), 0);
    EXPECT_EQ(hwndList, nullptr);
    EXPECT_EQ(hwndMenuBar, nullptr);
    EXPECT_TRUE(HeldHotKeys(*t.dev, MainFromJournal(*t.dev)).empty());
    // The key was still passed on.
    ASSERT_EQ(t.dev->system_keys.size(), 2u);
    EXPECT_TRUE(t.dev->system_keys[0].synthesized);
}

// Every platform call from WinMain to the first GetMessageW, with every
// argument the tool chooses: class, main window, platform type and name,
// menu bar, list view with its styles and columns, focus, the input method,
// the sweep timer, then the first layout, show and update.
TEST(MainWindow, StartUpSequence) {
    Tool t;
    t.script.Wait(1);
    ASSERT_EQ(t.Run(), 0);
    std::vector<std::string> got = JournalLines(*t.dev);
    auto first_get = std::find_if(got.begin(), got.end(), [](const std::string& l) {
        return l.rfind("GetMessageW(", 0) == 0;
    });
    ASSERT_NE(first_get, got.end());
    got.erase(first_get + 1, got.end());

    std::vector<std::string> want = {
        "FindWindowW(\"TapwatcherWndClass\", \"Tapwatcher\") -> NULL",
        "LoadCursorW(NULL, MAKEINTRESOURCE(32512)) -> 0x7f00",
        "GetStockObject(0) -> 0x8000",
        "RegisterClassW({style=0x3, lpfnWndProc=WndProc, cbClsExtra=0, cbWndExtra=0, "
        "hInstance=0x400000, hIcon=NULL, hCursor=0x7f00, hbrBackground=0x8000, "
        "lpszMenuName=NULL, lpszClassName=\"TapwatcherWndClass\"}) -> 0xc001",
        "CreateWindowExW(0x0, \"TapwatcherWndClass\", \"Tapwatcher\", 0x10000000, "
        "CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, NULL, 0, 0x400000, NULL) "
        "-> main",
        "WM_CREATE(main)",
        "SystemParametersInfoW(257, 256, out, 0) -> 1",
        "wcscmp(\"PocketPC\", \"PocketPC\") -> 0",
        "GetModuleFileNameW(NULL, out, 260) -> 29",
        "wcsrchr(\"\\\\Program Files\\\\tapwatcher.exe\", '\\\\') -> +14",
        "wcscmp(\"tapwatcher.exe\", \"tapwatcherL.exe\") -> -30",
        "wcscmp(\"tapwatcher.exe\", \"WtapwatcherL.exe\") -> 29",
        "SHCreateMenuBar({cbSize=36, hwndParent=main, dwFlags=0x0, nToolBarId=101, "
        "hInstRes=0x400000, nBmpId=0, cBmpImages=0, hwndMB=NULL, clrBk=0x0}) -> 1",
        "InitCommonControlsEx({dwSize=8, dwICC=0x1}) -> 1",
        "GetClientRect(main, {0, 0, 0, 0}) -> 1",
        "CreateWindowExW(0x0, \"SysListView32\", \"\", 0x50000001, 0, 0, 0, 0, main, 1, "
        "0x400000, NULL) -> list",
        "SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0x0) -> 0",
        "SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, 0x30) -> 0",
        "GetDeviceCaps(NULL, 90) -> 96",
    };
    const char* headers[] = {"SysTime", "VK", "U/D", "Shift", "Ctrl", "Alt"};
    const int widths[] = {76, 28, 20, 20, 20, 20};
    for (int i = 0; i < 6; ++i)
        want.push_back("SendMessageW(list, LVM_INSERTCOLUMNW, " + std::to_string(i) +
                       ", {mask=0xf, fmt=0, cx=" + std::to_string(widths[i]) + ", pszText=\"" +
                       headers[i] + "\", cchTextMax=0, iSubItem=" + std::to_string(i) +
                       ", iImage=0, iOrder=0}) -> " + std::to_string(i));
    want.insert(want.end(), {
                                "SetFocus(list) -> NULL",
                                "CoreRoutine814(NULL, 0) -> 0",
                                "SetTimer(main, 16, 1, NULL) -> 16",
                                "WM_SIZE(main, w=240, h=294)",
                                "GetClientRect(main, {0, 0, 0, 0}) -> 1",
                                "SHFindMenuBar(main) -> bar",
                                "GetWindowRect(bar, {0, 0, 0, 0}) -> 1",
                                "MoveWindow(list, 0, 0, 240, 268, 1) -> 1",
                                "CoreRoutine814(NULL, 0) -> 0",
                                "ShowWindow(main, 5) -> 1",
                                "UpdateWindow(main) -> 1",
                                "GetMessageW(out, NULL, 0, 0) -> 1",
                            });
    EXPECT_TRUE(SameLines(got, want));
}

// Every platform call from the "Exit" button to the end of WinMain under a
// save-on-exit name, with one row in the log: all hot keys given back, the
// data file made and written (access, share mode, creation, attributes),
// the child windows destroyed, and the loop ended.
TEST(MainWindow, ShutdownSequence) {
    Tool t([](device::Profile& p) { p.exe = u"\\Program Files\\Wtapwatcher.exe"; });
    size_t mark = 0;
    t.script.Wait(3001).Check([&](device::Device& d) { mark = d.journal.size(); });
    t.script.Button(u"Exit");
    ASSERT_EQ(t.Run(), 0);

    std::vector<std::string> want = {
        "TranslateMessage({bar, WM_LBUTTONUP, 0, 0x0}) -> 0",
        "DispatchMessageW({bar, WM_LBUTTONUP, 0, 0x0}) -> 0",
        "WM_COMMAND(main, id=40007, from=bar)",
        "DestroyWindow(main) -> 1",
        "WM_DESTROY(main)",
    };
    for (int id = 0; id < 2048; ++id)
        want.push_back("UnregisterHotKey(main, " + std::to_string(id) + ") -> 1");
    want.insert(
        want.end(),
        {
            "GetModuleFileNameW(NULL, out, 260) -> 30",
            "wcsrchr(\"\\\\Program Files\\\\Wtapwatcher.exe\", '\\\\') -> +14",
            "wcscmp(\"Wtapwatcher.exe\", \"Wtapwatcher.exe\") -> 0",
            "GetModuleFileNameW(NULL, out, 260) -> 30",
            "wcsrchr(\"\\\\Program Files\\\\Wtapwatcher.exe\", '\\\\') -> +14",
            "wcslen(\"\\\\Program Files\\\\\") -> 15",
            "wcslen(\"tapwatcherdata.txt\") -> 18",
            "wsprintfW(out, \"%s%s\") -> 33, \"\\\\Program Files\\\\tapwatcherdata.txt\"",
            "CreateFileW(\"\\\\Program Files\\\\tapwatcherdata.txt\", 0xc0000000, 0x1, NULL, 2, "
            "0x80, NULL) -> 0x100",
            "WriteFile(0x100, \"SysTime\\tVK\\tU/D\\tShift\\tCtrl\\tAlt\\r\\n\", 31, out, NULL) -> "
            "1",
            "SendMessageW(list, LVM_GETITEMCOUNT, 0, 0x0) -> 1",
        });
    for (int col = 0; col < 6; ++col) {
        std::string text = col == 0 ? "3001" : "";
        want.push_back("SendMessageW(list, LVM_GETITEMTEXTW, 0, {mask=0x0, iItem=0, iSubItem=" +
                       std::to_string(col) +
                       ", state=0x0, stateMask=0x0, pszText=out, cchTextMax=64, iImage=0, "
                       "lParam=0x0, iIndent=0}) -> " +
                       std::to_string(text.size()));
        want.push_back("wcstombs(out, \"" + text + "\", 64) -> " + std::to_string(text.size()));
    }
    want.insert(want.end(),
                {
                    "WriteFile(0x100, \"3001\\t\\t\\t\\t\\t\\r\\n\", 11, out, NULL) -> 1",
                    "SendMessageW(list, LVM_GETITEMCOUNT, 0, 0x0) -> 1",
                    "CloseHandle(0x100) -> 1",
                    "DestroyWindow(bar) -> 1",
                    "WM_DESTROY(bar)",
                    "DestroyWindow(list) -> 1",
                    "WM_DESTROY(list)",
                    "PostQuitMessage(0)",
                    "GetMessageW(out, NULL, 0, 0) -> 0",
                });
    EXPECT_TRUE(SameLines(JournalLines(*t.dev, mark), want));
}

// A journal entry's arguments one by one: structures and quoted text whole,
// whatever commas or braces they hold.
TEST(Journal, ArgumentsOneByOne) {
    device::JournalEntry e;
    e.args = "main, {left=0, top=26}, \"a, \\\"b}\", ',', NULL";
    const char* want[] = {"main", "{left=0, top=26}", "\"a, \\\"b}\"", "','", "NULL", ""};
    for (size_t i = 0; i < std::size(want); ++i)
        EXPECT_EQ(e.Arg(i), want[i]) << "argument " << i;
    e.args = "";
    EXPECT_EQ(e.Arg(0), "");
}
