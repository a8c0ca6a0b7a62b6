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
    closing.push_back(L"_wsystem pause");
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

// Before any other call of the run, the search for DLLs and programs leaves the download
// folder: SetDefaultDllDirectories where kernel32 has it (never on Vista, whose shell link
// object it breaks); otherwise SetDllDirectoryW("") and the late-loaded system DLLs loaded by
// their System32 paths; then System32 becomes the current directory. No failure of these
// calls changes what the run prints or how it closes.
TEST_F(RepairRunTest, SearchLeavesTheDownloadFolderFirstOnEveryWindows)
{
    MakeHealthy();
    wchar_t buffer[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(buffer, MAX_PATH), 0u);
    const std::wstring system = buffer;
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
        Events all = {L"GetSystemDirectoryW", L"GetVersionExW"};
        for (const Events& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    };
    const struct {
        const char* what;
        bool vista;
        std::vector<const wchar_t*> failing;
        Events calls;
        bool inSystem;
    } variants[] = {
        {"kernel32 confines the search", false, {}, join({lookup, {confined, intoSystem}}),
         true},
        {"the confinement fails", false, {L"SetDefaultDllDirectories"},
         join({lookup, {confined}, fallback, {intoSystem}}), true},
        {"kernel32 lacks the function", false, {L"GetProcAddress"},
         join({lookup, fallback, {intoSystem}}), true},
        {"Vista", true, {}, join({fallback, {intoSystem}}), true},
        {"Vista, SetDllDirectoryW failing", true, {L"SetDllDirectoryW"},
         join({fallback, {intoSystem}}), true},
        {"Vista, no System32 path", true, {L"GetSystemDirectoryW"}, join({{fallback[0]}}),
         false},
        {"the current directory cannot change", false, {L"SetCurrentDirectoryW"},
         join({lookup, {confined, intoSystem}}), false},
    };
    Events healthyClosing;
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.what);
        HookReset();
        if (variant.vista) {
            HookSetWindowsVersion(6, 0);
        }
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
        GetCurrentDirectoryW(MAX_PATH, buffer);
        EXPECT_EQ(variant.inSystem ? system : L"C:\\users\\Public", std::wstring(buffer));
        EXPECT_EQ((Labels{"checking", "restart", "complete"}), PrintedLabels());
        if (healthyClosing.empty()) {
            healthyClosing = LoggedClosing();
        }
        EXPECT_EQ(healthyClosing, LoggedClosing());
    }
    EXPECT_EQ((Events{L"CloseServiceHandle service", L"CloseServiceHandle manager",
                      L"_wsetlocale 2 C", L"free locale", L"_wsystem pause"}),
              healthyClosing);
}
