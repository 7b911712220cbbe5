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

DWORD readFinalPath(HANDLE handle, wchar_t* buffer, size_t capacity)
{
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer, static_cast<DWORD>(capacity), 0);
    return length < capacity ? length : 0;
}

bool isAbsoluteWindowsPath(const wchar_t* path)
{
    const bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                       path[1] == L':' && path[2] == L'\\';
    const bool share = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\0' && path[2] != L'\\';
    return drive || share;
}

bool toLongPathForm(const wchar_t* path, wchar_t (&buffer)[longPathCapacity])
{
    if (!isAbsoluteWindowsPath(path)) {
        return false;  // relative: the prefix would change its meaning
    }
    const wchar_t* prefix = L"\\\\?\\";
    const wchar_t* rest = path;
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (wcsncmp(path, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";
        rest = path + 2;
    }
    const size_t prefixLength = wcslen(prefix);
    const size_t restLength = wcslen(rest);
    if (prefixLength + restLength >= longPathCapacity) {
        return false;
    }
    wmemcpy(buffer, prefix, prefixLength);
    wmemcpy(buffer + prefixLength, rest, restLength + 1);
    return true;
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
    const HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        // A failed query may leave anything in its buffer, so it writes into
        // a scratch buffer and the path changes only on success.
        wchar_t finalPath[executablePathCapacity];
        const DWORD length = GetFinalPathNameByHandleW(file, finalPath, static_cast<DWORD>(capacity), 0);
        CloseHandle(file);
        if (length >= capacity) {
            return false;
        }
        if (length != 0) {
            wmemcpy(path, finalPath, length + 1);
            // Only the system's own answer carries the prefixes; a path that
            // could not be opened stays exactly as it was given.
            removeLongPathPrefixes(path);
        }
    }
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

const wchar_t* getExecutablePath()
{
    if (plainExecutablePath[0] == L'\0') {
        readModuleFileName(plainExecutablePath);
    }
    return plainExecutablePath;
}

const wchar_t* getResolvedExecutablePath()
{
    if (resolvedExecutablePath[0] == L'\0') {
        readModuleFileName(resolvedExecutablePath);
        if (!normaliseFinalPath(resolvedExecutablePath, executablePathCapacity)) {
            stopProcess("the executable's final path does not fit in 4096 characters");
        }
    }
    return resolvedExecutablePath;
}

HANDLE findFirstEntry(const wchar_t* directory, const wchar_t* name, WIN32_FIND_DATAW& entry)
{
    wchar_t pattern[pathCapacity];
    wchar_t longForm[longPathCapacity];
    if (!joinPath(pattern, directory, name) || !toLongPathForm(pattern, longForm)) {
        return INVALID_HANDLE_VALUE;
    }
    return FindFirstFileExW(longForm, FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                            FIND_FIRST_EX_LARGE_FETCH);
}
