// tapwatcher.cpp - the main window: its set-up, layout, commands and shutdown,
// the window procedure, and the entry point with the message loop.
#include "tapwatcher.h"

HINSTANCE hInst;  // module instance
HWND hwndMain;    // main window
HWND hwndList;    // report list view holding the event log
HWND hwndMenuBar; // menu bar, NULL when none was made
int fNotPocketPC; // platform type is not "PocketPC"
int fCaptureOnly; // released keys are not passed on

const WCHAR szEmpty[] = TEXT("");

static const WCHAR szWndClass[] = TEXT("TapwatcherWndClass");
static const WCHAR szTitle[] = TEXT("Tapwatcher");

// Column headers and widths for the wide and the narrow layout.
static const struct {
    LPCWSTR pszText;
    int cxWide;
    int cxNarrow;
} rgColumns[COL_COUNT] = {
    {TEXT("SysTime"), 84, 76}, {TEXT("VK"), 56, 28},   {TEXT("U/D"), 40, 20},
    {TEXT("Shift"), 40, 20},   {TEXT("Ctrl"), 40, 20}, {TEXT("Alt"), 40, 20},
};

// ExeNamePart: the name part of a module path, the text after its last
// backslash; a path without one is all name.
static LPCWSTR ExeNamePart(LPCWSTR path) {
    LPCWSTR p = wcsrchr(path, '\\');
    return p ? p + 1 : path;
}

// GetMenuBarHeight: height of the window's menu bar, 0 when none is found.
static int GetMenuBarHeight(HWND hwnd) {
    RECT rc = {0, 0, 0, 0};
    GetWindowRect(SHFindMenuBar(hwnd), &rc);
    return rc.bottom - rc.top;
}

// OnSize: lays the list view over the client area, less the menu bar on
// Pocket PC.
static void OnSize(HWND hwnd) {
    RECT rc = {0, 0, 0, 0};
    int cy;

    GetClientRect(hwnd, &rc);
    cy = fNotPocketPC ? rc.bottom : rc.bottom - GetMenuBarHeight(hwnd);
    MoveWindow(hwndList, 0, 0, rc.right, cy, TRUE);
    // Close the input method (ordinal 814): an open one takes keys to compose text.
    CoreRoutine814(0, 0);
}

// OnCommand: "Clear" empties the log, "Exit" destroys the main window.
static LRESULT OnCommand(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case IDM_CLEAR:
        EventLog::Clear();
        return 0;
    case IDM_EXIT:
        DestroyWindow(hwnd);
        return 0;
    }
    return DefWindowProcW(hwnd, WM_COMMAND, wParam, lParam);
}

// OnDestroy: the shutdown sequence: give every hot key back, save the log
// under a save-on-exit name, destroy the child windows, end the loop.
static void OnDestroy() {
    WCHAR szPath[MAX_PATH];
    LPCWSTR pszName;

    ReleaseHotKeys();
    if (GetModuleFileNameW(NULL, szPath, _countof(szPath))) {
        pszName = ExeNamePart(szPath);
        if (wcscmp(pszName, TEXT("Wtapwatcher.exe")) == 0 ||
            wcscmp(pszName, TEXT("WtapwatcherL.exe")) == 0)
            SaveLogFile();
    }
    DestroyWindow(hwndMenuBar);
    DestroyWindow(hwndList);
    PostQuitMessage(0);
}

