// Whole runs of the tool against the real registry, service manager, process list and
// shell of the Wine prefix, with the stand-in package installed, that only the entry point
// can show: the launch's arguments, a program that ends before the second look. The
// machine's states, by both runners, are the rows of scenarios_test.cpp.
#include "tests/inprocess/harness.h"

#include "platform/explorer.h"

using machine::kBackgroundPrograms;
using machine::ReadService;

static void ExpectEachProgramRunsOnce()
{
    for (const machine::BackgroundProgram& program : kBackgroundPrograms) {
        EXPECT_EQ(1, machine::CountProcesses(program.process)) << Narrow(program.process);
    }
}

TEST_F(RepairRunTest, ServiceThatStopsWhileStartingGivesE07AndStaysInstalled)
{
    ASSERT_EQ("", machine::SetServiceBehaviour("stop"));

    RunTool();

    EXPECT_EQ((Labels{"checking", "startup-item", "service-missing", "E07"}), PrintedLabels());
    EXPECT_TRUE(ReadService().exists);
    EXPECT_NE(static_cast<DWORD>(SERVICE_RUNNING), ReadService().state);
    EXPECT_TRUE(NoCalls(L"CreateProcessW"));
    EXPECT_FALSE(machine::FileExists(machine::ShortcutPath()));
}

TEST_F(RepairRunTest, RunningProgramIsNotLaunchedAgainAndMissingOnesGetTheirCommandLines)
{
    SKIP_UNLESS_PROGRAMS_START_HERE(kEntryPoint);
    ASSERT_EQ("", machine::LaunchAndWait(machine::PanelPath(), names::kPanelProcess));

    RunTool();

    EXPECT_EQ((Events{machine::ExplorerCommandLine(kBackgroundPrograms[0])}),
              machine::RecordedLines(machine::MonitorPath(), 1));
    EXPECT_EQ((Events{machine::ExplorerCommandLine(kBackgroundPrograms[2])}),
              machine::RecordedLines(machine::GuidePath(), 1));
    EXPECT_EQ(1u, machine::RecordedLines(machine::PanelPath(), 2).size());
    // The desktop's Explorer asked, out of process, to open each missing program's path with
    // its arguments in its own folder, each string freed again.
    EXPECT_EQ((Events{L"CoCreateInstance context=0x1", L"CoCreateInstance context=0x4",
                      L"CoCreateInstance context=0x4"}),
              EventsStartingWith(L"CoCreateInstance"));
    const auto folderOf = [](const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); };
    EXPECT_EQ((Events{L"SysAllocString " + machine::MonitorPath(), L"SysAllocString /Station",
                      L"SysAllocString " + folderOf(machine::MonitorPath()), L"SysAllocString open",
                      L"SysAllocString " + machine::GuidePath(), L"SysAllocString",
                      L"SysAllocString " + folderOf(machine::GuidePath()), L"SysAllocString open"}),
              EventsStartingWith(L"SysAllocString"));
    EXPECT_EQ(Events(8, L"SysFreeString bstr"), EventsStartingWith(L"SysFreeString"));
    // Each launch lets go of the thread that asked Explorer and of its event; neither
    // Explorer's process nor the programs' own are ever held.
    Events closes;
    for (const std::wstring& event : EventsStartingWith(L"CloseHandle ")) {
        if (event != L"CloseHandle snapshot" && event != L"CloseHandle token") {
            closes.push_back(event);
        }
    }
    EXPECT_EQ((Events{L"CloseHandle thread", L"CloseHandle event", L"CloseHandle thread",
                      L"CloseHandle event"}),
              closes);
    ExpectEachProgramRunsOnce();
    EXPECT_TRUE(NoCalls(L"Process32FirstW dwSize"));
    // The harness's question after a failed test has its answer where the tool's had one.
    EXPECT_EQ("", ExplorerAnswer());
}

TEST_F(RepairRunTest, ProgramThatExitsBeforeTheSecondLookGivesE08)
{
    SKIP_UNLESS_PROGRAMS_START_HERE(kEntryPoint);
    machine::Healthy healthy;
    healthy.programs[1] = healthy.programs[2] = false;
    MakeHealthy(healthy);
    // The panel launcher records its start and ends at once, before the tool finds it: its
    // process is hidden from the tool, so that no look can come before its end.
    ASSERT_EQ("", machine::WriteTextFile(machine::PanelPath() + kExitFile, ""));
    HookHideProcess(names::kPanelProcess);
    HookUseVirtualClock(1);

    RunTool();

    EXPECT_EQ((Labels{"checking", "restart", "E08"}), PrintedLabels());
    EXPECT_EQ((Events{machine::ExplorerCommandLine(kBackgroundPrograms[1])}),
              machine::RecordedLines(machine::PanelPath(), 1));
    EXPECT_EQ(0, machine::CountProcesses(names::kPanelProcess));
    // Looked for every 100 ms for 20 s, as long as Explorer may take to start a program.
    EXPECT_EQ(Events(kExplorerDeadlineMilliseconds / 100, L"Sleep 100"), EventsStartingWith(L"Sleep"));
    // Only the panel launcher was started: the error guide after it is not attempted.
    EXPECT_EQ(Events{}, EventsStartingWith(L"SysAllocString " + machine::GuidePath()));
    EXPECT_EQ(0u, machine::RecordedLines(machine::GuidePath()).size());
}

// A measure, not a check (tools/explorer_race.py runs it in machines under load, with
// SCARVEL_HOLD_EXPLORER set and without): Wine's race in unregistering Explorer's interfaces.
TEST(ExplorerRaceTest, DISABLED_ExplorerAnswersWalkAfterWalk)
{
    const int walks = 1000;
    if (!machine::UnderWine()) {
        GTEST_SKIP() << "Wine's race only; on Windows no object may come before the tool's own "
                        "CoInitializeSecurity";
    }
    ASSERT_EQ("", machine::StartShell(StandinsFolder()));
    if (GetEnvironmentVariableW(L"SCARVEL_HOLD_EXPLORER", NULL, 0) > 0) {
        ASSERT_EQ("", ExplorerHeld());
    }
    for (int walk = 1; walk <= walks; ++walk) {
        const std::string answer = ExplorerAnswer();
        ASSERT_NE(kExplorerSilent, answer) << "Explorer stopped answering at walk " << walk;
        ASSERT_EQ("", answer) << "Explorer refused at walk " << walk;
    }
}
