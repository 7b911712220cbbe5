#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "OnefileSplashScreen/splash.h"

namespace {

// The bar over a 40 x 10 image: the bottom 6 rows, filled up to
// width * done / total columns; the rows above untouched.
TEST(SplashProgress, BarFillsItsShareOfTheBottomRows)
{
    const uint32_t image = 0x80402010;
    const struct {
        uint64_t done, total;
        int filled;
    } cases[] = {{0, 1000, 0},
                 {250, 1000, 10},
                 {999, 1000, 39},
                 {1000, 1000, 40},
                 {1 << 20, 1000, 40},
                 {0, 0, 40},
                 {(1ull << 62) / 2, 1ull << 62, 20}};
    for (const auto& c : cases) {
        std::vector<uint32_t> pixels(40 * 10, image);
        drawProgressBar(pixels.data(), 40, 10, c.done, c.total);
        for (int row = 0; row < 10; ++row) {
            for (int column = 0; column < 40; ++column) {
                const uint32_t expected = row < 4 ? image : column < c.filled ? progressFillPixel : progressTrackPixel;
                ASSERT_EQ(pixels[row * 40 + column], expected)
                    << c.done << "/" << c.total << " at " << column << "," << row;
            }
        }
    }
    // An image lower than the bar takes it in every row it has.
    std::vector<uint32_t> low(3 * 2, image);
    drawProgressBar(low.data(), 3, 2, 1, 1);
    EXPECT_EQ(low, std::vector<uint32_t>(6, progressFillPixel));
}

// The text's band: textBandHeight rows right above the bar (or the bottom
// edge), clipped to the image, empty when the bar takes every row.
TEST(SplashText, BandStaysWithinTheImage)
{
    const struct {
        int height;
        bool belowBar;
        int top, bottom;
    } cases[] = {{1, true, 0, 0},
                 {1, false, 0, 1},
                 {4, true, 0, 0},
                 {5, true, 0, 0},
                 {6, true, 0, 0},
                 {7, true, 0, 1},
                 {30, true, 0, 24},
                 {30, false, 2, 30},
                 {33, true, 0, 27},
                 {34, true, 0, 28},
                 {35, true, 1, 29},
                 {600, true, 566, 594},
                 {16384, false, 16356, 16384}};
    for (const auto& c : cases) {
        const TextBand band = findTextBand(c.height, c.belowBar);
        EXPECT_EQ(band.top, c.top) << c.height << " " << c.belowBar;
        EXPECT_EQ(band.bottom, c.bottom) << c.height << " " << c.belowBar;
    }
}

TEST(SplashPlacement, CentresInTheWorkAreaTruncatingTowardZero)
{
    struct Case {
        RECT workArea;
        int width, height;
        LONG x, y;
    };
    const Case cases[] = {
        {{0, 0, 1920, 1040}, 900, 600, 510, 220},   // taskbar along the bottom
        {{60, 0, 1920, 1080}, 900, 600, 540, 240},  // taskbar on the left
        {{0, 0, 1365, 768}, 900, 600, 232, 84},     // odd remainder: the left side gets the smaller half
        {{0, 0, 899, 599}, 900, 600, 0, 0},         // one pixel too large: starts at the edge
        {{0, 0, 819, 600}, 900, 600, -40, 0},       // 81 too wide: 40 left, 41 right
        {{-1920, 0, 0, 1080}, 900, 600, -1410, 240},
    };
    for (const Case& c : cases) {
        const POINT position = computeSplashPosition(c.workArea, c.width, c.height);
        EXPECT_EQ(position.x, c.x) << c.workArea.left << "," << c.workArea.right;
        EXPECT_EQ(position.y, c.y) << c.workArea.top << "," << c.workArea.bottom;
    }
}

std::string resourceText(HMODULE module, LPCWSTR type, LPCWSTR name)
{
    const HRSRC resource = FindResourceW(module, name, type);
    if (resource == nullptr) return {};
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    return std::string(bytes, SizeofResource(module, resource));
}

HMODULE openAsData(const wchar_t* name)
{
    return LoadLibraryExW((directoryOfThisProgram() + L"\\" + name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

TEST(Resources, ManifestIconGroupAndSplashImageAreInPlace)
{
    const HMODULE withSplash = openAsData(L"splash_onefile.exe");
    ASSERT_NE(withSplash, nullptr);
    const std::string manifest = resourceText(withSplash, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    for (const char* expected : {"level=\"asInvoker\"", ">true</longPathAware>", "Microsoft.Windows.Common-Controls",
                                 "version=\"6.0.0.0\"", "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
                                 "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                                 "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
    }

    // The group directory: reserved, type 1, count, then 14-byte entries
    // whose first byte is the width (0 meaning 256).
    const std::string group = resourceText(withSplash, RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u);
    const int count = static_cast<unsigned char>(group[4]) | static_cast<unsigned char>(group[5]) << 8;
    ASSERT_EQ(count, 6);
    ASSERT_EQ(group.size(), 6u + 14u * 6);
    std::vector<int> widths;
    for (int i = 0; i < count; ++i) {
        const int width = static_cast<unsigned char>(group[6 + 14 * i]);
        widths.push_back(width == 0 ? 256 : width);
    }
    std::sort(widths.begin(), widths.end());
    EXPECT_EQ(widths, (std::vector<int>{16, 32, 48, 64, 128, 256}));

    const std::string image = resourceText(withSplash, RT_RCDATA, MAKEINTRESOURCEW(28));
    ASSERT_GT(image.size(), 33u);
    EXPECT_EQ(image.substr(1, 3), "PNG");
    // IHDR: 900 x 600, bit depth 8, colour type 2 (truecolour, no alpha).
    const auto byteAt = [&](size_t i) { return static_cast<unsigned char>(image[i]); };
    EXPECT_EQ(byteAt(18) << 8 | byteAt(19), 900);
    EXPECT_EQ(byteAt(22) << 8 | byteAt(23), 600);
    EXPECT_EQ(byteAt(24), 8);
    EXPECT_EQ(byteAt(25), 2);
    FreeLibrary(withSplash);

    const HMODULE without = openAsData(L"report_onefile.exe");
    ASSERT_NE(without, nullptr);
    EXPECT_TRUE(resourceText(without, RT_RCDATA, MAKEINTRESOURCEW(28)).empty());
    EXPECT_FALSE(resourceText(without, RT_GROUP_ICON, MAKEINTRESOURCEW(1)).empty());
    FreeLibrary(without);
}

// Without a display no window can be made: the run goes on without a
// splash and without a feedback file for the application to delete.
TEST(SplashWithoutDisplay, RunCompletesWithoutWindowOrFeedbackFile)
{
    ScratchDirectory scratch;
    const std::wstring report = scratch.path() + L"\\report.txt";
    const std::wstring exe = directoryOfThisProgram() + L"\\splash_onefile.exe";
    const ProcessResult result = runProcess(exe, quoteForCommandLine(exe) + L" --app-exit=6",
                                            {{L"ONEFILE_TEST_REPORT", report.c_str()}, {L"DISPLAY", nullptr}});
    EXPECT_EQ(result.exitCode, 6u) << result.out << result.err;
    EXPECT_EQ(result.out + result.err, "");
    const std::string text = readFile(report);
    EXPECT_NE(text.find("feedback=absent"), std::string::npos) << text;
    // Nothing takes a text then: the call says so (exit code 50) and
    // returns, with a splash packed or without.
    for (const wchar_t* name : {L"\\splash_onefile.exe", L"\\report_onefile.exe"}) {
        const std::wstring other = directoryOfThisProgram() + name;
        EXPECT_EQ(runProcess(other, quoteForCommandLine(other) + L" --app-splash-text=unseen",
                             {{L"ONEFILE_TEST_REPORT", report.c_str()}, {L"DISPLAY", nullptr}})
                      .exitCode,
                  50u);
    }
}

// An earlier run with the same id left its feedback file: the splash makes
// its own in its place, so the application takes the splash down, not the
// first 50 ms check.
TEST(SplashFeedback, StaleFileWithTheSameIdIsReplaced)
{
    const std::wstring stale = temporaryDirectory() + L"\\onefile_424240_splash_feedback.tmp";
    writeFile(stale, "an earlier run's");
    const ProcessResult result = runProbe({L"feedback-file"}, {{L"MERLOX_ONEFILE_PARENT", L"424240"}});
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(fromUtf8(result.out), stale);
    EXPECT_EQ(readFile(stale), "");
    DeleteFileW(stale.c_str());
}

}  // namespace
