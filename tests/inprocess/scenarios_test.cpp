// The states a user's machine can be in, each run twice: through the entry point in this
// process, and as the built program started as a user starts it. Each asserts the exact
// output, the pause, the exit status, and the machine after the run as one comparison:
// the machine before it with just the changes the scenario calls for.
#include "tests/inprocess/harness.h"

#include <algorithm>
#include <functional>

namespace {

using machine::Healthy;
using machine::Snapshot;
using Change = std::function<void(Snapshot* expected, const Snapshot& after)>;

enum { kMonitor, kPanel, kGuide, kServiceStarts };
// The index in Snapshot::runValues of the registry view the tool writes.
const int kToolView = sizeof(void*) == 8 ? 1 : 0;

const Labels kHealthy = {"checking", "restart", "complete"};
const Labels kRepairedFromNothing = {"checking", "startup-item", "service-missing", "restart",
                                     "complete"};

// The check's verdicts: what a machine with just the package lacks after its files, and
// the three programs not running.
const std::string kNoPrograms = "E08 programs not running: NVMONSTA.exe, Kestrun.exe, Haldrix.exe";
const std::string kNoShortcut = "startup shortcut missing: Faultwise Companion.lnk";
const std::string kAfterTheFiles = "E03 Run values missing: Velmora Setup, Kestrun_setup; "
                                   "E06 service NVSCNSVC not installed; " + kNoShortcut + "; "
                                   + kNoPrograms;
const std::string kNothingInPlace = "repair needed: " + kAfterTheFiles;

std::string FileMissing(const char* name)
{
    return "repair needed: E01 files missing: " + std::string(name) + "; " + kAfterTheFiles;
}

struct Scenario {
    const char* name;
    std::function<machine::Failure()> prepare;  // from a machine with just the package
    Labels labels;
    std::string check;  // the check's verdict before the run
    Change changes;                                     // what the run changes, if anything
    std::function<void(const RunRecord&)> alsoCheck;  // what a snapshot does not hold
    std::function<void()> calls;                        // the entry point's calls, as logged
};

Healthy Standard(std::function<void(Healthy*)> differences = nullptr)
{
    Healthy healthy;
    healthy.standins = StandinsFolder();
    if (differences) {
        differences(&healthy);
    }
    return healthy;
}

void NoPrograms(Healthy* healthy)
{
    healthy->programs[0] = healthy->programs[1] = healthy->programs[2] = false;
}

// All of `steps`, in order, up to the first that fails.
machine::Failure Steps(std::initializer_list<std::function<machine::Failure()>> steps)
{
    for (const auto& step : steps) {
        machine::Failure failure = step();
        if (!failure.empty()) {
            return failure;
        }
    }
    return "";
}

machine::RegistryValue StringValue(const wchar_t* name, const std::wstring& text)
{
    machine::RegistryValue value;
    value.name = name;
    value.exists = true;
    value.type = REG_SZ;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    value.bytes.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    return value;
}

void AddValue(Snapshot* expected, const wchar_t* name, const std::wstring& text)
{
    std::vector<machine::RegistryValue>& values = expected->runValues[kToolView];
    values.push_back(StringValue(name, text));
    std::sort(values.begin(), values.end(),
              [](const machine::RegistryValue& a, const machine::RegistryValue& b) {
                  return a.name < b.name;
              });
}

void Launched(Snapshot* expected, int program)
{
    const machine::BackgroundProgram& launched = machine::kBackgroundPrograms[program];
    expected->processes.push_back(launched.process);
    std::sort(expected->processes.begin(), expected->processes.end());
    expected->records[program].push_back(machine::ExplorerCommandLine(launched));
}

// Started once by the tool, `behaviour` as the stand-in recorded it; the state is the one
// it reached (running where the start succeeded) and its process a new one.
void ServiceStarted(Snapshot* expected, const Snapshot& after, const wchar_t* behaviour,
                    DWORD state)
{
    expected->service.startType = SERVICE_AUTO_START;
    expected->service.state = state;
    expected->service.processId = after.service.processId;
    expected->records[kServiceStarts].push_back(behaviour);
}

// Installed as the package's installer would have it, and started.
void ServiceCreated(Snapshot* expected, const Snapshot& after, const wchar_t* behaviour,
                    DWORD state)
{
    machine::ServiceConfig& service = expected->service;
    service = machine::ServiceConfig();
    service.exists = true;
    service.serviceType = SERVICE_WIN32_OWN_PROCESS;
    service.errorControl = SERVICE_ERROR_IGNORE;
    service.binaryPath = machine::ServicePath();
    service.account = L"LocalSystem";
    service.displayName = names::kServiceDisplayName;
    ServiceStarted(expected, after, behaviour, state);
}

void BothValuesWritten(Snapshot* expected)
{
    AddValue(expected, names::kMonitorValueName, machine::MonitorCommandLine());
    AddValue(expected, names::kPanelValueName, machine::PanelPath());
}

// Beside whatever else the machine's Startup folder holds.
void ShortcutWritten(Snapshot* expected)
{
    expected->startupFolder.push_back(names::kShortcutFile);
    std::sort(expected->startupFolder.begin(), expected->startupFolder.end());
    expected->shortcut = WrittenShortcut(machine::GuidePath());
}

Change Programs(std::vector<int> launched)
{
    return [launched](Snapshot* expected, const Snapshot&) {
        for (int program : launched) {
            Launched(expected, program);
        }
    };
}

machine::Failure MissingProgram(const std::wstring& path)
{
    machine::PackageFaults faults;
    faults.missing = {path};
    return machine::InstallPackage(StandinsFolder(), machine::WindowsDirectory(), faults);
}

// Calls that change the machine, none of which a run that finds everything in place makes.
void NoChangingCalls()
{
    for (const wchar_t* change : {L"RegSetValueExW", L"CreateServiceW", L"StartServiceW",
                                  L"ChangeServiceConfigW", L"CreateProcessW", L"CoCreateInstance"}) {
        EXPECT_TRUE(NoCalls(change));
    }
}

// The programs are tested in order up to the first missing one, and nothing else is touched.
std::function<void()> TestedUpTo(int missing)
{
    return [missing] {
        const std::wstring programs[] = {machine::MonitorPath(), machine::ServicePath(),
                                         machine::PanelPath(), machine::GuidePath()};
        Events tested;
        for (int i = 0; i <= missing; ++i) {
            tested.push_back(L"PathFileExistsW " + programs[i]);
        }
        EXPECT_EQ(tested, EventsStartingWith(L"PathFileExistsW "));
        EXPECT_TRUE(NoCalls(L"RegOpenKeyExW"));
        EXPECT_TRUE(NoCalls(L"OpenSCManagerW"));
        EXPECT_EQ((Events{L"_wsetlocale 2 (null)"}), EventsStartingWith(L"_wsetlocale 2 (null)"));
    };
}

// A running service is left alone, whatever its start type: its configuration is not read.
void ConfigurationNotRead()
{
    EXPECT_TRUE(NoCalls(L"QueryServiceConfigW"));
}

// The service stopped, with this start type.
Scenario StoppedService(const char* name, DWORD startType)
{
    return {name,
            [startType] {
                return machine::MakeHealthy(Standard([startType](Healthy* healthy) {
                    healthy->startType = startType;
                    healthy->serviceRunning = false;
                }));
            },
            {"checking", "service-disabled", "restart", "complete"},
            "repair needed: E07 service NVSCNSVC not running",
            [](Snapshot* expected, const Snapshot& after) {
                ServiceStarted(expected, after, L"instant", SERVICE_RUNNING);
            },
            nullptr,
            // Reconfigured only where it was not automatic already.
            [startType] {
                EXPECT_EQ(startType == SERVICE_AUTO_START ? 0u : 1u,
                          EventsStartingWith(L"ChangeServiceConfigW").size());
            }};
}

// Installed, manual and stopped, its start going wrong in the way `behaviour` says.
Scenario FailingStart(const char* name, const char* behaviour)
{
    return {name,
            [behaviour] {
                return machine::MakeHealthy(Standard([behaviour](Healthy* healthy) {
                    NoPrograms(healthy);
                    healthy->startType = SERVICE_DEMAND_START;
                    healthy->serviceRunning = false;
                    healthy->shortcut = false;
                    healthy->behaviour = behaviour;
                }));
            },
            {"checking", "service-disabled", "E07"},
            "repair needed: E07 service NVSCNSVC not running; " + kNoShortcut + "; " + kNoPrograms,
            [behaviour](Snapshot* expected, const Snapshot& after) {
                ServiceStarted(expected, after, machine::Widen(behaviour).c_str(),
                               after.service.state);
            },
            [](const RunRecord& run) { EXPECT_NE(SERVICE_RUNNING, run.after.service.state); }};
}

const Scenario kScenarios[] = {
    {"Healthy", [] { return machine::MakeHealthy(Standard()); }, kHealthy, "healthy", nullptr,
     nullptr, NoChangingCalls},
    {"MonitorMissing", [] { return MissingProgram(machine::MonitorPath()); }, {"checking", "E01"},
     FileMissing("Norvale\\NVMONSTA.exe"),
     nullptr, nullptr, TestedUpTo(0)},
    {"ServiceProgramMissing", [] { return MissingProgram(machine::ServicePath()); },
     {"checking", "E01"}, FileMissing("Norvale\\NVSCNSVC.exe"), nullptr, nullptr, TestedUpTo(1)},
    {"PanelMissing", [] { return MissingProgram(machine::PanelPath()); }, {"checking", "E01"},
     FileMissing("tessmar32\\QOV\\Kestrun.exe"),
     nullptr, nullptr, TestedUpTo(2)},
    {"GuideMissing", [] { return MissingProgram(machine::GuidePath()); }, {"checking", "E01"},
     FileMissing("tessmar32\\KLD\\Haldrix.exe"),
     nullptr, nullptr, TestedUpTo(3)},
    {"MonitorValueMissing",
     [] {
         return Steps({[] { return machine::MakeHealthy(Standard()); },
                       [] { return machine::DeleteRunValue(names::kMonitorValueName); },
                       [] { return machine::WriteRunValue(names::kPanelValueName, L"D:\\Custom\\p.exe"); }});
     },
     {"checking", "startup-item", "restart", "complete"},
     "repair needed: E03 Run values missing: Velmora Setup",
     [](Snapshot* expected, const Snapshot&) {
         AddValue(expected, names::kMonitorValueName, machine::MonitorCommandLine());
     }},
    {"PanelValueMissing",
     [] {
         return Steps({[] { return machine::MakeHealthy(Standard()); },
                       [] { return machine::DeleteRunValue(names::kPanelValueName); },
                       [] { return machine::WriteRunValue(names::kMonitorValueName, L"D:\\m.exe -x"); }});
     },
     kHealthy, "repair needed: E03 Run values missing: Kestrun_setup",
     [](Snapshot* expected, const Snapshot&) {
         AddValue(expected, names::kPanelValueName, machine::PanelPath());
     },
     nullptr, [] { EXPECT_EQ(1u, EventsStartingWith(L"RegSetValueExW").size()); }},
    {"BothValuesMissing",
     [] {
         return machine::MakeHealthy(Standard([](Healthy* healthy) {
             healthy->monitorValue = healthy->panelValue = false;
         }));
     },
     {"checking", "startup-item", "restart", "complete"},
     "repair needed: E03 Run values missing: Velmora Setup, Kestrun_setup",
     [](Snapshot* expected, const Snapshot&) { BothValuesWritten(expected); }, nullptr,
     // The key opened once with full access; the monitor value is checked again after its
     // write, and one notice stands for both.
     [] {
         const std::wstring query = L"RegQueryValueExW ";
         EXPECT_EQ((Events{query + names::kMonitorValueName, query + names::kMonitorValueName,
                           query + names::kPanelValueName}),
                   EventsStartingWith(L"RegQueryValueExW"));
         EXPECT_EQ((Events{L"RegOpenKeyExW " + std::wstring(names::kRunKeyPath) + L" 0xF003F"}),
                   EventsStartingWith(L"RegOpenKeyExW"));
     }},
    {"RunKeyMissing",
     [] { return machine::DeleteRunKey(kToolView ? machine::kView64 : machine::kView32); },
     {"checking", "E02"},
     "repair needed: E02 Run key cannot be opened; E06 service NVSCNSVC not installed; "
         + kNoShortcut + "; " + kNoPrograms,
     nullptr,
     [](const RunRecord&) {
         EXPECT_EQ("", machine::CreateRunKey(kToolView ? machine::kView64 : machine::kView32));
     }},
    {"RunningManualServiceLeftAlone",
     [] {
         return machine::MakeHealthy(
             Standard([](Healthy* healthy) { healthy->startType = SERVICE_DEMAND_START; }));
     },
     kHealthy, "healthy", nullptr, nullptr, ConfigurationNotRead},
    {"RunningDisabledServiceLeftAlone",
     [] {
         return machine::MakeHealthy(
             Standard([](Healthy* healthy) { healthy->startType = SERVICE_DISABLED; }));
     },
     kHealthy, "healthy", nullptr, nullptr, ConfigurationNotRead},
    StoppedService("StoppedManualService", SERVICE_DEMAND_START),
    StoppedService("StoppedDisabledService", SERVICE_DISABLED),
    StoppedService("StoppedAutomaticService", SERVICE_AUTO_START),
    {"ServiceMissing",
     [] { return machine::MakeHealthy(Standard([](Healthy* healthy) { healthy->service = false; })); },
     {"checking", "service-missing", "restart", "complete"},
     "repair needed: E06 service NVSCNSVC not installed",
     [](Snapshot* expected, const Snapshot& after) {
         ServiceCreated(expected, after, L"instant", SERVICE_RUNNING);
     },
     nullptr,
     // Created with its exact configuration, and not put through the start-type repair.
     [] {
         EXPECT_EQ((Events{L"CreateServiceW " + std::wstring(names::kServiceName) + L"|"
                           + names::kServiceDisplayName + L"|0xF01FF|16|2|0|" + machine::ServicePath()
                           + L"|(null)|(null)|(null)|(null)|(null)"}),
                   EventsStartingWith(L"CreateServiceW"));
         ConfigurationNotRead();
     }},
    {"NothingInPlaceAndAServiceSlowToStart",
     [] { return machine::SetServiceBehaviour("slow"); },
     kRepairedFromNothing, kNothingInPlace,
     [](Snapshot* expected, const Snapshot& after) {
         BothValuesWritten(expected);
         ServiceCreated(expected, after, L"slow", SERVICE_RUNNING);
         ShortcutWritten(expected);
         Programs({kMonitor, kPanel, kGuide})(expected, after);
     }},
    FailingStart("ServiceThatStopsWhileStarting", "stop"),
    FailingStart("ServiceStuckWithoutProgress", "stuck"),
    {"ServiceProgramThatIsNoService",
     [] {
         machine::PackageFaults faults;
         faults.serviceNotAService = true;
         return machine::InstallPackage(StandinsFolder(), machine::WindowsDirectory(), faults);
     },
     {"checking", "startup-item", "service-missing", "E07"}, kNothingInPlace,
     [](Snapshot* expected, const Snapshot& after) {
         BothValuesWritten(expected);
         ServiceCreated(expected, after, L"", after.service.state);
         expected->records[kServiceStarts].clear();
     },
     [](const RunRecord& run) {
         EXPECT_NE(SERVICE_RUNNING, run.after.service.state);
         // The program was started once, by its binary path.
         EXPECT_EQ((Events{machine::ServicePath()}), machine::RecordedLines(machine::ServicePath(), 1));
     }},
    {"DisplayNameTakenByAnotherService",
     [] {
         return machine::InstallService(SERVICE_DEMAND_START,
                                        machine::TwainDirectory() + L"\\other\\other.exe",
                                        machine::kOtherServiceName, names::kServiceDisplayName);
     },
     {"checking", "startup-item", "service-missing", "E06"}, kNothingInPlace,
     [](Snapshot* expected, const Snapshot&) { BothValuesWritten(expected); },
     [](const RunRecord&) {
         machine::ServiceConfig other = machine::ReadService(machine::kOtherServiceName);
         EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), other.startType);
         EXPECT_EQ(std::wstring(names::kServiceDisplayName), other.displayName);
         EXPECT_EQ("", machine::DeleteScanService(machine::kOtherServiceName));
     }},
    {"ShortcutMissing",
     [] { return machine::MakeHealthy(Standard([](Healthy* healthy) { healthy->shortcut = false; })); },
     kHealthy, "repair needed: " + kNoShortcut,
     [](Snapshot* expected, const Snapshot&) { ShortcutWritten(expected); }},
    {"FileOfTheShortcutsName",
     [] {
         return Steps({[] {
                           return machine::MakeHealthy(
                               Standard([](Healthy* healthy) { healthy->shortcut = false; }));
                       },
                       [] { return machine::WriteTextFile(machine::ShortcutPath(), "not a link"); }});
     },
     kHealthy, "healthy", nullptr,
     [](const RunRecord&) { EXPECT_EQ("not a link", machine::ReadTextFile(machine::ShortcutPath())); },
     [] { EXPECT_TRUE(NoCalls(L"CoCreateInstance")); }},
    {"FolderOfTheShortcutsName",
     [] {
         const std::wstring shortcut = machine::ShortcutPath();
         return Steps({[] {
                           return machine::MakeHealthy(
                               Standard([](Healthy* healthy) { healthy->shortcut = false; }));
                       },
                       [shortcut] { return machine::CreateDirectories(shortcut); },
                       [shortcut] { return machine::WriteTextFile(shortcut + L"\\inside.txt", "x"); }});
     },
     kHealthy, "healthy", nullptr,
     [](const RunRecord&) {
         EXPECT_EQ("x", machine::ReadTextFile(machine::ShortcutPath() + L"\\inside.txt"));
         DeleteFileW((machine::ShortcutPath() + L"\\inside.txt").c_str());
     },
     [] { EXPECT_TRUE(NoCalls(L"CoCreateInstance")); }},
    // Elevated from a split token, as Wine's every process is: the desktop's Explorer starts
    // them, and no parent is named for them.
    {"NoProgramRunning", [] { return machine::MakeHealthy(Standard(NoPrograms)); }, kHealthy,
     "repair needed: " + kNoPrograms, Programs({kMonitor, kPanel, kGuide}),
     [](const RunRecord&) {
         for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
             EXPECT_EQ(machine::kExplorerProcess, machine::ParentName(program.process));
         }
     },
     [] {
         EXPECT_TRUE(NoCalls(L"CreateProcess"));
         EXPECT_TRUE(NoCalls(L"GetProcAddress UpdateProcThreadAttribute"));
     }},
    {"OnlyTheMonitorRunning",
     [] {
         return machine::MakeHealthy(Standard([](Healthy* healthy) {
             healthy->programs[1] = healthy->programs[2] = false;
         }));
     },
     kHealthy, "repair needed: E08 programs not running: Kestrun.exe, Haldrix.exe",
     Programs({kPanel, kGuide})},
    {"GuideRunningUnderAnotherLetterCase",
     [] {
         const std::wstring other = machine::ScratchFolder() + L"\\haldrix.exe";
         return Steps({[] {
                           return machine::MakeHealthy(
                               Standard([](Healthy* healthy) { healthy->programs[2] = false; }));
                       },
                       [other] {
                           return CopyFileW(machine::PanelPath().c_str(), other.c_str(), FALSE)
                               ? machine::LaunchAndWait(other, L"haldrix.exe")
                               : "the copy failed";
                       }});
     },
     kHealthy, "repair needed: E08 programs not running: Haldrix.exe", Programs({kGuide}),
     [](const RunRecord&) { EXPECT_EQ("", machine::KillProcesses(L"haldrix.exe")); }},
    // The desktop's Explorer starts them whatever window is the shell's, or none.
    {"NoProgramRunningAndNoShellWindow",
     [] {
         return machine::MakeHealthy(Standard([](Healthy* healthy) {
             NoPrograms(healthy);
             healthy->shell = false;
         }));
     },
     kHealthy, "repair needed: " + kNoPrograms, Programs({kMonitor, kPanel, kGuide}), nullptr,
     [] { EXPECT_TRUE(NoCalls(L"GetProcAddress GetShellWindow")); }},
    {"MonitorNotAProgram",
     [] {
         return machine::MakeHealthy(Standard([](Healthy* healthy) {
             NoPrograms(healthy);
             healthy->package.monitorNotAProgram = true;
         }));
     },
     {"checking", "restart", "E08"}, "repair needed: " + kNoPrograms, nullptr, nullptr,
     // The panel launcher and the error guide are not attempted.
     [] {
         EXPECT_EQ(1u, EventsStartingWith(L"SysAllocString " + machine::MonitorPath()).size());
         EXPECT_EQ(Events{}, EventsStartingWith(L"SysAllocString " + machine::PanelPath()));
     }},
    {"DamagedMachine",
     [] {
         return machine::MakeHealthy(Standard([](Healthy* healthy) {
             NoPrograms(healthy);
             healthy->monitorValue = false;
             healthy->startType = SERVICE_DISABLED;
             healthy->serviceRunning = false;
             healthy->shortcut = false;
         }));
     },
     {"checking", "startup-item", "service-disabled", "restart", "complete"},
     "repair needed: E03 Run values missing: Velmora Setup; E07 service NVSCNSVC not running; "
         + kNoShortcut + "; " + kNoPrograms,
     [](Snapshot* expected, const Snapshot& after) {
         AddValue(expected, names::kMonitorValueName, machine::MonitorCommandLine());
         ServiceStarted(expected, after, L"instant", SERVICE_RUNNING);
         ShortcutWritten(expected);
         Programs({kMonitor, kPanel, kGuide})(expected, after);
     }},
    {"SecondRunOnARepairedMachine",
     [] {
         return Steps({[] { return machine::MakeHealthy(Standard(NoPrograms)); },
                       [] {
                           return RunWith(kProgram).exitCode == 0 ? "" : "the first run failed";
                       }});
     },
     kHealthy, "healthy", nullptr, nullptr, NoChangingCalls},
};

