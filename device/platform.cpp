// platform.cpp - the Win32/Windows CE entry points of the simulated device.
//
// Each call goes to Device::Current() and through the journal point: a
// JournalCall opens the call's entry with every argument it was handed
// (structures field by field, text quoted, windows by class) before the call
// runs, and closes it with the result. The files and text routines do the
// same in files.cpp and text.cpp. Calls that fail set the last error; calls
// that succeed leave it as it was, as on the real platform.
//
// Choices: GetModuleFileNameW truncates as Windows CE does (nSize-1 units,
// always terminated, no error); SystemParametersInfoW knows only
// SPI_GETPLATFORMTYPE, its size argument a count of characters;
// GetDeviceCaps answers for the screen whatever the DC; CoreRoutine814 (the
// input-method open-status setter) is recorded and returns 0, since the
// device has no input method to close; each RegisterHotKey takes the
// profile's register-cost of device time.
#include "platform/platform.h"

#include "device/device.h"

#include <algorithm>

using device::Device;
using device::JournalArgs;
using device::JournalCall;

static Device& D() {
    return Device::Current();
}

// A resource name: an ordinal below 0x10000 (MAKEINTRESOURCE), or text.
static void ResName(JournalArgs& o, LPCWSTR name) {
    if (name && (uintptr_t)name <= 0xFFFF)
        o.Raw("MAKEINTRESOURCE(" + std::to_string((uintptr_t)name) + ")");
    else
        o.Text(name);
}

// A position or size that may be CW_USEDEFAULT.
static void Coord(JournalArgs& o, int v) {
    if (v == CW_USEDEFAULT)
        o.Raw("CW_USEDEFAULT");
    else
        o.Int(v);
}

static void Message(JournalArgs& o, const MSG* m) {
    if (!m) {
        o.Raw("NULL");
        return;
    }
    o.Begin().Wnd(m->hwnd).Msg(m->message).Int((int64_t)m->wParam).Hex((uint64_t)m->lParam).End();
}

// An LVITEMW field by field; `text_out` when pszText is a buffer to fill.
static void ListItem(JournalArgs& o, const LVITEMW* it, bool text_out) {
    o.Begin().Field("mask").Hex(it->mask).Field("iItem").Int(it->iItem);
    o.Field("iSubItem").Int(it->iSubItem).Field("state").Hex(it->state);
    o.Field("stateMask").Hex(it->stateMask).Field("pszText");
    if (text_out)
        o.Out(it->pszText);
    else
        o.Text(it->pszText);
    o.Field("cchTextMax").Int(it->cchTextMax).Field("iImage").Int(it->iImage);
    o.Field("lParam").Hex((uint64_t)it->lParam).Field("iIndent").Int(it->iIndent).End();
}

static void ListColumn(JournalArgs& o, const LVCOLUMNW* c) {
    o.Begin().Field("mask").Hex(c->mask).Field("fmt").Int(c->fmt).Field("cx").Int(c->cx);
    o.Field("pszText").Text(c->pszText).Field("cchTextMax").Int(c->cchTextMax);
    o.Field("iSubItem").Int(c->iSubItem).Field("iImage").Int(c->iImage);
    o.Field("iOrder").Int(c->iOrder).End();
}

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    Device& d = D();
    JournalCall call(d, "FindWindowW", nullptr, [&](JournalArgs& o) {
        ResName(o, lpClassName);
        o.Text(lpWindowName);
    });
    return call.ReturnWnd(d.FindWindow(lpClassName, lpWindowName));
}

BOOL SetForegroundWindow(HWND hWnd) {
    Device& d = D();
    JournalCall call(d, "SetForegroundWindow", hWnd, [&](JournalArgs& o) { o.Wnd(hWnd); });
    return (BOOL)call.Return(d.SetForeground(hWnd));
}

