#include "repair/judgements.h"

#include <shlobj.h>
#include <shlwapi.h>

int ComposeRunPaths(PackagePaths* paths)
{
    return ComposePackagePaths(paths->twainDir, paths->monitorPath, paths->servicePath,
                               paths->panelPath, paths->guidePath)
        && FormatMonitorCommandLine(paths->monitorCommandLine, paths->monitorPath)
        && QuoteProgramPath(paths->commandLine, paths->servicePath)
        && QuoteProgramPath(paths->commandLine, paths->panelPath)
        && QuoteProgramPath(paths->commandLine, paths->guidePath);
}

int IsPackageFilePresent(const PackagePaths* paths, int index, const wchar_t** name)
{
    const wchar_t* const fullPaths[kPackageFileCount] = {paths->monitorPath, paths->servicePath,
                                                         paths->panelPath, paths->guidePath};
    const wchar_t* const names[kPackageFileCount] = {kMonitorProgram, kServiceProgram,
                                                     kPanelProgram, kGuideProgram};
    if (name != NULL) {
        *name = names[index];
    }
    return PathFileExistsW(fullPaths[index]);
}

int OpenRunKey(REGSAM access, HKEY* key)
{
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, access, key) != ERROR_SUCCESS) {
        *key = NULL;
        return 0;
    }
    return 1;
}

int IsValuePresent(HKEY key, const wchar_t* name)
{
    return RegQueryValueExW(key, name, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
}

ServiceFound OpenScanService(SC_HANDLE manager, DWORD access, SC_HANDLE* service)
{
    *service = OpenServiceW(manager, kServiceName, access);
    if (*service != NULL) {
        return kServiceOpened;
    }
    return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? kServiceNotInstalled
                                                          : kServiceUnreachable;
}

int ReadServiceRunning(SC_HANDLE service, int* running)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status,
                              &needed)) {
        return 0;
    }
    *running = status.dwCurrentState == SERVICE_RUNNING;
    return 1;
}

int IsServiceRunning(SC_HANDLE service)
{
    int running = 0;
    return ReadServiceRunning(service, &running) && running;
}

int IsShortcutMissing(wchar_t* startupDir, wchar_t* shortcutPath)
{
    return SHGetSpecialFolderPathW(NULL, startupDir, CSIDL_COMMON_STARTUP, FALSE)
        && startupDir[0] != L'\0'
        && PathCombineW(shortcutPath, startupDir, kShortcutFile) != NULL
        && !PathFileExistsW(shortcutPath);
}
