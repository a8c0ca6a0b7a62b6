#include "tests/inprocess/harness.h"

#include <exdisp.h>
#include <fcntl.h>
#include <io.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>


// Every message ends with an empty line; the pause's prompt, in whatever language cmd.exe
// speaks, holds none.
static const char kMessageEnd[] = "\r\n\r\n";
static const DWORD kRunMilliseconds = 120000;
// Explorer hands out its objects in well under a second when it answers at all.
static const DWORD kExplorerProbeMilliseconds = 10000;
extern const char kExplorerSilent[] = "no answer within 10 s";
// Past the tool's own 20 s: the first walk, under load, is the slowest.
static const DWORD kExplorerHoldMilliseconds = 30000;
// Why the rest of the tests do not run: a state that each of them would fail on the same way.
// GoogleTest puts its own flags back after each test, so its fail_fast cannot be set here.
static std::string gStopReason;

// The message's text as the run writes it: the product's name in place, an empty line after.
static std::wstring Formatted(const wchar_t* format)
{
    std::wstring text = format;
    size_t name = text.find(L"%s");
    return (name == std::wstring::npos ? text : text.replace(name, 2, names::kProductName))
        + L"\n\n";
}

static std::string Label(const std::wstring& text)
{
    for (const names::Message& entry : names::kMessages) {
        if (Formatted(entry.text) == text) {
            return entry.label;
        }
    }
    return "unknown: " + Narrow(text);
}

std::string ExpectedOutput(const Labels& labels)
{
    std::string bytes;
    for (const std::string& label : labels) {
        for (const names::Message& entry : names::kMessages) {
            if (label == entry.label) {
                std::wstring text = Formatted(entry.text);
                char encoded[1024] = {};
                WideCharToMultiByte(936, 0, text.c_str(), -1, encoded, sizeof encoded, NULL, NULL);
                for (const char* c = encoded; *c != '\0'; ++c) {
                    bytes += *c == '\n' ? "\r\n" : std::string(1, *c);
                }
            }
        }
    }
    return bytes;
}

// Each message of a run's output, by its label, then its text as a reader sees it.
static std::string Decoded(const std::string& output)
{
    const int units = MultiByteToWideChar(936, 0, output.data(), (int)output.size(), NULL, 0);
    std::wstring text(units > 0 ? units : 0, L'\0');
    if (units > 0) {
        MultiByteToWideChar(936, 0, output.data(), (int)output.size(), &text[0], units);
    }
    std::string shown;
    for (size_t start = 0, end; start < text.size(); start = end) {
        end = text.find(L"\r\n\r\n", start);
        end = end == std::wstring::npos ? text.size() : end + 4;
        std::wstring message = text.substr(start, end - start);
        for (size_t cr; (cr = message.find(L'\r')) != std::wstring::npos;) {
            message.erase(cr, 1);
        }
        message.erase(message.find_last_not_of(L'\n') + 1);
        shown += "\n    [" + Label(message + L"\n\n") + "] " + Narrow(message);
    }
    return shown.empty() ? "\n    (nothing)" : shown;
}

::testing::AssertionResult OutputIs(const std::string& output, const Labels& labels)
{
    const std::string expected = ExpectedOutput(labels);
    if (output == expected) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the tool's output differs\n  expected:"
                                         << Decoded(expected) << "\n  actual:" << Decoded(output);
}

