// Reads back, inside a Wine prefix, what the repair tool may have changed: a service's
// configuration and state, the process list, the values of a registry key, the shell
// folders; and launches programs with an exact command line. Wine 8's "sc qc" and
// "tasklist" print nothing, hence this program.
//
//   probe.exe OUTPUT.json COMMAND [ARGS...] [+ COMMAND [ARGS...]]...
//     service NAME            configuration and state of a service (or exists=false)
//     processes               executable names of all running processes
//     values 32|64 KEY        every value of HKLM\KEY in that registry view (or null)
//     folders                 Windows and System32 directories, the common Startup folder
//     launch COMMANDLINE      CreateProcessW(NULL, COMMANDLINE), not waited for
//     start-type NAME N       sets a service's start type (Wine 8's sc has no "config")
//     shortcut TARGET LINK    saves a shell link to TARGET at LINK
//     kill NAME               terminates every process whose executable is exactly NAME
//     environment NAME        the value of an environment variable of the probe (or null)
//
// The output is one JSON array, one element per command, written as UTF-8.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <stdlib.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text, int units = -1)
{
    if (units == 0) {
        return std::string();
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, NULL, 0, NULL, NULL);
    std::string out(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, units, &out[0], bytes, NULL, NULL);
    }
    if (units < 0 && !out.empty()) {
        out.resize(out.size() - 1);
    }
    return out;
}

std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            wsprintfA(escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string Json(const wchar_t* text) { return text ? Json(Utf8(text)) : "null"; }

std::string Number(unsigned long long value)
{
    char digits[32];
    wsprintfA(digits, "%I64u", value);
    return digits;
}

std::string Hex(const BYTE* data, DWORD size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (DWORD i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

std::string Service(const wchar_t* name)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        return "{\"error\":\"OpenSCManager " + Number(GetLastError()) + "\"}";
    }
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (service == NULL) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return error == ERROR_SERVICE_DOES_NOT_EXIST
            ? "{\"exists\":false}"
            : "{\"error\":\"OpenService " + Number(error) + "\"}";
    }
    std::string out = "{\"exists\":true";
    DWORD needed = 0;
    QueryServiceConfigW(service, NULL, 0, &needed);
    std::vector<BYTE> buffer(needed + 16);
    QUERY_SERVICE_CONFIGW* config = (QUERY_SERVICE_CONFIGW*)buffer.data();
    if (QueryServiceConfigW(service, config, (DWORD)buffer.size(), &needed)) {
        out += ",\"type\":" + Number(config->dwServiceType)
            + ",\"start\":" + Number(config->dwStartType)
            + ",\"error_control\":" + Number(config->dwErrorControl)
            + ",\"binary\":" + Json(config->lpBinaryPathName)
            + ",\"account\":" + Json(config->lpServiceStartName)
            + ",\"display\":" + Json(config->lpDisplayName);
    } else {
        out += ",\"config_error\":" + Number(GetLastError());
    }
    SERVICE_STATUS_PROCESS status;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status, sizeof status,
                             &needed)) {
        out += ",\"state\":" + Number(status.dwCurrentState)
            + ",\"pid\":" + Number(status.dwProcessId);
    } else {
        out += ",\"status_error\":" + Number(GetLastError());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return out + "}";
}

std::string Processes()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return "{\"error\":\"CreateToolhelp32Snapshot " + Number(GetLastError()) + "\"}";
    }
    std::string out = "[";
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        out += (out.size() > 1 ? "," : "") + Json(entry.szExeFile);
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return out + "]";
}

// Built for x86-64 in both builds: a 64-bit process sees every process of the prefix,
// where Wine's 32-bit taskkill cannot see the names of 64-bit ones.
std::string Kill(const wchar_t* name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return "{\"error\":\"CreateToolhelp32Snapshot " + Number(GetLastError()) + "\"}";
    }
    unsigned killed = 0, failed = 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpW(entry.szExeFile, name) == 0) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                         entry.th32ProcessID);
            BOOL ended = process != NULL && TerminateProcess(process, 1)
                && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
            ++(ended ? killed : failed);
            if (process != NULL) {
                CloseHandle(process);
            }
        }
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return "{\"killed\":" + Number(killed) + ",\"failed\":" + Number(failed) + "}";
}

