// The detached upkeep worker: a copy of the executable that finishes the
// sweep or the cache's upkeep (with the recheck of a reused version's
// content) after the bootstrap has returned the exit code, when that work
// could not finish while the application ran (an application that returns
// at once ends it before its delay is over). The bootstrap starts it as it
// starts that work, so its creation costs the run's end nothing; the
// worker waits for the bootstrap's end, and the bootstrap ends it first
// when the work did finish. A bootstrap killed meanwhile leaves the worker
// to do it. It inherits no handle (the caller's pipes end with the run),
// breaks away from the caller's job (or is not started), runs at idle
// priority from the system folder, and takes its paths from the
// executable's own specs, never from a run's variables. MERLOX_ONEFILE_UPKEEP
// carries the id of the bootstrap that starts it, and counts only in a
// process that bootstrap created: a variable left in a session never turns
// a start into a worker.
#include "driver.h"

#include <stdlib.h>
#include <wchar.h>

#include "run_folder/run_folder.h"

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
        WaitForSingleObject(bootstrap, INFINITE);
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

// Whether the environment entry `entry` ("NAME=value") sets `name`.
static bool setsVariable(const wchar_t* entry, const char* name)
{
    for (; *name != '\0'; ++entry, ++name) {
        if (towupper(*entry) != towupper(static_cast<wchar_t>(*name))) {
            return false;
        }
    }
    return *entry == L'=';
}

// The worker's environment: this process's without the run's values, and
// with MERLOX_ONEFILE_UPKEEP naming this process. Null when it cannot be
// made; to be freed.
static wchar_t* makeWorkerEnvironment()
{
    static const char* const runVariables[] = {
        ONEFILE_VARIABLE_PARENT,    ONEFILE_VARIABLE_START,          ONEFILE_VARIABLE_TIME_US,
        ONEFILE_VARIABLE_RANDOM,    ONEFILE_VARIABLE_TARGET,         ONEFILE_VARIABLE_SPLASH_TEXT,
        ONEFILE_VARIABLE_DIRECTORY, ONEFILE_VARIABLE_ORIGINAL_ARGV0, ONEFILE_VARIABLE_UPKEEP};
    wchar_t* const current = GetEnvironmentStringsW();
    if (current == nullptr) {
        return nullptr;
    }
    size_t total = 0;
    while (current[total] != L'\0') {
        total += wcslen(current + total) + 1;
    }
    wchar_t upkeep[64];
    const int upkeepLength =
        swprintf(upkeep, 64, L"%hs=%lu", ONEFILE_VARIABLE_UPKEEP, static_cast<unsigned long>(GetCurrentProcessId()));
    wchar_t* const block = static_cast<wchar_t*>(malloc((total + upkeepLength + 2) * sizeof(wchar_t)));
    size_t at = 0;
    for (const wchar_t* entry = current; block != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
        bool dropped = false;
        for (const char* const name : runVariables) {
            dropped = dropped || setsVariable(entry, name);
        }
        if (!dropped) {
            wcscpy(block + at, entry);
            at += wcslen(entry) + 1;
        }
    }
    FreeEnvironmentStringsW(current);
    if (block != nullptr) {
        wcscpy(block + at, upkeep);
        at += static_cast<size_t>(upkeepLength) + 1;
        block[at] = L'\0';
    }
    return block;
}

// The worker started beside the background work; ended at the run's end
// when that work finished. Main thread.
static HANDLE upkeepWorker;

void startUpkeepWorker()
{
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
    const DWORD flags = DETACHED_PROCESS | CREATE_BREAKAWAY_FROM_JOB | IDLE_PRIORITY_CLASS | CREATE_DEFAULT_ERROR_MODE |
                        CREATE_UNICODE_ENVIRONMENT;
    wchar_t* const environment = makeWorkerEnvironment();
    if (environment != nullptr &&
        CreateProcessW(getExecutablePath(), commandLine, nullptr, nullptr, FALSE, flags, environment,
                       length > 0 && length <= MAX_PATH ? systemFolder : nullptr, &startup, &worker)) {
        traceStep(L"upkeep worker %lu started", worker.dwProcessId);
        CloseHandle(worker.hThread);
        upkeepWorker = worker.hProcess;
    } else {
        traceStep(L"upkeep worker not started ([Error %lu])", GetLastError());
    }
    free(environment);
}

void settleUpkeepWorker(bool needed)
{
    if (upkeepWorker == nullptr) {
        return;
    }
    if (!needed) {
        // Still waiting for this process's end: it has done nothing yet.
        TerminateProcess(upkeepWorker, 0);
        traceStep(L"upkeep worker ended: the work was done");
    }
    CloseHandle(upkeepWorker);
    upkeepWorker = nullptr;
}