Labels PrintedLabels()
{
    Labels labels;
    for (const std::wstring& event : EventsStartingWith(L"print ")) {
        labels.push_back(Label(event.substr(std::wcslen(L"print "))));
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

Events VersionCalls(DWORD major, DWORD minor)
{
    return {L"GetModuleHandleW ntdll.dll", L"GetProcAddress RtlGetVersion",
            L"RtlGetVersion " + std::to_wstring(major) + L"." + std::to_wstring(minor)};
}

Events PauseCalls(DWORD major, DWORD minor)
{
    if (major == 0) {
        typedef LONG(WINAPI * RtlGetVersionProc)(OSVERSIONINFOW*);
        OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof version;
        reinterpret_cast<RtlGetVersionProc>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")))(&version);
        major = version.dwMajorVersion;
        minor = version.dwMinorVersion;
    }
    Events calls = VersionCalls(major, minor);
    // Session 0 is seen by nobody from Vista on.
    if (major >= 6) {
        calls.insert(calls.end(), {L"GetModuleHandleW kernel32.dll",
                                   L"GetProcAddress ProcessIdToSessionId", L"ProcessIdToSessionId"});
    }
    calls.insert(calls.end(),
                 {L"GetModuleHandleW user32.dll", L"GetProcAddress GetProcessWindowStation",
                  L"GetModuleHandleW user32.dll", L"GetProcAddress GetUserObjectInformationW",
                  L"GetUserObjectInformationW 1", L"GetSystemDirectoryW", L"PathCombineW cmd.exe",
                  L"_wspawnv 0 " + machine::SystemDirectory() + L"\\cmd.exe|cmd.exe /d /c pause"});
    return calls;
}

void ExpectProgramsRunAsTheUser(const machine::TokenRecord& own)
{
    for (const machine::BackgroundProgram& program : machine::kBackgroundPrograms) {
        SCOPED_TRACE(Narrow(program.process));
        const machine::TokenRecord token =
            machine::ReadTokenRecord(program.path(machine::WindowsDirectory()));
        EXPECT_TRUE(token.exists);
        EXPECT_EQ(own.user, token.user);
        EXPECT_EQ(own.session, token.session);
        EXPECT_NE(static_cast<DWORD>(TokenElevationTypeFull), token.elevationType);
        if (own.elevationType == TokenElevationTypeFull) {
            EXPECT_EQ(0x2000u, token.integrity);
        }
    }
}

machine::Failure ProgramsStartHere(Runner runner)
{
    if (machine::UnderWine()) {
        return "";
    }
    const machine::TokenRecord own = machine::OwnToken();
    const std::wstring shell = machine::ShellUser();
    if (shell != own.user) {
        return machine::Skip("the suite runs as " + Narrow(own.user) + " and the desktop's "
                             "Explorer as " + Narrow(shell) + ": with another "
                             "administrator's credentials the tool rightly starts nothing");
    }
    if (runner == kProgram && own.elevationType != TokenElevationTypeFull) {
        return machine::Skip("the suite's token is not the full one of a split pair (UAC off): "
                             "the built program starts the programs itself, not through Explorer");
    }
    return "";
}

machine::Shortcut WrittenShortcut(const std::wstring& target)
{
    // No arguments, working folder, description or icon of its own, shown normally.
    machine::Shortcut shortcut;
    shortcut.loaded = true;
    shortcut.target = target;
    shortcut.showCommand = SW_SHOWNORMAL;
    return shortcut;
}

std::wstring StandinsFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    GetEnvironmentVariableW(L"SCARVEL_STANDINS", buffer, MAX_PATH);
    return buffer;
}

static std::string HresultText(HRESULT result)
{
    char text[16] = {};
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

// Explorer's objects on the tool's way to ShellExecute, and the class object that its
// CoCreateInstance gets and lets go of at once.
struct ExplorerChain {
    IClassFactory* factory;
    IShellWindows* windows;
    IDispatch* desktop;
    IServiceProvider* provider;
    IShellBrowser* browser;
    IShellView* view;
    IDispatch* background;
    IShellFolderViewDual* folderView;
    IDispatch* application;
    IShellDispatch2* shell;
};

// A call's result, where S_OK that handed back no object counts as a failure. By reference:
// read once the call has filled it.
template <typename Object>
static HRESULT Got(HRESULT result, Object* const& object)
{
    return result == S_OK && object == NULL ? E_POINTER : result;
}

// As the tool asks: "" once every object but the class object is there; otherwise the step
// that failed, and how.
static std::string WalkExplorer(ExplorerChain& c)
{
    VARIANT desktopFolder = {}, noRoot = {};
    desktopFolder.vt = VT_I4;
    desktopFolder.lVal = CSIDL_DESKTOP;
    long window = 0;
    const struct {
        const char* what;
        std::function<HRESULT()> ask;
    } steps[] = {
        {"the shell windows", [&] {
             return Got(CoCreateInstance(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER,
                                         IID_IShellWindows, (void**)&c.windows), c.windows);
         }},
        {"the desktop's window", [&] {
             return Got(c.windows->FindWindowSW(&desktopFolder, &noRoot, SWC_DESKTOP, &window,
                                                SWFO_NEEDDISPATCH, &c.desktop), c.desktop);
         }},
        {"its service provider", [&] {
             return Got(c.desktop->QueryInterface(IID_IServiceProvider, (void**)&c.provider),
                        c.provider);
         }},
        {"its browser", [&] {
             return Got(c.provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                                 (void**)&c.browser), c.browser);
         }},
        {"its active view", [&] { return Got(c.browser->QueryActiveShellView(&c.view), c.view); }},
        {"the view's background", [&] {
             return Got(c.view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch,
                                              (void**)&c.background), c.background);
         }},
        {"the background's folder view", [&] {
             return Got(c.background->QueryInterface(IID_IShellFolderViewDual,
                                                      (void**)&c.folderView), c.folderView);
         }},
        {"the shell's dispatch object", [&] {
             return Got(c.folderView->get_Application(&c.application), c.application);
         }},
        {"its IShellDispatch2", [&] {
             return Got(c.application->QueryInterface(IID_IShellDispatch2, (void**)&c.shell),
                        c.shell);
         }},
    };
    for (const auto& step : steps) {
        const HRESULT result = step.ask();
        if (result != S_OK) {
            return std::string(step.what) + ": " + HresultText(result);
        }
    }
    return "";
}

