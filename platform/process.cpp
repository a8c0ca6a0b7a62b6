#include "repair/operations.h"

#include <string.h>
#include <wchar.h>

#include "platform/explorer.h"
#include "platform/session.h"
#include "platform/system_calls.h"

#ifndef _WIN64
// The record's size is what Windows expects from a 32-bit caller in cb.
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFOW is not 68 bytes");
#endif

// How often the process list is read while a program Explorer was asked to start appears.
static const DWORD kStartPollMilliseconds = 100;
// The interactive desktop, where a logon starts the user's programs.
static const wchar_t kUserDesktop[] = L"winsta0\\default";

// LocalSystem starts the programs as the user of the console session, or of the one active
// session where nobody is at the console (a PC reached over Remote Desktop).
static LaunchWay ChooseSessionUser(ProgramLauncher* launcher)
{
    const ProgramsUser* programs = &launcher->programs;
    return programs->users == kUserSessionFound
            && QueryUserToken(programs->session, &launcher->userToken)
        ? kLaunchAsUser
        : kLaunchRefused;
}

// A token that is not split starts them itself where the desktop's shell is its own user's
// (UAC off); where the shell is another account's (an administrator's password typed for a
// standard user), that shell's Explorer starts them, as that user. With no shell running
// yet, only where the tool's account is the one logged on here.
static LaunchWay ChooseOwnToken(PSID user)
{
    GetShellWindowCall getShellWindow = LOOK_UP(GetShellWindow);
    HWND shell = getShellWindow != NULL ? getShellWindow() : NULL;
    if (shell == NULL) {
        return IsOwnSessionsUser(user) ? kLaunchOwnToken : kLaunchRefused;
    }
    return IsWindowOfUser(shell, user) ? kLaunchOwnToken : kLaunchThroughExplorer;
}

