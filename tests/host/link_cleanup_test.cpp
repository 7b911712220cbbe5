// Links into the target directory must never lead a deletion out of it.
// Wine's CreateSymbolicLinkW reports success but makes no link, so links
// are made from this side: some while the application runs, more after it
// has returned, while a held file keeps the cleanup's retries going. Wine
// shows a Unix link to a file as a plain file; deleting it by name would
// delete what it points at.
#include "host_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The temporary directory Wine gives the prefix's user: C:\users\<user>\Temp.
fs::path temporaryDirectoryOfThePrefix()
{
    for (const auto& user : fs::directory_iterator(fs::path(std::getenv("ONEFILE_WINEPREFIX")) / "drive_c/users")) {
        if (user.path().filename() != "Public" && fs::is_directory(user.path() / "Temp")) return user.path() / "Temp";
    }
    return {};
}

// "C:\users\..." as the Linux path inside the Wine prefix.
fs::path linuxPathOf(const std::string& windowsPath)
{
    std::string rest = windowsPath.substr(3);
    for (char& c : rest) c = c == '\\' ? '/' : c;
    return fs::path(std::getenv("ONEFILE_WINEPREFIX")) / "drive_c" / rest;
}

// Waits for a file the program under test makes; the limit only ends a
// hung test.
bool waitFor(const fs::path& path)
{
    for (int i = 0; i < 6000 && !fs::exists(path); ++i) std::this_thread::sleep_for(10ms);
    return fs::exists(path);
}

std::string reportedDll(const fs::path& report)
{
    std::ifstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("dll=", 0) == 0) return decodeHex(line.substr(4));
    }
    return {};
}

class LinkCleanup : public testing::Test {
protected:
    void SetUp() override
    {
        onefile = std::getenv("ONEFILE_REPORT_APP") ? std::getenv("ONEFILE_REPORT_APP") : "";
        ONEFILE_REQUIRE(harnessAvailable() && !onefile.empty() && fs::exists(onefile), "the Windows build is missing");
        writeBytes(tree / "outside/keep.txt", "must survive");
        writeBytes(tree / "outside/sub/also.txt", "must survive too");
    }

    void expectOutsideUntouched()
    {
        EXPECT_EQ(readBytes(tree / "outside/keep.txt"), "must survive");
        EXPECT_EQ(readBytes(tree / "outside/sub/also.txt"), "must survive too");
    }

    std::string onefile;
    TempTree tree;
};

TEST_F(LinkCleanup, LinksMadeBeforeAndDuringTheCleanupAreNeverFollowed)
{
    const fs::path report = tree / "report.txt";
    const fs::path go = tree / "go";
    const fs::path returned = tree / "returned";
    const fs::path release = tree / "release";
    writeBytes(go, "");
    writeBytes(release, "");
    const std::string command = "ONEFILE_TEST_REPORT='Z:" + report.string() +
                                "' ONEFILE_TEST_RELEASE='Z:" + release.string() + "' timeout 120 " +
                                std::getenv("ONEFILE_WINE_RUN") + " '" + onefile +
                                "' --app-hold=data\\\\held.txt --app-wait='Z:" + go.string() +
                                "' --app-mark-return='Z:" + returned.string() + "' > /dev/null 2>&1";
    int status = -1;
    std::thread run([&] { status = std::system(command.c_str()); });

    ASSERT_TRUE(waitFor(report)) << "the application did not report";
    const std::string dll = reportedDll(report);
    const fs::path target = linuxPathOf(dll.substr(0, dll.rfind('\\')));
    ASSERT_TRUE(fs::is_directory(target)) << target;
    fs::create_directory_symlink(tree / "outside", target / "escape");
    fs::create_directories(target / "deeper");
    fs::create_directory_symlink(tree / "outside", target / "deeper/escape-too");
    fs::create_symlink(tree / "outside/keep.txt", target / "file-link.txt");
    fs::remove(go);
    // The held file keeps the retries going: each one is a walk of its own.
    EXPECT_TRUE(waitFor(returned));
    fs::create_directory_symlink(tree / "outside/sub", target / "late-link");
    fs::create_symlink(tree / "outside/sub/also.txt", target / "deeper/late-file.txt");
    run.join();
    EXPECT_EQ(WEXITSTATUS(status), 0);

    expectOutsideUntouched();
    // Left behind: what Wine cannot remove (Unix links, and the directories
    // holding them) and what the second start still holds.
    std::set<std::string> files;
    for (auto it = fs::recursive_directory_iterator(target); it != fs::recursive_directory_iterator(); ++it) {
        if (fs::is_symlink(it->symlink_status())) {
            it.disable_recursion_pending();
        } else if (fs::is_regular_file(it->symlink_status())) {
            files.insert(fs::relative(it->path(), target).string());
        }
    }
    EXPECT_EQ(files, (std::set<std::string>{"data/held.txt", "report_app.dll"}));
    fs::remove(release);
    fs::remove_all(target);  // std::filesystem removes links without following them
}

