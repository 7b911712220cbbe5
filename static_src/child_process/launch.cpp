#include "child_process.h"

#include <assert.h>
#include <stdlib.h>
#include <wchar.h>

wchar_t executableDirectory[executablePathCapacity];
wchar_t childExecutablePath[pathCapacity];
wchar_t childCommandLine[commandLineCapacity];
HANDLE volatile childProcess;
volatile LONG applicationReleased;
// The error mode this process began with, before it set its own.
static UINT startingErrorMode;
HANDLE supervisedChild;
// The job that ends the child with this process (null when the system
// refused one); never closed, so it lives exactly as long as this process.
static HANDLE childJob;

// This process's own executable file, opened at start: the child must run
// the same file, whatever has been put at its path since.
static HANDLE ownExecutable = INVALID_HANDLE_VALUE;

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

// Argument 0 ends at the first blank or tab outside double quotes; quotes
// toggle and nothing escapes. The C runtime skips it by the same rule.
const wchar_t* skipArgumentZero(const wchar_t* commandLine)
{
    bool quoted = false;
    const wchar_t* c = commandLine;
    for (; *c != L'\0' && (quoted || (*c != L' ' && *c != L'\t')); ++c) {
        if (*c == L'"') {
            quoted = !quoted;
        }
    }
    return c;
}

// The child's own path, quoted, then everything the user typed after
// argument 0 exactly as typed: the application's runtime splits it as it
// would split a plain program's command line.
void buildChildCommandLine(const wchar_t* commandLine)
{
    clearChildCommandLine();
    appendQuotedArgument(childExecutablePath);
    const wchar_t* const rest = skipArgumentZero(commandLine);
    appendToCommandLine(rest, wcslen(rest));
}

static void publishExecutableDirectory()
{
    copyWideBounded(executableDirectory, executablePathCapacity, getExecutablePath(),
                    "the executable's path does not fit in 4096 characters");
    if (wchar_t* separator = wcsrchr(executableDirectory, L'\\')) {
        *separator = L'\0';
    }
    setEnvVar(ONEFILE_VARIABLE_DIRECTORY, executableDirectory);
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
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
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
    setEnvVar(ONEFILE_VARIABLE_ORIGINAL_ARGV0, __wargv[0]);
    if (childExecutablePath[0] == L'\0') {
        copyWideBounded(childExecutablePath, pathCapacity, getExecutablePath(),
                        "the executable's path does not fit in 4096 characters");
    }
    buildChildCommandLine(GetCommandLineW());
}

