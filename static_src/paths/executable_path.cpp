#include "paths.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

wchar_t resolvedExecutablePath[executablePathCapacity];
wchar_t plainExecutablePath[executablePathCapacity];

void shortenPathDirectories(wchar_t* path, size_t capacity)
{
    wchar_t* lastComponent = nullptr;
    if (wchar_t* separator = wcsrchr(path, L'\\')) {
        *separator = L'\0';
        lastComponent = _wcsdup(separator + 1);
        if (lastComponent == nullptr) {
            stopProcess("out of memory while shortening a path");
        }
    }
    // Failure (the directory does not exist, say) keeps the directory part.
    const DWORD size = GetShortPathNameW(path, nullptr, 0);
    if (size != 0) {
        wchar_t* shortForm = static_cast<wchar_t*>(malloc((size + 1) * sizeof(wchar_t)));
        if (shortForm == nullptr) {
            stopProcess("out of memory while shortening a path");
        }
        const DWORD written = GetShortPathNameW(path, shortForm, size);
        if (written > size) {
            stopProcess("a short path grew while it was converted");
        }
        if (written != 0) {
            copyWideBounded(path, capacity, shortForm, "a short path does not fit its buffer");
        }
        free(shortForm);
    }
    if (lastComponent != nullptr) {
        appendWideBounded(path, capacity, L"\\", "a short path does not fit its buffer");
        appendWideBounded(path, capacity, lastComponent, "a short path does not fit its buffer");
        free(lastComponent);
    }
}

using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

static FinalPathFunction lookUpFinalPathFunction()
{
    // Looked up at run time: systems before Vista do not have it.
    const HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    const FARPROC found = GetProcAddress(kernel, "GetFinalPathNameByHandleW");
    return reinterpret_cast<FinalPathFunction>(reinterpret_cast<void*>(found));
}

static void removeLongPathPrefixes(wchar_t* path)
{
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != L'\0' && path[5] == L':') {
        wmemmove(path, path + 4, wcslen(path + 4) + 1);
    }
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        wmemmove(path + 2, path + 8, wcslen(path + 8) + 1);
    }
}

bool normaliseFinalPath(wchar_t* path, size_t capacity)
{
    const HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD length = 0;
        // A failed query may leave anything in its buffer, so it writes into
        // a scratch buffer and the path changes only on success.
        wchar_t finalPath[executablePathCapacity];
        if (const FinalPathFunction getFinalPath = lookUpFinalPathFunction()) {
            length = getFinalPath(file, finalPath, static_cast<DWORD>(capacity), 0);
        }
        CloseHandle(file);
        if (length >= capacity) {
            return false;
        }
        if (length != 0) {
            wmemcpy(path, finalPath, length + 1);
        }
    }
    removeLongPathPrefixes(path);
    shortenPathDirectories(path, capacity);
    return true;
}

static void readModuleFileName(wchar_t* buffer)
{
    GetModuleFileNameW(nullptr, buffer, executablePathCapacity);
    // Older systems do not terminate a truncated name.
    if (wmemchr(buffer, L'\0', executablePathCapacity) == nullptr) {
        stopProcess("the executable's path does not fit in 4096 characters");
    }
}

const wchar_t* getExecutablePath(bool resolved)
{
    wchar_t* const cache = resolved ? resolvedExecutablePath : plainExecutablePath;
    if (cache[0] != L'\0') {
        return cache;
    }
    readModuleFileName(cache);
    if (resolved && !normaliseFinalPath(cache, executablePathCapacity)) {
        stopProcess("the executable's final path does not fit in 4096 characters");
    }
    return cache;
}
