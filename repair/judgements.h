// What counts as in place, for each stage the repair run checks: the repair tool acts on
// these judgements and ScarvelCheck.exe reports them, so that the two cannot drift apart.
#pragma once
#include <windows.h>

#include "package/layout.h"

// The package's paths and the command lines made from them, composed up front so that a
// path too long for its command line is found before anything is written or launched.
struct PackagePaths {
    wchar_t twainDir[PATH_UNITS];
    wchar_t monitorPath[PATH_UNITS];
    wchar_t servicePath[PATH_UNITS];
    wchar_t panelPath[PATH_UNITS];
    wchar_t guidePath[PATH_UNITS];
    wchar_t monitorCommandLine[PATH_UNITS];
    // A program path as a command line holds it, composed anew just before each use.
    wchar_t commandLine[PATH_UNITS];
};

// 1 when every path and command line fits its buffer; 0: the package is out of reach (E01).
int ComposeRunPaths(PackagePaths* paths);

// The package's four programs, in the order they are tested.
static const int kPackageFileCount = 4;
// 1 when the `index`-th program exists; `name`, where given, receives its package name.
int IsPackageFilePresent(const PackagePaths* paths, int index, const wchar_t** name);

// The machine-wide Run key, opened with `access` and no registry-view bit: a 32-bit program
// sees the 32-bit view, where the values live. 1 when open.
int OpenRunKey(REGSAM access, HKEY* key);
// Any failure of the query, access denied included, counts as a missing value.
int IsValuePresent(HKEY key, const wchar_t* name);

enum ServiceFound { kServiceOpened, kServiceNotInstalled, kServiceUnreachable };
// The scan service opened with `access` into `service` (NULL unless opened).
ServiceFound OpenScanService(SC_HANDLE manager, DWORD access, SC_HANDLE* service);
// 1 when the service's status could be read; `running` then says whether it runs.
int ReadServiceRunning(SC_HANDLE service, int* running);
// A status that cannot be read counts as a service that does not run.
int IsServiceRunning(SC_HANDLE service);

// 1 when the common Startup folder exists and holds nothing of the shortcut's name, file or
// folder; without that folder nothing is written, so nothing is missing. Both buffers are
// PATH_UNITS; `shortcutPath` receives the path to write.
int IsShortcutMissing(wchar_t* startupDir, wchar_t* shortcutPath);
