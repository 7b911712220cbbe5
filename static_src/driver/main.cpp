// The executable's entry: the C runtime's Unicode GUI start-up calls this,
// and hands the result to exit(), which makes it the process's exit code.
#include "driver.h"

// Arguments reach the application exactly as typed: the runtime must not
// expand "*.txt" into the names of files that happen to match.
extern "C" {
int _dowildcard = 0;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return runDriver();
}
