// Asks WinVerifyTrust about each file named on the command line with the Authenticode
// policy (WINTRUST_ACTION_GENERIC_VERIFY_V2, no UI, no revocation check), and prints
// one line per file: the result in hexadecimal, a space, the path.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>
#include <stdio.h>

static LONG VerifyFile(const wchar_t* path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

extern "C" int wmain(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i) {
        wprintf(L"%08lx %ls\n", static_cast<unsigned long>(VerifyFile(argv[i])), argv[i]);
    }
    return argc > 1 ? 0 : 2;
}
