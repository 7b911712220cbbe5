#include "paths.h"

#include <wchar.h>

// The DLL from the system directory only. Systems without the search flags
// (Vista, Windows 7 before its 2011 loader update) refuse them as an invalid
// parameter; there the full path in the system directory does the same.
static HMODULE loadSystemDll(const wchar_t* dll)
{
    const HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) {
        return module;
    }
    wchar_t path[MAX_PATH + 64];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    size_t used = length;
    if (length == 0 || length >= MAX_PATH || !appendWide(path, MAX_PATH + 64, used, L"\\", 1) ||
        !appendWide(path, MAX_PATH + 64, used, dll, wcslen(dll))) {
        return nullptr;
    }
    return LoadLibraryW(path);
}

FARPROC findSystemFunction(const wchar_t* dll, const char* name)
{
    // Loading a DLL that is already loaded only counts it once more; the
    // bootstrap never unloads, so the count does not matter.
    const HMODULE module = loadSystemDll(dll);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}
