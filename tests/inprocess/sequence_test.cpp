// Whole runs of the tool against the real registry, service manager, process list and
// shell of the Wine prefix, with the stand-in package installed.
#include "tests/inprocess/harness.h"

#include <algorithm>

using machine::ReadRunValue;
using machine::ReadService;
using Labels = std::vector<std::string>;

static int CountLabel(const std::string& label)
{
    const Labels labels = PrintedLabels();
    return static_cast<int>(std::count(labels.begin(), labels.end(), label));
}

TEST_F(RepairRunTest, HealthyMachineIsOnlyCheckedAndNothingChanges)
{
    MakeHealthy();
    const std::string shortcutBefore = machine::ReadTextFile(machine::ShortcutPath());

    RunTool();

    EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
    EXPECT_TRUE(EventsStartingWith(L"RegSetValueExW").empty());
    EXPECT_TRUE(EventsStartingWith(L"CreateServiceW").empty());
    EXPECT_TRUE(EventsStartingWith(L"StartServiceW").empty());
    EXPECT_TRUE(EventsStartingWith(L"CreateProcessW").empty());
    EXPECT_TRUE(EventsStartingWith(L"CoCreateInstance").empty());
    EXPECT_EQ(shortcutBefore, machine::ReadTextFile(machine::ShortcutPath()));
    for (const wchar_t* name : kBackgroundProcesses) {
        EXPECT_EQ(1, machine::CountProcesses(name)) << Narrow(name);
    }
    EXPECT_EQ(1u, machine::RecordedCommandLines(machine::MonitorPath(), 2).size());
}

TEST_F(RepairRunTest, DamagedMachineIsRepairedInOrderAndASecondRunFindsItHealthy)
{
    RunTool();

    EXPECT_EQ((Labels{"checking", "startup-item", "service-missing", "restart", "complete"}),
              PrintedLabels());
    machine::ServiceConfig service = ReadService();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
    EXPECT_EQ(machine::GuidePath(), machine::ReadShortcutTarget(machine::ShortcutPath()));
    for (const wchar_t* name : kBackgroundProcesses) {
        EXPECT_EQ(1, machine::CountProcesses(name)) << Narrow(name);
    }

    HookReset();
    HookRunSystemCommands(FALSE);
    RunTool();
    EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
    EXPECT_TRUE(EventsStartingWith(L"RegSetValueExW").empty());
    EXPECT_TRUE(EventsStartingWith(L"CreateProcessW").empty());
}

TEST_F(RepairRunTest, FirstMissingProgramEndsTheRunWithE01AndLaterOnesAreNotTested)
{
    const std::wstring programs[] = {machine::MonitorPath(), machine::ServicePath(),
                                     machine::PanelPath(), machine::GuidePath()};
    for (int missing = 0; missing < 4; ++missing) {
        SCOPED_TRACE(Narrow(programs[missing]));
        HookReset();
        HookRunSystemCommands(FALSE);
        machine::InstallPackage();
        DeleteFileW(programs[missing].c_str());

        RunTool();

        EXPECT_EQ((Labels{"checking", "E01"}), PrintedLabels());
        std::vector<std::wstring> tested = EventsStartingWith(L"PathFileExistsW ");
        ASSERT_EQ(static_cast<size_t>(missing + 1), tested.size());
        for (int i = 0; i <= missing; ++i) {
            EXPECT_EQ(L"PathFileExistsW " + programs[i], tested[i]);
        }
        EXPECT_TRUE(EventsStartingWith(L"RegOpenKeyExW").empty());
        EXPECT_TRUE(EventsStartingWith(L"OpenSCManagerW").empty());
        EXPECT_FALSE(ReadRunValue(L"Velmora Setup").exists);
        EXPECT_FALSE(ReadService().exists);
        EXPECT_EQ((std::vector<std::wstring>{L"_wsetlocale 2 (null)"}),
                  EventsStartingWith(L"_wsetlocale 2 (null)"));
    }
}

TEST_F(RepairRunTest, MissingAutostartValuesAreWrittenAsStringsWithTheirTerminator)
{
    RunTool();

    machine::RegistryValue monitor = ReadRunValue(L"Velmora Setup");
    machine::RegistryValue panel = ReadRunValue(L"Kestrun_setup");
    const std::wstring monitorLine = machine::MonitorPath() + L" /Station";
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), monitor.type);
    EXPECT_EQ(monitorLine, monitor.Text());
    EXPECT_EQ((monitorLine.size() + 1) * 2, monitor.bytes.size());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), panel.type);
    EXPECT_EQ(machine::PanelPath(), panel.Text());
    EXPECT_EQ((machine::PanelPath().size() + 1) * 2, panel.bytes.size());
    // One notice for both values; the monitor value is checked again after its write.
    EXPECT_EQ(1, CountLabel("startup-item"));
    EXPECT_EQ((std::vector<std::wstring>{L"RegQueryValueExW Velmora Setup",
                                         L"RegQueryValueExW Velmora Setup",
                                         L"RegQueryValueExW Kestrun_setup"}),
              EventsStartingWith(L"RegQueryValueExW"));
    EXPECT_EQ((std::vector<std::wstring>{L"RegOpenKeyExW " + std::wstring(
                                             L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run")
                                         + L" 0xF003F"}),
              EventsStartingWith(L"RegOpenKeyExW"));
}

