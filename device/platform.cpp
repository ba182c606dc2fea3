// platform.cpp - the Win32/Windows CE entry points of the simulated device.
//
// Each call goes to Device::Current(). Calls that fail set the last error;
// calls that succeed leave it as it was, as on the real platform.
//
// Choices: GetModuleFileNameW truncates as Windows CE does (nSize-1 units,
// always terminated, no error); SystemParametersInfoW knows only
// SPI_GETPLATFORMTYPE; GetDeviceCaps answers for the screen whatever the DC;
// CoreRoutine814 (the input-method open-status setter) is recorded and
// returns 0, since the device has no input method to close.
#include "platform/platform.h"

#include "device/device.h"

#include <algorithm>

using sim::Device;

static Device& D() {
    return Device::Current();
}

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    HWND h = D().FindWindow(lpClassName, lpWindowName);
    D().Journal("FindWindowW", 0, 0, 0, 0, (int64_t)(uintptr_t)h);
    return h;
}

BOOL SetForegroundWindow(HWND hWnd) {
    BOOL r = D().SetForeground(hWnd);
    D().JournalWnd("SetForegroundWindow", hWnd, 0, 0, 0, 0, r);
    return r;
}

ATOM RegisterClassW(const WNDCLASSW* lpWndClass) {
    ATOM a = D().RegisterClass(lpWndClass);
    D().Journal("RegisterClassW", lpWndClass ? lpWndClass->style : 0, 0, 0, 0, a);
    return a;
}

HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle,
                     int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                     HINSTANCE hInstance, LPVOID lpParam) {
    return D().CreateWindowEx(dwExStyle, lpClassName, lpWindowName, dwStyle, X, Y, nWidth, nHeight,
                              hWndParent, hMenu, hInstance, lpParam);
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    return D().ShowWindow(hWnd, nCmdShow);
}

BOOL UpdateWindow(HWND hWnd) {
    BOOL ok = D().Find(hWnd) != nullptr;
    D().JournalWnd("UpdateWindow", hWnd, 0, 0, 0, 0, ok);
    if (!ok)
        D().last_error = ERROR_INVALID_WINDOW_HANDLE;
    return ok;
}

BOOL DestroyWindow(HWND hWnd) {
    return D().DestroyWindow(hWnd);
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    D().JournalWnd("DefWindowProcW", hWnd, Msg, (int64_t)wParam, (int64_t)lParam);
    return D().DefProc(hWnd, Msg, wParam, lParam);
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Device& d = D();
    LRESULT r = d.Send(hWnd, Msg, wParam, lParam);
    d.JournalWnd("SendMessageW", hWnd, Msg, (int64_t)wParam, (int64_t)lParam, r);
    return r;
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    BOOL r = D().Post(hWnd, Msg, wParam, lParam);
    D().JournalWnd("PostMessageW", hWnd, Msg, (int64_t)wParam, (int64_t)lParam, r);
    return r;
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    return D().GetMessage(lpMsg);
}

BOOL TranslateMessage(const MSG* lpMsg) {
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* lpMsg) {
    return D().Dispatch(lpMsg);
}

void PostQuitMessage(int nExitCode) {
    D().Journal("PostQuitMessage", nExitCode);
    D().PostQuit(nExitCode);
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) {
    BOOL r = D().GetClientRect(hWnd, lpRect);
    D().JournalWnd("GetClientRect", hWnd, 0, 0, 0, 0, r);
    return r;
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
    BOOL r = D().GetWindowRect(hWnd, lpRect);
    D().JournalWnd("GetWindowRect", hWnd, 0, 0, 0, 0, r);
    return r;
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
    return D().MoveWindow(hWnd, X, Y, nWidth, nHeight, bRepaint);
}

HWND SetFocus(HWND hWnd) {
    return D().SetFocus(hWnd);
}

HCURSOR LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
    D().Journal("LoadCursorW", (int64_t)(uintptr_t)lpCursorName);
    return (HCURSOR)(uintptr_t)0x7F00;
}

