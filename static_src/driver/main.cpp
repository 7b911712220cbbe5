// The executable's entry: the C runtime's Unicode GUI start-up calls this,
// and hands the result to exit(), which makes it the process's exit code.
#include "driver.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return runDriver();
}
