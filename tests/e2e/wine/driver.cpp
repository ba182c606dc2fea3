// driver.cpp - runs tapwatcher.exe end to end on a real Win32 (Wine, under
// tests/e2e/wine/run.sh) and checks what a user of it would see.
//
// The tool must sit beside this program as Wtapwatcher.exe, the name under
// which it saves its log at exit. The driver
//   1. holds Shift+Alt+F3 itself, so that the tool's sweep must list it as taken;
//   2. starts the tool and waits for its window and for the sweep to end;
//   3. starts it a second time: that start must end at once, leaving one window;
//   4. types Ctrl+A (Ctrl down, A down, A up, Ctrl up) with SendInput, and
//      watches with a low-level keyboard hook what the tool passes on;
//   5. waits past the quiet period and chooses "Exit" (WM_COMMAND 40007);
//   6. checks the exit code and the data file tapwatcherdata.txt.
// Every wait is bounded; a watchdog ends the run if anything hangs.
// Exit status 0 when every check passed, 1 when one failed, 3 on the watchdog.
//
// `tapwatcher-e2e conform TAKEN STEP...` plays one sequence of the conformance
// table (tests/conformance) on a fresh tool instead: TAKEN (a combination such
// as Ctrl+Alt+T, or -) held by the driver first, then the steps at their times
// with SendInput (+KEY, -KEY, ~MS, Clear, Exit; a key held repeats as the X
// server repeats it), then "Exit". The tool's data file holds the rows.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t kClass[] = L"TapwatcherWndClass";
const wchar_t kTitle[] = L"Tapwatcher";
const wchar_t kToolName[] = L"Wtapwatcher.exe";
const wchar_t kDataName[] = L"tapwatcherdata.txt";
const char kHeader[] = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n";

const UINT kIdmClear = 40004;
const UINT kIdmExit = 40007;
const UINT kHeldMods = MOD_SHIFT | MOD_ALT; // the combination the driver holds
const UINT kHeldVk = VK_F3;                 // 0x72
const ULONG_PTR kDriverInput = 0x54574452;  // dwExtraInfo of the driver's own keys
const DWORD kQuietMs = 3000;                // the tool's quiet period
const DWORD kWatchdogMs = 150000;

int g_passed, g_failed;
HANDLE g_tool = nullptr; // the first instance, ended by the watchdog

void Check(bool ok, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::printf("%s - ", ok ? "ok" : "FAIL");
    std::vprintf(fmt, ap);
    std::printf("\n");
    std::fflush(stdout);
    va_end(ap);
    (ok ? g_passed : g_failed)++;
}

void Note(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::printf("# ");
    std::vprintf(fmt, ap);
    std::printf("\n");
    std::fflush(stdout);
    va_end(ap);
}

DWORD WINAPI Watchdog(LPVOID) {
    Sleep(kWatchdogMs);
    std::printf("FAIL - the run did not finish within %lu ms\n", (unsigned long)kWatchdogMs);
    std::fflush(stdout);
    if (g_tool)
        TerminateProcess(g_tool, 99);
    ExitProcess(3);
}

// ---------------------------------------------------------------------------
// Key watcher: a low-level keyboard hook on a thread of its own, recording
// every key event the system sees, with who made it.
// ---------------------------------------------------------------------------
struct KeyEvent {
    UINT vk; // as the hook reports it: Ctrl may come as VK_LCONTROL
    bool up;
    bool injected;
    bool ours; // injected by this driver
};

CRITICAL_SECTION g_keysLock;
std::vector<KeyEvent> g_keys;
HANDLE g_watcherReady;
DWORD g_watcherThreadId;

UINT Generic(UINT vk) {
    if (vk == VK_LSHIFT || vk == VK_RSHIFT)
        return VK_SHIFT;
    if (vk == VK_LCONTROL || vk == VK_RCONTROL)
        return VK_CONTROL;
    if (vk == VK_LMENU || vk == VK_RMENU)
        return VK_MENU;
    return vk;
}

