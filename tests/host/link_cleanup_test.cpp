// A link that the application leaves in the target directory must not lead
// the cleanup out of it. Wine's CreateSymbolicLinkW reports success but makes
// no link, so the link is made from this side while the application runs.
// (A Unix link to a file looks like a plain file to Windows code under Wine,
// and Wine deletes its target: no Windows program can tell it apart.)
#include "host_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

// "C:\users\..." as the Linux path inside the Wine prefix.
fs::path linuxPathOf(const std::string& windowsPath)
{
    std::string rest = windowsPath.substr(3);
    for (char& c : rest) c = c == '\\' ? '/' : c;
    return fs::path(std::getenv("ONEFILE_WINEPREFIX")) / "drive_c" / rest;
}

TEST(LinkCleanup, LinksInsideTheTargetAreRemovedWithoutFollowingThem)
{
    const char* onefile = std::getenv("ONEFILE_REPORT_APP");
    if (!harnessAvailable() || onefile == nullptr || !fs::exists(onefile)) GTEST_SKIP() << "Windows build missing";
    TempTree tree;
    writeBytes(tree / "outside/keep.txt", "must survive");
    writeBytes(tree / "outside/sub/also.txt", "must survive too");
    const fs::path report = tree / "report.txt";

    const std::string command = std::string("ONEFILE_TEST_REPORT='Z:") + report.string() + "' timeout 60 " +
                                std::getenv("ONEFILE_WINE_RUN") + " '" + onefile + "' --app-sleep=3000 > /dev/null 2>&1";
    std::thread run([&] { EXPECT_EQ(std::system(command.c_str()), 0); });
    for (int i = 0; i < 200 && !fs::exists(report); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    std::ifstream lines(report);
    std::string line;
    std::string dll;
    while (std::getline(lines, line)) {
        if (line.rfind("dll=", 0) == 0) dll = decodeHex(line.substr(4));
    }
    ASSERT_FALSE(dll.empty()) << "the application did not report";
    const fs::path target = linuxPathOf(dll.substr(0, dll.rfind('\\')));
    ASSERT_TRUE(fs::is_directory(target)) << target;
    fs::create_directory_symlink(tree / "outside", target / "escape");
    fs::create_directories(target / "deeper");
    fs::create_directory_symlink(tree / "outside", target / "deeper/escape-too");
    run.join();

    EXPECT_EQ(readBytes(tree / "outside/keep.txt"), "must survive");
    EXPECT_EQ(readBytes(tree / "outside/sub/also.txt"), "must survive too");
    // What Wine cannot remove (a Unix link) stays with its directories;
    // every extracted file is gone.
    size_t files = 0;
    if (fs::exists(target)) {
        for (auto it = fs::recursive_directory_iterator(target); it != fs::recursive_directory_iterator(); ++it) {
            if (fs::is_symlink(it->symlink_status())) {
                it.disable_recursion_pending();
            } else {
                files += fs::is_regular_file(it->symlink_status());
            }
        }
        fs::remove_all(target);  // std::filesystem removes links without following them
    }
    EXPECT_EQ(files, 0u) << "every extracted file must be deleted";
}

}  // namespace
