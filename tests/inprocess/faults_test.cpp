// Each Windows and runtime call that the run tests, made to fail once in a run that reaches
// it: the run must print at most its one coded message, close in order, release everything
// it acquired exactly once, pause and return 0.
#include "tests/inprocess/harness.h"

#include "platform/explorer.h"

#include <algorithm>

namespace {

enum Machine { kNothingInPlace, kServiceStoppedManual };

struct FaultCase {
    const wchar_t* call;
    int occurrence;
    DWORD error;
    Machine machine;
    std::vector<std::string> labels;
};

const std::vector<std::string> kRepairedFromNothing = {
    "checking", "startup-item", "service-missing", "restart", "complete"};
const std::vector<std::string> kRepairedStoppedService = {
    "checking", "startup-item", "service-disabled", "restart", "complete"};

std::vector<std::string> Until(const std::vector<std::string>& labels, const char* last,
                               const char* code = nullptr)
{
    std::vector<std::string> result(labels.begin(),
                                    std::find(labels.begin(), labels.end(), last) + 1);
    if (code != nullptr) {
        result.push_back(code);
    }
    return result;
}

const FaultCase kFaults[] = {
    {L"GetWindowsDirectoryW", 1, ERROR_INVALID_PARAMETER, kNothingInPlace, {"checking", "E01"}},
    {L"PathAppendW", 1, 0, kNothingInPlace, {"checking", "E01"}},
    {L"PathCombineW", 1, 0, kNothingInPlace, {"checking", "E01"}},
    {L"PathCombineW", 4, 0, kNothingInPlace, {"checking", "E01"}},
    {L"PathFileExistsW", 1, ERROR_FILE_NOT_FOUND, kNothingInPlace, {"checking", "E01"}},
    {L"PathFileExistsW", 4, ERROR_FILE_NOT_FOUND, kNothingInPlace, {"checking", "E01"}},
    {L"RegOpenKeyExW", 1, ERROR_ACCESS_DENIED, kNothingInPlace, {"checking", "E02"}},
    {L"RegSetValueExW", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     {"checking", "startup-item", "E03"}},
    {L"RegQueryValueExW", 2, ERROR_ACCESS_DENIED, kNothingInPlace,
     {"checking", "startup-item", "E03"}},
    {L"RegQueryValueExW", 3, ERROR_ACCESS_DENIED, kNothingInPlace, kRepairedFromNothing},
    {L"RegSetValueExW", 2, ERROR_ACCESS_DENIED, kNothingInPlace, kRepairedFromNothing},
    {L"OpenSCManagerW", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     {"checking", "startup-item", "E04"}},
    {L"OpenServiceW", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     {"checking", "startup-item", "E05"}},
    {L"CreateServiceW", 1, ERROR_DUPLICATE_SERVICE_NAME, kNothingInPlace,
     Until(kRepairedFromNothing, "service-missing", "E06")},
    {L"StartServiceW", 1, ERROR_SERVICE_DISABLED, kNothingInPlace,
     Until(kRepairedFromNothing, "service-missing", "E07")},
    {L"QueryServiceStatusEx", 1, ERROR_INVALID_HANDLE, kNothingInPlace,
     Until(kRepairedFromNothing, "service-missing", "E07")},
    {L"QueryServiceStatusEx", 1, ERROR_INVALID_HANDLE, kServiceStoppedManual,
     kRepairedStoppedService},
    {L"QueryServiceConfigW", 1, ERROR_ACCESS_DENIED, kServiceStoppedManual,
     Until(kRepairedStoppedService, "service-disabled", "E06")},
    {L"QueryServiceConfigW", 2, ERROR_ACCESS_DENIED, kServiceStoppedManual,
     Until(kRepairedStoppedService, "service-disabled", "E06")},
    {L"LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, kServiceStoppedManual,
     Until(kRepairedStoppedService, "service-disabled", "E06")},
    {L"ChangeServiceConfigW", 1, ERROR_ACCESS_DENIED, kServiceStoppedManual,
     Until(kRepairedStoppedService, "service-disabled", "E06")},
    {L"StartServiceW", 1, ERROR_SERVICE_DISABLED, kServiceStoppedManual,
     Until(kRepairedStoppedService, "service-disabled", "E07")},
    {L"SHGetSpecialFolderPathW", 1, ERROR_PATH_NOT_FOUND, kNothingInPlace, kRepairedFromNothing},
    {L"PathCombineW", 5, 0, kNothingInPlace, kRepairedFromNothing},
    {L"PathFileExistsW", 5, ERROR_ACCESS_DENIED, kNothingInPlace, kRepairedFromNothing},
    {L"CoInitialize", 1, static_cast<DWORD>(E_OUTOFMEMORY), kNothingInPlace, kRepairedFromNothing},
    {L"CoCreateInstance", 1, static_cast<DWORD>(REGDB_E_CLASSNOTREG), kNothingInPlace,
     kRepairedFromNothing},
    {L"QueryInterface", 1, static_cast<DWORD>(E_NOINTERFACE), kNothingInPlace,
     kRepairedFromNothing},
    {L"CreateToolhelp32Snapshot", 1, ERROR_NOT_ENOUGH_MEMORY, kNothingInPlace,
     kRepairedFromNothing},
    {L"Process32FirstW", 1, ERROR_NO_MORE_FILES, kNothingInPlace, kRepairedFromNothing},
    {L"Process32NextW", 1, ERROR_NO_MORE_FILES, kNothingInPlace, kRepairedFromNothing},
    // While a program Explorer was asked to start is looked for, a failed look is one more miss.
    {L"CreateToolhelp32Snapshot", 2, ERROR_NOT_ENOUGH_MEMORY, kNothingInPlace,
     kRepairedFromNothing},
    // A token that cannot tell whose it is might be LocalSystem's, and one whose elevation
    // cannot be told might be a full one: nothing is launched. So too when COM's security
    // cannot be set before Explorer is asked (nor is the shortcut written).
    {L"OpenProcessToken", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"GetTokenInformation", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"GetTokenInformation", 2, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    // A session the process will not tell is read from terminal services' list.
    {L"ProcessIdToSessionId", 4, ERROR_ACCESS_DENIED, kNothingInPlace, kRepairedFromNothing},
    {L"CoInitializeSecurity", 1, static_cast<DWORD>(E_OUTOFMEMORY), kNothingInPlace,
     kRepairedFromNothing},
    {L"CoInitializeSecurity", 2, static_cast<DWORD>(E_OUTOFMEMORY), kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    // Explorer, which starts them from a full token of a split pair, asked on a thread of
    // its own: the thread, its event, the shell's windows and the strings for it.
    {L"CreateEventW", 1, ERROR_NOT_ENOUGH_MEMORY, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"CreateThread", 3, ERROR_NOT_ENOUGH_MEMORY, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"CoCreateInstance", 2, static_cast<DWORD>(REGDB_E_KEYMISSING), kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"SysAllocString", 5, 0, kNothingInPlace, Until(kRepairedFromNothing, "restart", "E08")},
    {L"_wsetlocale", 2, 0, kNothingInPlace, kRepairedFromNothing},
    {L"_wcsdup", 1, 0, kNothingInPlace, kRepairedFromNothing},
};

void PrintTo(const FaultCase& fault, std::ostream* out)
{
    *out << Narrow(fault.call) << " failing at call " << fault.occurrence;
}

std::string CaseName(const ::testing::TestParamInfo<FaultCase>& info)
{
    std::string name = Narrow(info.param.call) + "_" + std::to_string(info.param.occurrence)
        + (info.param.machine == kServiceStoppedManual ? "_ServiceStopped" : "");
    std::replace(name.begin(), name.end(), '_', 'x');
    return name;
}

// The closing steps as the log shows them, in the order in which they must come.
Events ExpectedClosing(const FaultCase& fault)
{
    Events closing;
    if (HookAcquired(kHookService) > 0) {
        closing.push_back(L"CloseServiceHandle service");
    }
    if (HookAcquired(kHookManager) > 0) {
        closing.push_back(L"CloseServiceHandle manager");
    }
    if (fault.labels.back() == "E03") {
        closing.push_back(L"RegCloseKey key");
    }
    closing.push_back(L"_wsetlocale 2 C");
    closing.push_back(HookAcquired(kHookLocaleCopy) > 0 ? L"free locale" : L"free (null)");
    const Events pause = PauseCalls();
    closing.insert(closing.end(), pause.begin(), pause.end());
    return closing;
}

// The calls after the last message: the closing steps only.
Events LoggedClosing()
{
    return EventsAfterLast(L"print ");
}

}  // namespace

class FaultTest : public RepairRunTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, OneFailedCallEndsCleanly)
{
    const FaultCase& fault = GetParam();
    const machine::Failure explorer = ProgramsStartHere(kEntryPoint);
    if (std::count(fault.labels.begin(), fault.labels.end(), "restart") && machine::IsSkip(explorer)) {
        GTEST_SKIP() << explorer;
    }
    if (fault.machine == kServiceStoppedManual) {
        ASSERT_EQ("", machine::InstallService(SERVICE_DEMAND_START));
    }
    if (lstrcmpW(fault.call, L"QueryInterface") == 0) {
        HookUseFakeShellLink(static_cast<HRESULT>(fault.error));
    } else {
        HookFail(fault.call, fault.occurrence, fault.error);
    }

