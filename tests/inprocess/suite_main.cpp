// The suite's start. With --put-back (run-suite.cmd gives it on a machine that is not a
// throwaway clone) this process takes the run's lock, saves what the tests change, runs the
// tests in a child process of its own, and puts everything back once the child has ended:
// after the tests, after Ctrl+C, or after one test outlived its time and the child ended
// itself. A closed console window leaves it seconds only: it starts a detached --restore
// that waits for it and puts back. --restore puts back what a run that was cut off saved.
// On Windows the tests run only in the child a supervisor started; under Wine the bed
// starts them directly on a throwaway machine.
// The exit code: see kMeanings.
#include "tests/inprocess/harness.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/support/put_back.h"

namespace {

const DWORD kTestLimitSeconds = 300;
const int kNotStarted = 2;
const int kInterrupted = 3;
const int kOutlivedItsTime = 4;
const int kSkippedHere = 5;
const int kAborted = 6;
const char* const kMeanings[] = {
    "every test passed, or skipped where this machine cannot make it and /allow-skip said so",
    "a test failed, or no test matched the filter: report.xml names it",
    "the suite did not start, or could not put everything back: the lines above say why",
    "interrupted (Ctrl+C); what the tests changed is put back",
    "a test outlived its time: report.xml names it, with the tests that finished before it",
    "checks skipped that /allow-skip did not name: this run proved none of them (the list "
    "above; docs/testing.md, \"The checks that only Windows gives a meaning\")",
    "the tests' process aborted (GoogleTest or the runtime; the lines above say why): "
    "report.xml is missing or tells only part; what the tests changed is put back",
};
// GoogleTest runs one shard of the tests where these are set.
const wchar_t* const kShardingVariables[] = {L"GTEST_TOTAL_SHARDS", L"GTEST_SHARD_INDEX"};
// Held for the whole of a run and of a put-back: one at a time on the machine.
const wchar_t kRunLock[] = L"Global\\ScarvelRepairSuite-run";
// Under Wine on a shared 2-core machine, 140 tests took 162 s; no run on Windows is timed yet.
const int kWineMillisecondsPerTest = 1200;
// Set to anything, the suite takes this machine for a Windows one where Wine would let it
// off: stricter only, so that the bed can show what Windows gets.
const wchar_t kAsOnWindows[] = L"SCARVEL_SUITE_AS_ON_WINDOWS";

// Skips that Windows itself always gives, with the reason they prove nothing amiss.
const struct {
    const char* pattern;
    const char* why;
} kSkipsOfEveryWindows[] = {
    {"BothRunners/ScenarioTest.*/NoProgramRunningAndNoShellWindow_*",
     "Explorer is the desktop's shell there, and the tests never end it"},
    {"RepairRunTest.RunFromAServiceAsAnotherAccountNeitherWaitsNorStartsAnything",
     "Windows runs the stand-in service as LocalSystem"},
};
// One word of /allow-skip for the skips of one cause (docs/testing.md lists them).
const struct {
    const char* word;
    const char* patterns;  // separated by ':'
} kSkipWords[] = {
    {"uac-off", "RepairRunTest.ProgramsStartedUnderExplorerRunAtTheUsersLevel:"
                "BothRunners/ScenarioTest.*_Program"},
    {"not-console", "RepairRunTest.AsLocalSystemTheProgramsRunAsTheConsoleUser"},
};

// The other checks that only Windows gives a meaning: with those above, the only ones that
// /allow-skip may name.
const char* const kWindowsOnlyChecks[] = {
    "RepairRunTest.ThePauseRunsNoAutoRunCommand",
    "RepairRunTest.TheRunnerRunsNoAutoRunCommandAndNoComspec",
    "RepairRunTest.ADllBesideACopyOfTheProgramIsNeverLoaded",
};

volatile LONG gInterrupted;
volatile LONG gRestorer;
// The number of the test that runs (0 between tests), and its name.
volatile LONG gTestNumber;
volatile LONG gTestRunning;
char gTestName[512];

// What each finished test gave, for the report of a run that a hung test ends.
struct Finished {
    std::string suite;
    std::string name;
    char outcome;  // 'p' passed, 'f' failed, 's' skipped
    std::string message;
};
std::vector<Finished> gFinished;
CRITICAL_SECTION gFinishedLock;

// Whether `name` matches the GoogleTest-style `pattern` ('*' any run, '?' one character).
bool Matches(const char* name, const char* pattern)
{
    if (*pattern == '\0') {
        return *name == '\0';
    }
    if (*pattern == '*') {
        return Matches(name, pattern + 1) || (*name != '\0' && Matches(name + 1, pattern));
    }
    return *name != '\0' && (*pattern == '?' || *pattern == *name) && Matches(name + 1, pattern + 1);
}

// Each item of `list`, split at ':' and ','.
std::vector<std::string> Items(const std::string& list)
{
    std::vector<std::string> items;
    for (size_t start = 0; start <= list.size();) {
        const size_t end = std::min(list.find_first_of(":,", start), list.size());
        if (end > start) {
            items.push_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return items;
}

// Under Wine, and not told to act as on Windows.
bool LetOffAsWine()
{
    return machine::UnderWine() && GetEnvironmentVariableW(kAsOnWindows, NULL, 0) == 0;
}

std::wstring OwnPath()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    return self;
}

std::wstring OwnFolder()
{
    const std::wstring self = OwnPath();
    return self.substr(0, self.rfind(L'\\'));
}

// One argument quoted so that the child's runtime reads it back whole: a directory of
// --gtest_output ends in a backslash, which would otherwise escape the closing quote.
std::wstring Quoted(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    return quoted.append(backslashes * 2, L'\\') + L"\"";
}

// This program's arguments but the first, each quoted, after `mode`.
std::wstring CommandLineFor(const std::wstring& mode)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring line = L"\"" + OwnPath() + L"\" " + mode;
    for (int i = 2; i < count; ++i) {
        line += L" " + Quoted(arguments[i]);
    }
    LocalFree(arguments);
    return line;
}

// Where the supervisor names the one process it started to run the tests: the saved folder,
// which only administrators may write.
std::wstring TestsProcessFile()
{
    return machine::SavedFolder() + L"\\tests-process.txt";
}

// Starts `commandLine` suspended, names it in TestsProcessFile, lets it run, waits for it and
// gives its exit code (2 when it did not start). It has this process's standard handles: the
// empty input among them, so that no test waits for a key.
DWORD Run(std::wstring commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL,
                        &startup, &info)) {
        printf("suite: could not start %s: error %lu\n", Narrow(commandLine).c_str(),
               (unsigned long)GetLastError());
        return kNotStarted;
    }
    const machine::Failure named =
        machine::WriteTextFile(TestsProcessFile(), std::to_string(info.dwProcessId));
    DWORD code = kNotStarted;
    if (named.empty()) {
        ResumeThread(info.hThread);
        WaitForSingleObject(info.hProcess, INFINITE);
        GetExitCodeProcess(info.hProcess, &code);
    } else {
        printf("suite: not started: %s\n", named.c_str());
        TerminateProcess(info.hProcess, kNotStarted);
    }
    DeleteFileW(TestsProcessFile().c_str());
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return code;
}

