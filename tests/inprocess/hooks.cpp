// The hooks behind hooks.h: each one logs its call, fails it when a test asked for that,
// and otherwise calls the real function and keeps the ledger of what was acquired and
// released. Built without C++ library headers so that printf here is the system runtime's,
// and without hooks.h, whose renaming would turn each real call back into its hook.
// stdio.h first, as in hooks.h, so that vwprintf here is the system runtime's.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>
#include <tlhelp32.h>
#include <wtsapi32.h>
#include <exdisp.h>
#include <locale.h>
#include <process.h>
#include <stdarg.h>
#include <stdlib.h>

#include "tests/inprocess/hook_control.h"

static const int kMaxEvents = 2048;
static const int kEventUnits = 320;
static const int kMaxLedger = 256;
static const int kMaxCalls = 64;
static const int kMaxFaults = 8;
static const int kMaxScript = 64;
static const int kMaxSleeps = 256;

struct LedgerEntry {
    HookResource kind;
    void* value;
    int held;
};
struct CallCount {
    const wchar_t* name;
    int count;
};
struct Fault {
    const wchar_t* name;
    int occurrence;
    DWORD error;
};
struct ScriptedStatus {
    DWORD state;
    DWORD checkPoint;
    DWORD waitHint;
    int fails;
};

static wchar_t gEvents[kMaxEvents][kEventUnits];
static int gEventCount;
static LedgerEntry gLedger[kMaxLedger];
static int gLedgerCount;
static int gAcquired[kHookResourceKinds];
static int gReleased[kHookResourceKinds];
static int gBadReleases;
static CallCount gCalls[kMaxCalls];
static int gCallKinds;
static Fault gFaults[kMaxFaults];
static int gFaultCount;
static ScriptedStatus gScript[kMaxScript];
static int gScriptCount;
static int gScriptNext;
static int gAcceptStart;
static int gVirtualClock;
static DWORD gTick;
static DWORD gSleeps[kMaxSleeps];
static int gSleepCount;
static wchar_t gWindowsDirectory[MAX_PATH + 64];
static int gFakeWindowsDirectory;
static DWORD gFakeVersion[2];
static int gFakeVersionSet;
static DWORD gLayerVersion[2];
static int gLayerVersionSet;
static char gLackedExport[64];
static int gLocalSystem;
static int gElevationType;
static int gShellOfAnotherUser;
static int gHiddenStation;
static int gSessionsSet;
static DWORD gConsoleSession;
static HookSession gSessions[8];
static WTS_SESSION_INFOW gSessionInfo[8];
static int gSessionCount;
static int gOwnSessionSet;
static DWORD gOwnSession;
static int gInJob;
static int gChildrenKept;
static DWORD gJobLimits;
static DWORD gWaitCap;
static HANDLE gWorker;
static HANDLE gForeignTokens[16];
static int gForeignTokenCount;
static wchar_t gRejectedLocale[64];
static int gRunSystem;
static int gFakeLink;
static HRESULT gFakeQueryResult;
static IUnknown* gTrackedLink;
static long gComLeft = -1;
static int gHiddenShell;
static wchar_t gHiddenProcess[MAX_PATH];
static DWORD gRevealTick;  // with the virtual clock: hidden only until it reaches this
static const int kMaxPlaced = 8;
static DWORD gPlacedIds[kMaxPlaced];
static DWORD gPlacedSessions[kMaxPlaced];
static BOOL gPlacedRefused[kMaxPlaced];
static int gPlacedCount;
static int gFakeWindows;
static HRESULT gFakeWindowsResult;
static HANDLE gHungRelease;
static HANDLE gHungEntered;

// The real functions behind the hooks of those the tool looks up at run time.
typedef void(WINAPI* WTSFreeMemoryProc)(void* memory);
static WTSFreeMemoryProc gRealWTSFreeMemory;
#define HOOK(...)
#define HOOK_OWN(...)
#define LOOKED_UP(type, name, params, ...) static type(WINAPI* gReal##name) params;
#include "tests/inprocess/hook_list.h"
#undef HOOK
#undef HOOK_OWN
#undef LOOKED_UP

static void LogEvent(const wchar_t* format, ...)
{
    if (gEventCount >= kMaxEvents) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(gEvents[gEventCount], kEventUnits - 1, format, arguments);
    va_end(arguments);
    gEvents[gEventCount][kEventUnits - 1] = L'\0';
    ++gEventCount;
}

