// The machine as the tests set it up and read it back, through the real Windows API: the
// in-process tests link it, and the end-to-end probe puts a command line in front of it.
// Every setup function returns why it failed, or "" when all went well; readers return what
// they found. The package's names come from the tests' own table (tests/support/names.txt).
#pragma once
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/support/records.h"
#include "tests/support/names.h"

namespace machine {

// Why a setup step failed, or "" when it did all it was asked to.
using Failure = std::string;
// A setup step that cannot be taken on this machine (Explorer ended, say): the test skips.
Failure Skip(const std::string& why);
bool IsSkip(const Failure& failure);

// Under Wine (ntdll exports wine_get_version), rather than on Windows.
bool UnderWine();

// The registry view a value is read or written in: the calling program's own, or one of
// the two views of 64-bit Windows.
enum View { kOwnView = 0, kView32 = 32, kView64 = 64 };

// --- Folders and the package's paths ----------------------------------------------------

std::wstring WindowsDirectory();
std::wstring SystemDirectory();
std::wstring CommonStartupFolder();
std::wstring TwainDirectory(const std::wstring& windows = WindowsDirectory());
std::wstring MonitorPath(const std::wstring& windows = WindowsDirectory());
std::wstring ServicePath(const std::wstring& windows = WindowsDirectory());
std::wstring PanelPath(const std::wstring& windows = WindowsDirectory());
std::wstring GuidePath(const std::wstring& windows = WindowsDirectory());
std::wstring ShortcutPath();
// A shell folder by its CSIDL ("" where the shell has none).
std::wstring KnownFolder(int csidl);
// Makes the folder with the security `sddl` gives; 0, or the error.
DWORD CreateFolderWithSecurity(const std::wstring& path, const wchar_t* sddl);
// Where the tests keep the programs and files they make outside the package (impostors,
// copies, markers): a folder of their own among the machine's shared data.
std::wstring ScratchFolder();
// The public download folder, where a user saves what a browser fetched.
std::wstring DownloadsFolder();
// The command line each background program is started with (and its Run value's data).
std::wstring MonitorCommandLine(const std::wstring& windows = WindowsDirectory());

// The three background programs, in the order the tool starts them.
struct BackgroundProgram {
    const wchar_t* process;
    std::wstring (*path)(const std::wstring& windows);
    std::wstring (*commandLine)(const std::wstring& windows);
    const wchar_t* arguments;
};
extern const BackgroundProgram kBackgroundPrograms[3];
// The command line a program gets when the desktop's Explorer starts it: its path quoted,
// then its arguments.
std::wstring ExplorerCommandLine(const BackgroundProgram& program,
                                 const std::wstring& windows = WindowsDirectory());

// --- Files -------------------------------------------------------------------------------

Failure CreateDirectories(const std::wstring& path);
Failure WriteTextFile(const std::wstring& path, const std::string& bytes);
std::string ReadTextFile(const std::wstring& path);
bool FileExists(const std::wstring& path);
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& utf8);

// --- The package -------------------------------------------------------------------------

// How the stand-in package differs from a sound installation.
struct PackageFaults {
    std::vector<std::wstring> missing;  // program paths left out
    bool monitorNotAProgram = false;    // the monitor is a text file
    bool serviceNotAService = false;    // the service program is a plain stand-in program
};
// Copies the stand-ins from `standins` to the package's four paths under `windows`.
Failure InstallPackage(const std::wstring& standins,
                       const std::wstring& windows = WindowsDirectory(),
                       const PackageFaults& faults = PackageFaults());
// The scan service stand-in's start-up: instant, slow, stuck or stop.
Failure SetServiceBehaviour(const std::string& word,
                            const std::wstring& windows = WindowsDirectory());
// Lines the stand-in at `programPath` recorded, one per start (its ".cmdline" or ".starts"
// record), once there are `atLeast` of them or a second has passed.
std::vector<std::wstring> RecordedLines(const std::wstring& programPath, size_t atLeast = 0,
                                        const wchar_t* suffix = kCommandLineRecord);
// Where the stand-in at `programPath` writes `record` (tests/support/records.h).
std::wstring RecordFile(const std::wstring& programPath, const wchar_t* record);
// The folder of the records, made where missing, that the user's own token may write.
Failure MakeRecordsFolder();
// Every record of the stand-in at `programPath` removed.
void ForgetRecords(const std::wstring& programPath);