LRESULT CALLBACK WatchKeys(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const KBDLLHOOKSTRUCT* k = (const KBDLLHOOKSTRUCT*)lParam;
        KeyEvent e{k->vkCode, wParam == WM_KEYUP || wParam == WM_SYSKEYUP,
                   (k->flags & LLKHF_INJECTED) != 0, k->dwExtraInfo == kDriverInput};
        EnterCriticalSection(&g_keysLock);
        g_keys.push_back(e);
        LeaveCriticalSection(&g_keysLock);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

DWORD WINAPI KeyWatcher(LPVOID) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // make the queue
    HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, WatchKeys, GetModuleHandleW(nullptr), 0);
    SetEvent(g_watcherReady);
    if (!hook)
        return 1;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    UnhookWindowsHookEx(hook);
    return 0;
}

std::vector<KeyEvent> KeysSince(size_t from) {
    EnterCriticalSection(&g_keysLock);
    std::vector<KeyEvent> v(g_keys.begin() + (ptrdiff_t)std::min(from, g_keys.size()),
                            g_keys.end());
    LeaveCriticalSection(&g_keysLock);
    return v;
}

size_t KeyCount() {
    EnterCriticalSection(&g_keysLock);
    size_t n = g_keys.size();
    LeaveCriticalSection(&g_keysLock);
    return n;
}

// Waits until the tool (not the driver) has injected the given key event.
bool WaitForToolKey(size_t from, UINT vk, bool up, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    do {
        for (const KeyEvent& e : KeysSince(from))
            if (e.injected && !e.ours && Generic(e.vk) == vk && e.up == up)
                return true;
        Sleep(20);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

std::string Describe(const std::vector<KeyEvent>& keys) {
    std::string s;
    for (const KeyEvent& e : keys) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s%02X%s%s", s.empty() ? "" : " ", e.vk, e.up ? "u" : "d",
                      e.ours       ? "(driver)"
                      : e.injected ? "(injected)"
                                   : "");
        s += buf;
    }
    return s.empty() ? "(none)" : s;
}

// ---------------------------------------------------------------------------
// Processes and windows
// ---------------------------------------------------------------------------
std::wstring OwnDirectory() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    size_t slash = s.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : s.substr(0, slash + 1);
}

HANDLE Start(const std::wstring& exe) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

bool Running(HANDLE process) {
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

DWORD ExitCode(HANDLE process) {
    DWORD code = 0xDEAD;
    GetExitCodeProcess(process, &code);
    return code;
}

HWND WaitForWindow(HANDLE process, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        HWND hwnd = FindWindowW(kClass, kTitle);
        if (hwnd)
            return hwnd;
        if (!Running(process))
            return nullptr;
        Sleep(50);
    }
    return nullptr;
}

struct WindowCount {
    int n;
};

BOOL CALLBACK CountToolWindows(HWND hwnd, LPARAM lParam) {
    wchar_t cls[64] = L"", title[64] = L"";
    GetClassNameW(hwnd, cls, 64);
    GetWindowTextW(hwnd, title, 64);
    if (wcscmp(cls, kClass) == 0 && wcscmp(title, kTitle) == 0)
        ((WindowCount*)lParam)->n++;
    return TRUE;
}

int ToolWindows() {
    WindowCount c{0};
    EnumWindows(CountToolWindows, (LPARAM)&c);
    return c.n;
}

// Number of rows in the tool's list, or -1 when the tool does not answer. The
// answer comes only once the tool is back in its message loop, so a sweep in
// progress has finished by then.
int ListRows(HWND list) {
    DWORD_PTR rows = 0;
    if (!SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &rows))
        return -1;
    return (int)rows;
}

bool Key(WORD vk, bool up) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    in.ki.dwExtraInfo = kDriverInput;
    return SendInput(1, &in, sizeof in) == 1;
}

// ---------------------------------------------------------------------------
// The data file
// ---------------------------------------------------------------------------
bool ReadFileBytes(const std::wstring& path, std::string& out) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    char buf[4096];
    DWORD n;
    out.clear();
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n)
        out.append(buf, n);
    CloseHandle(h);
    return true;
}

struct Row {
    std::string line;
    std::vector<std::string> f; // the fields, split at TAB
};

