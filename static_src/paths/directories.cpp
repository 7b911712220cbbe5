#include "paths.h"

#include <stdlib.h>
#include <wchar.h>

wchar_t* knownDirectories[knownDirectoriesCapacity];
int knownDirectoryCount;

// Only successful copies are recorded: the table never holds an entry that
// cannot be compared.
static void rememberDirectory(const wchar_t* path)
{
    if (knownDirectoryCount >= knownDirectoriesCapacity) {
        return;
    }
    if (wchar_t* copy = _wcsdup(path)) {
        knownDirectories[knownDirectoryCount++] = copy;
    }
}

static bool isKnownDirectory(const wchar_t* path)
{
    for (int i = 0; i < knownDirectoryCount; ++i) {
        if (wcscmp(knownDirectories[i], path) == 0) {
            return true;
        }
    }
    return false;
}

// Whether `path` is the user's home directory, which the table takes in
// when a creation of it fails: asked only then, since the question loads
// shell32 (and under Wine user32 and gdi32 with it).
static bool isHomeDirectory(const wchar_t* path)
{
    // A drive's root ("C:"), which no one can create, is never a profile
    // folder: a walk up to it asks nothing.
    const bool driveRoot = path[0] != L'\0' && path[1] == L':' && path[2] == L'\0';
    wchar_t home[pathCapacity];
    if (driveRoot || !expandPathSpec(home, L"{HOME}", pathCapacity) || wcscmp(home, path) != 0) {
        return false;
    }
    rememberDirectory(home);
    return true;
}

// The "\\?\" form lifts the 260-character limit on every system.
static BOOL createDirectoryOfAnyLength(const wchar_t* path)
{
    wchar_t longForm[longPathCapacity];
    return CreateDirectoryW(toLongPathForm(path, longForm) ? longForm : path, privateDirectoryAttributes());
}

bool createNewDirectory(const wchar_t* path)
{
    if (!createDirectoryOfAnyLength(path)) {
        return false;
    }
    rememberDirectory(path);
    return true;
}

bool ensureDirectory(const wchar_t* path)
{
    if (isKnownDirectory(path)) {
        return true;
    }
    // A bare drive such as "C:" always counts as existing.
    if (path[0] != L'\0' && path[1] == L':' && path[2] == L'\0') {
        return true;
    }
    if (!createDirectoryOfAnyLength(path) && GetLastError() != ERROR_ALREADY_EXISTS) {
        // A home folder whose parent the user may not write into exists
        // all the same.
        return isHomeDirectory(path);
    }
    rememberDirectory(path);
    return true;
}

// Walks up from the path's parent to the first ancestor that exists (or can
// be created), then creates the ones below it, nearest to the root first.
// One working buffer serves every level: a name of a few hundred components
// would overflow the stack with a buffer per level.
void ensureParentDirectories(const wchar_t* path)
{
    wchar_t work[pathCapacity];
    copyWideBounded(work, pathCapacity, path, "a directory path does not fit in 4096 characters");
    int failed = 0;
    bool accepted = false;
    while (wchar_t* separator = findLastSeparator(work)) {
        *separator = L'\0';
        if (ensureDirectory(work)) {
            accepted = true;
            break;
        }
        ++failed;
    }
    // The topmost directory that failed has no parent left to create: try it
    // once more, as every failed level below it will be.
    if (!accepted && failed > 0) {
        ensureDirectory(work);
        --failed;
    }
    for (; failed > 0; --failed) {
        work[wcslen(work)] = L'\\';
        ensureDirectory(work);
    }
}
