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

// The session whose user the background programs are for, as LocalSystem sees the machine.
enum UserSession {
    kNobodyLoggedOn,     // no session has a user
    kUserSessionFound,   // the console's, when it has a user; else the one active one with a user
    kUserSessionUnclear  // users, but no one session to choose, or the sessions cannot be read
};
UserSession FindUserSession(DWORD* session);

// That session's user's token (WTSQueryUserToken, LocalSystem's alone); 0 when not given.
int QueryUserToken(DWORD session, HANDLE* token);
