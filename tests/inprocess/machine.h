// The machine as the tests set it up and read it back, through the real Windows API (the
// test files are not renamed to hooks). The stand-in package comes from the folder named
// by SCARVEL_STANDINS.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace machine {

std::wstring WindowsDirectory();
std::wstring TwainDirectory(const std::wstring& windowsDirectory = WindowsDirectory());
std::wstring MonitorPath(const std::wstring& windowsDirectory = WindowsDirectory());
std::wstring ServicePath(const std::wstring& windowsDirectory = WindowsDirectory());
std::wstring PanelPath(const std::wstring& windowsDirectory = WindowsDirectory());
std::wstring GuidePath(const std::wstring& windowsDirectory = WindowsDirectory());
std::wstring ShortcutPath();

// Copies the stand-in programs and service under <windowsDirectory>\twain_32.
void InstallPackage(const std::wstring& windowsDirectory = WindowsDirectory());
void CreateDirectories(const std::wstring& path);
void WriteTextFile(const std::wstring& path, const std::string& bytes);
std::string ReadTextFile(const std::wstring& path);
bool FileExists(const std::wstring& path);

// Kills the stand-ins, removes the service, both autostart values, the shortcut and the
// recorded command lines: the state in which every stage has something to repair.
void Reset(const std::wstring& windowsDirectory = WindowsDirectory());

struct RegistryValue {
    bool exists = false;
    DWORD type = 0;
    std::vector<BYTE> bytes;
    std::wstring Text() const;
};
RegistryValue ReadRunValue(const wchar_t* name);
void WriteRunValue(const wchar_t* name, const std::wstring& text);
void DeleteRunValue(const wchar_t* name);

struct ServiceConfig {
    bool exists = false;
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring binaryPath;
    std::wstring account;
    std::wstring displayName;
    DWORD state = 0;
};
// Installs the scan service with the stand-in binary and the given start type; the
// stand-in's start-up follows `behaviour` (instant, slow, stuck or stop).
void InstallService(DWORD startType, const char* behaviour = "instant",
                    const std::wstring& binaryPath = ServicePath());
void StartServiceAndWaitRunning();
void DeleteScanService();
ServiceConfig ReadService();

void StartProgram(const std::wstring& path, const std::wstring& commandLine);
int CountProcesses(const wchar_t* name);  // exact, case-sensitive file name
void KillProcesses(const wchar_t* name);  // any letter case
// Lines the stand-in at `programPath` recorded, one per start, once there are `atLeast`
// of them or a second has passed: a program just launched records its line a little later.
std::vector<std::wstring> RecordedCommandLines(const std::wstring& programPath, size_t atLeast = 0);

std::wstring ReadShortcutTarget(const std::wstring& linkPath);

}  // namespace machine
