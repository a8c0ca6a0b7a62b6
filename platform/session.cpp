#include "platform/session.h"

#include <wtsapi32.h>

#include "platform/system_calls.h"

static const DWORD kNoConsoleSession = 0xFFFFFFFF;
// An account's name or domain, as LookupAccountSidW writes it (UNLEN and more).
static const DWORD kAccountNameUnits = 257;

// wtsapi32, loaded by its System32 path, with the calls that read the sessions.
struct SessionCalls {
    HMODULE module;
    WTSEnumerateSessionsWCall enumerate;
    WTSQuerySessionInformationWCall query;
    WTSEnumerateProcessesWCall processes;
    WTSFreeMemoryCall release;
};

static int OpenSessionCalls(SessionCalls* calls)
{
    calls->module = LoadSystemLibrary(L"wtsapi32.dll");
    calls->enumerate = LOOK_UP_IN(calls->module, WTSEnumerateSessionsW);
    calls->query = LOOK_UP_IN(calls->module, WTSQuerySessionInformationW);
    calls->processes = LOOK_UP_IN(calls->module, WTSEnumerateProcessesW);
    calls->release = LOOK_UP_IN(calls->module, WTSFreeMemory);
    return calls->enumerate != NULL && calls->query != NULL && calls->processes != NULL
        && calls->release != NULL;
}

static void CloseSessionCalls(SessionCalls* calls)
{
    if (calls->module != NULL) {
        FreeLibrary(calls->module);
        calls->module = NULL;
    }
}

// Another account's process may refuse the query ProcessIdToSessionId makes of it; terminal
// services list every process's session without opening any (all users' to administrators).
static int ReadListedSession(DWORD processId, DWORD* session)
{
    SessionCalls calls = {};
    WTS_PROCESS_INFOW* processes = NULL;
    DWORD count = 0;
    int found = 0;
    if (OpenSessionCalls(&calls)
        && calls.processes(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count)) {
        for (DWORD i = 0; i < count && !found; ++i) {
            found = processes[i].ProcessId == processId;
            *session = found ? processes[i].SessionId : *session;
        }
        calls.release(processes);
    }
    CloseSessionCalls(&calls);
    return found;
}

int ReadProcessSession(DWORD processId, DWORD* session)
{
    ProcessIdToSessionIdCall getSession = LOOK_UP(ProcessIdToSessionId);
    return (getSession != NULL && getSession(processId, session))
        || ReadListedSession(processId, session);
}

// Session 0 from Vista on: the services' own, where nobody works.
static int IsServicesSession(void)
{
    DWORD minor = 0;
    if (WindowsMajorVersion(&minor) < 6) {
        return 0;
    }
    DWORD session = kNoConsoleSession;
    return ReadProcessSession(GetCurrentProcessId(), &session) && session == 0;
}

static int IsWindowStationVisible(void)
{
    GetProcessWindowStationCall getStation = LOOK_UP(GetProcessWindowStation);
    GetUserObjectInformationWCall getInformation = LOOK_UP(GetUserObjectInformationW);
    HWINSTA station = getStation != NULL ? getStation() : NULL;
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    // The station's handle is the process's own, never closed.
    return station == NULL || getInformation == NULL
        || !getInformation(station, UOI_FLAGS, &flags, sizeof flags, &needed)
        || (flags.dwFlags & WSF_VISIBLE) != 0;
}

int IsSeenBySomeone(void)
{
    return !IsServicesSession() && IsWindowStationVisible();
}

// TOKEN_USER into `user`, and whether the token is elevated from a split one where Windows
// has that notion (Vista and later); XP's tokens are all of one kind.
static int ReadTokenIdentity(HANDLE token, DWORD* user, DWORD userBytes, int* splitElevated)
{
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, user, userBytes, &size)) {
        return 0;
    }
    DWORD minor = 0;
    TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
    if (WindowsMajorVersion(&minor) >= 6
        && !GetTokenInformation(token, TokenElevationType, &elevation, sizeof elevation, &size)) {
        return 0;
    }
    *splitElevated = elevation == TokenElevationTypeFull;
    return 1;
}

int ReadOwnToken(DWORD* user, DWORD userBytes, int* splitElevated)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return 0;
    }
    int known = ReadTokenIdentity(token, user, userBytes, splitElevated);
    CloseHandle(token);
    return known;
}

static DWORD WindowProcess(HWND window)
{
    GetWindowThreadProcessIdCall getProcessId = LOOK_UP(GetWindowThreadProcessId);
    DWORD processId = 0;
    return window != NULL && getProcessId != NULL && getProcessId(window, &processId) != 0
        ? processId
        : 0;
}

static int IsProcessOfUser(HANDLE process, PSID user)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        return 0;
    }
    DWORD owner[kTokenUserUnits] = {};
    DWORD size = 0;
    int same = GetTokenInformation(token, TokenUser, owner, sizeof owner, &size)
        && EqualSid(reinterpret_cast<TOKEN_USER*>(owner)->User.Sid, user);
    CloseHandle(token);
    return same;
}

