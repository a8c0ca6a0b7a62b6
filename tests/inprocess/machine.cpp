#include "tests/inprocess/machine.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <cstdlib>

namespace machine {

static const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
static const wchar_t kService[] = L"NVSCNSVC";
static const wchar_t* const kProgramNames[] = {L"NVMONSTA.exe", L"Kestrun.exe", L"Haldrix.exe"};

std::wstring WindowsDirectory()
{
    wchar_t buffer[MAX_PATH] = {};
    GetWindowsDirectoryW(buffer, MAX_PATH);
    return buffer;
}

std::wstring TwainDirectory(const std::wstring& windowsDirectory)
{
    return windowsDirectory + L"\\twain_32";
}
std::wstring MonitorPath(const std::wstring& w) { return TwainDirectory(w) + L"\\Norvale\\NVMONSTA.exe"; }
std::wstring ServicePath(const std::wstring& w) { return TwainDirectory(w) + L"\\Norvale\\NVSCNSVC.exe"; }
std::wstring PanelPath(const std::wstring& w) { return TwainDirectory(w) + L"\\tessmar32\\QOV\\Kestrun.exe"; }
std::wstring GuidePath(const std::wstring& w) { return TwainDirectory(w) + L"\\tessmar32\\KLD\\Haldrix.exe"; }

std::wstring ShortcutPath()
{
    wchar_t folder[MAX_PATH] = {};
    SHGetSpecialFolderPathW(NULL, folder, CSIDL_COMMON_STARTUP, TRUE);
    return std::wstring(folder) + L"\\Faultwise Companion.lnk";
}

static std::wstring StandinsFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    GetEnvironmentVariableW(L"SCARVEL_STANDINS", buffer, MAX_PATH);
    return buffer;
}

void CreateDirectories(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3); ; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), NULL);
        if (at == std::wstring::npos) {
            break;
        }
    }
}

void InstallPackage(const std::wstring& windowsDirectory)
{
    const std::wstring standins = StandinsFolder();
    const std::wstring program = standins + L"\\standin_program.exe";
    CreateDirectories(TwainDirectory(windowsDirectory) + L"\\Norvale");
    CreateDirectories(TwainDirectory(windowsDirectory) + L"\\tessmar32\\QOV");
    CreateDirectories(TwainDirectory(windowsDirectory) + L"\\tessmar32\\KLD");
    CopyFileW(program.c_str(), MonitorPath(windowsDirectory).c_str(), FALSE);
    CopyFileW(program.c_str(), PanelPath(windowsDirectory).c_str(), FALSE);
    CopyFileW(program.c_str(), GuidePath(windowsDirectory).c_str(), FALSE);
    CopyFileW((standins + L"\\standin_service.exe").c_str(), ServicePath(windowsDirectory).c_str(),
              FALSE);
}

void WriteTextFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
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

void Reset(const std::wstring& windowsDirectory)
{
    for (const wchar_t* name : kProgramNames) {
        KillProcesses(name);
    }
    DeleteScanService();
    DeleteRunValue(L"Velmora Setup");
    DeleteRunValue(L"Kestrun_setup");
    const std::wstring shortcut = ShortcutPath();
    DeleteFileW(shortcut.c_str());
    RemoveDirectoryW(shortcut.c_str());
    for (const std::wstring& program : {MonitorPath(windowsDirectory), PanelPath(windowsDirectory),
                                        GuidePath(windowsDirectory), ServicePath(windowsDirectory)}) {
        DeleteFileW((program + L".cmdline").c_str());
        DeleteFileW((program + L".exit").c_str());
        DeleteFileW((program + L".starts").c_str());
        DeleteFileW((program + L".behaviour").c_str());
    }
}

std::wstring RegistryValue::Text() const
{
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    }
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

