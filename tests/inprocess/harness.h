// What every in-process test shares: a machine reset to "everything to repair" with the
// stand-in package installed, a hook layer reset to real behaviour, and readable views
// of what the run printed and called.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "repair/operations.h"
#include "tests/inprocess/hook_control.h"
#include "tests/inprocess/machine.h"

// The program's entry point, hooked like the rest of the tool.
extern "C" int wmain(int argc, wchar_t** argv);

// The messages the run printed, by label: "checking", "startup-item", "service-missing",
// "service-disabled", "restart", "complete", or the code "E01" … "E08".
std::vector<std::string> PrintedLabels();
// The hook log from the first event that starts with `prefix` on (empty when none).
std::vector<std::wstring> EventsFrom(const std::wstring& prefix);
// Events that start with `prefix`, in order.
std::vector<std::wstring> EventsStartingWith(const std::wstring& prefix);
std::string Narrow(const std::wstring& text);

// The names of the three stand-in background programs, as the package names them.
extern const wchar_t* const kBackgroundProcesses[3];

class RepairRunTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Autostart values, a running automatic service, the shortcut and the three programs.
    void MakeHealthy();
    void StartBackgroundPrograms();
    void RunTool();
};
