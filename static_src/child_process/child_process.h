// Child process: the child's command line, the launch of the second copy of
// this executable (suspended, checked, in a job), its supervision, the
// console control handler and the cleanup that removes the target
// directory. Depends only on paths.
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
// The error mode this process began with (before it set its own), which
// the child is created with, as a plain program would hand it on.
void keepStartingErrorMode(UINT mode);
// Set once the child has been let go to run the application, never reset:
// from then on Ctrl+C and Ctrl+Break are the application's, also when the
// event reaches this process only after the child has ended.
extern volatile LONG applicationReleased;
// The main thread's own handle to the child, used only by superviseChild.
extern HANDLE supervisedChild;
// The folder the cleanup removes when it is the run's to remove: the
// driver publishes each decision whole, as one pointer, so that a cleanup
// on any thread sees one decision or the next, never half of one. The
// value must live as long as the process. Null: none yet.
void publishCleanupTarget(const TargetFolder* target);
// The driver's steps in the cleanup, from whichever thread runs it: `first`
// as it begins (the background work stops), `beforeRemoval` right before the
// target is removed (nothing may still write into it or hold it). Null runs
// nothing.
void setCleanupSteps(void (*first)(), void (*beforeRemoval)());

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
// Whether a failed creation of the child may succeed when made again: the
// child never ran, and the system was short of something for a moment.
// Bounded retries follow only such failures.
bool isPassingCreationError(DWORD error);
// The same in two steps, for a start that checks its target meanwhile:
// the child created suspended, in its job, its image checked (the run ends
// otherwise), then either let go (released) or ended before it ran a
// single instruction of its own. Main thread.
void createSuspendedChild();
void releaseChild();
void endSuspendedChild();

// Waits for the child. While `isSplashPending` answers true the wait is cut
// into 50 ms slices; from its first false on, the wait has no time limit.
DWORD superviseChild(bool (*isSplashPending)());
// The one end of a run, from the main thread or the console handler: runs
// the first cleanup step, gives the child 5 s to end before terminating it,
// then removes the target (removeTargetDirectory). Safe to run twice at
// once: each resource is taken by exactly one caller.
void cleanupChildAndTarget();
// Removes the target directory, if this run owns it, with the retries that
// give a file held by another process time to be let go.
void removeTargetDirectory();
// For closing the console, logoff and shutdown, and for Ctrl+C and
// Ctrl+Break before the child exists: the cleanup, then the end of the
// process with STATUS_CONTROL_C_EXIT. Ctrl+C and Ctrl+Break once the child
// exists are the application's: handled here by doing nothing, so the
// supervision goes on until the application ends. Other events go on to
// the next handler.
BOOL WINAPI consoleCtrlHandler(DWORD eventType);
// Registers consoleCtrlHandler with what it needs; false on failure.
bool registerConsoleHandler();
