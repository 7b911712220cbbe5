// The tree removal behind every cleanup: long paths, read-only entries,
// and many removals of one tree at once, with files around it that must stay.
#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>

#include "child_process/child_process.h"

namespace {

std::wstring longForm(const std::wstring& path)
{
    return L"\\\\?\\" + path;
}

// A directory chain below `root` whose deepest file path is `length` long.
std::wstring makeDeepFile(const std::wstring& root, size_t length)
{
    std::wstring path = root;
    while (path.size() + 60 < length) {
        path += L"\\" + std::wstring(50, L'd');
        EXPECT_TRUE(CreateDirectoryW(longForm(path).c_str(), nullptr));
    }
    path += L"\\" + std::wstring(length - path.size() - 1, L'f');
    writeFile(longForm(path), "deep");
    return path;
}

TEST(RemoveTree, PathsFarBeyond260CharactersGoToTheLastDirectory)
{
    ScratchDirectory scratch;
    const std::wstring target = scratch.path() + L"\\target";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    const std::wstring deep = makeDeepFile(target, 420);
    ASSERT_EQ(deep.size(), 420u);
    ASSERT_TRUE(pathExists(longForm(deep)));
    writeFile(target + L"\\locked.txt", "read-only");
    SetFileAttributesW((target + L"\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_TRUE(removeDirectoryTree(target.c_str()));
    EXPECT_FALSE(pathExists(target));
    EXPECT_TRUE(removeDirectoryTree(target.c_str())) << "a missing directory counts as removed";
}

// With TEMP at a drive's root the target's parent is "C:\": its final path
// is not built from "\\?\C:", which names the volume, not its root.
TEST(RemoveTree, RootDirectlyBelowADriveRootGoes)
{
    const std::wstring root = L"C:\\onefile_walk_" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    writeFile(root + L"\\file.txt", "x");
    EXPECT_TRUE(removeDirectoryTree(root.c_str()));
    EXPECT_FALSE(pathExists(root));
}

TEST(RemoveTree, ConcurrentCleanupsRemoveTheTargetAndNothingBesideOrAbove)
{
    ScratchDirectory scratch;
    const std::wstring target = scratch.path() + L"\\onefile_target";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    for (int d = 0; d < 10; ++d) {
        const std::wstring directory = target + L"\\dir" + std::to_wstring(d);
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        for (int f = 0; f < 20; ++f) writeFile(directory + L"\\file" + std::to_wstring(f), "x");
    }
    const std::wstring beside = target + L"_beside";
    ASSERT_TRUE(CreateDirectoryW(beside.c_str(), nullptr));
    writeFile(beside + L"\\keep.txt", "beside");
    writeFile(scratch.path() + L"\\above.txt", "above");
    writeFile(target + L"x", "a name that extends the target's");

    static TargetFolder published = {{}, true};
    wcscpy(published.path, target.c_str());
    publishCleanupTarget(&published);
    std::vector<std::thread> cleanups;
    for (int i = 0; i < 50; ++i) cleanups.emplace_back(cleanupChildAndTarget);
    for (std::thread& cleanup : cleanups) cleanup.join();
    publishCleanupTarget(nullptr);

    EXPECT_FALSE(pathExists(target));
    EXPECT_EQ(readFile(beside + L"\\keep.txt"), "beside");
    EXPECT_EQ(readFile(scratch.path() + L"\\above.txt"), "above");
    EXPECT_EQ(readFile(target + L"x"), "a name that extends the target's");
}

// The upkeep's pace: a little rest while nobody is in its way, four parts
// in five of the time once others' calls slow its batches, never long.
TEST(RemoveTree, TheUpkeepRestsLongerWhenOthersSlowItsBatches)
{
    const struct {
        uint64_t busy, fastest;  // microseconds
        DWORD rest;              // milliseconds
    } rows[] = {
        {0, 0, 1},         // always yields
        {4000, 4000, 2},   // alone: half its work
        {5900, 4000, 3},   // within half again of its best: alone
        {6100, 4000, 25},  // beyond: four times its work
        {20000, 4000, 80},
        {100000, 4000, 250},  // a stalled batch parks it for a quarter second at most
        {100000, 100000, 50},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(upkeepRestMilliseconds(row.busy, row.fastest), row.rest) << row.busy << " after " << row.fastest;
    }
}

}  // namespace