static void ReleaseChain(ExplorerChain& c)
{
    IUnknown* const objects[] = {c.shell, c.application, c.folderView, c.background, c.view,
                                 c.browser, c.provider, c.desktop, c.windows, c.factory};
    for (IUnknown* object : objects) {
        if (object != NULL) {
            object->Release();
        }
    }
}

// The step Explorer refused, if any, as the worker that asked it found.
struct ExplorerQuestion {
    std::string refused;
};

// The tool's questions to the desktop's Explorer, in an apartment of its own.
static DWORD WINAPI AskExplorer(void* question)
{
    HRESULT initialised = CoInitialize(NULL);
    ExplorerChain chain = {};
    static_cast<ExplorerQuestion*>(question)->refused = WalkExplorer(chain);
    ReleaseChain(chain);
    if (SUCCEEDED(initialised)) {
        CoUninitialize();
    }
    return 0;
}

std::string ExplorerAnswer()
{
    ExplorerQuestion* question = new ExplorerQuestion();
    HANDLE worker = CreateThread(NULL, 0, AskExplorer, question, 0, NULL);
    const DWORD error = GetLastError();
    const bool ended =
        worker != NULL && WaitForSingleObject(worker, kExplorerProbeMilliseconds) == WAIT_OBJECT_0;
    if (worker != NULL) {
        CloseHandle(worker);
    }
    // A worker that has not ended may still write to it, so it keeps it.
    if (worker != NULL && !ended) {
        return kExplorerSilent;
    }
    const std::string answer = worker == NULL
        ? "no thread to ask from (error " + std::to_string(error) + ")" : question->refused;
    delete question;
    return answer;
}

