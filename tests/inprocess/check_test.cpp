// The check on machines and under steering that the scenario table does not give: reads
// that fail, whose the programs are as LocalSystem and where nobody sees, the longest line.
#include "tests/inprocess/harness.h"

#include <algorithm>
#include <functional>

namespace {

const std::string kAllPrograms = "E08 programs not running: NVMONSTA.exe, Kestrun.exe, Haldrix.exe";

// What the check asked of Windows: query rights only, no wait, no pause, nothing changed.
void ExpectOnlyReads()
{
    for (const wchar_t* change : {L"RegSetValueExW", L"CreateServiceW", L"StartServiceW",
                                  L"ChangeServiceConfigW", L"CreateProcess", L"CoCreateInstance",
                                  L"Sleep", L"WaitForSingleObject", L"_wspawnv", L"print "}) {
        EXPECT_TRUE(NoCalls(change));
    }
    // Each open made once at most, with its access mask (a test may fail it).
    const std::wstring opens[] = {L"RegOpenKeyExW " + std::wstring(names::kRunKeyPath) + L" 0x1",
                                  L"OpenSCManagerW 0x1",
                                  L"OpenServiceW " + std::wstring(names::kServiceName) + L" 0x4"};
    for (const std::wstring& open : opens) {
        const std::wstring call = open.substr(0, open.find(L' '));
        Events made = EventsStartingWith(call + L" ");
        made.erase(std::remove(made.begin(), made.end(), call + L" failed"), made.end());
        EXPECT_EQ(Events(made.empty() ? 0 : 1, open), made);
    }
    EXPECT_EQ(0, HookStillHeld());
    EXPECT_EQ(0, HookBadReleases());
}

}  // namespace

// On a healthy machine each read that fails once: the line names the stage it could not read,
// or counts what it could not read as the repair run counts it (a failed query or look as
// missing, no Startup folder as nothing to write), and the exit code follows.
TEST_F(RepairRunTest, TheCheckNamesEachStageItCannotRead)
{
    MakeHealthy();
    const struct {
        const wchar_t* call;
        int occurrence;
        DWORD error;
        std::string verdict;
    } reads[] = {
        {nullptr, 0, 0, "healthy"},
        {L"GetWindowsDirectoryW", 1, ERROR_INVALID_PARAMETER,
         "cannot be read: E01 package folder out of reach"},
        {L"PathFileExistsW", 2, ERROR_ACCESS_DENIED,
         "repair needed: E01 files missing: Norvale\\NVSCNSVC.exe"},
        {L"RegOpenKeyExW", 1, ERROR_ACCESS_DENIED, "cannot be read: E02 Run key cannot be opened"},
        {L"RegQueryValueExW", 2, ERROR_ACCESS_DENIED,
         "repair needed: E03 Run values missing: Kestrun_setup"},
        {L"OpenSCManagerW", 1, ERROR_ACCESS_DENIED,
         "cannot be read: E04 service manager cannot be opened"},
        {L"OpenServiceW", 1, ERROR_ACCESS_DENIED,
         "cannot be read: E05 service NVSCNSVC cannot be opened"},
        {L"QueryServiceStatusEx", 1, ERROR_ACCESS_DENIED,
         "cannot be read: E05 service NVSCNSVC status cannot be read"},
        {L"SHGetSpecialFolderPathW", 1, ERROR_PATH_NOT_FOUND, "healthy"},
        {L"CreateToolhelp32Snapshot", 2, ERROR_NOT_ENOUGH_MEMORY,
         "repair needed: E08 programs not running: Kestrun.exe"},
        // A token that cannot be read names no session: a copy anywhere counts.
        {L"OpenProcessToken", 1, ERROR_ACCESS_DENIED, "healthy"},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(read.call != nullptr ? Narrow(read.call) : "no failure");
        HookReset();
        HookSetElevationType(TokenElevationTypeFull);
        if (read.call != nullptr) {
            HookFail(read.call, read.occurrence, read.error);
        }

        const CheckRecord checked = CheckWith(kEntryPoint);

        if (read.call != nullptr) {
            EXPECT_GE(HookCallCount(read.call), read.occurrence) << "the check never reached it";
        }
        EXPECT_EQ(CheckLine(read.verdict), checked.output);
        EXPECT_EQ(read.verdict == "healthy" ? 0u : 1u, checked.exitCode);
        EXPECT_EQ("", checked.errors);
        ExpectOnlyReads();
    }
}

