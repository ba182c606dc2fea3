// sweep.cpp - the occupancy sweep, which claims every combination of key code
// and modifier set and lists the ones it cannot have, and the release of all
// of them at shutdown.
#include "tapwatcher.h"

// ClaimAllHotKeys: tries all 2048 combinations in order (key code, then
// modifier set); each one that fails is appended as a taken-combination row.
void ClaimAllHotKeys(HWND hwnd) {
    WCHAR szText[64];
    int row = 0;
    UINT vk, k;

    for (vk = 0; vk <= 0xFF; vk++) {
        for (k = 0; k < 8; k++) {
            if (RegisterHotKey(hwnd, HOTKEY_ID(vk, k), MOD_KEYUP | k, vk))
                continue;
            wsprintfW(szText, TEXT("%d"), (int)GetTickCount());
            EventLog::InsertRow(row, szText);
            wsprintfW(szText, TEXT("%02X"), vk);
            EventLog::SetCell(row, COL_VK, szText);
            EventLog::SetCell(row, COL_UD, TEXT("F"));
            if (k & MOD_SHIFT)
                EventLog::SetCell(row, COL_SHIFT, TEXT("S"));
            if (k & MOD_CONTROL)
                EventLog::SetCell(row, COL_CTRL, TEXT("C"));
            if (k & MOD_ALT)
                EventLog::SetCell(row, COL_ALT, TEXT("A"));
            row++;
        }
    }
}

// ReleaseHotKeys: unregisters identifiers 0 to 2047 on the main window,
// whether or not each one is held.
void ReleaseHotKeys() {
    int id;
    for (id = 0; id < HOTKEY_ID_COUNT; id++)
        UnregisterHotKey(hwndMain, id);
}
