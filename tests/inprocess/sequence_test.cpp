// Whole runs of the tool against the real registry, service manager, process list and
// shell of the Wine prefix, with the stand-in package installed.
#include "tests/inprocess/harness.h"

#include <algorithm>

using machine::kBackgroundPrograms;
using machine::ReadRunValue;
using machine::ReadService;

static int CountLabel(const std::string& label)
{
    const Labels labels = PrintedLabels();
    return static_cast<int>(std::count(labels.begin(), labels.end(), label));
}

static void ExpectEachProgramRunsOnce()
{
    for (const machine::BackgroundProgram& program : kBackgroundPrograms) {
        EXPECT_EQ(1, machine::CountProcesses(program.process)) << Narrow(program.process);
    }
}

TEST_F(RepairRunTest, HealthyMachineIsOnlyCheckedAndNothingChanges)
{
    MakeHealthy();
    const std::string shortcutBefore = machine::ReadTextFile(machine::ShortcutPath());

    RunTool();

    EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
    for (const wchar_t* change : {L"RegSetValueExW", L"CreateServiceW", L"StartServiceW",
                                  L"CreateProcessW", L"CoCreateInstance"}) {
        EXPECT_TRUE(NoCalls(change));
    }
    EXPECT_EQ(shortcutBefore, machine::ReadTextFile(machine::ShortcutPath()));
    ExpectEachProgramRunsOnce();
    EXPECT_EQ(1u, machine::RecordedLines(machine::MonitorPath(), 2).size());
}

TEST_F(RepairRunTest, DamagedMachineIsRepairedInOrderAndASecondRunFindsItHealthy)
{
    RunTool();

    EXPECT_EQ((Labels{"checking", "startup-item", "service-missing", "restart", "complete"}),
              PrintedLabels());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ReadService().state);
    EXPECT_EQ(machine::GuidePath(), machine::ReadShortcutTarget(machine::ShortcutPath()));
    ExpectEachProgramRunsOnce();

    HookReset();
    RunTool();
    EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
    EXPECT_TRUE(NoCalls(L"RegSetValueExW"));
    EXPECT_TRUE(NoCalls(L"CreateProcessW"));
}

TEST_F(RepairRunTest, FirstMissingProgramEndsTheRunWithE01AndLaterOnesAreNotTested)
{
    const std::wstring programs[] = {machine::MonitorPath(), machine::ServicePath(),
                                     machine::PanelPath(), machine::GuidePath()};
    for (int missing = 0; missing < 4; ++missing) {
        SCOPED_TRACE(Narrow(programs[missing]));
        HookReset();
        machine::PackageFaults faults;
        faults.missing = {programs[missing]};
        ASSERT_EQ("",
                  machine::InstallPackage(StandinsFolder(), machine::WindowsDirectory(), faults));

        RunTool();

        EXPECT_EQ((Labels{"checking", "E01"}), PrintedLabels());
        Events tested = EventsStartingWith(L"PathFileExistsW ");
        ASSERT_EQ(static_cast<size_t>(missing + 1), tested.size());
        for (int i = 0; i <= missing; ++i) {
            EXPECT_EQ(L"PathFileExistsW " + programs[i], tested[i]);
        }
        EXPECT_TRUE(NoCalls(L"RegOpenKeyExW"));
        EXPECT_TRUE(NoCalls(L"OpenSCManagerW"));
        EXPECT_FALSE(ReadRunValue(kMonitorValueName).exists);
        EXPECT_FALSE(ReadService().exists);
        EXPECT_EQ((Events{L"_wsetlocale 2 (null)"}), EventsStartingWith(L"_wsetlocale 2 (null)"));
    }
}

