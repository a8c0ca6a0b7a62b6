#include "platform/session.h"

#include <shlwapi.h>
#include <wtsapi32.h>

#include "package/layout.h"

typedef LONG(WINAPI* RtlGetVersionProc)(OSVERSIONINFOW* version);
typedef HWINSTA(WINAPI* GetProcessWindowStationProc)(void);
typedef BOOL(WINAPI* GetUserObjectInformationWProc)(HANDLE object, int index, void* information,
                                                    DWORD size, DWORD* needed);
typedef BOOL(WINAPI* WTSQuerySessionInformationWProc)(HANDLE server, DWORD session,
                                                      WTS_INFO_CLASS kind, wchar_t** buffer,
                                                      DWORD* bytes);
typedef void(WINAPI* WTSFreeMemoryProc)(void* memory);

FARPROC FindSystemCall(const wchar_t* module, const char* name)
{
    HMODULE loaded = GetModuleHandleW(module);
    return loaded != NULL ? GetProcAddress(loaded, name) : NULL;
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
    RtlGetVersionProc getVersion = reinterpret_cast<RtlGetVersionProc>(
        reinterpret_cast<void*>(FindSystemCall(L"ntdll.dll", "RtlGetVersion")));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (getVersion == NULL || getVersion(&version) != 0) {
        return 0;
    }
    *minor = version.dwMinorVersion;
    return version.dwMajorVersion;
}

int IsWindowStationVisible(void)
{
    GetProcessWindowStationProc getStation = reinterpret_cast<GetProcessWindowStationProc>(
        reinterpret_cast<void*>(FindSystemCall(L"user32.dll", "GetProcessWindowStation")));
    GetUserObjectInformationWProc getInformation = reinterpret_cast<GetUserObjectInformationWProc>(
        reinterpret_cast<void*>(FindSystemCall(L"user32.dll", "GetUserObjectInformationW")));
    HWINSTA station = getStation != NULL ? getStation() : NULL;
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    // The station's handle is the process's own, never closed.
    return station == NULL || getInformation == NULL
        || !getInformation(station, UOI_FLAGS, &flags, sizeof flags, &needed)
        || (flags.dwFlags & WSF_VISIBLE) != 0;
}

// TOKEN_USER into `user`, and whether the token is elevated from a split one where Windows
// has that notion (Vista and later); XP's tokens are all of one kind.
static int ReadTokenIdentity(HANDLE token, DWORD* user, DWORD userBytes, int* splitElevated)
{
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, user, userBytes, &size)) {
        return 0;
    }
    DWORD minor = 0;
    TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
    if (WindowsMajorVersion(&minor) >= 6
        && !GetTokenInformation(token, TokenElevationType, &elevation, sizeof elevation, &size)) {
        return 0;
    }
    *splitElevated = elevation == TokenElevationTypeFull;
    return 1;
}

int ReadOwnToken(DWORD* user, DWORD userBytes, int* splitElevated)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return 0;
    }
    int known = ReadTokenIdentity(token, user, userBytes, splitElevated);
    CloseHandle(token);
    return known;
}

int IsProcessOfUser(HANDLE process, PSID user)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        return 0;
    }
    DWORD owner[kTokenUserUnits] = {};
    DWORD size = 0;
    int same = GetTokenInformation(token, TokenUser, owner, sizeof owner, &size)
        && EqualSid(reinterpret_cast<TOKEN_USER*>(owner)->User.Sid, user);
    CloseHandle(token);
    return same;
}

// wtsapi32 by its System32 path; a failed question counts as somebody logged on, so that
// the run reports the programs it did not start.
int IsUserLoggedOn(DWORD session)
{
    HMODULE wts = LoadSystemLibrary(L"wtsapi32.dll");
    WTSQuerySessionInformationWProc query = wts == NULL ? NULL
        : reinterpret_cast<WTSQuerySessionInformationWProc>(
              reinterpret_cast<void*>(GetProcAddress(wts, "WTSQuerySessionInformationW")));
    WTSFreeMemoryProc release = wts == NULL ? NULL
        : reinterpret_cast<WTSFreeMemoryProc>(
              reinterpret_cast<void*>(GetProcAddress(wts, "WTSFreeMemory")));
    wchar_t* name = NULL;
    DWORD bytes = 0;
    int loggedOn = 1;
    if (query != NULL && release != NULL
        && query(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name, &bytes)) {
        loggedOn = name != NULL && name[0] != L'\0';
        release(name);
    }
    if (wts != NULL) {
        FreeLibrary(wts);
    }
    return loggedOn;
}
