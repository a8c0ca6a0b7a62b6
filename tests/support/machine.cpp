#include "tests/support/machine.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include "tests/support/token_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <sstream>

namespace machine {

// How long a setup step waits for Windows to follow: a service's state, a process's start.
static const DWORD kWaitMilliseconds = 30000;
static const DWORD kPollMilliseconds = 50;
// Starts of a new process, where Wine ended the earlier ones before their code ran.
static const int kStartAttempts = 3;

static std::string ErrorText(const char* what, DWORD error)
{
    return std::string(what) + " failed with " + std::to_string(error);
}

Failure Skip(const std::string& why)
{
    return "skip: " + why;
}

bool IsSkip(const Failure& failure)
{
    return failure.rfind("skip: ", 0) == 0;
}

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
}

// Polls `done` until it holds or the wait is over; tells whether it held.
template <typename Done>
static bool WaitUntil(Done done, DWORD milliseconds = kWaitMilliseconds)
{
    for (DWORD waited = 0;; waited += kPollMilliseconds) {
        if (done()) {
            return true;
        }
        if (waited >= milliseconds) {
            return false;
        }
        Sleep(kPollMilliseconds);
    }
}

// --- Folders and the package's paths ----------------------------------------------------

std::wstring WindowsDirectory()
{
    wchar_t buffer[MAX_PATH] = {};
    GetWindowsDirectoryW(buffer, MAX_PATH);
    return buffer;
}

std::wstring SystemDirectory()
{
    wchar_t buffer[MAX_PATH] = {};
    GetSystemDirectoryW(buffer, MAX_PATH);
    return buffer;
}

std::wstring CommonStartupFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    SHGetSpecialFolderPathW(NULL, buffer, CSIDL_COMMON_STARTUP, FALSE);
    return buffer;
}

std::wstring TwainDirectory(const std::wstring& windows)
{
    return windows + L"\\" + names::kTwainFolder;
}
static std::wstring InTwain(const std::wstring& windows, const wchar_t* relative)
{
    return TwainDirectory(windows) + L"\\" + relative;
}
std::wstring MonitorPath(const std::wstring& w) { return InTwain(w, names::kMonitorProgram); }
std::wstring ServicePath(const std::wstring& w) { return InTwain(w, names::kServiceProgram); }
std::wstring PanelPath(const std::wstring& w) { return InTwain(w, names::kPanelProgram); }
std::wstring GuidePath(const std::wstring& w) { return InTwain(w, names::kGuideProgram); }
std::wstring MonitorCommandLine(const std::wstring& w)
{
    return MonitorPath(w) + L" " + names::kMonitorArguments;
}

std::wstring ShortcutPath()
{
    return CommonStartupFolder() + L"\\" + names::kShortcutFile;
}

std::wstring KnownFolder(int csidl)
{
    wchar_t buffer[MAX_PATH] = {};
    SHGetFolderPathW(NULL, csidl, NULL, 0, buffer);
    return buffer;
}

std::wstring ScratchFolder()
{
    return KnownFolder(CSIDL_COMMON_APPDATA) + L"\\ScarvelRepairSuite";
}

std::wstring DownloadsFolder()
{
    const std::wstring documents = KnownFolder(CSIDL_COMMON_DOCUMENTS);
    return documents.substr(0, documents.rfind(L'\\')) + L"\\Downloads";
}

const BackgroundProgram kBackgroundPrograms[3] = {
    {names::kMonitorProcess, MonitorPath, MonitorCommandLine, names::kMonitorArguments},
    {names::kPanelProcess, PanelPath, PanelPath, L""},
    {names::kGuideProcess, GuidePath, GuidePath, L""},
};

std::wstring ExplorerCommandLine(const BackgroundProgram& program, const std::wstring& windows)
{
    const std::wstring arguments = program.arguments;
    return L"\"" + program.path(windows) + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
}

// --- Files -------------------------------------------------------------------------------

Failure CreateDirectories(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3);; at = path.find(L'\\', at + 1)) {
        const std::wstring part = path.substr(0, at);
        if (!CreateDirectoryW(part.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return ErrorText("CreateDirectory", GetLastError()) + ": " + Narrow(part);
        }
        if (at == std::wstring::npos) {
            return "";
        }
    }
}

Failure WriteTextFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return ErrorText("CreateFile", GetLastError()) + ": " + Narrow(path);
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == bytes.size() ? "" : "writing " + Narrow(path) + " failed";
}

std::string ReadTextFile(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, NULL) && read > 0) {
        bytes.append(chunk, read);
    }
    CloseHandle(file);
    return bytes;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Narrow(const std::wstring& text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], bytes, NULL, NULL);
    }
    return out;
}

std::wstring Widen(const std::string& utf8)
{
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), NULL, 0);
    std::wstring out(units > 0 ? units : 0, L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &out[0], units);
    }
    return out;
}

// --- The package -------------------------------------------------------------------------