// "<name>", or "<name> <formatted arguments>".
static void LogCall(const wchar_t* name, const wchar_t* format, ...)
{
    wchar_t arguments[kEventUnits];
    va_list list;
    va_start(list, format);
    _vsnwprintf(arguments, kEventUnits - 1, format, list);
    va_end(list);
    arguments[kEventUnits - 1] = L'\0';
    LogEvent(arguments[0] != L'\0' ? L"%s %s" : L"%s", name, arguments);
}

static const wchar_t* Text(const wchar_t* text)
{
    return text != NULL ? text : L"(null)";
}

static int CountCall(const wchar_t* name)
{
    for (int i = 0; i < gCallKinds; ++i) {
        if (lstrcmpW(gCalls[i].name, name) == 0) {
            return ++gCalls[i].count;
        }
    }
    if (gCallKinds < kMaxCalls) {
        gCalls[gCallKinds].name = name;
        gCalls[gCallKinds].count = 1;
        ++gCallKinds;
    }
    return 1;
}

// Counts the call and tells whether a test made this one fail, and with which error.
static int Faulted(const wchar_t* name, DWORD* error)
{
    int occurrence = CountCall(name);
    for (int i = 0; i < gFaultCount; ++i) {
        if (lstrcmpW(gFaults[i].name, name) == 0 && gFaults[i].occurrence == occurrence) {
            *error = gFaults[i].error;
            LogEvent(L"%s failed", name);
            return 1;
        }
    }
    return 0;
}

static void Acquire(HookResource kind, void* value)
{
    ++gAcquired[kind];
    if (gLedgerCount < kMaxLedger) {
        gLedger[gLedgerCount].kind = kind;
        gLedger[gLedgerCount].value = value;
        gLedger[gLedgerCount].held = 1;
        ++gLedgerCount;
    }
}

// Returns the kind released, or kHookResourceKinds when the value was not held.
static HookResource Release(void* value)
{
    for (int i = gLedgerCount - 1; i >= 0; --i) {
        if (gLedger[i].held && gLedger[i].value == value) {
            gLedger[i].held = 0;
            ++gReleased[gLedger[i].kind];
            return gLedger[i].kind;
        }
    }
    ++gBadReleases;
    return kHookResourceKinds;
}

static const wchar_t* KindName(HookResource kind)
{
    static const wchar_t* const names[] = {L"key", L"manager", L"service", L"snapshot",
                                           L"process", L"thread", L"local", L"com",
                                           L"locale", L"token", L"environment",
                                           L"session-memory", L"event", L"bstr", L"unknown"};
    return names[kind];
}

// ---- Control --------------------------------------------------------------------------

void HookReset(void)
{
    HookSettle();
    gEventCount = 0;
    gLedgerCount = 0;
    for (int i = 0; i < kHookResourceKinds; ++i) {
        gAcquired[i] = 0;
        gReleased[i] = 0;
    }
    gBadReleases = 0;
    gCallKinds = 0;
    gFaultCount = 0;
    gScriptCount = 0;
    gScriptNext = 0;
    gAcceptStart = 0;
    gVirtualClock = 0;
    gTick = 0;
    gSleepCount = 0;
    gFakeWindowsDirectory = 0;
    gFakeVersionSet = 0;
    gLayerVersionSet = 0;
    gLackedExport[0] = '\0';
    gLocalSystem = 0;
    gElevationType = 0;
    gShellOfAnotherUser = 0;
    gHiddenStation = 0;
    gSessionsSet = 0;
    gOwnSessionSet = 0;
    gInJob = 0;
    gChildrenKept = 0;
    gWaitCap = 0;
    gFakeWindows = 0;
    gForeignTokenCount = 0;
    gHiddenShell = 0;
    gHiddenProcess[0] = L'\0';
    gRevealTick = 0;
    gPlacedCount = 0;
    gRejectedLocale[0] = L'\0';
    gRunSystem = 0;
    gFakeLink = 0;
    gComLeft = -1;
}

void HookFail(const wchar_t* call, int occurrence, DWORD error)
{
    if (gFaultCount < kMaxFaults) {
        gFaults[gFaultCount].name = call;
        gFaults[gFaultCount].occurrence = occurrence;
        gFaults[gFaultCount].error = error;
        ++gFaultCount;
    }
}

int HookCallCount(const wchar_t* call)
{
    for (int i = 0; i < gCallKinds; ++i) {
        if (lstrcmpW(gCalls[i].name, call) == 0) {
            return gCalls[i].count;
        }
    }
    return 0;
}

