#include "tests/support/put_back.h"

#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace machine {

static const wchar_t kStateFile[] = L"\\state.txt";
// Administrators and the system only: the put-back writes what this folder says into HKLM.
static const wchar_t kSavedFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
static const wchar_t kSavedShortcut[] = L"\\shortcut.lnk";
// Values of the user's own that a test sets: the AutoRun command, Wine's claimed version.
static const struct {
    const wchar_t* key;
    const wchar_t* value;
} kUserValues[] = {
    {L"Software\\Microsoft\\Command Processor", L"AutoRun"},
    {L"Software\\Wine", L"Version"},
};

static std::wstring PackageFolder(const std::wstring& program)
{
    const std::wstring relative = program.substr(TwainDirectory().size() + 1);
    return TwainDirectory() + L"\\" + relative.substr(0, relative.find(L'\\'));
}

std::vector<std::wstring> ScratchPaths()
{
    wchar_t local[MAX_PATH] = {};
    SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, local);
    const std::wstring virtualStore = std::wstring(local) + L"\\VirtualStore"
        + TwainDirectory().substr(2);
    return {ScratchFolder(),
            DownloadsFolder() + L"\\scarvel-planted",
            DownloadsFolder() + L"\\scarvel-planted-cmd",
            L"C:\\hostile-windows",
            L"C:\\hostile windows",
            virtualStore + L"\\" + PackageFolder(MonitorPath()).substr(TwainDirectory().size() + 1),
            virtualStore + L"\\" + PackageFolder(PanelPath()).substr(TwainDirectory().size() + 1)};
}

std::wstring SavedFolder()
{
    wchar_t programs[MAX_PATH] = {};
    SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, 0, programs);
    return std::wstring(programs) + L"\\ScarvelRepairSuite-saved";
}

// The package's own folders inside the TWAIN directory, which Windows and other vendors share.
static std::vector<std::wstring> PackageFolders()
{
    return {PackageFolder(MonitorPath()), PackageFolder(PanelPath())};
}

static std::string Hex(const BYTE* data, size_t size)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < size; ++i) {
        snprintf(pair, sizeof pair, "%02x", data[i]);
        text += pair;
    }
    return text.empty() ? "-" : text;
}

static std::string Hex(const std::vector<BYTE>& bytes)
{
    return Hex(bytes.data(), bytes.size());
}

static std::vector<BYTE> Bytes(const std::string& hex)
{
    std::vector<BYTE> bytes;
    for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

static REGSAM ViewBits(int view)
{
    return view == 32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}

// The value of HKCU\<key>, or nothing; whether the key exists.
static bool ReadUserValue(const wchar_t* key, const wchar_t* name, RegistryValue* value)
{
    HKEY opened = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    if (RegQueryValueExW(opened, name, NULL, &value->type, NULL, &size) == ERROR_SUCCESS) {
        value->bytes.resize(size);
        value->exists = RegQueryValueExW(opened, name, NULL, &value->type, value->bytes.data(),
                                         &size) == ERROR_SUCCESS;
    }
    RegCloseKey(opened);
    return true;
}

static Failure RemoveTree(const std::wstring& path);

static Failure CreateProtectedFolder(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kSavedFolderSecurity, SDDL_REVISION_1,
                                                              &descriptor, NULL)) {
        return "could not make the saved folder's security: error " + std::to_string(GetLastError());
    }
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    const BOOL created = CreateDirectoryW(path.c_str(), &security);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    return created ? "" : "could not make " + Narrow(path) + ": error " + std::to_string(error);
}

static Failure Refusal(const std::wstring& folder)
{
    if (FileExists(folder)) {
        return "the state of a run that was cut off is in " + Narrow(folder)
            + ": put it back first (run-suite.cmd /restore)";
    }
    for (const std::wstring& path : PackageFolders()) {
        if (FileExists(path)) {
            return Narrow(path) + " is there: run the suite where the driver package is not";
        }
    }
    for (const wchar_t* service : {names::kServiceName, kOtherServiceName}) {
        if (ReadService(service).exists) {
            return "the service " + Narrow(service) + " is installed: run the suite where the "
                   "driver package is not";
        }
    }
    for (const std::wstring& path : ScratchPaths()) {
        if (FileExists(path)) {
            return Narrow(path) + " is there already: remove it first";
        }
    }
    return "";
}

