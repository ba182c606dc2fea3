// wince.h - the tool on desktop Windows (and Wine): the system headers, plus
// what desktop Windows lacks of Windows CE, under the names the tool uses.
//
// What differs from the device, and what this layer does about it:
//  - MOD_KEYUP (0x1000) does not exist on the desktop: hot keys are reported on
//    the press only. RegisterHotKey strips the flag and, for a combination
//    registered with it, reports the release of the key whose press fired it
//    as WM_HOTKEY with MOD_KEYUP added (a low-level keyboard hook, hotkey.cpp).
//  - Wine fires a modifier key's hot key under its left- or right-hand code
//    (0xA0-0xA5); RegisterClassW puts a window procedure in front of the
//    class's own that delivers it under the generic code, as Windows CE does.
//  - There is no Pocket PC shell: SHCreateMenuBar puts the menu that the menu
//    bar template names on the window itself, and no menu-bar window exists
//    (SHFindMenuBar returns NULL, so the tool measures a height of 0).
//  - SPI_GETPLATFORMTYPE is unknown to the desktop; the query fails and the
//    tool lays itself out as on a shell other than Pocket PC.
//  - CoreRoutine814 (the input-method open-status setter) goes to imm32 for
//    the focus window's input context.
//  - GetDeviceCaps(NULL, ...) answers for the screen.
//  - The tool's WinMain keeps its Windows CE signature (wide command line);
//    it is renamed TapwatcherWinMain and the desktop entry point wWinMain
//    (built with -municode) calls it.
//  - Text: WCHAR is wchar_t, 16 bits, as on the device; wsprintfW is user32's,
//    whose %s takes a wide string, as on the device.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
#include <commctrl.h>
#include <imm.h>

#include <cstdlib> // wcstombs
#include <cstring> // memset, strcpy, strcat, strlen
#include <cwchar>  // wcscmp, wcslen, wcsrchr

// Cell and path texts are formatted by user32's wsprintfW. A macro of that
// name (a C runtime redirection, say) would change what %s means.
#ifdef wsprintfW
#error "wsprintfW is redirected by a macro; the tool needs user32's wsprintfW"
#endif

static_assert(sizeof(WCHAR) == 2, "WCHAR must be a 16-bit unit");

// ---------------------------------------------------------------------------
// Windows CE constants the desktop headers lack.
// ---------------------------------------------------------------------------
#ifndef MOD_KEYUP
#define MOD_KEYUP 0x1000
#endif

#ifndef SPI_GETPLATFORMTYPE
#define SPI_GETPLATFORMTYPE 257
#endif

// ---------------------------------------------------------------------------
// Pocket PC shell: the menu bar.
// ---------------------------------------------------------------------------
#define SHCMBF_EMPTYBAR 0x0001
#define SHCMBF_HIDDEN 0x0002
#define SHCMBF_HIDESIPBUTTON 0x0004
#define SHCMBF_COLORBK 0x0008
#define SHCMBF_HMENU 0x0010

struct SHMENUBARINFO {
    DWORD cbSize;
    HWND hwndParent;
    DWORD dwFlags;
    UINT nToolBarId;
    HINSTANCE hInstRes;
    int nBmpId;
    int cBmpImages;
    HWND hwndMB;
    COLORREF clrBk;
};
typedef SHMENUBARINFO* PSHMENUBARINFO;

// The size of SHMENUBARINFO on 32-bit Windows CE: nine 4-byte fields. On
// 64-bit Windows the structure is larger; SHCreateMenuBar accepts either.
#define SHMENUBARINFO_CE_SIZE 36

#ifndef NOMENU
#define NOMENU 0xFFFF
#endif

BOOL SHCreateMenuBar(SHMENUBARINFO* pmbi);
HWND SHFindMenuBar(HWND hwnd);

// ---------------------------------------------------------------------------
// Core library.
// ---------------------------------------------------------------------------

// The core library's routine at ordinal 814: the input-method open-status
// setter. With a NULL context it works on the focus window's context.
BOOL CoreRoutine814(HIMC himc, BOOL fOpen);

// RegisterHotKey with MOD_KEYUP, UnregisterHotKey that keeps the release
// reporting in step, RegisterClassW whose windows get modifier hot keys under
// the generic codes, and GetDeviceCaps that takes a NULL DC for the screen.
BOOL TapwatcherRegisterHotKey(HWND hWnd, int id, UINT fsModifiers, UINT vk);
BOOL TapwatcherUnregisterHotKey(HWND hWnd, int id);
ATOM TapwatcherRegisterClassW(const WNDCLASSW* wc);
int TapwatcherGetDeviceCaps(HDC hdc, int index);

// The tool's entry point, with the Windows CE signature.
int WINAPI TapwatcherWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine,
                             int nCmdShow);

// The renames come after the system headers, so that these keep declaring
// the real functions and only the tool's own uses and definitions change.
// platform/win32/*.cpp define TAPWATCHER_WIN32_IMPL to reach the real ones.
#ifndef TAPWATCHER_WIN32_IMPL
#define RegisterHotKey TapwatcherRegisterHotKey
#define UnregisterHotKey TapwatcherUnregisterHotKey
#define RegisterClassW TapwatcherRegisterClassW
#define GetDeviceCaps TapwatcherGetDeviceCaps
#define WinMain TapwatcherWinMain
#endif
