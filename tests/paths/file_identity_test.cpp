// Removing a file only while it is still the one this process made: what
// another program wrote at its name since, a folder there, or the file
// gone, are left as they are.
#include "test_support.h"

#include <gtest/gtest.h>

#include "paths/paths.h"

namespace {

BY_HANDLE_FILE_INFORMATION identityOf(const std::wstring& path)
{
    BY_HANDLE_FILE_INFORMATION identity = {};
    const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << toUtf8(path);
    GetFileInformationByHandle(file, &identity);
    CloseHandle(file);
    return identity;
}

TEST(FileIdentity, OnlyTheFileThatWasMadeIsRemoved)
{
    ScratchDirectory scratch;
    const std::wstring path = scratch.path() + L"\\onefile-feedback-1";
    const struct {
        const char* what;
        void (*since)(const std::wstring& path);  // what happened at the name after it was made
        bool removed;
    } cases[] = {
        {"still the file made", [](const std::wstring&) {}, true},
        {"written over in place, the same file", [](const std::wstring& p) { writeFile(p, "rewritten"); }, true},
        // Made while the first still exists, so that the system cannot
        // give them the same index.
        {"another program's file at the name",
         [](const std::wstring& p) {
             writeFile(p + L".theirs", "theirs");
             MoveFileExW((p + L".theirs").c_str(), p.c_str(), MOVEFILE_REPLACE_EXISTING);
         },
         false},
        {"a folder at the name",
         [](const std::wstring& p) {
             CreateDirectoryW((p + L".folder").c_str(), nullptr);
             DeleteFileW(p.c_str());
             MoveFileExW((p + L".folder").c_str(), p.c_str(), 0);
         },
         false},
        {"gone", [](const std::wstring& p) { DeleteFileW(p.c_str()); }, false},
    };
    for (const auto& c : cases) {
        writeFile(path, "made");
        const BY_HANDLE_FILE_INFORMATION made = identityOf(path);
        c.since(path);
        const bool existed = pathExists(path);
        EXPECT_EQ(removeFileIfStillMade(path.c_str(), made), c.removed) << c.what;
        EXPECT_EQ(pathExists(path), existed && !c.removed) << c.what;
        RemoveDirectoryW(path.c_str());
        DeleteFileW(path.c_str());
    }
}

}  // namespace
