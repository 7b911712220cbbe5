// The splash in a real X server: Xvfb at 1920 x 1080, a Wine prefix of its
// own, screenshots of the root window read pixel by pixel.
#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <map>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct Pixel {
    int r, g, b;
    bool operator==(const Pixel& other) const { return r == other.r && g == other.g && b == other.b; }
};

std::ostream& operator<<(std::ostream& out, const Pixel& p)
{
    return out << p.r << "," << p.g << "," << p.b;
}

const Pixel black{0, 0, 0};
const Pixel red{255, 0, 0};
const Pixel green{0, 255, 0};
const Pixel blue{0, 0, 255};
const Pixel white{255, 255, 255};
const Pixel yellow{255, 255, 0};

// The image is 900 x 600 and the work area the whole 1920 x 1080 screen.
constexpr int left = 510;
constexpr int top = 240;

class SplashDisplay : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const char* prefix = std::getenv("ONEFILE_DISPLAY_WINEPREFIX");
        if (!harnessAvailable() || prefix == nullptr || !fs::exists(fs::path(prefix) / ".onefile-ready") ||
            std::system("command -v Xvfb import > /dev/null") != 0) {
            return;
        }
        // Under CTest, one display and Wine session serve every case
        // (scripts/display-session.sh, a fixture); alone, a case starts its own.
        const char* session = std::getenv("ONEFILE_DISPLAY_SESSION");
        if (session != nullptr && fs::exists(session)) {
            display = readBytes(session);
            display.erase(display.find_last_not_of("\n") + 1);
            environment = "DISPLAY=" + display + " WINEPREFIX_OVERRIDE=" + shellQuote(prefix) + " ";
            ready = fs::exists("/tmp/.X11-unix/X" + display.substr(1));
            return;
        }
        // A display number no other X server holds a lock on.
        int number = 70 + getpid() % 50;
        while (fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) ++number;
        display = ":" + std::to_string(number);
        const std::string socket = "/tmp/.X11-unix/X" + display.substr(1);
        xvfb = std::make_unique<std::thread>([] {
            std::system(("Xvfb " + display + " -screen 0 1920x1080x24 -nolisten tcp -br > /dev/null 2>&1").c_str());
        });
        for (int i = 0; i < 600 && !fs::exists(socket); ++i) std::this_thread::sleep_for(100ms);
        environment = "DISPLAY=" + display + " WINEPREFIX_OVERRIDE=" + shellQuote(prefix) + " ";
        shell("bash -c 'source " + shellQuote(wineEnvironmentScript()) +
              " && $WINESERVER -p && $WINELOADER cmd /c exit' < /dev/null > /dev/null 2>&1");
        ready = fs::exists(socket);
    }

    static void TearDownTestSuite()
    {
        if (!xvfb) return;
        shell("bash -c 'source " + shellQuote(wineEnvironmentScript()) + " && $WINESERVER -k' > /dev/null 2>&1");
        std::system(("pkill -f 'Xvfb " + display + " '").c_str());
        xvfb->join();
        xvfb.reset();
    }

    void SetUp() override { ONEFILE_REQUIRE(ready, "no Xvfb, ImageMagick, display prefix or Windows build"); }

    static std::string wineEnvironmentScript()
    {
        return (fs::path(std::getenv("ONEFILE_WINE_RUN")).parent_path() / "wine-env.sh").string();
    }

    // Commands for the display: its DISPLAY and Wine prefix in front.
    static int shell(const std::string& command) { return ::shell(environment + command); }

    // A onefile executable of the report application with `splash`.
    std::string buildWithSplash(const fs::path& splash, const std::string& options = "")
    {
        const std::string exe = (tree / (splash.stem().string() + ".exe")).string();
        EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build --level 1 --entry report_app.dll " + options +
                        " --splash " + shellQuote(splash.string()) + " -o " + shellQuote(exe) + " " +
                        shellQuote(std::getenv("ONEFILE_REPORT_APP_DIR")) + " > /dev/null"),
                  0);
        return exe;
    }

    // Starts the executable; the returned thread ends with it. Now and then,
    // under load, Wine fails to start a process (exit code 1, which these
    // runs never give): that start is made once more.
    std::thread start(const std::string& exe, const std::string& arguments, int& exitCode)
    {
        const std::string report = "Z:" + (tree / "report.txt").string();
        ended = false;
        return std::thread([=, &exitCode] {
            for (int attempt = 0; attempt < 2 && (attempt == 0 || exitCode == 1); ++attempt) {
                exitCode = shell("ONEFILE_TEST_REPORT=" + shellQuote(report) + " " +
                                 shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(exe) + " " + arguments +
                                 " < /dev/null > /dev/null 2>&1");
            }
            ended = true;
        });
    }

    // A failed check must not leave a run waiting for a signal, nor a
    // thread that ends the test program when it is destroyed unjoined.
    void TearDown() override
    {
        for (const char* name : {"go", "hide", "end", "hold"}) fs::remove(tree / name);
        if (run.joinable()) run.join();
    }

    // One screenshot of the whole screen serves every pixel checked at one
    // moment: raw 8-bit RGB, row by row.
    struct Screen {
        std::string rgb;
        Pixel at(int x, int y) const
        {
            const size_t offset = (static_cast<size_t>(y) * 1920 + static_cast<size_t>(x)) * 3;
            if (offset + 3 > rgb.size()) return Pixel{-1, -1, -1};
            const auto byte = [&](size_t i) { return static_cast<int>(static_cast<unsigned char>(rgb[offset + i])); };
            return Pixel{byte(0), byte(1), byte(2)};
        }
    };

    Screen screenshot()
    {
        const fs::path shot = tree / "screen.rgb";
        fs::remove(shot);
        shell("import -display " + display + " -window root -depth 8 rgb:" + shellQuote(shot.string()) +
              " 2> /dev/null");
        return Screen{fs::exists(shot) ? readBytes(shot) : std::string()};
    }

    // Takes screenshots until the pixel shows `wanted`; the limit only ends
    // a hung test.
    bool waitForPixel(int x, int y, const Pixel& wanted)
    {
        const auto end = std::chrono::steady_clock::now() + 120s;
        while (std::chrono::steady_clock::now() < end) {
            const bool finished = ended;
            if (screenshot().at(x, y) == wanted) return true;
            if (finished && !(wanted == black)) return false;  // a run that ended shows nothing more
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // A file the application waits on; deleting it lets the application go on.
    std::string signalFile(const std::string& name)
    {
        writeBytes(tree / name, "");
        return shellQuote("Z:" + (tree / name).string());
    }

    void signal(const std::string& name) { fs::remove(tree / name); }

    bool waitForReport()
    {
        for (int i = 0; i < 12000 && !fs::exists(tree / "report.txt"); ++i) std::this_thread::sleep_for(10ms);
        return fs::exists(tree / "report.txt");
    }

    fs::path feedbackFileOf(const std::string& report)
    {
        // The bootstrap's process id is the application's MERLOX_ONEFILE_PARENT.
        std::string parent;
        std::istringstream lines(report);
        const std::string key = "4d45524c4f585f4f4e4546494c455f504152454e54=";  // MERLOX_ONEFILE_PARENT
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(key, 0) == 0) parent = decodeHex(line.substr(key.size()));
        }
        return fs::path(std::getenv("ONEFILE_DISPLAY_WINEPREFIX")) / "drive_c/users" / getpwuid(getuid())->pw_name /
               "Temp" / ("onefile_" + parent + "_splash_feedback.tmp");
    }

    TempTree tree;
    std::thread run;
    std::atomic<bool> ended{false};
    static inline std::string display;
    static inline std::string environment;
    static inline std::unique_ptr<std::thread> xvfb;
    static inline bool ready = false;
};

