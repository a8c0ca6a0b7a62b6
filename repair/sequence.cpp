// The repair run: files, autostart values, scan service, startup shortcut, background
// programs. The first stage that fails prints its one coded message and ends the checks;
// the closing steps and the pause follow on every path.
#include "repair/operations.h"

#include "console/messages.h"
#include "console/report.h"
#include "package/layout.h"
#include "repair/judgements.h"

// Everything the run owns, zero-filled before it starts. A plain record, not an object.
struct RepairRun {
    PackagePaths paths;
    wchar_t startupDir[PATH_UNITS];
    wchar_t shortcutPath[PATH_UNITS];
    HKEY runKey;
    SC_HANDLE manager;
    SC_HANDLE service;
    ProgramLauncher launcher;
};

static int CheckPackageFiles(RepairRun* run)
{
    int found = ComposeRunPaths(&run->paths);
    for (int i = 0; found && i < kPackageFileCount; ++i) {
        found = IsPackageFilePresent(&run->paths, i, NULL);
    }
    if (!found) {
        PrintMessage(kMsgE01, kProductName);
    }
    return found;
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
        WriteStringValue(run->runKey, kMonitorValueName, run->paths.monitorCommandLine);
        if (!IsValuePresent(run->runKey, kMonitorValueName)) {
            PrintMessage(kMsgE03);
            return 0;
        }
    }
    if (!IsValuePresent(run->runKey, kPanelValueName)
        && QuoteProgramPath(run->paths.commandLine, run->paths.panelPath)) {
        WriteStringValue(run->runKey, kPanelValueName, run->paths.commandLine);
    }
    return 1;
}

static int RepairAutoStart(RepairRun* run)
{
    if (!OpenRunKey(KEY_ALL_ACCESS, &run->runKey)) {
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
    if (QuoteProgramPath(run->paths.commandLine, run->paths.servicePath)) {
        run->service = CreateServiceW(run->manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                      SERVICE_ERROR_IGNORE, run->paths.commandLine, NULL, NULL,
                                      NULL, NULL, NULL);
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
    switch (OpenScanService(run->manager, SERVICE_ALL_ACCESS, &run->service)) {
    case kServiceOpened:
        return RestartInstalledService(run);
    case kServiceNotInstalled:
        return InstallScanService(run);
    default:
        PrintMessage(kMsgE05);
        return 0;
    }
}

// Neither a failed folder lookup nor a failed creation is reported; without the folder
// nothing is written, rather than a shortcut in the current directory.
static void EnsureStartupShortcut(RepairRun* run)
{
    if (IsShortcutMissing(run->startupDir, run->shortcutPath)) {
        CreateShortcutFile(run->paths.guidePath, run->shortcutPath);
    }
}

static int RestartBackgroundPrograms(RepairRun* run)
{
    PrintMessage(kMsgRestart);
    int running =
        EnsureProcessRunning(kMonitorProcess, run->paths.monitorCommandLine, &run->launcher)
        && QuoteProgramPath(run->paths.commandLine, run->paths.panelPath)
        && EnsureProcessRunning(kPanelProcess, run->paths.commandLine, &run->launcher)
        && QuoteProgramPath(run->paths.commandLine, run->paths.guidePath)
        && EnsureProcessRunning(kGuideProcess, run->paths.commandLine, &run->launcher);
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
