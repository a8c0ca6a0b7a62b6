// Stand-in for the package's scan service: a real Win32 own-process service. Its start-up
// is chosen by the first word of "<its own path>.behaviour" (missing file: "instant"):
//   instant  reports running at once;
//   slow     stays start-pending for 6 steps of 400 ms, advancing its checkpoint each step
//            with a wait hint of 1000 ms, then reports running;
//   stuck    stays start-pending at checkpoint 1 with a wait hint of 1500 ms until stopped;
//   stop     reports start-pending, then stopped with an error code, during its start.
// Every start is appended to "<its own path>.starts", one line each.
#include <windows.h>

#include "package/layout.h"
#include "tests/support/catalogue.h"

static SERVICE_STATUS_HANDLE gStatusHandle;
static SERVICE_STATUS gStatus;
static HANDLE gStopEvent;
static wchar_t gServiceName[sizeof kServiceName / sizeof kServiceName[0]];

static void Report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode)
{
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = state;
    gStatus.dwControlsAccepted = state == SERVICE_RUNNING || state == SERVICE_START_PENDING
        ? SERVICE_ACCEPT_STOP : 0;
    gStatus.dwWin32ExitCode = exitCode;
    gStatus.dwCheckPoint = checkPoint;
    gStatus.dwWaitHint = waitHint;
    SetServiceStatus(gStatusHandle, &gStatus);
}

static DWORD WINAPI Control(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 1, 2000, NO_ERROR);
        SetEvent(gStopEvent);
    }
    return NO_ERROR;
}

static void SiblingPath(wchar_t* path, const wchar_t* suffix)
{
    GetModuleFileNameW(NULL, path, MAX_PATH);
    lstrcatW(path, suffix);
}

static void ReadBehaviour(char* word, DWORD size)
{
    wchar_t path[MAX_PATH + 16];
    SiblingPath(path, kBehaviourFile);
    lstrcpyA(word, "instant");
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD read = 0;
    if (ReadFile(file, word, size - 1, &read, NULL) && read > 0) {
        word[read] = 0;
        for (DWORD i = 0; i < read; ++i) {
            if (word[i] == ' ' || word[i] == '\r' || word[i] == '\n') {
                word[i] = 0;
            }
        }
    }
    CloseHandle(file);
}

static void RecordStart(const char* behaviour)
{
    wchar_t path[MAX_PATH + 16];
    SiblingPath(path, kStartsRecord);
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, behaviour, lstrlenA(behaviour), &written, NULL);
    WriteFile(file, "\n", 1, &written, NULL);
    CloseHandle(file);
}

static void WINAPI ServiceMain(DWORD, wchar_t**)
{
    gStatusHandle = RegisterServiceCtrlHandlerExW(gServiceName, Control, NULL);
    if (gStatusHandle == NULL) {
        return;
    }
    char behaviour[32];
    ReadBehaviour(behaviour, sizeof behaviour);
    RecordStart(behaviour);
    Report(SERVICE_START_PENDING, 0, 3000, NO_ERROR);
    if (lstrcmpA(behaviour, "stop") == 0) {
        Sleep(300);
        Report(SERVICE_STOPPED, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR);
        return;
    }
    if (lstrcmpA(behaviour, "stuck") == 0) {
        Report(SERVICE_START_PENDING, 1, 1500, NO_ERROR);
        WaitForSingleObject(gStopEvent, INFINITE);
        Report(SERVICE_STOPPED, 0, 0, NO_ERROR);
        return;
    }
    if (lstrcmpA(behaviour, "slow") == 0) {
        for (DWORD step = 1; step <= 6; ++step) {
            Report(SERVICE_START_PENDING, step, 1000, NO_ERROR);
            Sleep(400);
        }
    }
    Report(SERVICE_RUNNING, 0, 0, NO_ERROR);
    WaitForSingleObject(gStopEvent, INFINITE);
    Report(SERVICE_STOPPED, 0, 0, NO_ERROR);
}

extern "C" int wmain(int, wchar_t**)
{
    lstrcpyW(gServiceName, kServiceName);
    gStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    SERVICE_TABLE_ENTRYW table[] = {{gServiceName, ServiceMain}, {NULL, NULL}};
    StartServiceCtrlDispatcherW(table);
    CloseHandle(gStopEvent);
    return 0;
}
