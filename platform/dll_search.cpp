#include "platform/dll_search.h"

#include <shlwapi.h>

#include "package/layout.h"
#include "platform/system_calls.h"

// System DLLs that COM, the shell and the service functions load late by bare name (seen on
// XP to 7). Where the search cannot be confined to System32, each is loaded from there first:
// a later load by name then finds it loaded and never searches the program's folder.
static const wchar_t* const kLateLoadedSystemDlls[] = {
    L"uxtheme.dll", L"userenv.dll", L"setupapi.dll", L"apphelp.dll", L"propsys.dll",
    L"dwmapi.dll", L"cryptbase.dll", L"oleacc.dll", L"clbcatq.dll", L"ntmarta.dll",
    L"version.dll", L"profapi.dll", L"comres.dll",
};

// Vista's shell link object cannot be created once SetDefaultDllDirectories has been called.
// The version is ntdll's: GetVersionExW would report a compatibility layer's, which a user sets.
static int IsWindowsVista(void)
{
    DWORD minor = 0;
    return WindowsMajorVersion(&minor) == 6 && minor == 0;
}

// 1 when every later load by name searches System32 only. Looked up at run time, as XP,
// Vista and 7 without its update lack the function.
static int ConfineDllSearchToSystem32(void)
{
    if (IsWindowsVista()) {
        return 0;
    }
    SetDefaultDllDirectoriesCall confine = LOOK_UP(SetDefaultDllDirectories);
    return confine != NULL && confine(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The modules stay loaded for the whole run; a name this Windows lacks is simply skipped.
static void PreloadSystemDlls(const wchar_t* systemDir)
{
    wchar_t path[PATH_UNITS];
    for (const wchar_t* name : kLateLoadedSystemDlls) {
        if (PathCombineW(path, systemDir, name) != NULL) {
            LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
    }
}

// Elevated, and often started from a download folder: nothing loaded or started by a bare
// name may come from there. System32 becomes the current directory first, so that not even
// the fallback's own loads search the download folder; without the search confined, the
// late-loaded DLLs then come from System32 first. Nothing is reported.
void RestrictSearchToSystem32(void)
{
    wchar_t systemDir[PATH_UNITS] = {};
    UINT units = GetSystemDirectoryW(systemDir, PATH_UNITS);
    int haveSystemDir = units > 0 && units < PATH_UNITS;
    if (haveSystemDir) {
        SetCurrentDirectoryW(systemDir);
    }
    if (!ConfineDllSearchToSystem32()) {
        SetDllDirectoryW(L"");
        if (haveSystemDir) {
            PreloadSystemDlls(systemDir);
        }
    }
}