TEST_F(RepairRunTest, OnlyTheMissingAutostartValueIsWrittenAndOthersKeepTheirData)
{
    machine::WriteRunValue(L"Velmora Setup", L"C:\\elsewhere\\monitor.exe -x");
    RunTool();
    EXPECT_EQ(L"C:\\elsewhere\\monitor.exe -x", ReadRunValue(L"Velmora Setup").Text());
    EXPECT_EQ(machine::PanelPath(), ReadRunValue(L"Kestrun_setup").Text());
    EXPECT_EQ(0, CountLabel("startup-item"));

    machine::Reset();
    HookReset();
    HookRunSystemCommands(FALSE);
    machine::WriteRunValue(L"Kestrun_setup", L"other data");
    RunTool();
    EXPECT_EQ(L"other data", ReadRunValue(L"Kestrun_setup").Text());
    EXPECT_EQ(machine::MonitorPath() + L" /Station", ReadRunValue(L"Velmora Setup").Text());
    EXPECT_EQ(1u, EventsStartingWith(L"RegSetValueExW").size());
    EXPECT_EQ(1, CountLabel("startup-item"));
}

TEST_F(RepairRunTest, RunningServiceIsLeftAloneWhateverItsStartType)
{
    for (DWORD startType : {SERVICE_DEMAND_START, SERVICE_DISABLED}) {
        SCOPED_TRACE(startType);
        machine::Reset();
        MakeHealthy();
        machine::DeleteScanService();
        machine::InstallService(SERVICE_DEMAND_START);
        machine::StartServiceAndWaitRunning();
        if (startType == SERVICE_DISABLED) {
            SC_HANDLE manager = ::OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
            SC_HANDLE service = ::OpenServiceW(manager, L"NVSCNSVC", SERVICE_ALL_ACCESS);
            ::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                   NULL, NULL, NULL, NULL, NULL, NULL, NULL);
            ::CloseServiceHandle(service);
            ::CloseServiceHandle(manager);
        }
        HookReset();
        HookRunSystemCommands(FALSE);

        RunTool();

        EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
        EXPECT_TRUE(EventsStartingWith(L"QueryServiceConfigW").empty());
        EXPECT_EQ(startType, ReadService().startType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ReadService().state);
    }
}

TEST_F(RepairRunTest, StoppedServiceIsMadeAutomaticAndStarted)
{
    for (DWORD startType : {SERVICE_DEMAND_START, SERVICE_DISABLED, SERVICE_AUTO_START}) {
        SCOPED_TRACE(startType);
        machine::DeleteScanService();
        machine::InstallService(startType);
        HookReset();
        HookRunSystemCommands(FALSE);

        RunTool();

        EXPECT_EQ((Labels{"checking", "startup-item", "service-disabled", "restart", "complete"}),
                  PrintedLabels());
        machine::ServiceConfig service = ReadService();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service.startType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
        EXPECT_EQ(machine::ServicePath(), service.binaryPath);
        EXPECT_EQ(startType == SERVICE_AUTO_START ? 0u : 1u,
                  EventsStartingWith(L"ChangeServiceConfigW").size());
        machine::DeleteRunValue(L"Velmora Setup");
    }
}

TEST_F(RepairRunTest, MissingServiceIsCreatedWithItsExactConfigurationAndStarted)
{
    RunTool();

    EXPECT_EQ((std::vector<std::wstring>{
                  L"CreateServiceW NVSCNSVC|NVSCNSVC|0xF01FF|16|2|0|" + machine::ServicePath()
                  + L"|(null)|(null)|(null)|(null)|(null)"}),
              EventsStartingWith(L"CreateServiceW"));
    machine::ServiceConfig service = ReadService();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), service.serviceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service.startType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_IGNORE), service.errorControl);
    EXPECT_EQ(machine::ServicePath(), service.binaryPath);
    EXPECT_EQ(L"NVSCNSVC", service.displayName);
    EXPECT_EQ(L"LocalSystem", service.account);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
    // A service the tool has just installed does not go through the start-type repair.
    EXPECT_TRUE(EventsStartingWith(L"QueryServiceConfigW").empty());
}

TEST_F(RepairRunTest, ServiceThatStopsWhileStartingGivesE07AndStaysInstalled)
{
    machine::WriteTextFile(machine::ServicePath() + L".behaviour", "stop");

    RunTool();

    EXPECT_EQ((Labels{"checking", "startup-item", "service-missing", "E07"}), PrintedLabels());
    EXPECT_TRUE(ReadService().exists);
    EXPECT_NE(static_cast<DWORD>(SERVICE_RUNNING), ReadService().state);
    EXPECT_TRUE(EventsStartingWith(L"CreateProcessW").empty());
    EXPECT_FALSE(machine::FileExists(machine::ShortcutPath()));
}

