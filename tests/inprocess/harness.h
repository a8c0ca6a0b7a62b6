// What every in-process test shares: a machine reset to "everything to repair" with the
// stand-in package installed, hooks reset to real behaviour (the final pause aside), and
// readable views of what the run printed and called.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/check.h"
#include "repair/operations.h"
#include "tests/inprocess/hook_control.h"
#include "tests/support/machine.h"

// The program's entry point, hooked like the rest of the tool.
extern "C" int wmain(int argc, wchar_t** argv);

using Events = std::vector<std::wstring>;
using Labels = std::vector<std::string>;
using machine::Narrow;

// The messages the run printed, by their labels in tests/support/messages.txt.
Labels PrintedLabels();
// The bytes a redirected run writes for these messages: code page 936, CR LF.
std::string ExpectedOutput(const Labels& labels);
// Passes when `output` is exactly those bytes; otherwise shows both decoded, by message.
::testing::AssertionResult OutputIs(const std::string& output, const Labels& labels);
// The calls the hooks logged, in order: those that start with `prefix` (all for ""), those
// before the first one that does, or those after the last one that does.
Events EventsStartingWith(const std::wstring& prefix = L"");
Events EventsBefore(const std::wstring& prefix);
Events EventsAfterLast(const std::wstring& prefix);
// Passes when no call starts with `prefix`; otherwise names the calls that did.
::testing::AssertionResult NoCalls(const std::wstring& prefix);

// The final pause as the hooks log it, on Windows `major`.`minor` (0: the one running):
// whether anyone sees the tool, then System32's command interpreter, by its full path.
Events PauseCalls(DWORD major = 0, DWORD minor = 0);
// How the tool asks ntdll which Windows it is, told `major`.`minor`.
Events VersionCalls(DWORD major, DWORD minor);

// Each background program, by the token its stand-in recorded: the suite's own user and
// session, never a full token, and at medium integrity where the suite's is the full one of
// a split pair.
void ExpectProgramsRunAsTheUser(const machine::TokenRecord& own);

enum Runner : int;
// A skip where the desktop's Explorer cannot start the programs for the suite as a test
// expects: another user's Explorer (credentials of another administrator at the UAC prompt),
// or, for the built program, a token that is no full one of a split pair (UAC off). "" under
// Wine, and wherever it can; the entry point is always told it has a full token of a pair.
machine::Failure ProgramsStartHere(Runner runner);
// Skips the test that calls it where ProgramsStartHere(runner) gives a skip.
#define SKIP_UNLESS_PROGRAMS_START_HERE(runner)                       \
    do {                                                              \
        const machine::Failure startHere = ProgramsStartHere(runner); \
        if (machine::IsSkip(startHere)) {                             \
            GTEST_SKIP() << startHere;                                \
        }                                                             \
    } while (0)
// The desktop's Explorer asked as the tool asks it, on its way to ShellExecute: "" where it
// hands out each object, kExplorerSilent where it gives no answer within 10 s (the worker
// it holds is left to end with this process, as the tool leaves one), else the step it
// refused and how.
extern const char kExplorerSilent[];
std::string ExplorerAnswer();
// Under Wine, one of each of those objects held from the first call to the end of the run,
// by a thread of its own: "" once held, else why not.
machine::Failure ExplorerHeld();
// The shortcut the tool writes to `target`: the shell's defaults for all but the target.
machine::Shortcut WrittenShortcut(const std::wstring& target);

// Where the stand-in package comes from (SCARVEL_STANDINS).
std::wstring StandinsFolder();

// A whole run, by either runner: the entry point in this process (hooked), or the built
// program (SCARVEL_TOOL) started as a user starts it, its input empty, its output to a file.
enum Runner : int { kEntryPoint, kProgram };
struct RunRecord {
    std::string output;  // the tool's own text, the pause's prompt aside
    bool paused;         // the pause ran: logged by its hook, or a prompt written after the text
    DWORD exitCode;
    machine::Snapshot after;
};
// How the program runner starts it: by default the built program, from here, in this
// process's environment.
struct ProgramStart {
    std::wstring program;    // a copy of it elsewhere
    std::wstring directory;  // its current directory
    bool ownComspec;         // its environment's COMSPEC is `comspec`, left out when empty
    std::wstring comspec;
};
RunRecord RunWith(Runner runner, const ProgramStart& start = ProgramStart());
// The built program (SCARVEL_TOOL).
std::wstring ToolPath();

// A run of the check by either runner: RunCheck in this process (hooked), or the built
// ScarvelCheck.exe beside the tool, its input empty, its output and error output to files.
struct CheckRecord {
    std::string output;  // what it wrote to standard output
    std::string errors;  // and to standard error
    DWORD exitCode;
    machine::Snapshot after;  // taken only when asked for
};
CheckRecord CheckWith(Runner runner, bool snapshot = false);
// The built check (ScarvelCheck.exe, beside SCARVEL_TOOL).
std::wstring CheckPath();
// The line the check writes, as a file receives it: the product's name, `verdict`, CR LF.
std::string CheckLine(const std::string& verdict);

class RepairRunTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The machine as the package's installer leaves it, less what `healthy` takes away.
    void MakeHealthy(machine::Healthy healthy = machine::Healthy());
    void RunTool();
};
