// Links planted in the shared cache (made from the host side: Wine makes
// none) are never followed: what they lead to keeps every file.
#include "host_support.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

fs::path windowsBuild()
{
    return fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
}

// Starts `exe` unelevated (an elevated start never uses the cache), its
// report in `report`; its exit code.
int startUnelevated(const fs::path& exe, const fs::path& report)
{
    return shell("ONEFILE_TEST_REPORT=" + shellQuote(windowsPathOf(report)) + " " +
                 shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
                 shellQuote((windowsBuild() / "unelevated_launcher.exe").string()) + " " +
                 shellQuote(windowsPathOf(exe)) + " < /dev/null > /dev/null 2>&1");
}

// The cached report executable copied into `tree` as app/App.exe and
// started once, which publishes its version: the folder of the version's
// files.
fs::path publishReportVersion(const TempTree& tree)
{
    fs::create_directories(tree / "app");
    fs::copy_file(windowsBuild() / "cached_report_onefile.exe", tree / "app/App.exe");
    EXPECT_EQ(startUnelevated(tree / "app/App.exe", tree / "report.txt"), 0);
    fs::path version;
    for (const auto& entry : fs::directory_iterator(tree / "app/cache/app")) version = entry.path();
    return version / "app";
}

// The folder of the cache's name, <root>\<name>, a link to a folder outside
// with a folder named like a version: the start unpacks per run, publishes
// nothing there and removes nothing there.
TEST(CacheLinks, LinkAtTheNamesFolderMakesTheStartUnpackPerRun)
{
    ONEFILE_REQUIRE(fs::exists(windowsBuild() / "cached_report_onefile.exe"), "the Windows build is missing");
    TempTree tree;
    fs::create_directories(tree / "app/cache");
    fs::copy_file(windowsBuild() / "cached_report_onefile.exe", tree / "app/App.exe");
    writeBytes(tree / "outside/0123456789abcdef/keep.txt", "kept");
    fs::create_directory_symlink(tree / "outside", tree / "app/cache/app");
    ASSERT_EQ(startUnelevated(tree / "app/App.exe", tree / "report.txt"), 0);
    const Report report = parseReport(readBytes(tree / "report.txt"));
    EXPECT_EQ(valueOf(report, "run_mode"), "0");
    EXPECT_EQ(readBytes(tree / "outside/0123456789abcdef/keep.txt"), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(tree / "outside"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(tree / "outside/0123456789abcdef"), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::is_symlink(tree / "app/cache/app"));
}

TEST(CacheLinks, LinkAtTheVersionsNameIsNeverFollowed)
{
    const fs::path windows = fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
    ONEFILE_REQUIRE(harnessAvailable() && fs::exists(windows / "cached_report_onefile.exe"),
                    "the Windows build is missing");
    TempTree tree;
    fs::create_directories(tree / "app");
    fs::copy_file(windows / "cached_report_onefile.exe", tree / "app/App.exe");
    const auto start = [&](const std::string& arguments) {
        return shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
                     shellQuote((windows / "unelevated_launcher.exe").string()) + " " +
                     shellQuote(windowsPathOf(tree / "app/App.exe")) + " " + arguments +
                     " < /dev/null > /dev/null 2>&1");
    };
    ASSERT_EQ(start(""), 0);
    const fs::path versions = tree / "app/cache/app";
    std::string id;
    for (const auto& entry : fs::directory_iterator(versions)) id = entry.path().filename().string();
    ASSERT_EQ(id.size(), 16u) << id;

    fs::remove_all(versions / id);
    writeBytes(tree / "elsewhere/keep.txt", "kept");
    fs::create_directory_symlink(tree / "elsewhere", versions / id);
    // No Windows call removes or moves a Unix link: the start runs from a
    // folder of its own, and everything stays where the link leads.
    ASSERT_EQ(start(""), 0);
    EXPECT_TRUE(fs::is_symlink(versions / id));
    EXPECT_EQ(readBytes(tree / "elsewhere/keep.txt"), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(tree / "elsewhere"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(versions), fs::directory_iterator()), 1)
        << "the run's own folder stayed";
}

// A link in place of a folder of the version, leading to a copy with the
// same names, sizes and times: the listing is the manifest's, but for the
// link. The start repairs the version, and nothing is read or changed
// through the link.
TEST(CacheLinks, ALinkInsideTheVersionFailsItsCheck)
{
    ONEFILE_REQUIRE(fs::exists(windowsBuild() / "cached_report_onefile.exe"), "the Windows build is missing");
    TempTree tree;
    const fs::path version = publishReportVersion(tree);
    const std::string original = readBytes(version / "data/held.txt");

    // A rename keeps every time; the outside copy then differs in content only.
    fs::create_directories(tree / "outside");
    fs::rename(version / "data", tree / "outside/data");
    fs::create_directory_symlink(tree / "outside/data", version / "data");
    std::string changed = original;
    changed[0] ^= 1;
    {
        const auto written = fs::last_write_time(tree / "outside/data/held.txt");
        writeBytes(tree / "outside/data/held.txt", changed);
        fs::last_write_time(tree / "outside/data/held.txt", written);
    }
    ASSERT_EQ(startUnelevated(tree / "app/App.exe", tree / "report.txt"), 0);
    const Report report = parseReport(readBytes(tree / "report.txt"));
    EXPECT_EQ(valueOf(report, "run_mode"), "1");
    EXPECT_EQ(valueOf(report, "held"), original);
    EXPECT_FALSE(fs::is_symlink(version / "data"));
    EXPECT_EQ(readBytes(version / "data/held.txt"), original);
    EXPECT_EQ(readBytes(tree / "outside/data/held.txt"), changed);
}

// The damaged version's folder leads, through a link, to an equal copy of
// a file outside: the repair, which takes the damaged version's files
// equal to their records, must not take that one (it would move a file out
// of a folder the cache does not own). It is written anew; outside, the
// copy stays.
TEST(CacheLinks, ARepairNeverTakesAFileThroughALink)
{
    ONEFILE_REQUIRE(fs::exists(windowsBuild() / "cached_report_onefile.exe"), "the Windows build is missing");
    TempTree tree;
    const fs::path version = publishReportVersion(tree);
    const std::string original = readBytes(version / "data/held.txt");

    fs::create_directories(tree / "outside");
    fs::rename(version / "data", tree / "outside/data");
    fs::create_directory_symlink(tree / "outside/data", version / "data");
    ASSERT_EQ(startUnelevated(tree / "app/App.exe", tree / "report.txt"), 0);
    EXPECT_EQ(valueOf(parseReport(readBytes(tree / "report.txt")), "held"), original);
    EXPECT_FALSE(fs::is_symlink(version / "data"));
    EXPECT_EQ(readBytes(version / "data/held.txt"), original);
    EXPECT_EQ(readBytes(tree / "outside/data/held.txt"), original) << "the file outside was taken";
}

}  // namespace
