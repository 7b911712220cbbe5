#include "child_process.h"

#include <assert.h>

enum : DWORD {
    splashPollMilliseconds = 50,
    childGraceMilliseconds = 5000,
    deletionRetries = 20,
    deletionPauseMilliseconds = 100,
    // What the child's exit code reads as when it cannot be read.
    unreadableExitCode = 1,
    // The code the system's default handling ends a process with after a
    // console control event.
    consoleEventExitCode = 0xC000013A,
};

// Set by the console handler once its cleanup is done; manual reset.
static HANDLE consoleCleanupDone;
// Set by the console handler before anything else: the child's end that
// the supervision loop sees may be the event's doing.
static volatile LONG consoleEventArrived;

// The console handler took the child: it has ended it and is removing the
// target. This process ends once that is done, with the event's own code,
// whichever of this thread and the system's default handling comes first.
[[noreturn]] static void endAfterConsoleCleanup()
{
    WaitForSingleObject(consoleCleanupDone, INFINITE);
    ExitProcess(consoleEventExitCode);
}

DWORD superviseChild(bool (*isSplashPending)())
{
    assert(isSplashPending != nullptr);
    if (supervisedChild == nullptr) {
        return 0;
    }
    DWORD exitCode = 0;
    DWORD slice = splashPollMilliseconds;
    for (;;) {
        // The wait's own result tells an ended child: a child may really
        // end with 259, the code that otherwise means "still running".
        const DWORD waited = WaitForSingleObject(supervisedChild, slice);
        if (!GetExitCodeProcess(supervisedChild, &exitCode) || waited == WAIT_FAILED) {
            exitCode = unreadableExitCode;
            break;
        }
        if (waited == WAIT_OBJECT_0) {
            break;
        }
        if (slice != INFINITE && !isSplashPending()) {
            slice = INFINITE;
        }
        if (childProcess == nullptr) {
            break;  // the console handler took the child over
        }
    }
    CloseHandle(supervisedChild);
    supervisedChild = nullptr;
    const HANDLE child = exchangeHandle(childProcess, nullptr);
    if ((child == nullptr || consoleEventArrived) && consoleCleanupDone != nullptr) {
        if (child != nullptr) {
            CloseHandle(child);
        }
        endAfterConsoleCleanup();
    }
    if (child != nullptr) {
        CloseHandle(child);
    }
    return exitCode;
}

static void (*firstCleanupStep)();
static void (*stepBeforeRemoval)();

void setCleanupSteps(void (*first)(), void (*beforeRemoval)())
{
    firstCleanupStep = first;
    stepBeforeRemoval = beforeRemoval;
}

static void* volatile cleanupTarget;  // a const TargetFolder*

void publishCleanupTarget(const TargetFolder* target)
{
    InterlockedExchangePointer(&cleanupTarget, const_cast<TargetFolder*>(target));
}

void removeTargetDirectory()
{
    if (stepBeforeRemoval != nullptr) {
        stepBeforeRemoval();
    }
    const TargetFolder* const target =
        static_cast<const TargetFolder*>(InterlockedCompareExchangePointer(&cleanupTarget, nullptr, nullptr));
    if (target == nullptr || !target->removedAtEnd || target->path[0] == L'\0') {
        return;
    }
    // Every attempt is a fresh walk: a link made since the last one is
    // seen as a link, never followed.
    for (DWORD retry = 0; !removeDirectoryTree(target->path) && retry < deletionRetries; ++retry) {
        Sleep(deletionPauseMilliseconds);
    }
}

void cleanupChildAndTarget()
{
    if (firstCleanupStep != nullptr) {
        firstCleanupStep();
    }
    if (const HANDLE child = exchangeHandle(childProcess, nullptr)) {
        if (WaitForSingleObject(child, childGraceMilliseconds) != WAIT_OBJECT_0) {
            TerminateProcess(child, 0);
            // Its files are free only once it has really gone.
            WaitForSingleObject(child, childGraceMilliseconds);
        }
        CloseHandle(child);
    }
    removeTargetDirectory();
}

BOOL WINAPI consoleCtrlHandler(DWORD eventType)
{
    switch (eventType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // The application's, once it exists: it shares the console, gets
        // the event itself and may go on (an interpreter's prompt, a tool
        // that saves its work); the run ends when it ends, with its code,
        // also when the event reaches this process after that end.
        if (applicationReleased != 0) {
            return TRUE;
        }
        // While unpacking there is nobody else to ask: the start ends.
        [[fallthrough]];
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        InterlockedExchange(&consoleEventArrived, 1);
        cleanupChildAndTarget();
        if (consoleCleanupDone != nullptr) {
            SetEvent(consoleCleanupDone);
        }
        // The code the system's default handling ends a process with on
        // Windows, given here: Wine's default handling ends it with 0, which
        // would report an interrupted run as a success.
        ExitProcess(consoleEventExitCode);
    default:
        break;
    }
    return FALSE;
}

bool registerConsoleHandler()
{
    consoleCleanupDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return consoleCleanupDone != nullptr && SetConsoleCtrlHandler(consoleCtrlHandler, TRUE);
}
