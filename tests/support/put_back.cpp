#include "tests/support/put_back.h"

#include <shlobj.h>

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

// The package's own folders inside the TWAIN directory, which Windows and other vendors share.
static std::vector<std::wstring> PackageFolders()
{
    std::vector<std::wstring> folders;
    for (const std::wstring& program : {MonitorPath(), PanelPath()}) {
        folders.push_back(program.substr(0, program.find(L'\\', TwainDirectory().size() + 1)));
    }
    return folders;
}

std::vector<std::wstring> ScratchPaths()
{
    std::vector<std::wstring> paths = {ScratchFolder(), DownloadsFolder() + L"\\scarvel-planted",
                                       DownloadsFolder() + L"\\scarvel-planted-cmd",
                                       L"C:\\hostile-windows", L"C:\\hostile windows"};
    // Where Windows redirects a user's program's writes into the package's folders.
    for (const std::wstring& folder : PackageFolders()) {
        paths.push_back(KnownFolder(CSIDL_LOCAL_APPDATA) + L"\\VirtualStore" + folder.substr(2));
    }
    return paths;
}

std::wstring SavedFolder()
{
    return KnownFolder(CSIDL_PROGRAM_FILES) + L"\\ScarvelRepairSuite-saved";
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

static Failure RemoveTree(const std::wstring& path);

static Failure Refusal(const std::wstring& folder)
{
    for (int csidl : {CSIDL_PROGRAM_FILES, CSIDL_LOCAL_APPDATA, CSIDL_COMMON_APPDATA}) {
        if (KnownFolder(csidl).empty()) {
            return "the shell names no folder for CSIDL " + std::to_string(csidl)
                + ": the suite would not know where it saves and works";
        }
    }
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
    for (View view : {kView32, kView64}) {
        bool keyExists = false;
        const std::vector<RegistryValue> values = ReadValues(names::kRunKeyPath, view, &keyExists);
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
        bool keyExists = false;
        const RegistryValue value = ReadValue(HKEY_CURRENT_USER, kUserValues[i].key,
                                              kUserValues[i].value, kOwnView, &keyExists);
        state << "user " << i << " " << keyExists << " " << value.exists << " " << value.type << " "
              << Hex(value.bytes) << "\n";
    }
    const bool shortcut = FileExists(ShortcutPath());
    state << "shortcut " << shortcut << "\n";
    // Written beside its place and renamed into it once whole: a save cut off leaves
    // nothing that a later start would take for a run to put back.
    const std::wstring part = folder + L".part";
    RemoveTree(part);
    const DWORD error = CreateFolderWithSecurity(part, kSavedFolderSecurity);
    Failure failure = error == 0 ? "" : "could not make " + Narrow(part) + ": error "
                                            + std::to_string(error);
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

// As file names compare: case aside, character by character, with no locale's sorting rules.
static std::wstring Upper(std::wstring name)
{
    if (!name.empty()) {
        CharUpperBuffW(&name[0], static_cast<DWORD>(name.size()));
    }
    return name;
}

static bool IsUnder(const std::wstring& path, const std::wstring& folder)
{
    return path.size() > folder.size() && path[folder.size()] == L'\\'
        && Upper(path.substr(0, folder.size())) == Upper(folder);
}

// The suite's own: a program in one of its own folders, or one of its own program files.
static bool IsOwn(const std::wstring& program, const std::vector<std::wstring>& folders,
                  const std::vector<std::wstring>& files)
{
    for (const std::wstring& folder : folders) {
        if (IsUnder(program, folder)) {
            return true;
        }
    }
    for (const std::wstring& file : files) {
        if (!program.empty() && Upper(program) == Upper(file)) {
            return true;
        }
    }
    return false;
}

// The program's path, in its long form ("" when it cannot be read).
static std::wstring ProgramOf(HANDLE process)
{
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    if (process == NULL || !QueryFullProcessImageNameW(process, 0, image, &size)) {
        return L"";
    }
    wchar_t longForm[MAX_PATH * 2] = {};
    return GetLongPathNameW(image, longForm, MAX_PATH * 2) > 0 ? longForm : image;
}

// Ends process `id` where its program is the suite's own. One handle both names the program
// and ends it, so that an id used again meanwhile is never ended; a process that has ended
// already counts as ended.
static Failure EndIfOwn(DWORD id, const std::vector<std::wstring>& folders,
                        const std::vector<std::wstring>& files)
{
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    DWORD error = process == NULL ? GetLastError() : ERROR_SUCCESS;
    if (process == NULL) {
        process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    }
    const std::wstring program = ProgramOf(process);
    if (error == ERROR_SUCCESS && IsOwn(program, folders, files)
        && !TerminateProcess(process, 1) && WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
        error = GetLastError();
    }
    const bool ended = !IsOwn(program, folders, files)
        || (error == ERROR_SUCCESS && WaitForSingleObject(process, 30000) == WAIT_OBJECT_0);
    if (process != NULL) {
        CloseHandle(process);
    }
    return ended ? "" : error == ERROR_SUCCESS ? Narrow(program) + " did not end in 30 s"
                                               : "could not end " + Narrow(program) + " (error "
                                                     + std::to_string(error) + ")";
}

// Each step is taken whatever the others did; the failures are all told.
static void Note(Failure* all, const Failure& step)
{
    if (!step.empty()) {
        *all += (all->empty() ? "" : "\n") + step;
    }
}

// Every process of the suite's own, but this one and those `spared` keeps: those the suite
// started, and nothing else, wherever the suite was unpacked.
static Failure EndOwnPrograms(const std::vector<std::wstring>& folders,
                              const std::vector<std::wstring>& files, bool (*spared)(DWORD))
{
    Failure failure;
    for (DWORD id : ProcessIds()) {
        if (id != GetCurrentProcessId() && !spared(id)) {
            Note(&failure, EndIfOwn(id, folders, files));
        }
    }
    return failure;
}

// The Run key of a view with its saved values again; the package's own values where none was.
static Failure PutBackRunValues(View view, const std::vector<RegistryValue>& saved)
{
    Failure failure;
    for (const RegistryValue& value : saved) {
        if (!(ReadRunValue(value.name.c_str(), view) == value)
            && SetValue(HKEY_LOCAL_MACHINE, names::kRunKeyPath, value, view) != ERROR_SUCCESS) {
            failure = "could not write back the Run value " + Narrow(value.name);
        }
    }
    for (const wchar_t* name : {names::kMonitorValueName, names::kPanelValueName}) {
        bool wasThere = false;
        for (const RegistryValue& value : saved) {
            wasThere = wasThere || value.name == name;
        }
        if (!wasThere && !DeleteRunValue(name, view).empty()) {
            failure = "could not delete the Run value " + Narrow(name);
        }
    }
    return failure;
}

static Failure PutBackUserValue(size_t index, bool keyExisted, const RegistryValue& saved)
{
    if (index >= sizeof kUserValues / sizeof kUserValues[0]) {
        return "the saved state names no user value " + std::to_string(index);
    }
    const std::wstring key = kUserValues[index].key;
    RegistryValue value = saved;
    value.name = kUserValues[index].value;
    LONG result = value.exists ? SetValue(HKEY_CURRENT_USER, key.c_str(), value)
                               : RemoveValue(HKEY_CURRENT_USER, key.c_str(), value.name.c_str());
    // A key a test created goes again, rather than staying empty.
    bool keyExists = false;
    ReadValue(HKEY_CURRENT_USER, key.c_str(), value.name.c_str(), kOwnView, &keyExists);
    if (result == ERROR_SUCCESS && !keyExisted && keyExists) {
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

Failure PutBackMachine(const std::wstring& folder, const std::vector<std::wstring>& programs,
                       bool (*spared)(DWORD processId))
{
    std::ifstream file(Narrow(folder + kStateFile));
    if (!file) {
        return "nothing to put back: " + Narrow(folder + kStateFile) + " cannot be read";
    }
    Failure failure;
    std::vector<std::wstring> started = PackageFolders();
    const std::vector<std::wstring> scratch = ScratchPaths();
    started.insert(started.end(), scratch.begin(), scratch.end());
    // The programs first: a test still running could install a service again.
    Note(&failure, EndOwnPrograms(started, programs, spared));
    for (const wchar_t* service : {names::kServiceName, kOtherServiceName}) {
        Note(&failure, DeleteScanService(service));
    }
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
                Note(&failure, CreateRunKey(static_cast<View>(view)));
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
    Note(&failure, PutBackRunValues(kView32, run[0]));
    Note(&failure, PutBackRunValues(kView64, run[1]));
    for (const std::wstring& path : started) {
        Note(&failure, RemoveTree(path));
    }
    if (!twainExisted) {
        RemoveDirectoryW(TwainDirectory().c_str());
    }
    return failure.empty() ? RemoveTree(folder) : failure;
}

}  // namespace machine
