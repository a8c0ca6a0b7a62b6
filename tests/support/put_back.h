// What the suite may change on a machine, saved before its first test and put back after its
// last: the same code under Wine and on a real Windows. What was saved lives in a folder of
// its own until everything is back, so that a run that was cut off can be put back later.
#pragma once
#include <string>
#include <vector>

#include "tests/support/machine.h"

namespace machine {

// Files and folders the suite creates outside the package's own folders; none may exist
// before it starts, and each goes when it ends.
std::vector<std::wstring> ScratchPaths();

// Where what the suite changes is saved: a folder among the programs, which only
// administrators may write, at the same place whatever folder the suite was unpacked in.
std::wstring SavedFolder();

// Refuses (with its reason) where the package's folders, its service, a scratch path or the
// state of an earlier run are found; otherwise saves into `folder` what the suite changes:
// the Run key's values in each registry view, the user's AutoRun command, the shortcut.
// The folder appears whole or not at all, readable and writable by administrators alone.
Failure SaveMachine(const std::wstring& folder);

// Puts back what `folder` holds: ends the programs started from the suite's own folders or
// from one of `programs` (by file; this process and those `spared` says aside), then deletes
// the suite's services, writes back the saved values and shortcut, removes what it created,
// then `folder` itself. Each line of the result names something that could not be put back,
// and `folder` stays then.
Failure PutBackMachine(const std::wstring& folder, const std::vector<std::wstring>& programs,
                       bool (*spared)(DWORD processId));

}  // namespace machine
