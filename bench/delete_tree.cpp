// References for the cleanup benchmark, each deleting one tree:
//   delete_tree floor DIR   DeleteFileW and RemoveDirectoryW, bottom up, and
//                           nothing else: the least any deletion costs
//   delete_tree shell DIR   one SHFileOperationW call, as the cleanup was
//                           first built
#include <windows.h>
#include <shellapi.h>

#include <string>

static void deleteBottomUp(const std::wstring& directory)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = directory + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                deleteBottomUp(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(directory.c_str());
}

static void deleteWithTheShell(const std::wstring& directory)
{
    std::wstring list = directory;
    list.push_back(L'\0');  // the list form ends with a second NUL
    SHFILEOPSTRUCTW request = {};
    request.wFunc = FO_DELETE;
    request.pFrom = list.c_str();
    request.pTo = L"";
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    request.lpszProgressTitle = L"";
    SHFileOperationW(&request);
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) return 64;
    const std::wstring mode = argv[1];
    const std::wstring directory = L"\\\\?\\" + std::wstring(argv[2]);
    if (mode == L"floor") {
        deleteBottomUp(directory);
    } else if (mode == L"shell") {
        deleteWithTheShell(argv[2]);
    } else {
        return 64;
    }
    return GetFileAttributesW(directory.c_str()) == INVALID_FILE_ATTRIBUTES ? 0 : 1;
}
