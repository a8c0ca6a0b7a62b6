// The least any console tool that ends in a pause costs under Wine: the pause alone.
// Built with WITH_SHELL_FOLDER it also imports the repair tool's system DLLs and asks the
// shell for the common Startup folder, the one shell call the tool cannot do without, so
// that the tool's own work can be told from what loading the shell costs.
#include <stdlib.h>

#ifdef WITH_SHELL_FOLDER
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

// Referenced, never called: only their DLLs' loading is measured.
volatile int gNever = 0;
#endif

extern "C" int wmain(int, wchar_t**)
{
#ifdef WITH_SHELL_FOLDER
    wchar_t path[MAX_PATH] = {};
    SHGetSpecialFolderPathW(NULL, path, CSIDL_COMMON_STARTUP, FALSE);
    if (gNever) {
        PathFileExistsW(path);
        CoUninitialize();
        RegCloseKey(NULL);
    }
#endif
    _wsystem(L"pause");
    return 0;
}
