// The repair run: files, autostart values, scan service, startup shortcut, background
// programs. The first stage that fails prints its one coded message and ends the checks;
// the closing steps and the pause follow on every path.
#include "repair/operations.h"

#include <shlobj.h>
#include <shlwapi.h>

#include "console/messages.h"
#include "console/report.h"
#include "package/layout.h"

// Everything the run owns, zero-filled before it starts. A plain record, not an object.
struct RepairRun {
    wchar_t twainDir[PATH_UNITS];
    wchar_t monitorPath[PATH_UNITS];
    wchar_t servicePath[PATH_UNITS];
    wchar_t panelPath[PATH_UNITS];
    wchar_t guidePath[PATH_UNITS];
    wchar_t monitorCommandLine[PATH_UNITS];
    wchar_t startupDir[PATH_UNITS];
    wchar_t shortcutPath[PATH_UNITS];
    // A program path as a command line holds it, composed anew just before each use.
    wchar_t commandLine[PATH_UNITS];
    HKEY runKey;
    SC_HANDLE manager;
    SC_HANDLE service;
    ProgramLauncher launcher;
};

// The command lines are composed up front so that a package path too long for them is
// found before anything is written or launched.
static int ComposeRunPaths(RepairRun* run)
{
    return ComposePackagePaths(run->twainDir, run->monitorPath, run->servicePath,
                               run->panelPath, run->guidePath)
        && FormatMonitorCommandLine(run->monitorCommandLine, run->monitorPath)
        && QuoteProgramPath(run->commandLine, run->servicePath)
        && QuoteProgramPath(run->commandLine, run->panelPath)
        && QuoteProgramPath(run->commandLine, run->guidePath);
}

static int CheckPackageFiles(RepairRun* run)
{
    int found = ComposeRunPaths(run)
        && PathFileExistsW(run->monitorPath)
        && PathFileExistsW(run->servicePath)
        && PathFileExistsW(run->panelPath)
        && PathFileExistsW(run->guidePath);
    if (!found) {
        PrintMessage(kMsgE01, kProductName);
    }
    return found;
}

// Any failure of the query, access denied included, counts as a missing value.
static int IsValuePresent(HKEY key, const wchar_t* name)
{
    return RegQueryValueExW(key, name, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
}

static void WriteStringValue(HKEY key, const wchar_t* name, const wchar_t* text)
{
    DWORD size = (DWORD)((lstrlenW(text) + 1) * sizeof(wchar_t));
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text, size);
}

static int RepairAutoStartValues(RepairRun* run)
{
    if (!IsValuePresent(run->runKey, kMonitorValueName)) {
        PrintMessage(kMsgStartupItem);
        WriteStringValue(run->runKey, kMonitorValueName, run->monitorCommandLine);
        if (!IsValuePresent(run->runKey, kMonitorValueName)) {
            PrintMessage(kMsgE03);
            return 0;
        }
    }
    if (!IsValuePresent(run->runKey, kPanelValueName)
        && QuoteProgramPath(run->commandLine, run->panelPath)) {
        WriteStringValue(run->runKey, kPanelValueName, run->commandLine);
    }
    return 1;
}

static int RepairAutoStart(RepairRun* run)
{
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_ALL_ACCESS, &run->runKey)
        != ERROR_SUCCESS) {
        run->runKey = NULL;
        PrintMessage(kMsgE02);
        return 0;
    }
    if (!RepairAutoStartValues(run)) {
        return 0;
    }
    RegCloseKey(run->runKey);
    run->runKey = NULL;
    return 1;
}

static int IsServiceRunning(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status,
                                &needed)
        && status.dwCurrentState == SERVICE_RUNNING;
}

static int StartScanService(SC_HANDLE service)
{
    if (!StartServiceAndWait(service)) {
        PrintMessage(kMsgE07, kProductName);
        return 0;
    }
    return 1;
}

