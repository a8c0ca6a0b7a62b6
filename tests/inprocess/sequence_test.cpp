// Whole runs of the tool against the real registry, service manager, process list and
// shell of the Wine prefix, with the stand-in package installed, that only the entry point
// can show: the launch's arguments, a program that ends before the second look. The
// machine's states, by both runners, are the rows of scenarios_test.cpp.
#include "tests/inprocess/harness.h"

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
    ASSERT_EQ("", machine::LaunchAndWait(machine::PanelPath(), kPanelProcess));

    RunTool();

    EXPECT_EQ((Events{machine::MonitorCommandLine()}),
              machine::RecordedLines(machine::MonitorPath(), 1));
    EXPECT_EQ((Events{machine::GuidePath()}), machine::RecordedLines(machine::GuidePath(), 1));
    EXPECT_EQ(1u, machine::RecordedLines(machine::PanelPath(), 2).size());
    Events launches = EventsStartingWith(L"CreateProcessW");
    ASSERT_EQ(2u, launches.size());
    EXPECT_EQ(L"CreateProcessW (null)|" + machine::MonitorCommandLine()
                  + L"|0|0x80000|(null)|(null)|cb="
                  + std::to_wstring(sizeof(STARTUPINFOW) + sizeof(void*)),
              launches[0]);
    // Each launch lets go of its process handle first, then of its thread handle; the run
    // lets go of the desktop shell's process, their parent, as it ends.
    Events closes;
    for (const std::wstring& event : EventsStartingWith(L"CloseHandle ")) {
        if (event == L"CloseHandle process" || event == L"CloseHandle thread") {
            closes.push_back(event);
        }
    }
    EXPECT_EQ((Events{L"CloseHandle process", L"CloseHandle thread", L"CloseHandle process",
                      L"CloseHandle thread", L"CloseHandle process"}),
              closes);
    ExpectEachProgramRunsOnce();
    EXPECT_TRUE(NoCalls(L"Process32FirstW dwSize"));
}

TEST_F(RepairRunTest, ProgramThatExitsBeforeTheSecondLookGivesE08)
{
    machine::Healthy healthy;
    healthy.programs[1] = healthy.programs[2] = false;
    MakeHealthy(healthy);
    // The panel launcher records its start and ends at once, before the tool looks again.
    ASSERT_EQ("", machine::WriteTextFile(machine::PanelPath() + kExitFile, ""));
    HookLetLaunchedProgramsEnd();

    RunTool();

    EXPECT_EQ((Labels{"checking", "restart", "E08"}), PrintedLabels());
    EXPECT_EQ((Events{machine::PanelPath()}), machine::RecordedLines(machine::PanelPath(), 1));
    EXPECT_EQ(0, machine::CountProcesses(kPanelProcess));
    // Only the panel launcher was started: the error guide after it is not attempted.
    EXPECT_EQ(1u, EventsStartingWith(L"CreateProcessW").size());
    EXPECT_EQ(0u, machine::RecordedLines(machine::GuidePath()).size());
}