fs::path drawQuadrants(const fs::path& directory)
{
    const fs::path image = directory / "quadrants.png";
    std::system(("convert -size 900x600 xc:white -fill red -draw 'rectangle 0,0 449,299' -fill lime -draw "
                 "'rectangle 450,0 899,299' -fill blue -draw 'rectangle 0,300 449,599' -define png:color-type=2 "
                 "PNG24:" +
                 image.string())
                    .c_str());
    return image;
}

TEST_F(SplashDisplay, ShowsCentredWhileTheApplicationRunsAndStaysUntilTheEnd)
{
    const std::string exe = buildWithSplash(drawQuadrants(tree.path()));
    int exitCode = -1;
    run = start(exe, "--app-wait=" + signalFile("go") + " --app-exit=7", exitCode);
    ASSERT_TRUE(waitForPixel(left + 100, top + 100, red)) << "no splash appeared";
    const Screen screen = screenshot();
    EXPECT_EQ(screen.at(left, top), red);
    EXPECT_EQ(screen.at(left - 1, top), black);
    EXPECT_EQ(screen.at(left, top - 1), black);
    EXPECT_EQ(screen.at(left + 800, top + 100), green);
    EXPECT_EQ(screen.at(left + 100, top + 500), blue);
    EXPECT_EQ(screen.at(left + 899, top + 599), white);
    EXPECT_EQ(screen.at(left + 900, top + 599), black);
    EXPECT_EQ(screen.at(left + 899, top + 600), black);
    // Never told to go, it stays while the application (waiting for us) runs.
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(screenshot().at(left + 100, top + 100), red);
    signal("go");
    run.join();
    EXPECT_EQ(exitCode, 7);
    EXPECT_TRUE(waitForPixel(left + 100, top + 100, black)) << "the splash outlived the bootstrap";
    // Never dismissed by the application, the feedback file goes with the run.
    EXPECT_FALSE(fs::exists(feedbackFileOf(readBytes(tree / "report.txt"))));
}

