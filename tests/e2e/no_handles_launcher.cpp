// no_handles_launcher EXE [ARGUMENTS]: starts EXE as Explorer does, with no
// standard handles, then reports the first message box that appears (its
// title and its text, one line each), closes it, and reports EXE's exit
// code. A run that ends without a box reports "no box" instead.
#include <windows.h>

#include <stdio.h>
#include <string>

namespace {

struct Found {
    HWND box = nullptr;
    std::wstring text;
};

BOOL CALLBACK findBox(HWND window, LPARAM found)
{
    wchar_t className[64];
    if (IsWindowVisible(window) && GetClassNameW(window, className, 64) && wcscmp(className, L"#32770") == 0) {
        reinterpret_cast<Found*>(found)->box = window;
        return FALSE;
    }
    return TRUE;
}

// The box's text is in its static controls; its button says only "OK".
BOOL CALLBACK readStatic(HWND child, LPARAM found)
{
    wchar_t className[64];
    wchar_t text[8192];
    if (GetClassNameW(child, className, 64) && _wcsicmp(className, L"Static") == 0 &&
        GetWindowTextW(child, text, 8192) > 0) {
        reinterpret_cast<Found*>(found)->text += text;
    }
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fputs("usage: no_handles_launcher EXE [ARGUMENTS]\n", stderr);
        return 64;
    }
    std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
    for (int i = 2; i < argc; ++i) commandLine += L" " + std::wstring(argv[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "no_handles_launcher: cannot start (%lu)\n", GetLastError());
        return 1;
    }
    Found found;
    // Until the box shows or the program ends on its own.
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        EnumWindows(findBox, reinterpret_cast<LPARAM>(&found));
        if (found.box == nullptr) continue;
        wchar_t title[512] = {};
        GetWindowTextW(found.box, title, 512);
        EnumChildWindows(found.box, readStatic, reinterpret_cast<LPARAM>(&found));
        printf("title=%ls\ntext=%ls\n", title, found.text.c_str());
        PostMessageW(found.box, WM_COMMAND, IDOK, 0);
        WaitForSingleObject(process.hProcess, INFINITE);
        break;
    }
    if (found.box == nullptr) printf("no box\n");
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    printf("exit=%lu\n", exitCode);
    return 0;
}
