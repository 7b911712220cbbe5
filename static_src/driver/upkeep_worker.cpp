// The detached upkeep worker: when the sweep or the cache's upkeep (with
// the recheck of a reused version's content) could not finish while the
// application ran (an application that returns at once ends it before its
// delay is over), the bootstrap starts a copy of itself that does that work
// after the bootstrap has returned the exit code. It inherits no handle
// (the caller's pipes end with the run), breaks away from the caller's job
// (or is not started), runs at idle priority from the system folder, and
// takes its paths from the executable's own specs, never from a run's
// variables. MERLOX_ONEFILE_UPKEEP carries the id of the bootstrap that
// starts it and a handle to the bootstrap, the one handle the worker
// inherits, by which it proves (judgeUpkeepClaim) that a copy of this
// executable created it: a variable left in a session or set by another
// program never turns a start into a worker.
#include "driver.h"

#include <stdlib.h>
#include <wchar.h>

#include "cache/cache.h"
#include "run_folder/run_folder.h"
#include "paths/test_holds.h"

// A bound only: the bootstrap ends right after the worker's start.
enum : DWORD { bootstrapEndMilliseconds = 60000 };

UpkeepVerdict findUpkeepVerdict(HANDLE& bootstrap)
{
    const UpkeepVerdict verdict = judgeUpkeepClaim(readUpkeepClaim(bootstrap));
    if (verdict == UpkeepVerdict::ignored) {
        traceStep(L"%hs ignored: the process that created this one is no copy of this executable",
                  ONEFILE_VARIABLE_UPKEEP);
    } else if (verdict == UpkeepVerdict::unprovable) {
        traceStep(L"%hs cannot be proven (its creator is gone and left no handle to it): this start ends",
                  ONEFILE_VARIABLE_UPKEEP);
    }
    return verdict;
}

// The bootstrap returns its exit code right after starting this process:
// the work begins once it has, so that none of its file operations (under
// Wine, all of them queue at one server thread) slows that end. Returns
// when the bootstrap began, as a system time (0 when it cannot be told).
static uint64_t waitForBootstrapsEnd(HANDLE bootstrap)
{
    FILETIME created = {}, ended, kernel, user;
    if (bootstrap != nullptr) {
        WaitForSingleObject(bootstrap, bootstrapEndMilliseconds);
        GetProcessTimes(bootstrap, &created, &ended, &kernel, &user);
        CloseHandle(bootstrap);
    }
    traceStep(L"upkeep worker: the bootstrap has ended");
    return systemTimeOf(created);
}

int runUpkeepWorker(HANDLE bootstrap, const ExecutableSettings& settings)
{
    SetErrorMode(SEM_FAILCRITICALERRORS);
    reachTestPoint("ONEFILE_TEST_HOLD_WORKER", L"-reached", true);
    const uint64_t bootstrapBegan = waitForBootstrapsEnd(bootstrap);
    wchar_t parent[pathCapacity];
    if (settings.sweep && expandFolderSpec(settings.runParentSpec, parent, pathCapacity)) {
        const int removed = sweepDeadRuns(parent);
        if (removed < 0) {
            traceStep(L"upkeep worker: another start sweeps %ls", parent);
        } else {
            traceStep(L"upkeep worker: %d leftovers of dead runs removed from %ls", removed, parent);
        }
    }
    // What the bootstrap's own start unpacked was hashed as it was.
    keepCacheNow(settings.cache, bootstrapBegan != 0 ? bootstrapBegan : UINT64_MAX);
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

// A handle to this process that the worker inherits, as its proof of who
// created it; null when none can be made.
static HANDLE makeInheritableSelf()
{
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                         SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0)) {
        return nullptr;
    }
    return self;
}

// Whether this process runs under Wine: its ntdll says so.
static bool isUnderWine()
{
    using WineVersion = const char*(CDECL*)();
    WineVersion version = nullptr;
    return bindSystemFunction(version, L"ntdll.dll", "wine_get_version");
}

