// The manifest of a shared cache's version folder (cache_manifest.cpp):
// written last into a staging folder, compared with the folder at every
// later start. Its first line "onefile-cache 1 <publish time>", then the
// tree's description, in UTF-16: sorted lines "F <size> <write time> <name>"
// and "D <name>", names relative. Made and compared from directory
// listings only, one per directory; a reparse point anywhere fails both.
#include "cache_internal.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

enum : size_t { manifestLimitBytes = 64u << 20 };

static const wchar_t manifestName[] = ONEFILE_WIDE(ONEFILE_CACHE_MANIFEST_NAME);
static const wchar_t manifestFormat[] = L"onefile-cache 1 ";

struct Lines {
    wchar_t** items;
    size_t count;
    size_t capacity;
    bool failed;
};

static void addLine(Lines& lines, const wchar_t* format, ...)
{
    wchar_t line[pathCapacity + 64];
    va_list arguments;
    va_start(arguments, format);
    const int length = _vsnwprintf(line, pathCapacity + 63, format, arguments);
    va_end(arguments);
    if (length < 0 || lines.failed) {
        lines.failed = true;
        return;
    }
    line[length] = L'\0';
    if (lines.count == lines.capacity) {
        const size_t capacity = lines.capacity == 0 ? 256 : lines.capacity * 2;
        wchar_t** const grown = static_cast<wchar_t**>(realloc(lines.items, capacity * sizeof(wchar_t*)));
        if (grown == nullptr) {
            lines.failed = true;
            return;
        }
        lines.items = grown;
        lines.capacity = capacity;
    }
    wchar_t* const copy = _wcsdup(line);
    lines.failed = copy == nullptr;
    if (copy != nullptr) {
        lines.items[lines.count++] = copy;
    }
}

static void freeLines(Lines& lines)
{
    for (size_t i = 0; i < lines.count; ++i) {
        free(lines.items[i]);
    }
    free(lines.items);
    lines = Lines{};
}

static int compareLines(const void* a, const void* b)
{
    return wcscmp(*static_cast<wchar_t* const*>(a), *static_cast<wchar_t* const*>(b));
}

// `name` below `relative` (just `name` when `relative` is empty, the top)
// into `path`; false when it does not fit.
static bool joinBelow(wchar_t path[pathCapacity], const wchar_t* relative, const wchar_t* name)
{
    if (relative[0] != L'\0') {
        return joinPath(path, relative, name);
    }
    size_t length = 0;
    path[0] = L'\0';
    return appendWide(path, pathCapacity, length, name, wcslen(name));
}

// The line of one entry whose name relative to the top is `path`.
static void addEntryLine(Lines& lines, const WIN32_FIND_DATAW& entry, const wchar_t* path)
{
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        addLine(lines, L"D %ls", path);
        return;
    }
    const uint64_t size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    const uint64_t written =
        (static_cast<uint64_t>(entry.ftLastWriteTime.dwHighDateTime) << 32) | entry.ftLastWriteTime.dwLowDateTime;
    addLine(lines, L"F %llu %llu %ls", static_cast<unsigned long long>(size), static_cast<unsigned long long>(written),
            path);
}

// Adds the lines of the entries of `folder`\`relative`.
static void describeDirectory(const wchar_t* folder, const wchar_t* relative, Lines& lines)
{
    wchar_t directory[pathCapacity];
    WIN32_FIND_DATAW entry;
    const bool atTop = relative[0] == L'\0';
    const HANDLE search = (atTop ? joinBelow(directory, L"", folder) : joinPath(directory, folder, relative))
                              ? findFirstEntry(directory, L"*", entry)
                              : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) {
        lines.failed = true;
        return;
    }
    do {
        const wchar_t* const name = entry.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0 || (atTop && wcscmp(name, manifestName) == 0)) {
            continue;
        }
        wchar_t path[pathCapacity];
        // A link anywhere could lead the application out of the version.
        lines.failed = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !joinBelow(path, relative, name);
        if (!lines.failed) {
            addEntryLine(lines, entry, path);
        }
    } while (!lines.failed && FindNextFileW(search, &entry));
    FindClose(search);
}

// The description of the tree below `folder` as one text, or null when it
// holds a reparse point or cannot be listed; to be freed.
static wchar_t* describeTree(const wchar_t* folder)
{
    Lines lines = {};
    // Each directory's line leads to its listing, in turn: no recursion, so
    // the depth of the tree costs no stack.
    describeDirectory(folder, L"", lines);
    for (size_t next = 0; next < lines.count && !lines.failed; ++next) {
        if (lines.items[next][0] == L'D') {
            describeDirectory(folder, lines.items[next] + 2, lines);
        }
    }
    wchar_t* text = nullptr;
    if (!lines.failed) {
        qsort(lines.items, lines.count, sizeof(wchar_t*), compareLines);
        size_t total = 1;
        for (size_t i = 0; i < lines.count; ++i) {
            total += wcslen(lines.items[i]) + 1;
        }
        text = static_cast<wchar_t*>(malloc(total * sizeof(wchar_t)));
        for (size_t i = 0, at = 0; text != nullptr && i < lines.count; ++i) {
            const size_t length = wcslen(lines.items[i]);
            wmemcpy(text + at, lines.items[i], length);
            at += length;
            text[at++] = L'\n';
            text[at] = L'\0';
        }
        if (text != nullptr && lines.count == 0) {
            text[0] = L'\0';
        }
    }
    freeLines(lines);
    return text;
}