TEST_F(RepairRunTest, MissingAutostartValuesAreWrittenAsStringsWithTheirTerminator)
{
    RunTool();

    machine::RegistryValue monitor = ReadRunValue(kMonitorValueName);
    machine::RegistryValue panel = ReadRunValue(kPanelValueName);
    const std::wstring monitorLine = machine::MonitorCommandLine();
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), monitor.type);
    EXPECT_EQ(monitorLine, monitor.Text());
    EXPECT_EQ((monitorLine.size() + 1) * 2, monitor.bytes.size());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), panel.type);
    EXPECT_EQ(machine::PanelPath(), panel.Text());
    EXPECT_EQ((machine::PanelPath().size() + 1) * 2, panel.bytes.size());
    // One notice for both values; the monitor value is checked again after its write.
    EXPECT_EQ(1, CountLabel("startup-item"));
    const std::wstring query = L"RegQueryValueExW ";
    EXPECT_EQ(
        (Events{query + kMonitorValueName, query + kMonitorValueName, query + kPanelValueName}),
        EventsStartingWith(L"RegQueryValueExW"));
    EXPECT_EQ((Events{L"RegOpenKeyExW " + std::wstring(kRunKeyPath) + L" 0xF003F"}),
              EventsStartingWith(L"RegOpenKeyExW"));
}

TEST_F(RepairRunTest, OnlyTheMissingAutostartValueIsWrittenAndOthersKeepTheirData)
{
    ASSERT_EQ("", machine::WriteRunValue(kMonitorValueName, L"C:\\elsewhere\\monitor.exe -x"));
    RunTool();
    EXPECT_EQ(L"C:\\elsewhere\\monitor.exe -x", ReadRunValue(kMonitorValueName).Text());
    EXPECT_EQ(machine::PanelPath(), ReadRunValue(kPanelValueName).Text());
    EXPECT_EQ(0, CountLabel("startup-item"));

    ASSERT_EQ("", machine::Reset());
    HookReset();
    ASSERT_EQ("", machine::WriteRunValue(kPanelValueName, L"other data"));
    RunTool();
    EXPECT_EQ(L"other data", ReadRunValue(kPanelValueName).Text());
    EXPECT_EQ(machine::MonitorCommandLine(), ReadRunValue(kMonitorValueName).Text());
    EXPECT_EQ(1u, EventsStartingWith(L"RegSetValueExW").size());
    EXPECT_EQ(1, CountLabel("startup-item"));
}

TEST_F(RepairRunTest, RunningServiceIsLeftAloneWhateverItsStartType)
{
    for (DWORD startType : {SERVICE_DEMAND_START, SERVICE_DISABLED}) {
        SCOPED_TRACE(startType);
        ASSERT_EQ("", machine::Reset());
        machine::Healthy healthy;
        healthy.startType = startType;
        MakeHealthy(healthy);
        HookReset();

        RunTool();

        EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
        EXPECT_TRUE(NoCalls(L"QueryServiceConfigW"));
        EXPECT_EQ(startType, ReadService().startType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ReadService().state);
    }
}

TEST_F(RepairRunTest, StoppedServiceIsMadeAutomaticAndStarted)
{
    for (DWORD startType : {SERVICE_DEMAND_START, SERVICE_DISABLED, SERVICE_AUTO_START}) {
        SCOPED_TRACE(startType);
        ASSERT_EQ("", machine::DeleteScanService());
        ASSERT_EQ("", machine::InstallService(startType));
        HookReset();

        RunTool();

        EXPECT_EQ((Labels{"checking", "startup-item", "service-disabled", "restart", "complete"}),
                  PrintedLabels());
        machine::ServiceConfig service = ReadService();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service.startType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
        EXPECT_EQ(machine::ServicePath(), service.binaryPath);
        EXPECT_EQ(startType == SERVICE_AUTO_START ? 0u : 1u,
                  EventsStartingWith(L"ChangeServiceConfigW").size());
        ASSERT_EQ("", machine::DeleteRunValue(kMonitorValueName));
    }
}

