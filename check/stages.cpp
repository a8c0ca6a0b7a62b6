// The check's reading of the stages: the repair run's own judgements (repair/judgements.h,
// IsProgramRunning), made with query rights only, every stage read whatever the others found.
// stdio.h first, as everywhere the tool formats text.
#include <stdio.h>

#include "check/check.h"
#include "package/layout.h"
#include "platform/session.h"
#include "repair/judgements.h"
#include "repair/operations.h"

enum FindingKind { kRepairNeeded, kUnreadable };

static const wchar_t* const kRunValues[] = {kMonitorValueName, kPanelValueName};
static const wchar_t* const kPrograms[] = {kMonitorProcess, kPanelProcess, kGuideProcess};

// The findings so far, "; " between them; never longer than a line can hold.
struct Findings {
    wchar_t text[kCheckLineChars + 1];
    int used;
    int repairs;
    int unreadable;
};

// A finding that lists names: "<code> <what>: a, b".
struct ListFinding {
    const wchar_t* code;
    const wchar_t* what;
    int items;
};

static void Append(Findings* findings, const wchar_t* text)
{
    for (; *text != L'\0' && findings->used < kCheckLineChars; ++text) {
        findings->text[findings->used++] = *text;
    }
    findings->text[findings->used] = L'\0';
}

static void AddFinding(Findings* findings, const wchar_t* code, const wchar_t* what,
                       FindingKind kind)
{
    if (findings->repairs + findings->unreadable > 0) {
        Append(findings, L"; ");
    }
    if (code != NULL) {
        Append(findings, code);
        Append(findings, L" ");
    }
    Append(findings, what);
    ++(kind == kRepairNeeded ? findings->repairs : findings->unreadable);
}

static void AddListItem(Findings* findings, ListFinding* list, const wchar_t* item)
{
    if (list->items++ == 0) {
        AddFinding(findings, list->code, list->what, kRepairNeeded);
        Append(findings, L": ");
    } else {
        Append(findings, L", ");
    }
    Append(findings, item);
}

// "<code> service NVSCNSVC <state>".
static void AddServiceFinding(Findings* findings, const wchar_t* code, const wchar_t* state,
                              FindingKind kind)
{
    AddFinding(findings, code, L"service ", kind);
    Append(findings, kServiceName);
    Append(findings, state);
}

static void ReadPackageFiles(Findings* findings)
{
    PackagePaths paths = {};
    if (!ComposeRunPaths(&paths)) {
        AddFinding(findings, L"E01", L"package folder out of reach", kUnreadable);
        return;
    }
    ListFinding missing = {L"E01", L"files missing", 0};
    for (int i = 0; i < kPackageFileCount; ++i) {
        const wchar_t* name = NULL;
        if (!IsPackageFilePresent(&paths, i, &name)) {
            AddListItem(findings, &missing, name);
        }
    }
}

static void ReadRunValues(Findings* findings)
{
    HKEY key = NULL;
    if (!OpenRunKey(KEY_QUERY_VALUE, &key)) {
        AddFinding(findings, L"E02", L"Run key cannot be opened", kUnreadable);
        return;
    }
    // The panel launcher's value has no code of its own: the tool writes it in the same
    // stage as the monitor's, without a message.
    ListFinding missing = {L"E03", L"Run values missing", 0};
    for (const wchar_t* name : kRunValues) {
        if (!IsValuePresent(key, name)) {
            AddListItem(findings, &missing, name);
        }
    }
    RegCloseKey(key);
}

// A running service is left as it is, whatever its start type; any other is started.
static void JudgeService(Findings* findings, SC_HANDLE service)
{
    int running = 0;
    if (!ReadServiceRunning(service, &running)) {
        AddServiceFinding(findings, L"E05", L" status cannot be read", kUnreadable);
    } else if (!running) {
        AddServiceFinding(findings, L"E07", L" not running", kRepairNeeded);
    }
}

static void ReadScanService(Findings* findings)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        AddFinding(findings, L"E04", L"service manager cannot be opened", kUnreadable);
        return;
    }
    SC_HANDLE service = NULL;
    switch (OpenScanService(manager, SERVICE_QUERY_STATUS, &service)) {
    case kServiceOpened:
        JudgeService(findings, service);
        break;
    case kServiceNotInstalled:
        AddServiceFinding(findings, L"E06", L" not installed", kRepairNeeded);
        break;
    default:
        AddServiceFinding(findings, L"E05", L" cannot be opened", kUnreadable);
        break;
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

// The tool has no code for the shortcut: it writes a missing one and reports nothing.
static void ReadStartupShortcut(Findings* findings)
{
    wchar_t startupDir[PATH_UNITS] = {};
    wchar_t shortcutPath[PATH_UNITS] = {};
    if (IsShortcutMissing(startupDir, shortcutPath)) {
        AddFinding(findings, NULL, L"startup shortcut missing: ", kRepairNeeded);
        Append(findings, kShortcutFile);
    }
}

static void ReadBackgroundPrograms(Findings* findings)
{
    ProgramsUser programs = {};
    ReadProgramsUser(&programs);
    ListFinding missing = {L"E08", L"programs not running", 0};
    for (const wchar_t* name : kPrograms) {
        if (!IsProgramRunning(name, &programs)) {
            AddListItem(findings, &missing, name);
        }
    }
}

// "<product>: healthy", "<product>: repair needed: ..." or, where nothing found needs a
// repair but a stage could not be read, "<product>: cannot be read: ...", in ASCII and
// within kCheckLineChars.
static void WriteLine(const Findings* findings)
{
    const wchar_t* head = findings->repairs > 0 ? L": repair needed: "
        : findings->unreadable > 0              ? L": cannot be read: "
                                                : L": healthy";
    const wchar_t* const parts[] = {kProductName, head, findings->text};
    char line[kCheckLineChars + 1];
    int used = 0;
    for (const wchar_t* part : parts) {
        for (const wchar_t* c = part; *c != L'\0' && used < kCheckLineChars; ++c) {
            line[used++] = *c < 0x80 ? static_cast<char>(*c) : '?';
        }
    }
    line[used] = '\0';
    fputs(line, stdout);
    fputs("\n", stdout);
    fflush(stdout);
}

int RunCheck(void)
{
    Findings findings = {};
    ReadPackageFiles(&findings);
    ReadRunValues(&findings);
    ReadScanService(&findings);
    ReadStartupShortcut(&findings);
    ReadBackgroundPrograms(&findings);
    WriteLine(&findings);
    return findings.repairs + findings.unreadable > 0 ? 1 : 0;
}
