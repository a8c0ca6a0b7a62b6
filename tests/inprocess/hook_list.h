// Every Windows and runtime call of the tool that the test build hooks, declared once. From
// this list hooks.h declares each Hook_<name>, the build renames <name> to it in the tool's
// sources (hook_renames.h, written by CMake), and hooks.cpp writes the HOOK bodies:
//
//   HOOK(result, name, (parameters), call, result when failed, then, log format, ...)
//     logs "<name> <log format>", fails the call when a test asked for that (the error set
//     as the last error), and otherwise makes the `call`: the real function, or a steered
//     stand-in for it in hooks.cpp; `then` runs on its `result` (HELD_IF enters what it
//     acquired in the ledger, NOTHING does nothing). Released(x) in a log argument takes x
//     out of the ledger and names its kind.
//   HOOK_OWN(result, name, (parameters))
//     a hook whose body hooks.cpp writes out.
//   LOOKED_UP(result, name, (parameters), call, result when failed, then, log format, ...)
//     a function the tool looks up at run time: GetProcAddress hands out its hook, which
//     works as a HOOK's; the real function is gReal<name>.
//
// No include guard: each user defines HOOK, HOOK_OWN and LOOKED_UP and includes the list.

// ---- Registry
HOOK(LONG, RegOpenKeyExW, (HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key),
     RegOpenKeyExW(root, path, options, access, key), (LONG)error,
     HELD_IF(result == ERROR_SUCCESS, kHookRegistryKey, *key),
     L"%s 0x%lX", Text(path), (unsigned long)access)
HOOK(LONG, RegQueryValueExW,
     (HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size),
     RegQueryValueExW(key, name, reserved, type, data, size), (LONG)error, NOTHING,
     L"%s", Text(name))
HOOK(LONG, RegSetValueExW,
     (HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size),
     RegSetValueExW(key, name, reserved, type, data, size), (LONG)error, NOTHING,
     L"%s type=%lu size=%lu", Text(name), (unsigned long)type, (unsigned long)size)
HOOK(LONG, RegCloseKey, (HKEY key), RegCloseKey(key), (LONG)error, NOTHING, L"%s", Released(key))

// ---- Service Control Manager
HOOK(SC_HANDLE, OpenSCManagerW, (LPCWSTR machine, LPCWSTR database, DWORD access),
     OpenSCManagerW(machine, database, access), NULL,
     HELD_IF(result != NULL, kHookManager, result), L"0x%lX", (unsigned long)access)
HOOK(SC_HANDLE, OpenServiceW, (SC_HANDLE manager, LPCWSTR name, DWORD access),
     OpenServiceW(manager, name, access), NULL,
     HELD_IF(result != NULL, kHookService, result), L"%s 0x%lX", Text(name), (unsigned long)access)
HOOK(SC_HANDLE, CreateServiceW,
     (SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access, DWORD serviceType,
      DWORD startType, DWORD errorControl, LPCWSTR binaryPath, LPCWSTR group, LPDWORD tag,
      LPCWSTR dependencies, LPCWSTR account, LPCWSTR password),
     CreateServiceW(manager, name, displayName, access, serviceType, startType, errorControl,
                    binaryPath, group, tag, dependencies, account, password),
     NULL, HELD_IF(result != NULL, kHookService, result),
     L"%s|%s|0x%lX|%lu|%lu|%lu|%s|%s|%s|%s|%s|%s", Text(name), Text(displayName),
     (unsigned long)access, (unsigned long)serviceType, (unsigned long)startType,
     (unsigned long)errorControl, Text(binaryPath), Text(group), tag ? L"tag" : L"(null)",
     Text(dependencies), Text(account), Text(password))
HOOK(BOOL, QueryServiceStatusEx,
     (SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size, LPDWORD needed),
     StatusOrScripted(service, level, buffer, size, needed), FALSE, NOTHING,
     L"level=%d size=%lu", (int)level, (unsigned long)size)
HOOK(BOOL, QueryServiceConfigW,
     (SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed),
     QueryServiceConfigW(service, config, size, needed), FALSE, NOTHING, L"size=%lu",
     (unsigned long)size)
