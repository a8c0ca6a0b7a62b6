// The suite's start. Given --put-back (run-suite.cmd gives it on a machine that is not a
// throwaway clone) it saves what the tests change and puts it back when they end, on Ctrl+C
// or a closed window, or when one test outlives its time; --restore puts back what a run
// that was cut off saved. The exit code: 0 every test passed or skipped, 1 a test failed or
// none ran, 2 the suite did not start or could not put everything back, 3 interrupted,
// 4 a test outlived its time.
#include "tests/inprocess/harness.h"

#include <cstdio>
#include <cstring>

#include "tests/support/put_back.h"

namespace {

const DWORD kTestLimitMilliseconds = 300000;

// The folder of what was saved, empty when nothing is to be put back; set before any
// other thread starts.
std::wstring gSaved;
volatile LONG gPutBack;
volatile DWORD gTestStarted;
char gTestName[256];

std::wstring SavedFolder()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring folder = self;
    return folder.substr(0, folder.rfind(L'\\')) + L"\\saved";
}

// Puts the machine back once, whichever thread comes first; 0 when all of it is back.
int PutBackOnce()
{
    if (gSaved.empty() || InterlockedExchange(&gPutBack, 1) != 0) {
        return 0;
    }
    const machine::Failure failure = machine::PutBackMachine(gSaved, StandinsFolder());
    if (failure.empty()) {
        printf("suite: the machine is as it was\n");
        return 0;
    }
    printf("suite: could not put everything back; what was saved stays in %s:\n%s\n",
           Narrow(gSaved).c_str(), failure.c_str());
    return 2;
}

BOOL WINAPI OnConsoleEvent(DWORD)
{
    printf("suite: interrupted\n");
    fflush(stdout);
    PutBackOnce();
    ExitProcess(3);
}

class TimeLimit : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override
    {
        snprintf(gTestName, sizeof gTestName, "%s.%s", test.test_suite_name(), test.name());
        gTestStarted = GetTickCount() | 1;
    }
    void OnTestEnd(const ::testing::TestInfo&) override { gTestStarted = 0; }
};

// A test that hangs fails the run rather than holding it.
DWORD WINAPI WatchTheTime(void*)
{
    for (;;) {
        Sleep(1000);
        const DWORD started = gTestStarted;
        if (started != 0 && GetTickCount() - started > kTestLimitMilliseconds) {
            printf("suite: %s took longer than %lu s\n", gTestName,
                   (unsigned long)(kTestLimitMilliseconds / 1000));
            fflush(stdout);
            PutBackOnce();
            ExitProcess(4);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const bool putBack = argc == 2 && strcmp(argv[1], "--put-back") == 0;
    if (argc == 2 && strcmp(argv[1], "--restore") == 0) {
        gSaved = SavedFolder();
        return PutBackOnce();
    }
    if (argc > 1 && !putBack) {
        fprintf(stderr, "suite: unknown argument %s\n", argv[1]);
        return 2;
    }
    if (putBack) {
        const machine::Failure refused = machine::SaveMachine(SavedFolder());
        if (!refused.empty()) {
            printf("suite: not started: %s\n", refused.c_str());
            return 2;
        }
        gSaved = SavedFolder();
        printf("suite: saved what the tests change in %s; put back when they end\n",
               Narrow(gSaved).c_str());
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new TimeLimit);
    CloseHandle(CreateThread(NULL, 0, WatchTheTime, NULL, 0, NULL));
    int status = RUN_ALL_TESTS();
    if (::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        printf("suite: no test matched the filter\n");
        status = 1;
    }
    const int putBackStatus = PutBackOnce();
    return putBackStatus != 0 ? putBackStatus : status;
}
