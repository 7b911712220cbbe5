// A temporary directory on a small volume (a tmpfs of 4 MiB). Wine takes
// TEMP from its registry, so cmd sets it for the one run. A block that
// declares its size is refused before anything is written; one that does
// not fills the volume, fails, and must leave it as empty as before.
#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/mount.h>

namespace {

class FullDisk : public testing::Test {
protected:
    void SetUp() override
    {
        ONEFILE_REQUIRE(harnessAvailable() && std::getenv("ONEFILE_REPORT_APP_DIR") != nullptr, "no Windows build");
        fs::create_directories(volume);
        ONEFILE_REQUIRE(mount("onefile-test", volume.c_str(), "tmpfs", 0, "size=4m") == 0,
                        "cannot mount a tmpfs here (needs root)");
        mounted = true;
        // The application and 6 MiB that do not compress, after it in name order.
        fs::copy(std::getenv("ONEFILE_REPORT_APP_DIR"), tree / "app", fs::copy_options::recursive);
        writeBytes(tree / "app/zz-large.bin", patternBytes(6 << 20, 17));
    }

    void TearDown() override
    {
        if (mounted) umount(volume.c_str());
    }

    void build(const std::string& arguments)
    {
        ASSERT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build " + arguments + " -o " + shellQuote(exe) +
                        " > /dev/null"),
                  0);
    }

    // Runs the executable with TEMP on the small volume; its exit code.
    int run()
    {
        const std::string temp = windowsPathOf(volume);
        const std::string line = "set TEMP=" + temp + "&& set TMP=" + temp + "&& " + windowsPathOf(exe);
        return shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " cmd /c " + shellQuote(line) + " > " +
                     shellQuote((tree / "out").string()) + " 2> " + shellQuote((tree / "err").string()) +
                     " < /dev/null");
    }

    size_t entriesLeft()
    {
        size_t left = 0;
        for (auto it = fs::recursive_directory_iterator(volume); it != fs::recursive_directory_iterator(); ++it) ++left;
        return left;
    }

    TempTree tree;
    const fs::path volume = tree / "volume";
    const std::string exe = (tree / "large.exe").string();
    bool mounted = false;
};

TEST_F(FullDisk, StartThatCannotFitIsRefusedBeforeWriting)
{
    build("--level 1 --entry report_app.dll " + shellQuote((tree / "app").string()));
    EXPECT_EQ(run(), 2);
    const std::string err = readBytes(tree / "err");
    EXPECT_EQ(err.rfind("Error, not enough free space: ", 0), 0u) << err;
    EXPECT_NE(err.find(" bytes needed, "), std::string::npos) << err;
    EXPECT_NE(err.find(" available; free some, set TEMP and TMP to a folder with room, or pack with --temp-dir "
                       "elsewhere; the folder: '" +
                       windowsPathOf(volume) + "' ([Error 112] "),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    EXPECT_EQ(entriesLeft(), 0u);
}

// The first start into a --temp-dir folder that does not exist yet asks
// its nearest folder that does, and names it.
TEST_F(FullDisk, FirstStartIntoAMissingFolderIsRefusedToo)
{
    build("--level 1 --entry report_app.dll --temp-dir " + shellQuote(windowsPathOf(volume / "new/runs")) + " " +
          shellQuote((tree / "app").string()));
    EXPECT_EQ(run(), 2);
    const std::string err = readBytes(tree / "err");
    EXPECT_EQ(err.rfind("Error, not enough free space: ", 0), 0u) << err;
    EXPECT_NE(err.find(" the folder: '" + windowsPathOf(volume) + "' ([Error 112] "), std::string::npos) << err;
    EXPECT_EQ(entriesLeft(), 0u) << "the missing folders were made";
}

// A block from elsewhere may not declare its size: the disk fills up, and
// the failed start removes what it wrote.
TEST_F(FullDisk, FailedExtractionRemovesWhatItWrote)
{
    const std::vector<uint8_t> block =
        pack::frameBlock(compressFrame(recordStream({{u"report_app.dll", readBytes(tree / "app/report_app.dll")},
                                                     {u"zz-large.bin", readBytes(tree / "app/zz-large.bin")}})));
    writeBytes(tree / "unsized.block", std::string(block.begin(), block.end()));
    build("--block " + shellQuote((tree / "unsized.block").string()));
    EXPECT_EQ(run(), 2);
    const std::string err = readBytes(tree / "err");
    EXPECT_EQ(readBytes(tree / "out"), "");
    EXPECT_EQ(err.rfind("Error, couldn't unpack file to target path 'Z:\\", 0), 0u) << err;
    EXPECT_NE(err.find("zz-large.bin' ([Error 112] "), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    EXPECT_EQ(entriesLeft(), 0u) << "the run left files on the full volume";
}

}  // namespace