HOOK(BOOL, ChangeServiceConfigW,
     (SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
      LPCWSTR binaryPath, LPCWSTR group, LPDWORD tag, LPCWSTR dependencies, LPCWSTR account,
      LPCWSTR password, LPCWSTR displayName),
     ChangeServiceConfigW(service, serviceType, startType, errorControl, binaryPath, group, tag,
                          dependencies, account, password, displayName),
     FALSE, NOTHING, L"0x%lX|%lu|0x%lX|%s|%s|%s|%s|%s|%s|%s", (unsigned long)serviceType,
     (unsigned long)startType, (unsigned long)errorControl, Text(binaryPath), Text(group),
     tag ? L"tag" : L"(null)", Text(dependencies), Text(account), Text(password),
     Text(displayName))
HOOK(BOOL, StartServiceW, (SC_HANDLE service, DWORD argc, LPCWSTR* argv),
     StartOrAccept(service, argc, argv), FALSE, NOTHING, L"")
HOOK(BOOL, CloseServiceHandle, (SC_HANDLE handle), CloseServiceHandle(handle), FALSE, NOTHING,
     L"%s", Released(handle))

// ---- Kernel
HOOK(UINT, GetWindowsDirectoryW, (LPWSTR buffer, UINT size), WindowsDirectory(buffer, size), 0,
     NOTHING, L"")
HOOK(UINT, GetSystemDirectoryW, (LPWSTR buffer, UINT size), GetSystemDirectoryW(buffer, size), 0,
     NOTHING, L"")
HOOK(BOOL, GetVersionExW, (LPOSVERSIONINFOW version), Version(version), FALSE, NOTHING, L"")
HOOK(HANDLE, CreateToolhelp32Snapshot, (DWORD flags, DWORD processId),
     CreateToolhelp32Snapshot(flags, processId), INVALID_HANDLE_VALUE,
     HELD_IF(result != INVALID_HANDLE_VALUE, kHookSnapshot, result), L"")
HOOK_OWN(BOOL, Process32FirstW, (HANDLE snapshot, LPPROCESSENTRY32W entry))
HOOK_OWN(BOOL, Process32NextW, (HANDLE snapshot, LPPROCESSENTRY32W entry))
HOOK(HANDLE, OpenProcess, (DWORD access, BOOL inherit, DWORD processId),
     OpenProcess(access, inherit, processId), NULL, HELD_IF(result != NULL, kHookProcess, result),
     L"0x%lX %d %lu", (unsigned long)access, inherit, (unsigned long)processId)
HOOK(BOOL, CreateProcessW,
     (LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
      LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
      LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info),
     CreateProcessW(application, commandLine, process, thread, inherit, flags, environment,
                    directory, startup, info),
     FALSE, Launched(result, info);, L"%s|%s|%d|0x%lX|%s|%s|cb=%lu", Text(application),
     Text(commandLine), inherit, (unsigned long)flags, environment ? L"env" : L"(null)",
     Text(directory), (unsigned long)startup->cb)
HOOK(BOOL, CreateProcessAsUserW,
     (HANDLE token, LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
      LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
      LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info),
     CreateProcessAsUserW(token, application, commandLine, process, thread, inherit, flags,
                          environment, directory, startup, info),
     FALSE, Launched(result, info);, L"%s %s|%s|%d|0x%lX|%s|%s|%s|cb=%lu", HeldKind(token),
     Text(application), Text(commandLine), inherit, (unsigned long)flags, HeldKind(environment),
     Text(directory), Text(startup->lpDesktop), (unsigned long)startup->cb)
HOOK(BOOL, CloseHandle, (HANDLE handle), CloseHandle(handle), FALSE, NOTHING, L"%s",
     Released(handle))
HOOK(BOOL, IsProcessInJob, (HANDLE process, HANDLE job, PBOOL inJob),
     InJob(process, job, inJob), FALSE, NOTHING, L"%s",
     process == GetCurrentProcess() ? L"own" : HeldKind(process))
HOOK(BOOL, TerminateProcess, (HANDLE process, UINT code), EndProcess(process, code), FALSE,
     NOTHING, L"%s %u", process == GetCurrentProcess() ? L"own" : HeldKind(process), code)
HOOK(DWORD, ResumeThread, (HANDLE thread), ResumeThread(thread), (DWORD)-1, NOTHING, L"%s",
     HeldKind(thread))
HOOK(BOOL, QueryInformationJobObject,
     (HANDLE job, JOBOBJECTINFOCLASS kind, LPVOID information, DWORD size, LPDWORD returned),
     JobLimits(job, kind, information, size, returned), FALSE, NOTHING, L"%d size=%lu",
     (int)kind, (unsigned long)size)
