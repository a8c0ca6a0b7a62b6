// Entry point of ScarvelRepair.exe. No argument is read; the exit status is always 0.
#include "repair/operations.h"

#include "platform/dll_search.h"

extern "C" int wmain(int, wchar_t**)
{
    RestrictSearchToSystem32();
    return RunRepair();
}
