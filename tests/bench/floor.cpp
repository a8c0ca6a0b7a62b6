// The least any console tool that ends in a pause costs under Wine: the pause alone.
#include <stdlib.h>

extern "C" int wmain(int, wchar_t**)
{
    _wsystem(L"pause");
    return 0;
}