// The run's lock, waited for `milliseconds`; NULL where another run or put-back holds it.
// A run that ended without letting go leaves it abandoned, which counts as free.
HANDLE TakeRunLock(DWORD milliseconds)
{
    HANDLE lock = CreateMutexW(NULL, FALSE, kRunLock);
    const DWORD waited = lock == NULL ? WAIT_FAILED : WaitForSingleObject(lock, milliseconds);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        return lock;
    }
    if (lock != NULL) {
        CloseHandle(lock);
    }
    return NULL;
}

void ReleaseRunLock(HANDLE lock)
{
    ReleaseMutex(lock);
    CloseHandle(lock);
}

// This process is the one that a supervisor, which holds the run's lock, started to run the
// tests and named where only administrators may write.
bool StartedBySupervisor()
{
    HANDLE lock = OpenMutexW(SYNCHRONIZE, FALSE, kRunLock);
    if (lock == NULL) {
        return false;
    }
    const DWORD waited = WaitForSingleObject(lock, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        ReleaseMutex(lock);
    }
    CloseHandle(lock);
    return waited == WAIT_TIMEOUT
        && machine::ReadTextFile(TestsProcessFile()) == std::to_string(GetCurrentProcessId());
}

// The closing line: the code, its meaning, and `chosen` (which tests the filter chose).
int Closing(int code, const std::string& chosen = "")
{
    if (code >= 0 && code < static_cast<int>(sizeof kMeanings / sizeof kMeanings[0])) {
        printf("suite: exit code %d: %s%s\n", code, kMeanings[code], chosen.c_str());
    } else {
        printf("suite: exit code %d (0x%08x): the tests' process crashed%s\n", code,
               static_cast<unsigned>(code), chosen.c_str());
    }
    return code;
}