// A live run's feedback file is in TEMP while its folder is elsewhere
// (--temp-dir): a quick start of another executable, sweeping TEMP, leaves
// the file and the splash alone.
TEST_F(SplashDisplay, AnotherStartsSweepLeavesALiveRunsFeedbackFile)
{
    const std::string exe = buildWithSplash(drawQuadrants(tree.path()), "--temp-dir '{TEMP}\\sub'");
    int exitCode = -1;
    run = start(exe, "--app-wait=" + signalFile("go"), exitCode);
    ASSERT_TRUE(waitForReport());
    ASSERT_TRUE(waitForPixel(left + 100, top + 100, red)) << "no splash appeared";
    const fs::path feedback = feedbackFileOf(readBytes(tree / "report.txt"));
    ASSERT_TRUE(fs::exists(feedback));

    const fs::path trace = tree / "quick.trace";
    EXPECT_EQ(shell("MERLOX_ONEFILE_TRACE_FILE=" + shellQuote(windowsPathOf(trace)) + " " +
                    shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(std::getenv("ONEFILE_REPORT_APP")) +
                    " < /dev/null > /dev/null 2>&1"),
              0);
    // Its worker, if it started one, has done its work.
    const auto workerPending = [&] {
        const std::string lines = readBytes(trace);
        return lines.find("upkeep worker ") != std::string::npos &&
               lines.find("upkeep worker done") == std::string::npos &&
               lines.find("upkeep worker not started") == std::string::npos;
    };
    for (int i = 0; i < 6000 && workerPending(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(workerPending()) << readBytes(trace);
    EXPECT_TRUE(fs::exists(feedback)) << readBytes(trace);
    EXPECT_EQ(screenshot().at(left + 100, top + 100), red);
    signal("go");
    run.join();
    EXPECT_EQ(exitCode, 0);
}

// A start that fails after its splash showed (its run folder cannot be
// made: the parent is a file) leaves no feedback file either.
TEST_F(SplashDisplay, FailedStartLeavesNoFeedbackFile)
{
    writeBytes(tree / "not-a-folder", "a file");
    const std::string exe =
        buildWithSplash(drawQuadrants(tree.path()), "--temp-dir " + shellQuote(windowsPathOf(tree / "not-a-folder")));
    const fs::path temp = feedbackFileOf("").parent_path();
    const auto feedbackFiles = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(temp)) {
            const std::string name = entry.path().filename().string();
            count += name.rfind("onefile_", 0) == 0 && name.find("_splash_feedback.tmp") != std::string::npos;
        }
        return count;
    };
    const int before = feedbackFiles();
    int exitCode = -1;
    run = start(exe, "", exitCode);
    run.join();
    EXPECT_EQ(exitCode, 2);
    EXPECT_EQ(feedbackFiles(), before);
}