RegistryValue ReadRunValue(const wchar_t* name)
{
    RegistryValue value;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    if (RegQueryValueExW(key, name, NULL, &value.type, NULL, &size) == ERROR_SUCCESS) {
        value.bytes.resize(size);
        value.exists = RegQueryValueExW(key, name, NULL, &value.type, value.bytes.data(), &size)
            == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return value;
}

void WriteRunValue(const wchar_t* name, const std::wstring& text)
{
    HKEY key = NULL;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text.c_str(),
                   (DWORD)((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void DeleteRunValue(const wchar_t* name)
{
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}

static DWORD WaitForState(SC_HANDLE service, DWORD wanted)
{
    SERVICE_STATUS_PROCESS status = {};
    for (int i = 0; i < 100; ++i) {
        DWORD needed = 0;
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status,
                             &needed);
        if (status.dwCurrentState == wanted) {
            break;
        }
        Sleep(50);
    }
    return status.dwCurrentState;
}

void InstallService(DWORD startType, const char* behaviour, const std::wstring& binaryPath)
{
    WriteTextFile(ServicePath() + L".behaviour", behaviour);
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceW(manager, kService, kService, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_IGNORE,
                                       binaryPath.c_str(), NULL, NULL, NULL, NULL, NULL);
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

// Runs `act` on the scan service opened with full access, when it is installed.
template <typename Act>
static void WithScanService(Act act)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_ALL_ACCESS);
    if (service != NULL) {
        act(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

void StartServiceAndWaitRunning()
{
    WithScanService([](SC_HANDLE service) {
        StartServiceW(service, 0, NULL);
        WaitForState(service, SERVICE_RUNNING);
    });
}

void DeleteScanService()
{
    WithScanService([](SC_HANDLE service) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        WaitForState(service, SERVICE_STOPPED);
        DeleteService(service);
    });
    // Wine removes a deleted service once its last handle is closed.
    for (int i = 0; i < 100 && ReadService().exists; ++i) {
        Sleep(50);
    }
}

ServiceConfig ReadService()
{
    ServiceConfig result;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (service != NULL) {
        DWORD needed = 0;
        QueryServiceConfigW(service, NULL, 0, &needed);
        std::vector<BYTE> buffer(needed + 16);
        QUERY_SERVICE_CONFIGW* config = (QUERY_SERVICE_CONFIGW*)buffer.data();
        if (QueryServiceConfigW(service, config, (DWORD)buffer.size(), &needed)) {
            result.exists = true;
            result.serviceType = config->dwServiceType;
            result.startType = config->dwStartType;
            result.errorControl = config->dwErrorControl;
            result.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
            result.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
            result.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
        }
        SERVICE_STATUS_PROCESS status = {};
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status,
                             &needed);
        result.state = status.dwCurrentState;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

void StartProgram(const std::wstring& path, const std::wstring& commandLine)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(path.c_str(), &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

template <typename Visit>
static void ForEachProcess(Visit visit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        visit(entry);
    }
    CloseHandle(snapshot);
}

int CountProcesses(const wchar_t* name)
{
    int count = 0;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        count += wcscmp(entry.szExeFile, name) == 0;
    });
    return count;
}

void KillProcesses(const wchar_t* name)
{
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (_wcsicmp(entry.szExeFile, name) != 0) {
            return;
        }
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process != NULL) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    });
}

static std::vector<std::wstring> ReadRecordedLines(const std::wstring& programPath)
{
    std::vector<std::wstring> lines;
    const std::string bytes = ReadTextFile(programPath + L".cmdline");
    size_t start = 0;
    for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = bytes.substr(start, end - start);
        std::wstring wide(line.size(), L'\0');
        int length = MultiByteToWideChar(CP_UTF8, 0, line.data(), (int)line.size(), &wide[0],
                                         (int)wide.size());
        wide.resize(length > 0 ? length : 0);
        lines.push_back(wide);
    }
    return lines;
}

std::vector<std::wstring> RecordedCommandLines(const std::wstring& programPath, size_t atLeast)
{
    std::vector<std::wstring> lines = ReadRecordedLines(programPath);
    for (int i = 0; i < 50 && lines.size() < atLeast; ++i) {
        Sleep(20);
        lines = ReadRecordedLines(programPath);
    }
    return lines;
}

std::wstring ReadShortcutTarget(const std::wstring& linkPath)
{
    std::wstring target;
    HRESULT initialised = CoInitialize(NULL);
    IShellLinkW* link = NULL;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   (void**)&link))) {
        IPersistFile* file = NULL;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file))) {
            wchar_t path[MAX_PATH] = {};
            if (SUCCEEDED(file->Load(linkPath.c_str(), STGM_READ))
                && SUCCEEDED(link->GetPath(path, MAX_PATH, NULL, SLGP_RAWPATH))) {
                target = path;
            }
            file->Release();
        }
        link->Release();
    }
    if (SUCCEEDED(initialised)) {
        CoUninitialize();
    }
    return target;
}

}  // namespace machine