// The restorer a closed window started, which this process's own put-back leaves running.
bool IsRestorer(DWORD processId)
{
    return processId == static_cast<DWORD>(gRestorer);
}

// The suite's own programs, by file: this one, the product it tests and the stand-ins.
std::vector<std::wstring> OwnPrograms()
{
    std::vector<std::wstring> files = {OwnPath(), OwnFolder() + L"\\ScarvelRepair.exe"};
    for (const wchar_t* standin : {L"standin_program.exe", L"standin_service.exe",
                                   L"standin_shell.exe"}) {
        files.push_back(OwnFolder() + L"\\standins\\" + standin);
        files.push_back(StandinsFolder() + L"\\" + standin);
    }
    if (!ToolPath().empty()) {
        files.push_back(ToolPath());
    }
    return files;
}

int PutBack()
{
    const machine::Failure failure =
        machine::PutBackMachine(machine::SavedFolder(), OwnPrograms(), IsRestorer);
    if (failure.empty()) {
        printf("suite: the machine is as it was\n");
        return 0;
    }
    printf("suite: could not put everything back; what was saved stays in %s:\n%s\n",
           Narrow(machine::SavedFolder()).c_str(), failure.c_str());
    return kNotStarted;
}

// A detached --restore that puts back once this process has ended. It starts suspended until
// its id is known, so that this process's own put-back, which may be under way, never ends it.
void StartRestorer()
{
    std::wstring line =
        L"\"" + OwnPath() + L"\" --restore --after " + std::to_wstring(GetCurrentProcessId());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, DETACHED_PROCESS | CREATE_SUSPENDED,
                       NULL, NULL, &startup, &info)) {
        InterlockedExchange(&gRestorer, static_cast<LONG>(info.dwProcessId));
        ResumeThread(info.hThread);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
}

// Ctrl+C reaches the tests' process too, which ends; this one puts back once it has. A
// closed window leaves seconds only: a detached process puts back once this one has ended.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    InterlockedExchange(&gInterrupted, 1);
    if (event == CTRL_CLOSE_EVENT) {
        StartRestorer();
        return FALSE;
    }
    return TRUE;
}

// --restore --after PID: once that process has ended and let the run's lock go. Alone: only
// where no run is under way.
int Restore(int argc, char** argv)
{
    const bool after = argc == 4 && strcmp(argv[2], "--after") == 0;
    if (after) {
        HANDLE supervisor = OpenProcess(SYNCHRONIZE, FALSE, strtoul(argv[3], nullptr, 10));
        if (supervisor != NULL) {
            WaitForSingleObject(supervisor, INFINITE);
            CloseHandle(supervisor);
        }
    }
    HANDLE lock = TakeRunLock(after ? INFINITE : 0);
    if (lock == NULL) {
        printf("suite: not put back: another run is in progress; it puts back itself\n");
        return Closing(kNotStarted);
    }
    const int code = PutBack();
    ReleaseRunLock(lock);
    return Closing(code);
}

