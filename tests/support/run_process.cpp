#include <ctype.h>
#include "test_support.h"

#include <functional>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

std::string toUtf8(const std::wstring& text)
{
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring fromUtf8(const std::string& text)
{
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::wstring quoteForCommandLine(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::wstring directoryOfThisProgram()
{
    wchar_t path[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring text = path;
    return text.substr(0, text.rfind(L'\\'));
}

std::wstring probePath()
{
    return directoryOfThisProgram() + L"\\onefile_probe.exe";
}

std::wstring temporaryDirectory()
{
    wchar_t path[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, path);
    std::wstring text = path;
    while (!text.empty() && text.back() == L'\\') text.pop_back();
    return text;
}

bool pathExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void writeFile(const std::wstring& path, const std::string& contents)
{
    std::ofstream file(std::filesystem::path(path), std::ios::binary);
    file << contents;
    if (!file) throw std::runtime_error("cannot write " + toUtf8(path));
}

std::string readFile(const std::wstring& path)
{
    // A file another process has just renamed into place is still open
    // there, without sharing, for a moment: wait for that handle to close.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 6000; ++i) {
        file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
        Sleep(10);
    }
    std::string contents;
    if (file == INVALID_HANDLE_VALUE) return contents;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) contents.append(buffer, read);
    CloseHandle(file);
    return contents;
}

// Removes a tree through the long-path form, which also reaches paths
// beyond MAX_PATH; links are removed, never followed.
void removeTree(const std::wstring& path)
{
    const std::wstring longPath = path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path;
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW entry;
        const HANDLE search = FindFirstFileW((longPath + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") removeTree(longPath + L"\\" + name);
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
        RemoveDirectoryW(longPath.c_str());
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(longPath.c_str());
    } else {
        SetFileAttributesW(longPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(longPath.c_str());
    }
}

ScratchDirectory::ScratchDirectory(const std::wstring& tag)
{
    // Wine reuses small process ids, so the tick count keeps names apart.
    static int counter = 0;
    path_ = temporaryDirectory() + L"\\onefile_" + tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(GetTickCount64()) + L"_" + std::to_wstring(++counter);
    removeTree(path_);
    if (!CreateDirectoryW(path_.c_str(), nullptr)) throw std::runtime_error("cannot create " + toUtf8(path_));
}

ScratchDirectory::~ScratchDirectory()
{
    // An upkeep worker may outlive its test, still at work in the folder:
    // the removal is tried again until it is done with it.
    removeTree(path_);
    for (int i = 0; i < 6000 && pathExists(path_); ++i) {
        Sleep(10);
        removeTree(path_);
    }
}

static HANDLE createCaptureFile(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + toUtf8(path));
    return file;
}

ScopedEnvironment::ScopedEnvironment(const EnvironmentChanges& changes)
{
    for (const auto& [name, value] : changes) {
        wchar_t previous[32768];
        const DWORD length = GetEnvironmentVariableW(name.c_str(), previous, 32768);
        const bool wasSet = length != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        saved_.push_back({name, std::wstring(previous, length), wasSet});
        SetEnvironmentVariableW(name.c_str(), value);
    }
}

ScopedEnvironment::~ScopedEnvironment()
{
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        SetEnvironmentVariableW(it->name.c_str(), it->wasSet ? it->value.c_str() : nullptr);
    }
}

// Wine refuses a process creation now and then under load with
// ERROR_INTERNAL_ERROR, before anything ran: made again, as the bootstrap
// does for its child.
bool createRetrying(const std::function<BOOL()>& create)
{
    for (int attempt = 1;; ++attempt) {
        if (create()) return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 5) return false;
        Sleep(20 * attempt);
    }
}

static BOOL createProcessRetrying(const std::wstring& applicationPath, std::wstring& commandLine, STARTUPINFOW& startup,
                                  PROCESS_INFORMATION& process)
{
    return createRetrying([&] {
        return CreateProcessW(applicationPath.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                              &startup, &process);
    });
}

STARTUPINFOW startupOnNul()
{
    static const HANDLE nul = [] {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           OPEN_EXISTING, 0, nullptr);
    }();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    return startup;
}

PROCESS_INFORMATION startProcess(const std::wstring& applicationPath, const std::wstring& commandLine,
                                 const EnvironmentChanges& changes)
{
    ScopedEnvironment environment(changes);
    STARTUPINFOW startup = startupOnNul();
    PROCESS_INFORMATION process{};
    std::wstring mutableLine = commandLine;
    if (!createProcessRetrying(applicationPath, mutableLine, startup, process)) {
        throw std::runtime_error("cannot start " + toUtf8(applicationPath));
    }
    CloseHandle(process.hThread);
    return process;
}

bool waitForPath(const std::wstring& path, bool present, DWORD limitMilliseconds)
{
    for (DWORD waited = 0; pathExists(path) != present; waited += 10) {
        if (waited >= limitMilliseconds) return false;
        Sleep(10);
    }
    return true;
}

ProcessResult runProcess(const std::wstring& applicationPath, const std::wstring& commandLine,
                         const EnvironmentChanges& changes)
{
    // Streams go to files rather than pipes: no reader thread, no deadlock.
    static int counter = 0;
    const std::wstring base = temporaryDirectory() + L"\\onefile_capture_" + std::to_wstring(GetCurrentProcessId()) +
                              L"_" + std::to_wstring(++counter);
    const HANDLE out = createCaptureFile(base + L".out");
    const HANDLE err = createCaptureFile(base + L".err");

    std::optional<ScopedEnvironment> environment(std::in_place, changes);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    std::wstring mutableLine = commandLine;
    const BOOL started = createProcessRetrying(applicationPath, mutableLine, startup, process);
    const DWORD startError = GetLastError();

    environment.reset();

    ProcessResult result;
    if (started) {
        WaitForSingleObject(process.hProcess, 120000);
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    result.out = readFile(base + L".out");
    result.err = readFile(base + L".err");
    DeleteFileW((base + L".out").c_str());
    DeleteFileW((base + L".err").c_str());
    if (!started)
        throw std::runtime_error("cannot start " + toUtf8(applicationPath) + ": " + std::to_string(startError));
    return result;
}

ProcessResult runProbe(const std::vector<std::wstring>& arguments, const EnvironmentChanges& changes)
{
    std::wstring line = quoteForCommandLine(probePath());
    for (const std::wstring& argument : arguments) line += L" " + quoteForCommandLine(argument);
    return runProcess(probePath(), line, changes);
}

bool hasUpkeepWorkerRunning(const std::string& traceLines)
{
    const std::string text = ": upkeep worker ";
    int running = 0;
    for (size_t at = traceLines.find(text); at != std::string::npos; at = traceLines.find(text, at + 1)) {
        const size_t next = at + text.size();
        if (next < traceLines.size() && isdigit(static_cast<unsigned char>(traceLines[next]))) ++running;
        if (traceLines.compare(next, 4, "done") == 0) --running;
    }
    return running > 0;
}

bool waitForUpkeepWorkers(const std::wstring& trace)
{
    for (int i = 0; i < 12000 && hasUpkeepWorkerRunning(readFile(trace)); ++i) Sleep(10);
    return !hasUpkeepWorkerRunning(readFile(trace));
}
