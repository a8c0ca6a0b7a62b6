// Checks that mean something only on Windows, where tokens are split by UAC, cmd runs an
// AutoRun command and a DLL beside a program is searched for: each runs only where it can
// fail, and skips with its reason elsewhere (under Wine, every one of them).
#include "tests/inprocess/harness.h"


#include <algorithm>
#include <functional>

namespace {

const wchar_t kCommandProcessor[] = L"Software\\Microsoft\\Command Processor";

// The AutoRun value of the user's Command Processor key set to `command` while it lives
// (`set`: whether that was done), then put back as it was, type and bytes, or removed.
struct AutoRunSet {
    const machine::RegistryValue previous =
        machine::ReadValue(HKEY_CURRENT_USER, kCommandProcessor, L"AutoRun");
    bool set;
    explicit AutoRunSet(const std::wstring& command)
    {
        machine::RegistryValue value = previous;
        value.type = REG_SZ;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(command.c_str());
        value.bytes.assign(bytes, bytes + (command.size() + 1) * sizeof(wchar_t));
        set = machine::SetValue(HKEY_CURRENT_USER, kCommandProcessor, value) == ERROR_SUCCESS;
    }
    ~AutoRunSet()
    {
        if (previous.exists) {
            machine::SetValue(HKEY_CURRENT_USER, kCommandProcessor, previous);
        } else {
            machine::RemoveValue(HKEY_CURRENT_USER, kCommandProcessor, L"AutoRun");
        }
    }
};

// System32's cmd.exe running `arguments`, waited for; its exit code.
DWORD RunCmd(const std::wstring& arguments)
{
    std::wstring line = L"\"" + machine::SystemDirectory() + L"\\cmd.exe\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    DWORD code = STILL_ACTIVE;
    if (CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup,
                       &info)) {
        WaitForSingleObject(info.hProcess, 120000);
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    return code;
}

// Whether the desktop shell's own token, the user's unelevated one, may open the process with
// `access`: what the user's own programs (Task Manager, the package's updater) may do to it.
bool UserMayOpen(DWORD processId, DWORD access)
{
    DWORD shellId = 0;
    GetWindowThreadProcessId(GetShellWindow(), &shellId);
    HANDLE shell = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shellId);
    HANDLE token = NULL, impersonation = NULL;
    bool opened = false;
    if (shell != NULL && OpenProcessToken(shell, TOKEN_DUPLICATE | TOKEN_QUERY, &token)
        && DuplicateTokenEx(token, TOKEN_IMPERSONATE | TOKEN_QUERY, NULL, SecurityImpersonation,
                            TokenImpersonation, &impersonation)
        && SetThreadToken(NULL, impersonation)) {
        HANDLE process = OpenProcess(access, FALSE, processId);
        opened = process != NULL;
        RevertToSelf();
        if (process != NULL) {
            CloseHandle(process);
        }
    }
    for (HANDLE handle : {shell, token, impersonation}) {
        if (handle != NULL) {
            CloseHandle(handle);
        }
    }
    return opened;
}

}  // namespace

// UAC on and the suite elevated from a split token: the programs the user's Explorer starts
// for the tool get Explorer's token, the user's own, not elevated (medium integrity), and a
// security the user's own programs may act on: the user's unelevated token may end them.
TEST_F(RepairRunTest, ProgramsStartedUnderExplorerRunAtTheUsersLevel)
{
    const machine::TokenRecord own = machine::OwnToken();
    if (machine::UnderWine()) {
        GTEST_SKIP() << "Wine gives every process the same full token: a parent hands down none";
    }
    if (own.elevationType != TokenElevationTypeFull) {
        GTEST_SKIP() << "the suite's token is not the full one of a split pair (UAC off, or not "
                        "elevated): elevation type " << own.elevationType;
    }
    const std::wstring shellUser = machine::ShellUser();
    ASSERT_FALSE(shellUser.empty()) << "the desktop shell's user cannot be read";
    if (shellUser != own.user) {
        GTEST_SKIP() << "the suite runs as " << machine::Narrow(own.user) << " and the desktop's "
                     << "Explorer as " << machine::Narrow(shellUser) << ": elevated with another "
                     << "administrator's credentials, the tool rightly starts nothing";
    }
    machine::Healthy healthy;
    healthy.programs[0] = healthy.programs[1] = healthy.programs[2] = false;
    MakeHealthy(healthy);

    const RunRecord run = RunWith(kProgram);

    EXPECT_TRUE(OutputIs(run.output, {"checking", "restart", "complete"}));
    ExpectProgramsRunAsTheUser(own);
    for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
        SCOPED_TRACE(machine::Narrow(program.process));
        EXPECT_EQ(machine::kExplorerProcess, machine::ParentName(program.process));
        EXPECT_EQ(static_cast<DWORD>(TokenElevationTypeLimited),
                  machine::ReadTokenRecord(program.path(machine::WindowsDirectory())).elevationType);
        // The copy in this session: another user's, over Remote Desktop, is not the user's.
        const std::vector<DWORD> ids = machine::ProcessIds(program.process);
        const auto own = std::find_if(ids.begin(), ids.end(), [](DWORD id) {
            DWORD session = 0;
            return ProcessIdToSessionId(id, &session) && session == machine::OwnToken().session;
        });
        EXPECT_TRUE(own != ids.end() && UserMayOpen(*own, PROCESS_TERMINATE));
    }
}