void holdOwnExecutable()
{
    ownExecutable =
        CreateFileW(getExecutablePath(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
}

// Whether the suspended child runs the very file this process runs, not
// whatever was put at its path since this process started (an updater's
// new version, or a swap). A same-user attacker who swaps the file back
// in between is not kept out by this.
static bool isChildThisExecutable(HANDLE child)
{
    wchar_t image[pathCapacity];
    DWORD length = pathCapacity;
    if (ownExecutable == INVALID_HANDLE_VALUE || !QueryFullProcessImageNameW(child, 0, image, &length)) {
        return false;
    }
    const HANDLE file = CreateFileW(image, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool same = isSameFile(file, ownExecutable);
    CloseHandle(file);
    return same;
}

// Ends a child that never ran an instruction of its own, and waits for it.
static void endChildBeforeItRan(const PROCESS_INFORMATION& child)
{
    TerminateProcess(child.hProcess, fatalExitCode);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

// Ends a child that never ran an instruction of its own and stops this run.
[[noreturn]] static void abandonChild(const PROCESS_INFORMATION& child, const char* reason, DWORD error)
{
    endChildBeforeItRan(child);
    if (error == ERROR_SUCCESS) {
        stopProcess(reason);
    }
    fatalSystemError(reason, error);
}

// The child between its creation and its release: created suspended, in
// the job, its image checked; main thread only.
static PROCESS_INFORMATION suspendedChild;

// A creation that failed with one of these never started the child, and
// the same call can succeed a moment later: the system was short of
// something (Wine, under load, refuses a creation now and then with
// ERROR_INTERNAL_ERROR), or a scanner held the file.
bool isPassingCreationError(DWORD error)
{
    switch (error) {
    case ERROR_INTERNAL_ERROR:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_TOO_MANY_OPEN_FILES:
        return true;
    default:
        return false;  // missing, denied, not a program: the same again
    }
}

enum : DWORD { creationAttempts = 5, creationPauseMilliseconds = 20 };

#ifdef ONEFILE_TEST_FAULTS
// The tests' own build only: ONEFILE_TEST_CREATION_FAILURES lists error
// codes ("1359,1359") with which the child's creations fail, in turn.
static bool failCreationForTest()
{
    static unsigned failed;
    wchar_t* const list = getEnvVar("ONEFILE_TEST_CREATION_FAILURES");
    const wchar_t* code = list;
    for (unsigned skipped = 0; code != nullptr && skipped < failed; ++skipped) {
        code = wcschr(code, L',');
        code = code != nullptr ? code + 1 : nullptr;
    }
    const DWORD error = code != nullptr && *code != L'\0' ? wcstoul(code, nullptr, 10) : 0;
    free(list);
    if (error == 0) {
        return false;
    }
    ++failed;
    SetLastError(error);
    return true;
}
#else
static bool failCreationForTest()
{
    return false;
}
#endif

// Creates the child, suspended; a failure that can pass is retried a few
// times, each said in the trace. Ends the run when it cannot be created.
static PROCESS_INFORMATION createChildProcess(STARTUPINFOW& startup, DWORD flags)
{
    PROCESS_INFORMATION child = {};
    for (DWORD attempt = 1;; ++attempt) {
        if (!failCreationForTest() && CreateProcessW(childExecutablePath, childCommandLine, nullptr, nullptr, TRUE,
                                                     flags, nullptr, nullptr, &startup, &child)) {
            return child;
        }
        const DWORD error = GetLastError();
        if (attempt == creationAttempts || !isPassingCreationError(error)) {
            fatalSystemError("Error, couldn't launch child", error);
        }
        traceStep(L"child: its creation failed ([Error %lu]); trying again (%lu of %lu)", error, attempt,
                  creationAttempts - 1);
        Sleep(creationPauseMilliseconds * attempt);
    }
}

// Starts the child suspended, puts it in the job and checks its image before
// it runs a single instruction. The supervision loop gets a second handle
// of its own, so that a console handler closing the first never leaves the
// loop waiting on a closed handle.
void createSuspendedChild()
{
    publishExecutableDirectory();
    prepareChildCommandLine();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // What a plain program started as this executable was would have: the
    // show state and title it was started with (a shortcut set to open
    // minimised), its priority class and the error mode it began with.
    STARTUPINFOW own = {};
    own.cb = sizeof own;
    GetStartupInfoW(&own);
    startup.dwFlags |= own.dwFlags & STARTF_USESHOWWINDOW;
    startup.wShowWindow = own.wShowWindow;
    startup.lpTitle = own.lpTitle;
    if (childJob == nullptr) {
        childJob = createChildJob();
    }
    const DWORD priority = GetPriorityClass(GetCurrentProcess());
    const DWORD flags = (priority != 0 ? priority : NORMAL_PRIORITY_CLASS) | CREATE_SUSPENDED;
    // The child takes the error mode this process has when it is created.
    const UINT ours = SetErrorMode(startingErrorMode);
    PROCESS_INFORMATION child = createChildProcess(startup, flags);
    SetErrorMode(ours);
    if (childJob != nullptr && !AssignProcessToJobObject(childJob, child.hProcess)) {
        CloseHandle(childJob);
        childJob = nullptr;
    }
    if (!isChildThisExecutable(child.hProcess)) {
        abandonChild(child, "the child process is not this executable", ERROR_SUCCESS);
    }
    if (!DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &supervisedChild, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        abandonChild(child, "Error, couldn't duplicate the child process's handle.", GetLastError());
    }
    suspendedChild = child;
}

void keepStartingErrorMode(UINT mode)
{
    startingErrorMode = mode;
}

// The application may take the foreground as this executable could. Only
// when the windowing DLL is loaded already (a splash): a start without one
// loads none.
static void letChildTakeForeground(DWORD processId)
{
    using Allow = BOOL(WINAPI*)(DWORD);
    Allow allow = nullptr;
    if (GetModuleHandleW(L"user32.dll") != nullptr &&
        bindSystemFunction(allow, L"user32.dll", "AllowSetForegroundWindow")) {
        allow(processId);
    }
}

void releaseChild()
{
    PROCESS_INFORMATION child = suspendedChild;
    suspendedChild = PROCESS_INFORMATION{};
    if (ResumeThread(child.hThread) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        CloseHandle(supervisedChild);
        supervisedChild = nullptr;
        abandonChild(child, "Error, couldn't resume the child process.", error);
    }
    CloseHandle(child.hThread);
    letChildTakeForeground(child.dwProcessId);
    InterlockedExchange(&applicationReleased, 1);
    exchangeHandle(childProcess, child.hProcess);
}

void endSuspendedChild()
{
    endChildBeforeItRan(suspendedChild);
    CloseHandle(supervisedChild);
    supervisedChild = nullptr;
    suspendedChild = PROCESS_INFORMATION{};
}

void launchChild()
{
    createSuspendedChild();
    releaseChild();
}
