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
};

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

static void deleteFileInPlace(TreeWalk& walk, DWORD attributes)
{
    const HANDLE file = CreateFileW(walk.path, DELETE | FILE_WRITE_ATTRIBUTES, shareEverything, nullptr,
                                    OPEN_EXISTING, openWithoutFollowing, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        walk.complete = false;
        return;
    }
    bool deleted = false;
    if (isWhereItSeems(walk, file)) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            FILE_BASIC_INFO basic = {};
            const DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
            basic.FileAttributes = writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL;
            SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
        }
        FILE_DISPOSITION_INFO disposition = {TRUE};
        deleted = SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
    }
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
    if (depth >= deepestWalk || length + 2 >= walkCapacity) {
        return false;
    }
    wcscpy(walk.path + length, L"\\*");
    walk.searches[depth] = FindFirstFileW(walk.path, &entry);
    walk.path[length] = L'\0';
    return walk.searches[depth] != INVALID_HANDLE_VALUE;
}

static void closeLevel(TreeWalk& walk, size_t depth)
{
    FindClose(walk.searches[depth]);
    // A read-only directory refuses removal until it is made writable.
    if (!RemoveDirectoryW(walk.path) &&
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
    if (length + 1 + wcslen(entry.cFileName) >= walkCapacity) {
        walk.complete = false;
        return false;
    }
    walk.path[length] = L'\\';
    wcscpy(walk.path + length + 1, entry.cFileName);
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

static bool isDotEntry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
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
        if (visitEntry(walk, depth, entry)) {
            ++depth;
            pending = true;
        }
    }
}

// The final path of a directory the caller trusts (links on the way
// followed) into walk.path; false when it cannot be had.
static bool resolveDirectory(TreeWalk& walk, const wchar_t* directory)
{
    const HANDLE handle = CreateFileW(directory, FILE_READ_ATTRIBUTES, shareEverything, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD length = readFinalPath(handle, walk.path, walkCapacity);
    CloseHandle(handle);
    walk.volumeLength = wcsncmp(walk.path, L"\\\\?\\UNC\\", 8) == 0 ? 7 : 6;
    return length != 0;
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
    *separator = L'\0';
    const bool resolved = resolveDirectory(walk, given);
    *separator = L'\\';
    if (!resolved || wcslen(walk.path) + wcslen(separator) >= walkCapacity) {
        return false;
    }
    wcscat(walk.path, separator);
    return true;
}

// The root's path into walk.path, placed beside its resolved parent. A
// root that is a link is removed as one, never walked: Wine shows a link to
// a directory as a reparse point only by path, and an open handle's name
// then leads elsewhere. False when there is nothing to walk.
static bool openRoot(TreeWalk& walk, const wchar_t* directory)
{
    wchar_t given[pathCapacity + 8];
    walk.complete = false;
    if (!toLongPathForm(directory, given, pathCapacity + 8)) {
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

bool removeFileInPlace(const wchar_t* path)
{
    TreeWalk* const walk = static_cast<TreeWalk*>(malloc(sizeof(TreeWalk)));
    if (walk == nullptr) {
        return false;
    }
    wchar_t given[pathCapacity + 8];
    walk->complete = false;
    if (toLongPathForm(path, given, pathCapacity + 8) && placeBesideResolvedParent(*walk, given)) {
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
    TreeWalk* const walk = static_cast<TreeWalk*>(malloc(sizeof(TreeWalk)));
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
