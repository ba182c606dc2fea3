// logfile.cpp - writes the event log as tab-separated narrow text to
// "tapwatcherdata.txt" beside the executable.
#include "tapwatcher.h"

static const char szHeader[] = "SysTime\tVK\tU/D\tShift\tCtrl\tAlt\r\n";
static const WCHAR szDataFile[] = TEXT("tapwatcherdata.txt");

// ShowError: one message box with the error text and the last error code.
static void ShowError(LPWSTR szText, LPCWSTR pszFormat) {
    wsprintfW(szText, pszFormat, (int)GetLastError());
    MessageBoxW(hwndMain, szText, TEXT("error"), MB_OK);
}

// SaveLogFile: writes the header and one line per row, one WriteFile each;
// returns 1 when every write succeeded, else 0 after telling the user.
int SaveLogFile() {
    WCHAR szExe[MAX_PATH];
    WCHAR szPath[MAX_PATH];
    WCHAR szCell[64];
    char szNarrow[64];
    char szLine[1024];
    DWORD cbWritten;
    HANDLE hFile;
    WCHAR* pSlash;
    size_t cch, cchLine;
    int fOk, row, col;

    if (!GetModuleFileNameW(NULL, szExe, _countof(szExe))) {
        ShowError(szCell, TEXT("Can't open file.(%d)"));
        return 0;
    }

    // The directory, with its trailing backslash; a path without one runs
    // from the root folder.
    pSlash = wcsrchr(szExe, '\\');
    if (pSlash)
        pSlash[1] = 0;
    else
        wsprintfW(szExe, TEXT("%s"), TEXT("\\"));

    // The data-file path must fit its buffer, terminator included.
    if (wcslen(szExe) + wcslen(szDataFile) >= _countof(szPath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        ShowError(szCell, TEXT("Can't open file.(%d)"));
        return 0;
    }
    wsprintfW(szPath, TEXT("%s%s"), szExe, szDataFile);

    hFile = CreateFileW(szPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        ShowError(szCell, TEXT("Can't open file.(%d)"));
        return 0;
    }

    fOk = 1;
    strcpy(szLine, szHeader);
    if (!WriteFile(hFile, szLine, (DWORD)strlen(szLine), &cbWritten, NULL))
        fOk = 0;

    for (row = 0; row < EventLog::Count(); row++) {
        cchLine = 0;
        for (col = 0; col < COL_COUNT; col++) {
            EventLog::GetCellText(row, col, szCell, _countof(szCell));
            cch = wcstombs(szNarrow, szCell, _countof(szNarrow));
            if (cch == (size_t)-1)
                cch = 0; // a cell the narrow code page cannot hold
            else if (cch >= _countof(szNarrow))
                cch = _countof(szNarrow) - 1; // cut to the buffer
            memcpy(szLine + cchLine, szNarrow, cch);
            cchLine += cch;
            if (col < COL_COUNT - 1) {
                szLine[cchLine++] = '\t';
            } else {
                szLine[cchLine++] = '\r';
                szLine[cchLine++] = '\n';
            }
        }
        szLine[cchLine] = 0;
        if (!WriteFile(hFile, szLine, (DWORD)strlen(szLine), &cbWritten, NULL))
            fOk = 0;
    }

    if (!fOk)
        ShowError(szCell, TEXT("Save file error.(%d)"));

    CloseHandle(hFile);
    return fOk;
}
