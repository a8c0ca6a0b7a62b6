// Machines the tool must survive: Windows directories at and past the length the command
// lines allow, paths with spaces, and lookups that fail.
#include "tests/inprocess/harness.h"

namespace {

// A real directory under C:\ of exactly `length` characters, spaced if asked.
std::wstring WindowsDirectoryOfLength(size_t length, bool spaced)
{
    std::wstring path = spaced ? L"C:\\hostile windows" : L"C:\\hostile-windows";
    while (path.size() < length) {
        path += L'\\';
        path += std::wstring(std::min<size_t>(60, length - path.size()), L'w');
    }
    if (path.back() == L'\\') {
        path.back() = L'w';
    }
    return path;
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

class HostileMachineTest : public RepairRunTest {
protected:
    std::wstring windows;
    void UseWindowsDirectory(size_t length, bool spaced)
    {
        windows = WindowsDirectoryOfLength(length, spaced);
        ASSERT_EQ(length, windows.size());
        ASSERT_EQ("", machine::InstallPackage(StandinsFolder(), windows));
        HookSetWindowsDirectory(windows.c_str());
    }
    void TearDown() override
    {
        if (!windows.empty()) {
            EXPECT_EQ("", machine::Reset(windows));
        }
        RepairRunTest::TearDown();
    }
};

}  // namespace

TEST_F(HostileMachineTest, LongestWindowsDirectoryForTheCommandLineStillRepairsEverything)
{
    SKIP_UNLESS_PROGRAMS_START_HERE(kEntryPoint);
    UseWindowsDirectory(220, false);

    RunTool();

    EXPECT_EQ((std::vector<std::string>{"checking", "startup-item", "service-missing", "restart",
                                        "complete"}),
              PrintedLabels());
    const std::wstring monitorLine = machine::MonitorCommandLine(windows);
    EXPECT_EQ(259u, monitorLine.size());
    EXPECT_EQ(monitorLine, machine::ReadRunValue(names::kMonitorValueName).Text());
    EXPECT_EQ(machine::PanelPath(windows), machine::ReadRunValue(names::kPanelValueName).Text());
    EXPECT_EQ(machine::ServicePath(windows), machine::ReadService().binaryPath);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), machine::ReadService().state);
    // Started by the desktop's Explorer, whose command lines quote the program's path.
    EXPECT_EQ((Events{Quoted(machine::MonitorPath(windows)) + L" " + names::kMonitorArguments}),
              machine::RecordedLines(machine::MonitorPath(windows), 1));
    EXPECT_EQ((Events{Quoted(machine::GuidePath(windows))}),
              machine::RecordedLines(machine::GuidePath(windows), 1));
    EXPECT_EQ(WrittenShortcut(machine::GuidePath(windows)),
              machine::ReadShortcut(machine::ShortcutPath()));
}

TEST_F(HostileMachineTest, WindowsDirectoryTooLongForTheCommandLineIsAPackageOutOfReach)
{
    for (size_t length : {221u, 226u, 240u}) {
        SCOPED_TRACE(length);
        HookReset();
        UseWindowsDirectory(length, false);

        RunTool();

        EXPECT_EQ((std::vector<std::string>{"checking", "E01"}), PrintedLabels());
        EXPECT_TRUE(NoCalls(L"RegOpenKeyExW"));
        EXPECT_TRUE(NoCalls(L"CreateServiceW"));
        EXPECT_TRUE(NoCalls(L"CreateProcessW"));
        EXPECT_FALSE(machine::ReadRunValue(names::kMonitorValueName).exists);
        EXPECT_EQ(0, HookStillHeld());
    }
}

TEST_F(HostileMachineTest, ProgramPathsWithASpaceAreQuotedWhereWindowsRunsThem)
{
    SKIP_UNLESS_PROGRAMS_START_HERE(kEntryPoint);
    UseWindowsDirectory(40, true);

    RunTool();

    EXPECT_EQ("complete", PrintedLabels().back());
    const std::wstring monitorLine = Quoted(machine::MonitorPath(windows)) + L" /Station";
    EXPECT_EQ(monitorLine, machine::ReadRunValue(names::kMonitorValueName).Text());
    EXPECT_EQ(Quoted(machine::PanelPath(windows)), machine::ReadRunValue(names::kPanelValueName).Text());
    EXPECT_EQ(Quoted(machine::ServicePath(windows)), machine::ReadService().binaryPath);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), machine::ReadService().state);
    EXPECT_EQ((Events{monitorLine}),
              machine::RecordedLines(machine::MonitorPath(windows), 1));
    EXPECT_EQ((Events{Quoted(machine::PanelPath(windows))}),
              machine::RecordedLines(machine::PanelPath(windows), 1));
    EXPECT_EQ((Events{Quoted(machine::GuidePath(windows))}),
              machine::RecordedLines(machine::GuidePath(windows), 1));
    // A shortcut holds a path, not a command line: no quotes there.
    EXPECT_EQ(WrittenShortcut(machine::GuidePath(windows)),
              machine::ReadShortcut(machine::ShortcutPath()));
}

