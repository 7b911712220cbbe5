#include "paths.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void (*volatile fatalCleanup)();
static volatile bool showUnseenLines;

void setFatalCleanup(void (*cleanup)())
{
    fatalCleanup = cleanup;
}

void showFatalLinesNobodySees()
{
    showUnseenLines = true;
}

// Whether a line written to the standard handle reaches nobody: a program
// started without standard handles, as Explorer starts a windowed one, has
// none, and its runtime's writes go nowhere.
static bool leadsNowhere(DWORD standardHandle)
{
    const HANDLE handle = GetStdHandle(standardHandle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return true;
    }
    SetLastError(NO_ERROR);
    return GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() == ERROR_INVALID_HANDLE;
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

// Shows the line in a message box, titled with the executable's file name,
// when it was written to a handle that leads nowhere. user32 is bound here,
// so that the bootstrap imports it only when a box is shown. Returns when
// the box is closed.
static void showUnseenLine(DWORD standardHandle, const wchar_t* format, va_list arguments)
{
    if (!showUnseenLines || !leadsNowhere(standardHandle)) {
        return;
    }
    using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    MessageBoxFunction messageBox;
    enum : DWORD { lineCapacity = 40000, moduleCapacity = 32768 };
    wchar_t* const line = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, lineCapacity * sizeof(wchar_t)));
    wchar_t* const module = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, moduleCapacity * sizeof(wchar_t)));
    if (line != nullptr && module != nullptr && bindSystemFunction(messageBox, L"user32.dll", "MessageBoxW")) {
        _vsnwprintf(line, lineCapacity - 1, format, arguments);
        line[lineCapacity - 1] = L'\0';
        const DWORD length = GetModuleFileNameW(nullptr, module, moduleCapacity);
        module[length < moduleCapacity ? length : 0] = L'\0';
        const wchar_t* const slash = wcsrchr(module, L'\\');
        messageBox(nullptr, line, slash != nullptr ? slash + 1 : module, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    }
    HeapFree(GetProcessHeap(), 0, line);
    HeapFree(GetProcessHeap(), 0, module);
}

// After the line is written: the line into the trace, the cleanup, then
// the box for a line nobody saw (the line again, as `format` makes it),
// then exit code 2.
[[noreturn]] static void endAfterFailure(DWORD standardHandle, const wchar_t* format, ...)
{
    fflush(stdout);
    fflush(stderr);
    va_list arguments;
    va_start(arguments, format);
    traceStepWith(format, arguments);
    va_end(arguments);
    runFatalCleanup();
    va_start(arguments, format);
    showUnseenLine(standardHandle, format, arguments);
    va_end(arguments);
    exit(fatalExitCode);
}

void fatalError(const char* message)
{
    puts(message);
    endAfterFailure(STD_OUTPUT_HANDLE, L"%hs", message);
}

// The system's English text for `errorCode` in `text`, without its line
// break, or "unknown error" (systems without English texts find none for any
// code). A text asked for without its inserts keeps their "%1"; each is
// replaced by `insert`.
static void describeSystemError(DWORD errorCode, const char* insert, char* text, size_t capacity)
{
    char* system = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, errorCode,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&system), 0, nullptr);
    const char* from = length != 0 && system != nullptr ? system : "unknown error";
    size_t used = 0;
    while (*from != '\0' && used + 1 < capacity) {
        if (from[0] == '%' && from[1] >= '1' && from[1] <= '9') {
            from += 2;
            while (*from >= '0' && *from <= '9') ++from;
            if (*from == '!') {  // a printf format: "%1!s!"
                const char* end = strchr(from + 1, '!');
                from = end != nullptr ? end + 1 : from;
            }
            for (const char* c = insert; *c != '\0' && used + 1 < capacity; ++c) text[used++] = *c;
            continue;
        }
        text[used++] = *from++;
    }
    while (used > 0 && (text[used - 1] == '\r' || text[used - 1] == '\n')) --used;
    text[used] = '\0';
    LocalFree(system);
}

enum { systemTextCapacity = 1024 };

void fatalSystemError(const char* message, DWORD errorCode)
{
    char text[systemTextCapacity];
    describeSystemError(errorCode, "the file", text, systemTextCapacity);
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(errorCode), text);
    endAfterFailure(STD_ERROR_HANDLE, L"%hs ([Error %ld] %hs)", message, static_cast<long>(errorCode), text);
}

void fatalFileError(const char* message, const wchar_t* path, DWORD errorCode)
{
    // The inserts name the file as the line does, by its last part.
    const wchar_t* const slash = wcsrchr(path, L'\\');
    char name[MAX_PATH * 2];
    if (WideCharToMultiByte(CP_ACP, 0, slash != nullptr ? slash + 1 : path, -1, name, sizeof name, nullptr, nullptr) ==
        0) {
        strcpy(name, "the file");
    }
    char text[systemTextCapacity];
    describeSystemError(errorCode, name, text, systemTextCapacity);
    fprintf(stderr, "%s '%ls' ([Error %ld] %s)\n", message, path, static_cast<long>(errorCode), text);
    endAfterFailure(STD_ERROR_HANDLE, L"%hs '%ls' ([Error %ld] %hs)", message, path, static_cast<long>(errorCode),
                    text);
}

static void showLineNobodySaw(DWORD standardHandle, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    showUnseenLine(standardHandle, format, arguments);
    va_end(arguments);
}

void fatalSpecExpansion(const wchar_t* spec)
{
    fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", spec);
    fflush(stderr);
    traceStep(L"Error, couldn't runtime expand spec '%ls'.", spec);
    showLineNobodySaw(STD_ERROR_HANDLE, L"Error, couldn't runtime expand spec '%ls'.", spec);
    // The runtime's abort may still show a dialog or print more (Windows'
    // own msvcrt does); the abnormal end's exit code 3 is given directly.
    TerminateProcess(GetCurrentProcess(), fatalSpecExitCode);
    ExitProcess(fatalSpecExitCode);
}

void reportLine(const char* line)
{
    fprintf(stderr, "%s\n", line);
    fflush(stderr);
    traceStep(L"%hs", line);
    showLineNobodySaw(STD_ERROR_HANDLE, L"%hs", line);
}

void reportWideLine(const wchar_t* line)
{
    fwprintf(stderr, L"%ls\n", line);
    fflush(stderr);
    traceStep(L"%ls", line);
    showLineNobodySaw(STD_ERROR_HANDLE, L"%ls", line);
}

void stopProcess(const char* reason)
{
    fprintf(stderr, "Error, %s.\n", reason);
    endAfterFailure(STD_ERROR_HANDLE, L"Error, %hs.", reason);
}