HGDIOBJ GetStockObject(int i) {
    D().Journal("GetStockObject", i);
    if (i < 0 || i > 17)
        return nullptr;
    return (HGDIOBJ)(uintptr_t)(0x8000 + i);
}

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    return D().MessageBox(hWnd, lpText, lpCaption, uType);
}

BOOL RegisterHotKey(HWND hWnd, int id, UINT fsModifiers, UINT vk) {
    return D().RegisterHotKey(hWnd, id, fsModifiers, vk);
}

BOOL UnregisterHotKey(HWND hWnd, int id) {
    return D().UnregisterHotKey(hWnd, id);
}

void keybd_event(BYTE bVk, BYTE bScan, DWORD dwFlags, DWORD dwExtraInfo) {
    Device& d = D();
    d.Journal("keybd_event", bVk, bScan, dwFlags, dwExtraInfo);
    if (bVk == 0 || bVk == 0xFF)
        return;
    if (dwFlags & KEYEVENTF_KEYUP)
        d.KeyUp(bVk, true);
    else
        d.KeyDown(bVk, true);
}

DWORD GetTickCount(void) {
    Device& d = D();
    d.SyncClock();
    return d.Tick();
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    return D().SetTimer(hWnd, nIDEvent, uElapse);
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    return D().KillTimer(hWnd, uIDEvent);
}

BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, LPVOID pvParam, UINT fWinIni) {
    Device& d = D();
    BOOL ok = FALSE;
    if (uiAction != SPI_GETPLATFORMTYPE || !pvParam) {
        d.last_error = ERROR_INVALID_PARAMETER;
    } else if (d.profile().platform_query_fails) {
        d.last_error = ERROR_INVALID_SPI_VALUE;
    } else if (d.profile().platform.size() + 1 > uiParam) {
        d.last_error = ERROR_INSUFFICIENT_BUFFER;
    } else {
        WCHAR* out = (WCHAR*)pvParam;
        const std::u16string& text = d.profile().platform;
        for (size_t i = 0; i < text.size(); ++i)
            out[i] = text[i];
        out[text.size()] = 0;
        ok = TRUE;
    }
    d.Journal("SystemParametersInfoW", uiAction, uiParam, fWinIni, 0, ok);
    return ok;
}

int GetDeviceCaps(HDC hdc, int index) {
    Device& d = D();
    int r = 0;
    switch (index) {
    case LOGPIXELSX:
    case LOGPIXELSY:
        r = d.profile().dpi;
        break;
    case HORZRES:
        r = d.profile().screen_w;
        break;
    case VERTRES:
        r = d.profile().screen_h;
        break;
    }
    d.Journal("GetDeviceCaps", (int64_t)(uintptr_t)hdc, index, 0, 0, r);
    return r;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    Device& d = D();
    DWORD n = 0;
    if (d.faults.no_module_name || d.CurrentPid() == 0) {
        d.last_error = ERROR_INVALID_HANDLE;
    } else if (nSize == 0 || !lpFilename) {
        d.last_error = ERROR_INVALID_PARAMETER;
    } else {
        const std::u16string& exe = d.profile().exe;
        n = (DWORD)std::min<size_t>(exe.size(), nSize - 1);
        for (DWORD i = 0; i < n; ++i)
            lpFilename[i] = exe[i];
        lpFilename[n] = 0;
    }
    d.Journal("GetModuleFileNameW", (int64_t)(uintptr_t)hModule, nSize, 0, 0, n);
    return n;
}

DWORD GetLastError(void) {
    return D().last_error;
}

void SetLastError(DWORD dwErrCode) {
    D().last_error = dwErrCode;
}

BOOL CoreRoutine814(HIMC himc, BOOL fOpen) {
    D().Journal("CoreRoutine814", (int64_t)(uintptr_t)himc, fOpen);
    return 0;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* lpInitCtrls) {
    return D().InitCommonControls(lpInitCtrls);
}

BOOL SHCreateMenuBar(SHMENUBARINFO* pmbi) {
    return D().CreateMenuBar(pmbi);
}

HWND SHFindMenuBar(HWND hwnd) {
    return D().FindMenuBar(hwnd);
}
