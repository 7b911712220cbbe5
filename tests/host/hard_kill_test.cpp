// A bootstrap killed outright (kill -9 here; the task manager or an updater
// on Windows) runs no cleanup; the job its child runs in must take the
// application along, while what the application started lives on.
#include "host_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <pwd.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Unix process ids whose command line contains `fragment`.
std::vector<pid_t> processesWith(const std::string& fragment)
{
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string line = readBytes(entry.path() / "cmdline");
        for (char& c : line) c = c == '\0' ? ' ' : c;
        if (line.find(fragment) != std::string::npos) found.push_back(std::stoi(name));
    }
    return found;
}

// Waits for a process to go; the limit only ends a hung test.
bool waitUntilGone(pid_t process)
{
    for (int i = 0; i < 3000 && kill(process, 0) == 0; ++i) std::this_thread::sleep_for(10ms);
    return kill(process, 0) != 0;
}

TEST(HardKill, ApplicationEndsWithItsBootstrapButWhatItStartedLivesOn)
{
    const char* onefile = std::getenv("ONEFILE_REPORT_APP");
    ONEFILE_REQUIRE(harnessAvailable() && onefile != nullptr && fs::exists(onefile), "the Windows build is missing");
    TempTree tree;
    const fs::path release = tree / "release";
    const fs::path spawned = tree / "spawned.txt";
    writeBytes(release, "");
    // The bootstrap is the process started from here, under its Unix path;
    // Wine starts the child and the spawned start under Windows paths.
    const std::string token = "--app-wait=" + windowsPathOf(release);
    const std::string command = "ONEFILE_TEST_RELEASE=" + shellQuote(windowsPathOf(release)) + " " +
                                shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(onefile) +
                                " --app-spawn=" + shellQuote(windowsPathOf(spawned)) + " " + shellQuote(token) +
                                " > /dev/null 2>&1 < /dev/null";
    std::thread run([&] { std::system(command.c_str()); });
    for (int i = 0; i < 6000 && !fs::exists(spawned); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(spawned)) << "the application did not start its process";

    pid_t bootstrap = 0, application = 0, started = 0;
    for (const pid_t process : processesWith(token)) {
        const std::string line = readBytes(fs::path("/proc") / std::to_string(process) / "cmdline");
        if (line.rfind(onefile, 0) == 0)
            bootstrap = process;
        else if (line.find("--app-spawn=") != std::string::npos)
            application = process;
        else
            started = process;
    }
    ASSERT_TRUE(bootstrap != 0 && application != 0 && started != 0)
        << bootstrap << " " << application << " " << started;
    kill(bootstrap, SIGKILL);
    EXPECT_TRUE(waitUntilGone(application)) << "the application outlived its bootstrap";
    EXPECT_EQ(kill(started, 0), 0) << "a process the application started was killed";
    fs::remove(release);
    EXPECT_TRUE(waitUntilGone(started));
    run.join();
}

// A caller that reads a quick start's standard error through a pipe (a
// shell's `2>&1 | ...`) sees the pipe's end when the bootstrap ends, not
// when an upkeep worker ends: under Wine a worker would hold the pipe (it
// gets its creator's Unix standard error), so none is started then, dead
// runs to sweep or not.
TEST(CallerPipes, AQuickStartsPipeEndsWithTheBootstrap)
{
    const char* onefile = std::getenv("ONEFILE_REPORT_APP");
    ONEFILE_REQUIRE(harnessAvailable() && onefile != nullptr && fs::exists(onefile), "the Windows build is missing");
    const fs::path temp =
        fs::path(std::getenv("ONEFILE_WINEPREFIX")) / "drive_c/users" / getpwuid(getuid())->pw_name / "Temp";
    std::vector<fs::path> dead;
    for (int run = 0; run < 2; ++run) {
        dead.push_back(temp / ("onefile_42949670" + std::to_string(run + 10) + "_123456_deadRunPipe"));
        for (int i = 0; i < 200; ++i) writeBytes(dead.back() / ("f" + std::to_string(i)), "left behind");
    }
    TempTree tree;
    const fs::path trace = tree / "trace.txt";
    const std::string command = "MERLOX_ONEFILE_TRACE_FILE=" + shellQuote(windowsPathOf(trace)) + " " +
                                shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(onefile) +
                                " --app-exit=4 2>&1 < /dev/null";
    FILE* const pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    while (std::fread(buffer, 1, sizeof buffer, pipe) > 0) {
    }
    const int status = pclose(pipe);
    // The pipe has ended: what the trace says now happened before.
    const std::string lines = readBytes(trace);
    EXPECT_EQ(WEXITSTATUS(status), 4) << lines;
    EXPECT_NE(lines.find("upkeep worker not started: under Wine it would hold the caller's standard error pipe open"),
              std::string::npos)
        << lines;
    EXPECT_EQ(lines.find("upkeep worker done"), std::string::npos) << lines;
    for (const fs::path& folder : dead) fs::remove_all(folder);
}

}  // namespace
