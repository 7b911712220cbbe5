// An application packed into a onefile executable: prints the arguments and
// the variables the bootstrap passed, and returns the exit code asked for
// with --exit=N.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <initializer_list>

#include "onefile_app.h"

static void printVariable(const wchar_t* name)
{
    wchar_t value[4096];
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    wprintf(L"  %ls = %ls\n", name, length > 0 && length < 4096 ? value : L"(unset)");
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* dllPath)
{
    // Ready: the splash can go.
    onefile_hide_splash();
    wprintf(L"hello from %ls\n", dllPath);
    int exitCode = 0;
    for (int i = 0; i < argc; ++i) {
        wprintf(L"  argv[%d] = [%ls]\n", i, argv[i]);
        if (wcsncmp(argv[i], L"--exit=", 7) == 0) {
            exitCode = _wtoi(argv[i] + 7);
        }
    }
    for (const wchar_t* name : {L"MERLOX_ONEFILE_PARENT", L"MERLOX_ONEFILE_DIRECTORY", L"MERLOX_ORIGINAL_ARGV0",
                                L"MERLOX_ONEFILE_TIME_US", L"MERLOX_ONEFILE_RANDOM"}) {
        printVariable(name);
    }
    wprintf(L"returning %d\n", exitCode);
    fflush(stdout);
    return exitCode;
}
