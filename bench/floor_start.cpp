// The floor of a fresh start under the same system: what any bootstrap of
// this shape pays before doing its own work. It loads the system DLLs the
// fresh road loads, initialises COM, starts an empty child and waits.
//   floor_start EMPTY_CHILD
#include <windows.h>
#include <objbase.h>

#include <initializer_list>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) return 64;
    for (const wchar_t* dll : {L"shell32.dll", L"user32.dll", L"gdi32.dll"}) {
        LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    CoInitialize(nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    wchar_t line[] = L"empty_child";
    if (!CreateProcessW(argv[1], line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) return 2;
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return static_cast<int>(code);
}
