// What reaches a redirected standard output, byte for byte, the locale around a run, and the
// package's names as the product spells them.
#include "tests/inprocess/harness.h"

#include <fcntl.h>
#include <io.h>
#include <locale.h>
#include <sys/stat.h>

#include <cstdio>

#include "console/messages.h"
#include "console/report.h"
#include "package/layout.h"

namespace {

// The product's messages, in the order of the tests' table (tests/support/messages.txt).
const wchar_t* const kProductMessages[] = {
    kMsgChecking, kMsgE01, kMsgE02, kMsgStartupItem, kMsgE03, kMsgE04, kMsgE05,
    kMsgServiceMissing, kMsgServiceDisabled, kMsgE06, kMsgE07, kMsgRestart, kMsgE08,
    kMsgComplete,
};

// A message of the tests' table as a redirected run writes it, the product's name in place.
std::string ToCodePage936(const wchar_t* format)
{
    std::wstring text = format;
    size_t name = text.find(L"%s");
    if (name != std::wstring::npos) {
        text.replace(name, 2, names::kProductName);
    }
    char bytes[512] = {};
    WideCharToMultiByte(936, 0, text.c_str(), -1, bytes, sizeof bytes, NULL, NULL);
    return bytes;
}

// Runs `write` with file descriptor 1 sent to a file and returns the bytes it wrote.
template <typename Write>
std::string CaptureStandardOutput(Write write)
{
    const std::wstring path = machine::ScratchFolder() + L"\\stdout.txt";
    fflush(stdout);
    int saved = _dup(1);
    int file = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE);
    _dup2(file, 1);
    _close(file);
    write();
    fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    std::string bytes = machine::ReadTextFile(path);
    DeleteFileW(path.c_str());
    return bytes;
}

// A whole report with each of the product's messages, the product name as the argument.
void PrintEveryProductMessage()
{
    wchar_t* saved = BeginReport();
    for (const wchar_t* format : kProductMessages) {
        PrintMessage(format, kProductName);
    }
    EndReport(saved);
}

std::string CurrentCtypeLocale()
{
    return Narrow(_wsetlocale(LC_CTYPE, NULL));
}

}  // namespace

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HookReset();
        _wsetlocale(LC_CTYPE, L"C");
        ASSERT_EQ("", machine::CreateDirectories(machine::ScratchFolder()));
    }
    void TearDown() override
    {
        HookReset();
        _wsetlocale(LC_CTYPE, L"C");
        ASSERT_EQ("", machine::CreateDirectories(machine::ScratchFolder()));
    }
};

// Every message printed with the product's name as its argument: the name shows as a wide
// string between spaces in E01, E06, E07 and the completion message, and nowhere else.
TEST_F(ConsoleTest, EveryMessageReachesARedirectedOutputAsCodePage936WithCrLf)
{
    const std::string written = CaptureStandardOutput(PrintEveryProductMessage);

    std::string expected;
    for (const names::Message& message : names::kMessages) {
        expected += ToCodePage936(message.text) + "\r\n\r\n";
    }
    EXPECT_EQ(expected, written);
    // The ellipsis of the notices is two U+2026, 0xA1 0xAD each in code page 936.
    EXPECT_EQ(0u, written.find("\xD5\xFD\xD4\xDA"));
    EXPECT_NE(std::string::npos, written.find("\xA1\xAD\xA1\xAD\r\n\r\n"));
}