// Wine's rpcrt4 can hang Explorer for good when an interface's last object there goes;
// one object of each held for the whole run keeps all of them registered.
static std::string gHoldResult;
static DWORD WINAPI HoldExplorer(void* walked)
{
    // Single-threaded: a multithreaded apartment would let threads the tests leave
    // uninitialised use COM. A failed CoInitialize fails the walk, which says so.
    CoInitialize(NULL);
    static ExplorerChain held;  // never released: the thread and its apartment stay too
    const HRESULT classObject =
        Got(CoGetClassObject(CLSID_ShellWindows, CLSCTX_LOCAL_SERVER, NULL, IID_IClassFactory,
                             (void**)&held.factory),
            held.factory);
    gHoldResult = classObject != S_OK
        ? "the shell windows' class object: " + HresultText(classObject) : WalkExplorer(held);
    SetEvent(walked);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

static machine::Failure StartHolding()
{
    HANDLE walked = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE holder = walked == NULL ? NULL : CreateThread(NULL, 0, HoldExplorer, walked, 0, NULL);
    const DWORD error = GetLastError();
    const DWORD waited =
        holder == NULL ? WAIT_FAILED : WaitForSingleObject(walked, kExplorerHoldMilliseconds);
    if (holder != NULL) {
        CloseHandle(holder);
    }
    // A holder that has not answered yet may still set it.
    if (walked != NULL && (holder == NULL || waited == WAIT_OBJECT_0)) {
        CloseHandle(walked);
    }
    if (holder == NULL) {
        return "the event or the thread that holds Explorer's objects was not made (error "
            + std::to_string(error) + ")";
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_TIMEOUT) {
        return "the wait for the thread that holds Explorer's objects failed";
    }
    if (waited == WAIT_TIMEOUT) {
        return "Explorer did not hand out its objects within "
            + std::to_string(kExplorerHoldMilliseconds / 1000) + " s";
    }
    return gHoldResult;
}

machine::Failure ExplorerHeld()
{
    static const machine::Failure outcome = StartHolding();
    return outcome;
}

void RepairRunTest::SetUp()
{
    if (!gStopReason.empty()) {
        GTEST_SKIP() << "not run: " << gStopReason;
    }
    HookReset();
    // As from an administrator's own elevated prompt with UAC on, whatever this machine's UAC.
    HookSetElevationType(TokenElevationTypeFull);
    ASSERT_EQ("", machine::CreateDirectories(machine::ScratchFolder()));
    const machine::Failure reset = machine::Reset();
    // A service held open stays so: every later test would fail the same way, unnamed.
    if (reset.find("marked for deletion") != std::string::npos) {
        gStopReason = "an earlier test found the scan service held open: " + reset;
    }
    ASSERT_EQ("", reset);
    ASSERT_EQ("", machine::InstallPackage(StandinsFolder()));
    // A user's desktop, as where a user runs the tool: Explorer's on Windows.
    ASSERT_EQ("", machine::StartShell(StandinsFolder()));
    // Wine's race only; on Windows no object may come before the tool's CoInitializeSecurity.
    if (machine::UnderWine()) {
        const machine::Failure held = ExplorerHeld();
        if (!held.empty()) {
            gStopReason = "the suite could not hold Wine's Explorer's objects: " + held;
        }
        ASSERT_EQ("", held);
    }
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

// A file of its own for each run: the programs a run starts keep the standard handles the
// tool had, and so the file, open until they end.
static std::wstring RunOutputFile()
{
    static int runs = 0;
    return machine::ScratchFolder() + L"\\run-" + std::to_wstring(++runs)
        + L".out";
}

// The entry point with file descriptor 1 sent to a file.
static RunRecord RunEntryPoint(const std::wstring& outputFile)
{
    fflush(stdout);
    int saved = _dup(1);
    int file = _wopen(outputFile.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE);
    _dup2(file, 1);
    _close(file);
    RunRecord record = {};
    record.exitCode = static_cast<DWORD>(wmain(0, nullptr));
    fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    HookSettle();
    record.output = machine::ReadTextFile(outputFile);
    record.paused = EventsStartingWith(L"_wspawnv").size() == 1;
    return record;
}

std::wstring ToolPath()
{
    wchar_t tool[MAX_PATH] = {};
    GetEnvironmentVariableW(L"SCARVEL_TOOL", tool, MAX_PATH);
    return tool;
}

// This process's environment block, without COMSPEC, and with it naming `comspec` if given.
static std::wstring EnvironmentWith(const std::wstring& comspec)
{
    std::wstring block;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"COMSPEC=", 8) != 0) {
            block.append(entry, wcslen(entry) + 1);
        }
    }
    FreeEnvironmentStringsW(strings);
    return comspec.empty() ? block : block + L"COMSPEC=" + comspec + L'\0';
}

