// The detached upkeep worker: when the sweep or the cache's upkeep could
// not finish while the application ran (an application that returns at
// once ends it before its delay is over), the bootstrap starts a copy of
// itself that does that work after the bootstrap has returned the exit
// code. It inherits no handle (the caller's pipes end with the run), breaks
// away from the caller's job (or is not started), runs at idle priority
// from the system folder, and takes its paths from the executable's own
// specs, never from a run's variables.
#include "driver.h"

#include <stdlib.h>
#include <wchar.h>

#include "run_folder/run_folder.h"

bool isUpkeepWorker()
{
    wchar_t* const mode = getEnvVar(ONEFILE_VARIABLE_UPKEEP);
    const bool worker = mode != nullptr && wcscmp(mode, L"1") == 0;
    free(mode);
    return worker;
}

int runUpkeepWorker()
{
    SetErrorMode(SEM_FAILCRITICALERRORS);
    wchar_t parent[pathCapacity];
    if (onefileSweepEnabled && expandFolderSpec(onefileRunParentSpec, parent, pathCapacity)) {
        traceStep(L"upkeep worker: %d leftovers of dead runs removed from %ls", sweepDeadRuns(parent), parent);
    }
    tidyCacheNow();
    traceStep(L"upkeep worker done");
    return 0;
}

// The worker's environment is this process's without the run's values.
static void dropRunVariables()
{
    static const char* const runVariables[] = {ONEFILE_VARIABLE_PARENT,    ONEFILE_VARIABLE_START,
                                               ONEFILE_VARIABLE_TIME_US,   ONEFILE_VARIABLE_RANDOM,
                                               ONEFILE_VARIABLE_TARGET,    ONEFILE_VARIABLE_SPLASH_TEXT,
                                               ONEFILE_VARIABLE_DIRECTORY, ONEFILE_VARIABLE_ORIGINAL_ARGV0};
    for (const char* const name : runVariables) {
        setEnvVar(name, nullptr);
    }
}

void startUpkeepWorker()
{
    dropRunVariables();
    setEnvVar(ONEFILE_VARIABLE_UPKEEP, L"1");
    wchar_t commandLine[executablePathCapacity + 2];
    swprintf(commandLine, executablePathCapacity + 2, L"\"%ls\"", getExecutablePath());
    wchar_t systemFolder[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH + 1);
    // No standard handles at all: Wine then gives the worker /dev/null and a
    // session of its own instead of this process's Unix descriptors.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = INVALID_HANDLE_VALUE;
    startup.hStdError = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION worker = {};
    const DWORD flags = DETACHED_PROCESS | CREATE_BREAKAWAY_FROM_JOB | IDLE_PRIORITY_CLASS | CREATE_DEFAULT_ERROR_MODE;
    if (CreateProcessW(getExecutablePath(), commandLine, nullptr, nullptr, FALSE, flags, nullptr,
                       length > 0 && length <= MAX_PATH ? systemFolder : nullptr, &startup, &worker)) {
        traceStep(L"upkeep worker %lu started", worker.dwProcessId);
        CloseHandle(worker.hThread);
        CloseHandle(worker.hProcess);
    } else {
        traceStep(L"upkeep worker not started ([Error %lu])", GetLastError());
    }
}