static bool IsMissing(const PackageFaults& faults, const std::wstring& path)
{
    for (const std::wstring& missing : faults.missing) {
        if (lstrcmpiW(missing.c_str(), path.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

static Failure PlaceProgram(const std::wstring& source, const std::wstring& target,
                            const PackageFaults& faults)
{
    if (IsMissing(faults, target)) {
        return DeleteFileW(target.c_str()) || !FileExists(target)
            ? "" : ErrorText("DeleteFile", GetLastError()) + ": " + Narrow(target);
    }
    size_t folder = target.rfind(L'\\');
    Failure failure = CreateDirectories(target.substr(0, folder));
    if (!failure.empty()) {
        return failure;
    }
    if (source.empty()) {
        return WriteTextFile(target, "not a program\r\n");
    }
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        return ErrorText("CopyFile", GetLastError()) + ": " + Narrow(source) + " to "
            + Narrow(target);
    }
    // A copy keeps a downloaded file's mark of the web, for which Explorer would ask first.
    DeleteFileW((target + L":Zone.Identifier").c_str());
    return "";
}

Failure InstallPackage(const std::wstring& standins, const std::wstring& windows,
                       const PackageFaults& faults)
{
    const std::wstring program = standins + L"\\standin_program.exe";
    const std::wstring service = standins + L"\\standin_service.exe";
    const struct {
        std::wstring source;
        std::wstring target;
    } placements[] = {
        {faults.monitorNotAProgram ? std::wstring() : program, MonitorPath(windows)},
        {faults.serviceNotAService ? program : service, ServicePath(windows)},
        {program, PanelPath(windows)},
        {program, GuidePath(windows)},
    };
    for (const auto& placement : placements) {
        Failure failure = PlaceProgram(placement.source, placement.target, faults);
        if (!failure.empty()) {
            return failure;
        }
    }
    // Where the stand-ins write what they record.
    return MakeRecordsFolder();
}

Failure SetServiceBehaviour(const std::string& word, const std::wstring& windows)
{
    return WriteTextFile(ServicePath(windows) + kBehaviourFile, word + "\n");
}

static std::vector<std::wstring> ReadLines(const std::wstring& path)
{
    std::vector<std::wstring> lines;
    const std::string bytes = ReadTextFile(path);
    size_t start = 0;
    for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(Widen(bytes.substr(start, end - start)));
    }
    return lines;
}

std::wstring RecordFile(const std::wstring& programPath, const wchar_t* record)
{
    wchar_t path[kRecordPathUnits] = {};
    return RecordPath(programPath.c_str(), record, path) ? path : L"";
}

DWORD CreateFolderWithSecurity(const std::wstring& path, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              NULL)) {
        return GetLastError();
    }
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    const DWORD error = CreateDirectoryW(path.c_str(), &security) ? 0 : GetLastError();
    LocalFree(descriptor);
    return error;
}

Failure MakeRecordsFolder()
{
    // The interactive users may write there, the user's own token among them; records of a
    // user's program written anywhere else would be refused, or redirected.
    const std::wstring path = KnownFolder(CSIDL_COMMON_APPDATA) + kRecordsFolder;
    Failure failure = CreateDirectories(path.substr(0, path.rfind(L'\\')));
    const DWORD error = !failure.empty() ? 0
        : CreateFolderWithSecurity(path, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;IU)");
    return error != 0 && error != ERROR_ALREADY_EXISTS
        ? ErrorText("CreateDirectory", error) + ": " + Narrow(path) : failure;
}

void ForgetRecords(const std::wstring& programPath)
{
    for (const wchar_t* record :
         {kCommandLineRecord, kStartsRecord, kTokenRecord, kToolOutput, kToolExit}) {
        DeleteFileW(RecordFile(programPath, record).c_str());
    }
}

std::vector<std::wstring> RecordedLines(const std::wstring& programPath, size_t atLeast,
                                        const wchar_t* suffix)
{
    std::vector<std::wstring> lines;
    WaitUntil([&] {
        lines = ReadLines(RecordFile(programPath, suffix));
        return lines.size() >= atLeast;
    }, 1000);
    return lines;
}

// --- Registry ----------------------------------------------------------------------------

std::wstring RegistryValue::Text() const
{
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    }
    return text.substr(0, text.find(L'\0'));
}

static REGSAM ViewBits(View view)
{
    return view == kView32 ? KEY_WOW64_32KEY : view == kView64 ? KEY_WOW64_64KEY : 0;
}

// Runs `act` on <root>\<path> opened with `access` in that view; the error when it would not
// open.
template <typename Act>
static LONG WithKey(HKEY root, const wchar_t* path, REGSAM access, View view, Act act)
{
    HKEY key = NULL;
    LONG opened = RegOpenKeyExW(root, path, 0, access | ViewBits(view), &key);
    if (opened == ERROR_SUCCESS) {
        act(key);
        RegCloseKey(key);
    }
    return opened;
}

static RegistryValue ValueAt(HKEY key, DWORD index)
{
    RegistryValue value;
    wchar_t name[16384];
    DWORD nameUnits = 16384;
    DWORD size = 0;
    if (RegEnumValueW(key, index, name, &nameUnits, NULL, &value.type, NULL, &size)
        != ERROR_SUCCESS) {
        return value;
    }
    value.bytes.resize(size);
    nameUnits = 16384;
    value.exists = RegEnumValueW(key, index, name, &nameUnits, NULL, &value.type,
                                 value.bytes.data(), &size) == ERROR_SUCCESS;
    value.bytes.resize(size);
    value.name.assign(name, nameUnits);
    return value;
}

