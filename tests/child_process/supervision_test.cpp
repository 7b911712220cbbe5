// The supervision loop on a real child process: how often it asks about the
// splash, and which exit code it hands back.
#include "test_support.h"

#include <gtest/gtest.h>

#include "child_process/child_process.h"

namespace {

int splashChecks;
int splashChecksAnsweredTrue;
std::wstring childSignal;

// The splash check is also the test's hand on the child: the child runs
// until the check that answers "gone" deletes its signal file, so every
// count below holds however slowly the machine runs.
bool countSplashCheck()
{
    ++splashChecks;
    const bool pending = splashChecks <= splashChecksAnsweredTrue;
    if (!pending) DeleteFileW(childSignal.c_str());
    return pending;
}

// Starts the probe as the child, the way launchChild publishes it, with
// the splash reported pending for the first `pendingChecks` checks.
void startChild(const ScratchDirectory& scratch, const std::wstring& exitCode, int pendingChecks)
{
    splashChecks = 0;
    splashChecksAnsweredTrue = pendingChecks;
    childSignal = scratch.path() + L"\\signal";
    writeFile(childSignal, "");
    const PROCESS_INFORMATION child = startProcess(probePath(), quoteForCommandLine(probePath()) + L" wait-then-exit " +
                                                                    quoteForCommandLine(childSignal) + L" " + exitCode);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &supervisedChild, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    childProcess = child.hProcess;
    applicationReleased = 1;
}

TEST(Supervision, WithoutAPendingSplashOneCheckThenAWaitWithoutPolling)
{
    ScratchDirectory scratch;
    startChild(scratch, L"7", 0);
    EXPECT_EQ(superviseChild(countSplashCheck), 7u);
    EXPECT_EQ(splashChecks, 1);
    EXPECT_EQ(childProcess, nullptr);
    EXPECT_EQ(supervisedChild, nullptr);
    // A Ctrl+C that reaches this process only now is still the ended
    // application's: the process goes on to return its code.
    EXPECT_TRUE(consoleCtrlHandler(CTRL_C_EVENT));
}

TEST(Supervision, PendingSplashIsPolledUntilItGoesAndNeverAgain)
{
    ScratchDirectory scratch;
    startChild(scratch, L"0", 4);
    EXPECT_EQ(superviseChild(countSplashCheck), 0u);
    // Four answers "still pending", then one "gone"; the child ends only
    // after that, and the loop waits for it without another check.
    EXPECT_EQ(splashChecks, 5);
}

TEST(Supervision, ExitCodeThatMeansStillActiveEndsTheWait)
{
    ScratchDirectory scratch;
    startChild(scratch, L"259", 0);
    EXPECT_EQ(superviseChild(countSplashCheck), 259u);
}

}  // namespace

namespace {

// Only a creation that failed for want of something that comes back is
// made again; the same call fails the same way otherwise.
TEST(ChildCreation, OnlyFailuresThatCanPassAreRetried)
{
    const struct {
        DWORD error;
        bool passing;
    } cases[] = {
        {ERROR_INTERNAL_ERROR, true},      {ERROR_NOT_ENOUGH_MEMORY, true},
        {ERROR_NO_SYSTEM_RESOURCES, true}, {ERROR_SHARING_VIOLATION, true},
        {ERROR_COMMITMENT_LIMIT, true},    {ERROR_FILE_NOT_FOUND, false},
        {ERROR_PATH_NOT_FOUND, false},     {ERROR_ACCESS_DENIED, false},
        {ERROR_BAD_EXE_FORMAT, false},     {740, false},
        {ERROR_INVALID_PARAMETER, false},  {0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isPassingCreationError(c.error), c.passing) << c.error;
    }
}

}  // namespace
