// The driver's decisions that need no start: which processes are trusted
// as this executable's own, whether a start is the bootstrap's upkeep worker (from the evidence its claim,
// MERLOX_ONEFILE_UPKEEP, and the system give), whether a worker would hold
// a caller's pipe, and which application ends are named as crashes.
#include <gtest/gtest.h>

#include "driver/driver.h"

namespace {

// A table's row: `base` with one change.
template <typename Facts>
auto changesOf(const Facts& base)
{
    return [base](auto change) {
        Facts facts = base;
        change(facts);
        return facts;
    };
}

// This process began at 100; processes as the system describes them.
const uint64_t now = 100;
const ProcessFacts earlierCopy = {true, true, true, 90};
const ProcessFacts endedCopy = {true, false, true, 90};
const ProcessFacts sameTickCopy = {true, true, true, 100};
const ProcessFacts laterCopy = {true, true, true, 101};  // at a reused id
const ProcessFacts otherProgram = {true, true, false, 90};
const ProcessFacts endedOther = {true, false, false, 90};
const ProcessFacts unknownTime = {true, true, true, 0};
const ProcessFacts gone = {};

TEST(ProcessTrust, OnlyACopyOfThisExecutableBegunNoLaterIsTrusted)
{
    const struct {
        const char* what;
        ProcessFacts process;
        uint64_t thisBegan;
        bool earlier;
    } cases[] = {
        {"a copy begun earlier", earlierCopy, now, true},
        {"a copy that ended, its handle kept", endedCopy, now, true},
        {"a copy begun in the same tick", sameTickCopy, now, true},
        {"a copy begun later, at a reused id", laterCopy, now, false},
        {"another program", otherProgram, now, false},
        {"a process whose creation time is unknown", unknownTime, now, false},
        {"this process's own time unknown", earlierCopy, 0, false},
        {"no process", gone, now, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isEarlierCopy(c.process, c.thisBegan), c.earlier) << c.what;
    }
}

TEST(ProcessTrust, TheStarterIsTheBootstrapOnlyWhenTheSystemSaysSo)
{
    // MERLOX_ONEFILE_PARENT names 7; the system says the creator is 7 (the
    // bootstrap) unless a row says otherwise.
    const StarterFacts bootstrap = {true, 7, 7, earlierCopy, earlierCopy, now};
    const auto with = changesOf(bootstrap);
    const struct {
        const char* what;
        StarterFacts facts;
        Starter starter;
    } cases[] = {
        {"the bootstrap", bootstrap, Starter::bootstrap},
        {"the application starting this executable again", with([](StarterFacts& f) { f.creator = 8; }),
         Starter::application},
        {"a shell the application used", with([](StarterFacts& f) {
             f.creator = 8;
             f.creatorProcess = otherProgram;
         }),
         Starter::other},
        {"a parent begun after this process (a reused id)", with([](StarterFacts& f) { f.parent = laterCopy; }),
         Starter::other},
        {"a creator begun after this process", with([](StarterFacts& f) {
             f.creator = 8;
             f.creatorProcess = laterCopy;
         }),
         Starter::other},
        {"a parent that is another program", with([](StarterFacts& f) { f.parent = otherProgram; }), Starter::other},
        {"a parent that is gone", with([](StarterFacts& f) { f.parent = gone; }), Starter::other},
        {"no parent named", with([](StarterFacts& f) { f.parentNamed = false; }), Starter::other},
        {"the creator unknown", with([](StarterFacts& f) { f.creator = 0; }), Starter::other},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judgeStarter(c.facts), c.starter) << c.what;
    }
}

TEST(UpkeepClaim, OnlyACopyOfThisExecutableThatCreatedTheStartMakesAWorker)
{
    // The bootstrap's own worker: its handle proves it, alive or gone.
    const UpkeepClaim proven = {true, true, true, true, endedCopy, gone, now};
    const auto with = changesOf(proven);
    const struct {
        const char* what;
        UpkeepClaim claim;
        UpkeepVerdict verdict;
    } cases[] = {
        {"no claim", UpkeepClaim{}, UpkeepVerdict::notClaimed},
        {"the handle proves a bootstrap that ended", proven, UpkeepVerdict::worker},
        {"the handle proves a bootstrap that runs",
         with([](UpkeepClaim& c) { c.handleProcess = c.creator = earlierCopy; }), UpkeepVerdict::worker},
        {"a live creator that is a copy, no handle", with([](UpkeepClaim& c) {
             c.handleIsCreator = false;
             c.handleProcess = gone;
             c.creator = earlierCopy;
         }),
         UpkeepVerdict::worker},
        {"a foreign launcher naming itself", with([](UpkeepClaim& c) { c.handleProcess = c.creator = otherProgram; }),
         UpkeepVerdict::ignored},
        {"a foreign launcher that ended", with([](UpkeepClaim& c) { c.handleProcess = c.creator = endedOther; }),
         UpkeepVerdict::unprovable},
        {"a copy begun after this process (a reused id)",
         with([](UpkeepClaim& c) { c.handleProcess = c.creator = laterCopy; }), UpkeepVerdict::ignored},
        {"a copy begun after this process that ended", with([](UpkeepClaim& c) {
             c.handleProcess = laterCopy;
             c.handleProcess.alive = false;
         }),
         UpkeepVerdict::unprovable},
        {"the claim names another process than the creator", with([](UpkeepClaim& c) {
             c.namedIsCreator = c.handleIsCreator = false;
             c.creator = earlierCopy;
         }),
         UpkeepVerdict::ignored},
        {"a malformed claim, a live creator", with([](UpkeepClaim& c) {
             c.wellFormed = false;
             c.creator = earlierCopy;
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
