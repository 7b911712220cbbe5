// The bootstrap's entry with a thread that runs the console control
// handler's cleanup while the child runs (closing the console) or while the
// run unpacks (Ctrl+C): true console events do not reach a GUI program
// under Wine.
#include <stdlib.h>

#include "attached_data/attached_data.h"
#include "child_process/child_process.h"
#include "driver/driver.h"

// Fires once the application has written its report (the child is
// running), or with ONEFILE_TEST_INTERRUPT_UNPACKING set, once the first
// file is written (the main thread still unpacks the rest).
static DWORD WINAPI interruptWhileChildRuns(void*)
{
    wchar_t* const report = getEnvVar("ONEFILE_TEST_REPORT");
    wchar_t* const unpacking = getEnvVar("ONEFILE_TEST_INTERRUPT_UNPACKING");
    const auto isTime = [&] {
        if (unpacking != nullptr) {
            return firstFilePath[0] != L'\0';
        }
        return childProcess != nullptr && report != nullptr && GetFileAttributesW(report) != INVALID_FILE_ATTRIBUTES;
    };
    while (!isTime()) {
        Sleep(1);
    }
    const DWORD event = unpacking != nullptr ? CTRL_C_EVENT : CTRL_CLOSE_EVENT;
    free(report);
    free(unpacking);
    consoleCtrlHandler(event);
    // What the system's default handling does once every handler declined.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t* const parent = getEnvVar("MERLOX_ONEFILE_PARENT");
    const bool reentry = parent != nullptr && isParentInstance(parent);
    free(parent);
    if (!reentry) {
        CloseHandle(CreateThread(nullptr, 0, interruptWhileChildRuns, nullptr, 0, nullptr));
    }
    return runDriver();
}
