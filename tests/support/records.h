// What the stand-ins record, and where. A stand-in may run with the user's own token, which
// may not write under the Windows folder: its records go to a folder of the suite's that the
// user's token may write (the machine library makes it), one file per program and record,
// named for the program's folder and file. The orders it takes stand beside the program,
// where only the suite writes.
#pragma once
#include <windows.h>
#include <shlobj.h>

// Records: a background program's command line, one line per start; the service's starts,
// one behaviour word each; what a program's token says of it (tests/support/token_record.h);
// what the program the service ran wrote, and how it ended.
static const wchar_t kCommandLineRecord[] = L".cmdline";
static const wchar_t kStartsRecord[] = L".starts";
static const wchar_t kTokenRecord[] = L".token";
static const wchar_t kToolOutput[] = L".tool-output";
static const wchar_t kToolExit[] = L".tool-exit";
// Orders beside the program: the service's behaviour, a program's order to end at once after
// recording, the program the service is to run (its path).
static const wchar_t kBehaviourFile[] = L".behaviour";
static const wchar_t kExitFile[] = L".exit";
static const wchar_t kToolFile[] = L".tool";

// The folder of the records, under the machine's shared application data.
static const wchar_t kRecordsFolder[] = L"\\ScarvelRepairSuite\\records";
// Room for a record's path.
static const DWORD kRecordPathUnits = 2 * MAX_PATH;

// The path of `program`'s `record` into `path` (kRecordPathUnits); 0 when it has none.
static inline int RecordPath(const wchar_t* program, const wchar_t* record, wchar_t* path)
{
    wchar_t shared[MAX_PATH] = {};
    const wchar_t* file = program;
    const wchar_t* folder = program;
    for (const wchar_t* at = program; *at != L'\0'; ++at) {
        if (*at == L'\\') {
            folder = file;
            file = at + 1;
        }
    }
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_COMMON_APPDATA, NULL, 0, shared)) || folder == file
        || lstrlenW(shared) + lstrlenW(folder) + lstrlenW(record) + 32 > (int)kRecordPathUnits) {
        return 0;
    }
    lstrcpyW(path, shared);
    lstrcatW(path, kRecordsFolder);
    lstrcatW(path, L"\\");
    const int prefix = lstrlenW(path);
    lstrcpynW(path + prefix, folder, (int)(file - folder));
    path[prefix + (file - folder) - 1] = L'-';
    lstrcpyW(path + prefix + (file - folder), file);
    lstrcatW(path, record);
    return 1;
}
