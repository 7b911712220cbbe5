// The shared cache of an executable packed with --cache. Each version of
// the application lives in <root>\<name>\<id>: built in a staging folder of
// its own (new, private, held like a run folder), described last by a
// manifest of every entry's name, size and write time, then published with
// one rename. Later starts list the folder (one listing per directory, no
// file opened) and compare it with the manifest; any difference, a
// reparse point among it, or a folder that is not where it seems, and the
// version is built again and put in place of the damaged one. The version
// folder is held open while in use: no other start can rename or remove it.
#include "run_folder.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum : DWORD { renameAttempts = 20, renamePauseMilliseconds = 50, upkeepDelayMilliseconds = 500 };
enum : size_t { manifestLimitBytes = 64u << 20 };

static const wchar_t manifestName[] = ONEFILE_WIDE(ONEFILE_CACHE_MANIFEST_NAME);
static const wchar_t manifestFormat[] = L"onefile-cache 1 ";

static bool isCacheEnabled()
{
    return onefileCacheSpec[0] != L'\0' && wcslen(onefileCacheId) == ONEFILE_CACHE_ID_LENGTH;
}

// <root>\<name>, the folder of every version of this executable's name.
static bool expandVersionsFolder(wchar_t output[pathCapacity])
{
    return expandFolderSpec(onefileCacheSpec, output, pathCapacity);
}

// `folder`\`name` into `path`; false when it does not fit.
static bool joinPath(wchar_t path[pathCapacity], const wchar_t* folder, const wchar_t* name)
{
    size_t length = 0;
    path[0] = L'\0';
    return appendWide(path, pathCapacity, length, folder, wcslen(folder)) &&
           appendWide(path, pathCapacity, length, L"\\", 1) &&
           appendWide(path, pathCapacity, length, name, wcslen(name));
}

static bool expandVersionFolder(wchar_t output[pathCapacity])
{
    wchar_t versions[pathCapacity];
    return expandVersionsFolder(versions) && joinPath(output, versions, onefileCacheId);
}

// --- The tree's description: sorted lines "F <size> <write time> <name>"
// and "D <name>", names relative, the manifest itself left out.
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

// Lists `folder`\`relative` and, depth first, every directory below it.
static void describeDirectory(const wchar_t* folder, const wchar_t* relative, Lines& lines)
{
    wchar_t directory[pathCapacity];
    wchar_t pattern[pathCapacity];
    wchar_t longForm[pathCapacity + 8];
    const bool atTop = relative[0] == L'\0';
    size_t length = 0;
    directory[0] = L'\0';
    if (!(atTop ? appendWide(directory, pathCapacity, length, folder, wcslen(folder))
                : joinPath(directory, folder, relative)) ||
        !joinPath(pattern, directory, L"*") || !toLongPathForm(pattern, longForm, pathCapacity + 8)) {
        lines.failed = true;
        return;
    }
    WIN32_FIND_DATAW entry;
    const HANDLE search =
        FindFirstFileExW(longForm, FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        lines.failed = true;
        return;
    }
    do {
        const wchar_t* const name = entry.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0 || (atTop && wcscmp(name, manifestName) == 0)) {
            continue;
        }
        // A link anywhere could lead the application out of the version.
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            lines.failed = true;
            break;
        }
        wchar_t path[pathCapacity];
        size_t length = 0;
        path[0] = L'\0';
        if ((!atTop && (!appendWide(path, pathCapacity, length, relative, wcslen(relative)) ||
                        !appendWide(path, pathCapacity, length, L"\\", 1))) ||
            !appendWide(path, pathCapacity, length, name, wcslen(name))) {
            lines.failed = true;
            break;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            addLine(lines, L"D %ls", path);
            describeDirectory(folder, path, lines);
        } else {
            const uint64_t size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            const uint64_t written = (static_cast<uint64_t>(entry.ftLastWriteTime.dwHighDateTime) << 32) |
                                     entry.ftLastWriteTime.dwLowDateTime;
            addLine(lines, L"F %llu %llu %ls", static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(written), path);
        }
    } while (!lines.failed && FindNextFileW(search, &entry));
    FindClose(search);
}

