// A child that does nothing: it imports kernel32 alone and has no runtime.
#include <windows.h>

extern "C" void __stdcall emptyChildEntry()
{
    ExitProcess(0);
}