std::vector<RegistryValue> ReadValues(const wchar_t* path, View view, bool* keyExists, LONG* error)
{
    std::vector<RegistryValue> values;
    LONG opened = WithKey(HKEY_LOCAL_MACHINE, path, KEY_READ, view, [&](HKEY key) {
        for (DWORD index = 0;; ++index) {
            RegistryValue value = ValueAt(key, index);
            if (!value.exists) {
                break;
            }
            values.push_back(value);
        }
    });
    *keyExists = opened == ERROR_SUCCESS;
    if (error != nullptr) {
        *error = opened;
    }
    return values;
}

RegistryValue ReadValue(HKEY root, const wchar_t* path, const wchar_t* name, View view,
                        bool* keyExists)
{
    RegistryValue value;
    value.name = name;
    LONG opened = WithKey(root, path, KEY_QUERY_VALUE, view, [&](HKEY key) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, NULL, &value.type, NULL, &size) == ERROR_SUCCESS) {
            value.bytes.resize(size);
            value.exists = RegQueryValueExW(key, name, NULL, &value.type, value.bytes.data(),
                                            &size) == ERROR_SUCCESS;
        }
    });
    if (keyExists != nullptr) {
        *keyExists = opened == ERROR_SUCCESS;
    }
    return value;
}

RegistryValue ReadRunValue(const wchar_t* name, View view)
{
    return ReadValue(HKEY_LOCAL_MACHINE, names::kRunKeyPath, name, view);
}

LONG SetValue(HKEY root, const wchar_t* path, const RegistryValue& value, View view)
{
    HKEY key = NULL;
    LONG result = RegCreateKeyExW(root, path, 0, NULL, 0, KEY_SET_VALUE | ViewBits(view), NULL,
                                  &key, NULL);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, value.name.c_str(), 0, value.type, value.bytes.data(),
                                (DWORD)value.bytes.size());
        RegCloseKey(key);
    }
    return result;
}

LONG RemoveValue(HKEY root, const wchar_t* path, const wchar_t* name, View view)
{
    LONG deleted = ERROR_SUCCESS;
    LONG opened = WithKey(root, path, KEY_SET_VALUE, view,
                          [&](HKEY key) { deleted = RegDeleteValueW(key, name); });
    const LONG result = opened != ERROR_SUCCESS ? opened : deleted;
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

Failure CreateRunKey(View view)
{
    HKEY key = NULL;
    LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, names::kRunKeyPath, 0, NULL, 0,
                                   KEY_SET_VALUE | ViewBits(view), NULL, &key, NULL);
    if (created != ERROR_SUCCESS) {
        return ErrorText("RegCreateKeyEx", created);
    }
    RegCloseKey(key);
    return "";
}

Failure WriteRunValue(const wchar_t* name, const std::wstring& text, View view)
{
    RegistryValue value;
    value.name = name;
    value.type = REG_SZ;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    value.bytes.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    LONG written = SetValue(HKEY_LOCAL_MACHINE, names::kRunKeyPath, value, view);
    return written == ERROR_SUCCESS ? "" : ErrorText("RegCreateKeyEx or RegSetValueEx", written);
}

Failure DeleteRunValue(const wchar_t* name, View view)
{
    LONG deleted = RemoveValue(HKEY_LOCAL_MACHINE, names::kRunKeyPath, name, view);
    return deleted == ERROR_SUCCESS ? "" : ErrorText("RegDeleteValue", deleted);
}

typedef LONG(WINAPI* RegDeleteKeyExProc)(HKEY, LPCWSTR, REGSAM, DWORD);

Failure DeleteRunKey(View view)
{
    // RegDeleteKeyExW, which takes the view, is looked up: Windows XP lacks it.
    RegDeleteKeyExProc deleteKey = reinterpret_cast<RegDeleteKeyExProc>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
    LONG deleted = deleteKey != NULL
        ? deleteKey(HKEY_LOCAL_MACHINE, names::kRunKeyPath, ViewBits(view), 0)
        : RegDeleteKeyW(HKEY_LOCAL_MACHINE, names::kRunKeyPath);
    return deleted == ERROR_SUCCESS ? "" : ErrorText("RegDeleteKeyEx", deleted);
}

// --- Services ----------------------------------------------------------------------------

// Runs `act` on the named service opened with `access`; the error when it would not open.
template <typename Act>
static DWORD WithService(const wchar_t* name, DWORD access, Act act)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        return GetLastError();
    }
    SC_HANDLE service = OpenServiceW(manager, name, access);
    DWORD error = service == NULL ? GetLastError() : ERROR_SUCCESS;
    if (service != NULL) {
        act(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return error;
}

static void ReadConfig(SC_HANDLE service, ServiceConfig* result)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, NULL, 0, &needed);
    std::vector<BYTE> buffer(needed + 16);
    QUERY_SERVICE_CONFIGW* config = (QUERY_SERVICE_CONFIGW*)buffer.data();
    if (!QueryServiceConfigW(service, config, (DWORD)buffer.size(), &needed)) {
        result->error = ErrorText("QueryServiceConfig", GetLastError());
        return;
    }
    result->serviceType = config->dwServiceType;
    result->startType = config->dwStartType;
    result->errorControl = config->dwErrorControl;
    result->binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    result->account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    result->displayName = config->lpDisplayName ? config->lpDisplayName : L"";
}

