// wince.cpp - the desktop entry point, the Pocket PC menu bar on a desktop
// window, the input-method routine and the screen's device capabilities.
//
// Choices:
//  - SHCreateMenuBar reads the menu id from the first word of the menu bar
//    template (RCDATA nToolBarId) and sets that MENU resource as the parent's
//    window menu; with SHCMBF_HMENU nToolBarId names the menu itself, with
//    SHCMBF_EMPTYBAR no menu is set. No menu-bar window exists, so hwndMB is
//    left NULL and SHFindMenuBar returns NULL.
//  - CoreRoutine814(NULL, f) sets the open status of the focus window's
//    input context, and returns FALSE when there is none.
#define TAPWATCHER_WIN32_IMPL
#include "platform/win32/wince.h"

BOOL SHCreateMenuBar(SHMENUBARINFO* pmbi) {
    if (!pmbi || pmbi->cbSize < SHMENUBARINFO_CE_SIZE || !IsWindow(pmbi->hwndParent)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pmbi->dwFlags & SHCMBF_EMPTYBAR)
        return TRUE;

    UINT idMenu = pmbi->nToolBarId;
    if (!(pmbi->dwFlags & SHCMBF_HMENU)) {
        HRSRC hrsrc = FindResourceW(pmbi->hInstRes, MAKEINTRESOURCEW(pmbi->nToolBarId), RT_RCDATA);
        HGLOBAL hres = hrsrc ? LoadResource(pmbi->hInstRes, hrsrc) : nullptr;
        const WORD* words = hres ? (const WORD*)LockResource(hres) : nullptr;
        if (!words || SizeofResource(pmbi->hInstRes, hrsrc) < 2 * sizeof(WORD)) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return FALSE;
        }
        idMenu = words[0];
    }

    HMENU hmenu = LoadMenuW(pmbi->hInstRes, MAKEINTRESOURCEW(idMenu));
    if (!hmenu)
        return FALSE;
    if (!SetMenu(pmbi->hwndParent, hmenu)) {
        DestroyMenu(hmenu);
        return FALSE;
    }
    pmbi->hwndMB = nullptr;
    return TRUE;
}

HWND SHFindMenuBar(HWND hwnd) {
    return nullptr;
}

BOOL CoreRoutine814(HIMC himc, BOOL fOpen) {
    if (himc)
        return ImmSetOpenStatus(himc, fOpen);
    HWND hwndFocus = GetFocus();
    if (!hwndFocus)
        return FALSE;
    HIMC himcFocus = ImmGetContext(hwndFocus);
    if (!himcFocus)
        return FALSE;
    BOOL ok = ImmSetOpenStatus(himcFocus, fOpen);
    ImmReleaseContext(hwndFocus, himcFocus);
    return ok;
}

int TapwatcherGetDeviceCaps(HDC hdc, int index) {
    if (hdc)
        return GetDeviceCaps(hdc, index);
    HDC hdcScreen = GetDC(nullptr);
    if (!hdcScreen)
        return 0;
    int value = GetDeviceCaps(hdcScreen, index);
    ReleaseDC(nullptr, hdcScreen);
    return value;
}

// The desktop entry point (-municode): hands the tool its four arguments and
// returns its result as the process's exit code.
int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow) {
    return TapwatcherWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