// The feedback file's name is known in advance; a link planted there must
// not make the splash truncate what it points at.
TEST_F(LinkCleanup, LinkAtTheFeedbackPathIsLeftAlone)
{
    const fs::path planted = temporaryDirectoryOfThePrefix() / "onefile_424242_splash_feedback.tmp";
    ASSERT_TRUE(fs::is_directory(planted.parent_path())) << planted;
    fs::remove(planted);
    fs::create_symlink(tree / "outside/keep.txt", planted);
    const fs::path probe = fs::path(std::getenv("ONEFILE_HARNESS")).parent_path() / "onefile_probe.exe";
    const std::string command = "MERLOX_ONEFILE_PARENT=424242 " + std::string(std::getenv("ONEFILE_WINE_RUN")) + " '" +
                                probe.string() + "' feedback-file > /dev/null 2>&1";
    EXPECT_EQ(shell(command), 0) << "the splash counts the file as present";
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(planted)));
    fs::remove(planted);
    expectOutsideUntouched();
}

// Wine's RemoveDirectoryW on a Unix link to an empty directory removes that
// directory: a link is removed only through a handle to the link itself.
TEST_F(LinkCleanup, EmptyDirectoryBehindALinkSurvivesTheRemoval)
{
    fs::create_directories(tree / "outside/empty");
    fs::create_directories(tree / "t");
    fs::create_directory_symlink(tree / "outside/empty", tree / "t/link");
    fs::create_directory_symlink(tree / "outside/empty", tree / "root-link");
    const fs::path probe = fs::path(std::getenv("ONEFILE_HARNESS")).parent_path() / "onefile_probe.exe";
    for (const char* root : {"t", "root-link"}) {
        shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(probe.string()) + " remove-tree " +
              shellQuote(windowsPathOf(tree / root)) + " > /dev/null 2>&1");
        EXPECT_TRUE(fs::is_directory(tree / "outside/empty")) << root;
    }
    expectOutsideUntouched();
}

// A link planted under a name the sweep takes for a dead run's directory:
// removed as a link where the system can (Wine cannot remove a Unix link,
// so there it stays), and what it points at is never touched.
TEST_F(LinkCleanup, SweepNeverFollowsALinkWithALeftoversName)
{
    const fs::path temp = tree / "temp";
    fs::create_directories(temp / "onefile_4294967287_123456_BBBBBBBBBBB");
    fs::create_directory_symlink(tree / "outside", temp / "onefile_4294967291_123456_AAAAAAAAAAA");
    fs::create_directories(tree / "outside/empty");
    fs::create_directory_symlink(tree / "outside/empty", temp / "onefile_4294967283_123456_CCCCCCCCCCC");
    fs::create_symlink(tree / "outside/keep.txt", temp / "onefile_4294967291_splash_feedback.tmp");
    const fs::path probe = fs::path(std::getenv("ONEFILE_HARNESS")).parent_path() / "onefile_probe.exe";
    const std::string out = (tree / "out").string();
    EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(probe.string()) + " sweep " +
                    shellQuote(windowsPathOf(temp)) + " > " + shellQuote(out) + " 2>&1 < /dev/null"),
              0);
    EXPECT_EQ(readBytes(out), "1\r\n") << "only the plain leftover goes";
    EXPECT_FALSE(fs::exists(temp / "onefile_4294967287_123456_BBBBBBBBBBB"));
    EXPECT_TRUE(fs::is_directory(tree / "outside/empty"));
    expectOutsideUntouched();
}

}  // namespace
