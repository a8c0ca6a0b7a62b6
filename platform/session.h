// Who runs the tool and where: its own token, whether anyone sees it, the users logged on.
// What the background programs are started with, and whether the pause can wait, follow
// from these.
#pragma once
#include <windows.h>

// Room for a TOKEN_USER and the longest SID it can point to.
static const DWORD kTokenUserUnits =
    (sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1;

// 0 only when nobody is known to see the process's windows or to be able to press a key
// there: a window station without WSF_VISIBLE (a service's), or session 0 from Vista on,
// whose own WinSta0 is marked visible although nobody sees it.
int IsSeenBySomeone(void);

// What the tool's own token says of it: the user (TOKEN_USER, held in `user`) and, from
// Vista on, whether it was elevated from a split token. 0 when either cannot be read.
int ReadOwnToken(DWORD* user, DWORD userBytes, int* splitElevated);

// 1 when the window's process runs as this user; 0 when as another, or when that cannot be
// read (no window, a process that cannot be opened).
int IsWindowOfUser(HWND window, PSID user);

// 1 when the window's process runs in the tool's own session; 0 otherwise, or when either
// session cannot be read.
int IsWindowInOwnSession(HWND window);

// 1 when the account of `user` is the one logged on in the tool's own session (its name and
// domain as terminal services tell them); 0 when another is, or that cannot be read.
int IsOwnSessionsUser(PSID user);

// The session of a process: ProcessIdToSessionId, or where the process refuses that query,
// the terminal services' list of processes; 0 when unknown.
int ReadProcessSession(DWORD processId, DWORD* session);

// The session whose user the background programs are for, as LocalSystem sees the machine.
enum UserSession {
    kNobodyLoggedOn,     // no session has a user
    kUserSessionFound,   // the console's, when it has a user; else the one active one with a user
    kUserSessionUnclear  // users, but no one session to choose, or the sessions cannot be read
};
UserSession FindUserSession(DWORD* session);

// Where the tool runs, as its token and window station tell, and so whose the background
// programs are: which session's copies count, and who may start a missing one.
enum ToolPlace {
    kPlaceUnknown,  // the tool's token cannot be read
    kPlaceSystem,   // LocalSystem: the programs are the chosen session's user's
    kPlaceHidden,   // another account where nobody sees (a scheduled task's, say)
    kPlaceDesktop,  // a desktop someone sees: the programs are this session's user's
};
struct ProgramsUser {
    int read;                      // 0 until ReadProgramsUser filled the rest
    ToolPlace place;
    DWORD user[kTokenUserUnits];   // the tool's own TOKEN_USER
    int splitElevated;
    UserSession users;             // kNobodyLoggedOn: nothing is missing until a logon
    int inSession;                 // 1: only copies in `session` count; 0: a copy anywhere
    DWORD session;
};
void ReadProgramsUser(ProgramsUser* programs);

// That session's user's token (WTSQueryUserToken, LocalSystem's alone); 0 when not given.
int QueryUserToken(DWORD session, HANDLE* token);
