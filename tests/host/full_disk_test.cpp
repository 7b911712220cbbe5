// A temporary directory on a volume that fills up during extraction: one
// line, exit code 2, and the volume as empty as before: a full disk must not
// stay full because of a failed start. Wine takes TEMP from its registry,
// so cmd sets it for the one run; the volume is a small tmpfs.
#include "host_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/mount.h>

namespace {

int shell(const std::string& command) { return WEXITSTATUS(std::system(command.c_str())); }

std::string windowsPathOf(const fs::path& path)
{
    std::string text = "Z:" + path.string();
    for (char& c : text) c = c == '/' ? '\\' : c;
    return text;
}

TEST(FullDisk, FailedExtractionRemovesWhatItWrote)
{
    ONEFILE_REQUIRE(harnessAvailable() && std::getenv("ONEFILE_REPORT_APP_DIR") != nullptr, "no Windows build");
    TempTree tree;
    const fs::path volume = tree / "volume";
    fs::create_directories(volume);
    ONEFILE_REQUIRE(mount("onefile-test", volume.c_str(), "tmpfs", 0, "size=4m") == 0,
                    "cannot mount a tmpfs here (needs root)");
    struct Unmount {
        fs::path path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{volume};
    // The application and 6 MiB that do not compress, after it in name order.
    fs::copy(std::getenv("ONEFILE_REPORT_APP_DIR"), tree / "app", fs::copy_options::recursive);
    writeBytes(tree / "app/zz-large.bin", patternBytes(6 << 20, 17));
    const std::string exe = (tree / "large.exe").string();
    ASSERT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build --level 1 --entry report_app.dll -o " +
                    shellQuote(exe) + " " + shellQuote((tree / "app").string()) + " > /dev/null"),
              0);

    const std::string temp = windowsPathOf(volume);
    const std::string run = "set TEMP=" + temp + "&& set TMP=" + temp + "&& " + windowsPathOf(exe);
    const int status = shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " cmd /c " + shellQuote(run) + " > " +
                             shellQuote((tree / "out").string()) + " 2> " + shellQuote((tree / "err").string()) +
                             " < /dev/null");
    const std::string err = readBytes(tree / "err");
    size_t left = 0;
    for (auto it = fs::recursive_directory_iterator(volume); it != fs::recursive_directory_iterator(); ++it) ++left;

    EXPECT_EQ(status, 2);
    EXPECT_EQ(readBytes(tree / "out"), "");
    EXPECT_EQ(err.rfind("Error, couldn't unpack file to target path 'Z:\\", 0), 0u) << err;
    EXPECT_NE(err.find("zz-large.bin' ([Error 112] "), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    EXPECT_EQ(left, 0u) << "the run left files on the full volume";
}

}  // namespace