// A link planted at the feedback file's name before the start: the run
// neither writes through it nor removes what it leads to, and the link stays.
TEST_F(SplashDisplay, ALinkAtTheFeedbackNameIsNeverFollowed)
{
    const std::string exe = buildWithSplash(drawQuadrants(tree.path()));
    const fs::path windows = fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
    const fs::path outside = tree / "outside.txt";
    writeBytes(outside, "outside");
    writeBytes(tree / "hold", "");
    int exitCode = -1;
    run = std::thread([&] {
        exitCode = shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
                         shellQuote((windows / "squatting_launcher.exe").string()) +
                         " --hold=" + shellQuote("Z:" + (tree / "hold").string()) + " " + shellQuote(exe) +
                         " --app-exit=9 < /dev/null > /dev/null 2>&1");
    });
    for (int i = 0; i < 12000 && !fs::exists(tree / "hold.pid"); ++i) std::this_thread::sleep_for(10ms);
    const std::string pid = readBytes(tree / "hold.pid");
    ASSERT_FALSE(pid.empty());
    const fs::path link = feedbackFileOf("").parent_path() / ("onefile_" + pid + "_splash_feedback.tmp");
    fs::create_symlink(outside, link);
    fs::remove(tree / "hold");
    run.join();
    EXPECT_EQ(exitCode, 9);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readBytes(outside), "outside");
    fs::remove(link);
}

TEST_F(SplashDisplay, GoesWhenTheApplicationDeletesTheFeedbackFile)
{
    const std::string exe = buildWithSplash(drawQuadrants(tree.path()));
    int exitCode = -1;
    run =
        start(exe, "--app-wait=" + signalFile("hide") + " --app-hide-splash --app-wait=" + signalFile("end"), exitCode);
    ASSERT_TRUE(waitForPixel(left + 100, top + 100, red)) << "no splash appeared";
    signal("hide");
    // The application now waits for "end": the splash must go meanwhile.
    EXPECT_TRUE(waitForPixel(left + 100, top + 100, black)) << "the splash stayed after the file went";
    signal("end");
    run.join();
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(fs::exists(feedbackFileOf(readBytes(tree / "report.txt"))));
}

TEST_F(SplashDisplay, ReenteredStartShowsNoSplashAndMakesNoFeedbackFile)
{
    const std::string exe = buildWithSplash(drawQuadrants(tree.path()));
    const fs::path second = tree / "second.txt";
    int exitCode = -1;
    // The application takes the splash down, then starts the executable
    // again; a second splash would bring the feedback file back.
    run = start(exe, "--app-hide-splash --app-reenter=" + shellQuote("Z:" + second.string()), exitCode);
    run.join();
    EXPECT_EQ(exitCode, 0);
    const std::string report = readBytes(second);
    EXPECT_NE(report.find("feedback=absent"), std::string::npos) << report;
    EXPECT_EQ(screenshot().at(left + 100, top + 100), black);
}

TEST_F(SplashDisplay, FullyTransparentPixelsShowWhatLiesBehind)
{
    const fs::path image = tree / "halves.png";
    std::system(
        ("convert -size 900x600 xc:none -fill yellow -draw 'rectangle 450,0 899,599' PNG32:" + image.string()).c_str());
    const std::string exe = buildWithSplash(image);
    int exitCode = -1;
    run = start(exe, "--app-wait=" + signalFile("go"), exitCode);
    ASSERT_TRUE(waitForPixel(left + 800, top + 300, yellow)) << "no splash appeared";
    EXPECT_EQ(screenshot().at(left + 100, top + 300), black);
    signal("go");
    run.join();
    fs::remove(feedbackFileOf(readBytes(tree / "report.txt")));
}

// The packer refuses what is not a PNG; one whose header passes but whose
// image does not decode (damaged after packing checks, or made by other
// means) gives no splash, and the run goes on.
TEST_F(SplashDisplay, ImageThatDoesNotDecodeGivesNoSplashAndTheRunCompletes)
{
    const std::string png = readBytes(drawQuadrants(tree.path()));
    const fs::path damaged = tree / "damaged.png";
    writeBytes(damaged, png.substr(0, 33) + std::string(200, '\x5a'));  // signature and IHDR, then garbage
    const std::string exe = buildWithSplash(damaged);
    int exitCode = -1;
    run = start(exe, "--app-wait=" + signalFile("go") + " --app-exit=4", exitCode);
    // The application runs, so the splash step is long over.
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(screenshot().at(left + 100, top + 100), black);
    signal("go");
    run.join();
    EXPECT_EQ(exitCode, 4);
    EXPECT_NE(readBytes(tree / "report.txt").find("feedback=absent"), std::string::npos);
}

