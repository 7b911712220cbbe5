// The background work the sweep and the cache's upkeep run on: a stop ends
// it at its next step, and the cleanup goes on only once it has ended.
#include "test_support.h"

#include <gtest/gtest.h>

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

}  // namespace
