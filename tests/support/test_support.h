// Helpers for tests under Wine: running a program with captured streams,
// scratch directories and text conversions.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
    DWORD exitCode = 0;
    std::string out;
    std::string err;
};

using EnvironmentChanges = std::vector<std::pair<std::wstring, const wchar_t*>>;

// Runs a command line with standard output and error captured. The child
// inherits this process's environment with `changes` applied (null deletes).
ProcessResult runProcess(const std::wstring& applicationPath, const std::wstring& commandLine,
                         const EnvironmentChanges& changes = {});

// Applies `changes` to this process's environment while it lives, so that
// children started meanwhile inherit them (null deletes a variable).
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const EnvironmentChanges& changes);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    struct Saved {
        std::wstring name;
        std::wstring value;
        bool wasSet;
    };
    std::vector<Saved> saved_;
};

// Standard handles on NUL (inheritable: start with inheritance), so that a
// start's standard error is no pipe of the test runner's: under Wine a
// bootstrap whose standard error is a pipe starts no upkeep worker.
STARTUPINFOW startupOnNul();
// Runs `create` (a process's creation) again when Wine refused it with
// ERROR_INTERNAL_ERROR, as it does now and then under load before anything
// ran: at most 5 attempts. Whether it succeeded, GetLastError() as it left.
bool createRetrying(const std::function<BOOL()>& create);

// Starts a program with its standard handles on NUL; the caller owns
// hProcess (the thread handle is closed).
PROCESS_INFORMATION startProcess(const std::wstring& applicationPath, const std::wstring& commandLine,
                                 const EnvironmentChanges& changes = {});

// Waits until `path` exists (or is gone, with present false): true when it
// happened within the limit, which only ends a hung test.
bool waitForPath(const std::wstring& path, bool present = true, DWORD limitMilliseconds = 60000);

// Whether a trace shows an upkeep worker started ("upkeep worker <id>
// started") that has not said "upkeep worker done"; and a wait until none
// is (false when the limit, which only ends a hung test, ran out).
bool hasUpkeepWorkerRunning(const std::string& traceLines);
bool waitForUpkeepWorkers(const std::wstring& trace);

// Runs the probe helper beside the test program with the given arguments.
ProcessResult runProbe(const std::vector<std::wstring>& arguments, const EnvironmentChanges& changes = {});
std::wstring probePath();
std::wstring directoryOfThisProgram();

std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);
std::wstring quoteForCommandLine(const std::wstring& argument);

// A fresh directory below the temporary directory, removed with its
// contents when the object goes.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::wstring& tag = L"test");
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

std::wstring temporaryDirectory();
void removeTree(const std::wstring& path);
bool pathExists(const std::wstring& path);
bool isDirectory(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& contents);
std::string readFile(const std::wstring& path);
