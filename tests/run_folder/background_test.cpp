// The background work the sweep and the cache's upkeep run on (a stop ends
// it at its next step, and the cleanup goes on only once it has ended), the
// upkeep's turn per folder, and the sweep's decisions: how long a stuck
// leftover is left alone, and whether a splash feedback file is still live.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <wctype.h>

#include "run_folder/run_folder.h"

namespace {

volatile LONG workRan;
volatile LONG workSawStop;
HANDLE workStarted;

TEST(BackgroundWork, StoppedDuringItsDelayItNeverRuns)
{
    workRan = 0;
    ASSERT_TRUE(
        startBackgroundWork([](void*, const volatile LONG*) { InterlockedExchange(&workRan, 1); }, nullptr, INFINITE));
    stopBackgroundWork();
    EXPECT_EQ(workRan, 0);
    stopBackgroundWork();  // nothing runs any more: a second stop is harmless
}

TEST(BackgroundWork, StopReturnsOnlyOnceTheWorkSawItAndEnded)
{
    workSawStop = 0;
    workStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto work = [](void* argument, const volatile LONG* stop) {
        EXPECT_NE(argument, nullptr);
        SetEvent(workStarted);
        while (*stop == 0) Sleep(1);
        Sleep(50);  // still ending when the stop is given
        InterlockedExchange(&workSawStop, 1);
    };
    // The argument is the work's, freed by the stop.
    ASSERT_TRUE(startBackgroundWork(work, malloc(16), 0));
    ASSERT_EQ(WaitForSingleObject(workStarted, 60000), WAIT_OBJECT_0);
    stopBackgroundWork();
    EXPECT_EQ(workSawStop, 1);
    CloseHandle(workStarted);
}

// One start at a time works on a folder's leftovers: the turn is the
// folder's, however its name is spelt, and free again once given up.
TEST(UpkeepTurn, OneHolderPerFolderAtATime)
{
    const std::wstring folder = L"C:\\onefile-turn-test-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE turn = takeUpkeepTurn(folder.c_str());
    ASSERT_NE(turn, nullptr);
    // A mutex is its owner thread's again: ask from another thread.
    struct Ask {
        std::wstring folder;
        bool taken;
    };
    const auto askElsewhere = [](const std::wstring& asked) {
        Ask ask{asked, false};
        const HANDLE thread = CreateThread(
            nullptr, 0,
            [](void* parameter) -> DWORD {
                Ask& a = *static_cast<Ask*>(parameter);
                const HANDLE other = takeUpkeepTurn(a.folder.c_str());
                a.taken = other != nullptr;
                giveUpUpkeepTurn(other);
                return 0;
            },
            &ask, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        return ask.taken;
    };
    EXPECT_FALSE(askElsewhere(folder));
    std::wstring upper = folder;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    EXPECT_FALSE(askElsewhere(upper)) << "another spelling of the same folder";
    EXPECT_TRUE(askElsewhere(folder + L"-other"));
    giveUpUpkeepTurn(turn);
    EXPECT_TRUE(askElsewhere(folder));
    // Its name taken by an object of another kind: nobody's turn.
    wchar_t name[upkeepTurnNameCapacity];
    ASSERT_TRUE(nameUpkeepTurn(folder.c_str(), name));
    const HANDLE squat = CreateEventW(nullptr, TRUE, FALSE, name);
    EXPECT_FALSE(askElsewhere(folder));
    CloseHandle(squat);
}

TEST(UpkeepTurn, OnlyAMutexOfOursThatIsFreeIsThisStartsTurn)
{
    const struct {
        const char* what;
        bool opened;
        DWORD waited;
        UpkeepTurnState state;
    } cases[] = {
        {"free", true, WAIT_OBJECT_0, UpkeepTurnState::taken},
        {"left by a holder that died", true, WAIT_ABANDONED, UpkeepTurnState::taken},
        {"held by another start", true, WAIT_TIMEOUT, UpkeepTurnState::busy},
        {"cannot be waited for", true, WAIT_FAILED, UpkeepTurnState::busy},
        {"a stranger's object, or of another kind", false, WAIT_FAILED, UpkeepTurnState::stranger},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judgeUpkeepTurn(c.opened, c.waited), c.state) << c.what;
    }
}

TEST(StuckLeftover, IsLeftAloneForTenMinutes)
{
    const uint64_t minute = 60ull * 10000000;
    const struct {
        uint64_t markedAt, now;
        bool valid;
    } cases[] = {
        {100 * minute, 100 * minute, true},  {100 * minute, 109 * minute, true}, {100 * minute, 110 * minute - 1, true},
        {100 * minute, 110 * minute, false}, {100 * minute, 99 * minute, false},  // the clock stepped back
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isStuckMarkStillValid(c.markedAt, c.now), c.valid) << c.markedAt << " " << c.now;
    }
}

TEST(SplashFeedbackFile, LivesWithItsProcessUnlessTheIdWasReused)
{
    const struct {
        const char* what;
        ProcessState owner;
        uint64_t ownerBegan, fileMade;
        bool live;
    } cases[] = {
        {"its process runs, begun before the file", ProcessState::running, 100, 200, true},
        {"begun in the same tick", ProcessState::running, 200, 200, true},
        {"a process at a reused id, begun later", ProcessState::running, 201, 200, false},
        {"its process is gone", ProcessState::gone, 100, 200, false},
        {"cannot be asked", ProcessState::cannotTell, 0, 200, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isFeedbackFileLive(c.owner, c.ownerBegan, c.fileMade), c.live) << c.what;
    }
}

}  // namespace
