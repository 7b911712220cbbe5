#include "driver.h"

#include <stdio.h>
#include <stdlib.h>

#include "OnefileSplashScreen/splash.h"
#include "attached_data/attached_data.h"
#include "child_process/child_process.h"

static void pointAtAttachedData()
{
    attachedDataCursor = onefileAttachedData;
    attachedDataRemaining = onefileAttachedDataSize;
}

// A start from inside the running application: same target directory,
// nothing extracted, the application's DLL loaded here.
static bool takeReentryRoad()
{
    wchar_t* const parent = getEnvVar("MERLOX_ONEFILE_PARENT");
    const bool accepted = parent != nullptr && checkParentInstance(parent) && hasInheritedRunValues();
    free(parent);
    if (!accepted) {
        return false;
    }
    const bool expanded = expandPathSpec(targetDirectory, defaultPathSpec, pathCapacity);
    pointAtAttachedData();
    if (!expanded) {
        fatalSpecExpansion(defaultPathSpec);
    }
    return true;
}

static void prepareFreshRoad()
{
    setEnvVar("MERLOX_ONEFILE_START", nullptr);
    setEnvVar("MERLOX_ONEFILE_TIME_US", nullptr);
    setEnvVar("MERLOX_ONEFILE_RANDOM", nullptr);
    wchar_t processId[16];
    swprintf(processId, 16, L"%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    setEnvVar("MERLOX_ONEFILE_PARENT", processId);
    // The splash shows before a failed expansion is acted on.
    const bool expanded = expandPathSpec(targetDirectory, defaultPathSpec, pathCapacity);
    initSplashScreen();
    pointAtAttachedData();
    if (!expanded) {
        fatalSpecExpansion(defaultPathSpec);
    }
    if (!registerConsoleHandler()) {
        fatalError("Error, failed to register signal handler.");
    }
}

// From here on every fatal stop removes what this run wrote.
void createTargetDirectory()
{
    ensureParentDirectories(targetDirectory);
    wchar_t longForm[pathCapacity + 8];
    if (!toLongPathForm(targetDirectory, longForm, pathCapacity + 8)) {
        stopProcess("the target directory does not fit in 4096 characters");
    }
    if (!CreateDirectoryW(longForm, nullptr)) {
        fatalFileError("Error, couldn't create the target directory", targetDirectory, GetLastError());
    }
    ensureDirectory(targetDirectory);
    removeTargetOnCleanup = true;
    setFatalCleanup(removeTargetDirectory);
}

int runDriver()
{
    const int argc = __argc;
    wchar_t** const argv = __wargv;
    // Keeps the current directory out of the DLL search path.
    SetDllDirectoryW(L"");
    const bool dllMode = takeReentryRoad();
    if (!dllMode) {
        prepareFreshRoad();
    }
    verifyAttachedDataHeader();
    openAttachedDataReader();
    if (!dllMode) {
        createTargetDirectory();
    }
    if (!extractAttachedFiles(dllMode, argc, argv)) {
        // Launching a child here would start a chain of copies, each
        // starting the next.
        fatalError("Error, attached data holds no file to run.");
    }
    launchChild();
    const DWORD exitCode = superviseChild(checkSplashScreen);
    cleanupChildAndTarget();
    return static_cast<int>(exitCode);
}
