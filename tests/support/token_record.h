// What a process records of its own token, for the checks that only Windows can give a
// meaning: "<elevation type> <integrity RID, hex> <session> <user SID>", one line.
// The stand-in program writes it when it starts; the machine library reads it back.
#pragma once
#include <windows.h>
#include <sddl.h>

#include "tests/support/records.h"

static void WriteTokenRecord(const wchar_t* path)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return;
    }
    DWORD size = 0;
    TOKEN_ELEVATION_TYPE elevation = (TOKEN_ELEVATION_TYPE)0;
    GetTokenInformation(token, TokenElevationType, &elevation, sizeof elevation, &size);
    DWORD label[64] = {};
    DWORD integrity = 0;
    if (GetTokenInformation(token, TokenIntegrityLevel, label, sizeof label, &size)) {
        PSID sid = ((TOKEN_MANDATORY_LABEL*)label)->Label.Sid;
        integrity = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
    }
    DWORD session = 0;
    GetTokenInformation(token, TokenSessionId, &session, sizeof session, &size);
    DWORD user[64] = {};
    wchar_t* sid = NULL;
    if (!GetTokenInformation(token, TokenUser, user, sizeof user, &size)
        || !ConvertSidToStringSidW(((TOKEN_USER*)user)->User.Sid, &sid)) {
        CloseHandle(token);
        return;
    }
    char line[256];
    int length = wsprintfA(line, "%lu %lx %lu %ls\n", (unsigned long)elevation,
                           (unsigned long)integrity, (unsigned long)session, sid);
    LocalFree(sid);
    CloseHandle(token);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, (DWORD)length, &written, NULL);
        CloseHandle(file);
    }
}
