// Stand-in for the driver package's background programs (monitor, panel launcher, error
// guide). It appends the command line it was started with, one UTF-8 line, to its ".cmdline"
// record, writes what its token says of it to its ".token" record (tests/support/records.h),
// then waits until it is killed. When "<its own path>.exit" exists it exits right after
// recording, like a program that dies at once.
#include <windows.h>

#include "tests/support/records.h"
#include "tests/support/token_record.h"

static void AppendUtf8Line(const wchar_t* path, const wchar_t* text)
{
    char bytes[4096];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes - 1, NULL, NULL);
    if (length <= 0) {
        return;
    }
    bytes[length - 1] = '\n';
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

extern "C" int wmain(int, wchar_t**)
{
    wchar_t self[MAX_PATH + 16] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    wchar_t record[kRecordPathUnits];
    if (RecordPath(self, kCommandLineRecord, record)) {
        AppendUtf8Line(record, GetCommandLineW());
    }
    if (RecordPath(self, kTokenRecord, record)) {
        WriteTokenRecord(record);
    }
    lstrcatW(self, kExitFile);
    if (GetFileAttributesW(self) != INVALID_FILE_ATTRIBUTES) {
        return 0;
    }
    Sleep(INFINITE);
    return 0;
}
