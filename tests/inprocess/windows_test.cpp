// Checks that mean something only on Windows, where tokens are split by UAC, cmd runs an
// AutoRun command and a DLL beside a program is searched for: each runs only where it can
// fail, and skips with its reason elsewhere (under Wine, every one of them).
#include "tests/inprocess/harness.h"

namespace {

const wchar_t kCommandProcessor[] = L"Software\\Microsoft\\Command Processor";

// The AutoRun value of the user's Command Processor key: set to `command`, or removed when
// it is empty; returns the one it replaced ("" for none).
std::wstring SetAutoRun(const std::wstring& command)
{
    wchar_t previous[1024] = {};
    DWORD size = sizeof previous - sizeof(wchar_t);
    RegGetValueW(HKEY_CURRENT_USER, kCommandProcessor, L"AutoRun", RRF_RT_REG_SZ, NULL, previous,
                 &size);
    if (command.empty()) {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kCommandProcessor, L"AutoRun");
    } else {
        RegSetKeyValueW(HKEY_CURRENT_USER, kCommandProcessor, L"AutoRun", REG_SZ, command.c_str(),
                        static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    }
    return previous;
}

// System32's cmd.exe running `arguments`, waited for.
void RunCmd(const std::wstring& arguments)
{
    std::wstring line = L"\"" + machine::SystemDirectory() + L"\\cmd.exe\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup,
                       &info)) {
        WaitForSingleObject(info.hProcess, 30000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
}

}  // namespace

// UAC on and the suite elevated from a split token: the programs the tool starts under
// Explorer get Explorer's token, the user's own, not elevated (medium integrity).
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
    machine::Healthy healthy;
    healthy.programs[0] = healthy.programs[1] = healthy.programs[2] = false;
    MakeHealthy(healthy);

    const RunRecord run = RunWith(kProgram);

    EXPECT_EQ(ExpectedOutput({"checking", "restart", "complete"}), run.output);
    ExpectProgramsRunAsTheUser(own);
    for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
        SCOPED_TRACE(machine::Narrow(program.process));
        EXPECT_EQ(machine::ShellName(), machine::ParentName(program.process));
        EXPECT_EQ(static_cast<DWORD>(TokenElevationTypeLimited),
                  machine::ReadTokenRecord(program.path(machine::WindowsDirectory())).elevationType);
    }
}

// An AutoRun command in the user's own Command Processor key, which any of the user's
// unelevated programs can write, never runs in the tool's elevated pause.
TEST_F(RepairRunTest, ThePauseRunsNoAutoRunCommand)
{
    const std::wstring marker = machine::WindowsDirectory() + L"\\temp\\scarvel-autorun.ran";
    DeleteFileW(marker.c_str());
    const std::wstring previous = SetAutoRun(L"echo ran>\"" + marker + L"\"");
    // Without /d, this cmd.exe runs it: the check can fail here.
    RunCmd(L"/c rem");
    const bool autoRuns = machine::FileExists(marker);
    DeleteFileW(marker.c_str());
    if (autoRuns) {
        MakeHealthy();
        const RunRecord run = RunWith(kProgram);
        EXPECT_TRUE(run.paused);
        EXPECT_EQ(ExpectedOutput({"checking", "restart", "complete"}), run.output);
        EXPECT_FALSE(machine::FileExists(marker)) << "the AutoRun command ran in the pause";
    }
    SetAutoRun(previous);
    DeleteFileW(marker.c_str());
    if (!autoRuns) {
        GTEST_SKIP() << "cmd.exe here runs no AutoRun command (Wine's has none): nothing for "
                        "/d to keep from running";
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
    const std::wstring folder = L"C:\\Users\\Public\\Downloads\\scarvel-planted";
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

    EXPECT_EQ(ExpectedOutput({"checking", "restart", "complete"}), run.output);
    for (const std::wstring& dll : planted) {
        EXPECT_FALSE(machine::FileExists(dll + L".ran")) << machine::Narrow(dll) << " was loaded";
        DeleteFileW(dll.c_str());
        DeleteFileW((dll + L".ran").c_str());
    }
    DeleteFileW(start.program.c_str());
}