static void AddScripted(DWORD state, DWORD checkPoint, DWORD waitHint, int fails)
{
    if (gScriptCount < kMaxScript) {
        ScriptedStatus entry = {state, checkPoint, waitHint, fails};
        gScript[gScriptCount++] = entry;
    }
}

void HookScriptStatus(DWORD state, DWORD checkPoint, DWORD waitHint)
{
    AddScripted(state, checkPoint, waitHint, 0);
}

void HookScriptStatusFailure(void)
{
    AddScripted(0, 0, 0, 1);
}

int HookScriptedStatusesLeft(void)
{
    return gScriptCount - gScriptNext;
}

void HookAcceptServiceStart(void)
{
    gAcceptStart = 1;
}

void HookUseVirtualClock(DWORD start)
{
    gVirtualClock = 1;
    gTick = start;
}

DWORD HookVirtualTick(void)
{
    return gTick;
}

int HookSleepCount(void)
{
    return gSleepCount;
}

DWORD HookSleepDuration(int index)
{
    return index >= 0 && index < gSleepCount ? gSleeps[index] : 0;
}

void HookSetWindowsVersion(DWORD major, DWORD minor)
{
    gFakeVersion[0] = major;
    gFakeVersion[1] = minor;
    gFakeVersionSet = 1;
}

void HookSetLayerVersion(DWORD major, DWORD minor)
{
    gLayerVersion[0] = major;
    gLayerVersion[1] = minor;
    gLayerVersionSet = 1;
}

void HookLackExport(const char* name)
{
    lstrcpynA(gLackedExport, name, sizeof gLackedExport);
}

void HookRunAsLocalSystem(void)
{
    gLocalSystem = 1;
}

void HookSetElevationType(int type)
{
    gElevationType = type;
}

void HookShellOfAnotherUser(void)
{
    gShellOfAnotherUser = 1;
}

void HookHideWindowStation(void)
{
    gHiddenStation = 1;
}

void HookHideShellWindow(void)
{
    gHiddenShell = 1;
}

void HookHideProcess(const wchar_t* name)
{
    lstrcpynW(gHiddenProcess, name, MAX_PATH);
}

void HookRevealProcessAt(DWORD tick)
{
    gRevealTick = tick;
}

void HookPlaceProcessInSession(DWORD processId, DWORD session, BOOL refused)
{
    if (gPlacedCount == kMaxPlaced) {
        abort();  // more than a test of this suite places
    }
    gPlacedIds[gPlacedCount] = processId;
    gPlacedSessions[gPlacedCount] = session;
    gPlacedRefused[gPlacedCount++] = refused;
}

void HookSetSessions(DWORD console, const HookSession* sessions, int count)
{
    gSessionsSet = 1;
    gConsoleSession = console;
    gSessionCount = count < 8 ? count : 8;
    for (int i = 0; i < gSessionCount; ++i) {
        gSessions[i] = sessions[i];
    }
}

void HookSetOwnSession(DWORD session)
{
    gOwnSessionSet = 1;
    gOwnSession = session;
}

void HookRunInJob(DWORD limitFlags)
{
    gInJob = 1;
    gJobLimits = limitFlags;
}

void HookKeepChildrenInJob(void)
{
    gChildrenKept = 1;
}

void HookUseFakeShellWindows(HRESULT result, BOOL hung)
{
    gFakeWindows = 1;
    gFakeWindowsResult = result;
    if (hung && gHungRelease == NULL) {
        gHungRelease = CreateEventW(NULL, TRUE, FALSE, NULL);
        gHungEntered = CreateEventW(NULL, TRUE, FALSE, NULL);
    }
}

void HookCapWaits(DWORD milliseconds)
{
    gWaitCap = milliseconds;
}

void HookSetWindowsDirectory(const wchar_t* path)
{
    lstrcpynW(gWindowsDirectory, path, sizeof gWindowsDirectory / sizeof gWindowsDirectory[0]);
    gFakeWindowsDirectory = 1;
}

void HookRejectLocale(const wchar_t* name)
{
    lstrcpynW(gRejectedLocale, name, sizeof gRejectedLocale / sizeof gRejectedLocale[0]);
}

void HookRunSystemCommands(BOOL run)
{
    gRunSystem = run ? 1 : 0;
}

void HookUseFakeShellLink(HRESULT queryInterfaceResult)
{
    gFakeLink = 1;
    gFakeQueryResult = queryInterfaceResult;
}

int HookEventCount(void)
{
    return gEventCount;
}

const wchar_t* HookEvent(int index)
{
    return index >= 0 && index < gEventCount ? gEvents[index] : L"";
}

