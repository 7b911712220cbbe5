// The platform's floor for making and removing a tree, and a caller that
// keeps the file system busy: reads a list of files ("SIZE PATH" lines,
// PATH relative with '/' or '\'), then ROUNDS times creates every folder
// and file below TARGET, writes each file's size in zeros, closes it, and
// deletes them all again; with OPENS, opens and closes every file that
// many times before deleting. Plain Win32 calls, nothing else.
//   write_tree LIST TARGET [ROUNDS [OPENS]]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::wstring path;
    unsigned long long size;
};

std::wstring widen(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                           static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length : 0);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    return wide;
}

// Makes the folders on the way to `path` below `target`, remembering each once.
void makeFolders(const std::wstring& target, const std::wstring& path, std::vector<std::wstring>& made)
{
    for (size_t cut = path.find(L'\\'); cut != std::wstring::npos; cut = path.find(L'\\', cut + 1)) {
        const std::wstring folder = target + L"\\" + path.substr(0, cut);
        if (CreateDirectoryW(folder.c_str(), nullptr)) made.push_back(folder);
    }
}

bool writeZeros(HANDLE file, unsigned long long size)
{
    static const std::vector<char> zeros(1 << 20);
    while (size > 0) {
        const DWORD want = size < zeros.size() ? static_cast<DWORD>(size) : static_cast<DWORD>(zeros.size());
        DWORD written = 0;
        if (!WriteFile(file, zeros.data(), want, &written, nullptr) || written != want) return false;
        size -= want;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fputs("usage: write_tree LIST TARGET [ROUNDS [OPENS]]\n", stderr);
        return 64;
    }
    FILE* const list = _wfopen(argv[1], L"rb");
    if (list == nullptr) {
        fputs("write_tree: cannot read the list\n", stderr);
        return 2;
    }
    std::vector<Entry> entries;
    char line[8192];
    while (fgets(line, sizeof line, list) != nullptr) {
        char* rest = nullptr;
        const unsigned long long size = strtoull(line, &rest, 10);
        std::string path = rest != nullptr && *rest == ' ' ? rest + 1 : "";
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
        if (!path.empty()) entries.push_back({widen(path), size});
    }
    fclose(list);
    const std::wstring target = argv[2];
    const int rounds = argc > 3 ? _wtoi(argv[3]) : 1;
    const int opens = argc > 4 ? _wtoi(argv[4]) : 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::wstring> made;
        for (const Entry& entry : entries) {
            makeFolders(target, entry.path, made);
            const HANDLE file = CreateFileW((target + L"\\" + entry.path).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE || !writeZeros(file, entry.size) || !CloseHandle(file)) {
                fputs("write_tree: cannot write a file\n", stderr);
                return 2;
            }
        }
        for (int open = 0; open < opens; ++open) {
            for (const Entry& entry : entries) {
                const HANDLE file = CreateFileW((target + L"\\" + entry.path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr);
                if (file == INVALID_HANDLE_VALUE) {
                    fputs("write_tree: cannot open a file\n", stderr);
                    return 2;
                }
                CloseHandle(file);
            }
        }
        for (const Entry& entry : entries) DeleteFileW((target + L"\\" + entry.path).c_str());
        for (auto folder = made.rbegin(); folder != made.rend(); ++folder) RemoveDirectoryW(folder->c_str());
    }
    return 0;
}