Failure SaveMachine(const std::wstring& folder)
{
    Failure refused = Refusal(folder);
    if (!refused.empty()) {
        return refused;
    }
    std::ostringstream state;
    state << "twain " << FileExists(TwainDirectory()) << "\n";
    for (int view : {32, 64}) {
        bool keyExists = false;
        const std::vector<RegistryValue> values =
            ReadValues(names::kRunKeyPath, view == 32 ? kView32 : kView64, &keyExists);
        state << "runkey " << view << " " << keyExists << "\n";
        for (const RegistryValue& value : values) {
            // The name as its UTF-16 bytes: blanks, line breaks and lone surrogates survive.
            state << "run " << view << " " << value.type << " " << Hex(value.bytes) << " "
                  << Hex(reinterpret_cast<const BYTE*>(value.name.data()),
                         value.name.size() * sizeof(wchar_t))
                  << "\n";
        }
    }
    for (size_t i = 0; i < sizeof kUserValues / sizeof kUserValues[0]; ++i) {
        RegistryValue value;
        const bool keyExists = ReadUserValue(kUserValues[i].key, kUserValues[i].value, &value);
        state << "user " << i << " " << keyExists << " " << value.exists << " " << value.type << " "
              << Hex(value.bytes) << "\n";
    }
    const bool shortcut = FileExists(ShortcutPath());
    state << "shortcut " << shortcut << "\n";
    // Written beside its place and renamed into it once whole: a save cut off leaves
    // nothing that a later start would take for a run to put back.
    const std::wstring part = folder + L".part";
    RemoveTree(part);
    Failure failure = CreateProtectedFolder(part);
    if (failure.empty() && shortcut
        && !CopyFileW(ShortcutPath().c_str(), (part + kSavedShortcut).c_str(), TRUE)) {
        failure = "the shortcut could not be saved aside";
    }
    if (failure.empty()) {
        failure = WriteTextFile(part + kStateFile, state.str());
    }
    if (failure.empty() && !MoveFileExW(part.c_str(), folder.c_str(), 0)) {
        failure = "could not make " + Narrow(folder) + ": error " + std::to_string(GetLastError());
    }
    if (!failure.empty()) {
        RemoveTree(part);
    }
    return failure;
}

// --- Putting back --------------------------------------------------------------------------

// A link (a junction, a symbolic link) goes itself; the tree it points to stays.
static Failure RemoveTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return "";
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
            ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
        return removed ? "" : "could not remove the link " + Narrow(path);
    }
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return DeleteFileW(path.c_str()) ? "" : "could not delete " + Narrow(path);
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    Failure failure;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            const Failure inner = RemoveTree(path + L"\\" + name);
            failure = failure.empty() ? inner : failure;
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return failure.empty() && !RemoveDirectoryW(path.c_str()) ? "could not remove " + Narrow(path)
                                                               : failure;
}

static bool IsUnder(const std::wstring& path, const std::wstring& folder)
{
    return path.size() > folder.size() && path[folder.size()] == L'\\'
        && CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, path.c_str(), (int)folder.size(),
                          folder.c_str(), (int)folder.size()) == CSTR_EQUAL;
}

static bool IsUnderAny(const std::wstring& path, const std::vector<std::wstring>& folders)
{
    for (const std::wstring& folder : folders) {
        if (IsUnder(path, folder)) {
            return true;
        }
    }
    return false;
}

// The program's path, in its long form ("" when it cannot be read).
static std::wstring ProgramOf(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    const bool known = process != NULL && QueryFullProcessImageNameW(process, 0, image, &size);
    if (process != NULL) {
        CloseHandle(process);
    }
    wchar_t longForm[MAX_PATH * 2] = {};
    return !known ? L"" : GetLongPathNameW(image, longForm, MAX_PATH * 2) > 0 ? longForm : image;
}

static bool EndProcess(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    const bool ended = process != NULL && TerminateProcess(process, 1)
        && WaitForSingleObject(process, 30000) == WAIT_OBJECT_0;
    if (process != NULL) {
        CloseHandle(process);
    }
    return ended;
}

// Every process whose program lies in one of `folders`, this one aside: those the suite
// started, and nothing else.
static Failure EndProgramsIn(const std::vector<std::wstring>& folders)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    Failure failure;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        const std::wstring program = ProgramOf(entry.th32ProcessID);
        if (entry.th32ProcessID != GetCurrentProcessId() && IsUnderAny(program, folders)
            && !EndProcess(entry.th32ProcessID)) {
            failure += (failure.empty() ? "" : "\n") + ("could not end " + Narrow(program));
        }
    }
    CloseHandle(snapshot);
    return failure;
}

static LONG WriteValue(HKEY root, const std::wstring& key, REGSAM view, const RegistryValue& value)
{
    HKEY opened = NULL;
    LONG result = RegCreateKeyExW(root, key.c_str(), 0, NULL, 0, KEY_SET_VALUE | view, NULL,
                                  &opened, NULL);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(opened, value.name.c_str(), 0, value.type, value.bytes.data(),
                                (DWORD)value.bytes.size());
        RegCloseKey(opened);
    }
    return result;
}