// The report's file, when one is asked for, from the wide command line: the ANSI one loses
// the letters of a folder's name that its code page has not.
std::wstring ReportPath()
{
    const std::wstring flag = L"gtest_output=xml:";
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring path;
    for (int i = 1; arguments != NULL && i < count; ++i) {
        const std::wstring argument = arguments[i];
        const size_t at = argument.find(flag);
        if (at != std::wstring::npos && at <= 2) {
            path = argument.substr(at + flag.size());
        }
    }
    LocalFree(arguments);
    return path;
}

// The report's file, when one is asked for: an earlier run's deleted, and the new one
// writable, or why not.
std::string ReportRefusal()
{
    const std::wstring report = ReportPath();
    if (report.empty()) {
        return "";
    }
    const DWORD deleted = DeleteFileW(report.c_str()) ? ERROR_SUCCESS : GetLastError();
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
        return "the report of an earlier run, " + Narrow(report) + ", cannot be deleted "
            "(error " + std::to_string(deleted) + "): close the program that has it open";
    }
    HANDLE file = CreateFileW(report.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                              FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return "the report " + Narrow(report) + " cannot be written (error "
            + std::to_string(GetLastError()) + ")";
    }
    CloseHandle(file);
    return "";
}

// Whether GoogleTest's `filter` (positive patterns, then '-' and negative ones) takes `name`.
bool FilterTakes(const std::string& filter, const std::string& name)
{
    const size_t minus = filter.find('-');
    const std::string positive = filter.substr(0, minus);
    const auto matchesOne = [&](const std::string& patterns) {
        const std::vector<std::string> items = Items(patterns);
        return std::any_of(items.begin(), items.end(), [&](const std::string& pattern) {
            return Matches(name.c_str(), pattern.c_str());
        });
    };
    return matchesOne(positive.empty() ? "*" : positive)
        && (minus == std::string::npos || !matchesOne(filter.substr(minus + 1)));
}

// "; N of M tests ran" where a filter chose some; "" where it chose all.
std::string Chosen()
{
    const std::string filter = ::testing::GTEST_FLAG(filter);
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    int chosen = 0;
    for (int i = 0; i < unit.total_test_suite_count(); ++i) {
        const ::testing::TestSuite& tests = *unit.GetTestSuite(i);
        for (int j = 0; j < tests.total_test_count(); ++j) {
            chosen += FilterTakes(filter, std::string(tests.name()) + "."
                                              + tests.GetTestInfo(j)->name());
        }
    }
    return chosen == unit.total_test_count() ? "" : "; " + std::to_string(chosen) + " of "
        + std::to_string(unit.total_test_count()) + " tests ran (the filter chose them)";
}

// The tests' exit code as this process saw their run: 3, the runtime's code of abort(), is
// "interrupted" only after Ctrl+C or a closed window; a run that wrote no report aborted.
int TestsOutcome(DWORD tests)
{
    if (gInterrupted) {
        return kInterrupted;
    }
    const bool reported = ReportPath().empty() || machine::FileExists(ReportPath());
    if (!reported && tests != kNotStarted) {
        printf("suite: the tests' process ended (exit code %d) and left no %s\n",
               static_cast<int>(tests), Narrow(ReportPath()).c_str());
    }
    // A crash keeps its own code.
    const bool ours = tests <= static_cast<DWORD>(kSkippedHere) && tests != kNotStarted;
    return tests == kInterrupted || (!reported && ours) ? kAborted : static_cast<int>(tests);
}

