#include "repair/operations.h"

#include "platform/session.h"

#include <tlhelp32.h>
#include <string.h>
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

// Declared by the headers only for Vista and later; the tool builds for XP.
typedef HWND(WINAPI* GetShellWindowProc)(void);
typedef DWORD(WINAPI* GetWindowThreadProcessIdProc)(HWND window, DWORD* processId);
typedef BOOL(WINAPI* InitializeProcThreadAttributeListProc)(LPPROC_THREAD_ATTRIBUTE_LIST list,
                                                            DWORD count, DWORD flags,
                                                            SIZE_T* size);
typedef BOOL(WINAPI* UpdateProcThreadAttributeProc)(LPPROC_THREAD_ATTRIBUTE_LIST list,
                                                    DWORD flags, DWORD_PTR attribute,
                                                    void* value, SIZE_T size, void* previous,
                                                    SIZE_T* returned);
typedef void(WINAPI* DeleteProcThreadAttributeListProc)(LPPROC_THREAD_ATTRIBUTE_LIST list);
typedef DWORD(WINAPI* WTSGetActiveConsoleSessionIdProc)(void);
// The functions of DLLs the image does not import.
typedef BOOL(WINAPI* WTSQueryUserTokenProc)(ULONG session, HANDLE* token);
typedef BOOL(WINAPI* CreateEnvironmentBlockProc)(void** environment, HANDLE token, BOOL inherit);
typedef BOOL(WINAPI* DestroyEnvironmentBlockProc)(void* environment);

static const DWORD_PTR kParentProcessAttribute = 0x00020000;
static const DWORD kExtendedStartupInfoPresent = 0x00080000;
// Room for a list of one attribute, which needs 48 bytes on 64-bit Windows.
static const SIZE_T kAttributeListBytes = 64;
static const DWORD kNoConsoleSession = 0xFFFFFFFF;
// Opened to be the programs' parent, and to tell whose it is.
static const DWORD kShellAccess = PROCESS_CREATE_PROCESS | PROCESS_QUERY_INFORMATION;
// The interactive desktop, where a logon starts the user's programs.
static const wchar_t kUserDesktop[] = L"winsta0\\default";

struct ExtendedStartupInfo {
    STARTUPINFOW startup;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes;
};

// The attribute list functions of Vista and later, or all NULL.
struct AttributeListCalls {
    InitializeProcThreadAttributeListProc initialize;
    UpdateProcThreadAttributeProc update;
    DeleteProcThreadAttributeListProc remove;
};

static int FindAttributeListCalls(AttributeListCalls* calls)
{
    calls->initialize = reinterpret_cast<InitializeProcThreadAttributeListProc>(
        reinterpret_cast<void*>(
            FindSystemCall(L"kernel32.dll", "InitializeProcThreadAttributeList")));
    calls->update = reinterpret_cast<UpdateProcThreadAttributeProc>(
        reinterpret_cast<void*>(FindSystemCall(L"kernel32.dll", "UpdateProcThreadAttribute")));
    calls->remove = reinterpret_cast<DeleteProcThreadAttributeListProc>(
        reinterpret_cast<void*>(FindSystemCall(L"kernel32.dll", "DeleteProcThreadAttributeList")));
    return calls->initialize != NULL && calls->update != NULL && calls->remove != NULL;
}

// The process that owns the desktop's shell window, or 0 when there is none.
static DWORD ShellProcessId(void)
{
    GetShellWindowProc getShellWindow = reinterpret_cast<GetShellWindowProc>(
        reinterpret_cast<void*>(FindSystemCall(L"user32.dll", "GetShellWindow")));
    GetWindowThreadProcessIdProc getWindowProcess =
        reinterpret_cast<GetWindowThreadProcessIdProc>(
            reinterpret_cast<void*>(FindSystemCall(L"user32.dll", "GetWindowThreadProcessId")));
    HWND shell = getShellWindow != NULL ? getShellWindow() : NULL;
    DWORD shellId = 0;
    if (shell == NULL || getWindowProcess == NULL || getWindowProcess(shell, &shellId) == 0) {
        return 0;
    }
    return shellId;
}