bool IsTick(const std::string& s) {
    size_t i = s.size() > 1 && s[0] == '-' ? 1 : 0;
    if (i == s.size() || s.size() > 11)
        return false;
    for (; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

DWORD Tick(const Row& r) {
    return (DWORD)std::strtol(r.f[0].c_str(), nullptr, 10);
}

bool IsKeyRow(const Row& r) {
    return r.f[2] == "D" || r.f[2] == "U";
}
bool IsQuietRow(const Row& r) {
    return r.f[1].empty() && r.f[2].empty() && r.f[3].empty() && r.f[4].empty() && r.f[5].empty();
}
bool Is(const Row& r, const char* vk, const char* ud, const char* s, const char* c, const char* a) {
    return r.f[1] == vk && r.f[2] == ud && r.f[3] == s && r.f[4] == c && r.f[5] == a;
}

void CheckDataFile(const std::wstring& path) {
    std::string bytes;
    bool read = ReadFileBytes(path, bytes);
    Check(read, "the data file tapwatcherdata.txt was written beside the executable");
    if (!read)
        return;
    Note("data file, %u bytes:", (unsigned)bytes.size());
    std::printf("%s", bytes.c_str());

    Check(bytes.compare(0, sizeof kHeader - 1, kHeader) == 0,
          "the data file starts with the header SysTime TAB VK TAB U/D TAB Shift TAB Ctrl TAB Alt "
          "CR LF");
    Check(bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0,
          "the data file ends with CR LF");

    // Lines: every one ends with CR LF, with no lone CR or LF, and has six
    // fields (five TABs); the first row field is a tick.
    std::vector<Row> rows;
    bool wellFormed = true;
    std::string bad;
    size_t pos = sizeof kHeader - 1;
    while (pos < bytes.size()) {
        size_t end = bytes.find("\r\n", pos);
        if (end == std::string::npos) {
            wellFormed = false;
            bad = bytes.substr(pos);
            break;
        }
        Row r;
        r.line = bytes.substr(pos, end - pos);
        pos = end + 2;
        size_t start = 0;
        for (;;) {
            size_t tab = r.line.find('\t', start);
            r.f.push_back(r.line.substr(start, tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (r.f.size() != 6 || r.line.find_first_of("\r\n") != std::string::npos ||
            !IsTick(r.f[0])) {
            wellFormed = false;
            bad = r.line;
            break;
        }
        rows.push_back(r);
    }
    Check(wellFormed,
          "every row is a tick and five more fields, separated by TAB, ended by CR LF%s%s",
          wellFormed ? "" : "; bad line: ", bad.c_str());
    if (!wellFormed)
        return;

    // The sweep's rows come first; the driver's combination is among them.
    int heldRows = 0;
    size_t firstOther = rows.size();
    bool fAfterOther = false;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].f[2] == "F") {
            if (firstOther < i)
                fAfterOther = true;
            heldRows += Is(rows[i], "72", "F", "S", "", "A");
        } else if (firstOther == rows.size()) {
            firstOther = i;
        }
    }
    Check(heldRows == 1,
          "exactly one \"F\" row for the combination the driver holds: 72, S, A (found %d)",
          heldRows);
    Check(!fAfterOther, "every \"F\" row comes before the first key event or quiet mark");

    // Ctrl+A: one press row and one release row of key 41 with Ctrl, in that
    // order, and no other row of key 41 (a synthesised key that came back to
    // the tool would add one).
    int down = -1, up = -1, rows41 = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].f[1] != "41")
            continue;
        rows41++;
        if (Is(rows[i], "41", "D", "", "C", "") && down < 0)
            down = (int)i;
        if (Is(rows[i], "41", "U", "", "C", "") && up < 0)
            up = (int)i;
    }
    Check(down >= 0, "a \"D\" row of key 41 with Ctrl: tick, 41, D, empty, C, empty");
    Check(up >= 0, "a \"U\" row of key 41 with Ctrl: tick, 41, U, empty, C, empty");
    Check(down >= 0 && up > down, "the press row of key 41 comes before its release row");
    Check(rows41 == 2, "key 41 has exactly two rows, its press and its release (found %d)", rows41);

    // Ctrl's own press and release are logged under the generic code, as on
    // Windows CE (Wine fires the left-hand code's hot key, A2): no key event
    // row carries a left- or right-hand modifier code.
    int ctrlRows = 0, sidedRows = 0;
    for (const Row& r : rows) {
        ctrlRows += Is(r, "11", "D", "", "C", "") + Is(r, "11", "U", "", "C", "");
        sidedRows += r.f[2] != "F" && r.f[1].size() == 2 && r.f[1][0] == 'A' && r.f[1][1] >= '0' &&
                     r.f[1][1] <= '5';
    }
    Check(ctrlRows == 2 && sidedRows == 0,
          "Ctrl logs \"11 D C\" and \"11 U C\", no row of codes A0-A5 (found %d and %d)", ctrlRows,
          sidedRows);

    // The release emulation pairs up: every press row of a key is followed by
    // one release row of the same key and modifiers, and no release row comes
    // without its press.
    std::vector<const Row*> open;
    int unmatchedUp = 0;
    std::string unmatched;
    for (const Row& r : rows) {
        if (r.f[2] == "D") {
            open.push_back(&r);
        } else if (r.f[2] == "U") {
            size_t i = 0;
            while (i < open.size() && !Is(*open[i], r.f[1].c_str(), "D", r.f[3].c_str(),
                                          r.f[4].c_str(), r.f[5].c_str()))
                ++i;
            if (i == open.size()) {
                unmatchedUp++;
                unmatched += " [" + r.line + "]";
            } else {
                open.erase(open.begin() + (ptrdiff_t)i);
            }
        }
    }
    for (const Row* r : open)
        unmatched += " [" + r->line + "]";
    Check(open.empty() && unmatchedUp == 0,
          "every press row has one later release row of the same key and modifiers, and "
          "every release row a press%s",
          unmatched.c_str());

    // Ticks never go back (compared as differences: the count may wrap).
    bool ordered = true;
    for (size_t i = 1; i < rows.size(); ++i)
        if ((DWORD)(Tick(rows[i]) - Tick(rows[i - 1])) >= 0x80000000u)
            ordered = false;
    Check(ordered, "the ticks of the rows never go back");

    // A quiet mark follows the burst, one quiet period after its last event.
    int quiet = -1, lastKey = -1;
    for (size_t i = (size_t)(up < 0 ? 0 : up); i < rows.size(); ++i) {
        if (IsKeyRow(rows[i]))
            lastKey = (int)i;
        else if (IsQuietRow(rows[i])) {
            quiet = (int)i;
            break;
        }
    }
    Check(quiet >= 0,
          "a quiet-mark row (a tick and five empty fields) follows the release of Ctrl+A");
    if (quiet >= 0 && lastKey >= 0) {
        DWORD gap = Tick(rows[quiet]) - Tick(rows[lastKey]);
        // Both ticks are whole milliseconds read at different moments; allow
        // one tick of rounding either way.
        Check(gap + 1 >= kQuietMs && gap < kQuietMs + 2000,
              "the quiet mark comes one quiet period after the burst's last event (%lu ms)",
              (unsigned long)gap);
    }
}