// Whether a worker would keep the caller waiting: under Wine every new
// process gets its creator's Unix standard error, whatever handles it is
// given, so a caller reading this process's standard error through a pipe
// would see its end only when the worker ends. Such a start leaves its
// work to a later one.
bool wouldWorkerHoldCallersPipe(bool underWine, DWORD standardErrorType)
{
    return underWine && standardErrorType == FILE_TYPE_PIPE;
}

// Whether every handle of a handle list can be inherited: Windows refuses
// a list with one that cannot, Wine passes it on without a word.
static bool areInheritable(const HANDLE* handles, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        DWORD flags = 0;
        if (!GetHandleInformation(handles[i], &flags) || !(flags & HANDLE_FLAG_INHERIT)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
    }
    return true;
}

// Creates the worker with `self` and `nul` (its standard handles) as the
// only handles it inherits; its id, or 0 when it could not be created.
static DWORD createWorker(HANDLE self, HANDLE nul, wchar_t* commandLine)
{
    wchar_t systemFolder[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH + 1);
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    LPPROC_THREAD_ATTRIBUTE_LIST const list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(malloc(listSize));
    if (list == nullptr || !InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
        free(list);
        return 0;
    }
    // Standard handles of its own, on NUL: the caller's pipes end with the
    // bootstrap.
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nul;
    startup.StartupInfo.hStdOutput = nul;
    startup.StartupInfo.hStdError = nul;
    startup.lpAttributeList = list;
    HANDLE inherited[] = {self, nul};
    PROCESS_INFORMATION worker = {};
    const DWORD flags = DETACHED_PROCESS | CREATE_BREAKAWAY_FROM_JOB | IDLE_PRIORITY_CLASS | CREATE_DEFAULT_ERROR_MODE |
                        EXTENDED_STARTUPINFO_PRESENT;
    const bool created =
        areInheritable(inherited, sizeof inherited / sizeof *inherited) &&
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                                  nullptr) &&
        CreateProcessW(getExecutablePath(), commandLine, nullptr, nullptr, TRUE, flags, nullptr,
                       length > 0 && length <= MAX_PATH ? systemFolder : nullptr, &startup.StartupInfo, &worker);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(list);
    free(list);
    if (!created) {
        SetLastError(error);
        return 0;
    }
    CloseHandle(worker.hThread);
    CloseHandle(worker.hProcess);
    return worker.dwProcessId;
}

void startUpkeepWorker()
{
    if (wouldWorkerHoldCallersPipe(isUnderWine(), GetFileType(GetStdHandle(STD_ERROR_HANDLE)))) {
        traceStep(L"upkeep worker not started: under Wine it would hold the caller's standard error pipe open; "
                  L"a later start does the work");
        return;
    }
    dropRunVariables();
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    const HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr);
    const HANDLE self = makeInheritableSelf();
    if (self == nullptr || nul == INVALID_HANDLE_VALUE) {
        traceStep(L"upkeep worker not started ([Error %lu])", GetLastError());
        if (self != nullptr) {
            CloseHandle(self);
        }
        if (nul != INVALID_HANDLE_VALUE) {
            CloseHandle(nul);
        }
        return;
    }
    wchar_t claim[32];
    swprintf(claim, 32, L"%lu:%llu", static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(self)));
    setEnvVar(ONEFILE_VARIABLE_UPKEEP, claim);
    wchar_t commandLine[executablePathCapacity + 2];
    swprintf(commandLine, executablePathCapacity + 2, L"\"%ls\"", getExecutablePath());
    const DWORD worker = createWorker(self, nul, commandLine);
    if (worker != 0) {
        traceStep(L"upkeep worker %lu started", worker);
    } else {
        traceStep(L"upkeep worker not started ([Error %lu])", GetLastError());
    }
    CloseHandle(self);
    CloseHandle(nul);
}