// The console session into `session` (kNoConsoleSession when none is attached); 0 when
// this Windows cannot tell (Microsoft documents the function from Vista on).
static int ReadConsoleSession(DWORD* session)
{
    WTSGetActiveConsoleSessionIdProc getSession =
        reinterpret_cast<WTSGetActiveConsoleSessionIdProc>(reinterpret_cast<void*>(
            FindSystemCall(L"kernel32.dll", "WTSGetActiveConsoleSessionId")));
    if (getSession == NULL) {
        return 0;
    }
    *session = getSession();
    return 1;
}

// LocalSystem starts the programs as the user at the console, with that user's token;
// nobody there: the next logon starts them, and nothing is missing yet.
static LaunchWay ChooseConsoleUser(ProgramLauncher* launcher)
{
    DWORD session = kNoConsoleSession;
    if (!ReadConsoleSession(&session)) {
        return kLaunchRefused;
    }
    if (session == kNoConsoleSession) {
        return kLaunchAtLogon;
    }
    HMODULE wts = LoadSystemLibrary(L"wtsapi32.dll");
    WTSQueryUserTokenProc queryToken = wts == NULL ? NULL
        : reinterpret_cast<WTSQueryUserTokenProc>(
              reinterpret_cast<void*>(GetProcAddress(wts, "WTSQueryUserToken")));
    HANDLE token = NULL;
    LaunchWay way = kLaunchRefused;
    if (queryToken != NULL && queryToken(session, &token)) {
        launcher->userToken = token;
        way = kLaunchAsConsoleUser;
    } else if (queryToken != NULL && GetLastError() == ERROR_NO_TOKEN) {
        way = kLaunchAtLogon;
    }
    if (wts != NULL) {
        FreeLibrary(wts);
    }
    return way;
}

// On a desktop someone sees: a full token of a split pair starts the programs as children
// of that user's own desktop shell, which hands them its unelevated token; a token that is
// the user's only one starts them itself, unless the shell shows another user's desktop.
static LaunchWay ChooseOnDesktop(PSID user, int splitElevated, ProgramLauncher* launcher)
{
    DWORD shellId = ShellProcessId();
    if (shellId == 0) {
        return splitElevated ? kLaunchRefused : kLaunchOwnToken;
    }
    HANDLE shell = OpenProcess(kShellAccess, FALSE, shellId);
    if (shell == NULL) {
        return kLaunchRefused;
    }
    LaunchWay way = !IsProcessOfUser(shell, user) ? kLaunchRefused
        : splitElevated                           ? kLaunchUnderShell
                                                  : kLaunchOwnToken;
    // Held for the launches under it; the run closes it as it ends.
    if (way == kLaunchUnderShell) {
        launcher->shell = shell;
    } else {
        CloseHandle(shell);
    }
    return way;
}