// Records whether the tool runs in a job, and the flag that takes a program it starts out of
// that job: none outside a job, or where the job lets its children leave silently. 0 when
// the job keeps them, or cannot be read.
static int ReadJobBreakaway(ProgramLauncher* launcher)
{
    BOOL inJob = FALSE;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job = {};
    if (!IsProcessInJob(GetCurrentProcess(), NULL, &inJob)
        || (inJob && !QueryInformationJobObject(NULL, JobObjectExtendedLimitInformation, &job,
                                                sizeof job, NULL))) {
        return 0;
    }
    DWORD limits = job.BasicLimitInformation.LimitFlags;
    launcher->inJob = inJob;
    if (!inJob || (limits & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0) {
        return 1;
    }
    launcher->jobFlags = CREATE_BREAKAWAY_FROM_JOB;
    return (limits & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0;
}

// Decided once, at the first missing program: whose rights the programs run with, if anyone's.
// Another account where nobody sees (a deployment tool's, a scheduled task's) would run
// them hidden, as that account: it starts none.
static LaunchWay ChooseLaunchWay(ProgramLauncher* launcher)
{
    const ProgramsUser* programs = &launcher->programs;
    PSID sid = reinterpret_cast<const TOKEN_USER*>(programs->user)->User.Sid;
    LaunchWay way = programs->place == kPlaceSystem ? ChooseSessionUser(launcher)
        : programs->place != kPlaceDesktop          ? kLaunchRefused
        : programs->splitElevated                   ? kLaunchThroughExplorer
                                                    : ChooseOwnToken(sid);
    // A program the tool starts itself must not stay in, or end with, the tool's job.
    if ((way == kLaunchOwnToken || way == kLaunchAsUser) && !ReadJobBreakaway(launcher)) {
        return kLaunchRefused;
    }
    return way;
}

// As a logon starts it: the user's token, the user's environment, the user's desktop.
static int LaunchAsUser(const ProgramLauncher* launcher, DWORD flags, wchar_t* commandLine,
                        PROCESS_INFORMATION* info)
{
    HMODULE userenv = LoadSystemLibrary(L"userenv.dll");
    CreateEnvironmentBlockCall createBlock = LOOK_UP_IN(userenv, CreateEnvironmentBlock);
    DestroyEnvironmentBlockCall destroyBlock = LOOK_UP_IN(userenv, DestroyEnvironmentBlock);
    void* environment = NULL;
    int launched = 0;
    if (createBlock != NULL && destroyBlock != NULL
        && createBlock(&environment, launcher->userToken, FALSE)) {
        wchar_t desktop[sizeof kUserDesktop / sizeof kUserDesktop[0]];
        memcpy(desktop, kUserDesktop, sizeof desktop);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.lpDesktop = desktop;
        launched = CreateProcessAsUserW(launcher->userToken, NULL, commandLine, NULL, NULL, FALSE,
                                        CREATE_UNICODE_ENVIRONMENT | flags,
                                        environment, NULL, &startup, info);
        destroyBlock(environment);
    }
    if (userenv != NULL) {
        FreeLibrary(userenv);
    }
    return launched;
}

// A program started out of the tool's job runs only when no job kept it: Windows 8 and later
// nest jobs, and one further up may keep what the tool's own let go.
static int RunOutsideJobs(const ProgramLauncher* launcher, const PROCESS_INFORMATION* info)
{
    BOOL inJob = FALSE;
    if (launcher->inJob && (!IsProcessInJob(info->hProcess, NULL, &inJob) || inJob)) {
        TerminateProcess(info->hProcess, 1);
        return 0;
    }
    if (launcher->inJob) {
        ResumeThread(info->hThread);
    }
    return 1;
}

// The tool's own start of a program: with the user's token, or with the tool's own.
static int LaunchProgram(const ProgramLauncher* launcher, wchar_t* commandLine)
{
    PROCESS_INFORMATION info = {};
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    const DWORD flags = launcher->jobFlags | (launcher->inJob ? CREATE_SUSPENDED : 0);
    int launched = launcher->way == kLaunchAsUser
        ? LaunchAsUser(launcher, flags, commandLine, &info)
        : CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, flags, NULL, NULL, &startup,
                         &info);
    if (launched) {
        launched = RunOutsideJobs(launcher, &info);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    return launched;
}

// Explorer returns before the program exists: the process list is read until the user's
// copy appears or the one deadline passes, and once more before the run gives up.
static int StartThroughExplorerAndWait(const wchar_t* name, wchar_t* commandLine,
                                       ProgramLauncher* launcher)
{
    const DWORD start = GetTickCount();
    const int asked = StartThroughExplorer(commandLine, &launcher->workerLeft);
    while (asked && GetTickCount() - start < kExplorerDeadlineMilliseconds) {
        if (FindProcessByName(name, &launcher->programs) != 0) {
            return 1;
        }
        Sleep(kStartPollMilliseconds);
    }
    return FindProcessByName(name, &launcher->programs) != 0;
}

int EnsureProcessRunning(const wchar_t* name, wchar_t* commandLine, ProgramLauncher* launcher)
{
    if (!launcher->programs.read) {
        ReadProgramsUser(&launcher->programs);
    }
    if (IsProgramRunning(name, &launcher->programs)) {
        return 1;
    }
    if (launcher->way == kLaunchUnchosen) {
        launcher->way = ChooseLaunchWay(launcher);
    }
    switch (launcher->way) {
    case kLaunchThroughExplorer:
        return StartThroughExplorerAndWait(name, commandLine, launcher);
    case kLaunchOwnToken:
    case kLaunchAsUser:
        return LaunchProgram(launcher, commandLine)
            && FindProcessByName(name, &launcher->programs) != 0;
    default:
        return 0;
    }
}

void ReleaseProgramLauncher(ProgramLauncher* launcher)
{
    if (launcher->userToken != NULL) {
        CloseHandle(launcher->userToken);
        launcher->userToken = NULL;
    }
}
