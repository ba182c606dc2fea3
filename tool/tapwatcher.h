// tapwatcher.h - what the parts of the tool share: its globals, identifiers
// and handlers.
#pragma once

#include "platform.h"
#include "resource.h"

// Main-window globals: zero at start, each set once and never reset.
extern HINSTANCE hInst;  // module instance; read by the menu-bar set-up
extern HWND hwndMain;    // main window; used at shutdown
extern HWND hwndList;    // the report list view that holds the event log
extern HWND hwndMenuBar; // the menu bar, NULL when none was made
extern int fNotPocketPC; // the platform type text is not "PocketPC"
extern int fCaptureOnly; // the executable's name selects capture-only

// The shared empty string: the list view's window text and every empty cell.
extern const WCHAR szEmpty[];

// Timers, both one-shot.
#define TIMER_QUIET 1
#define TIMER_SWEEP 16
#define QUIET_PERIOD_MS 3000
#define SWEEP_PERIOD_MS 1

// Hot-key identifiers: key code + 256 * modifier set, 0 to 2047.
#define HOTKEY_ID(vk, set) ((int)((vk) + 256 * (set)))
#define HOTKEY_ID_COUNT 2048

// Columns of the event log; a cell's sub-item index is its column index.
#define COL_SYSTIME 0
#define COL_VK 1
#define COL_UD 2
#define COL_SHIFT 3
#define COL_CTRL 4
#define COL_ALT 5
#define COL_COUNT 6

// The event log: the rows of the list view, through list-view messages.
namespace EventLog {
int Count();
void InsertRow(int row, LPCWSTR text);
void SetCell(int row, int column, LPCWSTR text);
void EnsureVisible(int row);
void Clear();
void GetCellText(int row, int column, LPWSTR buffer, int capacity);
} // namespace EventLog

// Key capture.
LRESULT OnHotKey(HWND hwnd, WPARAM wParam, LPARAM lParam);
void ClaimAllHotKeys(HWND hwnd);
void ReleaseHotKeys();
LRESULT OnTimer(HWND hwnd, WPARAM idTimer);

// Log export.
int SaveLogFile();

// Application shell: the main window's procedure.
LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
