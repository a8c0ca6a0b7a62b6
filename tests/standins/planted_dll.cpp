// A DLL that somebody dropped beside the repair tool in a download folder, under the name of
// a system DLL that the shell loads by name. Its code must never run in the tool: when it
// is loaded, it records the loading program's path in "<its own path>.ran".
#include <windows.h>

static void RecordLoad(HINSTANCE self)
{
    wchar_t record[MAX_PATH + 8] = {};
    GetModuleFileNameW(self, record, MAX_PATH);
    lstrcatW(record, L".ran");
    wchar_t loader[MAX_PATH] = {};
    DWORD units = GetModuleFileNameW(NULL, loader, MAX_PATH);
    HANDLE file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, loader, units * sizeof(wchar_t), &written, NULL);
    CloseHandle(file);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        RecordLoad(self);
    }
    return TRUE;
}
