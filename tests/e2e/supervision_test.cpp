// The supervision loop on a real child process: how often it asks about the
// splash, and which exit code it hands back.
#include "test_support.h"

#include <gtest/gtest.h>

#include "child_process/child_process.h"

namespace {

int splashChecks;
int splashChecksAnsweredTrue;

bool countSplashCheck()
{
    ++splashChecks;
    return splashChecks <= splashChecksAnsweredTrue;
}

// Starts the probe as the child, the way launchChild publishes it, with
// the splash reported pending for the first `pendingChecks` checks.
void startChild(const std::wstring& sleepMilliseconds, const std::wstring& exitCode, int pendingChecks)
{
    splashChecks = 0;
    splashChecksAnsweredTrue = pendingChecks;
    std::wstring line = quoteForCommandLine(probePath()) + L" sleep-then-exit " + sleepMilliseconds + L" " + exitCode;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(probePath().c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &child));
    CloseHandle(child.hThread);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &supervisedChild, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    childProcess = child.hProcess;
}

TEST(Supervision, WithoutAPendingSplashOneCheckThenAWaitWithoutPolling)
{
    startChild(L"1000", L"7", 0);
    EXPECT_EQ(superviseChild(countSplashCheck), 7u);
    EXPECT_EQ(splashChecks, 1);
    EXPECT_EQ(childProcess, nullptr);
    EXPECT_EQ(supervisedChild, nullptr);
}

TEST(Supervision, PendingSplashIsPolledUntilItGoesAndNeverAgain)
{
    startChild(L"1500", L"0", 4);
    EXPECT_EQ(superviseChild(countSplashCheck), 0u);
    // Four answers "still pending", then one "gone"; the 1.5 s left after
    // that pass in a single wait.
    EXPECT_EQ(splashChecks, 5);
}

TEST(Supervision, ExitCodeThatMeansStillActiveEndsTheWait)
{
    startChild(L"100", L"259", 0);
    EXPECT_EQ(superviseChild(countSplashCheck), 259u);
}

}  // namespace
