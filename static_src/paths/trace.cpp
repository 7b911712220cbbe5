// The opt-in trace of what a start did, one line per step:
// MERLOX_ONEFILE_TRACE=1 writes to standard error, MERLOX_ONEFILE_TRACE_FILE
// appends to a file instead. Unset, a step costs one test of a handle.
#include "paths.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum : size_t { traceLineCapacity = 2048 };

// Written once by openTrace, on the main thread before any other thread
// starts; INVALID_HANDLE_VALUE while the trace is off.
static HANDLE traceOutput = INVALID_HANDLE_VALUE;
static bool traceIsFile;
static ULONGLONG traceStart;

// A byte far past any trace's end, locked around each line: under Wine an
// append is not one step, and lines of processes appending at once
// overwrote each other's heads now and then. Waited for a bounded time,
// long enough for twenty starts on a busy machine to take their turns
// (50 ms was not): past it the line goes unlocked, and so does every later
// line of the process, so whoever holds the lock (a stuck start, or anyone
// who can open the file) costs a start that wait once.
enum : DWORD { appendLockOffsetHigh = 0x7fffffff, appendLockWaitMilliseconds = 500 };
// Set once a wait for the lock ran out, by whichever thread saw it.
static volatile LONG appendLockGivenUp;

// How every line of ours begins, and so a trace file.
static const char tracePrefix[] = "onefile[";

bool isTraceFileUsable(DWORD attributes, const char* head, size_t length)
{
    const DWORD refused = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & refused)) {
        return false;
    }
    const size_t prefix = sizeof tracePrefix - 1;
    return length == 0 || (length >= prefix && memcmp(head, tracePrefix, prefix) == 0);
}

// The first bytes of the open file, at most `capacity`; their count.
static size_t readFileHead(HANDLE file, char* head, DWORD capacity)
{
    OVERLAPPED fromStart = {};
    DWORD read = 0;
    return ReadFile(file, head, capacity, &read, &fromStart) ? read : 0;
}

// The trace file: appended to, created when missing, never through a link
// (opened without following one, and checked to be where its path says).
static HANDLE openTraceFile(const wchar_t* path)
{
    wchar_t longForm[longPathCapacity];
    if (!toLongPathForm(path, longForm)) {
        return INVALID_HANDLE_VALUE;
    }
    const DWORD attributes = GetFileAttributesW(longForm);
    if (!isTraceFileUsable(attributes, "", 0)) {
        return INVALID_HANDLE_VALUE;
    }
    // Read access as well: a byte range can only be locked through a
    // handle that reads or writes data.
    const HANDLE file =
        CreateFileW(longForm, FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // Only appended to when new, empty or a trace already: never into a
    // file the variable names that is something else (a DLL, a document).
    char head[sizeof tracePrefix - 1];
    if (file != INVALID_HANDLE_VALUE &&
        (!isOpenedInPlace(file, path) || !isTraceFileUsable(0, head, readFileHead(file, head, sizeof head)))) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Why the trace file the variable names was refused, to be said once by
// the start that owns the run (never by its child as well); empty when it
// was not.
static wchar_t traceRefusal[pathCapacity + 160];

void openTrace()
{
    traceStart = GetTickCount64();
    wchar_t* const file = getEnvVar(ONEFILE_VARIABLE_TRACE_FILE);
    if (file != nullptr) {
        const bool absolute = isAbsoluteWindowsPath(file);
        traceOutput = absolute ? openTraceFile(file) : INVALID_HANDLE_VALUE;
        traceIsFile = true;
        if (traceOutput == INVALID_HANDLE_VALUE) {
            _snwprintf(traceRefusal, pathCapacity + 159,
                       absolute ? L"onefile: the trace file %ls cannot be used (a folder, a link, read-only, not "
                                  L"where it seems, or a file that is not a trace); nothing is traced"
                                : L"onefile: the trace file %ls is not an absolute Windows path; give one, for "
                                  L"example C:\\... or Z:\\... under Wine; nothing is traced",
                       file);
        }
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

void reportTraceRefusal()
{
    if (traceRefusal[0] != L'\0') {
        reportWideLine(traceRefusal);
    }
}

bool isTracing()
{
    return traceOutput != INVALID_HANDLE_VALUE;
}

// The append lock, tried until it is taken or the bound has passed.
static bool takeAppendLock(OVERLAPPED& lockAt)
{
    const ULONGLONG began = GetTickCount64();
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    while (appendLockGivenUp == 0) {
        if (LockFileEx(traceOutput, flags, 0, 1, 0, &lockAt)) {
            return true;
        }
        if (GetTickCount64() - began >= appendLockWaitMilliseconds && InterlockedExchange(&appendLockGivenUp, 1) == 0) {
            // Said once, itself unlocked: the lock is given up already.
            traceStep(L"trace: its lock was held for 0.5 s; this process's lines go unlocked from here");
        }
        Sleep(1);
    }
    return false;
}

// One write per line, so lines of the parent and the child never mix; into
// a file, under the append lock (held for one write, never across a wait).
static void writeTraceLine(const char* text, DWORD bytes)
{
    OVERLAPPED lockAt = {};
    lockAt.OffsetHigh = appendLockOffsetHigh;
    const bool locked = traceIsFile && takeAppendLock(lockAt);
    DWORD written = 0;
    WriteFile(traceOutput, text, bytes, &written, nullptr);
    if (locked) {
        UnlockFileEx(traceOutput, 0, 1, 0, &lockAt);
    }
}

void traceStepWith(const wchar_t* format, va_list arguments)
{
    if (traceOutput == INVALID_HANDLE_VALUE) {
        return;
    }
    wchar_t line[traceLineCapacity];
    int length = swprintf(line, traceLineCapacity, L"onefile[%lu] %llu ms: ", GetCurrentProcessId(),
                          static_cast<unsigned long long>(GetTickCount64() - traceStart));
    const int added = _vsnwprintf(line + length, traceLineCapacity - 2 - length, format, arguments);
    // A step too long for the line is cut, never left unended.
    length = added < 0 ? static_cast<int>(traceLineCapacity) - 2 : length + added;
    line[length++] = L'\n';
    char text[traceLineCapacity * 3];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, length, text, sizeof text, nullptr, nullptr);
    if (bytes > 0) {
        writeTraceLine(text, static_cast<DWORD>(bytes));
    }
}

void traceStep(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    traceStepWith(format, arguments);
    va_end(arguments);
}
