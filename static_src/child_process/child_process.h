// Child process: the launch of the second copy of this executable, its
// supervision, the console control handler and the cleanup that removes the
// target directory. Depends only on paths.
#pragma once

#include "paths/paths.h"

enum : size_t { commandLineCapacity = 32768 };

extern wchar_t executableDirectory[executablePathCapacity];
extern wchar_t childExecutablePath[pathCapacity];
extern wchar_t childCommandLine[commandLineCapacity];
// The child for cleanup: taken (atomically exchanged for null) by whoever
// closes it, the main thread or the console handler, so it is closed once.
extern HANDLE volatile childProcess;
// The main thread's own handle to the child, used only by superviseChild.
extern HANDLE supervisedChild;
extern volatile bool removeTargetOnCleanup;

void appendQuotedArgument(const wchar_t* argument);
void buildChildCommandLine(int count, wchar_t** arguments);
void launchChild();

// Waits for the child. While `isSplashPending` answers true the wait is cut
// into 50 ms slices; from its first false on, the wait has no time limit.
DWORD superviseChild(bool (*isSplashPending)());
void cleanupChildAndTarget();
BOOL WINAPI consoleCtrlHandler(DWORD eventType);

// Removes every symbolic link and junction below `directory` without
// following it; false when one could not be removed.
bool removeLinksBelow(const wchar_t* directory);
// Deletes every file and directory below `directory`, and it, but never
// enters or removes a link: for a link that could not be removed.
void deleteAroundLinks(const wchar_t* directory);
