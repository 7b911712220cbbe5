// Child process: the child's command line, the launch of the second copy of
// this executable (suspended, checked, in a job), its supervision, the
// console control handler, the cleanup that removes the target directory
// with the run's proof of life, and the sweep of dead runs' leftovers.
// Depends only on paths.
#pragma once

#include "paths/paths.h"

enum : size_t { commandLineCapacity = 32768 };

// Written by launchChild on the main thread, before the child starts: the
// folder of the executable (MERLOX_ONEFILE_DIRECTORY), the child's image
// path and its command line.
extern wchar_t executableDirectory[executablePathCapacity];
extern wchar_t childExecutablePath[pathCapacity];
extern wchar_t childCommandLine[commandLineCapacity];
// The child for cleanup: taken (atomically exchanged for null) by whoever
// closes it, the main thread or the console handler, so it is closed once.
extern HANDLE volatile childProcess;
// The main thread's own handle to the child, used only by superviseChild.
extern HANDLE supervisedChild;
// Whether the target is this run's to remove: set by the driver once it
// has created the target, read by the cleanup on any thread.
extern volatile bool removeTargetOnCleanup;
// The run's proof of life: the target directory held open without delete
// sharing from its creation until the cleanup begins. Another start's sweep
// takes a directory it cannot open for deletion as alive. Written by the
// driver once, taken (exchanged) by the cleanup.
extern HANDLE volatile targetDirectoryHold;
// What the cleanup runs before it removes anything: it stops whatever still
// writes into the target (the driver hands in the extraction's stop).
void setTargetWritersStop(void (*stop)());

void clearChildCommandLine();
void appendQuotedArgument(const wchar_t* argument);
// Where a command line's argument 0 ends: the C runtime's rule.
const wchar_t* skipArgumentZero(const wchar_t* commandLine);
void buildChildCommandLine(const wchar_t* commandLine);
// Keeps a handle on this process's executable file, to compare the child's
// with; called at the start of the fresh road.
void holdOwnExecutable();
// Starts the child suspended and lets it run only when it runs this very
// executable file; ends the run (one line, cleanup, exit code 2) otherwise.
void launchChild();

// Waits for the child. While `isSplashPending` answers true the wait is cut
// into 50 ms slices; from its first false on, the wait has no time limit.
DWORD superviseChild(bool (*isSplashPending)());
// The one end of a run, from the main thread or the console handler: stops
// the sweep, gives the child 5 s to end before terminating it, then removes
// the target (removeTargetDirectory). Safe to run twice at once: each
// resource is taken by exactly one caller.
void cleanupChildAndTarget();
// Removes the target directory, if this run owns it, with the retries that
// give a file held by another process time to be let go.
void removeTargetDirectory();
BOOL WINAPI consoleCtrlHandler(DWORD eventType);
// Registers consoleCtrlHandler with what it needs; false on failure.
bool registerConsoleHandler();

// Set by the build (beside the attached data): whether a fresh start sweeps
// the leftovers of dead runs.
extern "C" const unsigned char onefileSweepEnabled;

// Removes what earlier runs that can no longer clean up (killed, crashed)
// left directly in `temporaryDirectory`: target directories and splash
// feedback files by their exact names, without a proof of life and unused,
// at most 8 per call. Never fails; returns how many went.
int sweepDeadRuns(const wchar_t* temporaryDirectory);
// The same on a thread of its own, while the application runs; nothing
// when no thread can be made.
void startSweep(const wchar_t* temporaryDirectory);
// Ends a started sweep at its next entry and waits for that; nothing when
// none runs. Any thread, any number of times.
void stopSweep();