// A built program started as a script starts it: its input empty, its output (and its
// errors, into `errorFile` where one is named) to files; its exit code, STILL_ACTIVE when it
// did not start or end in time.
static DWORD RunRedirected(const std::wstring& program, const std::wstring& outputFile,
                           const std::wstring& errorFile, std::wstring environment,
                           const std::wstring& directory, const std::wstring& arguments = L"")
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherited, OPEN_EXISTING, 0, NULL);
    HANDLE output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                CREATE_ALWAYS, 0, NULL);
    HANDLE errors = errorFile.empty()
        ? INVALID_HANDLE_VALUE
        : CreateFileW(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                      CREATE_ALWAYS, 0, NULL);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errorFile.empty() ? output : errors;
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" ")
        + arguments;
    DWORD exitCode = STILL_ACTIVE;
    if (machine::StartProcess(program.c_str(), commandLine, TRUE,
                              environment.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT,
                              environment.empty() ? NULL : &environment[0],
                              directory.empty() ? NULL : directory.c_str(), &startup, &info)) {
        WaitForSingleObject(info.hProcess, kRunMilliseconds);
        GetExitCodeProcess(info.hProcess, &exitCode);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    for (HANDLE handle : {input, output, errors}) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    return exitCode;
}

// Wine's debugger on every thread of every process: where a stuck Explorer waits, and on
// what. The 64-bit one where there is one: a 32-bit one under WoW64 starts that one itself,
// which does not keep the redirected output.
static std::string WineBacktraces()
{
    const std::wstring windows = machine::WindowsDirectory();
    std::wstring debugger = windows + L"\\Sysnative\\winedbg.exe";
    if (!machine::FileExists(debugger)) {
        debugger = windows + L"\\System32\\winedbg.exe";
    }
    const std::wstring output = machine::ScratchFolder() + L"\\backtraces.txt";
    const DWORD exitCode =
        RunRedirected(debugger, output, L"", L"", L"", L"--command \"bt all\"");
    const std::string text = machine::ReadTextFile(output);
    DeleteFileW(output.c_str());
    return text + (exitCode == STILL_ACTIVE ? "(winedbg had not ended: what it wrote so far)"
                                            : "(winedbg ended with " + std::to_string(exitCode) + ")");
}

// After a failed test under Wine: whether Explorer gives the tool's questions no answer, and
// then the later tests stop and every thread shows where it waits. A refusal is only printed.
static bool ExplorerFoundSilent()
{
    const std::string answer = ExplorerAnswer();
    if (answer.empty()) {
        return false;
    }
    if (answer != kExplorerSilent) {
        printf("suite: Wine's explorer.exe answered the tool's questions but refused %s\n",
               answer.c_str());
        return false;
    }
    // The first reason stands: a hold that failed is why Explorer may answer no more.
    if (gStopReason.empty()) {
        gStopReason = "an earlier test found Wine's explorer.exe no longer answering";
    }
    ADD_FAILURE() << "Wine's explorer.exe gave the tool's questions " << kExplorerSilent
                  << ", so the later tests stop here; the machine's processes:"
                  << machine::ProcessTable() << "\nWine's debugger on each of their threads:\n"
                  << WineBacktraces();
    return true;
}

