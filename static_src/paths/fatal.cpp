#include "paths.h"

#include <stdio.h>
#include <stdlib.h>

void fatalError(const char* message)
{
    puts(message);
    exit(2);
}

void fatalSystemError(const char* message, DWORD errorCode)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, errorCode, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<char*>(&text), 0, nullptr);
    // Systems without English message texts find none for any code.
    const char* shown = "unknown error";
    if (length != 0 && text != nullptr) {
        DWORD end = length;
        while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) {
            --end;
        }
        text[end] = '\0';
        shown = text;
    }
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(errorCode), shown);
    exit(2);
}

void fatalSpecExpansion(const wchar_t* spec)
{
    fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", spec);
    fflush(stderr);
    // A GUI program's abort would otherwise show the runtime's message box;
    // on standard error it stays a non-interactive abnormal end (exit code 3).
    _set_error_mode(_OUT_TO_STDERR);
    abort();
}

void stopProcess(const char* reason)
{
    fprintf(stderr, "Error, %s.\n", reason);
    exit(2);
}