bool writeCacheManifest(const wchar_t* folder)
{
    wchar_t* const description = describeTree(folder);
    wchar_t path[pathCapacity];
    wchar_t longForm[longPathCapacity];
    if (description == nullptr || !joinPath(path, folder, manifestName) || !toLongPathForm(path, longForm)) {
        free(description);
        return false;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    wchar_t header[64];
    const int headerLength = swprintf(header, 64, L"%ls%llu\n", manifestFormat,
                                      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    const HANDLE file = CreateFileW(longForm, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    const DWORD bodyBytes = static_cast<DWORD>(wcslen(description) * sizeof(wchar_t));
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, header, static_cast<DWORD>(headerLength) * sizeof(wchar_t), &written, nullptr) &&
              written == static_cast<DWORD>(headerLength) * sizeof(wchar_t) &&
              WriteFile(file, description, bodyBytes, &written, nullptr) && written == bodyBytes;
    if (file != INVALID_HANDLE_VALUE && !CloseHandle(file)) {
        ok = false;
    }
    free(description);
    return ok;
}

wchar_t* readCacheManifest(const wchar_t* folder)
{
    wchar_t path[pathCapacity];
    wchar_t longForm[longPathCapacity];
    if (!joinPath(path, folder, manifestName) || !toLongPathForm(path, longForm)) {
        return nullptr;
    }
    const HANDLE file = CreateFileW(longForm, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    LARGE_INTEGER size = {};
    wchar_t* text = nullptr;
    DWORD read = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart < static_cast<LONGLONG>(manifestLimitBytes) &&
        size.QuadPart % sizeof(wchar_t) == 0) {
        text = static_cast<wchar_t*>(malloc(static_cast<size_t>(size.QuadPart) + sizeof(wchar_t)));
        if (text != nullptr &&
            (!ReadFile(file, text, static_cast<DWORD>(size.QuadPart), &read, nullptr) || read != size.QuadPart)) {
            free(text);
            text = nullptr;
        }
        if (text != nullptr) {
            text[size.QuadPart / sizeof(wchar_t)] = L'\0';
        }
    }
    CloseHandle(file);
    return text;
}

uint64_t manifestPublishTime(const wchar_t* manifest)
{
    const size_t prefix = wcslen(manifestFormat);
    return manifest != nullptr && wcsncmp(manifest, manifestFormat, prefix) == 0
               ? static_cast<uint64_t>(_wcstoui64(manifest + prefix, nullptr, 10))
               : 0;
}

// The first line where `listed` and `found` differ, for the trace: "the
// manifest lists '<line>', the folder has '<line>'".
static void describeFirstDifference(const wchar_t* listed, const wchar_t* found, wchar_t* difference, size_t capacity)
{
    while (*listed != L'\0' && *found != L'\0') {
        const size_t listedLength = wcscspn(listed, L"\n"), foundLength = wcscspn(found, L"\n");
        if (listedLength != foundLength || wmemcmp(listed, found, listedLength) != 0) {
            break;
        }
        listed += listedLength + (listed[listedLength] == L'\n');
        found += foundLength + (found[foundLength] == L'\n');
    }
    const int listedLength = static_cast<int>(wcscspn(listed, L"\n")),
              foundLength = static_cast<int>(wcscspn(found, L"\n"));
    swprintf(difference, capacity, L"the manifest lists '%.*ls', the folder has '%.*ls'", listedLength, listed,
             foundLength, found);
}

bool matchesCacheManifest(const wchar_t* folder, wchar_t* difference, size_t capacity)
{
    wchar_t* const manifest = readCacheManifest(folder);
    const wchar_t* const body =
        manifest != nullptr && manifestPublishTime(manifest) != 0 ? wcschr(manifest, L'\n') : nullptr;
    wchar_t* const description = body != nullptr ? describeTree(folder) : nullptr;
    const bool matches = description != nullptr && wcscmp(body + 1, description) == 0;
    if (!matches && isTracing()) {
        if (body == nullptr) {
            swprintf(difference, capacity, L"no manifest of ours");
        } else if (description == nullptr) {
            swprintf(difference, capacity, L"the folder holds a reparse point or cannot be listed");
        } else {
            describeFirstDifference(body + 1, description, difference, capacity);
        }
    }
    free(description);
    free(manifest);
    return matches;
}
