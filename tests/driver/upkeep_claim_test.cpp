// Whether a start is the bootstrap's upkeep worker, from the evidence its
// claim (MERLOX_ONEFILE_UPKEEP) and the system give.
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

}  // namespace