ATOM RegisterClassW(const WNDCLASSW* wc) {
    Device& d = D();
    JournalCall call(d, "RegisterClassW", nullptr, [&](JournalArgs& o) {
        if (!wc) {
            o.Raw("NULL");
            return;
        }
        o.Begin().Field("style").Hex(wc->style);
        o.Field("lpfnWndProc").Ptr((const void*)wc->lpfnWndProc);
        o.Field("cbClsExtra").Int(wc->cbClsExtra);
        o.Field("cbWndExtra").Int(wc->cbWndExtra);
        o.Field("hInstance").Ptr(wc->hInstance).Field("hIcon").Ptr(wc->hIcon);
        o.Field("hCursor").Ptr(wc->hCursor);
        o.Field("hbrBackground").Ptr(wc->hbrBackground);
        ResName(o.Field("lpszMenuName"), wc->lpszMenuName);
        ResName(o.Field("lpszClassName"), wc->lpszClassName);
        o.End();
    });
    return (ATOM)call.ReturnHex(d.RegisterClass(wc));
}

HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle,
                     int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                     HINSTANCE hInstance, LPVOID lpParam) {
    Device& d = D();
    JournalCall call(d, "CreateWindowExW", nullptr, [&](JournalArgs& o) {
        o.Hex(dwExStyle);
        ResName(o, lpClassName);
        o.Text(lpWindowName).Hex(dwStyle);
        Coord(o, X);
        Coord(o, Y);
        Coord(o, nWidth);
        Coord(o, nHeight);
        o.Wnd(hWndParent).Int((int64_t)(uintptr_t)hMenu).Ptr(hInstance).Ptr(lpParam);
    });
    HWND h = d.CreateWindowEx(dwExStyle, lpClassName, lpWindowName, dwStyle, X, Y, nWidth, nHeight,
                              hWndParent, hMenu, hInstance, lpParam);
    call.SetWindow(h);
    return call.ReturnWnd(h);
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    Device& d = D();
    JournalCall call(d, "ShowWindow", hWnd, [&](JournalArgs& o) { o.Wnd(hWnd).Int(nCmdShow); });
    return (BOOL)call.Return(d.ShowWindow(hWnd, nCmdShow));
}

BOOL UpdateWindow(HWND hWnd) {
    Device& d = D();
    JournalCall call(d, "UpdateWindow", hWnd, [&](JournalArgs& o) { o.Wnd(hWnd); });
    BOOL ok = d.Find(hWnd) != nullptr;
    if (!ok)
        d.last_error = ERROR_INVALID_WINDOW_HANDLE;
    return (BOOL)call.Return(ok);
}

BOOL DestroyWindow(HWND hWnd) {
    Device& d = D();
    JournalCall call(d, "DestroyWindow", hWnd, [&](JournalArgs& o) { o.Wnd(hWnd); });
    return (BOOL)call.Return(d.DestroyWindow(hWnd));
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Device& d = D();
    JournalCall call(d, "DefWindowProcW", hWnd, [&](JournalArgs& o) {
        o.Wnd(hWnd).Msg(Msg).Int((int64_t)wParam).Hex((uint64_t)lParam);
    });
    return (LRESULT)call.Return(d.DefProc(hWnd, Msg, wParam, lParam));
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Device& d = D();
    JournalCall call(d, "SendMessageW", hWnd, [&](JournalArgs& o) {
        o.Wnd(hWnd).Msg(Msg).Int((int64_t)wParam);
        const device::Window* w = d.Find(hWnd);
        bool list = w && w->kind == device::WindowKind::ListView && lParam != 0;
        if (list && Msg == LVM_INSERTCOLUMNW)
            ListColumn(o, (const LVCOLUMNW*)lParam);
        else if (list && (Msg == LVM_INSERTITEMW || Msg == LVM_SETITEMW))
            ListItem(o, (const LVITEMW*)lParam, false);
        else if (list && Msg == LVM_GETITEMTEXTW)
            ListItem(o, (const LVITEMW*)lParam, true);
        else
            o.Hex((uint64_t)lParam);
    });
    return (LRESULT)call.Return(d.Send(hWnd, Msg, wParam, lParam));
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Device& d = D();
    JournalCall call(d, "PostMessageW", hWnd, [&](JournalArgs& o) {
        o.Wnd(hWnd).Msg(Msg).Int((int64_t)wParam).Hex((uint64_t)lParam);
    });
    return (BOOL)call.Return(d.Post(hWnd, Msg, wParam, lParam));
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    Device& d = D();
    JournalCall call(d, "GetMessageW", hWnd, [&](JournalArgs& o) {
        o.Out(lpMsg).Wnd(hWnd).Int(wMsgFilterMin).Int(wMsgFilterMax);
    });
    return (BOOL)call.Return(d.GetMessage(lpMsg));
}

