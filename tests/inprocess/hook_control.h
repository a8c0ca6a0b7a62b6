// How a test steers and observes the hooks that replace the tool's Windows and runtime
// calls in the test build. Every setting lasts until HookReset.
#pragma once
#include <windows.h>
#include <wtsapi32.h>

enum HookResource {
    kHookRegistryKey,
    kHookManager,
    kHookService,
    kHookSnapshot,
    kHookProcess,
    kHookThread,
    kHookLocalMemory,
    kHookComInit,
    kHookLocaleCopy,
    kHookToken,
    kHookEnvironment,
    kHookSessionMemory,
    kHookEvent,
    kHookString,
    kHookResourceKinds
};

// Real behaviour everywhere again; forgets faults, scripts, logs and the ledger.
void HookReset(void);

// The `occurrence`-th call (counted from 1 since the reset) of the named function fails
// with `error` (a Win32 error, an HRESULT for COM calls) without reaching Windows.
void HookFail(const wchar_t* call, int occurrence, DWORD error);
int HookCallCount(const wchar_t* call);

// Statuses that QueryServiceStatusEx returns, one per call, before it reaches Windows again.
void HookScriptStatus(DWORD state, DWORD checkPoint, DWORD waitHint);
// A scripted query that fails and leaves the caller's record untouched.
void HookScriptStatusFailure(void);
int HookScriptedStatusesLeft(void);
// Until HookReset, StartServiceW accepts without reaching Windows; a fault set on it still
// refuses it.
void HookAcceptServiceStart(void);

// GetTickCount returns a virtual tick count that only Sleep advances; Sleep returns at once.
void HookUseVirtualClock(DWORD start);
DWORD HookVirtualTick(void);
int HookSleepCount(void);
DWORD HookSleepDuration(int index);

// RtlGetVersion reports this Windows version instead of the real one.
void HookSetWindowsVersion(DWORD major, DWORD minor);
// GetVersionExW reports this one, as under a compatibility layer that a user set.
void HookSetLayerVersion(DWORD major, DWORD minor);
// GetProcAddress finds no function of this name, as on a Windows that lacks it.
void HookLackExport(const char* name);
// The tool's token names LocalSystem as its user, as under a deployment system, and
// WTSQueryUserToken hands it a copy of this process's token as the console user's.
void HookRunAsLocalSystem(void);
// The tool's token reports this TOKEN_ELEVATION_TYPE (1 default, 2 full, 3 limited), or
// cannot tell it (-1); 0: the real one.
void HookSetElevationType(int type);
// A token opened from another process (the desktop shell's) names another user, and so
// does the name of the user logged on in the tool's session.
void HookShellOfAnotherUser(void);
// The process's window station reports itself invisible, as a service's does.
void HookHideWindowStation(void);
// GetShellWindow finds no desktop shell, as while none runs.
void HookHideShellWindow(void);
// The tool's process walks skip every process of this name, as if it had ended.
void HookHideProcess(const wchar_t* name);
// With the virtual clock, that process is hidden only until the clock reaches `tick`, as a
// program that appears late.
void HookRevealProcessAt(DWORD tick);
// That process is in `session` (eight at most): as ProcessIdToSessionId reports it, or,
// `refused`, as only the terminal services' list does, the query refused as another
// account's process may refuse an administrator.
void HookPlaceProcessInSession(DWORD processId, DWORD session, BOOL refused);
// The machine's sessions as WTSEnumerateSessionsW and WTSUserName tell them, and the console's
// (0xFFFFFFFF: none); the real ones until set. A session's user is this process's own.
struct HookSession {
    DWORD id;
    WTS_CONNECTSTATE_CLASS state;
    int user;  // 1: logged on, 0: nobody, -1: WTSUserName cannot be asked
};
void HookSetSessions(DWORD console, const HookSession* sessions, int count);
// The tool's own process is in this session, as ProcessIdToSessionId reports it.
void HookSetOwnSession(DWORD session);
// The tool runs in a job with these JOBOBJECT_BASIC_LIMIT_INFORMATION limit flags; until
// then in none (Wine tells its 32-bit processes that they run in one that keeps them).
void HookRunInJob(DWORD limitFlags);
// A job further up keeps the programs that the tool's own job lets go.
void HookKeepChildrenInJob(void);
// CoCreateInstance hands out a stand-in for the shell's windows whose FindWindowSW fails
// with `result`, or, with `hung`, answers only once HookSettle runs, as a hung Explorer.
void HookUseFakeShellWindows(HRESULT result, BOOL hung);
// WaitForSingleObject waits this long at most where the tool asks for longer (0: as asked).
void HookCapWaits(DWORD milliseconds);
// GetWindowsDirectoryW reports this directory instead of the real one.
void HookSetWindowsDirectory(const wchar_t* path);
// _wsetlocale refuses this locale name, as a runtime that does not know it would.
void HookRejectLocale(const wchar_t* name);
// Whether _wspawnv really runs its program (by default it does not: the pause costs time).
void HookRunSystemCommands(BOOL run);
// CoCreateInstance hands out a stand-in link object whose QueryInterface gives this result.
void HookUseFakeShellLink(HRESULT queryInterfaceResult);

// Calls in order, one line each, e.g. "CloseServiceHandle service", "print <text>".
int HookEventCount(void);
const wchar_t* HookEvent(int index);

// The ledger of what the tool acquired through the hooks and released again.
int HookAcquired(HookResource kind);
int HookReleased(HookResource kind);
int HookStillHeld(void);
// Releases of a handle, block or reference that was not held (double or foreign releases).
int HookBadReleases(void);
// References still held on the last COM object the tool created (the shell link, the shell's
// windows) when it uninitialised COM (or when HookSettle ran): 0 when balanced, -1 when it
// created none.
long HookComReferencesLeft(void);
// Settles what the run left behind: a worker thread it left waiting (released and waited
// for), references of a COM object never uninitialised.
void HookSettle(void);