// OnCreate: settles the platform type and the capture-only switch, builds the
// menu bar and the list view with its columns, and arms the sweep.
static LRESULT OnCreate(HWND hwnd, LPARAM lParam) {
    LPCREATESTRUCTW pcs = (LPCREATESTRUCTW)lParam;
    WCHAR szText[MAX_PATH];
    SHMENUBARINFO mbi;
    INITCOMMONCONTROLSEX icc;
    RECT rc = {0, 0, 0, 0};
    LVCOLUMNW lvc;
    DWORD dwExStyle;
    int fWide, i;

    // Platform type; a failed query counts as not Pocket PC.
    szText[0] = 0;
    if (!SystemParametersInfoW(SPI_GETPLATFORMTYPE, 256, szText, 0) ||
        wcscmp(szText, TEXT("PocketPC")) != 0)
        fNotPocketPC = 1;

    // Capture-only switch, from the executable's name.
    if (GetModuleFileNameW(NULL, szText, _countof(szText))) {
        LPCWSTR pszName = ExeNamePart(szText);
        if (wcscmp(pszName, TEXT("tapwatcherL.exe")) == 0 ||
            wcscmp(pszName, TEXT("WtapwatcherL.exe")) == 0)
            fCaptureOnly = 1;
    }

    // Menu bar from the resources.
    memset(&mbi, 0, sizeof(mbi));
    mbi.cbSize = SHMENUBARINFO_CE_SIZE;
    mbi.hwndParent = hwnd;
    mbi.dwFlags = 0;
    mbi.nToolBarId = IDR_MENUBAR;
    mbi.hInstRes = hInst;
    SHCreateMenuBar(&mbi);
    hwndMenuBar = mbi.hwndMB;

    icc.dwSize = sizeof(INITCOMMONCONTROLSEX);
    icc.dwICC = ICC_LISTVIEW_CLASSES;
    InitCommonControlsEx(&icc);

    GetClientRect(hwnd, &rc);

    hwndList = CreateWindowExW(0, WC_LISTVIEWW, szEmpty, WS_CHILD | WS_VISIBLE | LVS_REPORT, 0, 0,
                               0, 0, hwnd, (HMENU)IDC_LIST, pcs ? pcs->hInstance : NULL, NULL);

    dwExStyle = (DWORD)SendMessageW(hwndList, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
    SendMessageW(hwndList, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 (LPARAM)(dwExStyle | LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP));

    fWide = GetDeviceCaps(NULL, LOGPIXELSY) > 96 || rc.right > 240;

    for (i = 0; i < COL_COUNT; i++) {
        memset(&lvc, 0, sizeof(lvc));
        lvc.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        lvc.fmt = LVCFMT_LEFT;
        lvc.cx = fWide ? rgColumns[i].cxWide : rgColumns[i].cxNarrow;
        lvc.pszText = (LPWSTR)rgColumns[i].pszText;
        lvc.iSubItem = i;
        SendMessageW(hwndList, LVM_INSERTCOLUMNW, (WPARAM)i, (LPARAM)&lvc);
    }

    SetFocus(hwndList);
    CoreRoutine814(0, 0);
    SetTimer(hwnd, TIMER_SWEEP, SWEEP_PERIOD_MS, NULL);
    return 0;
}

// WndProc: routes the six messages the tool handles; everything else,
// close requests included, goes to DefWindowProcW.
//   WM_CREATE  -> OnCreate     WM_SIZE  -> OnSize    WM_COMMAND -> OnCommand
//   WM_TIMER   -> OnTimer      WM_HOTKEY -> OnHotKey WM_DESTROY -> OnDestroy
LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        OnCreate(hwnd, lParam);
        return 0;
    case WM_SIZE:
        OnSize(hwnd);
        return 0;
    case WM_COMMAND:
        return OnCommand(hwnd, wParam, lParam);
    case WM_TIMER:
        OnTimer(hwnd, wParam);
        return 0;
    case WM_HOTKEY:
        OnHotKey(hwnd, wParam, lParam);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// WinMain: one instance only; registers the class, creates the main window
// and runs the message loop until WM_QUIT. The exit code is always 0.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow) {
    WNDCLASSW wc;
    HWND hwnd;
    MSG msg;

    hwnd = FindWindowW(szWndClass, szTitle);
    if (hwnd) {
        // Low bit set: Windows CE also brings forward its last active owned window.
        SetForegroundWindow((HWND)((ULONG_PTR)hwnd | 1));
        return 0;
    }

    if (!hPrevInstance) {
        memset(&wc, 0, sizeof(wc));
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = WndProc;
        wc.cbClsExtra = 0;
        wc.cbWndExtra = 0;
        wc.hInstance = hInstance;
        wc.hIcon = NULL;
        wc.hCursor = LoadCursorW(NULL, IDC_ARROW);
        wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
        wc.lpszMenuName = NULL;
        wc.lpszClassName = szWndClass;
        if (!RegisterClassW(&wc))
            return 0;
    }

    hInst = hInstance;
    hwnd = CreateWindowExW(0, szWndClass, szTitle, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, hInstance, NULL);
    if (!hwnd) {
        MessageBoxW(NULL, TEXT("CreateWindow Failed."), TEXT("error"), MB_OK);
        return 0;
    }

    hwndMain = hwnd;
    ShowWindow(hwndMain, nCmdShow);
    UpdateWindow(hwndMain);

    while (GetMessageW(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
