#include "repair/operations.h"

#include <tlhelp32.h>
#include <wchar.h>

#ifndef _WIN64
// The records' sizes are what Windows expects from a 32-bit caller in dwSize and cb.
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W is not 556 bytes");
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFOW is not 68 bytes");
#endif

static DWORD WalkSnapshot(HANDLE snapshot, const wchar_t* name)
{
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        // Exact, case-sensitive match of the executable's file name.
        if (wcscmp(entry.szExeFile, name) == 0) {
            return entry.th32ProcessID;
        }
        entry.dwSize = sizeof entry;
    }
    return 0;
}

DWORD FindProcessByName(const wchar_t* name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD processId = WalkSnapshot(snapshot, name);
    CloseHandle(snapshot);
    return processId;
}

int EnsureProcessRunning(const wchar_t* name, wchar_t* commandLine)
{
    if (FindProcessByName(name) != 0) {
        return 1;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        return 0;
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return FindProcessByName(name) != 0;
}
