// Who runs the tool and where: its own token, its window station, the user at the console.
// What the background programs are started with, and whether the pause can wait, follow
// from these.
#pragma once
#include <windows.h>

// Room for a TOKEN_USER and the longest SID it can point to.
static const DWORD kTokenUserUnits =
    (sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1;

// A function of a loaded system DLL, looked up at run time (those of Vista and later, and
// those of DLLs the image does not import); NULL when the DLL is not loaded or lacks it.
FARPROC FindSystemCall(const wchar_t* module, const char* name);

// System32's path of `name` into `path` (PATH_UNITS); 0 when it cannot be had.
int ComposeSystemPath(wchar_t* path, const wchar_t* name);

// A system DLL loaded by its System32 path, never by a name the search could resolve
// elsewhere; NULL when it cannot be. The caller frees it.
HMODULE LoadSystemLibrary(const wchar_t* name);

// ntdll's version of Windows, which no compatibility layer changes; 0 when unknown.
DWORD WindowsMajorVersion(DWORD* minor);

// 0 only when the process's window station is known to be invisible (a service's, say):
// nobody sees its windows or can press a key there.
int IsWindowStationVisible(void);

// What the tool's own token says of it: the user (TOKEN_USER, held in `user`) and, from
// Vista on, whether it was elevated from a split token. 0 when either cannot be read.
int ReadOwnToken(DWORD* user, DWORD userBytes, int* splitElevated);

// 1 when the process's token names this user; 0 when another, or when it cannot be read.
int IsProcessOfUser(HANDLE process, PSID user);

// 1 when a user is logged on in that session, or when that cannot be told.
int IsUserLoggedOn(DWORD session);
