// Removing a directory tree without ever following a link out of it.
//
// The walk works on the root's final path in the "\\?\" form, so paths of
// any length go, and descends without recursion: one search handle per open
// level, as many levels as the path's length allows. Windows marks every
// link and junction as a reparse point; those are removed as links, through
// a handle to the link itself, never entered. Wine shows a Unix link to a file as a plain file and deletes its
// target when asked to delete it, so every file and directory is opened
// without following a link, the name the system gives the open file
// compared with the path it was reached by, and a file deleted through that
// same handle: nothing can be swapped in between the check and the deletion.
// (The file's name, not its final path: Wine's GetFinalPathNameByHandleW
// fails beyond 260 characters.)
#include "paths.h"

#include <assert.h>
#include <stdlib.h>
#include <wchar.h>

enum : size_t {
    walkCapacity = 32768,
    // Every level adds a separator and at least one character.
    deepestWalk = walkCapacity / 2,
};

static const DWORD openWithoutFollowing = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
static const DWORD shareEverything = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Scratch space of one walk, on the heap so that a walk costs little stack
// and concurrent walks share nothing.
struct TreeWalk {
    wchar_t path[walkCapacity];
    // The start of `path` the file name information leaves out: "\\?\C:"
    // or "\\?\UNC".
    size_t volumeLength;
    union {
        FILE_NAME_INFO name;
        unsigned char nameSpace[sizeof(FILE_NAME_INFO) + walkCapacity * sizeof(wchar_t)];
    };
    HANDLE searches[deepestWalk];
    bool complete;
    // Claiming (the sweep's removal): every entry is first opened for
    // deletion without sharing, and none is deleted unless all could be.
    // Null for the plain removal, which deletes as it goes.
    struct Claims* claims;
    // Set by another thread to end a claiming walk at its next entry.
    const volatile LONG* stop;
    struct UpkeepPace* pace;  // a claiming walk's, null for the plain removal
};

// A batch slower than the fastest one by half was kept waiting by others'
// calls (or by a busy machine): the upkeep then rests four times as long
// as it worked, keeping the server a fifth of the time; with nobody in its
// way, half as long as it worked.
enum : uint64_t { quietRestQuarters = 2, contendedRestQuarters = 16, longestRestMilliseconds = 250 };

DWORD upkeepRestMilliseconds(uint64_t busyMicroseconds, uint64_t fastestMicroseconds)
{
    const bool contended = busyMicroseconds * 2 > fastestMicroseconds * 3;
    const uint64_t quarters = contended ? contendedRestQuarters : quietRestQuarters;
    const uint64_t rest = (busyMicroseconds * quarters + 3999) / 4000;
    return static_cast<DWORD>(rest < 1 ? 1 : rest > longestRestMilliseconds ? longestRestMilliseconds : rest);
}

// The upkeep's batch under way: its entries, and when it began.
struct UpkeepPace {
    unsigned entries;
    LARGE_INTEGER began;
    uint64_t fastest;  // the fastest batch's microseconds so far
};

// Counts one entry of the upkeep's work and, after a batch, rests; in
// slices, so that a stop (the application's end) is heard within one.
static void keepPace(UpkeepPace& pace, const volatile LONG* stop)
{
    if (++pace.entries < upkeepBatchEntries) {
        return;
    }
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const uint64_t busy = static_cast<uint64_t>(now.QuadPart - pace.began.QuadPart) * 1000000u /
                          static_cast<uint64_t>(frequency.QuadPart);
    pace.fastest = pace.fastest == 0 || busy < pace.fastest ? busy : pace.fastest;
    enum : DWORD { slice = 5 };
    for (DWORD rest = upkeepRestMilliseconds(busy, pace.fastest); rest > 0 && *stop == 0;
         rest -= rest < slice ? rest : slice) {
        Sleep(rest < slice ? rest : slice);
    }
    pace.entries = 0;
    QueryPerformanceCounter(&pace.began);
}

// An entry opened for deletion, in the order the entries can go: every
// directory after what it holds.
struct Claim {
    HANDLE handle;
    DWORD attributes;
};
struct Claims {
    Claim* entries;
    size_t count;
    size_t capacity;
};

static bool addClaim(Claims& claims, HANDLE handle, DWORD attributes)
{
    if (!reserveOneMore(claims.entries, claims.count, claims.capacity)) {
        return false;
    }
    claims.entries[claims.count++] = Claim{handle, attributes};
    return true;
}

