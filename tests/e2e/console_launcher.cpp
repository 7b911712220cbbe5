// console_launcher EXE REPORT [ARGUMENTS]: starts EXE, a console variant
// running the report application, in this program's console (allocated
// when there is none), waits until the application has written REPORT,
// then sends Ctrl+C to every process of the console while ignoring it
// itself. Prints the exit code of EXE and whether the run's folder (the
// application's DLL's folder, from the report) is gone.
#include <windows.h>

#include <stdio.h>
#include <fstream>
#include <sstream>
#include <string>

#include "../common/report_format.h"

namespace {

// A handler of its own rather than ignoring Ctrl+C outright: that setting
// is inherited, and would keep the event from the programs started here.
BOOL WINAPI keepRunning(DWORD)
{
    return TRUE;
}

std::wstring runFolderOf(const std::wstring& report)
{
    std::ifstream in(report.c_str());
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("dll=", 0) != 0) continue;
        const std::string path = decodeHex(line.substr(4));
        std::wstring wide(path.size(), L'\0');
        wide.resize(MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                                        static_cast<int>(wide.size())));
        return wide.substr(0, wide.rfind(L'\\'));
    }
    return L"";
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fputs("usage: console_launcher EXE REPORT [ARGUMENTS]\n", stderr);
        return 64;
    }
    if (GetConsoleWindow() == nullptr) AllocConsole();
    SetConsoleCtrlHandler(keepRunning, TRUE);
    std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
    for (int i = 3; i < argc; ++i) commandLine += L" " + std::wstring(argv[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    SetEnvironmentVariableW(L"ONEFILE_TEST_REPORT", argv[2]);
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        printf("cannot start (%lu)\n", GetLastError());
        return 1;
    }
    // With ONEFILE_TEST_NO_EVENT set the test types ^C into the terminal
    // itself, once the report shows the application runs: this program
    // only waits.
    const bool typed = GetEnvironmentVariableW(L"ONEFILE_TEST_NO_EVENT", nullptr, 0) > 0;
    while (!typed && GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) {
        if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
            printf("ended before the application ran\n");
            return 1;
        }
    }
    std::wstring runFolder = typed ? L"" : runFolderOf(argv[2]);
    if (!typed && !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        printf("cannot send Ctrl+C (%lu)\n", GetLastError());
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        printf("still running\n");
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    if (typed) runFolder = runFolderOf(argv[2]);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    const bool gone = !runFolder.empty() && GetFileAttributesW(runFolder.c_str()) == INVALID_FILE_ATTRIBUTES;
    printf("exit=0x%lx\nfolder=%s\n", exitCode, gone ? "gone" : "present");
    return 0;
}