int HookAcquired(HookResource kind)
{
    return gAcquired[kind];
}

int HookReleased(HookResource kind)
{
    return gReleased[kind];
}

int HookStillHeld(void)
{
    int held = 0;
    for (int i = 0; i < gLedgerCount; ++i) {
        held += gLedger[i].held;
    }
    return held;
}

int HookBadReleases(void)
{
    return gBadReleases;
}

long HookComReferencesLeft(void)
{
    return gComLeft;
}

// The references the tool left on the last COM object it created, released here.
static void SettleComReferences(void)
{
    if (gTrackedLink != NULL) {
        gComLeft = (long)gTrackedLink->Release();
        gTrackedLink = NULL;
    }
}

// Waits for the worker thread the tool started, if any, and forgets it.
static void JoinWorker(void)
{
    if (gWorker != NULL) {
        WaitForSingleObject(gWorker, 60000);
        CloseHandle(gWorker);
        gWorker = NULL;
    }
}

void HookSettle(void)
{
    if (gHungRelease != NULL) {
        SetEvent(gHungRelease);
    }
    JoinWorker();
    if (gHungRelease != NULL) {
        CloseHandle(gHungRelease);
        CloseHandle(gHungEntered);
        gHungRelease = gHungEntered = NULL;
    }
    SettleComReferences();
}

// ---- A link object whose file interface cannot be had --------------------------------

