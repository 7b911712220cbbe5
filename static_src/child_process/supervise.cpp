#include "child_process.h"

#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

// Long enough for the handler's cleanup (up to 5 s for the child, about 2 s
// for the deletion) and the system's end of the process after it.
static const DWORD consoleGraceMilliseconds = 15000;

DWORD superviseChild(bool (*isSplashPending)())
{
    if (supervisedChild == nullptr) {
        return 0;
    }
    DWORD exitCode = 0;
    DWORD slice = 50;
    for (;;) {
        // The wait's own result tells an ended child: a child may really
        // end with 259, the code that otherwise means "still running".
        const DWORD waited = WaitForSingleObject(supervisedChild, slice);
        if (!GetExitCodeProcess(supervisedChild, &exitCode) || waited == WAIT_FAILED) {
            exitCode = 1;
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
    if (const HANDLE child = InterlockedExchangePointer(const_cast<HANDLE*>(&childProcess), nullptr)) {
        CloseHandle(child);
    } else {
        // The console handler ended the child; the system's default handling
        // is about to end this process with the event's own code, which the
        // terminated child's 0 must not overtake.
        Sleep(consoleGraceMilliseconds);
    }
    return exitCode;
}

static void deleteTargetDirectory()
{
    // The list form needs a second NUL; a target filling its whole buffer
    // leaves no room for it there.
    static wchar_t fromList[pathCapacity + 1];
    wmemset(fromList, L'\0', pathCapacity + 1);
    wcsncpy(fromList, targetDirectory, pathCapacity - 1);
    SHFILEOPSTRUCTW request = {};
    request.hwnd = nullptr;
    request.wFunc = FO_DELETE;
    request.pFrom = fromList;
    request.pTo = L"";
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = nullptr;
    request.lpszProgressTitle = L"";
    SHFileOperationW(&request);
}

static bool isDirectoryPresent(const wchar_t* path)
{
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void cleanupChildAndTarget()
{
    if (const HANDLE child = InterlockedExchangePointer(const_cast<HANDLE*>(&childProcess), nullptr)) {
        if (WaitForSingleObject(child, 5000) != WAIT_OBJECT_0) {
            TerminateProcess(child, 0);
        }
        CloseHandle(child);
    }
    if (!removeTargetOnCleanup || targetDirectory[0] == L'\0') {
        return;
    }
    // The deletion would follow a link into whatever it points at (Wine's
    // does). A link that cannot be removed (Wine cannot remove a Unix one)
    // stays with the directories above it; everything else goes.
    if (!removeLinksBelow(targetDirectory)) {
        deleteAroundLinks(targetDirectory);
        return;
    }
    deleteTargetDirectory();
    for (int retry = 0; retry < 20 && isDirectoryPresent(targetDirectory); ++retry) {
        Sleep(100);
        deleteTargetDirectory();
    }
}

BOOL WINAPI consoleCtrlHandler(DWORD eventType)
{
    switch (eventType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanupChildAndTarget();
        break;
    default:
        break;
    }
    return FALSE;
}