std::string ScenarioName(const ::testing::TestParamInfo<std::tuple<Scenario, Runner>>& info)
{
    return std::string(std::get<0>(info.param).name)
        + (std::get<1>(info.param) == kEntryPoint ? "_EntryPoint" : "_Program");
}

}  // namespace

void PrintTo(const Scenario& scenario, std::ostream* out)
{
    *out << scenario.name;
}

class ScenarioTest : public RepairRunTest,
                     public ::testing::WithParamInterface<std::tuple<Scenario, Runner>> {};

TEST_P(ScenarioTest, EndsWithItsMessagesAndChangesOnlyWhatItRepairs)
{
    const Scenario& scenario = std::get<0>(GetParam());
    const machine::Failure prepared = scenario.prepare();
    if (machine::IsSkip(prepared)) {
        GTEST_SKIP() << prepared;
    }
    ASSERT_EQ("", prepared);
    Snapshot expected = machine::TakeSnapshot();
    // Whether the row expects programs started: then the desktop's Explorer must start them.
    Snapshot started = expected;
    if (scenario.changes) {
        scenario.changes(&started, expected);
    }
    const machine::Failure explorer = ProgramsStartHere(std::get<1>(GetParam()));
    if (!std::equal(started.records, started.records + 3, expected.records)
        && machine::IsSkip(explorer)) {
        GTEST_SKIP() << explorer;
    }

    // The check first: its line and code, nothing on standard error, nothing changed.
    const Runner runner = std::get<1>(GetParam());
    const CheckRecord checked = CheckWith(runner, true);
    EXPECT_EQ(CheckLine(scenario.check), checked.output);
    EXPECT_EQ(scenario.check == "healthy" ? 0u : 1u, checked.exitCode);
    EXPECT_EQ("", checked.errors);
    EXPECT_EQ(expected, checked.after);
    // The tool's calls logged alone, under the same settings.
    HookReset();
    HookSetElevationType(TokenElevationTypeFull);

    const RunRecord run = RunWith(runner);

    EXPECT_TRUE(OutputIs(run.output, scenario.labels));
    EXPECT_TRUE(run.paused);
    EXPECT_EQ(0u, run.exitCode);
    if (scenario.changes) {
        scenario.changes(&expected, run.after);
    }
    EXPECT_EQ(expected, run.after);
    if (scenario.alsoCheck) {
        scenario.alsoCheck(run);
    }
    if (scenario.calls && runner == kEntryPoint) {
        scenario.calls();
    }
    // Then the check agrees with the tool: healthy exactly where the tool completed.
    const CheckRecord recheck = CheckWith(runner);
    EXPECT_EQ(scenario.labels.back() == "complete", recheck.output == CheckLine("healthy"))
        << recheck.output;
    EXPECT_EQ(recheck.output == CheckLine("healthy") ? 0u : 1u, recheck.exitCode);
}

