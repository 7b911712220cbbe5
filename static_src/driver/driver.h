// The entry point's driver: picks the fresh or the re-entry road and calls
// every other subsystem in a fixed order. The only folder that knows them all.
#pragma once

#include "attached_data/attached_data.h"
#include "paths/paths.h"

// What the system says of one process, for the decisions that trust a
// start's variables only as far as the system confirms them.
struct ProcessFacts {
    bool found;               // opened by its id or handle: it runs, or ended with handles left
    bool alive;               // it has not ended
    bool runsThisExecutable;  // its image is this very executable file
    uint64_t began;           // its creation time (a system time; 0 unknown)
};
// Whether `process` is a copy of this executable that began no later than
// this process did (at `thisBegan`): a process at a reused id began later.
bool isEarlierCopy(const ProcessFacts& process, uint64_t thisBegan);

// Whether the process named by `parentId` (MERLOX_ONEFILE_PARENT) runs this
// very executable file and began before this process.
bool isParentInstance(const wchar_t* parentId);
// Who started this process, as far as the variables a start inherits can
// be trusted: `parentId` names a copy of this executable
// (isParentInstance), and the process that created this one, as the
// system records it, is that copy (the bootstrap) or another copy of this
// executable (the application starting it again). A start by any other
// program, a shell the application used among them, is `other`: a
// caller's variables never choose the DLL this executable loads.
enum class Starter { other, bootstrap, application };
struct StarterFacts {
    bool parentNamed;  // MERLOX_ONEFILE_PARENT holds a process id
    DWORD parentId;
    DWORD creator;  // the creator's id as the system records it; 0 unknown
    ProcessFacts parent;
    ProcessFacts creatorProcess;
    uint64_t thisBegan;
};
Starter judgeStarter(const StarterFacts& facts);
Starter identifyStarter(const wchar_t* parentId);

// Whether this process is the bootstrap's upkeep worker. MERLOX_ONEFILE_UPKEEP
// ("<id>:<handle>") claims it; the claim holds when the process that
// created this one, as the system records it, is the one named and a copy
// of this executable that began before this process: proven through the
// handle the bootstrap gave it (askable after the bootstrap ended), or by
// asking the live creator. A claim whose creator lives and is no such copy
// is ignored (the application runs); one that can be proven neither way
// ends the process.
struct UpkeepClaim {
    bool present;                // the variable is set
    bool wellFormed;             // as the bootstrap writes it
    bool namedIsCreator;         // the id it names is this process's creator
    bool handleIsCreator;        // the handle it names is a process handle of that creator
    ProcessFacts handleProcess;  // asked through the handle
    ProcessFacts creator;        // asked by its id
    uint64_t thisBegan;
};
enum class UpkeepVerdict { notClaimed, worker, ignored, unprovable };
UpkeepVerdict judgeUpkeepClaim(const UpkeepClaim& claim);
// Gathers the claim's evidence; `bootstrap` gets the handle to the
// bootstrap when it is one, or null.
UpkeepClaim readUpkeepClaim(HANDLE& bootstrap);

// Whether the inherited time and random values have exactly the form the
// parent's expansion gives them (6 digits; 11 characters of the alphabet).
bool hasInheritedRunValues();

// Creates `folder` for the fresh road, new and private (an existing one
// ends the process, never taken over), makes it the target this start
// removes, registers the cleanup that removes it on any stop, then holds
// it as the run's proof of life. The target, which lives as long as the
// process.
const TargetFolder* createTargetDirectory(const wchar_t* folder);

// When the application's exit code is an exception's (NTSTATUS error
// severity with the customer bit clear, but not the interrupt's
// 0xC000013A; a negative number the application returns is none): the line
// that names it into `line`, "the application ended with exception
// 0xC0000005 (access violation)"; false otherwise.
bool describeApplicationEnd(DWORD exitCode, char* line, size_t capacity);

// Loads the application's DLL (the first record's file) from `folder` and
// ends the process with the result of its run_code.
[[noreturn]] void runApplication(const wchar_t* folder, int argc, wchar_t** argv);

// The detached upkeep worker (upkeep_worker.cpp): whether this process is
// one, its whole road with the bootstrap's handle, and its start by the
// bootstrap once the run has ended. A start whose claim cannot be proven
// ends at once.
UpkeepVerdict findUpkeepVerdict(HANDLE& bootstrap);
// Whether a worker would keep a caller that reads standard error through a
// pipe waiting (under Wine, whose new processes get their creator's Unix
// standard error whatever handles they are given).
bool wouldWorkerHoldCallersPipe(bool underWine, DWORD standardErrorType);
int runUpkeepWorker(HANDLE bootstrap, const ExecutableSettings& settings);
void startUpkeepWorker();

// Runs the whole bootstrap and returns the process's exit code.
int runDriver();
