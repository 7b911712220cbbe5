// The bootstrap's entry with a thread that runs the console control
// handler's cleanup while the child runs: true console events do not reach a
// GUI program under Wine.
#include <stdlib.h>

#include "child_process/child_process.h"
#include "driver/driver.h"

// Fires once the application has written its report: the child is running.
static DWORD WINAPI interruptWhileChildRuns(void*)
{
    wchar_t* const report = getEnvVar("ONEFILE_TEST_REPORT");
    while (childProcess == nullptr || report == nullptr || GetFileAttributesW(report) == INVALID_FILE_ATTRIBUTES) {
        Sleep(10);
    }
    free(report);
    consoleCtrlHandler(CTRL_C_EVENT);
    // What the system's default handling does once every handler declined.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t* const parent = getEnvVar("MERLOX_ONEFILE_PARENT");
    const bool reentry = parent != nullptr && checkParentInstance(parent);
    free(parent);
    if (!reentry) {
        CloseHandle(CreateThread(nullptr, 0, interruptWhileChildRuns, nullptr, 0, nullptr));
    }
    return runDriver();
}