static LONG DeleteValue(HKEY root, const std::wstring& key, REGSAM view, const std::wstring& name)
{
    HKEY opened = NULL;
    LONG result = RegOpenKeyExW(root, key.c_str(), 0, KEY_SET_VALUE | view, &opened);
    if (result == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (result == ERROR_SUCCESS) {
        result = RegDeleteValueW(opened, name.c_str());
        RegCloseKey(opened);
    }
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

// The Run key of a view with its saved values again; the package's own values where none was.
static Failure PutBackRunValues(int view, const std::vector<RegistryValue>& saved)
{
    Failure failure;
    for (const RegistryValue& value : saved) {
        if (!(ReadRunValue(value.name.c_str(), view == 32 ? kView32 : kView64) == value)
            && WriteValue(HKEY_LOCAL_MACHINE, names::kRunKeyPath, ViewBits(view), value) != ERROR_SUCCESS) {
            failure = "could not write back the Run value " + Narrow(value.name);
        }
    }
    for (const wchar_t* name : {names::kMonitorValueName, names::kPanelValueName}) {
        bool wasThere = false;
        for (const RegistryValue& value : saved) {
            wasThere = wasThere || value.name == name;
        }
        if (!wasThere && DeleteValue(HKEY_LOCAL_MACHINE, names::kRunKeyPath, ViewBits(view), name)
                             != ERROR_SUCCESS) {
            failure = "could not delete the Run value " + Narrow(name);
        }
    }
    return failure;
}

static Failure PutBackUserValue(size_t index, bool keyExisted, const RegistryValue& saved)
{
    const std::wstring key = kUserValues[index].key;
    RegistryValue value = saved;
    value.name = kUserValues[index].value;
    LONG result = value.exists ? WriteValue(HKEY_CURRENT_USER, key, 0, value)
                               : DeleteValue(HKEY_CURRENT_USER, key, 0, value.name);
    // A key a test created goes again, rather than staying empty.
    HKEY opened = NULL;
    if (result == ERROR_SUCCESS && !keyExisted
        && RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened) == ERROR_SUCCESS) {
        RegCloseKey(opened);
        result = RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    }
    return result == ERROR_SUCCESS ? "" : "could not put back HKCU\\" + Narrow(key);
}

static Failure PutBackShortcut(const std::wstring& folder, bool saved)
{
    Failure failure = RemoveTree(ShortcutPath());
    if (failure.empty() && saved
        && !CopyFileW((folder + kSavedShortcut).c_str(), ShortcutPath().c_str(), TRUE)) {
        failure = "could not put back the shortcut";
    }
    return failure;
}

// Each step is taken whatever the others did; the failures are all told.
static void Note(Failure* all, const Failure& step)
{
    if (!step.empty()) {
        *all += (all->empty() ? "" : "\n") + step;
    }
}

Failure PutBackMachine(const std::wstring& folder, const std::vector<std::wstring>& programFolders)
{
    std::ifstream file(Narrow(folder + kStateFile));
    if (!file) {
        return "nothing to put back: " + Narrow(folder + kStateFile) + " cannot be read";
    }
    Failure failure;
    for (const wchar_t* service : {names::kServiceName, kOtherServiceName}) {
        Note(&failure, DeleteScanService(service));
    }
    std::vector<std::wstring> started = PackageFolders();
    const std::vector<std::wstring> scratch = ScratchPaths();
    started.insert(started.end(), scratch.begin(), scratch.end());
    std::vector<std::wstring> programs = started;
    programs.insert(programs.end(), programFolders.begin(), programFolders.end());
    Note(&failure, EndProgramsIn(programs));
    bool twainExisted = true;
    std::vector<RegistryValue> run[2];
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string kind, hex;
        fields >> kind;
        int view = 0, flag = 0;
        if (kind == "twain") {
            fields >> twainExisted;
        } else if (kind == "runkey") {
            fields >> view >> flag;
            if (flag != 0) {
                Note(&failure, CreateRunKey(view == 32 ? kView32 : kView64));
            }
        } else if (kind == "run") {
            RegistryValue value;
            std::string name;
            fields >> view >> value.type >> hex >> name;
            const std::vector<BYTE> units = Bytes(name);
            value.name.assign(reinterpret_cast<const wchar_t*>(units.data()),
                              units.size() / sizeof(wchar_t));
            value.exists = true;
            value.bytes = Bytes(hex);
            run[view == 64].push_back(value);
        } else if (kind == "user") {
            size_t index = 0;
            bool keyExisted = false;
            RegistryValue value;
            fields >> index >> keyExisted >> value.exists >> value.type >> hex;
            value.bytes = Bytes(hex);
            Note(&failure, PutBackUserValue(index, keyExisted, value));
        } else if (kind == "shortcut") {
            fields >> flag;
            Note(&failure, PutBackShortcut(folder, flag != 0));
        }
    }
    file.close();
    Note(&failure, PutBackRunValues(32, run[0]));
    Note(&failure, PutBackRunValues(64, run[1]));
    for (const std::wstring& path : started) {
        Note(&failure, RemoveTree(path));
    }
    if (!twainExisted) {
        RemoveDirectoryW(TwainDirectory().c_str());
    }
    return failure.empty() ? RemoveTree(folder) : failure;
}

}  // namespace machine