// --- Registry ----------------------------------------------------------------------------

struct RegistryValue {
    std::wstring name;
    bool exists = false;
    DWORD type = 0;
    std::vector<BYTE> bytes;
    // The text up to the first terminator, as a reader of a string value sees it.
    std::wstring Text() const;
};
// Every value of HKLM\<key> in a view; `keyExists` tells a missing key from an empty one.
std::vector<RegistryValue> ReadValues(const wchar_t* key, View view, bool* keyExists,
                                      LONG* error = nullptr);
// One value of <root>\<key> in a view; `keyExists`, when given, tells whether the key opened.
RegistryValue ReadValue(HKEY root, const wchar_t* key, const wchar_t* name, View view = kOwnView,
                        bool* keyExists = nullptr);
// Writes the value, creating the key; deletes it, where neither it nor its key is there alike.
// Each gives the registry's error.
LONG SetValue(HKEY root, const wchar_t* key, const RegistryValue& value, View view = kOwnView);
LONG RemoveValue(HKEY root, const wchar_t* key, const wchar_t* name, View view = kOwnView);
RegistryValue ReadRunValue(const wchar_t* name, View view = kOwnView);
Failure WriteRunValue(const wchar_t* name, const std::wstring& text, View view = kOwnView);
Failure DeleteRunValue(const wchar_t* name, View view = kOwnView);
Failure CreateRunKey(View view = kOwnView);
Failure DeleteRunKey(View view = kOwnView);

// --- Services ----------------------------------------------------------------------------

struct ServiceConfig {
    bool exists = false;
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring binaryPath;
    std::wstring account;
    std::wstring displayName;
    DWORD state = 0;
    DWORD processId = 0;
    std::string error;  // why it could not be read, when it exists
};
ServiceConfig ReadService(const wchar_t* name = names::kServiceName);
// Installs a service the way the package's installer does (own process, error control
// ignore, LocalSystem).
// Another vendor's service that a test installs under the package's display name.
extern const wchar_t kOtherServiceName[];
Failure InstallService(DWORD startType, const std::wstring& binaryPath = ServicePath(),
                       const wchar_t* name = names::kServiceName,
                       const wchar_t* displayName = names::kServiceDisplayName);
Failure SetStartType(DWORD startType, const wchar_t* name = names::kServiceName);
// Starts it and waits until it runs; a start request that went nowhere is made once more.
Failure StartScanService(const wchar_t* name = names::kServiceName);
Failure StopService(const wchar_t* name = names::kServiceName);
// Stops and deletes it and waits until it is gone; "" also when it was not installed.
Failure DeleteScanService(const wchar_t* name = names::kServiceName);
// Enables SeDebugPrivilege in this process's token, so that it may end LocalSystem's
// processes: 0, or the error (ERROR_NOT_ALL_ASSIGNED where the token has not the privilege).
DWORD EnableDebugPrivilege();

// --- Processes ---------------------------------------------------------------------------

// Every process name, and every match below, is the executable's exact file name: the
// tool's own rule, so that a program of another letter case counts as another program.
std::vector<std::wstring> ProcessNames();
int CountProcesses(const wchar_t* name);
// The executable name of the parent of the first process of that name ("" when none).
std::wstring ParentName(const wchar_t* name);
// Ends every process of that name and waits until each has ended.
Failure KillProcesses(const wchar_t* name);
// Every process, a line each: its id, its parent's, its number of threads and its file name.
std::string ProcessTable();
// The processes whose program has that file name (every process: nullptr), by id.
std::vector<DWORD> ProcessIds(const wchar_t* name = nullptr);
// Whether a start the tests make is made again: only one that Wine ended before any of the
// new process's code ran, which its CreateProcess reports as ERROR_INTERNAL_ERROR.
bool StartDiedBeforeItsCode(bool underWine, BOOL created, DWORD error);
// CreateProcessW, a start that died before its code ran made again (each printed on the
// standard error, "machine: made again: ...", which the bed counts); the new process's
// command line is copied for each attempt.
BOOL StartProcess(const wchar_t* application, const std::wstring& commandLine, BOOL inherit,
                  DWORD flags, void* environment, const wchar_t* directory,
                  STARTUPINFOW* startup, PROCESS_INFORMATION* info);
