// The functions the tool looks up at run time, each typed once here: those that Windows XP
// lacks, and those of the DLLs the image does not import (ntdll and user32, which every run
// has loaded; wtsapi32, userenv and oleaut32, loaded by their System32 paths). A lookup
// gives NULL where this Windows lacks the function.
#pragma once
#include <windows.h>
#include <wtsapi32.h>

// CALL(DLL, result, name, parameters)
#define SYSTEM_CALLS(CALL)                                                                     \
    CALL(L"kernel32.dll", BOOL, SetDefaultDllDirectories, (DWORD flags))                       \
    CALL(L"kernel32.dll", DWORD, WTSGetActiveConsoleSessionId, (void))                         \
    CALL(L"kernel32.dll", BOOL, ProcessIdToSessionId, (DWORD processId, DWORD * session))      \
    CALL(L"ntdll.dll", LONG, RtlGetVersion, (OSVERSIONINFOW * version))                        \
    CALL(L"user32.dll", HWND, GetShellWindow, (void))                                          \
    CALL(L"user32.dll", DWORD, GetWindowThreadProcessId, (HWND window, DWORD * processId))     \
    CALL(L"user32.dll", HWINSTA, GetProcessWindowStation, (void))                              \
    CALL(L"user32.dll", BOOL, GetUserObjectInformationW,                                       \
         (HANDLE object, int index, void* information, DWORD size, DWORD* needed))             \
    CALL(L"wtsapi32.dll", BOOL, WTSEnumerateSessionsW,                                         \
         (HANDLE server, DWORD reserved, DWORD version, WTS_SESSION_INFOW * *sessions,         \
          DWORD * count))                                                                      \
    CALL(L"wtsapi32.dll", BOOL, WTSQuerySessionInformationW,                                   \
         (HANDLE server, DWORD session, WTS_INFO_CLASS kind, wchar_t** buffer, DWORD* bytes))  \
    CALL(L"wtsapi32.dll", BOOL, WTSEnumerateProcessesW,                                        \
         (HANDLE server, DWORD reserved, DWORD version, WTS_PROCESS_INFOW * *processes,        \
          DWORD * count))                                                                      \
    CALL(L"wtsapi32.dll", void, WTSFreeMemory, (void* memory))                                 \
    CALL(L"wtsapi32.dll", BOOL, WTSQueryUserToken, (ULONG session, HANDLE * token))            \
    CALL(L"userenv.dll", BOOL, CreateEnvironmentBlock,                                         \
         (void** environment, HANDLE token, BOOL inherit))                                     \
    CALL(L"userenv.dll", BOOL, DestroyEnvironmentBlock, (void* environment))                   \
    CALL(L"oleaut32.dll", BSTR, SysAllocString, (const OLECHAR* text))                         \
    CALL(L"oleaut32.dll", void, SysFreeString, (BSTR text))

// <name>Call, the function's type, and <name>Dll, the DLL that has it.
#define SYSTEM_CALL_TYPE(dll, result, name, parameters) \
    typedef result(WINAPI* name##Call) parameters;      \
    static const wchar_t name##Dll[] = dll;
SYSTEM_CALLS(SYSTEM_CALL_TYPE)
#undef SYSTEM_CALL_TYPE

// The function `name` of `module`, or, for a NULL module, of `dll` where the process has
// loaded it already (kernel32, ntdll, user32).
void* FindSystemCall(HMODULE module, const wchar_t* dll, const char* name);

// A function of a DLL every run has loaded, and of a DLL the caller loaded (`module`, NULL
// when it could not be): as its <name>Call, or NULL.
#define LOOK_UP(name) reinterpret_cast<name##Call>(FindSystemCall(NULL, name##Dll, #name))
#define LOOK_UP_IN(module, name) \
    ((module) != NULL ? reinterpret_cast<name##Call>(FindSystemCall(module, name##Dll, #name)) \
                      : NULL)

// System32's path of `name` into `path` (PATH_UNITS); 0 when it cannot be had.
int ComposeSystemPath(wchar_t* path, const wchar_t* name);

// A system DLL loaded by its System32 path, never by a name the search could resolve
// elsewhere; NULL when it cannot be. The caller frees it.
HMODULE LoadSystemLibrary(const wchar_t* name);

// ntdll's version of Windows, which no manifest changes (unlike GetVersionExW's); 0 when unknown.
DWORD WindowsMajorVersion(DWORD* minor);
