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
    // A token that cannot tell whose it is might be LocalSystem's: nothing is launched.
    {L"OpenProcessToken", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
     Until(kRepairedFromNothing, "restart", "E08")},
    {L"GetTokenInformation", 1, ERROR_ACCESS_DENIED, kNothingInPlace,
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

// Nothing the run starts takes its rights from a choice an ordinary user made: the pause is
// System32's interpreter whatever COMSPEC names; the missing programs start as children of
// the user's desktop shell where its process opens and Windows can name a parent, as
// before elsewhere, and not at all as LocalSystem, whose programs the next logon starts.
TEST_F(RepairRunTest, NothingStartedTakesItsRightsFromAUsersChoice)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    const std::wstring tests = wcsrchr(self, L'\\') + 1;
    const std::wstring impostor = L"C:\\users\\Public\\comspec.exe";
    ASSERT_TRUE(CopyFileW((StandinsFolder() + L"\\standin_program.exe").c_str(),
                          impostor.c_str(), FALSE));
    ASSERT_EQ("", machine::WriteTextFile(impostor + kExitFile, ""));
    const std::wstring plain = L"|0|0x0|(null)|(null)|cb=" + std::to_wstring(sizeof(STARTUPINFOW));
    const std::wstring underShell = L"|0|0x80000|(null)|(null)|cb="
        + std::to_wstring(sizeof(STARTUPINFOW) + sizeof(void*));
    const Labels complete = {"checking", "restart", "complete"};
    const struct {
        const char* what;
        bool comspec;
        bool shell;
        const wchar_t* failing;  // every call of it
        const char* lacking;
        bool localSystem;
        Labels labels;
        std::wstring launch;  // the tail of each CreateProcessW call; "" for none
        bool opensShell;
        bool shellIsParent;
    } variants[] = {
        {"COMSPEC names another program", true, false, L"", "", false, complete, plain, false,
         false},
        {"a shell whose process opens", false, true, L"", "", false, complete, underShell, true,
         true},
        {"a shell whose process cannot be opened", false, true, L"OpenProcess", "", false,
         complete, plain, true, false},
        {"XP, no attribute lists", false, true, L"", "InitializeProcThreadAttributeList", false,
         complete, plain, false, false},
        {"LocalSystem", false, true, L"", "", true, {"checking", "restart", "E08"}, L"", false,
         false},
    };
    Events closing;
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.what);
        HookReset();
        ASSERT_EQ("", machine::Reset());
        machine::Healthy healthy;
        healthy.programs[0] = healthy.programs[1] = healthy.programs[2] = false;
        MakeHealthy(healthy);
        DWORD shell = 0;
        if (variant.shell) {
            ASSERT_EQ("", machine::StartShell(StandinsFolder(), &shell));
        }
        SetEnvironmentVariableW(L"COMSPEC", variant.comspec ? impostor.c_str() : NULL);
        HookRunSystemCommands(variant.comspec);
        for (int occurrence = 1; occurrence <= 3; ++occurrence) {
            HookFail(variant.failing, occurrence, ERROR_ACCESS_DENIED);
        }
        HookLackExport(variant.lacking);
        if (variant.localSystem) {
            HookRunAsLocalSystem();
        }

        RunTool();

        SetEnvironmentVariableW(L"COMSPEC", NULL);
        EXPECT_EQ(variant.labels, PrintedLabels());
        const Events launches = EventsStartingWith(L"CreateProcessW");
        EXPECT_EQ(variant.launch.empty() ? 0u : 3u, launches.size());
        for (const std::wstring& launch : launches) {
            EXPECT_EQ(variant.launch, launch.substr(launch.find(L"|0|0x")));
        }
        for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
            EXPECT_EQ(variant.launch.empty() ? L"" : variant.shellIsParent ? machine::kShellProcess
                                                                           : tests,
                      machine::ParentName(program.process));
        }
        // The shell's process is opened for each launch once Windows can name a parent.
        const Events opened = EventsStartingWith(L"OpenProcess 0x");
        EXPECT_EQ(Events(variant.opensShell ? 3 : 0, L"OpenProcess 0x80 0 " + std::to_wstring(shell)),
                  opened);
        // Named as the parent: the parent-process attribute, the handle its value.
        EXPECT_EQ(Events(variant.shellIsParent ? 3 : 0,
                         L"UpdateProcThreadAttribute 0 0x20000 size="
                             + std::to_wstring(sizeof(HANDLE)) + L" (null) (null)"),
                  EventsStartingWith(L"UpdateProcThreadAttribute"));
        EXPECT_EQ(PauseCalls().back(), EventsStartingWith(L"_wspawnv").back());
        EXPECT_TRUE(machine::RecordedLines(impostor).empty()) << "the impostor ran";
        EXPECT_EQ(0, HookStillHeld());
        if (closing.empty()) {
            closing = LoggedClosing();
        }
        EXPECT_EQ(closing, LoggedClosing());
    }
    DeleteFileW(impostor.c_str());
    DeleteFileW((impostor + kExitFile).c_str());
}
