// Helpers for tests under Wine: running a program with captured streams,
// scratch directories and text conversions.
#pragma once

#include <windows.h>

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
