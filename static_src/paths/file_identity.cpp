// Telling which file an open handle is: two handles of one file, and a
// handle opened by a path that no link on the way or at the name diverted;
// removing a file only when it is still the one made.
#include "paths.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

bool hasIdentity(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& identity)
{
    BY_HANDLE_FILE_INFORMATION found;
    return GetFileInformationByHandle(handle, &found) && found.dwVolumeSerialNumber == identity.dwVolumeSerialNumber &&
           found.nFileIndexHigh == identity.nFileIndexHigh && found.nFileIndexLow == identity.nFileIndexLow;
}

bool isSameFile(HANDLE one, HANDLE other)
{
    BY_HANDLE_FILE_INFORMATION identity;
    return GetFileInformationByHandle(one, &identity) && hasIdentity(other, identity);
}

bool isOpenedInPlace(HANDLE handle, const wchar_t* path)
{
    wchar_t parentPath[pathCapacity];
    copyWideBounded(parentPath, pathCapacity, path, "a path does not fit in 4096 characters");
    wchar_t* const separator = findLastSeparator(parentPath);
    if (separator == nullptr) {
        return false;
    }
    const wchar_t* const leaf = path + (separator - parentPath) + 1;
    // A drive's root keeps its backslash: "C:" alone is the drive's current
    // directory, or through the long form the volume itself.
    const bool belowDriveRoot = separator == parentPath + 2 && parentPath[1] == L':';
    separator[belowDriveRoot ? 1 : 0] = L'\0';
    wchar_t longForm[longPathCapacity];
    if (!toLongPathForm(parentPath, longForm)) {
        return false;
    }
    const HANDLE parent =
        CreateFileW(longForm, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE) {
        return false;
    }
    wchar_t parentName[pathCapacity];
    const bool inPlace = readOpenedName(parent, parentName) && isOpenedBelow(handle, parentName, leaf);
    CloseHandle(parent);
    return inPlace;
}

bool removeFileIfStillMade(const wchar_t* path, const BY_HANDLE_FILE_INFORMATION& made)
{
    wchar_t longForm[longPathCapacity];
    if (!toLongPathForm(path, longForm)) {
        return false;
    }
    const HANDLE file =
        CreateFileW(longForm, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Only the file that was made, in its place: what another program wrote
    // at the name since, or what a link planted there leads to, is another.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    const bool removed = hasIdentity(file, made) && isOpenedInPlace(file, path) &&
                         SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(file);
    return removed;
}

bool readOpenedName(HANDLE handle, wchar_t name[pathCapacity])
{
    struct Name {
        FILE_NAME_INFO info;
        wchar_t space[pathCapacity];
    };
    Name* const opened = static_cast<Name*>(malloc(sizeof(Name)));
    const bool read = opened != nullptr && GetFileInformationByHandleEx(handle, FileNameInfo, opened, sizeof(Name)) &&
                      opened->info.FileNameLength / sizeof(wchar_t) < pathCapacity;
    if (read) {
        wmemcpy(name, opened->info.FileName, opened->info.FileNameLength / sizeof(wchar_t));
        name[opened->info.FileNameLength / sizeof(wchar_t)] = L'\0';
    }
    free(opened);
    return read;
}

bool isOpenedBelow(HANDLE handle, const wchar_t* folderName, const wchar_t* relative)
{
    wchar_t opened[pathCapacity];
    if (!readOpenedName(handle, opened)) {
        return false;
    }
    // A volume's root is named "\\": what is below it follows at once.
    const size_t folderLength = wcscmp(folderName, L"\\") == 0 ? 0 : wcslen(folderName);
    return wcsncmp(opened, folderName, folderLength) == 0 && opened[folderLength] == L'\\' &&
           wcscmp(opened + folderLength + 1, relative) == 0;
}

bool renameOpenedEntry(HANDLE entry, const wchar_t* newPath)
{
    // The new name as a full NT path ("\\??\\" and the long form): Wine
    // takes a simple name from the current directory, and refuses one
    // relative to a directory handle.
    wchar_t target[longPathCapacity];
    if (!toLongPathForm(newPath, target) || wcsncmp(target, L"\\\\?\\", 4) != 0) {
        return false;
    }
    target[1] = L'?';
    const size_t nameBytes = wcslen(target) * sizeof(wchar_t);
    const size_t size = sizeof(FILE_RENAME_INFO) + nameBytes;
    FILE_RENAME_INFO* const rename = static_cast<FILE_RENAME_INFO*>(calloc(1, size));
    if (rename == nullptr) {
        return false;
    }
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    memcpy(rename->FileName, target, nameBytes);
    const bool renamed = SetFileInformationByHandle(entry, FileRenameInfo, rename, static_cast<DWORD>(size)) != FALSE;
    free(rename);
    return renamed;
}
