// Fixed names and relative paths of the "Scarvel (TWAIN)" driver package, and the
// composition of its full paths and command lines.
#pragma once
#include <windows.h>

// Every path and command line of the run lives in a buffer of this many UTF-16 units.
#define PATH_UNITS MAX_PATH

static const wchar_t kProductName[] = L"Scarvel (TWAIN)";
static const wchar_t kTwainFolder[] = L"twain_32";
static const wchar_t kMonitorProgram[] = L"Norvale\\NVMONSTA.exe";
static const wchar_t kServiceProgram[] = L"Norvale\\NVSCNSVC.exe";
static const wchar_t kPanelProgram[] = L"tessmar32\\QOV\\Kestrun.exe";
static const wchar_t kGuideProgram[] = L"tessmar32\\KLD\\Haldrix.exe";

static const wchar_t kRunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
static const wchar_t kMonitorValueName[] = L"Velmora Setup";
static const wchar_t kPanelValueName[] = L"Kestrun_setup";

static const wchar_t kServiceName[] = L"NVSCNSVC";

static const wchar_t kMonitorProcess[] = L"NVMONSTA.exe";
static const wchar_t kPanelProcess[] = L"Kestrun.exe";
static const wchar_t kGuideProcess[] = L"Haldrix.exe";

static const wchar_t kShortcutFile[] = L"Faultwise Companion.lnk";

// Writes the TWAIN directory and the four program paths, each into its own buffer of
// PATH_UNITS. Returns 1 when all of them are complete absolute paths, 0 otherwise
// (the buffers are then not to be used).
int ComposePackagePaths(wchar_t* twainDir, wchar_t* monitorPath, wchar_t* servicePath,
                        wchar_t* panelPath, wchar_t* guidePath);

// Writes the monitor's command line: its program path, one space and "/Station".
// Returns 1 when it fits a buffer of PATH_UNITS, 0 (and an empty buffer) otherwise.
int FormatMonitorCommandLine(wchar_t* dest, const wchar_t* monitorPath);

// Writes a program path as a command line or binary path would hold it: quoted when it
// contains a space, so that Windows cannot run a shorter prefix of it. Returns 1 when it
// fits a buffer of PATH_UNITS, 0 (and an empty buffer) otherwise.
int QuoteProgramPath(wchar_t* dest, const wchar_t* path);
