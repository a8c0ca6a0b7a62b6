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
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

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
static wchar_t gRejectedLocale[64];
static int gRunSystem = 1;
static int gFakeLink;
static HRESULT gFakeQueryResult;
static IUnknown* gTrackedLink;
static long gComLeft = -1;

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
                                           L"locale", L"unknown"};
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
    gRejectedLocale[0] = L'\0';
    gRunSystem = 1;
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

void HookSettle(void)
{
    if (gTrackedLink != NULL) {
        gComLeft = (long)gTrackedLink->Release();
        gTrackedLink = NULL;
    }
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

// ---- Registry -------------------------------------------------------------------------

LONG Hook_RegOpenKeyExW(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key)
{
    LogEvent(L"RegOpenKeyExW %s 0x%lX", Text(path), (unsigned long)access);
    DWORD error;
    if (Faulted(L"RegOpenKeyExW", &error)) {
        return (LONG)error;
    }
    LONG result = RegOpenKeyExW(root, path, options, access, key);
    if (result == ERROR_SUCCESS) {
        Acquire(kHookRegistryKey, *key);
    }
    return result;
}

LONG Hook_RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size)
{
    LogEvent(L"RegQueryValueExW %s", Text(name));
    DWORD error;
    if (Faulted(L"RegQueryValueExW", &error)) {
        return (LONG)error;
    }
    return RegQueryValueExW(key, name, reserved, type, data, size);
}

LONG Hook_RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                         DWORD size)
{
    LogEvent(L"RegSetValueExW %s type=%lu size=%lu", Text(name), (unsigned long)type,
             (unsigned long)size);
    DWORD error;
    if (Faulted(L"RegSetValueExW", &error)) {
        return (LONG)error;
    }
    return RegSetValueExW(key, name, reserved, type, data, size);
}

LONG Hook_RegCloseKey(HKEY key)
{
    LogEvent(L"RegCloseKey");
    Release(key);
    return RegCloseKey(key);
}

// ---- Service Control Manager ----------------------------------------------------------

SC_HANDLE Hook_OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    LogEvent(L"OpenSCManagerW 0x%lX", (unsigned long)access);
    DWORD error;
    if (Faulted(L"OpenSCManagerW", &error)) {
        SetLastError(error);
        return NULL;
    }
    SC_HANDLE manager = OpenSCManagerW(machine, database, access);
    if (manager != NULL) {
        Acquire(kHookManager, manager);
    }
    return manager;
}

SC_HANDLE Hook_OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    LogEvent(L"OpenServiceW %s 0x%lX", Text(name), (unsigned long)access);
    DWORD error;
    if (Faulted(L"OpenServiceW", &error)) {
        SetLastError(error);
        return NULL;
    }
    SC_HANDLE service = OpenServiceW(manager, name, access);
    if (service != NULL) {
        Acquire(kHookService, service);
    }
    return service;
}

SC_HANDLE Hook_CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access,
                              DWORD serviceType, DWORD startType, DWORD errorControl,
                              LPCWSTR binaryPath, LPCWSTR group, LPDWORD tag,
                              LPCWSTR dependencies, LPCWSTR account, LPCWSTR password)
{
    LogEvent(L"CreateServiceW %s|%s|0x%lX|%lu|%lu|%lu|%s|%s|%s|%s|%s|%s", Text(name),
             Text(displayName), (unsigned long)access, (unsigned long)serviceType,
             (unsigned long)startType, (unsigned long)errorControl, Text(binaryPath),
             Text(group), tag ? L"tag" : L"(null)", Text(dependencies), Text(account),
             Text(password));
    DWORD error;
    if (Faulted(L"CreateServiceW", &error)) {
        SetLastError(error);
        return NULL;
    }
    SC_HANDLE service = CreateServiceW(manager, name, displayName, access, serviceType, startType,
                                       errorControl, binaryPath, group, tag, dependencies,
                                       account, password);
    if (service != NULL) {
        Acquire(kHookService, service);
    }
    return service;
}

