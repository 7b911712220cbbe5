// list_tree FOLDER: the floor of the shared cache's check. Lists FOLDER and
// every folder below it as the check does (one listing per directory, the
// basic information, large fetches), nine times, and prints the entries, the
// first pass's time (a fresh process, as a start is) and the median pass's,
// in milliseconds.
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <string>

static size_t listTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                           nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return 0;
    size_t count = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        ++count;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) count += listTree(folder + L"\\" + name);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return count;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fputs("usage: list_tree FOLDER\n", stderr);
        return 64;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    double passes[9];
    size_t entries = 0;
    for (double& pass : passes) {
        QueryPerformanceCounter(&start);
        entries = listTree(argv[1]);
        QueryPerformanceCounter(&end);
        pass = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    }
    const double first = passes[0];
    std::sort(passes, passes + 9);
    printf("%zu %.1f %.1f\n", entries, first, passes[4]);
    return 0;
}
