// timers.cpp - the two one-shot timers: the deferred occupancy sweep and the
// quiet mark that closes a burst of key events.
#include "tapwatcher.h"

// OnTimer: TIMER_QUIET appends a quiet mark row; TIMER_SWEEP runs the sweep,
// shows its last row and arms TIMER_QUIET; any other id does nothing.
LRESULT OnTimer(HWND hwnd, WPARAM idTimer) {
    WCHAR szText[MAX_PATH];
    int row;

    CoreRoutine814(0, 0);

    if (idTimer == TIMER_QUIET) {
        KillTimer(hwnd, TIMER_QUIET);
        row = EventLog::Count();
        wsprintfW(szText, TEXT("%d"), (int)GetTickCount());
        EventLog::InsertRow(row, szText);
        EventLog::EnsureVisible(row);
        return 0;
    }
    if (idTimer == TIMER_SWEEP) {
        KillTimer(hwnd, TIMER_SWEEP);
        ClaimAllHotKeys(hwnd);
        row = EventLog::Count();
        if (row > 0)
            EventLog::EnsureVisible(row - 1);
        SetTimer(hwnd, TIMER_QUIET, QUIET_PERIOD_MS, NULL);
        return 0;
    }
    return 0;
}
