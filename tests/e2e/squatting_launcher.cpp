// squatting_launcher [--hold=FILE] EXE [ARGUMENTS]: starts EXE suspended,
// takes the name "Local\onefile_splash_<its process id>" for a section of
// its own before EXE runs an instruction (as another program of the same
// user could), lets EXE go, waits, prints what the section then holds
// ("squatted: <text>") and ends with EXE's exit code. With --hold, EXE's
// process id is written to FILE.pid and EXE goes only once FILE is
// deleted, so that names made from its id can be taken from outside first.
// Exit code 120 when it cannot.
#include <windows.h>

#include "launcher_command_line.h"

#include <stdio.h>
#include <string>
#include <wchar.h>

struct Channel {
    volatile LONG sequence;
    WCHAR text[256];
};

int wmain(int argc, wchar_t**)
{
    if (argc < 2) {
        fputs("usage: squatting_launcher [--hold=FILE] EXE [ARGUMENTS]\n", stderr);
        return 64;
    }
    std::wstring commandLine = commandLineAfterProgramName();
    std::wstring hold;
    if (wcsncmp(commandLine.c_str(), L"--hold=", 7) == 0) {
        const size_t end = commandLine.find(L' ');
        hold = commandLine.substr(7, end - 7);
        commandLine.erase(0, end + 1);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "squatting_launcher: cannot start (%lu)\n", GetLastError());
        return 120;
    }
    const std::wstring name = L"Local\\onefile_splash_" + std::to_wstring(process.dwProcessId);
    const HANDLE section =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Channel), name.c_str());
    Channel* const channel = section != nullptr
                                 ? static_cast<Channel*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(Channel)))
                                 : nullptr;
    if (!hold.empty()) {
        // Written aside and renamed: a reader that sees FILE.pid sees it whole.
        FILE* const pid = _wfopen((hold + L".pid.part").c_str(), L"w");
        if (pid == nullptr) return 120;
        fprintf(pid, "%lu", process.dwProcessId);
        fclose(pid);
        if (!MoveFileW((hold + L".pid.part").c_str(), (hold + L".pid").c_str())) return 120;
        while (GetFileAttributesW(hold.c_str()) != INVALID_FILE_ATTRIBUTES) Sleep(10);
    }
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 120;
    GetExitCodeProcess(process.hProcess, &exitCode);
    if (channel == nullptr) {
        fputs("squatting_launcher: no section\n", stderr);
        return 120;
    }
    char text[1024] = "";
    WideCharToMultiByte(CP_UTF8, 0, channel->text, -1, text, sizeof text, nullptr, nullptr);
    printf("squatted: %s\n", text);
    return static_cast<int>(exitCode);
}
