// The scan service's start-up: the start type repair against the real service manager, and
// the wait for a starting service against scripted statuses and a virtual clock.
#include "tests/inprocess/harness.h"

namespace {

// Any non-null handle: with a scripted start and scripted statuses nothing reaches Windows.
SC_HANDLE const kScriptedService = reinterpret_cast<SC_HANDLE>(0x5C);

std::vector<DWORD> Pauses()
{
    std::vector<DWORD> pauses;
    for (int i = 0; i < HookSleepCount(); ++i) {
        pauses.push_back(HookSleepDuration(i));
    }
    return pauses;
}

class ServiceWaitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Restart(500000);
    }
    // A start of the service accepted without Windows, on a virtual clock at `tick`.
    static void Restart(DWORD tick)
    {
        HookReset();
        HookAcceptServiceStart();
        HookUseVirtualClock(tick);
    }
    void TearDown() override { HookReset(); }
};

}  // namespace

TEST_F(ServiceWaitTest, ServiceRunningAtTheFirstLookSucceedsWithoutSleeping)
{
    HookScriptStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(1, StartServiceAndWait(kScriptedService));
    EXPECT_TRUE(Pauses().empty());
}

TEST_F(ServiceWaitTest, PauseIsATenthOfTheWaitHintBetweenOneAndTenSeconds)
{
    const struct {
        DWORD waitHint;
        DWORD pause;
    } cases[] = {{0, 1000}, {9999, 1000}, {30000, 3000}, {100000, 10000}, {200000, 10000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waitHint);
        Restart(1000);
        HookScriptStatus(SERVICE_START_PENDING, 1, c.waitHint);
        HookScriptStatus(SERVICE_START_PENDING, 2, c.waitHint);
        HookScriptStatus(SERVICE_RUNNING, 0, 0);
        EXPECT_EQ(1, StartServiceAndWait(kScriptedService));
        EXPECT_EQ((std::vector<DWORD>{c.pause, c.pause}), Pauses());
    }
}

TEST_F(ServiceWaitTest, ZeroWaitHintEndsAfterTheFirstPauseWithoutProgress)
{
    HookScriptStatus(SERVICE_START_PENDING, 4, 0);
    HookScriptStatus(SERVICE_START_PENDING, 4, 0);
    HookScriptStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(0, StartServiceAndWait(kScriptedService));
    EXPECT_EQ((std::vector<DWORD>{1000}), Pauses());
    EXPECT_EQ(1, HookScriptedStatusesLeft());
}

TEST_F(ServiceWaitTest, TimeOutCountsFromTheLastCheckpointAdvanceNotFromTheStart)
{
    // Advances at 1 s and 2 s, then no more: the wait ends once more than 5 s have passed
    // since the advance at 2 s, that is at 8 s, and not at 6 s.
    HookScriptStatus(SERVICE_START_PENDING, 1, 5000);
    HookScriptStatus(SERVICE_START_PENDING, 2, 5000);
    HookScriptStatus(SERVICE_START_PENDING, 3, 5000);
    for (int i = 0; i < 20; ++i) {
        HookScriptStatus(SERVICE_START_PENDING, 3, 5000);
    }
    EXPECT_EQ(0, StartServiceAndWait(kScriptedService));
    EXPECT_EQ(8u, Pauses().size());
    EXPECT_EQ(500000u + 8000u, HookVirtualTick());
}

TEST_F(ServiceWaitTest, LatestWaitHintIsTheOneThatCounts)
{
    HookScriptStatus(SERVICE_START_PENDING, 1, 1000);
    HookScriptStatus(SERVICE_START_PENDING, 1, 4000);
    HookScriptStatus(SERVICE_START_PENDING, 1, 4000);
    HookScriptStatus(SERVICE_START_PENDING, 1, 4000);
    HookScriptStatus(SERVICE_START_PENDING, 1, 4000);
    HookScriptStatus(SERVICE_START_PENDING, 1, 4000);
    EXPECT_EQ(0, StartServiceAndWait(kScriptedService));
    EXPECT_EQ(5u, Pauses().size());
}

TEST_F(ServiceWaitTest, TickCountThatWrapsDuringTheWaitIsMeasuredCorrectly)
{
    HookUseVirtualClock(0xFFFFFFFFu - 1500u);
    for (int i = 0; i < 10; ++i) {
        HookScriptStatus(SERVICE_START_PENDING, 7, 3000);
    }
    EXPECT_EQ(0, StartServiceAndWait(kScriptedService));
    // Ends after the fourth pause: 4 s > 3 s since the start, across the wrap.
    EXPECT_EQ(4u, Pauses().size());
    EXPECT_LT(HookVirtualTick(), 5000u);
}

TEST_F(ServiceWaitTest, SlowServiceThatKeepsAdvancingIsWaitedForWithoutAnOverallLimit)
{
    HookScriptStatus(SERVICE_START_PENDING, 1, 2000);
    for (DWORD checkPoint = 2; checkPoint < 40; ++checkPoint) {
        HookScriptStatus(SERVICE_START_PENDING, checkPoint, 2000);
    }
    HookScriptStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(1, StartServiceAndWait(kScriptedService));
    EXPECT_EQ(39u, Pauses().size());
}