// The virtual key of a scenario key name (Shift, Ctrl, Alt, a letter or digit); 0 for none.
WORD KeyOfName(const std::wstring& name) {
    if (name == L"Shift")
        return VK_SHIFT;
    if (name == L"Ctrl")
        return VK_CONTROL;
    if (name == L"Alt")
        return VK_MENU;
    if (name.size() == 1 && iswalnum(name[0]))
        return (WORD)towupper(name[0]);
    return 0;
}

// Starts the tool and waits for its sweep to list what is taken; its window or nullptr.
HWND StartAndSweep() {
    g_tool = Start(OwnDirectory() + kToolName);
    HWND hwnd = g_tool ? WaitForWindow(g_tool, 30000) : nullptr;
    HWND list = nullptr;
    DWORD start = GetTickCount();
    while (hwnd && !(list = FindWindowExW(hwnd, nullptr, WC_LISTVIEWW, nullptr)) &&
           GetTickCount() - start < 30000 && Running(g_tool))
        Sleep(50);
    int rows = -1;
    while (list && GetTickCount() - start < 30000 && (rows = ListRows(list)) < 1)
        Sleep(100);
    return rows >= 1 ? hwnd : nullptr;
}

// One sequence of the conformance table on a fresh tool; 0 when it was played.
int Conform(int argc, wchar_t** argv) {
    const std::wstring data = OwnDirectory() + kDataName;
    DeleteFileW(data.c_str());
    std::wstring taken = argc > 2 ? argv[2] : L"-";
    if (taken != L"-") {
        UINT mods = 0;
        size_t plus;
        while ((plus = taken.find(L'+')) != std::wstring::npos) {
            WORD m = KeyOfName(taken.substr(0, plus));
            mods |= m == VK_SHIFT ? MOD_SHIFT : m == VK_CONTROL ? MOD_CONTROL : MOD_ALT;
            taken.erase(0, plus + 1);
        }
        if (!RegisterHotKey(nullptr, 1, mods, KeyOfName(taken))) {
            std::printf("conform: cannot hold the taken combination (error %lu)\n", GetLastError());
            return 1;
        }
    }
    HWND hwnd = StartAndSweep();
    if (!hwnd) {
        std::printf("conform: the tool's window and sweep did not come within 30 s\n");
        if (g_tool)
            TerminateProcess(g_tool, 99);
        return 1;
    }
    SetForegroundWindow(hwnd);
    Sleep(3300); // past the quiet mark, as the reference starts
    // The steps at their times from the first; the last key pressed repeats while held.
    const DWORD kRepeatDelay = 660, kRepeatEvery = 40;
    LARGE_INTEGER freq, t0;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    auto sleepUntil = [&](DWORD at) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        LONGLONG ms = (now.QuadPart - t0.QuadPart) * 1000 / freq.QuadPart;
        if ((LONGLONG)at > ms)
            Sleep((DWORD)((LONGLONG)at - ms));
    };
    DWORD t = 0, lastAt = 0;
    WORD last = 0;
    std::vector<WORD> held;
    for (int i = 3; i < argc; ++i) {
        std::wstring step = argv[i];
        WORD vk = KeyOfName(step.substr(1));
        if (step[0] == L'~') {
            DWORD wait = (DWORD)_wtoi(step.c_str() + 1);
            bool repeats = std::find(held.begin(), held.end(), last) != held.end();
            for (DWORD r = lastAt + kRepeatDelay; repeats && r < t + wait; r += kRepeatEvery)
                if (r >= t) {
                    sleepUntil(r);
                    Key(last, false);
                }
            t += wait;
        } else if ((step[0] == L'+' || step[0] == L'-') && vk) {
            sleepUntil(t);
            Key(vk, step[0] == L'-');
            if (step[0] == L'+') {
                held.push_back(vk);
                last = vk;
                lastAt = t;
            } else {
                held.erase(std::remove(held.begin(), held.end(), vk), held.end());
            }
        } else if (step == L"Clear" || step == L"Exit") {
            sleepUntil(t);
            PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(step == L"Clear" ? kIdmClear : kIdmExit, 0),
                         0);
        } else {
            std::printf("conform: a step of no known kind: %ls\n", step.c_str());
            return 1;
        }
    }
    sleepUntil(t + 1000);
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kIdmExit, 0), 0);
    if (WaitForSingleObject(g_tool, 30000) != WAIT_OBJECT_0) {
        std::printf("conform: the tool did not end within 30 s of \"Exit\"\n");
        TerminateProcess(g_tool, 99);
        return 1;
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wstring(argv[1]) == L"conform") {
        CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
        return Conform(argc, argv);
    }
    InitializeCriticalSection(&g_keysLock);
    CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));

    const std::wstring dir = OwnDirectory();
    const std::wstring tool = dir + kToolName;
    const std::wstring data = dir + kDataName;
    DeleteFileW(data.c_str());

    if (GetFileAttributesW(tool.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Check(false, "Wtapwatcher.exe is beside the driver");
        return 1;
    }
    Check(FindWindowW(kClass, kTitle) == nullptr, "no tool window exists before the start");

    // 1. A combination held by somebody else before the tool starts.
    BOOL held = RegisterHotKey(nullptr, 1, kHeldMods, kHeldVk);
    Check(held, "the driver holds Shift+Alt+F3 (error %lu)", held ? 0ul : GetLastError());

    g_watcherReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE watcher = CreateThread(nullptr, 0, KeyWatcher, nullptr, 0, &g_watcherThreadId);
    WaitForSingleObject(g_watcherReady, 10000);

    // 2. Start the tool; wait for its window and its sweep.
    g_tool = Start(tool);
    Check(g_tool != nullptr, "the tool starts (error %lu)", g_tool ? 0ul : GetLastError());
    if (!g_tool)
        return 1;
    HWND hwnd = WaitForWindow(g_tool, 30000);
    Check(hwnd != nullptr, "the tool's window appears: class TapwatcherWndClass, title Tapwatcher");
    if (!hwnd) {
        TerminateProcess(g_tool, 99);
        return 1;
    }
    // The window can be found while it is still being created: wait for the
    // list view that its creation makes, then for the sweep's rows.
    HWND list = nullptr;
    DWORD start = GetTickCount();
    while (!(list = FindWindowExW(hwnd, nullptr, WC_LISTVIEWW, nullptr)) &&
           GetTickCount() - start < 30000 && Running(g_tool))
        Sleep(50);
    Check(list != nullptr, "the window holds a list view");
    int rows = -1;
    start = GetTickCount();
    while (list && GetTickCount() - start < 30000 && (rows = ListRows(list)) < 1)
        Sleep(100);
    Check(rows >= 1, "the sweep lists at least one taken combination (%d rows)", rows);
    if (rows < 1) {
        // Without a finished sweep, the checks below would race with it.
        TerminateProcess(g_tool, 99);
        std::printf("wine: %d passed, %d failed\n", g_passed, g_failed);
        return 1;
    }

    // On the desktop there is no menu-bar window: the menu is the window's
    // own, and the list view gets the whole client area.
    Check(GetMenu(hwnd) != nullptr, "the menu from the menu bar template is the window's menu");
    RECT client = {}, lv = {};
    GetClientRect(hwnd, &client);
    GetWindowRect(list, &lv);
    MapWindowPoints(nullptr, hwnd, (POINT*)&lv, 2);
    Check(lv.left == 0 && lv.top == 0 && lv.right == client.right && lv.bottom == client.bottom &&
              client.right > 0 && client.bottom > 0,
          "the list view covers the whole client area: (%ld,%ld)-(%ld,%ld) in %ldx%ld", lv.left,
          lv.top, lv.right, lv.bottom, client.right, client.bottom);

    // Column widths: the wide layout when the screen has more than 96 dots
    // per inch or the client area is wider than 240 pixels.
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    bool wide = dpi > 96 || client.right > 240;
    const int wideWidths[6] = {84, 56, 40, 40, 40, 40}, narrowWidths[6] = {76, 28, 20, 20, 20, 20};
    std::string widths;
    bool widthsOk = true;
    for (int col = 0; col < 6; ++col) {
        DWORD_PTR cx = 0;
        SendMessageTimeoutW(list, LVM_GETCOLUMNWIDTH, (WPARAM)col, 0, SMTO_ABORTIFHUNG, 5000, &cx);
        widths += (col ? " " : "") + std::to_string((int)cx);
        widthsOk = widthsOk && (int)cx == (wide ? wideWidths : narrowWidths)[col];
    }
    Check(widthsOk, "six columns of the %s layout (%d dpi, client %ld wide): %s",
          wide ? "wide" : "narrow", dpi, client.right, widths.c_str());

    BOOL stolen = RegisterHotKey(nullptr, 2, MOD_CONTROL, 'A');
    DWORD err = stolen ? 0 : GetLastError();
    if (stolen)
        UnregisterHotKey(nullptr, 2);
    Check(!stolen && err == ERROR_HOTKEY_ALREADY_REGISTERED,
          "after the sweep the tool holds Ctrl+A (another registration fails with %lu)",
          (unsigned long)err);

    // 3. A second start while the tool runs.
    HANDLE second = Start(tool);
    Check(second != nullptr, "a second instance starts");
    if (second) {
        DWORD wait = WaitForSingleObject(second, 15000);
        Check(wait == WAIT_OBJECT_0, "the second instance ends at once");
        if (wait != WAIT_OBJECT_0)
            TerminateProcess(second, 99);
        else
            Check(ExitCode(second) == 0, "the second instance's exit code is 0 (%lu)",
                  (unsigned long)ExitCode(second));
        CloseHandle(second);
    }
    int windows = ToolWindows();
    Check(windows == 1, "one tool window after the second start (%d)", windows);
    Check(Running(g_tool), "the first instance is still running");

    // 4. Ctrl+A, one key event at a time, as fingers would.
    size_t mark = KeyCount();
    bool sent = Key(VK_CONTROL, false);
    Sleep(300);
    sent = Key('A', false) && sent;
    Sleep(300);
    sent = Key('A', true) && sent;
    // The tool passes the release of A on at once, while Ctrl is still down;
    // lift Ctrl only once its synthesised Ctrl release has gone by (or after
    // a bound, when it never comes: a check below then fails).
    if (!WaitForToolKey(mark, VK_CONTROL, true, 5000))
        Note("no Ctrl release from the tool within 5 s");
    Sleep(200);
    sent = Key(VK_CONTROL, true) && sent;
    Sleep(300);
    Check(sent, "SendInput took Ctrl down, A down, A up, Ctrl up");

    // 5. Past the quiet period, then "Exit".
    Sleep(kQuietMs + 1200);

    std::vector<KeyEvent> keys = KeysSince(mark);
    Note("keys seen by the system: %s", Describe(keys).c_str());
    // What the tool synthesised, in order: nothing on the press; after the
    // release of A, a press and a release of A and a release of Ctrl.
    std::vector<KeyEvent> byTool;
    size_t driverAUp = keys.size();
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].ours && keys[i].vk == 'A' && keys[i].up && driverAUp == keys.size())
            driverAUp = i;
        if (keys[i].injected && !keys[i].ours)
            byTool.push_back(keys[i]);
    }
    bool nothingBefore = true;
    for (size_t i = 0; i < driverAUp && i < keys.size(); ++i)
        if (keys[i].injected && !keys[i].ours)
            nothingBefore = false;
    Check(nothingBefore, "the tool synthesises nothing before the release of A");
    bool passed = byTool.size() >= 3 && byTool[0].vk == 'A' && !byTool[0].up &&
                  byTool[1].vk == 'A' && byTool[1].up && Generic(byTool[2].vk) == VK_CONTROL &&
                  byTool[2].up;
    Check(passed, "the release of Ctrl+A is passed on: A down, A up, then Ctrl up (saw %s)",
          Describe(byTool).c_str());

    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kIdmExit, 0), 0);
    DWORD wait = WaitForSingleObject(g_tool, 30000);
    Check(wait == WAIT_OBJECT_0, "the tool ends after \"Exit\"");
    if (wait != WAIT_OBJECT_0) {
        TerminateProcess(g_tool, 99);
        WaitForSingleObject(g_tool, 5000);
    } else {
        Check(ExitCode(g_tool) == 0, "the tool's exit code is 0 (%lu)",
              (unsigned long)ExitCode(g_tool));
    }
    Check(FindWindowW(kClass, kTitle) == nullptr, "no tool window is left");

    // 6. The data file.
    CheckDataFile(data);

    if (held)
        UnregisterHotKey(nullptr, 1);
    PostThreadMessageW(g_watcherThreadId, WM_QUIT, 0, 0);
    WaitForSingleObject(watcher, 5000);

    std::printf("wine: %d passed, %d failed\n", g_passed, g_failed);
    std::fflush(stdout);
    return g_failed ? 1 : 0;
}