int Supervise()
{
    HANDLE lock = TakeRunLock(0);
    if (lock == NULL) {
        printf("suite: not started: another run is in progress\n");
        return Closing(kNotStarted);
    }
    machine::Failure refused = ReportRefusal();
    if (refused.empty()) {
        refused = machine::SaveMachine(machine::SavedFolder());
    }
    if (!refused.empty()) {
        printf("suite: not started: %s\n", refused.c_str());
        ReleaseRunLock(lock);
        return Closing(kNotStarted);
    }
    printf("suite: saved what the tests change in %s; it is put back when they end\n",
           Narrow(machine::SavedFolder()).c_str());
    fflush(stdout);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    // Every test the filter chose runs: no shard of them.
    for (const wchar_t* sharding : kShardingVariables) {
        if (GetEnvironmentVariableW(sharding, NULL, 0) > 0) {
            printf("suite: %s is set; the suite runs every test its filter chose, in one shard\n",
                   Narrow(sharding).c_str());
            SetEnvironmentVariableW(sharding, NULL);
        }
    }
    const int tests = TestsOutcome(Run(CommandLineFor(L"--tests")));
    const int putBack = PutBack();
    ReleaseRunLock(lock);
    return Closing(putBack != 0 ? putBack : tests, Chosen());
}

// The text of a result's parts of one kind, the last line of each.
std::string PartsText(const ::testing::TestResult& result, bool skips)
{
    std::string text;
    for (int i = 0; i < result.total_part_count(); ++i) {
        const ::testing::TestPartResult& part = result.GetTestPartResult(i);
        if (part.skipped() == skips && (skips || part.failed())) {
            std::string message = part.message();
            message.erase(message.find_last_not_of("\n") + 1);
            text += (text.empty() ? "" : "\n") + (skips ? message.substr(message.rfind('\n') + 1)
                                                        : message);
        }
    }
    return text;
}

class Watched : public ::testing::EmptyTestEventListener {
    void OnTestIterationStart(const ::testing::UnitTest& unit, int) override
    {
        const int count = unit.test_to_run_count();
        printf("suite: %d tests; under Wine they take about %d min (not yet timed on Windows); "
               "if the run is cut off, run-suite.cmd /restore puts the machine back\n",
               count, (count * kWineMillisecondsPerTest + 59999) / 60000);
        fflush(stdout);
    }
    void OnTestStart(const ::testing::TestInfo& test) override
    {
        snprintf(gTestName, sizeof gTestName, "%s.%s", test.test_suite_name(), test.name());
        InterlockedIncrement(&gTestNumber);
        InterlockedExchange(&gTestRunning, 1);
    }
    void OnTestEnd(const ::testing::TestInfo& test) override
    {
        const ::testing::TestResult& result = *test.result();
        Finished finished = {test.test_suite_name(), test.name(),
                             result.Skipped() ? 's' : result.Failed() ? 'f' : 'p',
                             PartsText(result, result.Skipped())};
        EnterCriticalSection(&gFinishedLock);
        gFinished.push_back(finished);
        LeaveCriticalSection(&gFinishedLock);
        InterlockedExchange(&gTestRunning, 0);
    }
};

std::string Escaped(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        escaped += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;"
                 : c == '"' ? "&quot;" : c == '\n' ? "&#10;" : std::string(1, c);
    }
    return escaped;
}

