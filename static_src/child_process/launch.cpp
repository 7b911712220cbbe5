#include "child_process.h"

#include <shellapi.h>
#include <wchar.h>

wchar_t executableDirectory[executablePathCapacity];
wchar_t childExecutablePath[pathCapacity];
wchar_t childCommandLine[commandLineCapacity];
HANDLE volatile childProcess;
HANDLE supervisedChild;
volatile bool removeTargetOnCleanup;

static void appendToCommandLine(const wchar_t* text, size_t count)
{
    const size_t used = wcslen(childCommandLine);
    if (count >= commandLineCapacity - used) {
        stopProcess("the child's command line does not fit in 32768 characters");
    }
    wmemcpy(childCommandLine + used, text, count);
    childCommandLine[used + count] = L'\0';
}

static void appendBackslashes(size_t count)
{
    for (; count > 0; --count) {
        appendToCommandLine(L"\\", 1);
    }
}

// Quotes by the rules CommandLineToArgvW and the C runtime split with. An
// empty argument becomes "" so that no later argument shifts.
void appendQuotedArgument(const wchar_t* argument)
{
    if (argument[0] != L'\0' && wcspbrk(argument, L" \t\n\v\"") == nullptr) {
        appendToCommandLine(argument, wcslen(argument));
        return;
    }
    appendToCommandLine(L"\"", 1);
    size_t backslashes = 0;
    for (const wchar_t* c = argument; *c != L'\0'; ++c) {
        if (*c == L'\\') {
            ++backslashes;
            continue;
        }
        appendBackslashes(*c == L'"' ? 2 * backslashes + 1 : backslashes);
        appendToCommandLine(c, 1);
        backslashes = 0;
    }
    appendBackslashes(2 * backslashes);
    appendToCommandLine(L"\"", 1);
}

void buildChildCommandLine(int count, wchar_t** arguments)
{
    childCommandLine[0] = L'\0';
    arguments[0] = childExecutablePath;
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            appendToCommandLine(L" ", 1);
        }
        appendQuotedArgument(arguments[i]);
    }
}

static void publishExecutableDirectory()
{
    copyWideBounded(executableDirectory, executablePathCapacity, getExecutablePath(false),
                    "the executable's path does not fit in 4096 characters");
    if (wchar_t* separator = wcsrchr(executableDirectory, L'\\')) {
        *separator = L'\0';
    }
    setEnvVar("MERLOX_ONEFILE_DIRECTORY", executableDirectory);
}

void launchChild()
{
    publishExecutableDirectory();
    if (__argc < 1 || __wargv == nullptr || __wargv[0] == nullptr) {
        stopProcess("the command line has no argument 0");
    }
    setEnvVar("MERLOX_ORIGINAL_ARGV0", __wargv[0]);
    if (childExecutablePath[0] == L'\0') {
        const DWORD length = GetModuleFileNameW(nullptr, childExecutablePath, pathCapacity);
        if (length == 0 || length >= pathCapacity) {
            stopProcess("the executable's path does not fit in 4096 characters");
        }
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    int count = 0;
    wchar_t** const split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (split == nullptr) {
        stopProcess("the command line could not be split into arguments");
    }
    buildChildCommandLine(count, split);
    LocalFree(split);

    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(childExecutablePath, childCommandLine, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &child)) {
        fatalSystemError("Error, couldn't launch child", GetLastError());
    }
    CloseHandle(child.hThread);
    // A second handle for the supervision loop, so that a console handler
    // closing its own never leaves the loop waiting on a closed handle.
    if (!DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &supervisedChild, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        const DWORD error = GetLastError();
        TerminateProcess(child.hProcess, 0);
        fatalSystemError("Error, couldn't launch child", error);
    }
    InterlockedExchangePointer(const_cast<HANDLE*>(&childProcess), child.hProcess);
}
