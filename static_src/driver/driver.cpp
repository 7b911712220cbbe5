#include "driver.h"

#include <stdio.h>
#include <stdlib.h>

#include "OnefileSplashScreen/splash.h"
#include "attached_data/attached_data.h"
#include "child_process/child_process.h"
#include "cache/cache.h"
#include "run_folder/run_folder.h"
#include "paths/test_holds.h"

static void pointAtAttachedData(const ExecutableSettings& settings)
{
    attachedDataCursor = settings.block;
    attachedDataRemaining = settings.blockSize;
}

// The run folder's spec could not be expanded: the line names it whole.
[[noreturn]] static void failRunFolderExpansion(const ExecutableSettings& settings)
{
    wchar_t spec[pathCapacity];
    composeRunFolderSpec(settings.runParentSpec, spec);
    pointAtAttachedData(settings);
    fatalSpecExpansion(spec);
}

// The target a start decides on, whole: made once, published to the
// cleanup in one step, never changed, alive as long as the process.
static const TargetFolder* decideTarget(const wchar_t* folder, bool removedAtEnd)
{
    TargetFolder* const target = static_cast<TargetFolder*>(malloc(sizeof(TargetFolder)));
    if (target == nullptr) {
        stopProcess("no memory is left for the target folder's name");
    }
    copyWideBounded(target->path, pathCapacity, folder, "the target folder does not fit in 4096 characters");
    target->removedAtEnd = removedAtEnd;
    publishCleanupTarget(target);
    return target;
}

// The re-entry road's folder, into `folder`: the run's own folder as the
// parent expanded it, or the shared cache's folder it announced. `shared`
// tells whether it is the shared version.
static bool chooseInheritedTarget(const ExecutableSettings& settings, const wchar_t* parent,
                                  wchar_t folder[pathCapacity], bool& shared)
{
    const InheritedTarget inherited = takeInheritedCacheTarget(settings.cache, parent, folder);
    shared = inherited == InheritedTarget::sharedVersion;
    if (inherited == InheritedTarget::refused) {
        return false;
    }
    if (inherited == InheritedTarget::runFolder && !expandRunFolder(settings.runParentSpec, folder, pathCapacity)) {
        failRunFolderExpansion(settings);
    }
    return true;
}

// A start from inside the running application: same target directory,
// nothing extracted, the application's DLL loaded here. Taken only when a
// copy of this executable created this process; any other start, and a
// cache target this start may not use, takes the fresh road. `shared`
// tells whether the target, `folder`, is the shared cache's version.
static bool takeReentryRoad(const ExecutableSettings& settings, wchar_t folder[pathCapacity], bool& shared)
{
    wchar_t* const parent = getEnvVar(ONEFILE_VARIABLE_PARENT);
    if (parent == nullptr) {
        traceStep(L"fresh start");
        return false;
    }
    const Starter starter = identifyStarter(parent);
    const bool taken =
        starter != Starter::other && hasInheritedRunValues() && chooseInheritedTarget(settings, parent, folder, shared);
    free(parent);
    if (!taken) {
        traceStep(starter == Starter::other ? L"fresh start: the inherited variables were not set by a copy of this "
                                              L"executable"
                                            : L"fresh start: the inherited values or target are not this start's");
        return false;
    }
    traceStep(L"re-entry, started by %ls: %ls", starter == Starter::bootstrap ? L"the bootstrap" : L"the application",
              folder);
    if (starter != Starter::bootstrap) {
        // Only the bootstrap's own child inherited the splash's section; in
        // any other process the handle's value may name something else.
        setEnvVar(ONEFILE_VARIABLE_SPLASH_TEXT, nullptr);
    }
    pointAtAttachedData(settings);
    return true;
}

