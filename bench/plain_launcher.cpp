// The reference for the start-up benchmark: a plain program that loads the
// application's DLL itself and calls run_code, with no unpacking at all.
#include <windows.h>

#include <stdio.h>

using RunCode = int (*)(int argc, wchar_t** argv, const wchar_t* dllPath);

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fputs("usage: plain_launcher DLL [ARGUMENTS]\n", stderr);
        return 64;
    }
    const HMODULE dll = LoadLibraryW(argv[1]);
    const FARPROC entry = dll != nullptr ? GetProcAddress(dll, "run_code") : nullptr;
    if (entry == nullptr) {
        fputs("plain_launcher: cannot load the DLL or its run_code\n", stderr);
        return 2;
    }
    return reinterpret_cast<RunCode>(reinterpret_cast<void*>(entry))(argc - 1, argv + 1, argv[1]);
}
