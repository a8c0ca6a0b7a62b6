#include "platform/system_calls.h"

#include <shlwapi.h>

#include "package/layout.h"

void* FindSystemCall(HMODULE module, const wchar_t* dll, const char* name)
{
    HMODULE in = module != NULL ? module : GetModuleHandleW(dll);
    return in != NULL ? reinterpret_cast<void*>(GetProcAddress(in, name)) : NULL;
}

int ComposeSystemPath(wchar_t* path, const wchar_t* name)
{
    wchar_t systemDir[PATH_UNITS] = {};
    UINT units = GetSystemDirectoryW(systemDir, PATH_UNITS);
    return units > 0 && units < PATH_UNITS && PathCombineW(path, systemDir, name) != NULL;
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    wchar_t path[PATH_UNITS] = {};
    return ComposeSystemPath(path, name) ? LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH)
                                         : NULL;
}

DWORD WindowsMajorVersion(DWORD* minor)
{
    RtlGetVersionCall getVersion = LOOK_UP(RtlGetVersion);
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (getVersion == NULL || getVersion(&version) != 0) {
        return 0;
    }
    *minor = version.dwMinorVersion;
    return version.dwMajorVersion;
}