HOOK(HANDLE, CreateThread,
     (LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID parameter,
      DWORD flags, LPDWORD id),
     Worker(security, stack, start, parameter, flags, id), NULL,
     HELD_IF(result != NULL, kHookThread, result), L"0x%lX", (unsigned long)flags)
HOOK(HANDLE, CreateEventW, (LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCWSTR name),
     CreateEventW(security, manual, initial, name), NULL,
     HELD_IF(result != NULL, kHookEvent, result), L"%d %d %s", manual, initial, Text(name))
HOOK(DWORD, WaitForSingleObject, (HANDLE handle, DWORD milliseconds),
     CappedWait(handle, milliseconds), WAIT_FAILED, NOTHING, L"%s %lu", HeldKind(handle),
     (unsigned long)milliseconds)
HOOK_OWN(DWORD, GetTickCount, (void))
HOOK_OWN(void, Sleep, (DWORD milliseconds))
HOOK(HLOCAL, LocalAlloc, (UINT flags, SIZE_T size), LocalAlloc(flags, size), NULL,
     HELD_IF(result != NULL, kHookLocalMemory, result), L"%u %lu", flags, (unsigned long)size)
HOOK(HLOCAL, LocalFree, (HLOCAL memory), LocalFree(memory), memory, NOTHING, L"%s",
     Released(memory))
HOOK(HMODULE, GetModuleHandleW, (LPCWSTR name), GetModuleHandleW(name), NULL, NOTHING, L"%s",
     Text(name))
HOOK_OWN(FARPROC, GetProcAddress, (HMODULE module, LPCSTR name))
HOOK(BOOL, SetDllDirectoryW, (LPCWSTR path), SetDllDirectoryW(path), FALSE, NOTHING, L"\"%s\"",
     Text(path))
HOOK(HMODULE, LoadLibraryExW, (LPCWSTR path, HANDLE file, DWORD flags),
     LoadLibraryExW(path, file, flags), NULL, NOTHING, L"%s 0x%lX", Text(path),
     (unsigned long)flags)
HOOK(BOOL, FreeLibrary, (HMODULE module), FreeLibrary(module), FALSE, NOTHING, L"")
HOOK(BOOL, SetCurrentDirectoryW, (LPCWSTR path), SetCurrentDirectoryW(path), FALSE, NOTHING,
     L"%s", Text(path))

// ---- Token
HOOK(BOOL, OpenProcessToken, (HANDLE process, DWORD access, PHANDLE token),
     OpenProcessToken(process, access, token), FALSE, TokenOpened(result, process, *token);,
     L"%s 0x%lX", process == GetCurrentProcess() ? L"own" : L"other", (unsigned long)access)
HOOK(BOOL, GetTokenInformation,
     (HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information, DWORD size, PDWORD needed),
     SteeredToken(token, kind, information, size, needed), FALSE, NOTHING, L"%d size=%lu",
     (int)kind, (unsigned long)size)

// ---- Shell
HOOK(BOOL, SHGetSpecialFolderPathW, (HWND owner, LPWSTR path, int folder, BOOL create),
     SHGetSpecialFolderPathW(owner, path, folder, create), FALSE, NOTHING, L"0x%X %d", folder,
     create)
HOOK(BOOL, PathAppendW, (LPWSTR path, LPCWSTR more), PathAppendW(path, more), FALSE, NOTHING, L"%s",
     Text(more))
HOOK(LPWSTR, PathCombineW, (LPWSTR dest, LPCWSTR dir, LPCWSTR file), PathCombineW(dest, dir, file),
     (dest[0] = L'\0', (LPWSTR)NULL), NOTHING, L"%s", Text(file))
HOOK(BOOL, PathFileExistsW, (LPCWSTR path), PathFileExistsW(path), FALSE, NOTHING, L"%s",
     Text(path))

// ---- COM
HOOK(HRESULT, CoInitialize, (LPVOID reserved), CoInitialize(reserved), (HRESULT)error,
     HELD_IF(SUCCEEDED(result), kHookComInit, &gComLeft), L"")
HOOK(HRESULT, CoInitializeSecurity,
     (PSECURITY_DESCRIPTOR security, LONG count, SOLE_AUTHENTICATION_SERVICE* services,
      void* reserved, DWORD authentication, DWORD impersonation, void* list, DWORD capabilities,
      void* reserved3),
     CoInitializeSecurity(security, count, services, reserved, authentication, impersonation,
                          list, capabilities, reserved3),
     (HRESULT)error, NOTHING, L"%s %ld %lu %lu 0x%lX", security ? L"sd" : L"(null)", count,
     (unsigned long)authentication, (unsigned long)impersonation, (unsigned long)capabilities)