INSTANTIATE_TEST_SUITE_P(BothRunners, ScenarioTest,
                         ::testing::Combine(::testing::ValuesIn(kScenarios),
                                            ::testing::Values(kEntryPoint, kProgram)),
                         ScenarioName);

// The Windows version the Wine prefix claims to the programs started after it is set;
// null: the prefix's default. On Windows, the one running, whatever is asked.
static LONG ClaimWindowsVersion(const wchar_t* version)
{
    if (!machine::UnderWine()) {
        return ERROR_SUCCESS;
    }
    return version != nullptr
        ? RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version", REG_SZ, version,
                          static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)))
        : RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version");
}

// The program started from the download folder it was saved in, as Explorer starts it,
// beside a program named cmd.exe, with no COMSPEC or with the user's own naming that
// program: the pause is still System32's interpreter's, on each Windows version whose
// search differs (on Windows, the one it is).
TEST_F(RepairRunTest, ACmdExeBesideTheProgramNeverRuns)
{
    MakeHealthy();
    ProgramStart start;
    start.directory = machine::DownloadsFolder() + L"\\scarvel-planted-cmd";
    start.program = start.directory + L"\\ScarvelRepair.exe";
    start.ownComspec = true;
    const std::wstring planted = start.directory + L"\\cmd.exe";
    ASSERT_EQ("", machine::CreateDirectories(start.directory));
    ASSERT_TRUE(CopyFileW(ToolPath().c_str(), start.program.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((StandinsFolder() + L"\\standin_program.exe").c_str(), planted.c_str(),
                          FALSE));
    // Should it run, it records its command line and ends at once.
    ASSERT_EQ("", machine::WriteTextFile(planted + kExitFile, ""));
    const Snapshot before = machine::TakeSnapshot();

    const std::vector<const wchar_t*> versions = machine::UnderWine()
        ? std::vector<const wchar_t*>{L"win10", L"vista", L"winxp"}
        : std::vector<const wchar_t*>{nullptr};
    for (const wchar_t* version : versions) {
        for (const std::wstring& comspec : {std::wstring(), planted}) {
            SCOPED_TRACE(machine::Narrow(version ? version : L"this Windows") + ", COMSPEC "
                         + machine::Narrow(comspec));
            EXPECT_EQ(ERROR_SUCCESS, ClaimWindowsVersion(version));
            start.comspec = comspec;

            const RunRecord run = RunWith(kProgram, start);

            EXPECT_TRUE(OutputIs(run.output, kHealthy));
            EXPECT_TRUE(run.paused);
            EXPECT_EQ(0u, run.exitCode);
            EXPECT_EQ(before, run.after);
            EXPECT_EQ(Events{}, machine::RecordedLines(planted, 0));
        }
    }
    EXPECT_EQ(ERROR_SUCCESS, ClaimWindowsVersion(nullptr));
    for (const std::wstring& file : {start.program, planted, planted + kExitFile}) {
        DeleteFileW(file.c_str());
    }
}

// The built program started by the stand-in service, as a deployment system's agent starts
// it: in the service's window station, which nobody sees, its input a pipe that never
// delivers a key. The service's account is whatever this machine gives a service.
struct ServiceRun {
    machine::TokenRecord account;  // the service's
    std::string exit;              // the program's exit code, or why it has none
    std::string output;
    Snapshot after;
};
// What the program the service ran left: its exit code and output, once it ended.
static ServiceRun ServiceRunRecords()
{
    const std::wstring service = machine::ServicePath();
    ServiceRun run;
    const std::wstring exit = machine::RecordFile(service, kToolExit);
    // Past the stand-in service's own 30 s, after which it writes "timeout".
    for (int second = 0; second < 35 && !machine::FileExists(exit); ++second) {
        Sleep(1000);
    }
    run.account = machine::ReadTokenRecord(service);
    run.exit = machine::ReadTextFile(exit);
    run.output = machine::ReadTextFile(machine::RecordFile(service, kToolOutput));
    run.after = machine::TakeSnapshot();
    return run;
}
// The scan service started again, now to run `program`, on the machine as it is.
static ServiceRun ServiceRunning(const std::wstring& program)
{
    const std::wstring service = machine::ServicePath();
    EXPECT_EQ("", machine::WriteTextFile(service + kToolFile, machine::Narrow(program)));
    EXPECT_EQ("", machine::SetServiceBehaviour("tool"));
    EXPECT_EQ("", machine::StopService());
    DeleteFileW(machine::RecordFile(service, kToolExit).c_str());
    EXPECT_EQ("", machine::StartScanService());
    return ServiceRunRecords();
}
static ServiceRun RunFromTheService(const std::wstring& program = ToolPath())
{
    const std::wstring service = machine::ServicePath();
    Healthy healthy = Standard(NoPrograms);
    healthy.behaviour = "tool";
    machine::Failure failure = machine::WriteTextFile(service + kToolFile,
                                                      machine::Narrow(program));
    EXPECT_EQ("", failure.empty() ? machine::MakeHealthy(healthy) : failure);
    return ServiceRunRecords();
}

// Under an account that is not LocalSystem, while a user is logged on at the console: the
// run ends without waiting for a key, starts nothing where nobody would see it, and says
// that the programs did not start.
TEST_F(RepairRunTest, RunFromAServiceAsAnotherAccountNeitherWaitsNorStartsAnything)
{
    const ServiceRun run = RunFromTheService();
    ASSERT_TRUE(run.account.exists) << "the stand-in service recorded no token";
    if (run.account.user == L"S-1-5-18") {
        GTEST_SKIP() << "services run as LocalSystem here; see "
                        "AsLocalSystemTheProgramsRunAsTheConsoleUser";
    }
    EXPECT_EQ(machine::OwnToken().user, run.account.user);
    EXPECT_EQ("0", run.exit);
    EXPECT_TRUE(OutputIs(run.output, {"checking", "restart", "E08"}));
    for (int program : {kMonitor, kPanel, kGuide}) {
        EXPECT_EQ(Events{}, run.after.records[program]);
    }
}

// As LocalSystem in session 0, which Windows gives a service: the programs start as the user
// logged on at the console (the suite's own), in that user's session, with that user's
// token, not elevated where UAC splits it, and the run completes without a pause.
TEST_F(RepairRunTest, AsLocalSystemTheProgramsRunAsTheConsoleUser)
{
    const machine::TokenRecord own = machine::OwnToken();
    const DWORD console = WTSGetActiveConsoleSessionId();
    if (!machine::UnderWine() && machine::ShellUser() != own.user) {
        GTEST_SKIP() << "the suite runs as " << machine::Narrow(own.user) << " and the console's "
                     << "user is " << machine::Narrow(machine::ShellUser()) << ": the programs "
                     << "would rightly start for the console's user, not the suite's";
    }
    if (own.session != console) {
        GTEST_SKIP() << "the suite runs in session " << own.session << " and the console is "
                     << "session " << console << " (Remote Desktop, say): the programs would "
                     << "rightly start for the console's user, not the suite's";
    }
    const ServiceRun run = RunFromTheService();
    ASSERT_TRUE(run.account.exists) << "the stand-in service recorded no token";
    if (run.account.user != L"S-1-5-18") {
        GTEST_SKIP() << "the service ran as " << machine::Narrow(run.account.user)
                     << ", not LocalSystem: Wine runs every process as its one user";
    }
    EXPECT_EQ("0", run.exit);
    EXPECT_TRUE(OutputIs(run.output, kHealthy));
    ExpectProgramsRunAsTheUser(own);
}

// The tests' own starts are made again only where Wine ended the new process before its code.
TEST(MachineLibraryTest, MakesAgainOnlyAStartThatDiedBeforeItsCode)
{
    struct Row {
        const char* what;
        bool underWine;
        BOOL created;
        DWORD error;
        bool again;
    };
    const Row rows[] = {
        {"Wine ended it before its code ran", true, FALSE, ERROR_INTERNAL_ERROR, true},
        {"the same error on Windows", false, FALSE, ERROR_INTERNAL_ERROR, false},
        {"no such program", true, FALSE, ERROR_FILE_NOT_FOUND, false},
        {"not a program", true, FALSE, ERROR_BAD_EXE_FORMAT, false},
        {"refused", true, FALSE, ERROR_ACCESS_DENIED, false},
        {"started, an earlier call's error left behind", true, TRUE, ERROR_INTERNAL_ERROR, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.again, machine::StartDiedBeforeItsCode(row.underWine, row.created, row.error))
            << row.what;
    }
}

// The check run by the stand-in service, as a Remediations agent runs it: as LocalSystem on
// Windows, as another account where nobody sees under Wine. It ends on its own, its line
// naming the programs that the tool would start for the user logged on, and healthy once
// they run.
TEST_F(RepairRunTest, TheCheckFromAServiceNeitherWaitsNorMissesTheUsersPrograms)
{
    if (!machine::UnderWine() && machine::OwnToken().session != WTSGetActiveConsoleSessionId()) {
        GTEST_SKIP() << "the suite's programs are not the console user's: as LocalSystem the "
                        "check rightly looks for them in the console's session";
    }
    // Everything in place but the programs, then the service started again to run the check.
    ASSERT_EQ("", machine::MakeHealthy(Standard(NoPrograms)));
    const ServiceRun missing = ServiceRunning(CheckPath());
    ASSERT_TRUE(missing.account.exists) << "the stand-in service recorded no token";
    EXPECT_EQ("1", missing.exit);
    EXPECT_EQ(CheckLine("repair needed: E08 programs not running: NVMONSTA.exe, Kestrun.exe, "
                        "Haldrix.exe"),
              missing.output);
    for (int program : {kMonitor, kPanel, kGuide}) {
        EXPECT_EQ(Events{}, missing.after.records[program]);
    }

    for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
        ASSERT_EQ("", machine::LaunchAndWait(program.commandLine(machine::WindowsDirectory()),
                                             program.process));
    }
    const ServiceRun healthy = ServiceRunning(CheckPath());
    EXPECT_EQ("0", healthy.exit);
    EXPECT_EQ(CheckLine("healthy"), healthy.output);
}
