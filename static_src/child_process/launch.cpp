#include "child_process.h"

#include <shellapi.h>

#include <assert.h>
#include <wchar.h>

wchar_t executableDirectory[executablePathCapacity];
wchar_t childExecutablePath[pathCapacity];
wchar_t childCommandLine[commandLineCapacity];
HANDLE volatile childProcess;
HANDLE supervisedChild;
volatile bool removeTargetOnCleanup;
// The job that ends the child with this process (null when the system
// refused one); never closed, so it lives exactly as long as this process.
static HANDLE childJob;

// Characters in childCommandLine, kept so that every append is linear.
static size_t childCommandLineLength;

static void appendToCommandLine(const wchar_t* text, size_t count)
{
    if (!appendWide(childCommandLine, commandLineCapacity, childCommandLineLength, text, count)) {
        stopProcess("the child's command line does not fit in 32768 characters");
    }
}

void clearChildCommandLine()
{
    childCommandLine[0] = L'\0';
    childCommandLineLength = 0;
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
    assert(argument != nullptr);
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
    clearChildCommandLine();
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

// A job that ends the child when this process ends in any way, also when
// it is killed and no cleanup runs. Processes the application starts break
// away silently: an updater or a nested start must live on. Best effort: a
// system that refuses the job (an outer job that forbids nesting) runs the
// child without it.
static HANDLE createChildJob()
{
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

static void prepareChildCommandLine()
{
    if (__argc < 1 || __wargv == nullptr || __wargv[0] == nullptr) {
        stopProcess("the command line has no argument 0");
    }
    setEnvVar("MERLOX_ORIGINAL_ARGV0", __wargv[0]);
    if (childExecutablePath[0] == L'\0') {
        copyWideBounded(childExecutablePath, pathCapacity, getExecutablePath(false),
                        "the executable's path does not fit in 4096 characters");
    }
    decltype(&CommandLineToArgvW) splitCommandLine;
    if (!bindSystemFunction(splitCommandLine, L"shell32.dll", "CommandLineToArgvW")) {
        stopProcess("the system's shell32.dll has no CommandLineToArgvW");
    }
    int count = 0;
    wchar_t** const split = splitCommandLine(GetCommandLineW(), &count);
    if (split == nullptr) {
        stopProcess("the command line could not be split into arguments");
    }
    buildChildCommandLine(count, split);
    LocalFree(split);
}

// Starts the child suspended, puts it in the job before it runs a single
// instruction, then lets it go; the returned thread handle is closed.
static PROCESS_INFORMATION startChild()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    childJob = createChildJob();
    const DWORD flags = NORMAL_PRIORITY_CLASS | (childJob != nullptr ? CREATE_SUSPENDED : 0);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(childExecutablePath, childCommandLine, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup, &child)) {
        fatalSystemError("Error, couldn't launch child", GetLastError());
    }
    if (childJob != nullptr) {
        if (!AssignProcessToJobObject(childJob, child.hProcess)) {
            CloseHandle(childJob);
            childJob = nullptr;
        }
        ResumeThread(child.hThread);
    }
    CloseHandle(child.hThread);
    return child;
}

void launchChild()
{
    publishExecutableDirectory();
    prepareChildCommandLine();
    const PROCESS_INFORMATION child = startChild();
    // A second handle for the supervision loop, so that a console handler
    // closing its own never leaves the loop waiting on a closed handle.
    if (!DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &supervisedChild, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        const DWORD error = GetLastError();
        TerminateProcess(child.hProcess, 0);
        CloseHandle(child.hProcess);
        fatalSystemError("Error, couldn't launch child", error);
    }
    InterlockedExchangePointer(const_cast<HANDLE*>(&childProcess), child.hProcess);
}