static void ReadState(SC_HANDLE service, ServiceConfig* result)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status,
                              &needed)) {
        result->error = ErrorText("QueryServiceStatusEx", GetLastError());
        return;
    }
    result->state = status.dwCurrentState;
    result->processId = status.dwProcessId;
}

ServiceConfig ReadService(const wchar_t* name)
{
    ServiceConfig result;
    DWORD error = WithService(name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS, [&](SC_HANDLE s) {
        result.exists = true;
        ReadConfig(s, &result);
        ReadState(s, &result);
    });
    if (error != ERROR_SUCCESS && error != ERROR_SERVICE_DOES_NOT_EXIST) {
        result.error = ErrorText("OpenService", error);
    }
    return result;
}

const wchar_t kOtherServiceName[] = L"OTHERSVC";

Failure InstallService(DWORD startType, const std::wstring& binaryPath, const wchar_t* name,
                       const wchar_t* displayName)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE);
    if (manager == NULL) {
        return ErrorText("OpenSCManager", GetLastError());
    }
    SC_HANDLE service = CreateServiceW(manager, name, displayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_IGNORE,
                                       binaryPath.c_str(), NULL, NULL, NULL, NULL, NULL);
    Failure failure = service == NULL ? ErrorText("CreateService", GetLastError()) : "";
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return failure;
}

Failure SetStartType(DWORD startType, const wchar_t* name)
{
    DWORD refused = ERROR_SUCCESS;
    DWORD error = WithService(name, SERVICE_CHANGE_CONFIG, [&](SC_HANDLE service) {
        refused = ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                                       NULL, NULL, NULL, NULL, NULL, NULL, NULL)
            ? ERROR_SUCCESS : GetLastError();
    });
    if (error != ERROR_SUCCESS) {
        return ErrorText("OpenService", error);
    }
    return refused == ERROR_SUCCESS ? "" : ErrorText("ChangeServiceConfig", refused);
}

static bool WaitForState(const wchar_t* name, DWORD state)
{
    return WaitUntil([&] { return ReadService(name).state == state; });
}

static std::string StateText(const wchar_t* name)
{
    ServiceConfig service = ReadService(name);
    return "state " + std::to_string(service.state)
        + (service.error.empty() ? "" : ", " + service.error);
}

Failure StartScanService(const wchar_t* name)
{
    // Seen once on a loaded machine: a start request that went nowhere. Made once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD refused = ERROR_SUCCESS;
        DWORD error = WithService(name, SERVICE_START, [&](SC_HANDLE service) {
            refused = StartServiceW(service, 0, NULL) ? ERROR_SUCCESS : GetLastError();
        });
        if (error != ERROR_SUCCESS) {
            return ErrorText("OpenService", error);
        }
        if (refused != ERROR_SUCCESS && refused != ERROR_SERVICE_ALREADY_RUNNING) {
            return ErrorText("StartService", refused);
        }
        if (WaitForState(name, SERVICE_RUNNING)) {
            return "";
        }
    }
    return "the service did not start: " + StateText(name);
}

Failure StopService(const wchar_t* name)
{
    DWORD refused = ERROR_SUCCESS;
    DWORD error = WithService(name, SERVICE_STOP, [&](SC_HANDLE service) {
        SERVICE_STATUS status = {};
        refused = ControlService(service, SERVICE_CONTROL_STOP, &status) ? ERROR_SUCCESS
                                                                          : GetLastError();
    });
    if (error != ERROR_SUCCESS) {
        return ErrorText("OpenService", error);
    }
    if (refused != ERROR_SUCCESS && refused != ERROR_SERVICE_NOT_ACTIVE) {
        return ErrorText("ControlService", refused);
    }
    return WaitForState(name, SERVICE_STOPPED) ? ""
                                                : "the service did not stop: " + StateText(name);
}

// Ends the service's process, opened before its stop (so that its id, used again, names no
// other) or not (`opened`, the error): 0, or why it could not. A process of LocalSystem needs
// SeDebugPrivilege (EnableDebugPrivilege). One that has gone counts as ended.
static DWORD EndServiceProcess(HANDLE process, DWORD opened)
{
    if (process == NULL) {
        return opened == ERROR_INVALID_PARAMETER ? ERROR_SUCCESS : opened;
    }
    const DWORD error =
        TerminateProcess(process, 1) || WaitForSingleObject(process, 0) == WAIT_OBJECT_0
        ? ERROR_SUCCESS : GetLastError();
    WaitForSingleObject(process, kWaitMilliseconds);
    return error;
}