// The report of a run that a hung test ends, in place of the one GoogleTest writes at the
// end: every test that finished, then the one that hung.
void ReportHungTest()
{
    const std::wstring path = ReportPath();
    FILE* report = path.empty() ? nullptr : _wfopen(path.c_str(), L"w");
    if (report == nullptr) {
        return;
    }
    EnterCriticalSection(&gFinishedLock);
    std::vector<Finished> cases = gFinished;
    LeaveCriticalSection(&gFinishedLock);
    const std::string hung = gTestName;
    cases.push_back({hung.substr(0, hung.rfind('.')), hung.substr(hung.rfind('.') + 1), 'f',
                     "took longer than " + std::to_string(kTestLimitSeconds) + " s"});
    int failures = 0;
    for (const Finished& test : cases) {
        failures += test.outcome == 'f';
    }
    fprintf(report, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"%u\" "
            "failures=\"%d\">\n  <testsuite name=\"inprocess_tests\" tests=\"%u\" "
            "failures=\"%d\">\n", (unsigned)cases.size(), failures, (unsigned)cases.size(),
            failures);
    for (const Finished& test : cases) {
        fprintf(report, "    <testcase name=\"%s\" classname=\"%s\"", Escaped(test.name).c_str(),
                Escaped(test.suite).c_str());
        if (test.outcome == 'p') {
            fprintf(report, "/>\n");
            continue;
        }
        fprintf(report, ">\n      <%s message=\"%s\"/>\n    </testcase>\n",
                test.outcome == 'f' ? "failure" : "skipped", Escaped(test.message).c_str());
    }
    fprintf(report, "  </testsuite>\n</testsuites>\n");
    fclose(report);
}

// A test that hangs ends the tests' process rather than holding the run; the process ends
// itself outright, since the hung thread may hold a lock that an orderly exit would wait for.
DWORD WINAPI WatchTheTime(void*)
{
    LONG watched = 0;
    DWORD seconds = 0;
    for (;;) {
        Sleep(1000);
        const LONG running = gTestRunning ? gTestNumber : 0;
        seconds = running != 0 && running == watched ? seconds + 1 : 0;
        watched = running;
        if (seconds > kTestLimitSeconds) {
            fprintf(stderr, "suite: %s took longer than %lu s\n", gTestName,
                    (unsigned long)kTestLimitSeconds);
            fflush(stderr);
            ReportHungTest();
            TerminateProcess(GetCurrentProcess(), kOutlivedItsTime);
        }
    }
}

// The operator's names and words, each word in its patterns.
std::vector<std::string> AllowedPatterns(const std::string& allowed)
{
    std::vector<std::string> patterns;
    for (const std::string& item : Items(allowed)) {
        std::string expanded = item;
        for (const auto& word : kSkipWords) {
            expanded = item == word.word ? word.patterns : expanded;
        }
        for (const std::string& pattern : Items(expanded)) {
            patterns.push_back(pattern);
        }
    }
    return patterns;
}

// Whether `name` is one of the checks that only Windows gives a meaning.
bool WindowsOnly(const std::string& name)
{
    std::vector<std::string> patterns(std::begin(kWindowsOnlyChecks), std::end(kWindowsOnlyChecks));
    for (const auto& skip : kSkipsOfEveryWindows) {
        patterns.push_back(skip.pattern);
    }
    for (const auto& word : kSkipWords) {
        const std::vector<std::string> items = Items(word.patterns);
        patterns.insert(patterns.end(), items.begin(), items.end());
    }
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
        return Matches(name.c_str(), pattern.c_str());
    });
}

// Why /allow-skip may not take `allowed`: a name or pattern that matches no test, or one
// that is not a Windows-only check, would let a skip pass that proves something amiss.
std::string AllowSkipRefusal(const std::string& allowed)
{
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    for (const std::string& pattern : AllowedPatterns(allowed)) {
        int windowsOnly = 0;
        for (int i = 0; i < unit.total_test_suite_count(); ++i) {
            const ::testing::TestSuite& tests = *unit.GetTestSuite(i);
            for (int j = 0; j < tests.total_test_count(); ++j) {
                const std::string name =
                    std::string(tests.name()) + "." + tests.GetTestInfo(j)->name();
                if (!Matches(name.c_str(), pattern.c_str())) {
                    continue;
                }
                if (!WindowsOnly(name)) {
                    return "/allow-skip " + pattern + " takes in " + name + ", which is no check "
                        "that only Windows gives a meaning (docs/testing.md lists them)";
                }
                ++windowsOnly;
            }
        }
        if (windowsOnly == 0) {
            return "/allow-skip " + pattern + " names no test";
        }
    }
    return "";
}