void RepairRunTest::TearDown()
{
    // A test not run changed nothing.
    if (IsSkipped() && !gStopReason.empty()) {
        return;
    }
    // What the tool asked of Windows, for a failure that only a loaded machine shows.
    if (HasFailure()) {
        for (const std::wstring& event : EventsStartingWith()) {
            printf("  event: %s\n", Narrow(event).c_str());
        }
    }
    // Wine's Explorer serves every start from one desktop thread: once that thread is stuck,
    // each later test would wait out the tool's deadline until the suite's own ran out.
    const bool explorerStuck = HasFailure() && machine::UnderWine() && ExplorerFoundSilent();
    HookReset();
    const machine::Failure reset = machine::Reset();
    EXPECT_EQ("", reset);
    // Whether it was held by a program it started, which the reset has ended.
    if (explorerStuck && reset.empty()) {
        printf("suite: with the stand-ins ended, Wine's explorer.exe %s\n",
               ExplorerAnswer().empty() ? "answers again" : "still does not answer");
    }
}

static RunRecord RunProgram(const std::wstring& outputFile, const ProgramStart& start)
{
    const std::wstring tool = start.program.empty() ? ToolPath() : start.program;
    RunRecord record = {};
    // Empty environment: this process's own, inherited.
    record.exitCode = RunRedirected(tool, outputFile, L"",
                                    start.ownComspec ? EnvironmentWith(start.comspec) : L"",
                                    start.directory);
    // The tool's text comes first, then whatever the pause's prompt is.
    record.output = machine::ReadTextFile(outputFile);
    const size_t textEnd = record.output.rfind(kMessageEnd);
    const size_t promptStart = textEnd == std::string::npos ? 0 : textEnd + sizeof kMessageEnd - 1;
    record.paused = promptStart < record.output.size();
    record.output.erase(promptStart);
    return record;
}

RunRecord RunWith(Runner runner, const ProgramStart& start)
{
    const std::wstring outputFile = RunOutputFile();
    RunRecord record = runner == kEntryPoint ? RunEntryPoint(outputFile)
                                             : RunProgram(outputFile, start);
    DeleteFileW(outputFile.c_str());
    record.after = machine::TakeSnapshot();
    return record;
}

std::wstring CheckPath()
{
    const std::wstring tool = ToolPath();
    return tool.substr(0, tool.rfind(L'\\') + 1) + L"ScarvelCheck.exe";
}

std::string CheckLine(const std::string& verdict)
{
    return Narrow(names::kProductName) + ": " + verdict + "\r\n";
}

// RunCheck with file descriptors 1 and 2 sent to files of their own.
static CheckRecord CheckEntryPoint(const std::wstring& outputFile, const std::wstring& errorFile)
{
    fflush(stdout);
    fflush(stderr);
    const int saved[] = {_dup(1), _dup(2)};
    const std::wstring files[] = {outputFile, errorFile};
    for (int fd = 1; fd <= 2; ++fd) {
        int file = _wopen(files[fd - 1].c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC,
                          _S_IREAD | _S_IWRITE);
        _dup2(file, fd);
        _close(file);
    }
    CheckRecord record = {};
    record.exitCode = static_cast<DWORD>(RunCheck());
    fflush(stdout);
    fflush(stderr);
    for (int fd = 1; fd <= 2; ++fd) {
        _dup2(saved[fd - 1], fd);
        _close(saved[fd - 1]);
    }
    return record;
}

static CheckRecord CheckProgram(const std::wstring& outputFile, const std::wstring& errorFile)
{
    CheckRecord record = {};
    record.exitCode = RunRedirected(CheckPath(), outputFile, errorFile, L"", L"");
    return record;
}

CheckRecord CheckWith(Runner runner, bool snapshot)
{
    const std::wstring outputFile = RunOutputFile();
    const std::wstring errorFile = outputFile + L".err";
    CheckRecord record = runner == kEntryPoint ? CheckEntryPoint(outputFile, errorFile)
                                               : CheckProgram(outputFile, errorFile);
    record.output = machine::ReadTextFile(outputFile);
    record.errors = machine::ReadTextFile(errorFile);
    DeleteFileW(outputFile.c_str());
    DeleteFileW(errorFile.c_str());
    if (snapshot) {
        record.after = machine::TakeSnapshot();
    }
    return record;
}