// The description of the tree below `folder` as one text, or null when it
// holds a reparse point or cannot be listed; to be freed.
static wchar_t* describeTree(const wchar_t* folder)
{
    Lines lines = {};
    describeDirectory(folder, L"", lines);
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

// --- The manifest: "onefile-cache 1 <publish time>" and a line break, then
// the tree's description, in UTF-16.
static bool writeManifest(const wchar_t* folder)
{
    wchar_t* const description = describeTree(folder);
    wchar_t path[pathCapacity];
    wchar_t longForm[pathCapacity + 8];
    if (description == nullptr || !joinPath(path, folder, manifestName) ||
        !toLongPathForm(path, longForm, pathCapacity + 8)) {
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

// The manifest of `folder`, whole, or null; to be freed.
static wchar_t* readManifest(const wchar_t* folder)
{
    wchar_t path[pathCapacity];
    wchar_t longForm[pathCapacity + 8];
    if (!joinPath(path, folder, manifestName) || !toLongPathForm(path, longForm, pathCapacity + 8)) {
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

// The publish time a manifest states, or 0.
static uint64_t publishTimeOf(const wchar_t* manifest)
{
    const size_t prefix = wcslen(manifestFormat);
    return manifest != nullptr && wcsncmp(manifest, manifestFormat, prefix) == 0
               ? static_cast<uint64_t>(_wcstoui64(manifest + prefix, nullptr, 10))
               : 0;
}

// Whether the tree below `folder` is exactly what its manifest lists.
static bool matchesManifest(const wchar_t* folder)
{
    wchar_t* const manifest = readManifest(folder);
    const wchar_t* const body = manifest != nullptr && publishTimeOf(manifest) != 0 ? wcschr(manifest, L'\n') : nullptr;
    wchar_t* const description = body != nullptr ? describeTree(folder) : nullptr;
    const bool matches = description != nullptr && wcscmp(body + 1, description) == 0;
    free(description);
    free(manifest);
    return matches;
}

// Whether the open `handle` is `path` itself, directly in its parent: not a
// directory a link planted at the name leads to.
static bool isInPlace(HANDLE handle, const wchar_t* path)
{
    wchar_t parentPath[pathCapacity];
    copyWideBounded(parentPath, pathCapacity, path, "a cache path does not fit in 4096 characters");
    wchar_t* const separator = findLastSeparator(parentPath);
    if (separator == nullptr) {
        return false;
    }
    const wchar_t* const leaf = path + (separator - parentPath) + 1;
    *separator = L'\0';
    wchar_t longForm[pathCapacity + 8];
    if (!toLongPathForm(parentPath, longForm, pathCapacity + 8)) {
        return false;
    }
    const HANDLE parent =
        CreateFileW(longForm, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE) {
        return false;
    }
    struct Name {
        FILE_NAME_INFO info;
        wchar_t space[pathCapacity];
    };
    Name* const names = static_cast<Name*>(malloc(2 * sizeof(Name)));
    bool inPlace = false;
    if (names != nullptr && GetFileInformationByHandleEx(parent, FileNameInfo, &names[0], sizeof(Name)) &&
        GetFileInformationByHandleEx(handle, FileNameInfo, &names[1], sizeof(Name))) {
        const size_t parentLength = names[0].info.FileNameLength / sizeof(wchar_t);
        const size_t length = names[1].info.FileNameLength / sizeof(wchar_t);
        const wchar_t* const held = names[1].info.FileName;
        const size_t leafLength = wcslen(leaf);
        const bool atRoot = parentLength == 1 && names[0].info.FileName[0] == L'\\';
        const size_t prefix = atRoot ? 0 : parentLength;
        inPlace = length == prefix + 1 + leafLength && wmemcmp(held, names[0].info.FileName, prefix) == 0 &&
                  held[prefix] == L'\\' && wmemcmp(held + prefix + 1, leaf, leafLength) == 0;
    }
    free(names);
    CloseHandle(parent);
    return inPlace;
}

// Holds the version folder and checks it: a directory (no link) in its
// place, its tree exactly as its manifest lists it. The hold on success,
// INVALID_HANDLE_VALUE otherwise.
static HANDLE holdVerifiedVersion(const wchar_t* folder)
{
    wchar_t longForm[pathCapacity + 8];
    if (!toLongPathForm(folder, longForm, pathCapacity + 8)) {
        return INVALID_HANDLE_VALUE;
    }
    // Wine shows a link as a reparse point by its path only.
    const DWORD attributes = GetFileAttributesW(longForm);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE hold = openDirectoryHold(folder);
    if (hold != INVALID_HANDLE_VALUE && (!isInPlace(hold, folder) || !matchesManifest(folder))) {
        CloseHandle(hold);
        return INVALID_HANDLE_VALUE;
    }
    return hold;
}

// --- Elevation: an elevated process does not run what an unelevated one of
// the same user could have written.
static bool isElevated()
{
    using OpenToken = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE*);
    using GetInformation = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, void*, DWORD, DWORD*);
    OpenToken openToken;
    GetInformation getInformation;
    if (!bindSystemFunction(openToken, L"advapi32.dll", "OpenProcessToken") ||
        !bindSystemFunction(getInformation, L"advapi32.dll", "GetTokenInformation")) {
        return true;  // cannot tell: the safe road
    }
    HANDLE token = nullptr;
    if (!openToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return true;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD length = 0;
    const BOOL read = getInformation(token, TokenElevation, &elevation, sizeof elevation, &length);
    CloseHandle(token);
    return !read || elevation.TokenIsElevated != 0;
}

// --- The start's road.
static wchar_t versionFolder[pathCapacity];
// Set when the version folder could not be checked and is to be replaced.
static bool versionDamaged;

CacheRoad chooseCacheRoad()
{
    if (!isCacheEnabled() || isElevated() || !expandVersionFolder(versionFolder)) {
        return CacheRoad::perRun;
    }
    const HANDLE hold = holdVerifiedVersion(versionFolder);
    if (hold == INVALID_HANDLE_VALUE) {
        wchar_t longForm[pathCapacity + 8];
        versionDamaged = toLongPathForm(versionFolder, longForm, pathCapacity + 8) &&
                         GetFileAttributesW(longForm) != INVALID_FILE_ATTRIBUTES;
        return CacheRoad::build;
    }
    copyWideBounded(targetDirectory, pathCapacity, versionFolder, "the cache folder does not fit in 4096 characters");
    adoptRunFolderHold(hold);
    return CacheRoad::reuse;
}

// "<id><infix><pid>-<random>" beside the version folder into `path`.
static void nameBesideVersion(wchar_t path[pathCapacity], const wchar_t* infix)
{
    wchar_t random[randomTextLength + 1];
    encodeRandomText(drawRandomSeed(), random);
    wchar_t name[96];
    swprintf(name, 96, L"%ls%ls%lu-%ls", onefileCacheId, infix, static_cast<unsigned long>(GetCurrentProcessId()),
             random);
    wchar_t versions[pathCapacity];
    copyWideBounded(versions, pathCapacity, versionFolder, "the cache folder does not fit in 4096 characters");
    *findLastSeparator(versions) = L'\0';
    if (!joinPath(path, versions, name)) {
        stopProcess("a cache folder's name does not fit in 4096 characters");
    }
}

void placeStagingFolder()
{
    nameBesideVersion(targetDirectory, ONEFILE_WIDE(ONEFILE_CACHE_STAGING_INFIX));
}

// One rename, retried for a moment while something (a scanner) holds a new
// file; false at once when the destination exists.
static bool renameFolder(const wchar_t* from, const wchar_t* to)
{
    wchar_t source[pathCapacity + 8];
    wchar_t destination[pathCapacity + 8];
    if (!toLongPathForm(from, source, pathCapacity + 8) || !toLongPathForm(to, destination, pathCapacity + 8)) {
        return false;
    }
    for (DWORD attempt = 0; attempt < renameAttempts; ++attempt) {
        if (MoveFileExW(source, destination, 0)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_FILE_NOT_FOUND) {
            return false;
        }
        Sleep(renamePauseMilliseconds);
    }
    return false;
}

// Makes the version folder this run's target: held, kept at the end.
static void adoptVersion(HANDLE hold)
{
    copyWideBounded(targetDirectory, pathCapacity, versionFolder, "the cache folder does not fit in 4096 characters");
    adoptRunFolderHold(hold);
}

// Renames the damaged version folder to `aside`, through a handle on the
// folder itself: a name that is a link is never moved (Wine's rename by
// path would move what it leads to), and a folder in use cannot be opened
// for it. False when it stays.
static bool moveVersionAside(const wchar_t* aside)
{
    wchar_t longForm[pathCapacity + 8];
    if (!toLongPathForm(versionFolder, longForm, pathCapacity + 8)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(longForm);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    const HANDLE folder = CreateFileW(longForm, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    // The new name as a full NT path ("\\??\\" and the long form): Wine
    // takes a simple name from the current directory, and refuses one
    // relative to a directory handle.
    wchar_t target[pathCapacity + 8];
    if (!toLongPathForm(aside, target, pathCapacity + 8) || wcsncmp(target, L"\\\\?\\", 4) != 0) {
        CloseHandle(folder);
        return false;
    }
    target[1] = L'?';
    const size_t nameBytes = wcslen(target) * sizeof(wchar_t);
    const size_t size = sizeof(FILE_RENAME_INFO) + nameBytes;
    FILE_RENAME_INFO* const rename = static_cast<FILE_RENAME_INFO*>(calloc(1, size));
    bool moved = false;
    if (rename != nullptr && isInPlace(folder, versionFolder)) {
        rename->FileNameLength = static_cast<DWORD>(nameBytes);
        memcpy(rename->FileName, target, nameBytes);
        moved = SetFileInformationByHandle(folder, FileRenameInfo, rename, static_cast<DWORD>(size)) != FALSE;
    }
    free(rename);
    CloseHandle(folder);
    return moved;
}

static wchar_t setAside[pathCapacity];

void publishStagingFolder()
{
    if (!writeManifest(targetDirectory)) {
        return;  // not publishable: this run goes on from its staging folder
    }
    // Windows refuses to rename a folder that is held open.
    releaseRunFolderHold();
    if (versionDamaged) {
        // The damaged version goes aside; it cannot while a running
        // application holds it, nor when a link was planted at its name.
        nameBesideVersion(setAside, ONEFILE_WIDE(ONEFILE_CACHE_OLD_INFIX));
        if (!moveVersionAside(setAside)) {
            setAside[0] = L'\0';
        }
    }
    if (renameFolder(targetDirectory, versionFolder)) {
        const HANDLE hold = openDirectoryHold(versionFolder);
        if (hold != INVALID_HANDLE_VALUE) {
            adoptVersion(hold);
            return;
        }
    } else {
        // Another start published first: theirs, if it checks out.
        const HANDLE hold = holdVerifiedVersion(versionFolder);
        if (hold != INVALID_HANDLE_VALUE) {
            removeDirectoryTree(targetDirectory);
            adoptVersion(hold);
            return;
        }
    }
    // Neither: the staging folder serves as this run's own folder, held
    // again and removed at the end.
    holdRunFolder();
}

bool targetIsSharedVersion()
{
    return versionFolder[0] != L'\0' && wcscmp(targetDirectory, versionFolder) == 0;
}

void announceCacheTarget()
{
    if (isCacheEnabled() &&
        (targetIsSharedVersion() || wcsstr(targetDirectory, ONEFILE_WIDE(ONEFILE_CACHE_STAGING_INFIX)) != nullptr)) {
        setEnvVar(ONEFILE_VARIABLE_TARGET, targetDirectory);
    }
}

bool useInheritedCacheTarget(const wchar_t* parentId)
{
    wchar_t* const target = getEnvVar(ONEFILE_VARIABLE_TARGET);
    wchar_t expected[pathCapacity];
    bool accepted = false;
    if (target != nullptr && isCacheEnabled() && expandVersionFolder(expected)) {
        const size_t length = wcslen(expected);
        wchar_t staging[pathCapacity];
        swprintf(staging, pathCapacity, L"%ls" ONEFILE_WIDE(ONEFILE_CACHE_STAGING_INFIX) L"%ls-", expected, parentId);
        const size_t stagingLength = wcslen(staging);
        accepted =
            wcscmp(target, expected) == 0 || (length > 0 && wcsncmp(target, staging, stagingLength) == 0 &&
                                              consistsOf(target + stagingLength, randomTextLength, randomTextAlphabet));
    }
    if (accepted) {
        copyWideBounded(targetDirectory, pathCapacity, target, "the cache folder does not fit in 4096 characters");
    }
    free(target);
    return accepted;
}

// --- Upkeep, in the background while the application runs.
struct Version {
    wchar_t name[ONEFILE_CACHE_ID_LENGTH + 1];
    uint64_t published;
};

static const wchar_t hexDigits[] = L"0123456789abcdef";

// Whether `name` starts with a version's id (and is exactly one, with `whole`).
static bool startsWithId(const wchar_t* name, bool whole)
{
    return wcsspn(name, hexDigits) >= ONEFILE_CACHE_ID_LENGTH && (!whole || name[ONEFILE_CACHE_ID_LENGTH] == L'\0');
}

// Whether a process with this id still runs (or cannot be asked: then it
// counts as running).
static bool isProcessAlive(DWORD processId)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD exitCode = 0;
    const bool alive = !GetExitCodeProcess(process, &exitCode) || exitCode == STILL_ACTIVE;
    CloseHandle(process);
    return alive;
}

// "<id>.staging-<pid>-<random>" or "<id>.old-<pid>-<random>" of a start
// that is gone, or set aside by this one.
static bool isLeftoverOfEndedStart(const wchar_t* name)
{
    if (!startsWithId(name, false)) {
        return false;
    }
    const wchar_t* rest = name + ONEFILE_CACHE_ID_LENGTH;
    const wchar_t* const staging = ONEFILE_WIDE(ONEFILE_CACHE_STAGING_INFIX);
    const wchar_t* const old = ONEFILE_WIDE(ONEFILE_CACHE_OLD_INFIX);
    const bool isStaging = wcsncmp(rest, staging, wcslen(staging)) == 0;
    if (!isStaging && wcsncmp(rest, old, wcslen(old)) != 0) {
        return false;
    }
    rest += wcslen(isStaging ? staging : old);
    wchar_t* end = nullptr;
    const unsigned long processId = wcstoul(rest, &end, 10);
    if (end == rest || *end != L'-' || !consistsOf(end + 1, randomTextLength, randomTextAlphabet)) {
        return false;
    }
    if (processId == GetCurrentProcessId()) {
        return !isStaging;  // this start's own staging folder is in use
    }
    return !isProcessAlive(processId);
}

static int newestFirst(const void* a, const void* b)
{
    const uint64_t left = static_cast<const Version*>(a)->published;
    const uint64_t right = static_cast<const Version*>(b)->published;
    return left < right ? 1 : left > right ? -1 : 0;
}

static void keepCacheTidy(void*, const volatile LONG* stop)
{
    wchar_t versions[pathCapacity];
    wchar_t pattern[pathCapacity];
    wchar_t longForm[pathCapacity + 8];
    if (!expandVersionsFolder(versions) || !joinPath(pattern, versions, L"*") ||
        !toLongPathForm(pattern, longForm, pathCapacity + 8)) {
        return;
    }
    Version* others = nullptr;
    size_t count = 0;
    WIN32_FIND_DATAW entry;
    const HANDLE search =
        FindFirstFileExW(longForm, FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        wchar_t path[pathCapacity];
        if (!joinPath(path, versions, entry.cFileName) || !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            continue;
        }
        if (isLeftoverOfEndedStart(entry.cFileName)) {
            removeUnusedTree(path, stop);
        } else if (startsWithId(entry.cFileName, true) && wcscmp(entry.cFileName, onefileCacheId) != 0) {
            Version* const grown = static_cast<Version*>(realloc(others, (count + 1) * sizeof(Version)));
            if (grown == nullptr) {
                break;
            }
            others = grown;
            wcscpy(others[count].name, entry.cFileName);
            wchar_t* const manifest = readManifest(path);
            others[count++].published = publishTimeOf(manifest);
            free(manifest);
        }
    } while (*stop == 0 && FindNextFileW(search, &entry));
    FindClose(search);
    // This version stays; of the others, the newest that fit beside it.
    qsort(others, count, sizeof(Version), newestFirst);
    const size_t kept = onefileCacheKeep > 1 ? onefileCacheKeep - 1u : 0u;
    for (size_t i = kept; i < count && *stop == 0; ++i) {
        wchar_t path[pathCapacity];
        if (joinPath(path, versions, others[i].name)) {
            removeUnusedTree(path, stop);
        }
    }
    free(others);
}

void startCacheUpkeep()
{
    if (isCacheEnabled() && versionFolder[0] != L'\0') {
        startBackgroundWork(keepCacheTidy, nullptr, upkeepDelayMilliseconds);
    }
}