// Each name and path the product uses is the one the tests type, as a user and the documents
// read it: the product gives its service its name as the display name too.
TEST(PackageNamesTest, TheProductSpellsEachNameAsTheTestsTypeIt)
{
    const struct {
        const wchar_t* product;
        const wchar_t* typed;
    } kNames[] = {
        {kProductName, names::kProductName},
        {kTwainFolder, names::kTwainFolder},
        {kMonitorProgram, names::kMonitorProgram},
        {kServiceProgram, names::kServiceProgram},
        {kPanelProgram, names::kPanelProgram},
        {kGuideProgram, names::kGuideProgram},
        {kRunKeyPath, names::kRunKeyPath},
        {kMonitorValueName, names::kMonitorValueName},
        {kPanelValueName, names::kPanelValueName},
        {kServiceName, names::kServiceName},
        {kServiceName, names::kServiceDisplayName},
        {kMonitorProcess, names::kMonitorProcess},
        {kPanelProcess, names::kPanelProcess},
        {kGuideProcess, names::kGuideProcess},
        {kShortcutFile, names::kShortcutFile},
    };
    for (const auto& name : kNames) {
        EXPECT_STREQ(name.typed, name.product);
    }
}

TEST_F(ConsoleTest, LocaleIsChineseDuringTheRunAndRestoredAfterIt)
{
    for (const wchar_t* before : {L"C", L"English_United States.1252"}) {
        ASSERT_NE(nullptr, _wsetlocale(LC_CTYPE, before));
        const std::string previous = CurrentCtypeLocale();

        wchar_t* saved = BeginReport();
        const std::string during = CurrentCtypeLocale();
        EndReport(saved);

        EXPECT_NE(std::string::npos, during.find(".936")) << during;
        EXPECT_EQ(previous, CurrentCtypeLocale());
        // Restored and released before the pause, which comes last.
        EXPECT_EQ(L"_wsetlocale 2 " + machine::Widen(previous),
                  EventsStartingWith(L"_wsetlocale 2 ").back());
        Events closing = PauseCalls();
        closing.insert(closing.begin(), L"free locale");
        EXPECT_EQ(closing, EventsAfterLast(L"_wsetlocale"));
        EXPECT_EQ(0, HookStillHeld());
        HookReset();
    }
}

TEST_F(ConsoleTest, RuntimeWithoutTheNameChsFallsBackToAnotherNameForCodePage936)
{
    HookRejectLocale(L"chs");
    const std::string written = CaptureStandardOutput([] {
        wchar_t* saved = BeginReport();
        EXPECT_NE(std::string::npos, CurrentCtypeLocale().find(".936")) << CurrentCtypeLocale();
        PrintMessage(kMsgChecking);
        EndReport(saved);
    });
    EXPECT_EQ(ToCodePage936(names::kMessages[0].text) + "\r\n\r\n", written);
    EXPECT_EQ("C", CurrentCtypeLocale());
}

TEST_F(ConsoleTest, LocaleWhoseNameCouldNotBeCopiedIsRestoredToTheStartUpLocale)
{
    HookFail(L"_wcsdup", 1, 0);
    wchar_t* saved = BeginReport();
    EXPECT_EQ(nullptr, saved);
    EndReport(saved);
    EXPECT_EQ("C", CurrentCtypeLocale());
}

TEST_F(ConsoleTest, FinalPauseRunsThroughTheCommandInterpreterAndReturns)
{
    HookRunSystemCommands(TRUE);
    const DWORD start = GetTickCount();
    const std::string written = CaptureStandardOutput([] {
        wchar_t* saved = BeginReport();
        PrintMessage(kMsgChecking);
        EndReport(saved);
    });
    // Standard input is empty here, so the interpreter's pause returns at once.
    EXPECT_LT(GetTickCount() - start, 20000u);
    EXPECT_EQ((Events{PauseCalls().back()}), EventsStartingWith(L"_wspawnv"));
    // In a file the tool's text stands first: it is written out before the pause's prompt.
    const std::string text = ToCodePage936(names::kMessages[0].text) + "\r\n\r\n";
    EXPECT_EQ(text, written.substr(0, text.size()));
    EXPECT_NE(std::string::npos, written.find("Press any key", text.size())) << written;

    // Without System32's path there is no interpreter to name: no pause, rather than a
    // cmd.exe found by a search.
    HookReset();
    HookFail(L"GetSystemDirectoryW", 1, ERROR_INVALID_PARAMETER);
    EndReport(BeginReport());
    EXPECT_TRUE(NoCalls(L"_wspawnv"));
}
