#include "paths.h"

FARPROC findSystemFunction(const wchar_t* dll, const char* name)
{
    // From the system directory only. Loading a DLL that is already loaded
    // only counts it once more; the bootstrap never unloads, so the count
    // does not matter.
    const HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}
