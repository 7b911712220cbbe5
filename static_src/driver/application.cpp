// The application itself: its DLL loaded from the target directory and its
// run_code called, in the process the bootstrap started.
#include "driver.h"

#include <stdio.h>
#include <stdlib.h>

#include "attached_data/attached_data.h"

using RunCode = int (*)(int argc, wchar_t** argv, const wchar_t* dllPath);

enum : DWORD { interruptedExitCode = 0xC000013A };  // STATUS_CONTROL_C_EXIT

bool describeApplicationEnd(DWORD exitCode, char* line, size_t capacity)
{
    // NTSTATUS error severity, a system's code (the customer bit clear): the
    // application's process ended on an exception nobody handled. A
    // negative number the application returns (-1 is 0xFFFFFFFF) has the
    // customer bit set; an interrupt is no crash.
    if ((exitCode & 0xE0000000u) != 0xC0000000u || exitCode == interruptedExitCode) {
        return false;
    }
    static const struct {
        DWORD code;
        const char* name;
    } names[] = {
        {0xC0000005u, "access violation"},    {0xC00000FDu, "stack overflow"},
        {0xC000001Du, "illegal instruction"}, {0xC0000094u, "integer divide by zero"},
        {0xC0000374u, "heap corruption"},     {0xC0000409u, "stack buffer overrun"},
    };
    const char* name = nullptr;
    for (const auto& known : names) {
        name = known.code == exitCode ? known.name : name;
    }
    snprintf(line, capacity,
             name != nullptr ? "the application ended with exception 0x%08lX (%s)"
                             : "the application ended with exception 0x%08lX",
             static_cast<unsigned long>(exitCode), name);
    return true;
}

void runApplication(const wchar_t* folder, int argc, wchar_t** argv)
{
    wchar_t name[recordNameCapacity];
    if (!readApplicationName(name)) {
        // Launching a child here would start a chain of copies, each
        // starting the next.
        fatalError("Error, attached data holds no file to run.");
    }
    wchar_t dllPath[pathCapacity];
    if (!joinPath(dllPath, folder, name)) {
        stopProcess("a file path of the attached data does not fit in 4096 characters");
    }
    // The folder is searched for the DLL's own imports and for what the
    // application loads by name later (plugins, extension modules): the
    // standard search order takes it in place of the current directory.
    AddDllDirectory(folder);
    if (!SetDllDirectoryW(folder)) {
        traceStep(L"the run folder is not in the search order of LoadLibraryW ([Error %lu])", GetLastError());
    }
    const HMODULE dll =
        LoadLibraryExW(dllPath, nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dll == nullptr) {
        fatalFileError("Error, load DLL", dllPath, GetLastError());
    }
    const FARPROC entry = GetProcAddress(dll, "run_code");
    if (entry == nullptr) {
        fatalError("Error, DLL entry point not found.");
    }
    const RunCode runCode = reinterpret_cast<RunCode>(reinterpret_cast<void*>(entry));
    // No console handler of ours: Ctrl+C and Ctrl+Break reach the
    // application as they would in a plain program that loaded it, and one
    // it does not handle ends it the way the platform ends such a program.
    traceStep(L"running the application from %ls", dllPath);
    exit(runCode(argc, argv, dllPath));
}