class FakeShellLink : public IShellLinkW {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = NULL;
        if (SUCCEEDED(gFakeQueryResult)) {
            return E_NOINTERFACE;
        }
        return gFakeQueryResult;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetPath(LPWSTR, int, WIN32_FIND_DATAW*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDList(PIDLIST_ABSOLUTE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIDList(PCIDLIST_ABSOLUTE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDescription(LPWSTR, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDescription(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetArguments(LPWSTR, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetArguments(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetHotkey(WORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHotkey(WORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetShowCmd(int*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetShowCmd(int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIconLocation(LPWSTR, int, int*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIconLocation(LPCWSTR, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetRelativePath(LPCWSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resolve(HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPath(LPCWSTR) override { return S_OK; }
    ULONG references = 1;
};

static FakeShellLink gFakeShellLink;

// ---- The shell's windows of an Explorer that fails, or hangs until HookSettle ---------------

class FakeShellWindows : public IShellWindows {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = NULL;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                     EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Item(VARIANT, IDispatch**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Register(IDispatch*, LONG, int, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterPending(LONG, VARIANT*, VARIANT*, int, LONG*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Revoke(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnNavigate(LONG, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnActivated(LONG, VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindWindowSW(VARIANT*, VARIANT*, int, LONG* window, int,
                                           IDispatch** desktop) override
    {
        *window = 0;
        *desktop = NULL;
        if (gHungRelease != NULL) {
            SetEvent(gHungEntered);
            WaitForSingleObject(gHungRelease, 60000);
        }
        return gFakeWindowsResult;
    }
    HRESULT STDMETHODCALLTYPE OnCreated(LONG, IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ProcessAttachDetach(VARIANT_BOOL) override { return E_NOTIMPL; }
    ULONG references = 1;
};

static FakeShellWindows gFakeShellWindows;

// ---- Stand-ins that the hooks of the list call in place of the real function ----------

// Takes a handle, block or reference out of the ledger and names its kind.
static const wchar_t* Released(void* value)
{
    return value != NULL ? KindName(Release(value)) : L"(null)";
}

// The next scripted status, or the service's real one once the script is used up.
static BOOL StatusOrScripted(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                             LPDWORD needed)
{
    if (gScriptNext >= gScriptCount) {
        return QueryServiceStatusEx(service, level, buffer, size, needed);
    }
    ScriptedStatus entry = gScript[gScriptNext++];
    if (entry.fails) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS* status = (SERVICE_STATUS_PROCESS*)buffer;
    ZeroMemory(status, sizeof *status);
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = entry.state;
    status->dwCheckPoint = entry.checkPoint;
    status->dwWaitHint = entry.waitHint;
    return TRUE;
}

static BOOL StartOrAccept(SC_HANDLE service, DWORD argc, LPCWSTR* argv)
{
    if (gAcceptStart) {
        return TRUE;
    }
    BOOL started = StartServiceW(service, argc, argv);
    if (!started) {
        DWORD error = GetLastError();
        LogEvent(L"StartServiceW refused %lu", (unsigned long)error);
        SetLastError(error);
    }
    return started;
}

static UINT WindowsDirectory(LPWSTR buffer, UINT size)
{
    if (!gFakeWindowsDirectory) {
        return GetWindowsDirectoryW(buffer, size);
    }
    UINT length = (UINT)lstrlenW(gWindowsDirectory);
    if (length >= size) {
        return length + 1;
    }
    lstrcpyW(buffer, gWindowsDirectory);
    return length;
}

static BOOL Version(LPOSVERSIONINFOW version)
{
    BOOL known = GetVersionExW(version);
    if (known && gLayerVersionSet) {
        version->dwMajorVersion = gLayerVersion[0];
        version->dwMinorVersion = gLayerVersion[1];
    }
    return known;
}

// Tokens of other processes (the shell's) are told from the tool's own.
static void TokenOpened(BOOL opened, HANDLE process, HANDLE token)
{
    if (!opened) {
        return;
    }
    Acquire(kHookToken, token);
    if (process != GetCurrentProcess() && gForeignTokenCount < 16) {
        gForeignTokens[gForeignTokenCount++] = token;
    }
}

static int IsForeignToken(HANDLE token)
{
    for (int i = 0; i < gForeignTokenCount; ++i) {
        if (gForeignTokens[i] == token) {
            return 1;
        }
    }
    return 0;
}

// The token's own answer, steered where a test asked: LocalSystem or another user as its
// user, another elevation type, or none.
static BOOL SteeredToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                         DWORD size, PDWORD needed)
{
    static DWORD systemSid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    static SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    static PSID otherUser;
    if (kind == TokenElevationType && gElevationType != 0 && !IsForeignToken(token)) {
        if (gElevationType < 0 || size < sizeof(TOKEN_ELEVATION_TYPE)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *(TOKEN_ELEVATION_TYPE*)information = (TOKEN_ELEVATION_TYPE)gElevationType;
        *needed = sizeof(TOKEN_ELEVATION_TYPE);
        return TRUE;
    }
    BOOL known = GetTokenInformation(token, kind, information, size, needed);
    DWORD sidSize = sizeof systemSid;
    if (known && kind == TokenUser && IsForeignToken(token) && gShellOfAnotherUser
        && (otherUser != NULL
            || AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, 1001, 0, 0, 0, &otherUser))) {
        ((TOKEN_USER*)information)->User.Sid = otherUser;
    } else if (known && gLocalSystem && kind == TokenUser && !IsForeignToken(token)
               && CreateWellKnownSid(WinLocalSystemSid, NULL, systemSid, &sidSize)) {
        ((TOKEN_USER*)information)->User.Sid = systemSid;
    }
    return known;
}

static DWORD ConsoleSession(void)
{
    return gSessionsSet ? gConsoleSession : gRealWTSGetActiveConsoleSessionId();
}

static const HookSession* FakedSession(DWORD id)
{
    for (int i = 0; i < gSessionCount; ++i) {
        if (gSessions[i].id == id) {
            return &gSessions[i];
        }
    }
    return NULL;
}

// The sessions a test set, in a record of this file's that WTSFreeMemory's hook knows.
static BOOL Sessions(HANDLE server, DWORD reserved, DWORD version, WTS_SESSION_INFOW** sessions,
                     DWORD* count)
{
    if (!gSessionsSet) {
        return gRealWTSEnumerateSessionsW(server, reserved, version, sessions, count);
    }
    for (int i = 0; i < gSessionCount; ++i) {
        gSessionInfo[i].SessionId = gSessions[i].id;
        gSessionInfo[i].State = gSessions[i].state;
        gSessionInfo[i].pWinStationName = const_cast<wchar_t*>(L"RDP-Tcp");
    }
    *sessions = gSessionInfo;
    *count = (DWORD)gSessionCount;
    return TRUE;
}

// A set session's user is this process's own, or nobody; a session not set has nobody.
static BOOL SessionInformation(HANDLE server, DWORD session, WTS_INFO_CLASS kind,
                               wchar_t** buffer, DWORD* bytes)
{
    if (!gSessionsSet) {
        return gRealWTSQuerySessionInformationW(server, session, kind, buffer, bytes);
    }
    const HookSession* faked = FakedSession(session);
    if (faked != NULL && faked->user < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!gRealWTSQuerySessionInformationW(server, WTS_CURRENT_SESSION, kind, buffer, bytes)) {
        return FALSE;
    }
    if (kind == WTSUserName && (faked == NULL || faked->user == 0)) {
        (*buffer)[0] = L'\0';
    }
    return TRUE;
}

// The desktop's user is another account where the shell is another user's.
static BOOL DesktopUser(HANDLE server, DWORD session, WTS_INFO_CLASS kind, wchar_t** buffer,
                        DWORD* bytes)
{
    BOOL known = SessionInformation(server, session, kind, buffer, bytes);
    if (known && gShellOfAnotherUser && kind == WTSUserName && (*buffer)[0] != L'\0') {
        (*buffer)[0] = (*buffer)[0] == L'~' ? L'-' : L'~';
    }
    return known;
}

static BOOL OwnSession(DWORD processId, DWORD* session)
{
    for (int i = 0; i < gPlacedCount; ++i) {
        if (gPlacedIds[i] == processId && gPlacedRefused[i]) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (gPlacedIds[i] == processId) {
            *session = gPlacedSessions[i];
            return TRUE;
        }
    }
    if (!gOwnSessionSet) {
        return gRealProcessIdToSessionId(processId, session);
    }
    *session = gOwnSession;
    return TRUE;
}

// The terminal services' list, with the sessions a test placed processes in.
static BOOL ListedProcesses(HANDLE server, DWORD reserved, DWORD version,
                            WTS_PROCESS_INFOW** processes, DWORD* count)
{
    if (!gRealWTSEnumerateProcessesW(server, reserved, version, processes, count)) {
        return FALSE;
    }
    for (DWORD i = 0; i < *count; ++i) {
        for (int j = 0; j < gPlacedCount; ++j) {
            if ((*processes)[i].ProcessId == gPlacedIds[j]) {
                (*processes)[i].SessionId = gPlacedSessions[j];
            }
        }
    }
    return TRUE;
}

// Outside any job unless a test put the tool in one, and its programs outside unless a
// job kept them: Wine tells its 32-bit processes that they run in a job that lets nothing
// leave it.
static BOOL InJob(HANDLE process, HANDLE, PBOOL result)
{
    *result = (process == GetCurrentProcess() ? gInJob : gChildrenKept) ? TRUE : FALSE;
    return TRUE;
}

// The test program itself is never ended: the run it stands for would end here.
static BOOL EndProcess(HANDLE process, UINT code)
{
    return process == GetCurrentProcess() ? TRUE : TerminateProcess(process, code);
}

static BOOL JobLimits(HANDLE job, JOBOBJECTINFOCLASS kind, LPVOID information, DWORD size,
                      LPDWORD returned)
{
    if (!gInJob || kind != JobObjectExtendedLimitInformation) {
        return QueryInformationJobObject(job, kind, information, size, returned);
    }
    ZeroMemory(information, size);
    ((JOBOBJECT_EXTENDED_LIMIT_INFORMATION*)information)->BasicLimitInformation.LimitFlags =
        gJobLimits;
    return TRUE;
}

// A thread the tool starts, which HookSettle waits for before the next test.
static HANDLE Worker(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                     LPVOID parameter, DWORD flags, LPDWORD id)
{
    HANDLE thread = CreateThread(security, stack, start, parameter, flags, id);
    if (thread != NULL) {
        JoinWorker();
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &gWorker, SYNCHRONIZE,
                        FALSE, 0);
    }
    return thread;
}

// Cut short where a test asked, once a hung Explorer holds the worker (so that the two
// threads never log at once).
static DWORD CappedWait(HANDLE handle, DWORD milliseconds)
{
    if (gHungEntered != NULL && milliseconds != INFINITE) {
        WaitForSingleObject(gHungEntered, 60000);
    }
    return WaitForSingleObject(handle, gWaitCap != 0 && milliseconds != INFINITE
                                           && milliseconds > gWaitCap
                                           ? gWaitCap
                                           : milliseconds);
}

// The kind of a handle or block the ledger holds, without releasing it.
static const wchar_t* HeldKind(void* value)
{
    for (int i = gLedgerCount - 1; i >= 0; --i) {
        if (gLedger[i].held && gLedger[i].value == value) {
            return KindName(gLedger[i].kind);
        }
    }
    return value != NULL ? L"unheld" : L"(null)";
}

// "<argument> <argument> ...", as the runtime joins them into a command line.
static const wchar_t* Joined(const wchar_t* const* arguments)
{
    static wchar_t line[kEventUnits];
    line[0] = L'\0';
    for (int i = 0; arguments[i] != NULL; ++i) {
        if (i > 0) {
            lstrcatW(line, L" ");
        }
        lstrcatW(line, arguments[i]);
    }
    return line;
}

static void Launched(BOOL created, LPPROCESS_INFORMATION info)
{
    if (!created) {
        return;
    }
    Acquire(kHookProcess, info->hProcess);
    Acquire(kHookThread, info->hThread);
}

static HRESULT TrackedLink(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                           LPVOID* object)
{
    if (gFakeWindows && IsEqualCLSID(clsid, CLSID_ShellWindows)) {
        gFakeShellWindows.references = 1;
        *object = static_cast<IShellWindows*>(&gFakeShellWindows);
        gFakeShellWindows.AddRef();
        gTrackedLink = &gFakeShellWindows;
        return S_OK;
    }
    if (gFakeLink && IsEqualCLSID(clsid, CLSID_ShellLink)) {
        gFakeShellLink.references = 1;
        *object = static_cast<IShellLinkW*>(&gFakeShellLink);
        gFakeShellLink.AddRef();
        gTrackedLink = &gFakeShellLink;
        return S_OK;
    }
    HRESULT result = CoCreateInstance(clsid, outer, context, iid, object);
    if (SUCCEEDED(result)) {
        // One reference of our own tells at uninitialisation what the tool left behind.
        gTrackedLink = (IUnknown*)*object;
        gTrackedLink->AddRef();
    }
    return result;
}

static wchar_t* Locale(int category, const wchar_t* name)
{
    if (name != NULL && gRejectedLocale[0] != L'\0' && lstrcmpW(name, gRejectedLocale) == 0) {
        return NULL;
    }
    return _wsetlocale(category, name);
}

// The window station's flags, without WSF_VISIBLE where a test hid it.
static void HideStation(BOOL known, int index, void* information)
{
    if (known && gHiddenStation && index == UOI_FLAGS) {
        ((USEROBJECTFLAGS*)information)->dwFlags &= ~(DWORD)WSF_VISIBLE;
    }
}

// The console user's token; as the LocalSystem a test made the tool, a copy of this
// process's own, which Windows gives only to LocalSystem.
static BOOL UserToken(ULONG session, HANDLE* token)
{
    if (!gLocalSystem) {
        return gRealWTSQueryUserToken(session, token);
    }
    HANDLE own = NULL;
    BOOL copied = OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)
        && DuplicateTokenEx(own, TOKEN_ALL_ACCESS, NULL, SecurityImpersonation, TokenPrimary,
                            token);
    if (own != NULL) {
        CloseHandle(own);
    }
    return copied;
}

static HWND ShellWindow(void)
{
    return gHiddenShell ? NULL : gRealGetShellWindow();
}

static void SessionQueried(BOOL known, WTS_INFO_CLASS, wchar_t** buffer)
{
    if (known) {
        Acquire(kHookSessionMemory, *buffer);
    }
}

// ---- The hooks of the list with the usual body -----------------------------------------

#define NOTHING
#define HELD_IF(condition, kind, value) \
    if (condition) {                     \
        Acquire(kind, value);            \
    }
// Logs the call, fails it when a test asked for that, and otherwise makes it.
#define HOOK_BODY(type, name, call, failed, then, ...) \
    {                                                  \
        LogCall(L"" #name, __VA_ARGS__);               \
        DWORD error;                                   \
        if (Faulted(L"" #name, &error)) {              \
            SetLastError(error);                       \
            return failed;                             \
        }                                              \
        type result = call;                            \
        then return result;                            \
    }
#define HOOK(type, name, params, call, failed, then, ...) \
    type Hook_##name params HOOK_BODY(type, name, call, failed, then, __VA_ARGS__)
#define HOOK_OWN(type, name, params)
#define LOOKED_UP(type, name, params, call, failed, then, ...) \
    static type WINAPI Hook_##name params HOOK_BODY(type, name, call, failed, then, __VA_ARGS__)
#include "tests/inprocess/hook_list.h"
#undef HOOK
#undef HOOK_OWN
#undef LOOKED_UP

// ---- The hooks written out ---------------------------------------------------------------

// A process walk that the tool starts with a record of the wrong size leaves a note.
static BOOL WalkStep(const wchar_t* name, LPPROCESSENTRY32W entry)
{
    DWORD error;
    if (Faulted(name, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (entry->dwSize != sizeof(PROCESSENTRY32W)) {
        LogEvent(L"%s dwSize=%lu", name, (unsigned long)entry->dwSize);
    }
    return TRUE;
}

// Past the processes a test hid, as if they had ended.
static BOOL PastHidden(HANDLE snapshot, LPPROCESSENTRY32W entry, BOOL found)
{
    const int hidden = gHiddenProcess[0] != L'\0' && (gRevealTick == 0 || gTick < gRevealTick);
    while (found && hidden && lstrcmpW(entry->szExeFile, gHiddenProcess) == 0) {
        found = Process32NextW(snapshot, entry);
    }
    return found;
}

BOOL Hook_Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    return WalkStep(L"Process32FirstW", entry)
        && PastHidden(snapshot, entry, Process32FirstW(snapshot, entry));
}

BOOL Hook_Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    return WalkStep(L"Process32NextW", entry)
        && PastHidden(snapshot, entry, Process32NextW(snapshot, entry));
}

DWORD Hook_GetTickCount(void)
{
    return gVirtualClock ? gTick : GetTickCount();
}

void Hook_Sleep(DWORD milliseconds)
{
    LogEvent(L"Sleep %lu", (unsigned long)milliseconds);
    if (gSleepCount < kMaxSleeps) {
        gSleeps[gSleepCount++] = milliseconds;
    }
    if (gVirtualClock) {
        gTick += milliseconds;
        // A program that appears late is a real one, which needs some real time to appear.
        if (gRevealTick != 0) {
            Sleep(milliseconds / 10);
        }
        return;
    }
    Sleep(milliseconds);
}

void Hook_CoUninitialize(void)
{
    LogEvent(L"CoUninitialize");
    Release(&gComLeft);
    SettleComReferences();
    CoUninitialize();
}

void Hook_free(void* memory)
{
    LogEvent(L"free %s", Released(memory));
    free(memory);
}

int Hook_vwprintf(const wchar_t* format, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    wchar_t text[kEventUnits - 8];
    _vsnwprintf(text, sizeof text / sizeof text[0] - 1, format, copy);
    text[sizeof text / sizeof text[0] - 1] = L'\0';
    va_end(copy);
    LogEvent(L"print %s", text);
    DWORD error;
    if (Faulted(L"vwprintf", &error)) {
        return -1;
    }
    return vwprintf(format, arguments);
}

typedef LONG(WINAPI* RtlGetVersionProc)(OSVERSIONINFOW* version);
typedef void(WINAPI* SysFreeStringProc)(BSTR text);
static RtlGetVersionProc gRealRtlGetVersion;
static SysFreeStringProc gRealSysFreeString;

// What it hands out for RtlGetVersion: the version a test set, or the real one.
static LONG WINAPI Hook_RtlGetVersion(OSVERSIONINFOW* version)
{
    LONG status = gRealRtlGetVersion(version);
    if (status == 0 && gFakeVersionSet) {
        version->dwMajorVersion = gFakeVersion[0];
        version->dwMinorVersion = gFakeVersion[1];
    }
    LogEvent(L"RtlGetVersion %lu.%lu", (unsigned long)version->dwMajorVersion,
             (unsigned long)version->dwMinorVersion);
    return status;
}

static void WINAPI Hook_WTSFreeMemory(void* memory)
{
    LogEvent(L"WTSFreeMemory %s", Released(memory));
    if (memory != gSessionInfo) {
        gRealWTSFreeMemory(memory);
    }
}

static void WINAPI Hook_SysFreeString(BSTR text)
{
    LogEvent(L"SysFreeString %s", Released(text));
    gRealSysFreeString(text);
}

// The functions the tool looks up at run time that the hooks stand in for.
#define HOOK(...)
#define HOOK_OWN(...)
#define LOOKED_UP(type, name, ...) {#name, (void**)&gReal##name, (void*)Hook_##name},
static const struct {
    const char* name;
    void** real;
    void* hook;
} kLookedUp[] = {
#include "tests/inprocess/hook_list.h"
    {"RtlGetVersion", (void**)&gRealRtlGetVersion, (void*)Hook_RtlGetVersion},
    {"WTSFreeMemory", (void**)&gRealWTSFreeMemory, (void*)Hook_WTSFreeMemory},
    {"SysFreeString", (void**)&gRealSysFreeString, (void*)Hook_SysFreeString},
};
#undef HOOK
#undef HOOK_OWN
#undef LOOKED_UP

FARPROC Hook_GetProcAddress(HMODULE module, LPCSTR name)
{
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 63);
    LogEvent(L"GetProcAddress %s", wide);
    DWORD error;
    if (Faulted(L"GetProcAddress", &error) || lstrcmpA(name, gLackedExport) == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    FARPROC address = GetProcAddress(module, name);
    for (const auto& function : kLookedUp) {
        if (address != NULL && lstrcmpA(name, function.name) == 0) {
            *function.real = reinterpret_cast<void*>(address);
            return reinterpret_cast<FARPROC>(function.hook);
        }
    }
    return address;
}