HOOK(HRESULT, CoCreateInstance,
     (REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object),
     TrackedLink(clsid, outer, context, iid, object), (*object = NULL, (HRESULT)error), NOTHING,
     L"context=0x%lX", (unsigned long)context)
HOOK_OWN(void, CoUninitialize, (void))

// ---- Runtime
HOOK(wchar_t*, _wsetlocale, (int category, const wchar_t* name), Locale(category, name), NULL,
     NOTHING, L"%d %s", category, Text(name))
HOOK(wchar_t*, _wcsdup, (const wchar_t* text), _wcsdup(text), NULL,
     HELD_IF(result != NULL, kHookLocaleCopy, result), L"%s", Text(text))
HOOK_OWN(void, free, (void* memory))
HOOK(intptr_t, _wspawnv, (int mode, const wchar_t* path, const wchar_t* const* arguments),
     gRunSystem ? _wspawnv(mode, path, arguments) : 0, -1, NOTHING, L"%d %s|%s", mode, Text(path),
     Joined(arguments))
HOOK_OWN(int, vwprintf, (const wchar_t* format, va_list arguments))

// ---- Looked up at run time
LOOKED_UP(BOOL, SetDefaultDllDirectories, (DWORD flags), gRealSetDefaultDllDirectories(flags),
          FALSE, NOTHING, L"0x%lX", (unsigned long)flags)
LOOKED_UP(BOOL, GetUserObjectInformationW,
          (HANDLE object, int index, void* information, DWORD size, DWORD* needed),
          gRealGetUserObjectInformationW(object, index, information, size, needed), FALSE,
          HideStation(result, index, information);, L"%d", index)
LOOKED_UP(BOOL, WTSQueryUserToken, (ULONG session, HANDLE* token), UserToken(session, token), FALSE,
          HELD_IF(result, kHookToken, *token), L"%lu", (unsigned long)session)
LOOKED_UP(BOOL, WTSQuerySessionInformationW,
          (HANDLE server, DWORD session, WTS_INFO_CLASS kind, wchar_t** buffer, DWORD* bytes),
          DesktopUser(server, session, kind, buffer, bytes), FALSE,
          SessionQueried(result, kind, buffer);,
          L"%lu %d", (unsigned long)session, (int)kind)
LOOKED_UP(BOOL, CreateEnvironmentBlock, (void** environment, HANDLE token, BOOL inherit),
          gRealCreateEnvironmentBlock(environment, token, inherit), FALSE,
          HELD_IF(result, kHookEnvironment, *environment),
          L"%s %d", HeldKind(token), inherit)
LOOKED_UP(BOOL, DestroyEnvironmentBlock, (void* environment),
          gRealDestroyEnvironmentBlock(environment), FALSE, NOTHING,
          L"%s", Released(environment))
LOOKED_UP(HWND, GetShellWindow, (void), ShellWindow(), NULL, NOTHING, L"")
LOOKED_UP(DWORD, WTSGetActiveConsoleSessionId, (void), ConsoleSession(), 0xFFFFFFFF, NOTHING, L"")
LOOKED_UP(BOOL, WTSEnumerateSessionsW,
          (HANDLE server, DWORD reserved, DWORD version, WTS_SESSION_INFOW** sessions,
           DWORD* count),
          Sessions(server, reserved, version, sessions, count), FALSE,
          HELD_IF(result && *sessions != NULL, kHookSessionMemory, *sessions), L"")
LOOKED_UP(BOOL, WTSEnumerateProcessesW,
          (HANDLE server, DWORD reserved, DWORD version, WTS_PROCESS_INFOW** processes,
           DWORD* count),
          ListedProcesses(server, reserved, version, processes, count), FALSE,
          HELD_IF(result && *processes != NULL, kHookSessionMemory, *processes), L"")
LOOKED_UP(BOOL, ProcessIdToSessionId, (DWORD processId, DWORD* session),
          OwnSession(processId, session), FALSE, NOTHING, L"")
LOOKED_UP(BSTR, SysAllocString, (const OLECHAR* text), gRealSysAllocString(text), NULL,
          HELD_IF(result != NULL, kHookString, result), L"%s", Text(text))
