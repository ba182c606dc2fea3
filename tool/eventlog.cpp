// eventlog.cpp - the event log: the one table of the tool, held only by the
// report list view hwndList. Each operation is one list-view message; no
// result is checked, a failure of the list view is silent.
#include "tapwatcher.h"

namespace EventLog {

// Count: the number of rows.
int Count() {
    return (int)SendMessageW(hwndList, LVM_GETITEMCOUNT, 0, 0);
}

// InsertRow: a new row at `row` whose first cell (SysTime) holds `text`.
void InsertRow(int row, LPCWSTR text) {
    LVITEMW lvi;
    memset(&lvi, 0, sizeof(lvi));
    lvi.mask = LVIF_TEXT;
    lvi.iItem = row;
    lvi.iSubItem = 0;
    lvi.pszText = (LPWSTR)text;
    SendMessageW(hwndList, LVM_INSERTITEMW, 0, (LPARAM)&lvi);
}

// SetCell: sets the text of one cell of an existing row.
void SetCell(int row, int column, LPCWSTR text) {
    LVITEMW lvi;
    memset(&lvi, 0, sizeof(lvi));
    lvi.mask = LVIF_TEXT;
    lvi.iItem = row;
    lvi.iSubItem = column;
    lvi.pszText = (LPWSTR)text;
    SendMessageW(hwndList, LVM_SETITEMW, 0, (LPARAM)&lvi);
}

// EnsureVisible: scrolls the list so that the whole row is in view.
void EnsureVisible(int row) {
    SendMessageW(hwndList, LVM_ENSUREVISIBLE, (WPARAM)row, FALSE);
}

// Clear: deletes every row.
void Clear() {
    SendMessageW(hwndList, LVM_DELETEALLITEMS, 0, 0);
}

// GetCellText: copies one cell into `buffer` of `capacity` characters.
void GetCellText(int row, int column, LPWSTR buffer, int capacity) {
    LVITEMW lvi;
    memset(&lvi, 0, sizeof(lvi));
    lvi.iSubItem = column;
    lvi.pszText = buffer;
    lvi.cchTextMax = capacity;
    SendMessageW(hwndList, LVM_GETITEMTEXTW, (WPARAM)row, (LPARAM)&lvi);
}

} // namespace EventLog