// An AutoRun command in the user's own Command Processor key, which any of the user's
// unelevated programs can write, never runs in the tool's elevated pause.
TEST_F(RepairRunTest, ThePauseRunsNoAutoRunCommand)
{
    const std::wstring marker = machine::ScratchFolder() + L"\\autorun.ran";
    DeleteFileW(marker.c_str());
    const AutoRunSet autoRun(L"echo ran>\"" + marker + L"\"");
    ASSERT_TRUE(autoRun.set);
    // Without /d, this cmd.exe runs it: the check can fail here.
    ASSERT_EQ(0u, RunCmd(L"/c rem"));
    const bool autoRuns = machine::FileExists(marker);
    DeleteFileW(marker.c_str());
    if (autoRuns) {
        MakeHealthy();
        const RunRecord run = RunWith(kProgram);
        EXPECT_TRUE(run.paused);
        EXPECT_TRUE(OutputIs(run.output, {"checking", "restart", "complete"}));
        EXPECT_FALSE(machine::FileExists(marker)) << "the AutoRun command ran in the pause";
    }
    DeleteFileW(marker.c_str());
    if (!autoRuns) {
        GTEST_SKIP() << "cmd.exe /c rem ran, exited 0 and left no mark, with the AutoRun value "
                        "set to leave one: this cmd.exe runs no AutoRun command (Wine's has "
                        "none), so there is nothing for /d to keep from running";
    }
}