std::string Values(const wchar_t* view, const wchar_t* path)
{
    REGSAM sam = KEY_READ | (lstrcmpW(view, L"32") == 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    HKEY key;
    LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, sam, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return "null";
    }
    if (opened != ERROR_SUCCESS) {
        return "{\"error\":\"RegOpenKeyEx " + Number(opened) + "\"}";
    }
    std::string out = "[";
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameUnits = 16384;
        BYTE data[65536];
        DWORD type = 0;
        DWORD size = sizeof data;
        if (RegEnumValueW(key, index, name, &nameUnits, NULL, &type, data, &size)
            != ERROR_SUCCESS) {
            break;
        }
        out += (index ? "," : "");
        out += "{\"name\":" + Json(Utf8(name, (int)nameUnits)) + ",\"type\":" + Number(type)
            + ",\"size\":" + Number(size) + ",\"hex\":" + Json(Hex(data, size));
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            // The text up to the first terminator, as a reader of the value sees it.
            DWORD units = size / sizeof(wchar_t);
            const wchar_t* text = (const wchar_t*)data;
            DWORD length = 0;
            while (length < units && text[length] != L'\0') {
                ++length;
            }
            out += ",\"text\":" + Json(Utf8(text, (int)length));
        }
        out += "}";
    }
    RegCloseKey(key);
    return out + "]";
}

std::string Folders()
{
    wchar_t windows[MAX_PATH] = {};
    wchar_t system[MAX_PATH] = {};
    wchar_t startup[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    SHGetSpecialFolderPathW(NULL, startup, CSIDL_COMMON_STARTUP, FALSE);
    return "{\"windows\":" + Json(windows) + ",\"system\":" + Json(system)
        + ",\"common_startup\":" + Json(startup) + "}";
}

std::string Launch(const wchar_t* commandLine)
{
    std::wstring writable = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(NULL, &writable[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        return "{\"ok\":false,\"error\":" + Number(GetLastError()) + "}";
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return "{\"ok\":true,\"pid\":" + Number(info.dwProcessId) + "}";
}

std::string StartType(const wchar_t* name, const wchar_t* type)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_CHANGE_CONFIG) : NULL;
    BOOL ok = service != NULL
        && ChangeServiceConfigW(service, SERVICE_NO_CHANGE, (DWORD)_wtoi(type), SERVICE_NO_CHANGE,
                                NULL, NULL, NULL, NULL, NULL, NULL, NULL);
    DWORD error = ok ? 0 : GetLastError();
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return std::string("{\"ok\":") + (ok ? "true" : "false") + ",\"error\":" + Number(error) + "}";
}

std::string Shortcut(const wchar_t* target, const wchar_t* linkPath)
{
    CoInitialize(NULL);
    IShellLinkW* link = NULL;
    IPersistFile* file = NULL;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkW, (void**)&link);
    if (SUCCEEDED(result)) {
        result = link->SetPath(target);
    }
    if (SUCCEEDED(result)) {
        result = link->QueryInterface(IID_IPersistFile, (void**)&file);
    }
    if (SUCCEEDED(result)) {
        result = file->Save(linkPath, TRUE);
        file->Release();
    }
    if (link) {
        link->Release();
    }
    CoUninitialize();
    return std::string("{\"ok\":") + (SUCCEEDED(result) ? "true" : "false") + ",\"hresult\":"
        + Number((DWORD)result) + "}";
}

std::string Environment(const wchar_t* name)
{
    static wchar_t value[32767];
    return GetEnvironmentVariableW(name, value, 32767) == 0 ? "null" : Json(value);
}

std::string Run(const std::vector<const wchar_t*>& command)
{
    if (command.empty()) {
        return "{\"error\":\"empty command\"}";
    }
    std::wstring name = command[0];
    size_t arguments = command.size() - 1;
    if (name == L"service" && arguments == 1) {
        return Service(command[1]);
    }
    if (name == L"processes" && arguments == 0) {
        return Processes();
    }
    if (name == L"values" && arguments == 2) {
        return Values(command[1], command[2]);
    }
    if (name == L"folders" && arguments == 0) {
        return Folders();
    }
    if (name == L"launch" && arguments == 1) {
        return Launch(command[1]);
    }
    if (name == L"start-type" && arguments == 2) {
        return StartType(command[1], command[2]);
    }
    if (name == L"kill" && arguments == 1) {
        return Kill(command[1]);
    }
    if (name == L"environment" && arguments == 1) {
        return Environment(command[1]);
    }
    if (name == L"shortcut" && arguments == 2) {
        return Shortcut(command[1], command[2]);
    }
    return "{\"error\":" + Json("bad command " + Utf8(name.c_str())) + "}";
}

}  // namespace

extern "C" int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        return 2;
    }
    std::string out = "[";
    std::vector<const wchar_t*> command;
    for (int i = 2; i <= argc; ++i) {
        if (i == argc || lstrcmpW(argv[i], L"+") == 0) {
            out += (out.size() > 1 ? ",\n" : "") + Run(command);
            command.clear();
        } else {
            command.push_back(argv[i]);
        }
    }
    out += "]\n";
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 3;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, out.data(), (DWORD)out.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == out.size() ? 0 : 4;
}