int IsWindowOfUser(HWND window, PSID user)
{
    const DWORD processId = WindowProcess(window);
    if (processId == 0) {
        return 0;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    int own = process != NULL && IsProcessOfUser(process, user);
    if (process != NULL) {
        CloseHandle(process);
    }
    return own;
}

// The desktop window's process in the tool's own session: with an administrator's password
// typed for a standard user, whose Explorer shows this session's desktop.
int IsWindowInOwnSession(HWND window)
{
    const DWORD processId = WindowProcess(window);
    DWORD own = kNoConsoleSession, theirs = kNoConsoleSession;
    return processId != 0 && ReadProcessSession(GetCurrentProcessId(), &own)
        && ReadProcessSession(processId, &theirs) && theirs == own;
}

// 1 when a user is logged on in the session, 0 when nobody is, -1 when it cannot be read.
static int SessionHasUser(const SessionCalls* calls, DWORD session)
{
    wchar_t* name = NULL;
    DWORD bytes = 0;
    if (!calls->query(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name, &bytes)) {
        return -1;
    }
    int hasUser = name != NULL && name[0] != L'\0';
    if (name != NULL) {
        calls->release(name);
    }
    return hasUser;
}

// Every session read: nobody logged on, the one active session with a user (Remote
// Desktop's, say), or no single one to choose.
static UserSession FindActiveUserSession(const SessionCalls* calls, DWORD* session)
{
    WTS_SESSION_INFOW* sessions = NULL;
    DWORD count = 0;
    if (!calls->enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        return kUserSessionUnclear;
    }
    DWORD users = 0, active = 0, unreadable = 0;
    for (DWORD i = 0; i < count; ++i) {
        // Listener, idle, down and starting sessions have no user to ask about.
        const WTS_CONNECTSTATE_CLASS state = sessions[i].State;
        int hasUser = state == WTSActive || state == WTSConnected || state == WTSDisconnected
            ? SessionHasUser(calls, sessions[i].SessionId)
            : 0;
        unreadable += hasUser < 0;
        users += hasUser > 0;
        if (hasUser > 0 && state == WTSActive) {
            ++active;
            *session = sessions[i].SessionId;
        }
    }
    calls->release(sessions);
    return unreadable > 0 ? kUserSessionUnclear
        : users == 0      ? kNobodyLoggedOn
        : active == 1     ? kUserSessionFound
                          : kUserSessionUnclear;
}

UserSession FindUserSession(DWORD* session)
{
    // Microsoft documents the console's session from Vista on.
    WTSGetActiveConsoleSessionIdCall getConsole = LOOK_UP(WTSGetActiveConsoleSessionId);
    SessionCalls calls = {};
    UserSession found = kUserSessionUnclear;
    if (getConsole != NULL && OpenSessionCalls(&calls)) {
        *session = getConsole();
        found = *session != kNoConsoleSession && SessionHasUser(&calls, *session) > 0
            ? kUserSessionFound
            : FindActiveUserSession(&calls, session);
    }
    CloseSessionCalls(&calls);
    return found;
}

int QueryUserToken(DWORD session, HANDLE* token)
{
    HMODULE wts = LoadSystemLibrary(L"wtsapi32.dll");
    WTSQueryUserTokenCall query = LOOK_UP_IN(wts, WTSQueryUserToken);
    int given = query != NULL && query(session, token);
    if (wts != NULL) {
        FreeLibrary(wts);
    }
    return given;
}

// LocalSystem's programs are the chosen session's user's; a hidden account's are nobody's
// it can tell, so a copy anywhere counts; a desktop's are its own session's.
void ReadProgramsUser(ProgramsUser* programs)
{
    programs->read = 1;
    programs->users = kUserSessionUnclear;
    programs->inSession = 0;
    if (!ReadOwnToken(programs->user, sizeof programs->user, &programs->splitElevated)) {
        programs->place = kPlaceUnknown;
        return;
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(programs->user)->User.Sid;
    if (IsWellKnownSid(sid, WinLocalSystemSid)) {
        programs->place = kPlaceSystem;
        programs->users = FindUserSession(&programs->session);
        programs->inSession = programs->users == kUserSessionFound;
    } else if (!IsSeenBySomeone()) {
        programs->place = kPlaceHidden;
        programs->users = FindUserSession(&programs->session);
    } else {
        programs->place = kPlaceDesktop;
        programs->users = kUserSessionFound;
        programs->inSession = ReadProcessSession(GetCurrentProcessId(), &programs->session);
    }
}

static int SessionTextIs(const SessionCalls* calls, WTS_INFO_CLASS kind, const wchar_t* expected)
{
    wchar_t* text = NULL;
    DWORD bytes = 0;
    if (!calls->query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, kind, &text, &bytes)) {
        return 0;
    }
    int same = text != NULL && lstrcmpiW(text, expected) == 0;
    if (text != NULL) {
        calls->release(text);
    }
    return same;
}

int IsOwnSessionsUser(PSID user)
{
    wchar_t name[kAccountNameUnits] = {}, domain[kAccountNameUnits] = {};
    DWORD nameUnits = kAccountNameUnits, domainUnits = kAccountNameUnits;
    SID_NAME_USE use;
    SessionCalls calls = {};
    int same = LookupAccountSidW(NULL, user, name, &nameUnits, domain, &domainUnits, &use)
        && OpenSessionCalls(&calls) && SessionTextIs(&calls, WTSUserName, name)
        && SessionTextIs(&calls, WTSDomainName, domain);
    CloseSessionCalls(&calls);
    return same;
}