// Whether the open `handle` is the entry walk.path names, not something a
// link leads to.
static bool isWhereItSeems(TreeWalk& walk, HANDLE handle)
{
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, &walk.name, sizeof walk.nameSpace)) {
        return false;
    }
    const wchar_t* const expected = walk.path + walk.volumeLength;
    const size_t length = walk.name.FileNameLength / sizeof(wchar_t);
    return wcslen(expected) == length && wmemcmp(expected, walk.name.FileName, length) == 0;
}

// Deletes the entry an open handle (with DELETE and FILE_WRITE_ATTRIBUTES)
// names; a read-only one is made writable first.
static bool deleteThroughHandle(HANDLE handle, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic = {};
        const DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
        basic.FileAttributes = writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Opens the entry walk.path names, a link itself rather than its target;
// a claim shares nothing, so it fails on an entry that anyone has open.
static HANDLE openInPlace(TreeWalk& walk, bool claiming)
{
    const HANDLE handle = CreateFileW(walk.path, DELETE | FILE_WRITE_ATTRIBUTES, claiming ? 0 : shareEverything,
                                      nullptr, OPEN_EXISTING, openWithoutFollowing, nullptr);
    if (handle != INVALID_HANDLE_VALUE && !isWhereItSeems(walk, handle)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// Deletes the entry walk.path names, or claims it when the walk claims.
static void deleteFileInPlace(TreeWalk& walk, DWORD attributes)
{
    const HANDLE file = openInPlace(walk, walk.claims != nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        walk.complete = false;
        return;
    }
    if (walk.claims != nullptr) {
        if (!addClaim(*walk.claims, file, attributes)) {
            CloseHandle(file);
            walk.complete = false;
        }
        return;
    }
    const bool deleted = deleteThroughHandle(file, attributes);
    CloseHandle(file);
    walk.complete = walk.complete && deleted;
}

static bool isDirectoryWhereItSeems(TreeWalk& walk)
{
    const HANDLE directory = CreateFileW(walk.path, FILE_READ_ATTRIBUTES, shareEverything, nullptr, OPEN_EXISTING,
                                         openWithoutFollowing, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool inPlace = isWhereItSeems(walk, directory);
    CloseHandle(directory);
    return inPlace;
}

// Opens the search of the directory walk.path names as level `depth`.
static bool openLevel(TreeWalk& walk, size_t depth, WIN32_FIND_DATAW& entry)
{
    const size_t length = wcslen(walk.path);
    size_t extended = length;
    if (depth >= deepestWalk || !appendWide(walk.path, walkCapacity, extended, L"\\*", 2)) {
        return false;
    }
    walk.searches[depth] = FindFirstFileW(walk.path, &entry);
    walk.path[length] = L'\0';
    return walk.searches[depth] != INVALID_HANDLE_VALUE;
}

static void closeLevel(TreeWalk& walk, size_t depth)
{
    assert(depth < deepestWalk && walk.searches[depth] != INVALID_HANDLE_VALUE);
    FindClose(walk.searches[depth]);
    if (walk.claims != nullptr) {
        if (walk.complete) {
            deleteFileInPlace(walk, FILE_ATTRIBUTE_DIRECTORY);
        }
    } else if (!RemoveDirectoryW(walk.path) &&
               // A read-only directory refuses removal until it is made writable.
               !(GetLastError() == ERROR_ACCESS_DENIED && SetFileAttributesW(walk.path, FILE_ATTRIBUTE_NORMAL) &&
                 RemoveDirectoryW(walk.path))) {
        walk.complete = false;
    }
    if (depth > 0) {
        *wcsrchr(walk.path, L'\\') = L'\0';
    }
}

// Handles one entry of the open level; true when it opened a level below.
static bool visitEntry(TreeWalk& walk, size_t depth, WIN32_FIND_DATAW& entry)
{
    const size_t length = wcslen(walk.path);
    size_t extended = length;
    if (!appendWide(walk.path, walkCapacity, extended, L"\\", 1) ||
        !appendWide(walk.path, walkCapacity, extended, entry.cFileName, wcslen(entry.cFileName))) {
        walk.path[length] = L'\0';
        walk.complete = false;
        return false;
    }
    const DWORD attributes = entry.dwFileAttributes;
    bool descended = false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Through a handle to the link itself: Wine's RemoveDirectoryW
        // removes the empty directory a Unix link points at.
        deleteFileInPlace(walk, attributes);
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        descended = isDirectoryWhereItSeems(walk) && openLevel(walk, depth + 1, entry);
        walk.complete = walk.complete && descended;
    } else {
        deleteFileInPlace(walk, attributes);
    }
    if (!descended) {
        walk.path[length] = L'\0';
    }
    return descended;
}

bool isDotEntry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Ends a claiming walk early: the open levels are closed, nothing removed.
static void abandonWalk(TreeWalk& walk, size_t depth)
{
    for (size_t level = 0; level <= depth; ++level) {
        FindClose(walk.searches[level]);
    }
    walk.complete = false;
}

// One pass over the tree whose root walk.path names, bottom up.
static void walkTree(TreeWalk& walk)
{
    WIN32_FIND_DATAW entry;
    if (!openLevel(walk, 0, entry)) {
        walk.complete = false;
        return;
    }
    size_t depth = 0;
    bool pending = true;  // `entry` holds the first entry of a new level
    for (;;) {
        if (!pending && !FindNextFileW(walk.searches[depth], &entry)) {
            closeLevel(walk, depth);
            if (depth == 0) {
                return;
            }
            --depth;
            continue;
        }
        pending = false;
        if (isDotEntry(entry.cFileName)) {
            continue;
        }
        if (walk.claims != nullptr && (!walk.complete || *walk.stop != 0)) {
            abandonWalk(walk, depth);
            return;
        }
        if (visitEntry(walk, depth, entry)) {
            ++depth;
            pending = true;
        }
        if (walk.pace != nullptr) {
            keepPace(*walk.pace, walk.stop);
        }
    }
}

// The final path of the open directory `handle` into walk.path from its
// name on its volume, for where Wine's GetFinalPathNameByHandleW fails
// (beyond 260 characters): `given`'s volume and the name, taken only when
// that path opens the very same directory.
static bool resolveByName(TreeWalk& walk, HANDLE handle, const wchar_t* given)
{
    walk.volumeLength = wcsncmp(given, L"\\\\?\\UNC\\", 8) == 0 ? 7 : 6;
    size_t length = 0;
    walk.path[0] = L'\0';
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, &walk.name, sizeof walk.nameSpace) ||
        !appendWide(walk.path, walkCapacity, length, given, walk.volumeLength) ||
        !appendWide(walk.path, walkCapacity, length, walk.name.FileName, walk.name.FileNameLength / sizeof(wchar_t))) {
        return false;
    }
    const HANDLE named = CreateFileW(walk.path, FILE_READ_ATTRIBUTES, shareEverything, nullptr, OPEN_EXISTING,
                                     openWithoutFollowing, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool same = isSameFile(handle, named);
    CloseHandle(named);
    return same;
}

// The final path of a directory the caller trusts (links on the way
// followed) into walk.path; false when it cannot be had. `directory` is in
// the "\\?\" form.
static bool resolveDirectory(TreeWalk& walk, const wchar_t* directory)
{
    const HANDLE handle = CreateFileW(directory, FILE_READ_ATTRIBUTES, shareEverything, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool resolved = readFinalPath(handle, walk.path, walkCapacity) != 0;
    if (resolved) {
        walk.volumeLength = wcsncmp(walk.path, L"\\\\?\\UNC\\", 8) == 0 ? 7 : 6;
    } else {
        resolved = resolveByName(walk, handle, directory);
    }
    CloseHandle(handle);
    return resolved;
}

// The path an entry must have, into walk.path: the final path of its
// parent (links above the entry are the caller's own and are followed) and
// its own name. `given` is in the "\\?\" form and is left as it was.
static bool placeBesideResolvedParent(TreeWalk& walk, wchar_t* given)
{
    wchar_t* const separator = wcsrchr(given, L'\\');
    if (separator == nullptr) {
        return false;
    }
    // A drive's root keeps its separator: "\\?\C:" alone names the volume,
    // not its root directory. Its final path ends in the separator.
    const bool parentIsDriveRoot = separator == given + 6 && given[5] == L':';
    wchar_t* const cut = parentIsDriveRoot ? separator + 1 : separator;
    const wchar_t kept = *cut;
    *cut = L'\0';
    const bool resolved = resolveDirectory(walk, given);
    *cut = kept;
    if (!resolved) {
        return false;
    }
    size_t length = wcslen(walk.path);
    const wchar_t* const name = length > 0 && walk.path[length - 1] == L'\\' ? separator + 1 : separator;
    return appendWide(walk.path, walkCapacity, length, name, wcslen(name));
}

// The root's path into walk.path, placed beside its resolved parent. A
// root that is a link is removed as one, never walked: Wine shows a link to
// a directory as a reparse point only by path, and an open handle's name
// then leads elsewhere. False when there is nothing to walk.
static bool openRoot(TreeWalk& walk, const wchar_t* directory)
{
    wchar_t given[longPathCapacity];
    walk.complete = false;
    if (!toLongPathForm(directory, given)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(given);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        walk.complete = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        walk.complete = true;  // not a directory: nothing of ours to remove
        return false;
    }
    if (!placeBesideResolvedParent(walk, given)) {
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        walk.complete = true;
        deleteFileInPlace(walk, attributes);
        return false;
    }
    const HANDLE root = CreateFileW(walk.path, FILE_READ_ATTRIBUTES, shareEverything, nullptr, OPEN_EXISTING,
                                    openWithoutFollowing, nullptr);
    if (root == INVALID_HANDLE_VALUE) {
        return false;
    }
    walk.complete = isWhereItSeems(walk, root);
    CloseHandle(root);
    return walk.complete;
}

static TreeWalk* startWalk(Claims* claims, const volatile LONG* stop, UpkeepPace* pace)
{
    TreeWalk* const walk = static_cast<TreeWalk*>(malloc(sizeof(TreeWalk)));
    if (walk != nullptr) {
        walk->claims = claims;
        walk->stop = stop;
        walk->pace = pace;
    }
    return walk;
}

bool removeFileInPlace(const wchar_t* path)
{
    TreeWalk* const walk = startWalk(nullptr, nullptr, nullptr);
    if (walk == nullptr) {
        return false;
    }
    wchar_t given[longPathCapacity];
    walk->complete = false;
    if (toLongPathForm(path, given) && placeBesideResolvedParent(*walk, given)) {
        const DWORD attributes = GetFileAttributesW(walk->path);
        walk->complete = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (walk->complete) {
            deleteFileInPlace(*walk, attributes);
        }
    }
    const bool removed = walk->complete;
    free(walk);
    return removed;
}

bool removeDirectoryTree(const wchar_t* directory)
{
    TreeWalk* const walk = startWalk(nullptr, nullptr, nullptr);
    if (walk == nullptr) {
        return false;
    }
    walk->complete = true;
    if (openRoot(*walk, directory)) {
        walkTree(*walk);
    }
    const bool complete = walk->complete;
    free(walk);
    return complete;
}

// Deletes the claimed entries in order until a stop.
static bool deleteClaims(Claims& claims, const volatile LONG* stop, UpkeepPace& pace)
{
    bool deleted = true;
    for (size_t i = 0; i < claims.count; ++i) {
        if (*stop != 0) {
            return false;  // the rest closes with the process, as below
        }
        deleted = deleteThroughHandle(claims.entries[i].handle, claims.entries[i].attributes) && deleted;
        CloseHandle(claims.entries[i].handle);
        keepPace(pace, stop);
    }
    return deleted;
}

bool isHeldByAnotherRun(const wchar_t* directory)
{
    wchar_t longForm[longPathCapacity];
    if (!toLongPathForm(directory, longForm)) {
        return true;  // cannot be checked: counts as alive
    }
    // Shares everything itself, so only a holder that refuses deletion
    // (a run's proof of life) makes it fail.
    const HANDLE handle =
        CreateFileW(longForm, DELETE, shareEverything, nullptr, OPEN_EXISTING, openWithoutFollowing, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(handle);
    return false;
}

bool removeUnusedTree(const wchar_t* directory, const volatile LONG* stop)
{
    if (isHeldByAnotherRun(directory)) {
        return false;
    }
    Claims claims = {};
    UpkeepPace pace = {};
    QueryPerformanceCounter(&pace.began);
    TreeWalk* const walk = startWalk(&claims, stop, &pace);
    if (walk == nullptr) {
        return false;
    }
    walk->complete = true;
    if (openRoot(*walk, directory)) {
        walkTree(*walk);
    }
    bool removed = walk->complete;
    free(walk);
    if (removed) {
        removed = deleteClaims(claims, stop, pace);
    } else if (*stop != 0) {
        // A stop comes right before the process ends, which closes them
        // all at once: a close each (a Wine server request each) would
        // make the end wait for thousands of them.
        return false;
    } else {
        for (size_t i = 0; i < claims.count; ++i) {
            CloseHandle(claims.entries[i].handle);
        }
    }
    free(claims.entries);
    return removed;
}
