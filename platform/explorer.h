// Starting a program the way the user's own desktop Explorer starts what the user opens:
// the program then has Explorer's token, environment and security, the user's own and not
// elevated, as after a logon.
#pragma once
#include <windows.h>

// One bound for each program Explorer is asked to start: the call into Explorer and the
// program's appearance in the process list together. Right after a logon on a PC with a
// hard disk, or while Explorer shows its warning for a downloaded file, either part alone
// can take many seconds; IShellDispatch2::ShellExecute gives no process to wait on.
static const DWORD kExplorerDeadlineMilliseconds = 20000;

// 1 when this session's desktop Explorer, whichever account runs it, accepted `commandLine`
// (a program path, quoted when it holds a space, then its arguments); 0 otherwise. Explorer
// is asked on a thread of its own, so that a hung Explorer costs the run
// kExplorerDeadlineMilliseconds at most; `workerLeft` is set when that thread is left
// waiting on Explorer.
int StartThroughExplorer(const wchar_t* commandLine, int* workerLeft);

// Sets the process's COM security before the first object is made or received: 1 when it
// is the tool's own (set now, or already), 0 when it could not be set.
int SecureComForProcess(void);
