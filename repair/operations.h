// The operations that the repair sequence delegates. Each returns 1 or 0; none of them
// keeps state between calls or closes a handle it is given.
#pragma once
#include <windows.h>

// 1 when the service's start type is, or has now been set to, automatic.
int EnsureAutoStart(SC_HANDLE service);

// 1 when the start request is accepted and the service is running when the wait ends.
int StartServiceAndWait(SC_HANDLE service);

// Process identifier of a process whose executable file name is exactly `name`, or 0.
DWORD FindProcessByName(const wchar_t* name);

// 1 when a process named `name` runs afterwards; launches `commandLine` (a writable
// buffer) when none did.
int EnsureProcessRunning(const wchar_t* name, wchar_t* commandLine);

// 1 when the shell link object was created and asked to save itself.
int CreateShortcutFile(const wchar_t* target, const wchar_t* linkPath);

// The whole repair run; always returns 0, the process's exit status.
int RunRepair(void);
