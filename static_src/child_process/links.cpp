#include "child_process.h"

#include <stdlib.h>
#include <wchar.h>

enum : size_t { walkCapacity = 32768 };
enum : int { deepestWalk = 512 };

// Final path of a file or directory, in the "\\?\" form the system gives.
static bool readFinalPath(const wchar_t* path, wchar_t* finalPath)
{
    const HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD length = GetFinalPathNameByHandleW(handle, finalPath, walkCapacity, 0);
    CloseHandle(handle);
    return length != 0 && length < walkCapacity;
}

// `path` is a final path. Windows marks links as reparse points; Wine does
// not always, but a linked directory's final path then leads elsewhere than
// the path it was reached through.
static bool isLink(const wchar_t* path, DWORD attributes, wchar_t* scratch)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return true;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return false;
    }
    return !readFinalPath(path, scratch) || _wcsicmp(scratch, path) != 0;
}

// Removes one file, empty directory or link; for a link both calls act on
// the link itself, never on what it points at.
static bool removeEntry(const wchar_t* path, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path) : DeleteFileW(path);
}

enum class Walk { removeLinks, deleteAroundLinks };

// `path` and `scratch` are heap buffers of walkCapacity units shared by
// every level, so the walk's depth costs little stack. With removeLinks it
// removes every link and answers whether all of them went; with
// deleteAroundLinks it deletes everything else, bottom up, and leaves links
// (and the directories that hold them) alone.
static bool walkTree(wchar_t* path, wchar_t* scratch, int depth, Walk walk)
{
    const size_t length = wcslen(path);
    if (depth > deepestWalk || length + 3 >= walkCapacity) {
        return false;
    }
    wcscpy(path + length, L"\\*");
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW(path, &entry);
    path[length] = L'\0';
    if (search == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool removed = true;
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) {
            continue;
        }
        if (length + 1 + wcslen(entry.cFileName) >= walkCapacity) {
            removed = false;
            break;
        }
        path[length] = L'\\';
        wcscpy(path + length + 1, entry.cFileName);
        const bool link = isLink(path, entry.dwFileAttributes, scratch);
        const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (link && walk == Walk::removeLinks) {
            removed = removeEntry(path, entry.dwFileAttributes) && removed;
        } else if (!link && directory) {
            removed = walkTree(path, scratch, depth + 1, walk) && removed;
        }
        if (!link && walk == Walk::deleteAroundLinks) {
            removeEntry(path, entry.dwFileAttributes);  // a directory still holding a link stays
        }
        path[length] = L'\0';
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return removed;
}

static bool walkFrom(const wchar_t* directory, Walk walk)
{
    wchar_t* const path = static_cast<wchar_t*>(malloc(2 * walkCapacity * sizeof(wchar_t)));
    if (path == nullptr) {
        return false;
    }
    wchar_t* const scratch = path + walkCapacity;
    // A directory that cannot be opened holds nothing to remove.
    const bool removed = !readFinalPath(directory, path) || walkTree(path, scratch, 0, walk);
    free(path);
    return removed;
}

bool removeLinksBelow(const wchar_t* directory)
{
    return walkFrom(directory, Walk::removeLinks);
}

void deleteAroundLinks(const wchar_t* directory)
{
    walkFrom(directory, Walk::deleteAroundLinks);
    RemoveDirectoryW(directory);
}