BOOL TranslateMessage(const MSG* lpMsg) {
    Device& d = D();
    JournalCall call(d, "TranslateMessage", lpMsg ? lpMsg->hwnd : nullptr,
                     [&](JournalArgs& o) { Message(o, lpMsg); });
    return (BOOL)call.Return(FALSE);
}

LRESULT DispatchMessageW(const MSG* lpMsg) {
    Device& d = D();
    JournalCall call(d, "DispatchMessageW", lpMsg ? lpMsg->hwnd : nullptr,
                     [&](JournalArgs& o) { Message(o, lpMsg); });
    return (LRESULT)call.Return(d.Dispatch(lpMsg));
}

void PostQuitMessage(int nExitCode) {
    Device& d = D();
    JournalCall call(d, "PostQuitMessage", nullptr, [&](JournalArgs& o) { o.Int(nExitCode); });
    d.PostQuit(nExitCode);
    call.ReturnVoid();
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) {
    Device& d = D();
    JournalCall call(d, "GetClientRect", hWnd, [&](JournalArgs& o) { o.Wnd(hWnd).Rect(lpRect); });
    return (BOOL)call.Return(d.GetClientRect(hWnd, lpRect));
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
    Device& d = D();
    JournalCall call(d, "GetWindowRect", hWnd, [&](JournalArgs& o) { o.Wnd(hWnd).Rect(lpRect); });
    return (BOOL)call.Return(d.GetWindowRect(hWnd, lpRect));
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
    Device& d = D();
    JournalCall call(d, "MoveWindow", hWnd, [&](JournalArgs& o) {
        o.Wnd(hWnd).Int(X).Int(Y).Int(nWidth).Int(nHeight).Int(bRepaint);
    });
    return (BOOL)call.Return(d.MoveWindow(hWnd, X, Y, nWidth, nHeight, bRepaint));
}

HWND SetFocus(HWND hWnd) {
    Device& d = D();
    JournalCall call(d, "SetFocus", hWnd, [&](JournalArgs& o) { o.Wnd(hWnd); });
    return call.ReturnWnd(d.SetFocus(hWnd));
}

HCURSOR LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
    Device& d = D();
    JournalCall call(d, "LoadCursorW", nullptr, [&](JournalArgs& o) {
        o.Ptr(hInstance);
        ResName(o, lpCursorName);
    });
    return (HCURSOR)(uintptr_t)call.ReturnHex(0x7F00);
}

HGDIOBJ GetStockObject(int i) {
    Device& d = D();
    JournalCall call(d, "GetStockObject", nullptr, [&](JournalArgs& o) { o.Int(i); });
    return (HGDIOBJ)(uintptr_t)call.ReturnHex(i < 0 || i > 17 ? 0 : 0x8000 + i);
}

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    Device& d = D();
    JournalCall call(d, "MessageBoxW", hWnd,
                     [&](JournalArgs& o) { o.Wnd(hWnd).Text(lpText).Text(lpCaption).Hex(uType); });
    return (int)call.Return(d.MessageBox(hWnd, lpText, lpCaption, uType));
}

BOOL RegisterHotKey(HWND hWnd, int id, UINT fsModifiers, UINT vk) {
    Device& d = D();
    JournalCall call(d, "RegisterHotKey", hWnd,
                     [&](JournalArgs& o) { o.Wnd(hWnd).Int(id).Hex(fsModifiers).Hex(vk); });
    BOOL ok = d.RegisterHotKey(hWnd, id, fsModifiers, vk);
    d.Spend(d.profile().register_cost_us);
    return (BOOL)call.Return(ok);
}

BOOL UnregisterHotKey(HWND hWnd, int id) {
    Device& d = D();
    JournalCall call(d, "UnregisterHotKey", hWnd, [&](JournalArgs& o) { o.Wnd(hWnd).Int(id); });
    return (BOOL)call.Return(d.UnregisterHotKey(hWnd, id));
}

void keybd_event(BYTE bVk, BYTE bScan, DWORD dwFlags, DWORD dwExtraInfo) {
    Device& d = D();
    JournalCall call(d, "keybd_event", nullptr,
                     [&](JournalArgs& o) { o.Hex(bVk).Int(bScan).Hex(dwFlags).Int(dwExtraInfo); });
    if (bVk != 0 && bVk != 0xFF)
        d.Synthesise(bVk, !(dwFlags & KEYEVENTF_KEYUP));
    call.ReturnVoid();
}