// Prepares the fresh road; `runFolder` gets the run's own folder.
static void prepareFreshRoad(const ExecutableSettings& settings, wchar_t runFolder[pathCapacity])
{
    reportTraceRefusal();
    // A temporary directory on removable media without a medium raises
    // no system dialog: the failure is reported as any other.
    keepStartingErrorMode(SetErrorMode(SEM_FAILCRITICALERRORS));
    holdOwnExecutable();
    setEnvVar(ONEFILE_VARIABLE_START, nullptr);
    setEnvVar(ONEFILE_VARIABLE_TIME_US, nullptr);
    setEnvVar(ONEFILE_VARIABLE_RANDOM, nullptr);
    setEnvVar(ONEFILE_VARIABLE_TARGET, nullptr);
    setEnvVar(ONEFILE_VARIABLE_SPLASH_TEXT, nullptr);
    // A claim this start ignored never reaches its child.
    setEnvVar(ONEFILE_VARIABLE_UPKEEP, nullptr);
    wchar_t processId[16];
    swprintf(processId, 16, L"%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    setEnvVar(ONEFILE_VARIABLE_PARENT, processId);
    // The splash shows before a failed expansion is acted on.
    const bool expanded = expandRunFolder(settings.runParentSpec, runFolder, pathCapacity);
    initSplashScreen();
    // Until the target exists, a failed start removes the feedback file only.
    setFatalCleanup(removeSplashFeedbackFile);
    pointAtAttachedData(settings);
    if (!expanded) {
        failRunFolderExpansion(settings);
    }
    if (!registerConsoleHandler()) {
        fatalError("Error, failed to register signal handler.");
    }
}

// The application's DLL, held until the application ends: open for
// reading with only reading shared, so nobody can write, delete or rename
// it between its check and the child's load. On reuse it is held before
// the version's check; in a folder this start unpacked, after its last
// write, and then read through the hold: it must be what the frame
// decoded. Written by launchFromReusedVersion, holdUnpackedEntryDll and
// letGoOfTarget.
static HANDLE volatile entryDllHold = INVALID_HANDLE_VALUE;

// The hold on the DLL at `path`, tried `attempts` times while something
// else (a scanner) has the new file open; INVALID_HANDLE_VALUE with the
// reason traced and left as the last error.
static HANDLE holdEntryDll(const wchar_t* path, int attempts)
{
    wchar_t longForm[longPathCapacity];
    const bool placed = toLongPathForm(path, longForm);
    const HANDLE dll = openRetryingWhileShared(
        [&] {
            return placed ? CreateFileW(longForm, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                          : INVALID_HANDLE_VALUE;
        },
        attempts, 50);
    if (dll == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        traceStep(L"the entry %ls cannot be held ([Error %lu])", path, error);
        SetLastError(error);
    }
    return dll;
}

// The reused version's entry DLL, by the block's first record, into `path`.
static bool nameReusedEntryDll(const wchar_t* folder, wchar_t path[pathCapacity])
{
    openAttachedDataReader();
    wchar_t name[recordNameCapacity];
    const bool named = readApplicationName(name);
    closeAttachedDataReader();
    return named && joinPath(path, folder, name);
}

// Holds the entry DLL this start unpacked (at `path`) and reads it through
// the hold: ERROR_SUCCESS when it hashes as the frame's `entryHash`, else
// why not (another process wrote it since, or holds it).
static DWORD holdUnpackedEntryDll(const wchar_t* path, uint64_t entryHash)
{
    const HANDLE hold = holdEntryDll(path, 20);
    if (hold == INVALID_HANDLE_VALUE) {
        // Never a success: a failure that left no code still refuses.
        return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_OPEN_FAILED;
    }
    enum : DWORD { chunkBytes = 1u << 16 };
    unsigned char* const buffer = static_cast<unsigned char*>(malloc(chunkBytes));
    uint64_t hash = 0;
    const bool read = buffer != nullptr && hashOpenedFile(hold, buffer, chunkBytes, nullptr, hash);
    free(buffer);
    if (!read || hash != entryHash) {
        CloseHandle(hold);
        traceStep(L"the entry %ls is not what was unpacked", path);
        return ERROR_CRC;
    }
    exchangeHandle(entryDllHold, hold);
    return ERROR_SUCCESS;
}

static void releaseEntryDll()
{
    const HANDLE hold = exchangeHandle(entryDllHold, INVALID_HANDLE_VALUE);
    if (hold != INVALID_HANDLE_VALUE) {
        CloseHandle(hold);
    }
}

// The cleanup's step before the target goes: nothing writes into it any
// more, this run no longer holds it or the cache's folder, and its splash
// feedback file goes.
static void letGoOfTarget()
{
    stopExtraction();
    releaseEntryDll();
    releaseRunFolderHold();
    releaseVersionsFolderHold();
    removeSplashFeedbackFile();
}

// From here on every fatal stop removes what this run wrote.
const TargetFolder* createTargetDirectory(const wchar_t* folder)
{
    createNewRunFolder(folder);
    const TargetFolder* const target = decideTarget(folder, true);
    setFatalCleanup(removeTargetDirectory);
    holdRunFolder(folder);
    return target;
}

static uint64_t unpackedSize;

static void showUnpackingProgress(uint64_t decoded)
{
    showSplashProgress(decoded, unpackedSize);
}

// With --splash-progress and a splash on screen, the bar, empty at first,
// follows the decoded bytes against the frame's declared size.
static void followUnpackingOnSplash(bool splashProgress, uint64_t declaredSize)
{
    if (splashProgress && splashWindow != nullptr) {
        unpackedSize = declaredSize;
        showSplashProgress(0, unpackedSize);
        setExtractionProgress(showUnpackingProgress);
    }
}

// The supervision's question while the splash shows: once the application
// has deleted the feedback file, the splash goes and the wait is unbounded.
static bool keepSplashWhileFeedbackPending()
{
    refreshSplashText();
    if (isSplashFeedbackPending()) {
        return true;
    }
    hideSplashScreen();
    return false;
}

// The staging folder published, or another start's version found: the
// target is the shared version from now on, kept at the end.
static const TargetFolder* takePublishedVersion(const TargetFolder* staging, PublishOutcome outcome)
{
    return outcome != PublishOutcome::keptStaging ? decideTarget(cacheVersionFolder(), false) : staging;
}

// Where the application's files are in the road's folder `folder`, into
// `files`: the folder itself for a run of its own, the payload's folder of
// a version or staging folder of the cache, beside the cache's own files.
static void placeApplicationFiles(CacheRoad road, const wchar_t* folder, wchar_t files[pathCapacity])
{
    if (road == CacheRoad::perRun) {
        copyWideBounded(files, pathCapacity, folder, "the run folder does not fit in 4096 characters");
    } else if (!joinPayloadFolder(folder, files)) {
        stopProcess("the cache's payload folder does not fit in 4096 characters");
    }
}

// The payload's folder of a new staging folder, made new.
static void createPayloadFolder(const wchar_t* files)
{
    wchar_t longForm[longPathCapacity];
    if (!toLongPathForm(files, longForm) || !CreateDirectoryW(longForm, nullptr)) {
        fatalFileError("Error, couldn't create a new directory", files, GetLastError());
    }
}

// The run's own folder, or the cache's staging folder then published:
// made new, filled, and on the per-run road removed at the end; its entry
// DLL held. `parent` gets the folder's parent. Null when the shared
// version's entry DLL changed before it could be held (a folder of the
// run's own ends the start instead).
static const TargetFolder* unpackIntoNewFolder(const CacheStart& cache, bool splashProgress, const wchar_t* runFolder,
                                               wchar_t parent[pathCapacity])
{
    // Blocks that do not declare their size go without the bar and without
    // the free-space check.
    uint64_t declaredSize = 0;
    const bool sizeDeclared = readDeclaredContentSize(declaredSize);
    if (sizeDeclared) {
        followUnpackingOnSplash(splashProgress, declaredSize);
    }
    openAttachedDataReader();
    wchar_t folder[pathCapacity];
    copyWideBounded(folder, pathCapacity, runFolder, "the run folder does not fit in 4096 characters");
    if (cache.road == CacheRoad::build) {
        nameStagingFolder(folder);
    }
    findRunFolderParent(folder, parent);
    // A start that cannot fit writes nothing.
    if (sizeDeclared) {
        refuseRunThatCannotFit(parent, declaredSize);
    }
    const TargetFolder* const target = createTargetDirectory(folder);
    wchar_t files[pathCapacity];
    placeApplicationFiles(cache.road, target->path, files);
    if (cache.road == CacheRoad::build) {
        createPayloadFolder(files);
    }
    // A repair takes what is still sound of the damaged version, when it
    // can be set aside.
    CacheStart start = cache;
    wchar_t damaged[pathCapacity] = L"";
    const HANDLE damagedHold =
        start.versionDamaged ? setDamagedVersionAsideForRepair(start, damaged) : INVALID_HANDLE_VALUE;
    // A staging folder's manifest keeps each file's hash for the rechecks.
    ContentHashes hashes = {};
    const ExtractionRequest request = {
        files,
        start.road == CacheRoad::build ? &hashes : nullptr,
        damagedHold != INVALID_HANDLE_VALUE ? damaged : nullptr,
        damagedHold,
        false,
    };
    const ExtractionOutcome outcome = extractAttachedFiles(request);
    if (damagedHold != INVALID_HANDLE_VALUE) {
        CloseHandle(damagedHold);
        traceStep(L"cache: repaired: %zu written, %zu taken from the damaged version (%zu folders of them whole)",
                  outcome.written, outcome.moved, outcome.foldersMoved);
    }
    if (!outcome.anyFile) {
        // Launching a child here would start a chain of copies, each
        // starting the next.
        fatalError("Error, attached data holds no file to run.");
    }
    traceStep(L"unpacked into %ls", files);
    const TargetFolder* const used =
        start.road == CacheRoad::build ? takePublishedVersion(target, publishStagingFolder(target->path, hashes, start))
                                       : target;
    freeContentHashes(hashes);
    // The DLL the child loads is the one the frame gave, held from here on.
    wchar_t usedFiles[pathCapacity];
    placeApplicationFiles(cache.road, used->path, usedFiles);
    wchar_t entry[pathCapacity];
    if (!joinPath(entry, usedFiles, firstFilePath + wcslen(files) + 1)) {
        stopProcess("the entry DLL's path does not fit in 4096 characters");
    }
    const DWORD held = holdUnpackedEntryDll(entry, outcome.entryHash);
    if (held == ERROR_SUCCESS) {
        return used;
    }
    if (used->removedAtEnd) {
        fatalFileError("Error, the application's DLL changed before it could be held", entry, held);
    }
    return nullptr;
}

// The re-entry road, to its end: the application runs in this process.
[[noreturn]] static void runInheritedTarget(const wchar_t* folder, bool shared)
{
    verifyAttachedDataHeader();
    requireFrameChecksum();
    openAttachedDataReader();
    if (shared) {
        // A version the application cannot be loaded from is repaired by
        // the next start instead of failing every start.
        setFatalCleanup(markSharedVersionDamaged);
    }
    runApplication(folder, __argc, __wargv);
}

// Makes the road's folder the target, unpacked anew: the run's own or the
// cache's staging folder, then published. A published version whose entry
// DLL changed before it was held is marked damaged, and the run goes on
// from a folder of its own. `parent` gets the parent of a new run folder,
// or stays empty. The road taken.
static CacheStart prepareTarget(const CacheStart& cache, bool splashProgress, const wchar_t* runFolder,
                                wchar_t parent[pathCapacity])
{
    const TargetFolder* const target = unpackIntoNewFolder(cache, splashProgress, runFolder, parent);
    if (target == nullptr) {
        markSharedVersionDamaged();
        releaseRunFolderHold();
        traceStep(L"road: per run, the version's entry DLL changed before it could be held");
        // A refused reuse named the version for the child.
        setEnvVar(ONEFILE_VARIABLE_TARGET, nullptr);
        const CacheStart perRun = {CacheRoad::perRun, false};
        if (unpackIntoNewFolder(perRun, splashProgress, runFolder, parent) == nullptr) {
            stopProcess("a run folder of its own is always the run's");
        }
        return perRun;
    }
    if (cache.road != CacheRoad::perRun) {
        // The child's target is not the folder its own expansion names.
        wchar_t files[pathCapacity];
        placeApplicationFiles(cache.road, target->path, files);
        setEnvVar(ONEFILE_VARIABLE_TARGET, files);
    }
    return cache;
}

static DWORD WINAPI runVersionCheck(void*)
{
    reachTestPoint("ONEFILE_TEST_HOLD_CHECK", L"-reached", true);
    return checkReusedVersion() ? 1 : 0;
}

// The reused version's check, on a thread of its own while the main thread
// creates the child: under Wine each costs about as much as the other. The
// child, suspended, is let go only when the check has passed; when it
// fails, it ends before it ran anything. The road to continue on: reuse
// when the child runs, build to repair the version.
static CacheStart launchFromReusedVersion(const CacheStart& cache)
{
    // A version: nothing to unpack, nothing to remove.
    const wchar_t* const version = cacheVersionFolder();
    wchar_t files[pathCapacity];
    placeApplicationFiles(cache.road, version, files);
    wchar_t entry[pathCapacity];
    if (nameReusedEntryDll(files, entry)) {
        exchangeHandle(entryDllHold, holdEntryDll(entry, 1));
    }
    if (entryDllHold == INVALID_HANDLE_VALUE) {
        traceStep(L"cache: the version's entry DLL cannot be held: the version is repaired");
        return refuseReusedVersion();
    }
    setEnvVar(ONEFILE_VARIABLE_TARGET, files);
    const HANDLE check = CreateThread(nullptr, 0, runVersionCheck, nullptr, 0, nullptr);
    createSuspendedChild();
    DWORD passed = 0;
    if (check == nullptr) {
        passed = checkReusedVersion();
    } else {
        reachTestPoint("ONEFILE_TEST_HOLD_CHECK", L"-waiting", false);
        WaitForSingleObject(check, INFINITE);
        GetExitCodeThread(check, &passed);
        CloseHandle(check);
    }
    if (passed == 0) {
        endSuspendedChild();
        releaseEntryDll();
        return refuseReusedVersion();
    }
    releaseChild();
    return cache;
}

// The child started on the road the cache gives: from the reused version
// once checked, or from a folder unpacked anew (the run's own, or the
// cache's staging folder, published). `parent` gets the parent of a new
// run folder, or stays empty.
static CacheStart launchOnTheCachesRoad(const ExecutableSettings& settings, const wchar_t* runFolder,
                                        wchar_t parent[pathCapacity])
{
    CacheStart cache = chooseCacheRoad(settings.cache);
    if (cache.road == CacheRoad::reuse) {
        cache = launchFromReusedVersion(cache);
    }
    if (cache.road != CacheRoad::reuse) {
        cache = prepareTarget(cache, settings.splashProgress, runFolder, parent);
        launchChild();
    }
    traceStep(L"child started");
    return cache;
}

// This process is idle while the application runs: the cache's upkeep, or
// the leftovers of dead runs, go then, costing the start nothing.
static void keepUpWhileTheApplicationRuns(CacheRoad road, bool sweep, const wchar_t* parent)
{
    if (road != CacheRoad::perRun) {
        startCacheUpkeep(road);
    } else if (sweep && parent[0] != L'\0') {
        startSweep(parent);
    }
}

// Waits for the application, names a crash, cleans up; its exit code.
static DWORD superviseToTheEnd()
{
    const DWORD exitCode = superviseChild(keepSplashWhileFeedbackPending);
    traceStep(L"application ended, exit code %lu", exitCode);
    char crash[96];
    if (describeApplicationEnd(exitCode, crash, sizeof crash)) {
        reportLine(crash);
    }
    cleanupChildAndTarget();
    traceStep(L"cleanup done");
    return exitCode;
}

int runDriver()
{
    openTrace();
    const ExecutableSettings settings = readExecutableSettings();
    HANDLE bootstrap = nullptr;
    switch (findUpkeepVerdict(bootstrap)) {
    case UpkeepVerdict::worker:
        return runUpkeepWorker(bootstrap, settings);  // no window, no box, no application
    case UpkeepVerdict::unprovable: {
        // Neither a worker nor a start that can be told from one: said as
        // every line of the bootstrap is, in a box too when nobody sees it.
        if (settings.errorDialog) {
            showFatalLinesNobodySees();
        }
        char line[160];
        snprintf(line, sizeof line,
                 "Error, %s is set but its creator cannot be proven to be this executable; unset it.",
                 ONEFILE_VARIABLE_UPKEEP);
        reportLine(line);
        return fatalExitCode;
    }
    default:
        break;
    }
    if (settings.errorDialog) {
        showFatalLinesNobodySees();
    }
    // Keeps the current directory out of the DLL search path.
    SetDllDirectoryW(L"");
    bool shared = false;
    wchar_t folder[pathCapacity];
    if (takeReentryRoad(settings, folder, shared)) {
        runInheritedTarget(folder, shared);
    }
    wchar_t runFolder[pathCapacity];
    prepareFreshRoad(settings, runFolder);
    verifyAttachedDataHeader();
    requireFrameChecksum();
    verifyBlockTail();
    // Wired once for every road: the background work stops first, then the
    // target is let go of.
    setCleanupSteps(stopBackgroundWork, letGoOfTarget);
    wchar_t parent[pathCapacity] = L"";
    const CacheStart cache = launchOnTheCachesRoad(settings, runFolder, parent);
    keepUpWhileTheApplicationRuns(cache.road, settings.sweep, parent);
    const DWORD exitCode = superviseToTheEnd();
    if (wasBackgroundWorkCutShort()) {
        startUpkeepWorker();
    }
    return static_cast<int>(exitCode);
}
