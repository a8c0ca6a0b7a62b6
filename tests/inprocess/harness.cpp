#include "tests/inprocess/harness.h"

#include <cstdio>

const wchar_t* const kBackgroundProcesses[3] = {L"NVMONSTA.exe", L"Kestrun.exe", L"Haldrix.exe"};

std::string Narrow(const std::wstring& text)
{
    std::string bytes(text.size() * 4 + 1, '\0');
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &bytes[0],
                                     (int)bytes.size(), NULL, NULL);
    bytes.resize(length > 0 ? length : 0);
    return bytes;
}

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

std::vector<std::string> PrintedLabels()
{
    std::vector<std::string> labels;
    for (const std::wstring& event : EventsStartingWith(L"print ")) {
        labels.push_back(Label(event));
    }
    return labels;
}

std::vector<std::wstring> EventsStartingWith(const std::wstring& prefix)
{
    std::vector<std::wstring> events;
    for (int i = 0; i < HookEventCount(); ++i) {
        std::wstring event = HookEvent(i);
        if (event.compare(0, prefix.size(), prefix) == 0) {
            events.push_back(event);
        }
    }
    return events;
}

std::vector<std::wstring> EventsFrom(const std::wstring& prefix)
{
    std::vector<std::wstring> events;
    for (int i = 0; i < HookEventCount(); ++i) {
        std::wstring event = HookEvent(i);
        if (events.empty() && event.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        events.push_back(event);
    }
    return events;
}

void RepairRunTest::SetUp()
{
    HookReset();
    // The final pause runs for real in the tests that look at it; elsewhere it only costs time.
    HookRunSystemCommands(FALSE);
    machine::Reset();
    machine::InstallPackage();
}

void RepairRunTest::TearDown()
{
    // What the tool asked of Windows, for a failure that only a loaded machine shows.
    if (HasFailure()) {
        for (int i = 0; i < HookEventCount(); ++i) {
            printf("  event: %s\n", Narrow(HookEvent(i)).c_str());
        }
    }
    HookReset();
    machine::Reset();
}

void RepairRunTest::StartBackgroundPrograms()
{
    machine::StartProgram(machine::MonitorPath(), machine::MonitorPath() + L" /Station");
    machine::StartProgram(machine::PanelPath(), machine::PanelPath());
    machine::StartProgram(machine::GuidePath(), machine::GuidePath());
    for (const wchar_t* name : kBackgroundProcesses) {
        for (int i = 0; i < 100 && machine::CountProcesses(name) == 0; ++i) {
            Sleep(20);
        }
    }
}

void RepairRunTest::MakeHealthy()
{
    machine::WriteRunValue(L"Velmora Setup", machine::MonitorPath() + L" /Station");
    machine::WriteRunValue(L"Kestrun_setup", machine::PanelPath());
    machine::InstallService(SERVICE_AUTO_START);
    machine::StartServiceAndWaitRunning();
    machine::WriteTextFile(machine::ShortcutPath(), "an existing shortcut");
    StartBackgroundPrograms();
}

void RepairRunTest::RunTool()
{
    EXPECT_EQ(0, wmain(0, nullptr));
    HookSettle();
    // SCARVEL_TRACE=1 prints every call the run made, for a failing test's story.
    if (GetEnvironmentVariableW(L"SCARVEL_TRACE", NULL, 0) > 0) {
        for (int i = 0; i < HookEventCount(); ++i) {
            fprintf(stderr, "  %s\n", Narrow(HookEvent(i)).c_str());
        }
    }
}
