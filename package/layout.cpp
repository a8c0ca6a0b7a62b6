// stdio.h first, as everywhere the tool formats text: "%s" must take a wide string.
#include <stdio.h>
#include <wchar.h>

#include <shlwapi.h>

#include "package/layout.h"

static int FormatBounded(wchar_t* dest, const wchar_t* format, const wchar_t* text)
{
    // _snwprintf leaves no terminator when the text fills the buffer exactly, and
    // returns a negative count when it overflows: both are refused here.
    int written = _snwprintf(dest, PATH_UNITS, format, text);
    if (written < 0 || written >= PATH_UNITS) {
        dest[0] = L'\0';
        return 0;
    }
    return 1;
}

static int ContainsSpace(const wchar_t* path)
{
    return wcschr(path, L' ') != NULL;
}

static int CombineProgramPath(wchar_t* dest, const wchar_t* twainDir, const wchar_t* relative)
{
    return PathCombineW(dest, twainDir, relative) != NULL;
}

int ComposePackagePaths(wchar_t* twainDir, wchar_t* monitorPath, wchar_t* servicePath,
                        wchar_t* panelPath, wchar_t* guidePath)
{
    // Without a Windows directory the paths would become relative to the current
    // directory, where anybody may have put programs of these names.
    UINT length = GetWindowsDirectoryW(twainDir, PATH_UNITS);
    if (length == 0 || length >= PATH_UNITS) {
        twainDir[0] = L'\0';
        return 0;
    }
    return PathAppendW(twainDir, kTwainFolder)
        && CombineProgramPath(monitorPath, twainDir, kMonitorProgram)
        && CombineProgramPath(servicePath, twainDir, kServiceProgram)
        && CombineProgramPath(panelPath, twainDir, kPanelProgram)
        && CombineProgramPath(guidePath, twainDir, kGuideProgram);
}

int FormatMonitorCommandLine(wchar_t* dest, const wchar_t* monitorPath)
{
    return FormatBounded(dest, ContainsSpace(monitorPath) ? L"\"%s\" /Station" : L"%s /Station",
                         monitorPath);
}

int QuoteProgramPath(wchar_t* dest, const wchar_t* path)
{
    return FormatBounded(dest, ContainsSpace(path) ? L"\"%s\"" : L"%s", path);
}
