// The operations that the repair sequence delegates; each one's comment says what it returns.
// The service functions leave the handle they are given open. Only the ProgramLauncher that
// the caller owns keeps state between calls: EnsureProcessRunning fills it in, and
// ReleaseProgramLauncher closes the token it holds.
#pragma once
#include <windows.h>

// 1 when the service's start type is, or has now been set to, automatic.
int EnsureAutoStart(SC_HANDLE service);

// 1 when the start request is accepted and the service is running when the wait ends.
int StartServiceAndWait(SC_HANDLE service);

// Process identifier of a process whose executable file name is exactly `name`, or 0.
DWORD FindProcessByName(const wchar_t* name);

// How the run starts a missing background program: chosen at the first one that is missing,
// then the same for the others. Zero-filled before the run; ReleaseProgramLauncher closes
// what it holds.
enum LaunchWay {
    kLaunchUnchosen,
    kLaunchRefused,          // only with rights the user did not choose: nothing is started
    kLaunchAtLogon,          // nobody is logged on: the next logon starts them
    kLaunchOwnToken,         // the tool's token is the user's own
    kLaunchThroughExplorer,  // the user's own desktop Explorer starts them
    kLaunchAsUser,           // with the token of the user of one session, as LocalSystem
};
struct ProgramLauncher {
    LaunchWay way;
    int inJob;         // the tool runs in a job, which its programs must leave
    DWORD jobFlags;    // what takes the programs the tool starts out of its job
    HANDLE userToken;  // the session user's token, for kLaunchAsUser
    int workerLeft;    // a thread still waits on a hung Explorer
};

// 1 when a process named `name` runs afterwards, or when nobody is logged on to run it
// for; launches `commandLine` (a writable buffer) the way `launcher` says when none runs.
// The first call that finds a program missing chooses the way and records it in `launcher`,
// with the session user's token where it takes one.
int EnsureProcessRunning(const wchar_t* name, wchar_t* commandLine, ProgramLauncher* launcher);
// Closes the session user's token that `launcher` holds, if any; safe to call again.
void ReleaseProgramLauncher(ProgramLauncher* launcher);

// 1 when the shell link object was created and asked to save itself.
int CreateShortcutFile(const wchar_t* target, const wchar_t* linkPath);

// The whole repair run; returns 0, the process's exit status, or ends the process itself
// with 0 where a thread was left waiting on a hung Explorer.
int RunRepair(void);
