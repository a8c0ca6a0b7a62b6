// Entry point of ScarvelRepair.exe. No argument is read; the exit status is always 0.
#include "repair/operations.h"

typedef BOOL(WINAPI* SetDefaultDllDirectoriesProc)(DWORD directoryFlags);

// Elevated, and often started from a download folder: a DLL loaded by name must come from
// System32, never from the program's folder. Looked up at run time, as XP, Vista and 7
// without its update lack it; there, at least the current directory leaves the search.
static void RestrictDllSearch(void)
{
    FARPROC address =
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (address != NULL) {
        reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void*>(address))(
            LOAD_LIBRARY_SEARCH_SYSTEM32);
        return;
    }
    SetDllDirectoryW(L"");
}

extern "C" int wmain(int, wchar_t**)
{
    RestrictDllSearch();
    return RunRepair();
}
