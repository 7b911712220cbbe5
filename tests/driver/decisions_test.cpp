// The driver's decisions that need no start: whether a start is the
// bootstrap's upkeep worker (from the evidence its claim,
// MERLOX_ONEFILE_UPKEEP, and the system give), whether a worker would hold
// a caller's pipe, and which application ends are named as crashes.
#include <gtest/gtest.h>

#include "driver/driver.h"

namespace {

TEST(UpkeepClaim, OnlyACopyOfThisExecutableThatCreatedTheStartMakesAWorker)
{
    // The bootstrap's own worker: its handle proves it, alive or gone.
    const UpkeepClaim proven = {true, true, true, true, true, true, CreatorState::gone};
    const auto with = [&](auto change) {
        UpkeepClaim claim = proven;
        change(claim);
        return claim;
    };
    const struct {
        const char* what;
        UpkeepClaim claim;
        UpkeepVerdict verdict;
    } cases[] = {
        {"no claim", UpkeepClaim{}, UpkeepVerdict::notClaimed},
        {"the handle proves a bootstrap that ended", proven, UpkeepVerdict::worker},
        {"the handle proves a bootstrap that runs", with([](UpkeepClaim& c) { c.creator = CreatorState::earlierCopy; }),
         UpkeepVerdict::worker},
        {"a live creator that is a copy, no handle", with([](UpkeepClaim& c) {
             c.handleIsCreator = c.handleRunsThisExecutable = c.handleBeganEarlier = false;
             c.creator = CreatorState::earlierCopy;
         }),
         UpkeepVerdict::worker},
        {"a foreign launcher naming itself", with([](UpkeepClaim& c) {
             c.handleRunsThisExecutable = false;
             c.creator = CreatorState::other;
         }),
         UpkeepVerdict::ignored},
        {"a foreign launcher that ended", with([](UpkeepClaim& c) { c.handleRunsThisExecutable = false; }),
         UpkeepVerdict::unprovable},
        {"a copy begun after this process (a reused id)", with([](UpkeepClaim& c) {
             c.handleBeganEarlier = false;
             c.creator = CreatorState::other;
         }),
         UpkeepVerdict::ignored},
        {"the claim names another process than the creator", with([](UpkeepClaim& c) {
             c.namedIsCreator = c.handleIsCreator = false;
             c.creator = CreatorState::earlierCopy;
         }),
         UpkeepVerdict::ignored},
        {"a malformed claim, a live creator", with([](UpkeepClaim& c) {
             c.wellFormed = false;
             c.creator = CreatorState::earlierCopy;
         }),
         UpkeepVerdict::ignored},
        {"a malformed claim, the creator gone", with([](UpkeepClaim& c) { c.wellFormed = false; }),
         UpkeepVerdict::unprovable},
        {"the handle is no process of the creator's", with([](UpkeepClaim& c) { c.handleIsCreator = false; }),
         UpkeepVerdict::unprovable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judgeUpkeepClaim(c.claim), c.verdict) << c.what;
    }
}

TEST(UpkeepWorker, IsNotStartedWhereItWouldHoldTheCallersPipe)
{
    EXPECT_TRUE(wouldWorkerHoldCallersPipe(true, FILE_TYPE_PIPE));
    EXPECT_FALSE(wouldWorkerHoldCallersPipe(true, FILE_TYPE_DISK));
    EXPECT_FALSE(wouldWorkerHoldCallersPipe(true, FILE_TYPE_CHAR));
    EXPECT_FALSE(wouldWorkerHoldCallersPipe(true, FILE_TYPE_UNKNOWN));
    EXPECT_FALSE(wouldWorkerHoldCallersPipe(false, FILE_TYPE_PIPE));  // Windows hands it NUL only
}

TEST(ApplicationEnd, AnExceptionsCodeIsNamedAndAnInterruptIsNot)
{
    const struct {
        DWORD exitCode;
        const char* line;  // null: none
    } cases[] = {
        {0, nullptr},
        {1, nullptr},
        {0x7FFFFFFFu, nullptr},
        {0x80000003u, nullptr},  // a warning's severity, not an error's
        {0xC000013Au, nullptr},  // interrupted
        {0xC0000005u, "the application ended with exception 0xC0000005 (access violation)"},
        {0xC00000FDu, "the application ended with exception 0xC00000FD (stack overflow)"},
        {0xC000001Du, "the application ended with exception 0xC000001D (illegal instruction)"},
        {0xC0000094u, "the application ended with exception 0xC0000094 (integer divide by zero)"},
        {0xC0000374u, "the application ended with exception 0xC0000374 (heap corruption)"},
        {0xC0000409u, "the application ended with exception 0xC0000409 (stack buffer overrun)"},
        {0xC0000135u, "the application ended with exception 0xC0000135"},
        {0xFFFFFFFFu, nullptr},  // -1, the application's own
        {0xE0000001u, nullptr},  // the customer bit: an application's own code
    };
    for (const auto& c : cases) {
        char line[96] = "";
        EXPECT_EQ(describeApplicationEnd(c.exitCode, line, sizeof line), c.line != nullptr) << c.exitCode;
        if (c.line != nullptr) {
            EXPECT_STREQ(line, c.line);
        }
    }
}

}  // namespace