// The unattended runner, run from an administrator's elevated prompt, starts the program
// through nothing the user chose: neither the AutoRun command of the user's Command
// Processor key nor a program that the user's COMSPEC names runs, while the runner's text and
// exit code stay as ever.
TEST_F(RepairRunTest, TheRunnerRunsNoAutoRunCommandAndNoComspec)
{
    const std::wstring folder = machine::ScratchFolder() + L"\\runner";
    const std::wstring autoRan = folder + L"\\autorun.ran";
    const std::wstring comspec = folder + L"\\comspec.exe";
    ASSERT_EQ("", machine::CreateDirectories(folder));
    // Should it run, the stand-in records its command line and ends at once.
    ASSERT_TRUE(CopyFileW((StandinsFolder() + L"\\standin_program.exe").c_str(), comspec.c_str(),
                          FALSE));
    ASSERT_EQ("", machine::WriteTextFile(comspec + kExitFile, ""));
    wchar_t ownComspec[MAX_PATH] = {};
    const bool hadComspec = GetEnvironmentVariableW(L"COMSPEC", ownComspec, MAX_PATH) > 0;
    // Both put back however the test ends.
    const struct PutBack {
        std::function<void()> undo;
        ~PutBack() { undo(); }
    } putBack{[&] { SetEnvironmentVariableW(L"COMSPEC", hadComspec ? ownComspec : NULL); }};
    const AutoRunSet autoRun(L"echo ran>\"" + autoRan + L"\"");
    ASSERT_TRUE(autoRun.set);
    ASSERT_TRUE(SetEnvironmentVariableW(L"COMSPEC", comspec.c_str()));
    // Without /d a cmd.exe runs the AutoRun command, and for /f runs its command in COMSPEC:
    // the checks below can fail here.
    ASSERT_EQ(0u, RunCmd(L"/c for /f %L in ('rem') do rem"));
    const bool autoRuns = machine::FileExists(autoRan);
    const bool comspecRuns = !machine::RecordedLines(comspec).empty();
    DeleteFileW(autoRan.c_str());
    machine::ForgetRecords(comspec);
    if (!autoRuns && !comspecRuns) {
        GTEST_SKIP() << "cmd.exe /c for /f ran and exited 0 with the AutoRun value and COMSPEC "
                        "set to leave marks, and left none: this cmd.exe runs no AutoRun command "
                        "and does not start for /f's command through COMSPEC (Wine's does "
                        "neither), so there is nothing for the runner to keep from running";
    }
    const std::wstring shipped =
        ToolPath().substr(0, ToolPath().rfind(L'\\')) + L"\\ScarvelRepair-unattended.cmd";
    const std::wstring runner = folder + L"\\ScarvelRepair-unattended.cmd";
    ASSERT_TRUE(CopyFileW(shipped.c_str(), runner.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(ToolPath().c_str(), (folder + L"\\ScarvelRepair.exe").c_str(), FALSE));
    MakeHealthy();

    EXPECT_EQ(0u, RunCmd(L"/d /c \"\"" + runner + L"\"\""));

    if (autoRuns) {
        EXPECT_FALSE(machine::FileExists(autoRan)) << "the AutoRun command ran";
    }
    if (comspecRuns) {
        EXPECT_EQ(Events{}, machine::RecordedLines(comspec)) << "COMSPEC's program ran";
    }
    // The runner's file of the tool's text is gone again.
    WIN32_FIND_DATAW found;
    HANDLE left = FindFirstFileW((folder + L"\\*.out").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, left) << machine::Narrow(found.cFileName);
    if (left != INVALID_HANDLE_VALUE) {
        FindClose(left);
    }
}

// A DLL saved beside a copy of the program under the name of a system DLL that Windows,
// COM or the shell load late, by name, is never loaded into the elevated run.
TEST_F(RepairRunTest, ADllBesideACopyOfTheProgramIsNeverLoaded)
{
    if (machine::UnderWine()) {
        GTEST_SKIP() << "Wine loads its builtin DLL for a system name unless an override says "
                        "otherwise (tests/e2e/scenarios.py plants one with an override)";
    }
    const std::wstring folder = machine::DownloadsFolder() + L"\\scarvel-planted";
    ProgramStart start;
    start.program = folder + L"\\ScarvelRepair.exe";
    start.directory = folder;
    ASSERT_EQ("", machine::CreateDirectories(folder));
    ASSERT_TRUE(CopyFileW(ToolPath().c_str(), start.program.c_str(), FALSE));
    std::vector<std::wstring> planted;
    for (const wchar_t* name :
         {L"uxtheme.dll", L"userenv.dll", L"wtsapi32.dll", L"version.dll", L"cryptbase.dll",
          L"profapi.dll", L"propsys.dll", L"dwmapi.dll", L"apphelp.dll", L"setupapi.dll",
          L"ntmarta.dll", L"clbcatq.dll", L"oleacc.dll", L"comres.dll"}) {
        planted.push_back(folder + L"\\" + name);
        ASSERT_TRUE(CopyFileW((StandinsFolder() + L"\\planted\\uxtheme.dll").c_str(),
                              planted.back().c_str(), FALSE));
    }
    // Loaded by its path, a copy records that it ran: the marker can tell.
    HMODULE control = LoadLibraryW(planted[0].c_str());
    ASSERT_NE(nullptr, control);
    FreeLibrary(control);
    ASSERT_TRUE(machine::FileExists(planted[0] + L".ran"));
    DeleteFileW((planted[0] + L".ran").c_str());
    machine::Healthy healthy;
    healthy.shortcut = false;
    healthy.programs[0] = healthy.programs[1] = healthy.programs[2] = false;
    MakeHealthy(healthy);

    const RunRecord run = RunWith(kProgram, start);

    EXPECT_TRUE(OutputIs(run.output, {"checking", "restart", "complete"}));
    for (const std::wstring& dll : planted) {
        EXPECT_FALSE(machine::FileExists(dll + L".ran")) << machine::Narrow(dll) << " was loaded";
        DeleteFileW(dll.c_str());
        DeleteFileW((dll + L".ran").c_str());
    }
    DeleteFileW(start.program.c_str());
}
