// The console variant (onefile-pack build --console): a console program
// that imports what the windowed one imports, passes the application's
// streams and exit code through, and cleans up on Ctrl+C.
#include "host_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <algorithm>

namespace {

fs::path windowsTests()
{
    return fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
}

bool consoleVariantBuilt()
{
    return harnessAvailable() && std::getenv("ONEFILE_REPORT_APP") != nullptr &&
           fs::exists(windowsTests() / "report_console_onefile.exe");
}

// What a shell command printed, carriage returns and the terminal's
// cursor sequences (from a pseudo-terminal) left out.
std::string plainOutput(const fs::path& file)
{
    std::string text = readBytes(file);
    for (const std::string sequence : {"\x1b[?25l", "\x1b[?25h", "\r"}) {
        for (size_t at; (at = text.find(sequence)) != std::string::npos;) text.erase(at, sequence.size());
    }
    return text;
}

TEST(ConsoleVariant, IsAConsoleProgramThatPassesStreamsAndExitCodeThrough)
{
    ONEFILE_REQUIRE(consoleVariantBuilt(), "the Windows build is missing");
    TempTree tree;
    const auto subsystem = [&](const std::string& exe) {
        shell("x86_64-w64-mingw32-objdump -p " + shellQuote((windowsTests() / exe).string()) +
              " | grep '^Subsystem' > " + shellQuote((tree / "subsystem").string()));
        return readBytes(tree / "subsystem");
    };
    EXPECT_NE(subsystem("report_console_onefile.exe").find("(Windows CUI)"), std::string::npos);
    EXPECT_NE(subsystem("report_onefile.exe").find("(Windows GUI)"), std::string::npos);
    EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_CHECK_IMPORTS")) + " shipped " +
                    shellQuote((windowsTests() / "report_console_onefile.exe").string())),
              0);

    const fs::path out = tree / "out", err = tree / "err";
    EXPECT_EQ(shell("echo 'a line in' | " + shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
                    shellQuote((windowsTests() / "report_console_onefile.exe").string()) +
                    " --app-echo --app-exit=5 > " + shellQuote(out.string()) + " 2> " + shellQuote(err.string())),
              5);
    EXPECT_EQ(plainOutput(out), "out:a line in\n");
    EXPECT_EQ(plainOutput(err), "err:a line in\n");
}

// Wine delivers Ctrl+C only to the processes of one console, and only
// with a terminal behind it: the launcher runs under a pseudo-terminal
// (script), shares its console with the program it starts and sends the
// event once the application runs. Ctrl+C is the application's: packed, it
// ends as it does loaded by a plain program (unpacked_host), whether it
// handles the event (then with its own code) or not (then as the platform
// ends a plain program: Wine with 0, Windows with 0xC000013A); the run's
// folder goes either way.
TEST(ConsoleVariant, CtrlCBelongsToTheApplication)
{
    ONEFILE_REQUIRE(consoleVariantBuilt() && std::system("command -v script > /dev/null") == 0,
                    "the Windows build or script is missing");
    // (Wine's GenerateConsoleCtrlEvent refuses Ctrl+Break, and it has no
    // key: that event is untested here.)
    const struct {
        const char* what;
        std::string arguments;
        bool typed;  // the ^C byte through the terminal, instead of the launcher's event
    } cases[] = {
        {"handled, then its own end", "--app-on-ctrl-c=7", false},
        {"handled by signal(), then its own end", "--app-on-signal=8", false},
        {"handled by a handler its DllMain registered", "--app-wait=", false},
        {"not handled", "--app-wait=", false},
        {"typed, handled", "--app-on-ctrl-c=7", true},
        {"typed, not handled", "--app-wait=", true},
    };
    for (const auto& c : cases) {
        TempTree tree;
        writeBytes(tree / "never", "");  // an application waits for its deletion
        const std::string arguments =
            c.arguments == "--app-wait=" ? shellQuote(c.arguments + windowsPathOf(tree / "never")) : c.arguments;
        // The launcher runs PROGRAM REPORT [ARGUMENTS]; the unpacked host's
        // first argument is the DLL.
        const auto interrupt = [&](const std::string& program, const std::string& before, const std::string& seen) {
            const bool dllMain = std::string(c.what).find("DllMain") != std::string::npos;
            // exec: the shell script starts (its $SHELL, often dash) must not
            // stay between the terminal and Wine, or a typed ^C ends it.
            const std::string command = std::string("exec ") + (dllMain ? "env ONEFILE_TEST_DLLMAIN_CTRL_C=9 " : "") +
                                        shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
                                        shellQuote((windowsTests() / "console_launcher.exe").string()) + " " +
                                        shellQuote(windowsPathOf(windowsTests() / program)) + " " +
                                        shellQuote(windowsPathOf(tree / (seen + ".report"))) + before + " " + arguments;
            if (!c.typed) {
                EXPECT_EQ(shell("script -qec " + shellQuote(command) + " /dev/null < /dev/null > " +
                                shellQuote((tree / seen).string())),
                          0)
                    << c.what << ": " << plainOutput(tree / seen);
                return plainOutput(tree / seen);
            }
            FILE* const terminal = popen(("ONEFILE_TEST_NO_EVENT=1 script -qec " + shellQuote(command) +
                                          " /dev/null > " + shellQuote((tree / seen).string()))
                                             .c_str(),
                                         "w");
            EXPECT_NE(terminal, nullptr);
            while (!fs::exists(tree / (seen + ".report"))) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::fputs("\x03", terminal);
            std::fflush(terminal);
            EXPECT_EQ(pclose(terminal), 0) << c.what << ": " << plainOutput(tree / seen);
            std::string seenText = plainOutput(tree / seen);
            if (seenText.rfind("^C", 0) == 0) seenText.erase(0, 2);  // the terminal's echo
            return seenText;
        };
        const std::string packed = interrupt("report_console_onefile.exe", "", "packed");
        const std::string unpacked =
            interrupt("unpacked_host.exe",
                      " " + shellQuote(windowsPathOf(windowsTests() / "e2e/apps/report/report_app.dll")), "unpacked");
        EXPECT_EQ(packed.substr(0, packed.find('\n')), unpacked.substr(0, unpacked.find('\n'))) << c.what;
        EXPECT_NE(packed.find("folder=gone\n"), std::string::npos) << c.what << ": " << packed;
        if (std::string(c.what).find("DllMain") != std::string::npos) {
            EXPECT_EQ(packed.rfind("exit=0x9\n", 0), 0u) << c.what << ": " << packed;
        }
        if (c.arguments.find("--app-on-") == 0) {
            EXPECT_EQ(packed.rfind("exit=0x" + c.arguments.substr(c.arguments.size() - 1) + "\n", 0), 0u)
                << c.what << ": " << packed;
        }
    }
}

}  // namespace
