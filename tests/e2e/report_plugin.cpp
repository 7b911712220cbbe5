// A DLL packed beside the report application, which loads it by name at
// run time as applications load their plugins.
#include <windows.h>

extern "C" __declspec(dllexport) int plugin_answer()
{
    return 42;
}