TEST_F(RepairRunTest, MissingServiceIsCreatedWithItsExactConfigurationAndStarted)
{
    RunTool();

    EXPECT_EQ((Events{L"CreateServiceW " + std::wstring(kServiceName) + L"|" + kServiceName
                      + L"|0xF01FF|16|2|0|" + machine::ServicePath()
                      + L"|(null)|(null)|(null)|(null)|(null)"}),
              EventsStartingWith(L"CreateServiceW"));
    machine::ServiceConfig service = ReadService();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), service.serviceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service.startType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_IGNORE), service.errorControl);
    EXPECT_EQ(machine::ServicePath(), service.binaryPath);
    EXPECT_EQ(kServiceName, service.displayName);
    EXPECT_EQ(L"LocalSystem", service.account);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
    // A service the tool has just installed does not go through the start-type repair.
    EXPECT_TRUE(NoCalls(L"QueryServiceConfigW"));
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

TEST_F(RepairRunTest, ExistingShortcutFileOrFolderIsLeftAlone)
{
    const std::wstring shortcut = machine::ShortcutPath();
    ASSERT_EQ("", machine::WriteTextFile(shortcut, "not a link at all"));
    RunTool();
    EXPECT_EQ("not a link at all", machine::ReadTextFile(shortcut));
    EXPECT_TRUE(NoCalls(L"CoCreateInstance"));

    DeleteFileW(shortcut.c_str());
    CreateDirectoryW(shortcut.c_str(), NULL);
    HookReset();
    RunTool();
    EXPECT_TRUE(GetFileAttributesW(shortcut.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(NoCalls(L"CoCreateInstance"));
    EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
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
                  + L"|0|0x0|(null)|(null)|cb="
                  + std::to_wstring(sizeof(STARTUPINFOW)),
              launches[0]);
    // Each launch lets go of its process handle first, then of its thread handle.
    Events closes;
    for (const std::wstring& event : EventsStartingWith(L"CloseHandle ")) {
        if (event == L"CloseHandle process" || event == L"CloseHandle thread") {
            closes.push_back(event);
        }
    }
    EXPECT_EQ((Events{L"CloseHandle process", L"CloseHandle thread", L"CloseHandle process",
                      L"CloseHandle thread"}),
              closes);
    ExpectEachProgramRunsOnce();
    EXPECT_TRUE(NoCalls(L"Process32FirstW dwSize"));
}

TEST_F(RepairRunTest, ProgramRunningUnderANameOfOtherLetterCaseIsNotCountedAsRunning)
{
    // The monitor's name in lower case, in another folder: the file system would take the
    // other case for the same file.
    std::wstring lower = kMonitorProcess;
    CharLowerW(&lower[0]);
    const std::wstring folder = machine::TwainDirectory() + L"\\other";
    const std::wstring otherCase = folder + L"\\" + lower;
    ASSERT_EQ("", machine::CreateDirectories(folder));
    ASSERT_TRUE(CopyFileW(machine::MonitorPath().c_str(), otherCase.c_str(), FALSE));
    ASSERT_EQ("", machine::LaunchAndWait(otherCase + L" /Station", lower.c_str()));

    RunTool();

    EXPECT_EQ(1, machine::CountProcesses(kMonitorProcess));
    EXPECT_EQ(1, machine::CountProcesses(lower.c_str()));
    EXPECT_EQ("complete", PrintedLabels().back());
    EXPECT_EQ("", machine::KillProcesses(lower.c_str()));
    DeleteFileW(otherCase.c_str());
    DeleteFileW((otherCase + kCommandLineRecord).c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST_F(RepairRunTest, MonitorThatCannotStartGivesE08AndTheOthersAreNotAttempted)
{
    machine::PackageFaults faults;
    faults.monitorNotAProgram = true;
    ASSERT_EQ("", machine::InstallPackage(StandinsFolder(), machine::WindowsDirectory(), faults));

    RunTool();

    EXPECT_EQ("E08", PrintedLabels().back());
    EXPECT_EQ(1u, EventsStartingWith(L"CreateProcessW").size());
    EXPECT_EQ(0, machine::CountProcesses(kPanelProcess));
    EXPECT_EQ(0, machine::CountProcesses(kGuideProcess));
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
