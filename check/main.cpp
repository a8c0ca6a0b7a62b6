// Entry point of ScarvelCheck.exe. No argument is read; the exit status is RunCheck's.
#include "check/check.h"
#include "platform/dll_search.h"

extern "C" int wmain(int, wchar_t**)
{
    RestrictSearchToSystem32();
    return RunCheck();
}