// CreateProcessW(NULL, commandLine) through StartProcess: not waited for.
Failure Launch(const std::wstring& commandLine, DWORD* processId = nullptr);
// Launches it and waits until a process of that name runs.
Failure LaunchAndWait(const std::wstring& commandLine, const wchar_t* process);

// The stand-in for a user's desktop shell (tests/standins/standin_shell.cpp).
extern const wchar_t kShellProcess[];
// The desktop's Explorer, which starts the programs for a user elevated from a split token:
// Windows' shell, or under Wine the process that runs the desktop.
extern const wchar_t kExplorerProcess[];
// Where no shell window is there, starts the stand-in from `standins` and waits until its
// window is the desktop's shell window; on Windows, Explorer's is there already.
Failure StartShell(const std::wstring& standins);
// A desktop shell running, or none (a skip on Windows, whose Explorer the tests never end).
Failure SetShell(bool running, const std::wstring& standins);
// The executable name of the desktop shell's process ("" when there is none).
std::wstring ShellName();
// The user the desktop shell runs as, its SID as text ("" when it cannot be read).
std::wstring ShellUser();

// What the stand-in program at `programPath` recorded of its own token when it started.
struct TokenRecord {
    bool exists = false;
    DWORD elevationType = 0;  // TOKEN_ELEVATION_TYPE; 0 where Windows has none
    DWORD integrity = 0;      // the mandatory label's RID (0x2000 medium, 0x3000 high)
    DWORD session = 0;
    std::wstring user;        // the SID as text
};
TokenRecord ReadTokenRecord(const std::wstring& programPath);
// The same of this process's own token.
TokenRecord OwnToken();

// --- Shortcut ----------------------------------------------------------------------------

Failure WriteShortcut(const std::wstring& target, const std::wstring& linkPath);
// A shortcut as the Shell Link object reads it back: all empty where no link loads.
struct Shortcut {
    bool loaded = false;
    std::wstring target;
    std::wstring arguments;
    std::wstring workingDirectory;
    int showCommand = 0;
    std::wstring description;
    std::wstring iconLocation;
    int iconIndex = 0;
};
Shortcut ReadShortcut(const std::wstring& linkPath);
bool operator==(const Shortcut& a, const Shortcut& b);
void PrintTo(const Shortcut& shortcut, std::ostream* out);

// --- Whole machines ----------------------------------------------------------------------

// A healthy machine as the package's installer leaves it, and what may be taken away.
struct Healthy {
    std::wstring standins;        // where the stand-in package comes from
    View view = kOwnView;         // the tool's registry view
    PackageFaults package;
    std::string behaviour = "instant";
    bool monitorValue = true;
    bool panelValue = true;
    bool service = true;          // installed at all
    DWORD startType = SERVICE_AUTO_START;
    bool serviceRunning = true;
    bool shortcut = true;
    bool programs[3] = {true, true, true};  // of kBackgroundPrograms
    bool shell = true;  // a user's desktop: the stand-in shell runs
};
Failure MakeHealthy(const Healthy& healthy);

// Everything a run of the tool may change, read in one go: "nothing else changed" is one
// comparison of two of them.
struct Snapshot {
    ServiceConfig service;  // the scan service
    bool runKeys[2] = {};   // the Run key in the 32-bit and the 64-bit view
    std::vector<RegistryValue> runValues[2];  // sorted by name
    // The package's programs and the stand-in shell, sorted; the service's program aside (its
    // record has it).
    std::vector<std::wstring> processes;
    std::vector<std::wstring> startupFolder;  // the common Startup folder's entries, sorted
    Shortcut shortcut;
    // What the stand-ins recorded: each background program's command lines, the service's starts.
    std::vector<std::wstring> records[4];
};
// Taken once every launched background program has recorded its start (or 5 s have passed).
Snapshot TakeSnapshot();
bool operator==(const RegistryValue& a, const RegistryValue& b);
bool operator==(const ServiceConfig& a, const ServiceConfig& b);
bool operator==(const Snapshot& a, const Snapshot& b);
void PrintTo(const Snapshot& snapshot, std::ostream* out);
std::string Describe(const Snapshot& snapshot);

// Back to a machine where every stage has something to repair: the stand-ins (the shell's
// too) killed, the
// service deleted, both Run values, the shortcut and the stand-ins' records removed.
Failure Reset(const std::wstring& windows = WindowsDirectory());

}  // namespace machine