static int RestartInstalledService(RepairRun* run)
{
    if (IsServiceRunning(run->service)) {
        return 1;
    }
    PrintMessage(kMsgServiceDisabled);
    if (!EnsureAutoStart(run->service)) {
        PrintMessage(kMsgE06, kProductName);
        return 0;
    }
    return StartScanService(run->service);
}

static int InstallScanService(RepairRun* run)
{
    PrintMessage(kMsgServiceMissing);
    if (QuoteProgramPath(run->commandLine, run->servicePath)) {
        run->service = CreateServiceW(run->manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                      SERVICE_ERROR_IGNORE, run->commandLine, NULL, NULL, NULL,
                                      NULL, NULL);
    }
    if (run->service == NULL) {
        PrintMessage(kMsgE06, kProductName);
        return 0;
    }
    return StartScanService(run->service);
}

static int RepairScanService(RepairRun* run)
{
    run->manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (run->manager == NULL) {
        PrintMessage(kMsgE04);
        return 0;
    }
    run->service = OpenServiceW(run->manager, kServiceName, SERVICE_ALL_ACCESS);
    if (run->service != NULL) {
        return RestartInstalledService(run);
    }
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        PrintMessage(kMsgE05);
        return 0;
    }
    return InstallScanService(run);
}

// Neither a failed folder lookup nor a failed creation is reported; without the folder
// nothing is written, rather than a shortcut in the current directory.
static void EnsureStartupShortcut(RepairRun* run)
{
    if (!SHGetSpecialFolderPathW(NULL, run->startupDir, CSIDL_COMMON_STARTUP, FALSE)
        || run->startupDir[0] == L'\0'
        || PathCombineW(run->shortcutPath, run->startupDir, kShortcutFile) == NULL) {
        return;
    }
    if (!PathFileExistsW(run->shortcutPath)) {
        CreateShortcutFile(run->guidePath, run->shortcutPath);
    }
}

static int RestartBackgroundPrograms(RepairRun* run)
{
    PrintMessage(kMsgRestart);
    int running = EnsureProcessRunning(kMonitorProcess, run->monitorCommandLine, &run->launcher)
        && QuoteProgramPath(run->commandLine, run->panelPath)
        && EnsureProcessRunning(kPanelProcess, run->commandLine, &run->launcher)
        && QuoteProgramPath(run->commandLine, run->guidePath)
        && EnsureProcessRunning(kGuideProcess, run->commandLine, &run->launcher);
    if (!running) {
        PrintMessage(kMsgE08);
        return 0;
    }
    PrintMessage(kMsgComplete, kProductName);
    return 1;
}

static void RunChecks(RepairRun* run)
{
    if (CheckPackageFiles(run) && RepairAutoStart(run) && RepairScanService(run)) {
        EnsureStartupShortcut(run);
        RestartBackgroundPrograms(run);
    }
}

// Releases on every path what the run still holds: service, manager, the Run key where a
// failed autostart stage left it open (RepairAutoStart closes it on success), the launcher.
static void CloseRun(RepairRun* run)
{
    if (run->service != NULL) {
        CloseServiceHandle(run->service);
        run->service = NULL;
    }
    if (run->manager != NULL) {
        CloseServiceHandle(run->manager);
        run->manager = NULL;
    }
    if (run->runKey != NULL) {
        RegCloseKey(run->runKey);
        run->runKey = NULL;
    }
    ReleaseProgramLauncher(&run->launcher);
}

int RunRepair(void)
{
    RepairRun run = {};
    wchar_t* savedLocale = BeginReport();
    PrintMessage(kMsgChecking);
    RunChecks(&run);
    CloseRun(&run);
    EndReport(savedLocale);
    // A thread left waiting on a hung Explorer may hold a lock that the runtime's exit would
    // wait for: the process ends here instead, its text already written.
    if (run.launcher.workerLeft) {
        TerminateProcess(GetCurrentProcess(), 0);
    }
    return 0;
}
