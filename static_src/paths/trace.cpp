// The opt-in trace of what a start did, one line per step:
// MERLOX_ONEFILE_TRACE=1 writes to standard error, MERLOX_ONEFILE_TRACE_FILE
// appends to a file instead. Unset, a step costs one test of a handle.
#include "paths.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

enum : size_t { traceLineCapacity = 2048 };

// Written once by openTrace, on the main thread before any other thread
// starts; INVALID_HANDLE_VALUE while the trace is off.
static HANDLE traceOutput = INVALID_HANDLE_VALUE;
static ULONGLONG traceStart;

// The trace file: appended to, created when missing, never through a link
// (opened without following one, and checked to be where its path says).
static HANDLE openTraceFile(const wchar_t* path)
{
    wchar_t longForm[longPathCapacity];
    if (!toLongPathForm(path, longForm)) {
        return INVALID_HANDLE_VALUE;
    }
    const DWORD attributes = GetFileAttributesW(longForm);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE file =
        CreateFileW(longForm, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE && !isOpenedInPlace(file, path)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

void openTrace()
{
    traceStart = GetTickCount64();
    wchar_t* const file = getEnvVar(ONEFILE_VARIABLE_TRACE_FILE);
    if (file != nullptr) {
        traceOutput = openTraceFile(file);  // a path that cannot be used is ignored
        free(file);
        return;
    }
    wchar_t* const on = getEnvVar(ONEFILE_VARIABLE_TRACE);
    if (on != nullptr && wcscmp(on, L"1") == 0) {
        traceOutput = GetStdHandle(STD_ERROR_HANDLE);
        traceOutput = traceOutput == nullptr ? INVALID_HANDLE_VALUE : traceOutput;
    }
    free(on);
}

bool isTracing()
{
    return traceOutput != INVALID_HANDLE_VALUE;
}

void traceStep(const wchar_t* format, ...)
{
    if (traceOutput == INVALID_HANDLE_VALUE) {
        return;
    }
    wchar_t line[traceLineCapacity];
    int length = swprintf(line, traceLineCapacity, L"onefile[%lu] %llu ms: ", GetCurrentProcessId(),
                          static_cast<unsigned long long>(GetTickCount64() - traceStart));
    va_list arguments;
    va_start(arguments, format);
    const int added = _vsnwprintf(line + length, traceLineCapacity - 2 - length, format, arguments);
    va_end(arguments);
    // A step too long for the line is cut, never left unended.
    length = added < 0 ? static_cast<int>(traceLineCapacity) - 2 : length + added;
    line[length++] = L'\n';
    char text[traceLineCapacity * 3];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, length, text, sizeof text, nullptr, nullptr);
    DWORD written = 0;
    if (bytes > 0) {
        // One write per line: lines of the parent and the child never mix.
        WriteFile(traceOutput, text, static_cast<DWORD>(bytes), &written, nullptr);
    }
}