    RunTool();

    if (lstrcmpW(fault.call, L"QueryInterface") != 0) {
        ASSERT_GE(HookCallCount(fault.call), fault.occurrence) << "the run never reached it";
    }
    EXPECT_EQ(fault.labels, PrintedLabels());
    EXPECT_EQ(ExpectedClosing(fault), LoggedClosing());
    for (int kind = 0; kind < kHookResourceKinds; ++kind) {
        EXPECT_EQ(HookAcquired(static_cast<HookResource>(kind)),
                  HookReleased(static_cast<HookResource>(kind)))
            << "resource kind " << kind;
    }
    EXPECT_EQ(0, HookStillHeld());
    EXPECT_EQ(0, HookBadReleases());
    EXPECT_LE(HookComReferencesLeft(), 0) << "references left on the shell link object";
    // A shortcut is never written anywhere but in the Startup folder.
    EXPECT_FALSE(machine::FileExists(names::kShortcutFile));
}

INSTANTIATE_TEST_SUITE_P(EveryTestedCall, FaultTest, ::testing::ValuesIn(kFaults), CaseName);

// Before any other call of the run, System32 becomes the current directory and the search
// for DLLs and programs leaves the download folder: SetDefaultDllDirectories where kernel32
// has it (never on Vista, whose shell link object it breaks, as ntdll tells the version, not
// a compatibility layer); otherwise SetDllDirectoryW("") and the late-loaded system DLLs
// loaded by their System32 paths. No failure of these calls changes what the run prints or
// how it closes.
TEST_F(RepairRunTest, SearchLeavesTheDownloadFolderFirstOnEveryWindows)
{
    MakeHealthy();
    const std::wstring system = machine::SystemDirectory();
    const Events lookup = {L"GetModuleHandleW kernel32.dll",
                           L"GetProcAddress SetDefaultDllDirectories"};
    const std::wstring confined = L"SetDefaultDllDirectories 0x800";
    Events fallback = {L"SetDllDirectoryW \"\""};
    for (const wchar_t* name :
         {L"uxtheme.dll", L"userenv.dll", L"setupapi.dll", L"apphelp.dll", L"propsys.dll",
          L"dwmapi.dll", L"cryptbase.dll", L"oleacc.dll", L"clbcatq.dll", L"ntmarta.dll",
          L"version.dll", L"profapi.dll", L"comres.dll"}) {
        fallback.push_back(L"PathCombineW " + std::wstring(name));
        fallback.push_back(L"LoadLibraryExW " + system + L"\\" + name + L" 0x8");
    }
    const std::wstring intoSystem = L"SetCurrentDirectoryW " + system;
    auto join = [](std::initializer_list<Events> parts) {
        Events all = {L"GetSystemDirectoryW"};
        for (const Events& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    };
    const Events win10 = VersionCalls(10, 0);
    const Events vista = VersionCalls(6, 0);
    const struct {
        const char* what;
        DWORD major;  // of Windows as ntdll reports it; Vista is 6.0, the others 10.0
        bool layeredAsVista;
        std::vector<const wchar_t*> failing;
        const char* lacking;
        Events calls;
        bool inSystem;
    } variants[] = {
        {"kernel32 confines the search", 10, false, {}, "", join({{intoSystem}, win10, lookup,
         {confined}}), true},
        {"a user's layer says Vista", 10, true, {}, "", join({{intoSystem}, win10, lookup,
         {confined}}), true},
        {"the confinement fails", 10, false, {L"SetDefaultDllDirectories"}, "",
         join({{intoSystem}, win10, lookup, {confined}, fallback}), true},
        {"kernel32 lacks the function", 10, false, {}, "SetDefaultDllDirectories",
         join({{intoSystem}, win10, lookup, fallback}), true},
        {"Vista", 6, false, {}, "", join({{intoSystem}, vista, fallback}), true},
        {"Vista, SetDllDirectoryW failing", 6, false, {L"SetDllDirectoryW"}, "",
         join({{intoSystem}, vista, fallback}), true},
        {"Vista, no System32 path", 6, false, {L"GetSystemDirectoryW"}, "",
         join({vista, {fallback[0]}}), false},
        {"the current directory cannot change", 10, false, {L"SetCurrentDirectoryW"}, "",
         join({{intoSystem}, win10, lookup, {confined}}), false},
    };
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.what);
        HookReset();
        HookSetWindowsVersion(variant.major, 0);
        if (variant.layeredAsVista) {
            HookSetLayerVersion(6, 0);
        }
        HookLackExport(variant.lacking);
        for (const wchar_t* call : variant.failing) {
            HookFail(call, 1, ERROR_ACCESS_DENIED);
        }
        SetCurrentDirectoryW(L"C:\\users\\Public");

        RunTool();

        // Every call before the locale switch, the hooks' notes of the failures aside.
        Events beforeLocale = EventsBefore(L"_wsetlocale ");
        beforeLocale.erase(std::remove_if(beforeLocale.begin(), beforeLocale.end(),
                                          [](const std::wstring& event) {
                                              return event.find(L" failed") != std::wstring::npos;
                                          }),
                           beforeLocale.end());
        EXPECT_EQ(variant.calls, beforeLocale);
        wchar_t buffer[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, buffer);
        EXPECT_EQ(variant.inSystem ? system : L"C:\\users\\Public", std::wstring(buffer));
        EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
        Events closing = {L"CloseServiceHandle service", L"CloseServiceHandle manager",
                          L"_wsetlocale 2 C", L"free locale"};
        const Events pause = PauseCalls(variant.major, 0);
        closing.insert(closing.end(), pause.begin(), pause.end());
        EXPECT_EQ(closing, LoggedClosing());
    }
}

