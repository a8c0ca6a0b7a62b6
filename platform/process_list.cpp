// Finding the background programs in the process list: what the repair run and the check
// both count as running.
#include "repair/operations.h"

#include <tlhelp32.h>
#include <wchar.h>

#include "platform/session.h"

#ifndef _WIN64
// The record's size is what Windows expects from a 32-bit caller in dwSize.
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W is not 556 bytes");
#endif

// A copy counts where it runs in the session of the programs' user; where the run names no
// session, or a copy's own cannot be read, it counts wherever it runs.
static int CountsForUser(DWORD processId, const ProgramsUser* programs)
{
    DWORD session = 0;
    return programs == NULL || !programs->inSession || !ReadProcessSession(processId, &session)
        || session == programs->session;
}

static DWORD WalkSnapshot(HANDLE snapshot, const wchar_t* name, const ProgramsUser* programs)
{
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        // Exact, case-sensitive match of the executable's file name.
        if (wcscmp(entry.szExeFile, name) == 0 && CountsForUser(entry.th32ProcessID, programs)) {
            return entry.th32ProcessID;
        }
        entry.dwSize = sizeof entry;
    }
    return 0;
}

DWORD FindProcessByName(const wchar_t* name, const ProgramsUser* programs)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD processId = WalkSnapshot(snapshot, name, programs);
    CloseHandle(snapshot);
    return processId;
}

int IsProgramRunning(const wchar_t* name, const ProgramsUser* programs)
{
    return programs->users == kNobodyLoggedOn || FindProcessByName(name, programs) != 0;
}
