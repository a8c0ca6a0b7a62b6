// Stands in for ScarvelRepair.exe beside the unattended runner where the bed cannot bring
// a machine into a failure's state: it writes the bytes of "<its own path>.out" (a redirected
// run's text) to standard output, reads standard input to its end as the pause does, exits 0.
#include <windows.h>

extern "C" int wmain(int, wchar_t**)
{
    wchar_t path[MAX_PATH + 8] = {};
    GetModuleFileNameW(NULL, path, MAX_PATH);
    lstrcatW(path, L".out");
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    char buffer[4096];
    DWORD got = 0, written = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) {
        WriteFile(out, buffer, got, &written, NULL);
    }
    CloseHandle(file);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(in, buffer, sizeof buffer, &got, NULL) && got > 0) {
    }
    return 0;
}
