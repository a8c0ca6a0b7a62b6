// The least any console tool that ends in a pause costs under Wine: the pause alone.
// Built with WITH_TOOL_IMPORTS it also loads the system DLLs the repair tool imports,
// which tells the cost of loading them from the cost of the tool's own work.
#include <stdlib.h>

#ifdef WITH_TOOL_IMPORTS
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

// Referenced, never called: the imports are what is measured.
volatile int gNever = 0;
#endif

extern "C" int wmain(int, wchar_t**)
{
#ifdef WITH_TOOL_IMPORTS
    if (gNever) {
        wchar_t path[MAX_PATH];
        SHGetSpecialFolderPathW(NULL, path, CSIDL_COMMON_STARTUP, FALSE);
        PathFileExistsW(path);
        CoUninitialize();
        RegCloseKey(NULL);
    }
#endif
    _wsystem(L"pause");
    return 0;
}