// The programs are the repair run's: as LocalSystem, the console's user's or the one active
// user's, counted in that user's session only; where nobody sees, a copy anywhere; with
// nobody logged on, none is missing.
TEST_F(RepairRunTest, TheCheckCountsTheProgramsOfTheUserTheToolStartsThemFor)
{
    MakeHealthy();
    const DWORD console = 1;
    const auto sessions = [](DWORD console, std::vector<HookSession> list) {
        HookSetSessions(console, list.data(), static_cast<int>(list.size()));
    };
    const auto placeIn = [](DWORD session) {
        for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
            for (DWORD id : machine::ProcessIds(program.process)) {
                HookPlaceProcessInSession(id, session, FALSE);
            }
        }
    };
    const auto localSystem = [] {
        HookSetElevationType(TokenElevationTypeDefault);
        HookRunAsLocalSystem();
    };
    const struct {
        const char* what;
        bool programsRun;  // the three run, from this process's own session
        std::function<void()> steer;
        std::string verdict;
    } variants[] = {
        {"LocalSystem, the programs in the console user's session", true,
         [&] {
             localSystem();
             sessions(console, {{console, WTSActive, TRUE}});
             placeIn(console);
         },
         "healthy"},
        {"LocalSystem, one Remote Desktop user, the programs only in the console's session", true,
         [&] {
             localSystem();
             sessions(console, {{console, WTSConnected, FALSE}, {2, WTSActive, TRUE}});
             placeIn(console);
         },
         "repair needed: " + kAllPrograms},
        {"a desktop, the programs in another session", true, [&] { placeIn(7); },
         "repair needed: " + kAllPrograms},
        {"where nobody sees, the programs in another session", true,
         [&] {
             HookHideWindowStation();
             sessions(console, {{console, WTSActive, TRUE}});
             placeIn(7);
         },
         "healthy"},
        {"LocalSystem, nobody logged on, no program", false,
         [&] {
             localSystem();
             sessions(console, {{console, WTSConnected, FALSE}});
         },
         "healthy"},
        {"LocalSystem, a user at the console, no program", false,
         [&] {
             localSystem();
             sessions(console, {{console, WTSActive, TRUE}});
         },
         "repair needed: " + kAllPrograms},
        {"where nobody sees, a user at the console, no program", false,
         [&] {
             HookHideWindowStation();
             sessions(console, {{console, WTSActive, TRUE}});
         },
         "repair needed: " + kAllPrograms},
        {"where nobody sees, nobody logged on, no program", false,
         [&] {
             HookHideWindowStation();
             sessions(console, {{console, WTSConnected, FALSE}});
         },
         "healthy"},
    };
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.what);
        if (!variant.programsRun) {
            for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
                ASSERT_EQ("", machine::KillProcesses(program.process));
            }
        }
        HookReset();
        HookSetElevationType(TokenElevationTypeFull);
        variant.steer();

        const CheckRecord checked = CheckWith(kEntryPoint);

        EXPECT_EQ(CheckLine(variant.verdict), checked.output);
        EXPECT_EQ(variant.verdict == "healthy" ? 0u : 1u, checked.exitCode);
        ExpectOnlyReads();
    }
}

// Every stage to repair, four files missing under the longest Windows directory whose
// package is still within reach: one line of ASCII within the bound, the directory nowhere
// in it. One character longer, the package is out of reach.
TEST_F(RepairRunTest, TheLongestLineStaysWithinItsBound)
{
    const std::wstring longest = L"C:\\" + std::wstring(217, L'w');
    ASSERT_EQ(220u, longest.size());
    HookSetWindowsDirectory(longest.c_str());

    const CheckRecord checked = CheckWith(kEntryPoint);

    const std::string line = CheckLine(
        "repair needed: E01 files missing: Norvale\\NVMONSTA.exe, Norvale\\NVSCNSVC.exe, "
        "tessmar32\\QOV\\Kestrun.exe, tessmar32\\KLD\\Haldrix.exe; E03 Run values missing: "
        "Velmora Setup, Kestrun_setup; E06 service NVSCNSVC not installed; startup shortcut "
        "missing: Faultwise Companion.lnk; " + kAllPrograms);
    EXPECT_EQ(line, checked.output);
    EXPECT_LE(checked.output.size(), 2048u + 2);
    for (char c : checked.output) {
        EXPECT_TRUE(c > 0 && c < 0x7F) << "not printable ASCII: " << static_cast<int>(c);
    }
    EXPECT_EQ(1u, checked.exitCode);

    const std::wstring tooLong = longest + L"w";
    HookSetWindowsDirectory(tooLong.c_str());
    EXPECT_EQ(0u, CheckWith(kEntryPoint).output.find(
                      "Scarvel (TWAIN): repair needed: E01 package folder out of reach; E03 "));
}
