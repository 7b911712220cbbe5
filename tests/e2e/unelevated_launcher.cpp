// unelevated_launcher EXE [ARGUMENTS]: starts EXE with this process's
// linked token, which under Wine (where every process starts elevated) is
// the unelevated one, hands it this program's standard handles, waits, and
// ends with its exit code. Exit code 120 when it cannot.
#include <windows.h>

#include "launcher_command_line.h"

#include <stdio.h>
#include <string>

int wmain(int argc, wchar_t**)
{
    if (argc < 2) {
        fputs("usage: unelevated_launcher EXE [ARGUMENTS]\n", stderr);
        return 64;
    }
    std::wstring commandLine = commandLineAfterProgramName();
    HANDLE token = nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD length = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &length)) {
        fprintf(stderr, "unelevated_launcher: no linked token (%lu)\n", GetLastError());
        return 120;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessAsUserW(linked.LinkedToken, nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &process)) {
        fprintf(stderr, "unelevated_launcher: cannot start (%lu)\n", GetLastError());
        return 120;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 120;
    GetExitCodeProcess(process.hProcess, &exitCode);
    return static_cast<int>(exitCode);
}