// A service that refuses its stop (one still starting: "ControlService" gives
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL) is deleted all the same and its process ended.
Failure DeleteScanService(const wchar_t* name)
{
    const ServiceConfig service = ReadService(name);
    if (!service.exists) {
        return "";
    }
    HANDLE process = service.processId == 0
        ? NULL : OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, service.processId);
    const DWORD opened = process == NULL && service.processId != 0 ? GetLastError() : ERROR_SUCCESS;
    const Failure stopped = StopService(name);
    DWORD refused = ERROR_SUCCESS;
    DWORD error = WithService(name, DELETE, [&](SC_HANDLE deleted) {
        refused = DeleteService(deleted) ? ERROR_SUCCESS : GetLastError();
    });
    const DWORD notEnded = stopped.empty() ? ERROR_SUCCESS : EndServiceProcess(process, opened);
    if (process != NULL) {
        CloseHandle(process);
    }
    if (error != ERROR_SUCCESS
        || (refused != ERROR_SUCCESS && refused != ERROR_SERVICE_MARKED_FOR_DELETE)) {
        return ErrorText("DeleteService", error != ERROR_SUCCESS ? error : refused)
            + (stopped.empty() ? "" : " (" + stopped + ")");
    }
    // Windows removes a deleted service once its last handle is closed.
    if (WaitUntil([&] { return !ReadService(name).exists; })) {
        return "";
    }
    return notEnded != ERROR_SUCCESS
        ? "the service " + Narrow(name) + " is marked for deletion, and its process could not "
          "end (error " + std::to_string(notEnded) + ")"
        : "the service " + Narrow(name) + " is marked for deletion while a program holds it "
          "open: close the Services console (services.msc) and any other program that shows "
          "services; it goes then, or at the next restart of Windows";
}

// The suite ends its stand-in service's process, which runs as LocalSystem: an
// administrator's token may do that only with SeDebugPrivilege enabled ("Process Security
// and Access Rights"). 0, or why it could not.
DWORD EnableDebugPrivilege()
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return GetLastError();
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD error = LookupPrivilegeValueW(NULL, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)
        ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SUCCESS) {
        // It succeeds with ERROR_NOT_ALL_ASSIGNED where the token has not the privilege.
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        error = GetLastError();
    }
    CloseHandle(token);
    return error;
}

// --- Processes ---------------------------------------------------------------------------

template <typename Visit>
static bool ForEachProcess(Visit visit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        visit(entry);
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return true;
}

std::vector<std::wstring> ProcessNames()
{
    std::vector<std::wstring> names;
    ForEachProcess([&](const PROCESSENTRY32W& entry) { names.push_back(entry.szExeFile); });
    return names;
}

int CountProcesses(const wchar_t* name)
{
    int count = 0;
    ForEachProcess(
        [&](const PROCESSENTRY32W& entry) { count += wcscmp(entry.szExeFile, name) == 0; });
    return count;
}

std::wstring ParentName(const wchar_t* name)
{
    DWORD parent = 0;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (parent == 0 && wcscmp(entry.szExeFile, name) == 0) {
            parent = entry.th32ParentProcessID;
        }
    });
    std::wstring parentName;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (parent != 0 && entry.th32ProcessID == parent) {
            parentName = entry.szExeFile;
        }
    });
    return parentName;
}

std::vector<DWORD> ProcessIds(const wchar_t* name)
{
    std::vector<DWORD> ids;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (name == nullptr || wcscmp(entry.szExeFile, name) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    });
    return ids;
}

std::string ProcessTable()
{
    std::string table;
    const bool listed = ForEachProcess([&](const PROCESSENTRY32W& entry) {
        table += "\n    " + std::to_string(entry.th32ProcessID) + " (parent "
            + std::to_string(entry.th32ParentProcessID) + ", "
            + std::to_string(entry.cntThreads) + " threads) " + Narrow(entry.szExeFile);
    });
    return listed ? table : " none: " + ErrorText("CreateToolhelp32Snapshot", GetLastError());
}

static bool EndProcess(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    const bool ended = process != NULL && TerminateProcess(process, 1)
        && WaitForSingleObject(process, kWaitMilliseconds) == WAIT_OBJECT_0;
    if (process != NULL) {
        CloseHandle(process);
    }
    return ended;
}

Failure KillProcesses(const wchar_t* name)
{
    int failed = 0;
    for (DWORD id : ProcessIds(name)) {
        failed += !EndProcess(id);
    }
    if (failed > 0) {
        return std::to_string(failed) + " " + Narrow(name) + " process(es) did not end";
    }
    return WaitUntil([&] { return CountProcesses(name) == 0; }) ? "" : Narrow(name) + " still runs";
}

bool StartDiedBeforeItsCode(bool underWine, BOOL created, DWORD error)
{
    // Wine's NtCreateUserProcess gives STATUS_INTERNAL_ERROR when the new process ended
    // before it told the server its start-up was done, that is before its entry point and
    // its DLLs' code; Windows' CreateProcess returns before the new process runs at all.
    return underWine && !created && error == ERROR_INTERNAL_ERROR;
}

BOOL StartProcess(const wchar_t* application, const std::wstring& commandLine, BOOL inherit,
                  DWORD flags, void* environment, const wchar_t* directory,
                  STARTUPINFOW* startup, PROCESS_INFORMATION* info)
{
    for (int attempt = 1;; ++attempt) {
        std::wstring writable = commandLine;
        const BOOL created = CreateProcessW(application, &writable[0], NULL, NULL, inherit,
                                            flags, environment, directory, startup, info);
        const DWORD error = created ? ERROR_SUCCESS : GetLastError();
        if (attempt == kStartAttempts || !StartDiedBeforeItsCode(UnderWine(), created, error)) {
            SetLastError(error);
            return created;
        }
        fprintf(stderr, "machine: made again: %s, which Wine ended before its code ran "
                "(CreateProcess failed with %lu), attempt %d\n", Narrow(commandLine).c_str(),
                static_cast<unsigned long>(error), attempt);
        fflush(stderr);
    }
}

