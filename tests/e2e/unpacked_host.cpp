// unpacked_host DLL [ARGUMENTS]: a plain program that loads an application's
// DLL from its folder and calls run_code, as a user's own loader would. It
// shares nothing with the bootstrap's library: the tests hold a packed
// application against it. Built windowed (ONEFILE_WINDOWED) and console.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

using RunCode = int (*)(int argc, wchar_t** argv, const wchar_t* dllPath);

static int loadAndRun(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fputs("usage: unpacked_host DLL [ARGUMENTS]\n", stderr);
        return 64;
    }
    wchar_t path[MAX_PATH];
    if (GetFullPathNameW(argv[1], MAX_PATH, path, nullptr) == 0) return 65;
    const HMODULE dll = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (dll == nullptr) return 66;
    const RunCode runCode = reinterpret_cast<RunCode>(reinterpret_cast<void*>(GetProcAddress(dll, "run_code")));
    if (runCode == nullptr) return 67;
    // Its arguments from the DLL's on, the DLL standing as argument 0.
    exit(runCode(argc - 1, argv + 1, path));
}

#ifdef ONEFILE_WINDOWED
int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int)
{
    return loadAndRun(__argc, __wargv);
}
#else
int wmain(int argc, wchar_t** argv)
{
    return loadAndRun(argc, argv);
}
#endif
