// The suite's start. With --put-back (run-suite.cmd gives it on a machine that is not a
// throwaway clone) this process saves what the tests change, runs the tests in a child
// process of its own, and puts everything back once the child has ended: after the tests,
// after Ctrl+C, or after one test outlived its time and the child ended itself. A closed
// console window leaves it seconds only: it starts a detached --restore that waits for it
// and puts back. --restore puts back what a run that was cut off saved.
// The exit code: 0 every test passed or skipped, 1 a test failed or none ran, 2 the suite
// did not start or could not put everything back, 3 interrupted, 4 a test outlived its time.
#include "tests/inprocess/harness.h"

#include <shellapi.h>

#include <cstdio>
#include <string>

#include "tests/support/put_back.h"

namespace {

const DWORD kTestLimitSeconds = 300;
const int kOutlivedItsTime = 4;

volatile LONG gInterrupted;
volatile LONG gRestorer;
// The number of the test that runs (0 between tests), and its name.
volatile LONG gTestNumber;
volatile LONG gTestRunning;
char gTestName[512];

std::wstring OwnPath()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    return self;
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

// Starts `commandLine`, waits for it and gives its exit code (2 when it did not start). It has
// this process's standard handles: the empty input among them, so that no test waits for a key.
DWORD Run(std::wstring commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info)) {
        printf("suite: could not start %s: error %lu\n", Narrow(commandLine).c_str(),
               (unsigned long)GetLastError());
        return 2;
    }
    DWORD code = 0;
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return code;
}

// The restorer a closed window started, which this process's own put-back leaves running.
bool IsRestorer(DWORD processId)
{
    return processId == static_cast<DWORD>(gRestorer);
}

// The programs the suite started run from its stand-ins' folder or its own.
int PutBack()
{
    const std::wstring self = OwnPath();
    const machine::Failure failure = machine::PutBackMachine(
        machine::SavedFolder(), {StandinsFolder(), self.substr(0, self.rfind(L'\\'))}, IsRestorer);
    if (failure.empty()) {
        printf("suite: the machine is as it was\n");
        return 0;
    }
    printf("suite: could not put everything back; what was saved stays in %s:\n%s\n",
           Narrow(machine::SavedFolder()).c_str(), failure.c_str());
    return 2;
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

// --restore --after PID: once that process has ended.
int Restore(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[2], "--after") == 0) {
        HANDLE supervisor = OpenProcess(SYNCHRONIZE, FALSE, strtoul(argv[3], nullptr, 10));
        if (supervisor != NULL) {
            WaitForSingleObject(supervisor, INFINITE);
            CloseHandle(supervisor);
        }
    }
    return PutBack();
}

int Supervise()
{
    const machine::Failure refused = machine::SaveMachine(machine::SavedFolder());
    if (!refused.empty()) {
        printf("suite: not started: %s\n", refused.c_str());
        return 2;
    }
    printf("suite: saved what the tests change in %s; it is put back when they end\n",
           Narrow(machine::SavedFolder()).c_str());
    fflush(stdout);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    const DWORD tests = Run(CommandLineFor(L"--tests"));
    const int putBack = PutBack();
    return putBack != 0 ? putBack : gInterrupted ? 3 : static_cast<int>(tests);
}

class TimeLimit : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override
    {
        snprintf(gTestName, sizeof gTestName, "%s.%s", test.test_suite_name(), test.name());
        InterlockedIncrement(&gTestNumber);
        InterlockedExchange(&gTestRunning, 1);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { InterlockedExchange(&gTestRunning, 0); }
};

// A report that names the test that hung, in place of the one GoogleTest writes at the end.
void ReportHungTest()
{
    const std::string output = ::testing::GTEST_FLAG(output);
    if (output.rfind("xml:", 0) != 0) {
        return;
    }
    FILE* report = fopen(output.substr(4).c_str(), "w");
    if (report != nullptr) {
        fprintf(report,
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"1\" "
                "failures=\"1\">\n  <testsuite name=\"time\" tests=\"1\" failures=\"1\">\n"
                "    <testcase name=\"%s\" classname=\"time\">\n      <failure message=\"took "
                "longer than %lu s\"/>\n    </testcase>\n  </testsuite>\n</testsuites>\n",
                gTestName, (unsigned long)kTestLimitSeconds);
        fclose(report);
    }
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

int RunTests()
{
    ::testing::UnitTest::GetInstance()->listeners().Append(new TimeLimit);
    CloseHandle(CreateThread(NULL, 0, WatchTheTime, NULL, 0, NULL));
    const int status = RUN_ALL_TESTS();
    if (::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        printf("suite: no test matched the filter\n");
        return 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    // No dialog may wait for a click on a machine that runs the suite unattended.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::testing::InitGoogleTest(&argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--restore") {
        return Restore(argc, argv);
    }
    if (mode == "--put-back" && argc == 2) {
        return Supervise();
    }
    if (argc > 1 && !(mode == "--tests" && argc == 2)) {
        fprintf(stderr, "suite: unknown argument %s\n", argv[1]);
        return 2;
    }
    return RunTests();
}