Failure Launch(const std::wstring& commandLine, DWORD* processId)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!StartProcess(NULL, commandLine, FALSE, 0, NULL, NULL, &startup, &info)) {
        return ErrorText("CreateProcess", GetLastError()) + ": " + Narrow(commandLine);
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    if (processId != nullptr) {
        *processId = info.dwProcessId;
    }
    return "";
}

Failure LaunchAndWait(const std::wstring& commandLine, const wchar_t* process)
{
    Failure failure = Launch(commandLine);
    if (!failure.empty()) {
        return failure;
    }
    return WaitUntil([&] { return CountProcesses(process) > 0; })
        ? "" : Narrow(process) + " not running after its launch";
}

const wchar_t kShellProcess[] = L"standin_shell.exe";
const wchar_t kExplorerProcess[] = L"explorer.exe";

Failure StartShell(const std::wstring& standins)
{
    if (GetShellWindow() != NULL) {
        return "";
    }
    Failure failure = Launch(standins + L"\\" + kShellProcess);
    if (!failure.empty()) {
        return failure;
    }
    return WaitUntil([] { return GetShellWindow() != NULL; })
        ? "" : "the stand-in shell's window is not the shell window";
}

std::wstring ShellName()
{
    DWORD shell = 0;
    HWND window = GetShellWindow();
    if (window == NULL || GetWindowThreadProcessId(window, &shell) == 0) {
        return L"";
    }
    std::wstring name;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ProcessID == shell) {
            name = entry.szExeFile;
        }
    });
    return name;
}

std::wstring ShellUser()
{
    DWORD shell = 0;
    GetWindowThreadProcessId(GetShellWindow(), &shell);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shell);
    HANDLE token = NULL;
    DWORD user[64] = {};
    DWORD size = 0;
    wchar_t* sid = NULL;
    std::wstring text;
    if (process != NULL && OpenProcessToken(process, TOKEN_QUERY, &token)
        && GetTokenInformation(token, TokenUser, user, sizeof user, &size)
        && ConvertSidToStringSidW(((TOKEN_USER*)user)->User.Sid, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    if (token != NULL) {
        CloseHandle(token);
    }
    if (process != NULL) {
        CloseHandle(process);
    }
    return text;
}

TokenRecord ReadTokenRecord(const std::wstring& programPath)
{
    TokenRecord record;
    std::istringstream fields(ReadTextFile(RecordFile(programPath, kTokenRecord)));
    std::string user;
    record.exists = static_cast<bool>(fields >> record.elevationType >> std::hex >> record.integrity
                                      >> std::dec >> record.session >> user);
    record.user = Widen(user);
    return record;
}

TokenRecord OwnToken()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    const std::wstring record = RecordFile(self, kTokenRecord);
    WriteTokenRecord(record.c_str());
    TokenRecord own = ReadTokenRecord(self);
    DeleteFileW(record.c_str());
    return own;
}
// --- Shortcut ----------------------------------------------------------------------------

Failure SetShell(bool running, const std::wstring& standins)
{
    if (running) {
        return StartShell(standins);
    }
    return UnderWine() ? KillProcesses(kShellProcess)
                       : Skip("Explorer is this desktop's shell, and the tests never end it");
}
// Runs `act` on a shell link object and its file interface; the failure when there are none.
template <typename Act>
static HRESULT WithShellLink(Act act)
{
    HRESULT initialised = CoInitialize(NULL);
    IShellLinkW* link = NULL;
    IPersistFile* file = NULL;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      (void**)&link);
    if (SUCCEEDED(result)) {
        result = link->QueryInterface(IID_IPersistFile, (void**)&file);
    }
    if (SUCCEEDED(result)) {
        result = act(link, file);
        file->Release();
    }
    if (link != NULL) {
        link->Release();
    }
    if (SUCCEEDED(initialised)) {
        CoUninitialize();
    }
    return result;
}

Failure WriteShortcut(const std::wstring& target, const std::wstring& linkPath)
{
    HRESULT result = WithShellLink([&](IShellLinkW* link, IPersistFile* file) {
        HRESULT set = link->SetPath(target.c_str());
        return SUCCEEDED(set) ? file->Save(linkPath.c_str(), TRUE) : set;
    });
    if (FAILED(result)) {
        return ErrorText("saving the shell link", (DWORD)result);
    }
    return FileExists(linkPath) ? "" : "no shortcut at " + Narrow(linkPath);
}