// The DLLs loaded once the run has begun (its first message), which it frees again.
static size_t LoadsDuringTheRun()
{
    const Events events = EventsStartingWith();
    auto begun = std::find_if(events.begin(), events.end(), [](const std::wstring& event) {
        return event.rfind(L"print ", 0) == 0;
    });
    return std::count_if(begun, events.end(), [](const std::wstring& event) {
        return event.rfind(L"LoadLibraryExW ", 0) == 0;
    });
}

// Nothing the run starts takes its rights from a choice an ordinary user made: the pause is
// System32's interpreter, without AutoRun, whatever COMSPEC names, and none where nobody can
// press a key. The missing programs start as a logon would start them or not at all: by this
// session's desktop Explorer, whichever account runs it, from a full token of a split pair or
// where the shell is another account's; with the tool's own token where it is the user's only
// one; as LocalSystem, with the token of the user at the console or of the one user of an
// active session; elsewhere, never; and what the tool starts itself leaves the tool's job or is
// not started. Only a copy in that user's session counts, and Explorer's programs have one
// deadline. Where nobody is logged on, nothing is missing yet. COM's security is the tool's own
// before any object is made.
TEST_F(RepairRunTest, NothingStartedTakesItsRightsFromAUsersChoice)
{
    SKIP_UNLESS_PROGRAMS_START_HERE(kEntryPoint);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    const std::wstring tests = wcsrchr(self, L'\\') + 1;
    const std::wstring impostor = machine::ScratchFolder() + L"\\comspec.exe";
    ASSERT_TRUE(CopyFileW((StandinsFolder() + L"\\standin_program.exe").c_str(),
                          impostor.c_str(), FALSE));
    ASSERT_EQ("", machine::WriteTextFile(impostor + kExitFile, ""));
    const std::wstring cb = L"|cb=" + std::to_wstring(sizeof(STARTUPINFOW));
    const std::wstring plain = L"|0|0x0|(null)|(null)" + cb;
    // In a job, started suspended until it is known to have left every job.
    const std::wstring inJob = L"|0|0x4|(null)|(null)" + cb;
    const std::wstring breakaway = L"|0|0x1000004|(null)|(null)" + cb;
    const std::wstring asUser = L"|0|0x400|environment|(null)|winsta0\\default" + cb;
    const std::wstring asUserBreakaway = L"|0|0x1000404|environment|(null)|winsta0\\default" + cb;
    const std::wstring explorer = L"explorer";  // no CreateProcess: Explorer starts them
    const std::wstring none;
    const Labels complete = {"checking", "restart", "complete"};
    const Labels e08 = {"checking", "restart", "E08"};
    const DWORD noConsole = 0xFFFFFFFF;
    const DWORD console = 1;
    enum Parent { kNone, kExplorer, kTheTests };
    const auto sessions = [](DWORD console, std::vector<HookSession> list) {
        return [console, list] { HookSetSessions(console, list.data(), (int)list.size()); };
    };
    const auto nobodyLoggedOn = sessions(console, {{console, WTSConnected, FALSE}});
    const auto oneRemoteUser = sessions(console, {{console, WTSConnected, FALSE},
                                                  {2, WTSActive, TRUE}});
    const auto failing = [](const wchar_t* call, DWORD error) {
        return [call, error] {
            for (int occurrence = 1; occurrence <= 3; ++occurrence) {
                HookFail(call, occurrence, error);
            }
        };
    };
    const auto both = [](std::function<void()> a, std::function<void()> b) {
        return [a, b] { a(); b(); };
    };
    const auto notSplit = [] { HookSetElevationType(TokenElevationTypeDefault); };
    const auto localSystem = [notSplit] { notSplit(); HookRunAsLocalSystem(); };
    const auto hiddenAccount = [] { HookHideWindowStation(); };
    const auto onWindows = [](DWORD major) { return [major] { HookSetWindowsVersion(major, 1); }; };
    // The three programs already run, placed in `session` (`refused`: only the terminal
    // services' list tells it).
    const auto copiesIn = [](DWORD session, BOOL refused) {
        return [session, refused] {
            for (int i = 0; i < 3; ++i) {
                const machine::BackgroundProgram& program = machine::kBackgroundPrograms[i];
                EXPECT_EQ("", machine::LaunchAndWait(program.commandLine(machine::WindowsDirectory()),
                                                     program.process));
                for (DWORD id : machine::ProcessIds(program.process)) {
                    HookPlaceProcessInSession(id, session, refused);
                }
            }
        };
    };
    const auto lateMonitor = [](DWORD revealAt) {
        return [revealAt] {
            HookUseVirtualClock(1);
            HookHideProcess(names::kMonitorProcess);
            HookRevealProcessAt(revealAt);
        };
    };
    // Explorer's processes placed in `session` (kOwnSession: the tests' own).
    const DWORD kOwnSession = 0xFFFFFFFF;
    const auto explorerInSession = [kOwnSession](DWORD session, BOOL refused) {
        return [kOwnSession, session, refused] {
            DWORD own = 0;
            ProcessIdToSessionId(GetCurrentProcessId(), &own);
            for (DWORD id : machine::ProcessIds(machine::kExplorerProcess)) {
                HookPlaceProcessInSession(id, session == kOwnSession ? own : session, refused);
            }
        };
    };
    const struct {
        const char* what;
        std::function<void()> steer;  // from a full token of a split pair, as Wine gives
        Labels labels;
        // The tail of each CreateProcess* (the first only, where the run ends in E08), or
        // `explorer`; none: nothing is started.
        std::wstring launch;
        Parent parent;
        bool paused;
        std::function<void()> alsoCheck;
    } variants[] = {
        {"COMSPEC names another program",
         [impostor] {
             SetEnvironmentVariableW(L"COMSPEC", impostor.c_str());
             HookRunSystemCommands(TRUE);
         },
         complete, explorer, kExplorer, true, nullptr},
        // An administrator's password typed for a standard user: the desktop is that user's.
        {"elevated, Explorer of another user", [] { HookShellOfAnotherUser(); }, complete,
         explorer, kExplorer, true, nullptr},
        {"elevated, Explorer's process cannot be opened", failing(L"OpenProcess", ERROR_ACCESS_DENIED),
         complete, explorer, kExplorer, true, nullptr},
        {"elevated, Explorer in another session", explorerInSession(7, FALSE), e08, none, kNone,
         true, nullptr},
        {"elevated, Explorer's session only in the terminal services' list",
         explorerInSession(kOwnSession, TRUE), complete, explorer, kExplorer, true, nullptr},
        {"elevated, a program that appears after 8 s", lateMonitor(8001), complete, explorer,
         kExplorer, true,
         [] {
             EXPECT_GE(HookVirtualTick(), 8001u);
             EXPECT_LT(HookVirtualTick(), 1u + kExplorerDeadlineMilliseconds);
         }},
        // The process list is read until the deadline, and once more after it.
        {"elevated, a program that never appears", lateMonitor(0), e08, explorer, kExplorer, true,
         [] {
             EXPECT_EQ(1u + kExplorerDeadlineMilliseconds, HookVirtualTick());
             const Events after = EventsAfterLast(L"Sleep");
             EXPECT_NE(after.end(), std::find_if(after.begin(), after.end(), [](const std::wstring& e) {
                           return e.rfind(L"CreateToolhelp32Snapshot", 0) == 0;
                       }));
         }},
        {"elevated, Explorer cannot be reached",
         failing(L"CoCreateInstance", static_cast<DWORD>(REGDB_E_KEYMISSING)), e08, none, kNone,
         true, nullptr},
        {"elevated, a call into Explorer fails", [] { HookUseFakeShellWindows(E_FAIL, FALSE); },
         e08, none, kNone, true, nullptr},
        // The tool waits for Explorer as long as it says, here cut short, and goes on.
        {"elevated, Explorer hangs",
         [] {
             HookUseFakeShellWindows(S_OK, TRUE);
             HookCapWaits(300);  // once Explorer is reached
         },
         e08, none, kNone, true,
         [] {
             EXPECT_EQ((Events{L"WaitForSingleObject thread 20000"}),
                       EventsStartingWith(L"WaitForSingleObject thread"));
             // The thread it left there cannot hold the run's end: after the pause, the
             // process ends itself.
             EXPECT_EQ((Events{L"TerminateProcess own 0"}), EventsStartingWith(L"TerminateProcess"));
             EXPECT_EQ(L"TerminateProcess own 0", EventsAfterLast(L"_wspawnv").front());
         }},
        {"elevated, no thread to ask Explorer on", failing(L"CreateThread", ERROR_NOT_ENOUGH_MEMORY),
         e08, none, kNone, true, nullptr},
        {"elevated, no oleaut32 string for Explorer", failing(L"SysAllocString", 0), e08, none,
         kNone, true, nullptr},
        {"elevated, its elevation unreadable", [] { HookSetElevationType(-1); }, e08, none, kNone,
         true, nullptr},
        {"elevated, its user unreadable", failing(L"GetTokenInformation", ERROR_ACCESS_DENIED), e08,
         none, kNone, true, nullptr},
        // Explorer's programs are not the tool's: no job of the tool's holds them.
        {"elevated, in a job that keeps its programs", [] { HookRunInJob(0); }, complete,
         explorer, kExplorer, true, nullptr},
        {"not split, no shell window", both(notSplit, [] { HookHideShellWindow(); }), complete,
         plain, kTheTests, true, nullptr},
        {"not split, the user's own shell", notSplit, complete, plain, kTheTests, true, nullptr},
        {"not split, a shell of another user", both(notSplit, [] { HookShellOfAnotherUser(); }),
         complete, explorer, kExplorer, true, nullptr},
        {"not split, a shell whose process cannot be opened",
         both(notSplit, failing(L"OpenProcess", ERROR_ACCESS_DENIED)), complete, explorer,
         kExplorer, true, nullptr},
        {"not split, the user's programs all in another session", both(notSplit, copiesIn(7, FALSE)),
         complete, plain, kTheTests, true,
         [] { EXPECT_EQ(2, machine::CountProcesses(names::kGuideProcess)); }},
        {"not split, another account's programs, their session only in the list",
         both(notSplit, copiesIn(7, TRUE)), complete, plain, kTheTests, true,
         [] { EXPECT_EQ(2, machine::CountProcesses(names::kMonitorProcess)); }},
        // Where no session can be read, a copy counts wherever it runs, as before.
        {"not split, another account's programs, no session readable",
         both(notSplit, both(copiesIn(7, TRUE), failing(L"WTSEnumerateProcessesW", ERROR_ACCESS_DENIED))),
         complete, none, kTheTests, true, nullptr},
        // The built-in Administrator's password typed for a standard user before a shell runs.
        {"not split, no shell window, another account at the desktop",
         both(notSplit, [] {
             HookHideShellWindow();
             HookShellOfAnotherUser();
         }),
         e08, none, kNone, true, nullptr},
        {"not split, in a job that allows breakaway",
         both(notSplit, [] { HookRunInJob(JOB_OBJECT_LIMIT_BREAKAWAY_OK); }), complete, breakaway,
         kTheTests, true, nullptr},
        {"not split, in a job that lets its programs go",
         both(notSplit, [] { HookRunInJob(JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK); }), complete,
         inJob, kTheTests, true,
         [] { EXPECT_EQ(Events(3, L"ResumeThread thread"), EventsStartingWith(L"ResumeThread")); }},
        {"not split, in nested jobs, one further up keeping its programs",
         both(notSplit,
              [] {
                  HookRunInJob(JOB_OBJECT_LIMIT_BREAKAWAY_OK);
                  HookKeepChildrenInJob();
              }),
         e08, breakaway, kNone, true,
         [] {
             EXPECT_EQ((Events{L"TerminateProcess process 1"}), EventsStartingWith(L"TerminateProcess"));
             EXPECT_TRUE(NoCalls(L"ResumeThread"));
         }},
        {"not split, in a job that keeps its programs", both(notSplit, [] { HookRunInJob(0); }),
         e08, none, kNone, true, nullptr},
        {"not split, its job unreadable",
         both(notSplit, both([] { HookRunInJob(JOB_OBJECT_LIMIT_BREAKAWAY_OK); },
                             failing(L"QueryInformationJobObject", ERROR_ACCESS_DENIED))),
         e08, none, kNone, true, nullptr},
        {"XP, the user's own shell", onWindows(5), complete, plain, kTheTests, true, nullptr},
        {"XP, a shell of another user", both(onWindows(5), [] { HookShellOfAnotherUser(); }),
         complete, explorer, kExplorer, true, nullptr},
        {"XP, in session 0, the console's", both(onWindows(5), [] { HookSetOwnSession(0); }),
         complete, plain, kTheTests, true, nullptr},
        {"LocalSystem, a user at the console", localSystem, complete, asUser, kTheTests, true,
         nullptr},
        {"LocalSystem, the console user's programs running",
         both(both(localSystem, sessions(console, {{console, WTSActive, TRUE}})),
              copiesIn(console, FALSE)),
         complete, none, kTheTests, true, nullptr},
        // Only the chosen user's copies count: the console's session has nobody.
        {"LocalSystem, a Remote Desktop user, the programs only in the console's session",
         both(both(localSystem, oneRemoteUser),
              both([] { HookSetOwnSession(2); }, copiesIn(console, FALSE))),
         complete, asUser, kTheTests, true,
         [] { EXPECT_EQ(2, machine::CountProcesses(names::kPanelProcess)); }},
        {"LocalSystem, no console session and nobody logged on",
         both(localSystem, sessions(noConsole, {})), complete, none, kNone, true, nullptr},
        // The programs it starts are in the user's session, as Windows puts them.
        {"LocalSystem, nobody at the console, one Remote Desktop user",
         both(both(localSystem, oneRemoteUser), [] { HookSetOwnSession(2); }), complete, asUser,
         kTheTests, true,
         [] {
             EXPECT_EQ((Events{L"WTSQueryUserToken 2"}), EventsStartingWith(L"WTSQueryUserToken"));
         }},
        {"LocalSystem, nobody at the console, two active users",
         both(localSystem, sessions(console, {{console, WTSConnected, FALSE}, {2, WTSActive, TRUE},
                                              {3, WTSActive, TRUE}})),
         e08, none, kNone, true, nullptr},
        {"LocalSystem, users only in disconnected sessions",
         both(localSystem, sessions(noConsole, {{2, WTSDisconnected, TRUE}})), e08, none, kNone,
         true, nullptr},
        {"LocalSystem, nobody logged on", both(localSystem, nobodyLoggedOn), complete, none, kNone,
         true, nullptr},
        // A listener session has no user to ask about, even where the question would fail.
        {"LocalSystem, nobody logged on, a listener that cannot be asked",
         both(localSystem, sessions(console, {{console, WTSConnected, 0}, {65536, WTSListen, -1}})),
         complete, none, kNone, true, nullptr},
        // Wine's WTSEnumerateSessionsW lists no session: the console's is set here.
        {"LocalSystem, the sessions unreadable",
         both(both(localSystem, sessions(console, {{console, WTSActive, TRUE}})),
              failing(L"WTSQuerySessionInformationW", ERROR_ACCESS_DENIED)),
         e08, none, kNone, true, nullptr},
        {"LocalSystem, the user's token refused",
         both(localSystem, failing(L"WTSQueryUserToken", ERROR_ACCESS_DENIED)), e08, none, kNone,
         true, nullptr},
        {"LocalSystem, no environment for the user",
         both(localSystem, failing(L"CreateEnvironmentBlock", ERROR_ACCESS_DENIED)), e08, none,
         kNone, true, nullptr},
        {"LocalSystem, no System32 path",
         both(localSystem, failing(L"GetSystemDirectoryW", ERROR_ACCESS_DENIED)), e08, none,
         kNone, false, nullptr},
        {"LocalSystem, in a job that allows breakaway",
         both(localSystem, [] { HookRunInJob(JOB_OBJECT_LIMIT_BREAKAWAY_OK); }), complete,
         asUserBreakaway, kTheTests, true, nullptr},
        {"LocalSystem, in a job that keeps its programs",
         both(localSystem, [] { HookRunInJob(0); }), e08, none, kNone, true, nullptr},
        {"another account where nobody sees, a user at the console", hiddenAccount, e08, none,
         kNone, false, nullptr},
        {"another account where nobody sees, one Remote Desktop user",
         both(hiddenAccount, oneRemoteUser), e08, none, kNone, false, nullptr},
        {"another account where nobody sees, nobody logged on", both(hiddenAccount, nobodyLoggedOn),
         complete, none, kNone, false, nullptr},
        // From Vista on nobody sees session 0, although its window station says it is visible.
        {"elevated in session 0, a user logged on", [] { HookSetOwnSession(0); }, e08, none,
         kNone, false, nullptr},
        {"elevated in session 0, nobody logged on",
         both([] { HookSetOwnSession(0); }, nobodyLoggedOn), complete, none, kNone, false,
         nullptr},
    };
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.what);
        HookReset();
        ASSERT_EQ("", machine::Reset());
        machine::Healthy healthy;
        healthy.programs[0] = healthy.programs[1] = healthy.programs[2] = false;
        MakeHealthy(healthy);
        const std::wstring parents[] = {L"", machine::kExplorerProcess, tests};
        HookSetElevationType(TokenElevationTypeFull);
        variant.steer();

        RunTool();

        SetEnvironmentVariableW(L"COMSPEC", NULL);
        EXPECT_EQ(variant.labels, PrintedLabels());
        const Events launches = EventsStartingWith(L"CreateProcess");
        EXPECT_EQ(variant.launch.empty() || variant.launch == explorer ? 0u
                      : variant.labels == e08                          ? 1u
                                                                       : 3u,
                  launches.size());
        for (const std::wstring& launch : launches) {
            EXPECT_EQ(variant.launch, launch.substr(launch.find(L"|0|0x")));
            // As a session's user: with the token Windows gave for that user's session.
            EXPECT_EQ(variant.launch.find(L"environment") != std::wstring::npos,
                      launch.rfind(L"CreateProcessAsUserW token (null)|", 0) == 0);
        }
        for (size_t i = 0; i < 3; ++i) {
            const machine::BackgroundProgram& program = machine::kBackgroundPrograms[i];
            // Explorer asked once for each program it started, by its path; after an E08, the
            // programs after the first were not attempted.
            const bool attempted = i == 0 || variant.labels != e08;
            if (variant.launch == explorer) {
                EXPECT_EQ(attempted ? 1u : 0u,
                          EventsStartingWith(L"SysAllocString "
                                             + program.path(machine::WindowsDirectory()))
                              .size());
            }
            EXPECT_EQ(attempted ? parents[variant.parent] : L"",
                      machine::ParentName(program.process));
        }
        // Identify-level impersonation and no custom marshalling, set before any object.
        bool secured = false;
        for (const std::wstring& event : EventsStartingWith(L"Co")) {
            if (event.rfind(L"CoInitializeSecurity ", 0) == 0) {
                EXPECT_EQ(L"CoInitializeSecurity (null) -1 0 2 0x2000", event);
                secured = true;
            }
            EXPECT_TRUE(secured || event.rfind(L"CoCreateInstance", 0) != 0);
        }
        // No parent is ever named for a program: the attribute list is never even looked up.
        EXPECT_TRUE(NoCalls(L"GetProcAddress InitializeProcThreadAttributeList"));
        EXPECT_TRUE(NoCalls(L"GetProcAddress UpdateProcThreadAttribute"));
        EXPECT_TRUE(NoCalls(L"CloseHandle (null)"));
        // A DLL is only ever loaded by its full path.
        for (const std::wstring& load : EventsStartingWith(L"LoadLibraryExW ")) {
            EXPECT_NE(std::wstring::npos, load.find(L'\\')) << machine::Narrow(load);
        }
        // Where someone can press a key, cmd.exe /d /c pause from System32; elsewhere none.
        EXPECT_EQ(variant.paused ? Events{PauseCalls().back()} : Events{},
                  EventsStartingWith(L"_wspawnv"));
        EXPECT_TRUE(machine::RecordedLines(impostor).empty()) << "the impostor ran";
        if (variant.alsoCheck) {
            variant.alsoCheck();
        }
        // Every token, handle, block, string and module released.
        EXPECT_EQ(0, HookStillHeld());
        EXPECT_EQ(0, HookBadReleases());
        EXPECT_EQ(LoadsDuringTheRun(), EventsStartingWith(L"FreeLibrary").size());
    }
    DeleteFileW(impostor.c_str());
    DeleteFileW((impostor + kExitFile).c_str());
    machine::ForgetRecords(impostor);
}
