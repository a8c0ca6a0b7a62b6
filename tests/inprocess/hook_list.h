// Every Windows and runtime call of the tool that the test build hooks, declared once. From
// this list hooks.h declares each Hook_<name>, the build renames <name> to it in the tool's
// sources (hook_renames.h, written by CMake), and hooks.cpp writes the HOOK bodies:
//
//   HOOK(result, name, (parameters), (arguments), result when failed, then, log format, ...)
//     logs "<name> <log format>", fails the call when a test asked for that (the error set
//     as the last error), and otherwise calls the real function; `then` runs on its `result`
//     (HELD_IF enters what it acquired in the ledger, NOTHING does nothing).
//   HOOK_OWN(result, name, (parameters))
//     a hook whose body hooks.cpp writes out.
//
// No include guard: each user defines HOOK and HOOK_OWN and includes the list.

// ---- Registry
HOOK(LONG, RegOpenKeyExW, (HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key),
     (root, path, options, access, key), (LONG)error,
     HELD_IF(result == ERROR_SUCCESS, kHookRegistryKey, *key),
     L"%s 0x%lX", Text(path), (unsigned long)access)
HOOK(LONG, RegQueryValueExW,
     (HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size),
     (key, name, reserved, type, data, size), (LONG)error, NOTHING, L"%s", Text(name))
HOOK(LONG, RegSetValueExW,
     (HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size),
     (key, name, reserved, type, data, size), (LONG)error, NOTHING,
     L"%s type=%lu size=%lu", Text(name), (unsigned long)type, (unsigned long)size)
HOOK_OWN(LONG, RegCloseKey, (HKEY key))

// ---- Service Control Manager
HOOK(SC_HANDLE, OpenSCManagerW, (LPCWSTR machine, LPCWSTR database, DWORD access),
     (machine, database, access), NULL, HELD_IF(result != NULL, kHookManager, result),
     L"0x%lX", (unsigned long)access)
HOOK(SC_HANDLE, OpenServiceW, (SC_HANDLE manager, LPCWSTR name, DWORD access),
     (manager, name, access), NULL, HELD_IF(result != NULL, kHookService, result),
     L"%s 0x%lX", Text(name), (unsigned long)access)
HOOK(SC_HANDLE, CreateServiceW,
     (SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access, DWORD serviceType,
      DWORD startType, DWORD errorControl, LPCWSTR binaryPath, LPCWSTR group, LPDWORD tag,
      LPCWSTR dependencies, LPCWSTR account, LPCWSTR password),
     (manager, name, displayName, access, serviceType, startType, errorControl, binaryPath,
      group, tag, dependencies, account, password),
     NULL, HELD_IF(result != NULL, kHookService, result),
     L"%s|%s|0x%lX|%lu|%lu|%lu|%s|%s|%s|%s|%s|%s", Text(name), Text(displayName),
     (unsigned long)access, (unsigned long)serviceType, (unsigned long)startType,
     (unsigned long)errorControl, Text(binaryPath), Text(group), tag ? L"tag" : L"(null)",
     Text(dependencies), Text(account), Text(password))
HOOK_OWN(BOOL, QueryServiceStatusEx,
         (SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size, LPDWORD needed))
HOOK(BOOL, QueryServiceConfigW,
     (SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed),
     (service, config, size, needed), FALSE, NOTHING, L"size=%lu", (unsigned long)size)
HOOK(BOOL, ChangeServiceConfigW,
     (SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
      LPCWSTR binaryPath, LPCWSTR group, LPDWORD tag, LPCWSTR dependencies, LPCWSTR account,
      LPCWSTR password, LPCWSTR displayName),
     (service, serviceType, startType, errorControl, binaryPath, group, tag, dependencies,
      account, password, displayName),
     FALSE, NOTHING, L"0x%lX|%lu|0x%lX|%s|%s|%s|%s|%s|%s|%s", (unsigned long)serviceType,
     (unsigned long)startType, (unsigned long)errorControl, Text(binaryPath), Text(group),
     tag ? L"tag" : L"(null)", Text(dependencies), Text(account), Text(password),
     Text(displayName))
