// resource.h - identifiers shared by the resource script and the tool's code.
//
// Read by two compilers: a resource compiler (windres or rc; for the simulated
// device, tools/regen-res.sh runs windres into tool/tapwatcher.res) and the C++
// compiler. The toolbar and menu bar constants at the end also come from the
// system headers on Windows and from platform/platform.h on the simulated
// device, which are included before this file, so each one is defined here only
// when nobody did it first.
#ifndef TAPWATCHER_RESOURCE_H
#define TAPWATCHER_RESOURCE_H

// Menu bar template (RCDATA) and the menu it names.
#define IDR_MENUBAR 101

// Commands sent by the menu bar buttons.
#define IDM_CLEAR 40004
#define IDM_EXIT 40007

// Button captions in the string table.
#define IDS_EXIT 40003
#define IDS_CLEAR 40006

// Child window id of the report list view.
#define IDC_LIST 1

#ifndef I_IMAGENONE
#define I_IMAGENONE (-2)
#endif
#ifndef NOMENU
#define NOMENU 0xFFFF
#endif
#ifndef TBSTATE_ENABLED
#define TBSTATE_ENABLED 0x04
#endif
#ifndef TBSTYLE_AUTOSIZE
#define TBSTYLE_AUTOSIZE 0x0010
#endif

#endif // TAPWATCHER_RESOURCE_H