// With --splash-progress the bar along the bottom edge is full once the
// application runs, up to the moment it takes the splash down.
TEST_F(SplashDisplay, ProgressBarIsFullWhenTheApplicationRuns)
{
    const std::string exe = buildWithSplash(drawQuadrants(tree.path()), "--splash-progress");
    const Pixel fill{0x3c, 0x9b, 0xff};
    int exitCode = -1;
    run = start(exe, "--app-wait=" + signalFile("hide") + " --app-hide-splash", exitCode);
    ASSERT_TRUE(waitForReport());
    const Screen screen = screenshot();
    for (const int x : {left, left + 450, left + 899}) {
        EXPECT_EQ(screen.at(x, top + 594), fill) << x;
        EXPECT_EQ(screen.at(x, top + 599), fill) << x;
    }
    EXPECT_EQ(screen.at(left + 100, top + 593), blue);  // the image above the bar
    signal("hide");
    run.join();
    EXPECT_EQ(exitCode, 0);
}

// The application's text shows in a band along the bottom. Criterion: in
// the band's rows (the image's last 28) over the blue left half, no pixel
// with red, green and blue all at least 192 before the text, at least 20
// after it, and the band's dark grey to the right of the text.
TEST_F(SplashDisplay, TextFromTheApplicationShowsInTheBottomBand)
{
    const std::string exe = buildWithSplash(drawQuadrants(tree.path()));
    const auto lightPixels = [](const Screen& screen) {
        int count = 0;
        for (int y = top + 572; y < top + 600; ++y) {
            for (int x = left; x < left + 450; ++x) {
                const Pixel p = screen.at(x, y);
                count += p.r >= 192 && p.g >= 192 && p.b >= 192;
            }
        }
        return count;
    };
    int exitCode = -1;
    run = start(exe,
                "--app-wait=" + signalFile("text") + " --app-splash-text=Loading --app-wait=" + signalFile("hide") +
                    " --app-hide-splash --app-splash-text=late",
                exitCode);
    ASSERT_TRUE(waitForReport());
    ASSERT_TRUE(waitForPixel(left + 100, top + 590, blue)) << "no splash appeared";
    EXPECT_EQ(lightPixels(screenshot()), 0);
    signal("text");
    ASSERT_TRUE(waitForPixel(left + 440, top + 586, Pixel{0x20, 0x20, 0x20})) << "no band appeared";
    EXPECT_GE(lightPixels(screenshot()), 20);
    signal("hide");
    run.join();
    EXPECT_EQ(exitCode, 50) << "a text set after the splash went was taken";
}

// Images of every size, with the bar: a text and an empty text stay within
// them. The application sets one, then takes the splash down by deleting
// the feedback file alone: the check that finds it gone first draws the
// text, so a splash that goes has drawn it.
TEST_F(SplashDisplay, TextOnImagesOfEverySizeStaysWithinThem)
{
    const Pixel fill{0x3c, 0x9b, 0xff};
    const Pixel band{0x20, 0x20, 0x20};
    struct Case {
        int width, height;
        std::string text;
        int x, y;  // a pixel of the image and what it shows once the text is read
        Pixel shown;
    };
    const Case cases[] = {{1, 1, "Loading", 0, 0, fill},      {1, 1, "", 0, 0, fill},
                          {300, 4, "Loading", 150, 0, fill},  {300, 4, "", 150, 3, fill},
                          {300, 30, "Loading", 299, 2, band}, {300, 30, "", 299, 2, red}};
    std::map<std::string, std::string> built;  // one executable per size, for both texts
    for (const Case& c : cases) {
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        const fs::path image = tree / ("red" + size + ".png");
        if (built.count(size) == 0) {
            std::system(("convert -size " + size + " xc:red -define png:color-type=2 PNG24:" + image.string()).c_str());
            built[size] = buildWithSplash(image, "--splash-progress");
        }
        const std::string exe = built[size];
        const int x = (1920 - c.width) / 2 + c.x;
        const int y = (1080 - c.height) / 2 + c.y;
        int exitCode = -1;
        run = start(exe,
                    "--app-splash-text=" + shellQuote(c.text) + " --app-wait=" + signalFile("go") +
                        " --app-drop-feedback --app-wait=" + signalFile("end"),
                    exitCode);
        EXPECT_TRUE(waitForPixel(x, y, c.shown)) << size << " '" << c.text << "'";
        signal("go");
        EXPECT_TRUE(waitForPixel(x, y, black)) << size << " '" << c.text << "': the splash stayed";
        signal("end");
        run.join();
        EXPECT_EQ(exitCode, 51) << size << " '" << c.text << "'";
        fs::remove(tree / "report.txt");
    }
}