// Why a skip of `name` proves nothing amiss on this machine, or "" where it needs the
// operator's word.
std::string Excuse(const std::string& name, bool wine, const std::vector<std::string>& allowed)
{
    if (wine) {
        return "under Wine";
    }
    for (const auto& skip : kSkipsOfEveryWindows) {
        if (Matches(name.c_str(), skip.pattern)) {
            return skip.why;
        }
    }
    for (const std::string& pattern : allowed) {
        if (Matches(name.c_str(), pattern.c_str())) {
            return "named by /allow-skip";
        }
    }
    return "";
}

// Off Wine a skip is no pass: each skip is listed with its reason, and one that neither
// Windows always gives nor the operator named ends the run with its own code.
int JudgeSkips(int status, bool wine, const std::string& allowed)
{
    const std::vector<std::string> patterns = AllowedPatterns(allowed);
    int unexcused = 0;
    for (const Finished& test : gFinished) {
        if (test.outcome != 's') {
            continue;
        }
        const std::string name = test.suite + "." + test.name;
        const std::string excuse = Excuse(name, wine, patterns);
        unexcused += excuse.empty();
        printf("suite: skipped %s (%s): %s\n", name.c_str(),
               excuse.empty() ? "NOT ALLOWED" : excuse.c_str(), test.message.c_str());
    }
    return status == 0 && unexcused > 0 ? kSkippedHere : status;
}

int RunTests(const std::string& allowed)
{
    InitializeCriticalSection(&gFinishedLock);
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watched);
    CloseHandle(CreateThread(NULL, 0, WatchTheTime, NULL, 0, NULL));
    const int status = RUN_ALL_TESTS();
    if (::testing::GTEST_FLAG(list_tests)) {
        return status;
    }
    if (::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        printf("suite: no test matched the filter\n");
        return 1;
    }
    return JudgeSkips(status, LetOffAsWine(), allowed);
}

}  // namespace

int main(int argc, char** argv)
{
    // No dialog may wait for a click on a machine that runs the suite unattended.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::testing::InitGoogleTest(&argc, argv);
    // The put-back and the tests' reset end the stand-in service, which runs as LocalSystem.
    const DWORD debug = machine::EnableDebugPrivilege();
    if (debug != ERROR_SUCCESS && !LetOffAsWine()) {
        printf("suite: SeDebugPrivilege not enabled (error %lu): the stand-in service's process "
               "may not end\n", (unsigned long)debug);
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--restore") {
        return Restore(argc, argv);
    }
    const std::string allowFlag = "--allow-skip=";
    const bool allows = argc > 2 && std::string(argv[argc - 1]).rfind(allowFlag, 0) == 0;
    const std::string allowed = allows ? std::string(argv[argc - 1]).substr(allowFlag.size()) : "";
    const int modes = argc - 1 - allows;
    const std::string refused = AllowSkipRefusal(allowed);
    if (!refused.empty()) {
        printf("suite: not started: %s\n", refused.c_str());
        return Closing(kNotStarted);
    }
    if (mode == "--put-back" && modes == 1) {
        return Supervise();
    }
    if (modes > 1 || (modes == 1 && mode != "--tests")) {
        fprintf(stderr, "suite: unknown argument %s\n", argv[1]);
        return kNotStarted;
    }
    if (!::testing::GTEST_FLAG(list_tests) && !LetOffAsWine() && !StartedBySupervisor()) {
        printf("suite: not started: the tests change this machine, and only run-suite.cmd /yes, "
               "from an elevated prompt, saves it first and puts it back (docs/testing.md, \"On "
               "a real Windows\"); --gtest_list_tests lists the tests\n");
        return kNotStarted;
    }
    return RunTests(allowed);
}
