// Nothing another process does while a run unpacks can steer what the run
// writes or what it starts. The run's Wine process is stopped once it has
// begun to unpack; names are planted in its target (links from this side:
// Wine's CreateSymbolicLinkW makes none) or its executable is swapped, and
// the run goes on.
#include "host_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Steering : public testing::Test {
protected:
    void SetUp() override
    {
        const char* bulky = std::getenv("ONEFILE_BULKY_APP");
        ONEFILE_REQUIRE(harnessAvailable() && bulky != nullptr && fs::exists(bulky), "the Windows build is missing");
        fs::copy_file(bulky, app);
        fs::create_directories(tree / "temp");
        writeBytes(tree / "outside/keep.txt", "must survive");
        writeBytes(tree / "outside/hard.txt", "must survive too");
        fs::create_directories(tree / "outside/dir");
    }

    // Starts the copy with its own temporary directory, waits until it
    // unpacks the files after the application and stops its process.
    void startAndStopWhileUnpacking()
    {
        const std::string temp = windowsPathOf(tree / "temp");
        const std::string line = "set TEMP=" + temp + "&& set TMP=" + temp + "&& " + windowsPathOf(app);
        const std::string command = shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " cmd /c " + shellQuote(line) +
                                    " > " + shellQuote((tree / "out").string()) + " 2> " +
                                    shellQuote((tree / "err").string()) + " < /dev/null";
        run = std::thread([this, command] { exitCode = shell("timeout 120 " + command); });
        for (int i = 0; i < 6000 && (target.empty() || processId == 0); ++i) {
            std::this_thread::sleep_for(10ms);
            findTarget();
            if (!target.empty()) processId = findProcess();
        }
        ASSERT_FALSE(target.empty()) << "the run never unpacked";
        ASSERT_NE(processId, 0) << "the run's process was not found";
        ASSERT_EQ(kill(processId, SIGSTOP), 0);
    }

    void goOnAndWait()
    {
        kill(processId, SIGCONT);
        run.join();
    }

    void findTarget()
    {
        for (const auto& entry : fs::directory_iterator(tree / "temp")) {
            if (fs::exists(entry.path() / "many")) target = entry.path();
        }
    }

    // The Unix process whose argument 0 is the copy's Windows path.
    pid_t findProcess()
    {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::ifstream file(entry.path() / "cmdline");
            std::string argument0;
            std::getline(file, argument0, '\0');
            if (argument0 == windowsPathOf(app)) return static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        }
        return 0;
    }

    void expectOutsideUntouched()
    {
        EXPECT_EQ(readBytes(tree / "outside/keep.txt"), "must survive");
        EXPECT_EQ(readBytes(tree / "outside/hard.txt"), "must survive too");
        EXPECT_TRUE(fs::is_empty(tree / "outside/dir"));
    }

    TempTree tree;
    const fs::path app = tree / "steered-app.exe";
    std::thread run;
    int exitCode = -1;
    fs::path target;
    pid_t processId = 0;
};

// A file link, a hard link and a directory link at names the run has yet
// to write: the run refuses each name, writes nothing through it and
// removes what it wrote.
TEST_F(Steering, NamesPlantedWhileUnpackingAreRefused)
{
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> plants = {
        {"zz_file.txt", [&](const fs::path& at) { fs::create_symlink(tree / "outside/keep.txt", at); }},
        {"zz_hard.txt", [&](const fs::path& at) { fs::create_hard_link(tree / "outside/hard.txt", at); }},
        {"zz_dir", [&](const fs::path& at) { fs::create_directory_symlink(tree / "outside/dir", at); }},
    };
    for (const auto& [name, plant] : plants) {
        target.clear();
        processId = 0;
        startAndStopWhileUnpacking();
        plant(target / name);
        kill(processId, SIGCONT);
        // No Windows call removes a link planted from this side: once the
        // run has refused it, it goes from here, so that the cleanup's
        // retries find the folder removable instead of waiting on it.
        const std::string refused = name + "' ([Error ";
        for (int i = 0; i < 12000 && readBytes(tree / "err").find(refused) == std::string::npos; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::error_code ignored;
        fs::remove(target / name, ignored);
        run.join();
        EXPECT_EQ(exitCode, 2) << name;
        const std::string err = readBytes(tree / "err");
        EXPECT_NE(err.find(refused), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
        expectOutsideUntouched();
        EXPECT_FALSE(fs::exists(target / "report_app.dll")) << name;
        fs::remove_all(target);
    }
}

// An updater's rename and a new file at the path, or a swap: the child
// would run another program. It is ended before it runs an instruction.
TEST_F(Steering, AnotherProgramAtTheExecutablesPathIsNotRun)
{
    startAndStopWhileUnpacking();
    fs::rename(app, tree / "renamed.exe");
    fs::copy_file(fs::path(std::getenv("ONEFILE_HARNESS")).parent_path() / "onefile_probe.exe", app);
    goOnAndWait();
    EXPECT_EQ(exitCode, 2);
    EXPECT_EQ(readBytes(tree / "err"), "Error, the child process is not this executable.\r\n");
    EXPECT_EQ(readBytes(tree / "out"), "") << "the probe ran";
    EXPECT_FALSE(fs::exists(target));
}

}  // namespace
