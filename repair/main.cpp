// Entry point of ScarvelRepair.exe. No argument is read; the exit status is always 0.
#include "repair/operations.h"

extern "C" int wmain(int, wchar_t**)
{
    return RunRepair();
}
