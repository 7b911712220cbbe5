// An executable in a folder deeper than 260 characters, unpacking beside
// itself ({PROGRAM_DIR}\.run): Wine cannot start a program from there, and
// the failed launch must still remove the run's folder, which Wine's final
// path of a handle cannot name.
#include "host_support.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

TEST(LongProgramFolder, AFailedLaunchLeavesNoRunFolder)
{
    const fs::path windows = fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
    ONEFILE_REQUIRE(fs::exists(windows / "report_beside_onefile.exe"), "the Windows build is missing");
    TempTree tree;
    for (const size_t length : {279u, 280u, 281u, 290u}) {
        fs::path folder = tree / std::to_string(length);
        while (windowsPathOf(folder).size() + 62 < length) folder /= std::string(60, 'd');
        folder /= std::string(length - windowsPathOf(folder).size() - 1, 'e');
        ASSERT_EQ(windowsPathOf(folder).size(), length);
        fs::create_directories(folder);
        fs::copy_file(windows / "report_beside_onefile.exe", folder / "App.exe");
        const int status = shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
                                 shellQuote(windowsPathOf(folder / "App.exe")) + " < /dev/null > /dev/null 2>&1");
        EXPECT_TRUE(status == 0 || status == 2) << length << ": " << status;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder / ".run"), fs::directory_iterator()), 0) << length;
    }
}

}  // namespace