static int TakeScriptedStatus(LPBYTE buffer, BOOL* result)
{
    if (gScriptNext >= gScriptCount) {
        return 0;
    }
    ScriptedStatus entry = gScript[gScriptNext++];
    if (entry.fails) {
        SetLastError(ERROR_INVALID_HANDLE);
        *result = FALSE;
        return 1;
    }
    SERVICE_STATUS_PROCESS* status = (SERVICE_STATUS_PROCESS*)buffer;
    ZeroMemory(status, sizeof *status);
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = entry.state;
    status->dwCheckPoint = entry.checkPoint;
    status->dwWaitHint = entry.waitHint;
    *result = TRUE;
    return 1;
}

BOOL Hook_QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer,
                               DWORD size, LPDWORD needed)
{
    LogEvent(L"QueryServiceStatusEx level=%d size=%lu", (int)level, (unsigned long)size);
    DWORD error;
    if (Faulted(L"QueryServiceStatusEx", &error)) {
        SetLastError(error);
        return FALSE;
    }
    BOOL result;
    if (TakeScriptedStatus(buffer, &result)) {
        return result;
    }
    return QueryServiceStatusEx(service, level, buffer, size, needed);
}

BOOL Hook_QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size,
                              LPDWORD needed)
{
    LogEvent(L"QueryServiceConfigW size=%lu", (unsigned long)size);
    DWORD error;
    if (Faulted(L"QueryServiceConfigW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    return QueryServiceConfigW(service, config, size, needed);
}

BOOL Hook_ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                               DWORD errorControl, LPCWSTR binaryPath, LPCWSTR group,
                               LPDWORD tag, LPCWSTR dependencies, LPCWSTR account,
                               LPCWSTR password, LPCWSTR displayName)
{
    LogEvent(L"ChangeServiceConfigW 0x%lX|%lu|0x%lX|%s|%s|%s|%s|%s|%s|%s",
             (unsigned long)serviceType, (unsigned long)startType, (unsigned long)errorControl,
             Text(binaryPath), Text(group), tag ? L"tag" : L"(null)", Text(dependencies),
             Text(account), Text(password), Text(displayName));
    DWORD error;
    if (Faulted(L"ChangeServiceConfigW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    return ChangeServiceConfigW(service, serviceType, startType, errorControl, binaryPath, group,
                                tag, dependencies, account, password, displayName);
}

BOOL Hook_StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv)
{
    LogEvent(L"StartServiceW");
    DWORD error;
    if (Faulted(L"StartServiceW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (gAcceptStart) {
        return TRUE;
    }
    BOOL started = StartServiceW(service, argc, argv);
    if (!started) {
        error = GetLastError();
        LogEvent(L"StartServiceW refused %lu", (unsigned long)error);
        SetLastError(error);
    }
    return started;
}

BOOL Hook_CloseServiceHandle(SC_HANDLE handle)
{
    HookResource kind = Release(handle);
    LogEvent(L"CloseServiceHandle %s", KindName(kind));
    return CloseServiceHandle(handle);
}

// ---- Kernel ---------------------------------------------------------------------------

UINT Hook_GetWindowsDirectoryW(LPWSTR buffer, UINT size)
{
    LogEvent(L"GetWindowsDirectoryW");
    DWORD error;
    if (Faulted(L"GetWindowsDirectoryW", &error)) {
        SetLastError(error);
        return 0;
    }
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

HANDLE Hook_CreateToolhelp32Snapshot(DWORD flags, DWORD processId)
{
    LogEvent(L"CreateToolhelp32Snapshot");
    DWORD error;
    if (Faulted(L"CreateToolhelp32Snapshot", &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(flags, processId);
    if (snapshot != INVALID_HANDLE_VALUE) {
        Acquire(kHookSnapshot, snapshot);
    }
    return snapshot;
}

BOOL Hook_Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    DWORD error;
    if (Faulted(L"Process32FirstW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (entry->dwSize != sizeof(PROCESSENTRY32W)) {
        LogEvent(L"Process32FirstW dwSize=%lu", (unsigned long)entry->dwSize);
    }
    return Process32FirstW(snapshot, entry);
}

BOOL Hook_Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    DWORD error;
    if (Faulted(L"Process32NextW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (entry->dwSize != sizeof(PROCESSENTRY32W)) {
        LogEvent(L"Process32NextW dwSize=%lu", (unsigned long)entry->dwSize);
    }
    return Process32NextW(snapshot, entry);
}

BOOL Hook_CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
                         LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                         LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                         LPPROCESS_INFORMATION info)
{
    LogEvent(L"CreateProcessW %s|%s|%d|0x%lX|%s|%s|cb=%lu", Text(application), Text(commandLine),
             inherit, (unsigned long)flags, environment ? L"env" : L"(null)", Text(directory),
             (unsigned long)startup->cb);
    DWORD error;
    if (Faulted(L"CreateProcessW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    BOOL created = CreateProcessW(application, commandLine, process, thread, inherit, flags,
                                  environment, directory, startup, info);
    if (created) {
        Acquire(kHookProcess, info->hProcess);
        Acquire(kHookThread, info->hThread);
    }
    return created;
}

BOOL Hook_CloseHandle(HANDLE handle)
{
    HookResource kind = Release(handle);
    LogEvent(L"CloseHandle %s", KindName(kind));
    return CloseHandle(handle);
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
        return;
    }
    Sleep(milliseconds);
}

HLOCAL Hook_LocalAlloc(UINT flags, SIZE_T size)
{
    LogEvent(L"LocalAlloc %u %lu", flags, (unsigned long)size);
    DWORD error;
    if (Faulted(L"LocalAlloc", &error)) {
        SetLastError(error);
        return NULL;
    }
    HLOCAL memory = LocalAlloc(flags, size);
    if (memory != NULL) {
        Acquire(kHookLocalMemory, memory);
    }
    return memory;
}

HLOCAL Hook_LocalFree(HLOCAL memory)
{
    LogEvent(L"LocalFree");
    Release(memory);
    return LocalFree(memory);
}

// ---- Shell ----------------------------------------------------------------------------

BOOL Hook_SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int folder, BOOL create)
{
    LogEvent(L"SHGetSpecialFolderPathW 0x%X %d", folder, create);
    DWORD error;
    if (Faulted(L"SHGetSpecialFolderPathW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    return SHGetSpecialFolderPathW(owner, path, folder, create);
}

BOOL Hook_PathAppendW(LPWSTR path, LPCWSTR more)
{
    LogEvent(L"PathAppendW %s", Text(more));
    DWORD error;
    if (Faulted(L"PathAppendW", &error)) {
        return FALSE;
    }
    return PathAppendW(path, more);
}

LPWSTR Hook_PathCombineW(LPWSTR dest, LPCWSTR dir, LPCWSTR file)
{
    LogEvent(L"PathCombineW %s", Text(file));
    DWORD error;
    if (Faulted(L"PathCombineW", &error)) {
        dest[0] = L'\0';
        return NULL;
    }
    return PathCombineW(dest, dir, file);
}

BOOL Hook_PathFileExistsW(LPCWSTR path)
{
    LogEvent(L"PathFileExistsW %s", Text(path));
    DWORD error;
    if (Faulted(L"PathFileExistsW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    return PathFileExistsW(path);
}

// ---- COM ------------------------------------------------------------------------------

HRESULT Hook_CoInitialize(LPVOID reserved)
{
    LogEvent(L"CoInitialize");
    DWORD error;
    if (Faulted(L"CoInitialize", &error)) {
        return (HRESULT)error;
    }
    HRESULT result = CoInitialize(reserved);
    if (SUCCEEDED(result)) {
        Acquire(kHookComInit, &gComLeft);
    }
    return result;
}

HRESULT Hook_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                              LPVOID* object)
{
    LogEvent(L"CoCreateInstance context=0x%lX", (unsigned long)context);
    DWORD error;
    if (Faulted(L"CoCreateInstance", &error)) {
        *object = NULL;
        return (HRESULT)error;
    }
    if (gFakeLink) {
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

void Hook_CoUninitialize(void)
{
    LogEvent(L"CoUninitialize");
    Release(&gComLeft);
    HookSettle();
    CoUninitialize();
}

// ---- Runtime --------------------------------------------------------------------------

wchar_t* Hook__wsetlocale(int category, const wchar_t* name)
{
    LogEvent(L"_wsetlocale %d %s", category, Text(name));
    DWORD error;
    if (Faulted(L"_wsetlocale", &error)
        || (name != NULL && gRejectedLocale[0] != L'\0' && lstrcmpW(name, gRejectedLocale) == 0)) {
        return NULL;
    }
    return _wsetlocale(category, name);
}

wchar_t* Hook__wcsdup(const wchar_t* text)
{
    LogEvent(L"_wcsdup %s", Text(text));
    DWORD error;
    if (Faulted(L"_wcsdup", &error)) {
        return NULL;
    }
    wchar_t* copy = _wcsdup(text);
    if (copy != NULL) {
        Acquire(kHookLocaleCopy, copy);
    }
    return copy;
}

void Hook_free(void* memory)
{
    if (memory != NULL) {
        LogEvent(L"free %s", KindName(Release(memory)));
    } else {
        LogEvent(L"free (null)");
    }
    free(memory);
}

int Hook__wsystem(const wchar_t* command)
{
    LogEvent(L"_wsystem %s", Text(command));
    return gRunSystem ? _wsystem(command) : 0;
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

// ---- DLL search -------------------------------------------------------------------------

typedef BOOL(WINAPI* SetDefaultDllDirectoriesProc)(DWORD directoryFlags);
static SetDefaultDllDirectoriesProc gRealSetDefaultDllDirectories;

// What GetProcAddress hands out for SetDefaultDllDirectories: logged, and failed on request.
static BOOL WINAPI Hook_SetDefaultDllDirectories(DWORD directoryFlags)
{
    LogEvent(L"SetDefaultDllDirectories 0x%lX", (unsigned long)directoryFlags);
    DWORD error;
    if (Faulted(L"SetDefaultDllDirectories", &error)) {
        SetLastError(error);
        return FALSE;
    }
    return gRealSetDefaultDllDirectories(directoryFlags);
}

HMODULE Hook_GetModuleHandleW(LPCWSTR name)
{
    LogEvent(L"GetModuleHandleW %s", Text(name));
    DWORD error;
    if (Faulted(L"GetModuleHandleW", &error)) {
        SetLastError(error);
        return NULL;
    }
    return GetModuleHandleW(name);
}

FARPROC Hook_GetProcAddress(HMODULE module, LPCSTR name)
{
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 63);
    LogEvent(L"GetProcAddress %s", wide);
    DWORD error;
    if (Faulted(L"GetProcAddress", &error)) {
        SetLastError(error);
        return NULL;
    }
    FARPROC address = GetProcAddress(module, name);
    if (address == NULL || lstrcmpA(name, "SetDefaultDllDirectories") != 0) {
        return address;
    }
    gRealSetDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void*>(address));
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(Hook_SetDefaultDllDirectories));
}

BOOL Hook_SetDllDirectoryW(LPCWSTR path)
{
    LogEvent(L"SetDllDirectoryW \"%s\"", Text(path));
    DWORD error;
    if (Faulted(L"SetDllDirectoryW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    return SetDllDirectoryW(path);
}

BOOL Hook_GetVersionExW(LPOSVERSIONINFOW version)
{
    LogEvent(L"GetVersionExW");
    DWORD error;
    if (Faulted(L"GetVersionExW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    BOOL known = GetVersionExW(version);
    if (known && gFakeVersionSet) {
        version->dwMajorVersion = gFakeVersion[0];
        version->dwMinorVersion = gFakeVersion[1];
    }
    return known;
}

UINT Hook_GetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    LogEvent(L"GetSystemDirectoryW");
    DWORD error;
    if (Faulted(L"GetSystemDirectoryW", &error)) {
        SetLastError(error);
        return 0;
    }
    return GetSystemDirectoryW(buffer, size);
}

HMODULE Hook_LoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags)
{
    LogEvent(L"LoadLibraryExW %s 0x%lX", Text(path), (unsigned long)flags);
    DWORD error;
    if (Faulted(L"LoadLibraryExW", &error)) {
        SetLastError(error);
        return NULL;
    }
    return LoadLibraryExW(path, file, flags);
}

BOOL Hook_SetCurrentDirectoryW(LPCWSTR path)
{
    LogEvent(L"SetCurrentDirectoryW %s", Text(path));
    DWORD error;
    if (Faulted(L"SetCurrentDirectoryW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    return SetCurrentDirectoryW(path);
}
