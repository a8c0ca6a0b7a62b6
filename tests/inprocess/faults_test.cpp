// Each Windows and runtime call that the run tests, made to fail once in a run that reaches
// it: the run must print at most its one coded message, close in order, release everything
// it acquired exactly once, pause and return 0.
#include "tests/inprocess/harness.h"

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
    {L"CreateToolhelp32Snapshot", 2, ERROR_NOT_ENOUGH_MEMORY, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    // A token that cannot tell whose it is might be LocalSystem's, and one whose elevation
    // cannot be told might be a full one: nothing is launched. So too when the shell's
    // process, or whose it is, cannot be had.
    {L"OpenProcessToken", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"GetTokenInformation", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"GetTokenInformation", 2, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"OpenProcess", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"OpenProcessToken", 2, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"CreateProcessW", 1, ERROR_FILE_NOT_FOUND, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"CreateProcessW", 3, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
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
    // The desktop shell's process, held for the launches under it.
    if (!EventsStartingWith(L"UpdateProcThreadAttribute").empty()) {
        closing.push_back(L"CloseHandle process");
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
    EXPECT_FALSE(machine::FileExists(kShortcutFile));
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
    auto version = [](DWORD major) {
        return Events{L"GetModuleHandleW ntdll.dll", L"GetProcAddress RtlGetVersion",
                      L"RtlGetVersion " + std::to_wstring(major) + L".0"};
    };
    const Events win10 = version(10);
    const Events vista = version(6);
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
    Events healthyClosing;
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
        if (healthyClosing.empty()) {
            healthyClosing = LoggedClosing();
        }
        EXPECT_EQ(healthyClosing, LoggedClosing());
    }
    Events closing = {L"CloseServiceHandle service", L"CloseServiceHandle manager",
                      L"_wsetlocale 2 C", L"free locale"};
    const Events pause = PauseCalls();
    closing.insert(closing.end(), pause.begin(), pause.end());
    EXPECT_EQ(closing, healthyClosing);
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
// press a key. The missing programs start as a logon would start them or not at all: under
// the user's own desktop shell from a full token of a split pair; with the tool's own token
// where it is the user's only one; as LocalSystem, with the console user's token in that
// user's session; elsewhere, never. Where nobody is logged on, nothing is missing yet.
TEST_F(RepairRunTest, NothingStartedTakesItsRightsFromAUsersChoice)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    const std::wstring tests = wcsrchr(self, L'\\') + 1;
    const std::wstring impostor = L"C:\\users\\Public\\comspec.exe";
    ASSERT_TRUE(CopyFileW((StandinsFolder() + L"\\standin_program.exe").c_str(),
                          impostor.c_str(), FALSE));
    ASSERT_EQ("", machine::WriteTextFile(impostor + kExitFile, ""));
    const std::wstring cb = L"cb=" + std::to_wstring(sizeof(STARTUPINFOW));
    const std::wstring plain = L"|0|0x0|(null)|(null)|" + cb;
    const std::wstring underShell = L"|0|0x80000|(null)|(null)|cb="
        + std::to_wstring(sizeof(STARTUPINFOW) + sizeof(void*));
    const std::wstring asUser = L"|0|0x400|environment|(null)|winsta0\\default|" + cb;
    const Labels complete = {"checking", "restart", "complete"};
    const Labels e08 = {"checking", "restart", "E08"};
    const DWORD none = 0xFFFFFFFF;
    enum Who { kUser, kShellOfAnotherUser, kLocalSystem, kHiddenAccount };
    enum Parent { kNone, kTheShell, kTheTests };
    const struct {
        const char* what;
        bool comspec;
        bool shell;
        Who who;
        int elevation;  // as HookSetElevationType; 0: Wine's own, a full token
        DWORD windows;  // major version; 0: Wine's own
        const wchar_t* failing;  // every call of it
        DWORD error;
        const char* lacking;
        DWORD session;    // the console session; 0: the real one
        bool loggedOn;    // with `session`: a user is logged on there
        Labels labels;
        std::wstring launch;  // the tail of each launch; "" for none
        int shellOpened;      // OpenProcess calls
        Parent parent;
    } variants[] = {
        {"COMSPEC names another program", true, true, kUser, 0, 0, L"", 0, "", 0, true,
         complete, underShell, 1, kTheShell},
        {"elevated, a shell of another user", false, true, kShellOfAnotherUser, 0, 0, L"", 0, "",
         0, true, e08, L"", 1, kNone},
        {"elevated, a shell that cannot be opened", false, true, kUser, 0, 0, L"OpenProcess",
         ERROR_ACCESS_DENIED, "", 0, true, e08, L"", 1, kNone},
        {"elevated, no shell window", false, false, kUser, 0, 0, L"", 0, "", 0, true, e08, L"", 0,
         kNone},
        {"elevated, its elevation unreadable", false, true, kUser, -1, 0, L"", 0, "", 0, true,
         e08, L"", 0, kNone},
        {"elevated, its user unreadable, no shell window", false, false, kUser, 0, 0,
         L"GetTokenInformation", ERROR_ACCESS_DENIED, "", 0, true, e08, L"", 0, kNone},
        {"elevated, no way to name a parent", false, true, kUser, 0, 0, L"", 0,
         "InitializeProcThreadAttributeList", 0, true, e08, L"", 1, kNone},
        {"not split, no shell window", false, false, kUser, 1, 0, L"", 0, "", 0, true, complete,
         plain, 0, kTheTests},
        {"not split, the user's own shell", false, true, kUser, 1, 0, L"", 0, "", 0, true,
         complete, plain, 1, kTheTests},
        {"not split, a shell of another user", false, true, kShellOfAnotherUser, 1, 0, L"", 0, "",
         0, true, e08, L"", 1, kNone},
        {"XP, the user's own shell", false, true, kUser, 0, 5, L"", 0,
         "InitializeProcThreadAttributeList", 0, true, complete, plain, 1, kTheTests},
        {"XP, a shell of another user", false, true, kShellOfAnotherUser, 0, 5, L"", 0, "", 0,
         true, e08, L"", 1, kNone},
        {"LocalSystem, a user at the console", false, true, kLocalSystem, 1, 0, L"", 0, "", 0,
         true, complete, asUser, 0, kTheTests},
        {"LocalSystem, no console session", false, true, kLocalSystem, 1, 0, L"", 0, "", none,
         false, complete, L"", 0, kNone},
        {"LocalSystem, nobody logged on at the console", false, true, kLocalSystem, 1, 0,
         L"WTSQueryUserToken", ERROR_NO_TOKEN, "", 0, true, complete, L"", 0, kNone},
        {"LocalSystem, the user's token refused", false, true, kLocalSystem, 1, 0,
         L"WTSQueryUserToken", ERROR_ACCESS_DENIED, "", 0, true, e08, L"", 0, kNone},
        {"LocalSystem, no environment for the user", false, true, kLocalSystem, 1, 0,
         L"CreateEnvironmentBlock", ERROR_ACCESS_DENIED, "", 0, true, e08, L"", 0, kNone},
        {"LocalSystem, no System32 path", false, true, kLocalSystem, 1, 0,
         L"GetSystemDirectoryW", ERROR_ACCESS_DENIED, "", 0, true, e08, L"", 0, kNone},
        {"another account where nobody sees, a user at the console", false, true,
         kHiddenAccount, 0, 0, L"", 0, "", 0, true, e08, L"", 0, kNone},
        {"another account where nobody sees, nobody at the console", false, true,
         kHiddenAccount, 0, 0, L"", 0, "", 1, false, complete, L"", 0, kNone},
    };
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.what);
        HookReset();
        ASSERT_EQ("", machine::Reset());
        machine::Healthy healthy;
        healthy.programs[0] = healthy.programs[1] = healthy.programs[2] = false;
        MakeHealthy(healthy);
        const std::wstring parents[] = {L"", machine::ShellName(), tests};
        if (!variant.shell) {
            HookHideShellWindow();
        }
        SetEnvironmentVariableW(L"COMSPEC", variant.comspec ? impostor.c_str() : NULL);
        HookRunSystemCommands(variant.comspec);
        for (int occurrence = 1; occurrence <= 3; ++occurrence) {
            HookFail(variant.failing, occurrence, variant.error);
        }
        HookLackExport(variant.lacking);
        HookSetElevationType(variant.elevation);
        if (variant.windows != 0) {
            HookSetWindowsVersion(variant.windows, 1);
        }
        if (variant.session != 0) {
            HookSetConsoleSession(variant.session, variant.loggedOn);
        }
        if (variant.who == kShellOfAnotherUser) {
            HookShellOfAnotherUser();
        } else if (variant.who == kLocalSystem) {
            HookRunAsLocalSystem();
        } else if (variant.who == kHiddenAccount) {
            HookHideWindowStation();
        }

        RunTool();

        SetEnvironmentVariableW(L"COMSPEC", NULL);
        EXPECT_EQ(variant.labels, PrintedLabels());
        const Events launches = EventsStartingWith(L"CreateProcess");
        EXPECT_EQ(variant.launch.empty() ? 0u : 3u, launches.size());
        for (const std::wstring& launch : launches) {
            EXPECT_EQ(variant.launch, launch.substr(launch.find(L"|0|0x")));
            // As the console user: with the token Windows gave for that user's session.
            EXPECT_EQ(variant.launch == asUser,
                      launch.rfind(L"CreateProcessAsUserW token (null)|", 0) == 0);
        }
        for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
            EXPECT_EQ(parents[variant.parent], machine::ParentName(program.process));
        }
        // Decided once for the three: the shell's process is opened at most once.
        EXPECT_EQ(variant.shellOpened,
                  static_cast<int>(EventsStartingWith(L"OpenProcess 0x").size()));
        EXPECT_EQ(Events(variant.launch == underShell ? 3 : 0,
                         L"UpdateProcThreadAttribute 0 0x20000 size="
                             + std::to_wstring(sizeof(HANDLE)) + L" (null) (null)"),
                  EventsStartingWith(L"UpdateProcThreadAttribute"));
        EXPECT_EQ(Events(variant.launch == underShell ? 3 : 0, L"DeleteProcThreadAttributeList"),
                  EventsStartingWith(L"DeleteProcThreadAttributeList"));
        EXPECT_TRUE(NoCalls(L"CloseHandle (null)"));
        // A DLL is only ever loaded by its full path.
        for (const std::wstring& load : EventsStartingWith(L"LoadLibraryExW ")) {
            EXPECT_NE(std::wstring::npos, load.find(L'\\')) << machine::Narrow(load);
        }
        // No pause where nobody can press a key, nor without System32's path; elsewhere
        // cmd.exe /d /c pause from System32.
        if (variant.who == kHiddenAccount
            || lstrcmpW(variant.failing, L"GetSystemDirectoryW") == 0) {
            EXPECT_TRUE(NoCalls(L"_wspawnv"));
        } else {
            EXPECT_EQ((Events{PauseCalls().back()}), EventsStartingWith(L"_wspawnv"));
        }
        EXPECT_TRUE(machine::RecordedLines(impostor).empty()) << "the impostor ran";
        // Every token, handle, block and module released.
        EXPECT_EQ(0, HookStillHeld());
        EXPECT_EQ(0, HookBadReleases());
        EXPECT_EQ(LoadsDuringTheRun(), EventsStartingWith(L"FreeLibrary").size());
    }
    DeleteFileW(impostor.c_str());
    DeleteFileW((impostor + kExitFile).c_str());
}