// Decided once, at the first missing program: whose rights the programs run with, if anyone's.
static LaunchWay ChooseLaunchWay(ProgramLauncher* launcher)
{
    DWORD user[kTokenUserUnits] = {};
    int splitElevated = 0;
    if (!ReadOwnToken(user, sizeof user, &splitElevated)) {
        return kLaunchRefused;
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    if (IsWellKnownSid(sid, WinLocalSystemSid)) {
        return ChooseConsoleUser(launcher);
    }
    // Another account where nobody sees (a deployment tool's, a scheduled task's): its
    // programs would run hidden, as that account.
    if (!IsWindowStationVisible()) {
        DWORD session = kNoConsoleSession;
        return !ReadConsoleSession(&session)
                || (session != kNoConsoleSession && IsUserLoggedOn(session))
            ? kLaunchRefused
            : kLaunchAtLogon;
    }
    return ChooseOnDesktop(sid, splitElevated, launcher);
}

// CreateProcessW with `parent` as the new process's parent, whose token it then inherits.
static int LaunchUnderParent(HANDLE parent, wchar_t* commandLine, PROCESS_INFORMATION* info)
{
    AttributeListCalls calls = {};
    DWORD_PTR storage[kAttributeListBytes / sizeof(DWORD_PTR)] = {};
    LPPROC_THREAD_ATTRIBUTE_LIST list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
    SIZE_T size = 0;
    if (!FindAttributeListCalls(&calls)) {
        return 0;
    }
    calls.initialize(NULL, 1, 0, &size);
    if (size == 0 || size > sizeof storage || !calls.initialize(list, 1, 0, &size)) {
        return 0;
    }
    ExtendedStartupInfo startup = {};
    startup.startup.cb = sizeof startup;
    startup.attributes = list;
    int launched =
        calls.update(list, 0, kParentProcessAttribute, &parent, sizeof parent, NULL, NULL)
        && CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, kExtendedStartupInfoPresent,
                          NULL, NULL, &startup.startup, info);
    calls.remove(list);
    return launched;
}

// As a logon starts it: the user's token, the user's environment, the user's desktop.
static int LaunchAsUser(HANDLE token, wchar_t* commandLine, PROCESS_INFORMATION* info)
{
    HMODULE userenv = LoadSystemLibrary(L"userenv.dll");
    if (userenv == NULL) {
        return 0;
    }
    CreateEnvironmentBlockProc createBlock = reinterpret_cast<CreateEnvironmentBlockProc>(
        reinterpret_cast<void*>(GetProcAddress(userenv, "CreateEnvironmentBlock")));
    DestroyEnvironmentBlockProc destroyBlock = reinterpret_cast<DestroyEnvironmentBlockProc>(
        reinterpret_cast<void*>(GetProcAddress(userenv, "DestroyEnvironmentBlock")));
    void* environment = NULL;
    int launched = 0;
    if (createBlock != NULL && destroyBlock != NULL && createBlock(&environment, token, FALSE)) {
        wchar_t desktop[sizeof kUserDesktop / sizeof kUserDesktop[0]];
        memcpy(desktop, kUserDesktop, sizeof desktop);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.lpDesktop = desktop;
        launched = CreateProcessAsUserW(token, NULL, commandLine, NULL, NULL, FALSE,
                                        CREATE_UNICODE_ENVIRONMENT, environment, NULL, &startup,
                                        info);
        destroyBlock(environment);
    }
    FreeLibrary(userenv);
    return launched;
}

static int LaunchProgram(const ProgramLauncher* launcher, wchar_t* commandLine,
                         PROCESS_INFORMATION* info)
{
    if (launcher->way == kLaunchUnderShell) {
        return LaunchUnderParent(launcher->shell, commandLine, info);
    }
    if (launcher->way == kLaunchAsConsoleUser) {
        return LaunchAsUser(launcher->userToken, commandLine, info);
    }
    if (launcher->way != kLaunchOwnToken) {
        return 0;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, info);
}

int EnsureProcessRunning(const wchar_t* name, wchar_t* commandLine, ProgramLauncher* launcher)
{
    if (FindProcessByName(name) != 0) {
        return 1;
    }
    if (launcher->way == kLaunchUnchosen) {
        launcher->way = ChooseLaunchWay(launcher);
    }
    if (launcher->way == kLaunchAtLogon) {
        return 1;
    }
    PROCESS_INFORMATION info = {};
    if (!LaunchProgram(launcher, commandLine, &info)) {
        return 0;
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return FindProcessByName(name) != 0;
}

void ReleaseProgramLauncher(ProgramLauncher* launcher)
{
    if (launcher->shell != NULL) {
        CloseHandle(launcher->shell);
        launcher->shell = NULL;
    }
    if (launcher->userToken != NULL) {
        CloseHandle(launcher->userToken);
        launcher->userToken = NULL;
    }
}