TEST_F(RepairRunTest, ExistingShortcutFileOrFolderIsLeftAlone)
{
    const std::wstring shortcut = machine::ShortcutPath();
    machine::WriteTextFile(shortcut, "not a link at all");
    RunTool();
    EXPECT_EQ("not a link at all", machine::ReadTextFile(shortcut));
    EXPECT_TRUE(EventsStartingWith(L"CoCreateInstance").empty());

    DeleteFileW(shortcut.c_str());
    CreateDirectoryW(shortcut.c_str(), NULL);
    HookReset();
    HookRunSystemCommands(FALSE);
    RunTool();
    EXPECT_TRUE(GetFileAttributesW(shortcut.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(EventsStartingWith(L"CoCreateInstance").empty());
    EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
}

TEST_F(RepairRunTest, RunningProgramIsNotLaunchedAgainAndMissingOnesGetTheirCommandLines)
{
    machine::StartProgram(machine::PanelPath(), machine::PanelPath());
    for (int i = 0; i < 100 && machine::CountProcesses(L"Kestrun.exe") == 0; ++i) {
        Sleep(20);
    }

    RunTool();

    EXPECT_EQ((std::vector<std::wstring>{machine::MonitorPath() + L" /Station"}),
              machine::RecordedCommandLines(machine::MonitorPath(), 1));
    EXPECT_EQ((std::vector<std::wstring>{machine::GuidePath()}),
              machine::RecordedCommandLines(machine::GuidePath(), 1));
    EXPECT_EQ(1u, machine::RecordedCommandLines(machine::PanelPath(), 2).size());
    std::vector<std::wstring> launches = EventsStartingWith(L"CreateProcessW");
    ASSERT_EQ(2u, launches.size());
    EXPECT_EQ(L"CreateProcessW (null)|" + machine::MonitorPath() + L" /Station|0|0x0|(null)|(null)|cb="
                  + std::to_wstring(sizeof(STARTUPINFOW)),
              launches[0]);
    // Each launch lets go of its process handle first, then of its thread handle.
    std::vector<std::wstring> closes;
    for (const std::wstring& event : EventsStartingWith(L"CloseHandle ")) {
        if (event == L"CloseHandle process" || event == L"CloseHandle thread") {
            closes.push_back(event);
        }
    }
    EXPECT_EQ((std::vector<std::wstring>{L"CloseHandle process", L"CloseHandle thread",
                                         L"CloseHandle process", L"CloseHandle thread"}),
              closes);
    for (const wchar_t* name : kBackgroundProcesses) {
        EXPECT_EQ(1, machine::CountProcesses(name)) << Narrow(name);
    }
    EXPECT_TRUE(EventsStartingWith(L"Process32FirstW dwSize").empty());
}

TEST_F(RepairRunTest, ProgramRunningUnderANameOfOtherLetterCaseIsNotCountedAsRunning)
{
    // Another folder: the file system would take the other case for the same file.
    const std::wstring folder = machine::TwainDirectory() + L"\\other";
    const std::wstring otherCase = folder + L"\\nvmonsta.EXE";
    CreateDirectoryW(folder.c_str(), NULL);
    CopyFileW(machine::MonitorPath().c_str(), otherCase.c_str(), FALSE);
    machine::StartProgram(otherCase, otherCase + L" /Station");
    for (int i = 0; i < 100 && machine::CountProcesses(L"nvmonsta.EXE") == 0; ++i) {
        Sleep(20);
    }

    RunTool();

    EXPECT_EQ(1, machine::CountProcesses(L"NVMONSTA.exe"));
    EXPECT_EQ(1, machine::CountProcesses(L"nvmonsta.EXE"));
    EXPECT_EQ("complete", PrintedLabels().back());
    machine::KillProcesses(L"nvmonsta.EXE");
    DeleteFileW(otherCase.c_str());
    DeleteFileW((otherCase + L".cmdline").c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST_F(RepairRunTest, MonitorThatCannotStartGivesE08AndTheOthersAreNotAttempted)
{
    machine::WriteTextFile(machine::MonitorPath(), "this is not a program");

    RunTool();

    EXPECT_EQ("E08", PrintedLabels().back());
    EXPECT_EQ(1u, EventsStartingWith(L"CreateProcessW").size());
    EXPECT_EQ(0, machine::CountProcesses(L"Kestrun.exe"));
    EXPECT_EQ(0, machine::CountProcesses(L"Haldrix.exe"));
}

TEST_F(RepairRunTest, ProgramThatExitsBeforeTheSecondLookGivesE08)
{
    machine::WriteTextFile(machine::PanelPath() + L".exit", "");
    RunTool();
    // Depending on timing the process may still be listed; when it is gone the run says so.
    std::vector<std::string> labels = PrintedLabels();
    if (labels.back() == "E08") {
        EXPECT_EQ(1u, machine::RecordedCommandLines(machine::PanelPath(), 1).size());
        EXPECT_EQ(0, machine::CountProcesses(L"Haldrix.exe"));
    } else {
        EXPECT_EQ("complete", labels.back());
    }
}