Shortcut ReadShortcut(const std::wstring& linkPath)
{
    Shortcut shortcut;
    WithShellLink([&](IShellLinkW* link, IPersistFile* file) {
        HRESULT loaded = file->Load(linkPath.c_str(), STGM_READ);
        if (FAILED(loaded)) {
            return loaded;
        }
        shortcut.loaded = true;
        // Room for the longest description the shell keeps (INFOTIPSIZE).
        const int kUnits = 1024;
        wchar_t text[kUnits] = {};
        // A getter that fails leaves a mark no expected shortcut holds, so it cannot pass
        // for the shell's empty default.
        auto read = [&](HRESULT got) {
            wchar_t failed[32] = {};
            swprintf(failed, 32, L"(unreadable 0x%08lx)", static_cast<unsigned long>(got));
            const std::wstring value = SUCCEEDED(got) ? text : failed;
            text[0] = L'\0';
            return value;
        };
        shortcut.target = read(link->GetPath(text, kUnits, NULL, SLGP_RAWPATH));
        shortcut.arguments = read(link->GetArguments(text, kUnits));
        shortcut.workingDirectory = read(link->GetWorkingDirectory(text, kUnits));
        shortcut.description = read(link->GetDescription(text, kUnits));
        shortcut.iconLocation = read(link->GetIconLocation(text, kUnits, &shortcut.iconIndex));
        return link->GetShowCmd(&shortcut.showCommand);
    });
    return shortcut;
}

bool operator==(const Shortcut& a, const Shortcut& b)
{
    return a.loaded == b.loaded && a.target == b.target && a.arguments == b.arguments
        && a.workingDirectory == b.workingDirectory && a.showCommand == b.showCommand
        && a.description == b.description && a.iconLocation == b.iconLocation
        && a.iconIndex == b.iconIndex;
}

void PrintTo(const Shortcut& shortcut, std::ostream* out)
{
    if (!shortcut.loaded) {
        *out << "no link";
        return;
    }
    *out << "[" << Narrow(shortcut.target) << "] arguments=[" << Narrow(shortcut.arguments)
         << "] folder=[" << Narrow(shortcut.workingDirectory) << "] show="
         << shortcut.showCommand << " description=[" << Narrow(shortcut.description)
         << "] icon=[" << Narrow(shortcut.iconLocation) << "]," << shortcut.iconIndex;
}

// --- Whole machines ----------------------------------------------------------------------

static Failure InstallRunningService(const Healthy& healthy)
{
    // Installed with manual start, as the package's installer does, started, and only then
    // given its start type: a disabled service that runs cannot be had the other way round.
    Failure failure = InstallService(SERVICE_DEMAND_START);
    if (failure.empty() && healthy.serviceRunning) {
        failure = StartScanService();
    }
    return failure.empty() ? SetStartType(healthy.startType) : failure;
}

static Failure StartBackgroundPrograms(const Healthy& healthy, const std::wstring& windows)
{
    for (int i = 0; i < 3; ++i) {
        const BackgroundProgram& program = kBackgroundPrograms[i];
        if (healthy.programs[i]) {
            Failure failure = LaunchAndWait(program.commandLine(windows), program.process);
            if (!failure.empty()) {
                return failure;
            }
        }
    }
    return "";
}

Failure MakeHealthy(const Healthy& healthy)
{
    const std::wstring windows = WindowsDirectory();
    Failure failure = InstallPackage(healthy.standins, windows, healthy.package);
    if (failure.empty()) {
        failure = SetServiceBehaviour(healthy.behaviour, windows);
    }
    if (failure.empty() && healthy.monitorValue) {
        failure =
            WriteRunValue(names::kMonitorValueName, MonitorCommandLine(windows), healthy.view);
    }
    if (failure.empty() && healthy.panelValue) {
        failure = WriteRunValue(names::kPanelValueName, PanelPath(windows), healthy.view);
    }
    if (failure.empty() && healthy.shortcut) {
        failure = WriteShortcut(GuidePath(windows), ShortcutPath());
    }
    if (failure.empty()) {
        failure = SetShell(healthy.shell, healthy.standins);
    }
    if (failure.empty()) {
        failure = StartBackgroundPrograms(healthy, windows);
    }
    // Last: a service that runs the tool as it starts finds the shortcut, the shell and the
    // programs in place (its start type is set once it runs), and never races the
    // shortcut's writing (a sharing violation for one of the two).
    return failure.empty() && healthy.service ? InstallRunningService(healthy) : failure;
}

Failure Reset(const std::wstring& windows)
{
    std::vector<Failure> steps;
    for (const BackgroundProgram& program : kBackgroundPrograms) {
        steps.push_back(KillProcesses(program.process));
    }
    steps.push_back(KillProcesses(kShellProcess));
    steps.push_back(DeleteScanService());
    // A service program that is no service keeps running once the service is gone.
    steps.push_back(KillProcesses(wcsrchr(names::kServiceProgram, L'\\') + 1));
    steps.push_back(DeleteRunValue(names::kMonitorValueName));
    steps.push_back(DeleteRunValue(names::kPanelValueName));
    const std::wstring shortcut = ShortcutPath();
    DeleteFileW(shortcut.c_str());
    RemoveDirectoryW(shortcut.c_str());
    if (FileExists(shortcut)) {
        steps.push_back("the shortcut could not be removed");
    }
    steps.push_back(MakeRecordsFolder());
    for (const std::wstring& program :
         {MonitorPath(windows), PanelPath(windows), GuidePath(windows), ServicePath(windows)}) {
        for (const wchar_t* order : {kExitFile, kBehaviourFile, kToolFile}) {
            DeleteFileW((program + order).c_str());
        }
        ForgetRecords(program);
    }
    for (const Failure& step : steps) {
        if (!step.empty()) {
            return step;
        }
    }
    return "";
}

// --- Snapshots ---------------------------------------------------------------------------

