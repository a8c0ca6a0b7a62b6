// stdio.h first: once a header reaches the C++ library, mingw switches the printf family
// to its ISO variant, in which "%s" in a wide format takes a narrow string.
#include <stdio.h>

#include <locale.h>
#include <process.h>
#include <stdarg.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "console/report.h"
#include "package/layout.h"
#include "platform/session.h"
#include "platform/system_calls.h"

// The pause is Windows' own interpreter, named by its full path: COMSPEC, which the runtime's
// system() would follow, is the user's to set, and the tool runs elevated. /d: no AutoRun
// command, which a user's own programs can set in HKCU. Its command line names it by its
// bare name, which no space in a path can split.
static const wchar_t* const kPauseCommand[] = {L"cmd.exe", L"/d", L"/c", L"pause", NULL};

// "chs" is the runtime's own name; the others select the same locale where a runtime
// knows only the long names, and ".936" keeps at least the code page.
static const wchar_t* const kChineseLocales[] = {
    L"chs",
    L"Chinese_People's Republic of China.936",
    L"Chinese (Simplified)_People's Republic of China.936",
    L"Chinese_China.936",
    L".936",
};

wchar_t* BeginReport(void)
{
    const wchar_t* current = _wsetlocale(LC_CTYPE, NULL);
    wchar_t* saved = current ? _wcsdup(current) : NULL;
    for (size_t i = 0; i < sizeof kChineseLocales / sizeof kChineseLocales[0]; ++i) {
        if (_wsetlocale(LC_CTYPE, kChineseLocales[i]) != NULL) {
            break;
        }
    }
    return saved;
}

void PrintMessage(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vwprintf(format, arguments);
    va_end(arguments);
}

// Runs System32's cmd.exe with "/d /c pause" and waits for it; without a System32 path, or
// where nobody can press a key (a service's window station, session 0), no pause.
static void Pause(void)
{
    wchar_t interpreter[PATH_UNITS] = {};
    if (IsSeenBySomeone() && ComposeSystemPath(interpreter, kPauseCommand[0])) {
        _wspawnv(_P_WAIT, interpreter, kPauseCommand);
    }
}

void EndReport(wchar_t* savedLocale)
{
    // Without a saved copy, "C" is what every program starts with.
    _wsetlocale(LC_CTYPE, savedLocale != NULL ? savedLocale : L"C");
    free(savedLocale);
    // Into a file or a pipe the text must stand before the prompt the pause writes there.
    fflush(stdout);
    Pause();
}
