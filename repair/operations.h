// The operations that the repair sequence delegates; each one's comment says what it returns.
// The service functions leave the handle they are given open. Only the ProgramLauncher that
// the caller owns keeps state between calls: EnsureProcessRunning fills it in, and
// ReleaseProgramLauncher closes the token it holds.
#pragma once
#include <windows.h>

#include "platform/session.h"

// 1 when the service's start type is, or has now been set to, automatic.
int EnsureAutoStart(SC_HANDLE service);

// 1 when the start request is accepted and the service is running when the wait ends.
int StartServiceAndWait(SC_HANDLE service);

// Process identifier of a process whose executable file name is exactly `name`, or 0;
// where `programs` names the user's session, only a copy in that session counts.
DWORD FindProcessByName(const wchar_t* name, const ProgramsUser* programs);

// 1 when the user's copy of the program `name` runs, or when nobody is logged on to run one
// for: what the run counts as running.
int IsProgramRunning(const wchar_t* name, const ProgramsUser* programs);

// How the run starts a missing background program: chosen at the first one that is missing,
// then the same for the others. Zero-filled before the run; ReleaseProgramLauncher closes
// what it holds.
enum LaunchWay {
    kLaunchUnchosen,
    kLaunchRefused,          // only with rights the user did not choose: nothing is started
    kLaunchOwnToken,         // the tool's token is the user's own
    kLaunchThroughExplorer,  // this session's desktop Explorer starts them, as its user
    kLaunchAsUser,           // with the token of the user of one session, as LocalSystem
};
struct ProgramLauncher {
    ProgramsUser programs;  // whose copies count, read at the first look
    LaunchWay way;
    int inJob;         // the tool runs in a job, which its programs must leave
    DWORD jobFlags;    // what takes the programs the tool starts out of its job
    HANDLE userToken;  // the session user's token, for kLaunchAsUser
    int workerLeft;    // a thread still waits on a hung Explorer
};

// 1 when the user's copy of `name` runs afterwards, or when nobody is logged on to run it
// for; launches `commandLine` (a writable buffer) the way `launcher` says when none runs.
// The first call reads whose the programs are; the first that finds one missing chooses the
// way; both are recorded in `launcher`, with the session user's token where it takes one.
int EnsureProcessRunning(const wchar_t* name, wchar_t* commandLine, ProgramLauncher* launcher);
// Closes the session user's token that `launcher` holds, if any; safe to call again.
void ReleaseProgramLauncher(ProgramLauncher* launcher);

// 1 when the shell link object was created and asked to save itself.
int CreateShortcutFile(const wchar_t* target, const wchar_t* linkPath);

// The whole repair run; returns 0, the process's exit status, or ends the process itself
// with 0 where a thread was left waiting on a hung Explorer.
int RunRepair(void);
