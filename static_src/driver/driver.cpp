#include "driver.h"

#include <stdio.h>
#include <stdlib.h>

#include "OnefileSplashScreen/splash.h"
#include "attached_data/attached_data.h"
#include "child_process/child_process.h"
#include "run_folder/run_folder.h"

static void pointAtAttachedData()
{
    attachedDataCursor = onefileAttachedData;
    attachedDataRemaining = onefileAttachedDataSize;
}

// A start from inside the running application: same target directory,
// nothing extracted, the application's DLL loaded here. Taken only when a
// copy of this executable created this process; any other start, and a
// cache target this start may not use, takes the fresh road.
static bool takeReentryRoad()
{
    wchar_t* const parent = getEnvVar(ONEFILE_VARIABLE_PARENT);
    const Starter starter = parent != nullptr ? identifyStarter(parent) : Starter::other;
    if (starter == Starter::other || !hasInheritedRunValues()) {
        free(parent);
        return false;
    }
    if (starter != Starter::bootstrap) {
        // Only the bootstrap's own child inherited the splash's section; in
        // any other process the handle's value may name something else.
        setEnvVar(ONEFILE_VARIABLE_SPLASH_TEXT, nullptr);
    }
    const bool expanded = expandRunFolder(targetDirectory, pathCapacity);
    // The shared cache's folder, or the parent's staging folder, instead.
    const InheritedTarget inherited = takeInheritedCacheTarget(parent);
    free(parent);
    if (inherited == InheritedTarget::refused) {
        return false;
    }
    pointAtAttachedData();
    if (!expanded) {
        fatalSpecExpansion(runFolderSpec());
    }
    return true;
}

static void prepareFreshRoad()
{
    // A temporary directory on removable media without a medium raises
    // no system dialog: the failure is reported as any other.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    holdOwnExecutable();
    setEnvVar(ONEFILE_VARIABLE_START, nullptr);
    setEnvVar(ONEFILE_VARIABLE_TIME_US, nullptr);
    setEnvVar(ONEFILE_VARIABLE_RANDOM, nullptr);
    setEnvVar(ONEFILE_VARIABLE_TARGET, nullptr);
    setEnvVar(ONEFILE_VARIABLE_SPLASH_TEXT, nullptr);
    wchar_t processId[16];
    swprintf(processId, 16, L"%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    setEnvVar(ONEFILE_VARIABLE_PARENT, processId);
    // The splash shows before a failed expansion is acted on.
    const bool expanded = expandRunFolder(targetDirectory, pathCapacity);
    initSplashScreen();
    pointAtAttachedData();
    if (!expanded) {
        fatalSpecExpansion(runFolderSpec());
    }
    if (!registerConsoleHandler()) {
        fatalError("Error, failed to register signal handler.");
    }
}

// The cleanup's step before the target goes: nothing writes into it any
// more, and this run no longer holds it.
static void letGoOfTarget()
{
    stopExtraction();
    releaseRunFolderHold();
    releaseVersionsFolderHold();
}

// From here on every fatal stop removes what this run wrote.
void createTargetDirectory()
{
    createNewRunFolder();
    removeTargetOnCleanup = true;
    setCleanupSteps(stopSweep, letGoOfTarget);
    setFatalCleanup(removeTargetDirectory);
    holdRunFolder();
}

static uint64_t unpackedSize;

static void showUnpackingProgress(uint64_t decoded)
{
    showSplashProgress(decoded, unpackedSize);
}

// With --splash-progress and a splash on screen, the bar, empty at first,
// follows the decoded bytes against the frame's declared size.
static void followUnpackingOnSplash(uint64_t declaredSize)
{
    if (onefileSplashProgress && splashWindow != nullptr) {
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

// The run's own folder, or the cache's staging folder then published:
// made new, filled, and on the per-run road removed at the end. `parent`
// gets the folder's parent.
static void unpackIntoNewFolder(CacheRoad road, wchar_t parent[pathCapacity])
{
    // Blocks that do not declare their size go without the bar and without
    // the free-space check.
    uint64_t declaredSize = 0;
    const bool sizeDeclared = readDeclaredContentSize(declaredSize);
    if (sizeDeclared) {
        followUnpackingOnSplash(declaredSize);
    }
    openAttachedDataReader();
    if (road == CacheRoad::build) {
        placeStagingFolder();
    }
    findRunFolderParent(parent);
    // A start that cannot fit writes nothing.
    if (sizeDeclared) {
        refuseRunThatCannotFit(parent, declaredSize);
    }
    createTargetDirectory();
    if (!extractAttachedFiles()) {
        // Launching a child here would start a chain of copies, each
        // starting the next.
        fatalError("Error, attached data holds no file to run.");
    }
    if (road == CacheRoad::build) {
        publishStagingFolder();
        removeTargetOnCleanup = !targetIsSharedVersion();
    }
}

int runDriver()
{
    if (onefileErrorDialogEnabled) {
        showFatalLinesNobodySees();
    }
    // Keeps the current directory out of the DLL search path.
    SetDllDirectoryW(L"");
    if (takeReentryRoad()) {
        verifyAttachedDataHeader();
        requireFrameChecksum();
        openAttachedDataReader();
        if (targetIsSharedVersion()) {
            // A version the application cannot be loaded from is repaired by
            // the next start instead of failing every start.
            setFatalCleanup(markSharedVersionDamaged);
        }
        runApplicationDll(__argc, __wargv);
    }
    prepareFreshRoad();
    verifyAttachedDataHeader();
    requireFrameChecksum();
    verifyBlockTail();
    const CacheRoad road = chooseCacheRoad();
    wchar_t parent[pathCapacity] = L"";
    if (road == CacheRoad::reuse) {
        // A verified version: nothing to unpack, nothing to remove.
        setCleanupSteps(stopSweep, letGoOfTarget);
    } else {
        unpackIntoNewFolder(road, parent);
    }
    announceCacheTarget();
    launchChild();
    // This process is idle while the application runs: the leftovers of
    // dead runs go then, costing the start nothing.
    if (road != CacheRoad::perRun) {
        startCacheUpkeep();
    } else if (onefileSweepEnabled && parent[0] != L'\0') {
        startSweep(parent);
    }
    const DWORD exitCode = superviseChild(keepSplashWhileFeedbackPending);
    cleanupChildAndTarget();
    return static_cast<int>(exitCode);
}