DWORD GetTickCount(void) {
    Device& d = D();
    JournalCall call(d, "GetTickCount", nullptr, [](JournalArgs&) {});
    d.SyncClock();
    return (DWORD)call.Return(d.Tick());
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    Device& d = D();
    JournalCall call(d, "SetTimer", hWnd, [&](JournalArgs& o) {
        o.Wnd(hWnd).Int((int64_t)nIDEvent).Int(uElapse).Ptr((const void*)lpTimerFunc);
    });
    return (UINT_PTR)call.Return((int64_t)d.SetTimer(hWnd, nIDEvent, uElapse));
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    Device& d = D();
    JournalCall call(d, "KillTimer", hWnd,
                     [&](JournalArgs& o) { o.Wnd(hWnd).Int((int64_t)uIDEvent); });
    return (BOOL)call.Return(d.KillTimer(hWnd, uIDEvent));
}

BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, LPVOID pvParam, UINT fWinIni) {
    Device& d = D();
    JournalCall call(d, "SystemParametersInfoW", nullptr, [&](JournalArgs& o) {
        o.Int(uiAction).Int(uiParam).Out(pvParam).Int(fWinIni);
    });
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
    return (BOOL)call.Return(ok);
}

int GetDeviceCaps(HDC hdc, int index) {
    Device& d = D();
    JournalCall call(d, "GetDeviceCaps", nullptr, [&](JournalArgs& o) { o.Ptr(hdc).Int(index); });
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
    return (int)call.Return(r);
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    Device& d = D();
    JournalCall call(d, "GetModuleFileNameW", nullptr,
                     [&](JournalArgs& o) { o.Ptr(hModule).Out(lpFilename).Int(nSize); });
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
    return (DWORD)call.Return(n);
}

DWORD GetLastError(void) {
    Device& d = D();
    JournalCall call(d, "GetLastError", nullptr, [](JournalArgs&) {});
    return (DWORD)call.Return(d.last_error);
}

void SetLastError(DWORD dwErrCode) {
    Device& d = D();
    JournalCall call(d, "SetLastError", nullptr, [&](JournalArgs& o) { o.Int(dwErrCode); });
    d.last_error = dwErrCode;
    call.ReturnVoid();
}

BOOL CoreRoutine814(HIMC himc, BOOL fOpen) {
    Device& d = D();
    JournalCall call(d, "CoreRoutine814", nullptr, [&](JournalArgs& o) { o.Ptr(himc).Int(fOpen); });
    return (BOOL)call.Return(0);
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* icc) {
    Device& d = D();
    JournalCall call(d, "InitCommonControlsEx", nullptr, [&](JournalArgs& o) {
        if (!icc) {
            o.Raw("NULL");
            return;
        }
        o.Begin().Field("dwSize").Int(icc->dwSize);
        o.Field("dwICC").Hex(icc->dwICC).End();
    });
    return (BOOL)call.Return(d.InitCommonControls(icc));
}

BOOL SHCreateMenuBar(SHMENUBARINFO* mbi) {
    Device& d = D();
    JournalCall call(d, "SHCreateMenuBar", mbi ? mbi->hwndParent : nullptr, [&](JournalArgs& o) {
        if (!mbi) {
            o.Raw("NULL");
            return;
        }
        o.Begin().Field("cbSize").Int(mbi->cbSize);
        o.Field("hwndParent").Wnd(mbi->hwndParent);
        o.Field("dwFlags").Hex(mbi->dwFlags);
        o.Field("nToolBarId").Int(mbi->nToolBarId);
        o.Field("hInstRes").Ptr(mbi->hInstRes).Field("nBmpId").Int(mbi->nBmpId);
        o.Field("cBmpImages").Int(mbi->cBmpImages);
        o.Field("hwndMB").Wnd(mbi->hwndMB).Field("clrBk").Hex(mbi->clrBk).End();
    });
    return (BOOL)call.Return(d.CreateMenuBar(mbi));
}

HWND SHFindMenuBar(HWND hwnd) {
    Device& d = D();
    JournalCall call(d, "SHFindMenuBar", hwnd, [&](JournalArgs& o) { o.Wnd(hwnd); });
    return call.ReturnWnd(d.FindMenuBar(hwnd));
}
