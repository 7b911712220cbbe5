#include "paths.h"

#include <stdio.h>
#include <stdlib.h>

static void (*volatile fatalCleanup)();

void setFatalCleanup(void (*cleanup)())
{
    fatalCleanup = cleanup;
}

// Runs the registered cleanup at most once, even when it fails fatally
// itself or a second thread stops at the same time.
static void runFatalCleanup()
{
    void* const taken = InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&fatalCleanup), nullptr);
    if (taken != nullptr) {
        reinterpret_cast<void (*)()>(taken)();
    }
}

[[noreturn]] static void endAfterFailure()
{
    fflush(stdout);
    fflush(stderr);
    runFatalCleanup();
    exit(fatalExitCode);
}

void fatalError(const char* message)
{
    puts(message);
    endAfterFailure();
}

// The system's text for `errorCode`, without its line break, allocated by
// the system (a text of any length fits), to be freed with LocalFree; null
// when there is none: systems without English texts find none for any code.
static char* describeSystemError(DWORD errorCode)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, errorCode,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return nullptr;
    }
    DWORD end = length;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) {
        --end;
    }
    text[end] = '\0';
    return text;
}

void fatalSystemError(const char* message, DWORD errorCode)
{
    char* const text = describeSystemError(errorCode);
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(errorCode),
            text != nullptr ? text : "unknown error");
    LocalFree(text);
    endAfterFailure();
}

void fatalFileError(const char* message, const wchar_t* path, DWORD errorCode)
{
    char* const text = describeSystemError(errorCode);
    fprintf(stderr, "%s '%ls' ([Error %ld] %s)\n", message, path, static_cast<long>(errorCode),
            text != nullptr ? text : "unknown error");
    LocalFree(text);
    endAfterFailure();
}

void fatalSpecExpansion(const wchar_t* spec)
{
    fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", spec);
    fflush(stderr);
    // The runtime's abort may still show a dialog or print more (Windows'
    // own msvcrt does); the abnormal end's exit code 3 is given directly.
    TerminateProcess(GetCurrentProcess(), fatalSpecExitCode);
    ExitProcess(fatalSpecExitCode);
}

void stopProcess(const char* reason)
{
    fprintf(stderr, "Error, %s.\n", reason);
    endAfterFailure();
}
