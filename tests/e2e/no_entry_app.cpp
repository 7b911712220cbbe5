// A DLL that exports no run_code.
#include <windows.h>

extern "C" __declspec(dllexport) int something_else()
{
    return 1;
}
