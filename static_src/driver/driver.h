// The entry point's driver: picks the fresh or the re-entry road and calls
// every other subsystem in a fixed order. The only folder that knows them all.
#pragma once

#include "paths/paths.h"

// Whether the process named by `parentId` (MERLOX_ONEFILE_PARENT) is alive,
// runs this very executable file and began before this process.
bool isParentInstance(const wchar_t* parentId);
// Who started this process, as far as the variables a start inherits can
// be trusted: `parentId` names a copy of this executable
// (isParentInstance), and the process that created this one, as the
// system records it, is that copy (the bootstrap) or another copy of this
// executable (the application starting it again). A start by any other
// program, a shell the application used among them, is `other`: a
// caller's variables never choose the DLL this executable loads.
enum class Starter { other, bootstrap, application };
Starter identifyStarter(const wchar_t* parentId);

// Whether the process that created this one, as the system records it, has
// the id `processId` (decimal).
bool wasCreatedBy(const wchar_t* processId);

// Whether the inherited time and random values have exactly the form the
// parent's expansion gives them (6 digits; 11 characters of the alphabet).
bool hasInheritedRunValues();

// Creates targetDirectory for the fresh road, new and private (an existing
// one ends the process, never taken over), registers the cleanup that
// removes it on any stop, then holds it as the run's proof of life.
void createTargetDirectory();

// Whether fatal lines nobody sees are shown in a box (the executable's own
// setting, 1 unless it was built with --no-error-dialog).
extern "C" const unsigned char onefileErrorDialogEnabled;
// Whether the splash shows the unpacking's progress (--splash-progress).
extern "C" const unsigned char onefileSplashProgress;

// Loads the application's DLL (the first record's file) from
// targetDirectory and ends the process with the result of its run_code.
[[noreturn]] void runApplication(int argc, wchar_t** argv);

// The detached upkeep worker (upkeep_worker.cpp): whether this process is
// one (MERLOX_ONEFILE_UPKEEP names the bootstrap that created it), its whole road, and its start by the
// bootstrap once the run has ended.
bool isUpkeepWorker();
int runUpkeepWorker();
void startUpkeepWorker();

// Runs the whole bootstrap and returns the process's exit code.
int runDriver();
