// Starting a program the way the user's own desktop Explorer starts what the user opens:
// the program then has Explorer's token, environment and security, the user's own and not
// elevated, as after a logon.
#pragma once
#include <windows.h>

// How long a call into Explorer may hold the run, and how long a program Explorer was asked
// to start may take to appear in the process list.
static const DWORD kExplorerCallMilliseconds = 10000;
static const DWORD kExplorerStartMilliseconds = 5000;

// 1 when this session's desktop Explorer runs as the tool's own user and accepted
// `commandLine` (a program path, quoted when it holds a space, then its arguments); 0
// otherwise. Explorer is asked on a thread of its own, so that a hung Explorer costs the
// run kExplorerCallMilliseconds at most; `workerLeft` is set when that thread is left
// waiting on Explorer.
int StartThroughExplorer(const wchar_t* commandLine, int* workerLeft);
