#include "repair/operations.h"

#include <tlhelp32.h>
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

static const DWORD_PTR kParentProcessAttribute = 0x00020000;
static const DWORD kExtendedStartupInfoPresent = 0x00080000;
// Room for a list of one attribute, which needs 48 bytes on 64-bit Windows.
static const SIZE_T kAttributeListBytes = 64;

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

static FARPROC FindCall(const wchar_t* module, const char* name)
{
    HMODULE loaded = GetModuleHandleW(module);
    return loaded != NULL ? GetProcAddress(loaded, name) : NULL;
}

static int FindAttributeListCalls(AttributeListCalls* calls)
{
    calls->initialize = reinterpret_cast<InitializeProcThreadAttributeListProc>(
        reinterpret_cast<void*>(FindCall(L"kernel32.dll", "InitializeProcThreadAttributeList")));
    calls->update = reinterpret_cast<UpdateProcThreadAttributeProc>(
        reinterpret_cast<void*>(FindCall(L"kernel32.dll", "UpdateProcThreadAttribute")));
    calls->remove = reinterpret_cast<DeleteProcThreadAttributeListProc>(
        reinterpret_cast<void*>(FindCall(L"kernel32.dll", "DeleteProcThreadAttributeList")));
    return calls->initialize != NULL && calls->update != NULL && calls->remove != NULL;
}

// 1 when the tool runs as LocalSystem, or when its own token cannot tell whose it is.
static int RunsAsLocalSystemOrUnknown(void)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return 1;
    }
    DWORD user[64] = {};
    DWORD size = 0;
    int system = !GetTokenInformation(token, TokenUser, user, sizeof user, &size)
        || IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, WinLocalSystemSid);
    CloseHandle(token);
    return system;
}

// The desktop shell's process, opened to be a parent, or NULL: no shell window, or no way
// to name a parent on this Windows.
static HANDLE OpenShellProcess(void)
{
    GetShellWindowProc getShellWindow = reinterpret_cast<GetShellWindowProc>(
        reinterpret_cast<void*>(FindCall(L"user32.dll", "GetShellWindow")));
    GetWindowThreadProcessIdProc getWindowProcess =
        reinterpret_cast<GetWindowThreadProcessIdProc>(
            reinterpret_cast<void*>(FindCall(L"user32.dll", "GetWindowThreadProcessId")));
    HWND shell = getShellWindow != NULL ? getShellWindow() : NULL;
    DWORD shellId = 0;
    if (shell == NULL || getWindowProcess == NULL || getWindowProcess(shell, &shellId) == 0
        || shellId == 0) {
        return NULL;
    }
    return OpenProcess(PROCESS_CREATE_PROCESS, FALSE, shellId);
}

// CreateProcessW with `parent` as the new process's parent, whose token it then inherits.
static int LaunchUnderParent(HANDLE parent, const AttributeListCalls* calls,
                             wchar_t* commandLine, PROCESS_INFORMATION* info)
{
    DWORD_PTR storage[kAttributeListBytes / sizeof(DWORD_PTR)] = {};
    LPPROC_THREAD_ATTRIBUTE_LIST list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
    SIZE_T size = 0;
    calls->initialize(NULL, 1, 0, &size);
    if (size == 0 || size > sizeof storage || !calls->initialize(list, 1, 0, &size)) {
        return 0;
    }
    ExtendedStartupInfo startup = {};
    startup.startup.cb = sizeof startup;
    startup.attributes = list;
    int launched =
        calls->update(list, 0, kParentProcessAttribute, &parent, sizeof parent, NULL, NULL)
        && CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, kExtendedStartupInfoPresent,
                          NULL, NULL, &startup.startup, info);
    calls->remove(list);
    return launched;
}

// Starts the program at the level a user's own logon would: as a child of the user's
// desktop shell where there is one; not at all as LocalSystem, where the Run values and
// the shortcut start it at the next logon; otherwise with the tool's own token.
static int LaunchProgram(wchar_t* commandLine, PROCESS_INFORMATION* info)
{
    if (RunsAsLocalSystemOrUnknown()) {
        return 0;
    }
    AttributeListCalls calls = {};
    HANDLE shell = FindAttributeListCalls(&calls) ? OpenShellProcess() : NULL;
    if (shell == NULL) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        return CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                              info);
    }
    int launched = LaunchUnderParent(shell, &calls, commandLine, info);
    CloseHandle(shell);
    return launched;
}

int EnsureProcessRunning(const wchar_t* name, wchar_t* commandLine)
{
    if (FindProcessByName(name) != 0) {
        return 1;
    }
    PROCESS_INFORMATION info = {};
    if (!LaunchProgram(commandLine, &info)) {
        return 0;
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return FindProcessByName(name) != 0;
}
