// The executable's entry: the C runtime's Unicode start-up calls this (the
// GUI one wWinMain; the console variant's, built with ONEFILE_CONSOLE,
// wmain), and hands the result to exit(), which makes it the exit code.
#include "driver.h"

#include <stdlib.h>

// Arguments reach the application exactly as typed: the runtime must not
// expand "*.txt" into the names of files that happen to match.
extern "C" {
int _dowildcard = 0;
}

#ifdef ONEFILE_CONSOLE
int wmain(int, wchar_t**)
#else
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
#endif
{
#ifndef NDEBUG
    // A failed assertion in a windowed program shows a dialog that blocks
    // until someone closes it (under Xvfb: until it is killed); printed on
    // standard error instead, it ends the process with exit code 3.
    _set_error_mode(_OUT_TO_STDERR);
#endif
    return runDriver();
}