// The package's programs, under any letter case, and the stand-in shell: the processes of
// others come and go on their own (svchost, the search indexer, Wine's desktop and menus).
static bool IsPackageProcess(const std::wstring& name)
{
    for (const BackgroundProgram& program : kBackgroundPrograms) {
        if (lstrcmpiW(name.c_str(), program.process) == 0) {
            return true;
        }
    }
    return lstrcmpiW(name.c_str(), kShellProcess) == 0;
}

static std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        // The shell's own hidden desktop.ini is part of a folder, not an entry of it.
        const bool shellsOwn = lstrcmpiW(found.cFileName, L"desktop.ini") == 0
            && (found.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0
            && !shellsOwn) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// Each running background program has written its record: one line per start.
static bool Recorded(const std::wstring& windows)
{
    for (const BackgroundProgram& program : kBackgroundPrograms) {
        if (ReadLines(RecordFile(program.path(windows), kCommandLineRecord)).size()
            < static_cast<size_t>(CountProcesses(program.process))) {
            return false;
        }
    }
    return true;
}

Snapshot TakeSnapshot()
{
    const std::wstring windows = WindowsDirectory();
    WaitUntil([&] { return Recorded(windows); }, 5000);
    Snapshot shot;
    shot.service = ReadService();
    // 32-bit Windows has one registry view, which both names reach: it is read once.
    BOOL wow64 = FALSE;
    const int views = sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64)
        ? 2 : 1;
    for (int view = 0; view < views; ++view) {
        std::vector<RegistryValue>& values = shot.runValues[view];
        values = ReadValues(names::kRunKeyPath, view ? kView64 : kView32, &shot.runKeys[view]);
        std::sort(values.begin(), values.end(), [](const RegistryValue& a, const RegistryValue& b) {
            return a.name < b.name;
        });
    }
    for (const std::wstring& name : ProcessNames()) {
        if (IsPackageProcess(name)) {
            shot.processes.push_back(name);
        }
    }
    std::sort(shot.processes.begin(), shot.processes.end());
    shot.startupFolder = FolderEntries(CommonStartupFolder());
    shot.shortcut = ReadShortcut(ShortcutPath());
    for (int i = 0; i < 3; ++i) {
        shot.records[i] = ReadLines(RecordFile(kBackgroundPrograms[i].path(windows), kCommandLineRecord));
    }
    shot.records[3] = ReadLines(RecordFile(ServicePath(windows), kStartsRecord));
    return shot;
}

bool operator==(const RegistryValue& a, const RegistryValue& b)
{
    return a.name == b.name && a.exists == b.exists && a.type == b.type && a.bytes == b.bytes;
}

bool operator==(const ServiceConfig& a, const ServiceConfig& b)
{
    return a.exists == b.exists && a.serviceType == b.serviceType && a.startType == b.startType
        && a.errorControl == b.errorControl && a.binaryPath == b.binaryPath
        && a.account == b.account && a.displayName == b.displayName && a.state == b.state
        && a.processId == b.processId && a.error == b.error;
}

bool operator==(const Snapshot& a, const Snapshot& b)
{
    return a.service == b.service && a.runKeys[0] == b.runKeys[0] && a.runKeys[1] == b.runKeys[1]
        && a.runValues[0] == b.runValues[0] && a.runValues[1] == b.runValues[1]
        && a.processes == b.processes && a.startupFolder == b.startupFolder
        && a.shortcut == b.shortcut
        && std::equal(std::begin(a.records), std::end(a.records), std::begin(b.records));
}

static void PrintLines(std::ostream* out, const char* what, const std::vector<std::wstring>& lines)
{
    *out << "\n  " << what << ":";
    for (const std::wstring& line : lines) {
        *out << " [" << Narrow(line) << "]";
    }
}

void PrintTo(const Snapshot& shot, std::ostream* out)
{
    const ServiceConfig& service = shot.service;
    *out << "\n  service: " << (service.exists ? "" : "none ") << "type=" << service.serviceType
         << " start=" << service.startType << " error=" << service.errorControl << " binary=["
         << Narrow(service.binaryPath) << "] account=[" << Narrow(service.account)
         << "] display=[" << Narrow(service.displayName) << "] state=" << service.state
         << " pid=" << service.processId << " " << service.error;
    for (int view = 0; view < 2; ++view) {
        *out << "\n  run" << (view ? 64 : 32) << (shot.runKeys[view] ? ":" : ": no key");
        for (const RegistryValue& value : shot.runValues[view]) {
            *out << " [" << Narrow(value.name) << " type=" << value.type << " bytes="
                 << value.bytes.size() << " " << Narrow(value.Text()) << "]";
        }
    }
    PrintLines(out, "processes", shot.processes);
    PrintLines(out, "startup folder", shot.startupFolder);
    *out << "\n  shortcut: ";
    PrintTo(shot.shortcut, out);
    static const char* const kRecords[] = {"monitor", "panel", "guide", "service starts"};
    for (int i = 0; i < 4; ++i) {
        PrintLines(out, kRecords[i], shot.records[i]);
    }
}

std::string Describe(const Snapshot& shot)
{
    std::ostringstream out;
    PrintTo(shot, &out);
    return out.str();
}

}  // namespace machine
