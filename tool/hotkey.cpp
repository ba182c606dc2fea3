// hotkey.cpp - key event recording and pass-through: every press and release
// of a combination the tool holds becomes a row, and the release of an
// ordinary key is handed on to the system.
#include "tapwatcher.h"

// True when the modifier word and key code are ones the sweep registered:
// a key code up to 0xFF and no modifier bits but Alt, Ctrl, Shift and
// MOD_KEYUP. Any program can post WM_HOTKEY; a message outside that range
// names no combination of ours, so it is logged but never passed on.
static int IsOwnCombination(UINT fsModifiers, UINT vk) {
    return vk <= 0xFF &&
           (fsModifiers & ~(UINT)(MOD_ALT | MOD_CONTROL | MOD_SHIFT | MOD_KEYUP)) == 0;
}

// OnHotKey: logs one key event row and, for the release of an ordinary key,
// unregisters the combination, synthesises the key and takes it back.
LRESULT OnHotKey(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    WCHAR szCell[MAX_PATH];
    UINT fsModifiers = LOWORD(lParam);
    UINT vk = HIWORD(lParam);
    int row;

    CoreRoutine814(0, 0);

    // The key event row.
    row = EventLog::Count();
    wsprintfW(szCell, TEXT("%d"), (int)GetTickCount());
    EventLog::InsertRow(row, szCell);
    wsprintfW(szCell, TEXT("%02X"), vk);
    EventLog::SetCell(row, COL_VK, szCell);
    wsprintfW(szCell, TEXT("%s"), (fsModifiers & MOD_KEYUP) ? TEXT("U") : TEXT("D"));
    EventLog::SetCell(row, COL_UD, szCell);
    wsprintfW(szCell, TEXT("%s"), (fsModifiers & MOD_SHIFT) ? TEXT("S") : szEmpty);
    EventLog::SetCell(row, COL_SHIFT, szCell);
    wsprintfW(szCell, TEXT("%s"), (fsModifiers & MOD_CONTROL) ? TEXT("C") : szEmpty);
    EventLog::SetCell(row, COL_CTRL, szCell);
    wsprintfW(szCell, TEXT("%s"), (fsModifiers & MOD_ALT) ? TEXT("A") : szEmpty);
    EventLog::SetCell(row, COL_ALT, szCell);
    EventLog::EnsureVisible(row);

    // Pass-through: only the release of a key other than Shift, Ctrl and Alt,
    // and only when not capture-only.
    if (!fCaptureOnly && vk != VK_SHIFT && vk != VK_CONTROL && vk != VK_MENU &&
        (fsModifiers & MOD_KEYUP) && IsOwnCombination(fsModifiers, vk)) {
        int id = HOTKEY_ID(vk, fsModifiers - MOD_KEYUP);
        BYTE code = (BYTE)(vk & 0xFF);

        UnregisterHotKey(hwnd, id);
        keybd_event(code, 0, 0, 0);
        keybd_event(code, 0, KEYEVENTF_KEYUP, 0);
        if (fsModifiers & MOD_SHIFT)
            keybd_event(VK_SHIFT, 0, KEYEVENTF_KEYUP, 0);
        if (fsModifiers & MOD_CONTROL)
            keybd_event(VK_CONTROL, 0, KEYEVENTF_KEYUP, 0);
        if (fsModifiers & MOD_ALT)
            keybd_event(VK_MENU, 0, KEYEVENTF_KEYUP, 0);
        RegisterHotKey(hwnd, id, fsModifiers | MOD_KEYUP, vk);
    }

    SetTimer(hwnd, TIMER_QUIET, QUIET_PERIOD_MS, NULL);
    return 0;
}
