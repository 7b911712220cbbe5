// The detached upkeep worker: when the sweep or the cache's upkeep (with
// the recheck of a reused version's content) could not finish while the
// application ran (an application that returns at once ends it before its
// delay is over), the bootstrap starts a copy of itself that does that
// work after the bootstrap has returned the exit code. It inherits no handle (the caller's pipes end with the run), breaks
// away from the caller's job (or is not started), runs at idle priority
// from the system folder, and takes its paths from the executable's own
// specs, never from a run's variables. MERLOX_ONEFILE_UPKEEP carries the
// id of the bootstrap that starts it, and counts only in a process that
// bootstrap created: a variable left in a session never turns a start into
// a worker.
#include "driver.h"

#include <stdlib.h>
#include <wchar.h>

#include "run_folder/run_folder.h"

// A bound only: the bootstrap ends right after the worker's start.
enum : DWORD { bootstrapEndMilliseconds = 60000 };

bool isUpkeepWorker()
{
    wchar_t* const bootstrap = getEnvVar(ONEFILE_VARIABLE_UPKEEP);
    const bool worker = bootstrap != nullptr && wasCreatedBy(bootstrap);
    free(bootstrap);
    return worker;
}

// The bootstrap returns its exit code right after starting this process:
// the work begins once it has, so that none of its file operations (under
// Wine, all of them queue at one server thread) slows that end. Returns
// when the bootstrap began, as a system time (0 when it cannot be told).
static uint64_t waitForBootstrapsEnd()
{
    wchar_t* const bootstrapId = getEnvVar(ONEFILE_VARIABLE_UPKEEP);
    const HANDLE bootstrap = bootstrapId != nullptr ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                                  FALSE, wcstoul(bootstrapId, nullptr, 10))
                                                    : nullptr;
    free(bootstrapId);
    FILETIME created = {}, ended, kernel, user;
    if (bootstrap != nullptr) {
        WaitForSingleObject(bootstrap, bootstrapEndMilliseconds);
        GetProcessTimes(bootstrap, &created, &ended, &kernel, &user);
        CloseHandle(bootstrap);
    }
    traceStep(L"upkeep worker: the bootstrap has ended");
    return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

int runUpkeepWorker()
{
    SetErrorMode(SEM_FAILCRITICALERRORS);
    const uint64_t bootstrapBegan = waitForBootstrapsEnd();
    wchar_t parent[pathCapacity];
    if (onefileSweepEnabled && expandFolderSpec(onefileRunParentSpec, parent, pathCapacity)) {
        traceStep(L"upkeep worker: %d leftovers of dead runs removed from %ls", sweepDeadRuns(parent), parent);
    }
    // What the bootstrap's own start unpacked was hashed as it was.
    keepCacheNow(bootstrapBegan != 0 ? bootstrapBegan : UINT64_MAX);
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
    wchar_t processId[16];
    swprintf(processId, 16, L"%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    setEnvVar(ONEFILE_VARIABLE_UPKEEP, processId);
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
