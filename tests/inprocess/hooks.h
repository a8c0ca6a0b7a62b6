// Force-included ahead of the tool's sources in the test build only: every Windows and
// runtime call the tool makes is renamed to a hook (hooks.cpp) that calls the real
// function by default and that the tests can observe and steer (hook_control.h).
#pragma once
// stdio.h first: once a header reaches the C++ library, mingw switches the printf family
// to its ISO variant, in which "%s" in a wide format takes a narrow string.
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

LONG Hook_RegOpenKeyExW(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key);
LONG Hook_RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size);
LONG Hook_RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                         DWORD size);
LONG Hook_RegCloseKey(HKEY key);
SC_HANDLE Hook_OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
SC_HANDLE Hook_OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access);
SC_HANDLE Hook_CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access,
                              DWORD serviceType, DWORD startType, DWORD errorControl,
                              LPCWSTR binaryPath, LPCWSTR group, LPDWORD tag,
                              LPCWSTR dependencies, LPCWSTR account, LPCWSTR password);
BOOL Hook_QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer,
                               DWORD size, LPDWORD needed);
BOOL Hook_QueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size,
                              LPDWORD needed);
BOOL Hook_ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                               DWORD errorControl, LPCWSTR binaryPath, LPCWSTR group,
                               LPDWORD tag, LPCWSTR dependencies, LPCWSTR account,
                               LPCWSTR password, LPCWSTR displayName);
BOOL Hook_StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
BOOL Hook_CloseServiceHandle(SC_HANDLE handle);
UINT Hook_GetWindowsDirectoryW(LPWSTR buffer, UINT size);
HANDLE Hook_CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Hook_Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Hook_Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Hook_CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
                         LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                         LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                         LPPROCESS_INFORMATION info);
BOOL Hook_CloseHandle(HANDLE handle);
DWORD Hook_GetTickCount(void);
void Hook_Sleep(DWORD milliseconds);
HLOCAL Hook_LocalAlloc(UINT flags, SIZE_T size);
HLOCAL Hook_LocalFree(HLOCAL memory);
BOOL Hook_SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int folder, BOOL create);
BOOL Hook_PathAppendW(LPWSTR path, LPCWSTR more);
LPWSTR Hook_PathCombineW(LPWSTR dest, LPCWSTR dir, LPCWSTR file);
BOOL Hook_PathFileExistsW(LPCWSTR path);
HRESULT Hook_CoInitialize(LPVOID reserved);
HRESULT Hook_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                              LPVOID* object);
void Hook_CoUninitialize(void);
wchar_t* Hook__wsetlocale(int category, const wchar_t* name);
wchar_t* Hook__wcsdup(const wchar_t* text);
void Hook_free(void* memory);
int Hook__wsystem(const wchar_t* command);
int Hook_vwprintf(const wchar_t* format, va_list arguments);
HMODULE Hook_GetModuleHandleW(LPCWSTR name);
FARPROC Hook_GetProcAddress(HMODULE module, LPCSTR name);
BOOL Hook_SetDllDirectoryW(LPCWSTR path);
BOOL Hook_GetVersionExW(LPOSVERSIONINFOW version);
UINT Hook_GetSystemDirectoryW(LPWSTR buffer, UINT size);
HMODULE Hook_LoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags);
BOOL Hook_SetCurrentDirectoryW(LPCWSTR path);

#define RegOpenKeyExW Hook_RegOpenKeyExW
#define RegQueryValueExW Hook_RegQueryValueExW
#define RegSetValueExW Hook_RegSetValueExW
#define RegCloseKey Hook_RegCloseKey
#define OpenSCManagerW Hook_OpenSCManagerW
#define OpenServiceW Hook_OpenServiceW
#define CreateServiceW Hook_CreateServiceW
#define QueryServiceStatusEx Hook_QueryServiceStatusEx
#define QueryServiceConfigW Hook_QueryServiceConfigW
#define ChangeServiceConfigW Hook_ChangeServiceConfigW
#define StartServiceW Hook_StartServiceW
#define CloseServiceHandle Hook_CloseServiceHandle
#define GetWindowsDirectoryW Hook_GetWindowsDirectoryW
#define CreateToolhelp32Snapshot Hook_CreateToolhelp32Snapshot
#define Process32FirstW Hook_Process32FirstW
#define Process32NextW Hook_Process32NextW
#define CreateProcessW Hook_CreateProcessW
#define CloseHandle Hook_CloseHandle
#define GetTickCount Hook_GetTickCount
#define Sleep Hook_Sleep
#define LocalAlloc Hook_LocalAlloc
#define LocalFree Hook_LocalFree
#define SHGetSpecialFolderPathW Hook_SHGetSpecialFolderPathW
#define PathAppendW Hook_PathAppendW
#define PathCombineW Hook_PathCombineW
#define PathFileExistsW Hook_PathFileExistsW
#define CoInitialize Hook_CoInitialize
#define CoCreateInstance Hook_CoCreateInstance
#define CoUninitialize Hook_CoUninitialize
#define _wsetlocale Hook__wsetlocale
#define _wcsdup Hook__wcsdup
#define free Hook_free
#define _wsystem Hook__wsystem
#define vwprintf Hook_vwprintf
#define GetModuleHandleW Hook_GetModuleHandleW
#define GetProcAddress Hook_GetProcAddress
#define SetDllDirectoryW Hook_SetDllDirectoryW
#define GetVersionExW Hook_GetVersionExW
#define GetSystemDirectoryW Hook_GetSystemDirectoryW
#define LoadLibraryExW Hook_LoadLibraryExW
#define SetCurrentDirectoryW Hook_SetCurrentDirectoryW