TEST_F(ServiceWaitTest, ServiceThatStopsWhileStartingEndsTheWaitWithFailure)
{
    HookScriptStatus(SERVICE_START_PENDING, 1, 20000);
    HookScriptStatus(SERVICE_STOPPED, 0, 0);
    HookScriptStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(0, StartServiceAndWait(kScriptedService));
    EXPECT_EQ((std::vector<DWORD>{2000}), Pauses());
}

TEST_F(ServiceWaitTest, FailedPollKeepsTheLastStatusAndTheWaitStillEnds)
{
    HookScriptStatus(SERVICE_START_PENDING, 1, 2000);
    HookScriptStatusFailure();
    HookScriptStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(1, StartServiceAndWait(kScriptedService));

    Restart(0);
    HookScriptStatus(SERVICE_START_PENDING, 1, 2000);
    for (int i = 0; i < 10; ++i) {
        HookScriptStatusFailure();
    }
    EXPECT_EQ(0, StartServiceAndWait(kScriptedService));
    EXPECT_EQ(3u, Pauses().size());
}

TEST_F(ServiceWaitTest, RefusedStartOrFailedFirstQueryFailsAtOnce)
{
    HookFail(L"StartServiceW", 1, ERROR_SERVICE_ALREADY_RUNNING);
    HookScriptStatus(SERVICE_RUNNING, 0, 0);
    EXPECT_EQ(0, StartServiceAndWait(kScriptedService));
    EXPECT_EQ(0, HookCallCount(L"QueryServiceStatusEx"));

    Restart(0);
    HookScriptStatusFailure();
    EXPECT_EQ(0, StartServiceAndWait(kScriptedService));
    EXPECT_TRUE(Pauses().empty());
}

// Against the real service manager: only the start type changes.
class AutoStartTest : public RepairRunTest {
protected:
    SC_HANDLE manager = NULL;
    SC_HANDLE service = NULL;
    void Open()
    {
        manager = ::OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        service = ::OpenServiceW(manager, names::kServiceName, SERVICE_ALL_ACCESS);
        ASSERT_NE(nullptr, service);
    }
    void TearDown() override
    {
        if (service != NULL) {
            ::CloseServiceHandle(service);
        }
        if (manager != NULL) {
            ::CloseServiceHandle(manager);
        }
        RepairRunTest::TearDown();
    }
};

TEST_F(AutoStartTest, OtherStartTypesBecomeAutomaticAndNothingElseChanges)
{
    for (DWORD startType : {SERVICE_DEMAND_START, SERVICE_DISABLED}) {
        SCOPED_TRACE(startType);
        ASSERT_EQ("", machine::DeleteScanService());
        ASSERT_EQ("", machine::InstallService(startType, L"C:\\any where\\scan.exe -k"));
        Open();
        HookReset();
        const machine::ServiceConfig before = machine::ReadService();

        EXPECT_EQ(1, EnsureAutoStart(service));

        const machine::ServiceConfig after = machine::ReadService();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), after.startType);
        EXPECT_EQ(before.binaryPath, after.binaryPath);
        EXPECT_EQ(before.displayName, after.displayName);
        EXPECT_EQ(before.errorControl, after.errorControl);
        EXPECT_EQ(before.serviceType, after.serviceType);
        EXPECT_EQ(before.account, after.account);
        EXPECT_EQ((Events{L"ChangeServiceConfigW 0xFFFFFFFF|2|0xFFFFFFFF|(null)|"
                                             L"(null)|(null)|(null)|(null)|(null)|(null)"}),
                  EventsStartingWith(L"ChangeServiceConfigW"));
        EXPECT_EQ(HookAcquired(kHookLocalMemory), HookReleased(kHookLocalMemory));
        EXPECT_EQ(1, HookAcquired(kHookLocalMemory));
        ::CloseServiceHandle(service);
        ::CloseServiceHandle(manager);
        service = manager = NULL;
    }
}

TEST_F(AutoStartTest, AutomaticServiceIsNotReconfigured)
{
    ASSERT_EQ("", machine::InstallService(SERVICE_AUTO_START));
    Open();
    HookReset();
    EXPECT_EQ(1, EnsureAutoStart(service));
    EXPECT_EQ(0, HookCallCount(L"ChangeServiceConfigW"));
    EXPECT_EQ(0, HookStillHeld());
}

TEST_F(AutoStartTest, FailuresOfTheConfigurationCallsGiveZeroAndReleaseTheBuffer)
{
    ASSERT_EQ("", machine::InstallService(SERVICE_DEMAND_START));
    Open();
    const struct {
        const wchar_t* call;
        int occurrence;
        DWORD error;
        int allocations;
    } faults[] = {
        {L"QueryServiceConfigW", 1, ERROR_ACCESS_DENIED, 0},
        {L"LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, 0},
        {L"QueryServiceConfigW", 2, ERROR_ACCESS_DENIED, 1},
        {L"ChangeServiceConfigW", 1, ERROR_ACCESS_DENIED, 1},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(Narrow(fault.call) + " #" + std::to_string(fault.occurrence));
        HookReset();
        HookFail(fault.call, fault.occurrence, fault.error);
        EXPECT_EQ(0, EnsureAutoStart(service));
        EXPECT_EQ(fault.allocations, HookAcquired(kHookLocalMemory));
        EXPECT_EQ(0, HookStillHeld());
        EXPECT_EQ(0, HookBadReleases());
        EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), machine::ReadService().startType);
    }
}