// Another program of the same user takes the name the text channel once
// had before the bootstrap runs: the text still reaches this splash, and
// nothing of it reaches the other program.
TEST_F(SplashDisplay, TextChannelCannotBeTakenByAnotherProgram)
{
    const std::string exe = buildWithSplash(drawQuadrants(tree.path()));
    const fs::path windows = fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
    const fs::path output = tree / "squatter.txt";
    const int exitCode =
        shell("ONEFILE_TEST_REPORT=" + shellQuote("Z:" + (tree / "report.txt").string()) + " " +
              shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
              shellQuote((windows / "squatting_launcher.exe").string()) + " " + shellQuote(exe) +
              " --app-splash-text=mine --app-hide-splash < /dev/null > " + shellQuote(output.string()) + " 2>&1");
    EXPECT_EQ(exitCode, 51) << readBytes(output);
    EXPECT_NE(readBytes(output).find("squatted: \r\n"), std::string::npos) << readBytes(output);
}

// A fatal line of an executable started without standard handles (as from
// Explorer) shows in a message box, on the parent's road and on the child's;
// with --no-error-dialog, or with the output captured, none appears.
class ErrorDialog : public SplashDisplay {
protected:
    // What the launcher saw: the box's title and text, or "no box", and the
    // exit code, one item a line.
    std::string startWithoutHandles(const std::string& exe)
    {
        const fs::path windows = fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
        const fs::path output = tree / "launcher.txt";
        shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
              shellQuote((windows / "no_handles_launcher.exe").string()) + " " +
              shellQuote(windowsPathOf(windows / exe)) + " < /dev/null > " + shellQuote(output.string()) + " 2>&1");
        std::string seen = readBytes(output);
        seen.erase(std::remove(seen.begin(), seen.end(), '\r'), seen.end());
        return seen;
    }
};

TEST_F(ErrorDialog, ShowsTheLineNobodySeesAndOnlyThen)
{
    const std::string decodeError = "Error, couldn't decode attached data. (checksum mismatch)";
    EXPECT_EQ(startWithoutHandles("checksum_cut_onefile.exe"),
              "title=checksum_cut_onefile.exe\ntext=" + decodeError + "\nexit=2\n");
    // The child's road: it loads the entry, which is no DLL, and says which.
    const std::string child = startWithoutHandles("not_a_dll_onefile.exe");
    EXPECT_EQ(child.rfind("title=not_a_dll_onefile.exe\ntext=Error, load DLL 'C:\\", 0), 0u) << child;
    EXPECT_NE(child.find("\\app.dll' ([Error 193] "), std::string::npos) << child;
    EXPECT_EQ(child.find('%'), std::string::npos) << child;
    EXPECT_NE(child.find("\nexit=2\n"), std::string::npos) << child;
    EXPECT_EQ(startWithoutHandles("checksum_cut_silent_onefile.exe"), "no box\nexit=2\n");
    // Captured output: the process ends on its own, with the line in it.
    const fs::path windows = fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
    const fs::path output = tree / "captured.txt";
    EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
                    shellQuote((windows / "checksum_cut_onefile.exe").string()) + " < /dev/null > " +
                    shellQuote(output.string()) + " 2>&1"),
              2);
    std::string captured = readBytes(output);
    captured.erase(std::remove(captured.begin(), captured.end(), '\r'), captured.end());
    EXPECT_EQ(captured, decodeError + "\n");
}

}  // namespace