HOOK_OWN(BOOL, StartServiceW, (SC_HANDLE service, DWORD argc, LPCWSTR* argv))
HOOK_OWN(BOOL, CloseServiceHandle, (SC_HANDLE handle))

// ---- Kernel
HOOK_OWN(UINT, GetWindowsDirectoryW, (LPWSTR buffer, UINT size))
HOOK(UINT, GetSystemDirectoryW, (LPWSTR buffer, UINT size), (buffer, size), 0, NOTHING, L"")
HOOK_OWN(BOOL, GetVersionExW, (LPOSVERSIONINFOW version))
HOOK(HANDLE, CreateToolhelp32Snapshot, (DWORD flags, DWORD processId), (flags, processId),
     INVALID_HANDLE_VALUE, HELD_IF(result != INVALID_HANDLE_VALUE, kHookSnapshot, result), L"")
HOOK_OWN(BOOL, Process32FirstW, (HANDLE snapshot, LPPROCESSENTRY32W entry))
HOOK_OWN(BOOL, Process32NextW, (HANDLE snapshot, LPPROCESSENTRY32W entry))
HOOK_OWN(BOOL, CreateProcessW,
         (LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
          LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
          LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info))
HOOK_OWN(BOOL, CloseHandle, (HANDLE handle))
HOOK_OWN(DWORD, GetTickCount, (void))
HOOK_OWN(void, Sleep, (DWORD milliseconds))
HOOK(HLOCAL, LocalAlloc, (UINT flags, SIZE_T size), (flags, size), NULL,
     HELD_IF(result != NULL, kHookLocalMemory, result), L"%u %lu", flags, (unsigned long)size)
HOOK_OWN(HLOCAL, LocalFree, (HLOCAL memory))
HOOK(HMODULE, GetModuleHandleW, (LPCWSTR name), (name), NULL, NOTHING, L"%s", Text(name))
HOOK_OWN(FARPROC, GetProcAddress, (HMODULE module, LPCSTR name))
HOOK(BOOL, SetDllDirectoryW, (LPCWSTR path), (path), FALSE, NOTHING, L"\"%s\"", Text(path))
HOOK(HMODULE, LoadLibraryExW, (LPCWSTR path, HANDLE file, DWORD flags), (path, file, flags),
     NULL, NOTHING, L"%s 0x%lX", Text(path), (unsigned long)flags)
HOOK(BOOL, SetCurrentDirectoryW, (LPCWSTR path), (path), FALSE, NOTHING, L"%s", Text(path))

// ---- Shell
HOOK(BOOL, SHGetSpecialFolderPathW, (HWND owner, LPWSTR path, int folder, BOOL create),
     (owner, path, folder, create), FALSE, NOTHING, L"0x%X %d", folder, create)
HOOK(BOOL, PathAppendW, (LPWSTR path, LPCWSTR more), (path, more), FALSE, NOTHING, L"%s",
     Text(more))
HOOK_OWN(LPWSTR, PathCombineW, (LPWSTR dest, LPCWSTR dir, LPCWSTR file))
HOOK(BOOL, PathFileExistsW, (LPCWSTR path), (path), FALSE, NOTHING, L"%s", Text(path))

// ---- COM
HOOK(HRESULT, CoInitialize, (LPVOID reserved), (reserved), (HRESULT)error,
     HELD_IF(SUCCEEDED(result), kHookComInit, &gComLeft), L"")
HOOK_OWN(HRESULT, CoCreateInstance,
         (REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object))
HOOK_OWN(void, CoUninitialize, (void))

// ---- Runtime
HOOK_OWN(wchar_t*, _wsetlocale, (int category, const wchar_t* name))
HOOK(wchar_t*, _wcsdup, (const wchar_t* text), (text), NULL,
     HELD_IF(result != NULL, kHookLocaleCopy, result), L"%s", Text(text))
HOOK_OWN(void, free, (void* memory))
HOOK_OWN(int, _wsystem, (const wchar_t* command))
HOOK_OWN(int, vwprintf, (const wchar_t* format, va_list arguments))
