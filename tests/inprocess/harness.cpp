#include "tests/inprocess/harness.h"

#include <cstdio>

static std::string Label(const std::wstring& text)
{
    size_t code = text.find(L"(E0");
    if (code != std::wstring::npos) {
        return Narrow(text.substr(code + 1, 3));
    }
    static const struct {
        const wchar_t* marker;
        const char* label;
    } kNotices[] = {
        {L"正在检测问题", "checking"},
        {L"系统启动项被禁用", "startup-item"},
        {L"扫描服务未安装", "service-missing"},
        {L"扫描服务被禁用", "service-disabled"},
        {L"重启后台程序", "restart"},
        {L"已完成", "complete"},
    };
    for (const auto& notice : kNotices) {
        if (text.find(notice.marker) != std::wstring::npos) {
            return notice.label;
        }
    }
    return "unknown: " + Narrow(text);
}

Labels PrintedLabels()
{
    Labels labels;
    for (const std::wstring& event : EventsStartingWith(L"print ")) {
        labels.push_back(Label(event));
    }
    return labels;
}

static bool StartsWith(const std::wstring& event, const std::wstring& prefix)
{
    return event.compare(0, prefix.size(), prefix) == 0;
}

Events EventsStartingWith(const std::wstring& prefix)
{
    Events events;
    for (int i = 0; i < HookEventCount(); ++i) {
        if (StartsWith(HookEvent(i), prefix)) {
            events.push_back(HookEvent(i));
        }
    }
    return events;
}

Events EventsBefore(const std::wstring& prefix)
{
    Events events;
    for (int i = 0; i < HookEventCount() && !StartsWith(HookEvent(i), prefix); ++i) {
        events.push_back(HookEvent(i));
    }
    return events;
}

Events EventsAfterLast(const std::wstring& prefix)
{
    Events events;
    for (int i = HookEventCount() - 1; i >= 0 && !StartsWith(HookEvent(i), prefix); --i) {
        events.insert(events.begin(), HookEvent(i));
    }
    return events;
}

::testing::AssertionResult NoCalls(const std::wstring& prefix)
{
    const Events made = EventsStartingWith(prefix);
    if (made.empty()) {
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "calls made:";
    for (const std::wstring& event : made) {
        failure << "\n  " << Narrow(event);
    }
    return failure;
}

Events PauseCalls()
{
    return {L"GetSystemDirectoryW", L"PathCombineW cmd.exe",
            L"_wspawnv 0 " + machine::SystemDirectory() + L"\\cmd.exe|cmd.exe /c pause"};
}

std::wstring StandinsFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    GetEnvironmentVariableW(L"SCARVEL_STANDINS", buffer, MAX_PATH);
    return buffer;
}

void RepairRunTest::SetUp()
{
    HookReset();
    ASSERT_EQ("", machine::Reset());
    ASSERT_EQ("", machine::InstallPackage(StandinsFolder()));
}

void RepairRunTest::TearDown()
{
    // What the tool asked of Windows, for a failure that only a loaded machine shows.
    if (HasFailure()) {
        for (const std::wstring& event : EventsStartingWith()) {
            printf("  event: %s\n", Narrow(event).c_str());
        }
    }
    HookReset();
    EXPECT_EQ("", machine::Reset());
}

void RepairRunTest::MakeHealthy(machine::Healthy healthy)
{
    healthy.standins = StandinsFolder();
    ASSERT_EQ("", machine::MakeHealthy(healthy));
}

void RepairRunTest::RunTool()
{
    EXPECT_EQ(0, wmain(0, nullptr));
    HookSettle();
}