TEST_F(HostileMachineTest, QuotedCommandLinesStillHaveToFitTheirBuffers)
{
    SKIP_UNLESS_PROGRAMS_START_HERE(kEntryPoint);
    UseWindowsDirectory(218, true);
    RunTool();
    const std::wstring monitorLine = Quoted(machine::MonitorPath(windows)) + L" /Station";
    EXPECT_EQ(259u, monitorLine.size());
    EXPECT_EQ(monitorLine, machine::ReadRunValue(names::kMonitorValueName).Text());
    EXPECT_EQ("complete", PrintedLabels().back());

    ASSERT_EQ("", machine::Reset(windows));
    HookReset();
    UseWindowsDirectory(219, true);
    RunTool();
    EXPECT_EQ((std::vector<std::string>{"checking", "E01"}), PrintedLabels());
    EXPECT_FALSE(machine::ReadRunValue(names::kMonitorValueName).exists);
}

TEST_F(HostileMachineTest, FailedWindowsDirectoryLookupNeverTestsPathsRelativeToHere)
{
    // Programs of the package's names in the current directory must not count.
    const std::wstring relative = machine::ScratchFolder() + L"\\relative";
    ASSERT_EQ("", machine::InstallPackage(StandinsFolder(), relative));
    SetCurrentDirectoryW(relative.c_str());
    // The tool would move to System32 first: here it stays, as if that move had failed.
    HookFail(L"SetCurrentDirectoryW", 1, ERROR_ACCESS_DENIED);
    HookFail(L"GetWindowsDirectoryW", 1, ERROR_INVALID_PARAMETER);

    RunTool();

    SetCurrentDirectoryW(L"C:\\");
    EXPECT_EQ((std::vector<std::string>{"checking", "E01"}), PrintedLabels());
    EXPECT_TRUE(NoCalls(L"PathFileExistsW"));
}

TEST_F(HostileMachineTest, FailedStartupFolderLookupWritesNoShortcutHere)
{
    SKIP_UNLESS_PROGRAMS_START_HERE(kEntryPoint);
    const std::wstring cwd = machine::ScratchFolder() + L"\\cwd";
    CreateDirectoryW(cwd.c_str(), NULL);
    SetCurrentDirectoryW(cwd.c_str());
    HookFail(L"SetCurrentDirectoryW", 1, ERROR_ACCESS_DENIED);
    HookFail(L"SHGetSpecialFolderPathW", 1, ERROR_PATH_NOT_FOUND);

    RunTool();

    SetCurrentDirectoryW(L"C:\\");
    EXPECT_EQ("complete", PrintedLabels().back());
    EXPECT_FALSE(machine::FileExists(cwd + L"\\" + names::kShortcutFile));
    EXPECT_FALSE(machine::FileExists(machine::ShortcutPath()));
    EXPECT_TRUE(NoCalls(L"CoCreateInstance context=0x1"));
}

// A service that a program holds open (the Services console) is only marked for deletion:
// its removal names what to close, and it goes once the handle is closed.
TEST_F(RepairRunTest, AServiceHeldOpenIsNamedWithWhatHoldsIt)
{
    const wchar_t* const other = machine::kOtherServiceName;
    ASSERT_EQ("", machine::InstallService(SERVICE_DEMAND_START, machine::ServicePath(), other,
                                          L"Other vendor's service"));
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE held = OpenServiceW(manager, other, SERVICE_QUERY_STATUS);
    const machine::Failure removal = machine::DeleteScanService(other);
    CloseServiceHandle(held);
    CloseServiceHandle(manager);

    EXPECT_NE(std::string::npos, removal.find("close the Services console")) << removal;
    EXPECT_EQ("", machine::DeleteScanService(other));
    EXPECT_FALSE(machine::ReadService(other).exists);
}
