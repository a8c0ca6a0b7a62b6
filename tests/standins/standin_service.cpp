// Stand-in for the package's scan service: a real Win32 own-process service. Its start-up
// is chosen by the first word of "<its own path>.behaviour" (missing file: "instant"):
//   instant  reports running at once;
//   slow     stays start-pending for 6 steps of 400 ms, advancing its checkpoint each step
//            with a wait hint of 1000 ms, then reports running;
//   stuck    stays start-pending at checkpoint 1 with a wait hint of 1500 ms, taking no stop,
//            until its process is ended;
//   stop     reports start-pending, then stopped with an error code, during its start;
//   tool     reports running, then runs the program named in "<its own path>.tool" (UTF-8)
//            as a deployment system's agent would: in the service's window station, its
//            input a pipe that never delivers a key, its output to its ".tool-output" record,
//            and writes its exit code, or "timeout" after 30 s, to its ".tool-exit" record;
//            what its own token says of it goes to its ".token" record.
// Every start is appended to its ".starts" record, one line each (tests/support/records.h).
#include <windows.h>

#include "tests/support/records.h"
#include "tests/support/names.h"
#include "tests/support/token_record.h"

static SERVICE_STATUS_HANDLE gStatusHandle;
static SERVICE_STATUS gStatus;
static HANDLE gStopEvent;
static wchar_t gServiceName[sizeof names::kServiceName / sizeof names::kServiceName[0]];

static void Report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode)
{
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = state;
    // As Windows has it, a service still starting takes no stop ("ControlService").
    gStatus.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
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

// An order beside the program.
static void SiblingPath(wchar_t* path, const wchar_t* suffix)
{
    GetModuleFileNameW(NULL, path, MAX_PATH);
    lstrcatW(path, suffix);
}

// A record in the suite's folder of them.
static int OwnRecordPath(wchar_t* path, const wchar_t* record)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    return RecordPath(self, record, path);
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
    wchar_t path[kRecordPathUnits];
    if (!OwnRecordPath(path, kStartsRecord)) {
        return;
    }
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

static void WriteWholeFile(const wchar_t* record, const char* bytes)
{
    wchar_t path[kRecordPathUnits];
    if (!OwnRecordPath(path, record)) {
        return;
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes, lstrlenA(bytes), &written, NULL);
    CloseHandle(file);
}

// The program's exit code as text, or why it has none.
static void RunNamedTool(char* outcome, int size)
{
    wchar_t path[MAX_PATH + 16];
    char utf8[MAX_PATH * 3] = {};
    wchar_t tool[MAX_PATH + 2] = {};
    SiblingPath(path, kToolFile);
    HANDLE named = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD read = 0;
    if (named == INVALID_HANDLE_VALUE) {
        lstrcpynA(outcome, "no tool named", size);
        return;
    }
    ReadFile(named, utf8, sizeof utf8 - 1, &read, NULL);
    CloseHandle(named);
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, tool + 1, MAX_PATH);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE keyboard = NULL;
    HANDLE silent = NULL;
    CreatePipe(&keyboard, &silent, &inherited, 0);
    SetHandleInformation(silent, HANDLE_FLAG_INHERIT, 0);
    wchar_t outputPath[kRecordPathUnits] = {};
    OwnRecordPath(outputPath, kToolOutput);
    HANDLE output = CreateFileW(outputPath, GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = keyboard;
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION info = {};
    tool[0] = L'"';
    lstrcatW(tool, L"\"");
    lstrcpynA(outcome, "not started", size);
    if (CreateProcessW(NULL, tool, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info)) {
        DWORD code = 0;
        if (WaitForSingleObject(info.hProcess, 30000) != WAIT_OBJECT_0) {
            TerminateProcess(info.hProcess, 1);
            lstrcpynA(outcome, "timeout", size);
        } else if (GetExitCodeProcess(info.hProcess, &code)) {
            wsprintfA(outcome, "%lu", (unsigned long)code);
        }
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    CloseHandle(keyboard);
    CloseHandle(silent);
    CloseHandle(output);
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
    if (lstrcmpA(behaviour, "tool") == 0) {
        wchar_t record[kRecordPathUnits];
        if (OwnRecordPath(record, kTokenRecord)) {
            WriteTokenRecord(record);
        }
        char outcome[32];
        RunNamedTool(outcome, sizeof outcome);
        WriteWholeFile(kToolExit, outcome);
    }
    WaitForSingleObject(gStopEvent, INFINITE);
    Report(SERVICE_STOPPED, 0, 0, NO_ERROR);
}

extern "C" int wmain(int, wchar_t**)
{
    lstrcpyW(gServiceName, names::kServiceName);
    gStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    SERVICE_TABLE_ENTRYW table[] = {{gServiceName, ServiceMain}, {NULL, NULL}};
    StartServiceCtrlDispatcherW(table);
    CloseHandle(gStopEvent);
    return 0;
}
