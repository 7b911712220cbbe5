// hold_files RELEASE FILE...: opens each FILE without sharing, as a
// process still using a dead run's file would, and keeps them open until
// RELEASE is deleted; READY beside RELEASE ("<RELEASE>.ready") says when
// all are held.
#include <windows.h>

#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) return 64;
    std::vector<HANDLE> held;
    for (int i = 2; i < argc; ++i) {
        const HANDLE file = CreateFileW(argv[i], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 1;
        held.push_back(file);
    }
    const std::wstring ready = std::wstring(argv[1]) + L".ready";
    CloseHandle(CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    while (GetFileAttributesW(argv[1]) != INVALID_FILE_ATTRIBUTES) Sleep(20);
    for (const HANDLE file : held) CloseHandle(file);
    return 0;
}
