// The application packed by the end-to-end tests: run_code writes what it
// received to the file named by ONEFILE_TEST_REPORT (every value hex-encoded
// UTF-8, one "key=value" per line) and acts on its --app-* arguments.
#include <windows.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <wchar.h>

#include "../common/report_format.h"
#include "onefile_app.h"

namespace {

std::string hexUtf8(const wchar_t* text)
{
    char utf8[65536];
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    return encodeHex(std::string(utf8, length > 0 ? length - 1 : 0));
}

std::wstring variable(const wchar_t* name)
{
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length == 0 || length >= 32768 ? L"(unset)" : value;
}

std::wstring directoryOf(const wchar_t* path)
{
    const std::wstring text = path;
    return text.substr(0, text.rfind(L'\\'));
}

// The files below `folder`, the run's folder: what the application sees,
// but for the cache's record of its content's recheck, which a recheck
// beside this run may write at any moment.
size_t countFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    size_t count = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L".." || name.rfind(L"onefile-cache.recheck", 0) == 0) continue;
        count += (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? countFiles(folder + L"\\" + name) : 1;
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return count;
}

void writeReport(int argc, wchar_t** argv, const wchar_t* dllPath)
{
    const std::wstring path = variable(L"ONEFILE_TEST_REPORT");
    if (path == L"(unset)") return;
    std::string report = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    report += "dll=" + hexUtf8(dllPath) + "\n";
    // Whether the bootstrap made a splash feedback file for this run.
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring feedback =
        std::wstring(temp) + L"onefile_" + variable(L"MERLOX_ONEFILE_PARENT") + L"_splash_feedback.tmp";
    report +=
        GetFileAttributesW(feedback.c_str()) == INVALID_FILE_ATTRIBUTES ? "feedback=absent\n" : "feedback=present\n";
    report += "run_mode=" + std::to_string(onefile_run_mode()) + "\n";
    report += "files=" + std::to_string(countFiles(directoryOf(dllPath))) + "\n";
    // What the application reads from its payload's data file, when it has one.
    const HANDLE held = CreateFileW((directoryOf(dllPath) + L"\\data\\held.txt").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held != INVALID_HANDLE_VALUE) {
        char content[256];  // the test's file is shorter
        DWORD read = 0;
        ReadFile(held, content, sizeof content, &read, nullptr);
        CloseHandle(held);
        const std::string hex = encodeHex(std::string(content, read));
        report += hexUtf8(L"held") + "=" + hex + "\n";
        // One line per run, appended: a test sees every run, not only the last.
        const std::wstring log = variable(L"ONEFILE_TEST_RUN_LOG");
        const HANDLE runs = log == L"(unset)"
                                ? INVALID_HANDLE_VALUE
                                : CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_ALWAYS, 0, nullptr);
        if (runs != INVALID_HANDLE_VALUE) {
            const std::string line = hex + "\n";
            DWORD written = 0;
            WriteFile(runs, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(runs);
        }
    }
    for (int i = 0; i < argc; ++i) report += "arg=" + hexUtf8(argv[i]) + "\n";
    // What the process was started with, as a plain program sees it.
    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? static_cast<int>(startup.wShowWindow) : -1;
    const std::pair<const wchar_t*, std::wstring> started[] = {
        {L"cwd", directory},
        {L"show", std::to_wstring(show)},
        {L"priority", std::to_wstring(GetPriorityClass(GetCurrentProcess()))},
        {L"error_mode", std::to_wstring(GetErrorMode())},
    };
    for (const auto& [key, value] : started) report += hexUtf8(key) + "=" + hexUtf8(value.c_str()) + "\n";
    for (const wchar_t* name : {L"MERLOX_ONEFILE_PARENT", L"MERLOX_ONEFILE_DIRECTORY", L"MERLOX_ORIGINAL_ARGV0",
                                L"MERLOX_ONEFILE_TIME_US", L"MERLOX_ONEFILE_RANDOM", L"MERLOX_ONEFILE_START"}) {
        report += hexUtf8(name) + "=" + hexUtf8(variable(name).c_str()) + "\n";
    }
    // Written aside and renamed, so a test that sees the file reads it whole.
    const std::wstring part = path + L".part";
    const HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(file);
    MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// The test's signal: it deletes the file. Bounded only so that a test that
// died cannot leave this process behind for ever.
void waitForDeletion(const std::wstring& file)
{
    for (int i = 0; i < 12000 && GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
}

// Starts this onefile executable again from inside the application.
HANDLE startAgain(const wchar_t* executable, const std::wstring& arguments)
{
    std::wstring line = L"\"" + std::wstring(executable) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(executable, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

bool startsWith(const wchar_t* text, const wchar_t* prefix)
{
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

}  // namespace

BOOL WINAPI endAsWindowsDoes(DWORD)
{
    ExitProcess(0xC000013A);  // STATUS_CONTROL_C_EXIT
}

// Set by noteInterrupt: the application handled Ctrl+C and goes on.
HANDLE interrupted;

BOOL WINAPI noteInterrupt(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    SetEvent(interrupted);
    return TRUE;
}

// With ONEFILE_TEST_DLLMAIN_CTRL_C=N, a console handler registered as the
// DLL is loaded, before run_code: Ctrl+C ends the process with N.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*)
{
    static UINT code;
    wchar_t value[16];
    if (reason == DLL_PROCESS_ATTACH && GetEnvironmentVariableW(L"ONEFILE_TEST_DLLMAIN_CTRL_C", value, 16) > 0) {
        code = static_cast<UINT>(wcstoul(value, nullptr, 0));
        SetConsoleCtrlHandler([](DWORD event) -> BOOL { return event == CTRL_C_EVENT && (ExitProcess(code), true); },
                              TRUE);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* dllPath)
{
    for (int i = 1; i < argc; ++i) {
        // Before the report, which tells a test that Ctrl+C may come: end on
        // it as Windows' default handling does (Wine's ends with 0).
        if (wcscmp(argv[i], L"--app-windows-ctrl-c") == 0) SetConsoleCtrlHandler(endAsWindowsDoes, TRUE);
        // Or handle it: wait for it, then end with the code given; with
        // the console's handler, or with C's signal().
        if (startsWith(argv[i], L"--app-on-ctrl-c=")) {
            interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            SetConsoleCtrlHandler(noteInterrupt, TRUE);
        }
        if (startsWith(argv[i], L"--app-on-signal=")) {
            interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            signal(SIGINT, [](int) { SetEvent(interrupted); });
            signal(SIGBREAK, [](int) { SetEvent(interrupted); });
        }
    }
    writeReport(argc, argv, dllPath);
    int exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* argument = argv[i];
        if (startsWith(argument, L"--app-exit=")) {
            exitCode = static_cast<int>(wcstoul(argument + 11, nullptr, 0));
        } else if (startsWith(argument, L"--app-on-ctrl-c=") || startsWith(argument, L"--app-on-signal=")) {
            WaitForSingleObject(interrupted, INFINITE);
            exitCode = static_cast<int>(wcstoul(argument + 16, nullptr, 0));
        } else if (startsWith(argument, L"--app-exit-call=")) {
            exit(static_cast<int>(wcstoul(argument + 16, nullptr, 0)));
        } else if (wcscmp(argument, L"--app-abort") == 0) {
            abort();
        } else if (startsWith(argument, L"--app-exit-thread=")) {
            // ExitProcess from a thread of its own while run_code waits.
            static UINT code;
            code = static_cast<UINT>(wcstoul(argument + 18, nullptr, 0));
            const HANDLE thread = CreateThread(
                nullptr, 0, [](void*) -> DWORD { ExitProcess(code); }, nullptr, 0, nullptr);
            WaitForSingleObject(thread, INFINITE);
        } else if (wcscmp(argument, L"--app-cat") == 0) {
            // Standard input to its end, back on standard output.
            char buffer[4096];
            for (size_t read; (read = fread(buffer, 1, sizeof buffer, stdin)) > 0;) fwrite(buffer, 1, read, stdout);
            fflush(stdout);
        } else if (wcscmp(argument, L"--app-crash") == 0) {
            *static_cast<volatile int*>(nullptr) = 1;
        } else if (wcscmp(argument, L"--app-hide-splash") == 0) {
            if (!onefile_hide_splash()) exitCode = 98;
        } else if (startsWith(argument, L"--app-hold=")) {
            // Holds a file of the target directory open without sharing, in
            // a second start that outlives this one.
            const std::wstring ready = L"onefile_test_held_" + std::to_wstring(GetCurrentProcessId());
            const HANDLE held = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
            CloseHandle(startAgain(argv[0], std::wstring(L"--app-holder=") + (argument + 11) + L" " +
                                                std::to_wstring(GetCurrentProcessId())));
            WaitForSingleObject(held, 20000);
            CloseHandle(held);
        } else if (startsWith(argument, L"--app-holder=")) {
            const std::wstring file = directoryOf(dllPath) + L"\\" + (argument + 13);
            const HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            // Tell the first start (whose id follows) that the file is held.
            const std::wstring ready = L"onefile_test_held_" + std::wstring(i + 1 < argc ? argv[i + 1] : L"");
            const HANDLE readyEvent = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str());
            SetEvent(readyEvent);
            CloseHandle(readyEvent);
            if (held != INVALID_HANDLE_VALUE) waitForDeletion(variable(L"ONEFILE_TEST_RELEASE"));
            CloseHandle(held);
            break;
        } else if (startsWith(argument, L"--app-wait=")) {
            waitForDeletion(argument + 11);
        } else if (startsWith(argument, L"--app-spawn=")) {
            // A nested start that reports to its own file and waits for the
            // test: a process the application starts, which must outlive it.
            SetEnvironmentVariableW(L"ONEFILE_TEST_REPORT", argument + 12);
            CloseHandle(startAgain(argv[0], L"--app-wait=" + variable(L"ONEFILE_TEST_RELEASE")));
        } else if (startsWith(argument, L"--app-mark-return=")) {
            CloseHandle(CreateFileW(argument + 18, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        } else if (startsWith(argument, L"--app-splash-text=")) {
            // 51 when the text was handed over, 50 when no splash took it.
            exitCode = 50 + onefile_splash_text(argument + 18);
        } else if (wcscmp(argument, L"--app-echo") == 0) {
            // One line from standard input, back on standard output and error.
            char line[256] = "";
            if (fgets(line, sizeof line, stdin) == nullptr) exitCode = 97;
            printf("out:%s", line);
            fprintf(stderr, "err:%s", line);
            fflush(stdout);
        } else if (wcscmp(argument, L"--app-drop-feedback") == 0) {
            // Takes the splash down as an application with an older header
            // would: the feedback file goes, the text channel stays open.
            wchar_t temp[MAX_PATH + 1];
            const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
            const std::wstring feedback =
                std::wstring(temp, length) + L"onefile_" + variable(L"MERLOX_ONEFILE_PARENT") + L"_splash_feedback.tmp";
            if (!DeleteFileW(feedback.c_str())) exitCode = 96;
        } else if (startsWith(argument, L"--app-load=") || startsWith(argument, L"--app-load-ex=")) {
            // A DLL loaded by name, as a plugin is: 60 when it came from
            // this application's folder, 61 when none loaded, 62 when
            // another folder's did.
            const bool plain = startsWith(argument, L"--app-load=");
            const wchar_t* const name = wcschr(argument, L'=') + 1;
            const HMODULE plugin =
                plain ? LoadLibraryW(name) : LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
            wchar_t path[MAX_PATH] = L"";
            if (plugin != nullptr) GetModuleFileNameW(plugin, path, MAX_PATH);
            exitCode = plugin == nullptr                                                        ? 61
                       : _wcsicmp(directoryOf(path).c_str(), directoryOf(dllPath).c_str()) == 0 ? 60
                                                                                                : 62;
        } else if (startsWith(argument, L"--app-env=")) {
            // NAME=VALUE into the environment of the starts that follow.
            std::wstring assignment = argument + 10;
            const size_t equals = assignment.find(L'=');
            if (equals != std::wstring::npos) {
                SetEnvironmentVariableW(assignment.substr(0, equals).c_str(), assignment.c_str() + equals + 1);
            }
        } else if (startsWith(argument, L"--app-busy=")) {
            // A fixed piece of work, for the benchmarks: its own time in
            // microseconds into the file named.
            LARGE_INTEGER frequency, begin, end;
            QueryPerformanceFrequency(&frequency);
            QueryPerformanceCounter(&begin);
            volatile unsigned long long state = 1;
            for (int round = 0; round < 400000000; ++round)
                state = state * 6364136223846793005ull + 1442695040888963407ull;
            QueryPerformanceCounter(&end);
            const std::string micros = std::to_string((end.QuadPart - begin.QuadPart) * 1000000 / frequency.QuadPart);
            const HANDLE file = CreateFileW(argument + 11, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0;
            WriteFile(file, micros.data(), static_cast<DWORD>(micros.size()), &written, nullptr);
            CloseHandle(file);
        } else if (startsWith(argument, L"--app-reenter=")) {
            SetEnvironmentVariableW(L"ONEFILE_TEST_REPORT", argument + 14);
            const HANDLE again = startAgain(argv[0], L"second \"start here\"");
            WaitForSingleObject(again, 60000);
            CloseHandle(again);
        }
    }
    return exitCode;
}
