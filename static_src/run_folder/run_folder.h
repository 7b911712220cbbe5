// The run's own folder: where it goes (the parent spec the executable was
// built with: "{TEMP}" unless --temp-dir gave another) and its expansion on
// both roads alike; its creation, new and private, and its proof of life;
// the refusal of a start that cannot fit; the sweep of what dead runs left
// in the same parent, as background work while the application runs.
// Depends only on paths.
#pragma once

#include "paths/paths.h"

// --- Place (run_folder.cpp).
// Set by the build beside the attached data: the parent spec in UTF-16,
// ended by a 0 unit. Only {TEMP}, {HOME}, {CACHE_DIR} and {PROGRAM_DIR}
// (the packer refuses the rest).
extern "C" const wchar_t onefileRunParentSpec[];
// The run folder's whole spec: the parent spec, "\" and the run's own name
// (ONEFILE_RUN_NAME_SPEC), for messages. Stops the process when it does not
// fit 4096 units.
const wchar_t* runFolderSpec();
// Expands the run folder's spec into `output` (`capacity` units with the
// terminator). {PROGRAM_DIR} is the folder of this process's module file,
// so the parent and its child, whose argument 0 differ, find one folder.
// False when a part cannot be expanded or the result does not fit.
bool expandRunFolder(wchar_t* output, size_t capacity);
// The same for any folder spec of the executable's (the cache's root).
bool expandFolderSpec(const wchar_t* spec, wchar_t* output, size_t capacity);
// The parent of targetDirectory into `parent`; empty when it has none.
void findRunFolderParent(wchar_t parent[pathCapacity]);

// --- Creation and proof of life (run_folder.cpp).
// Creates targetDirectory, which must be new (its missing parents are made
// too, private): one that exists may hold whatever someone planted there,
// so it ends the process (one line, exit code 2), never taken over.
void createNewRunFolder();
// The proof of life: targetDirectory held open, refusing deletion, from
// right after its creation until the cleanup begins; another start's sweep
// takes a folder it cannot open for deletion as alive. Ends the process
// when the folder cannot be held. Main thread.
void holdRunFolder();
// Takes `hold` (of the shared cache's version folder) as the run's own.
void adoptRunFolderHold(HANDLE hold);
// Lets go of the hold, once, from any thread.
void releaseRunFolderHold();
// Ends the process (one line naming the folder asked, exit code 2) when
// `needed` bytes do not fit in the free space of the volume of `parent`,
// or of its nearest folder that exists: nothing is written then.
void refuseRunThatCannotFit(const wchar_t* parent, uint64_t needed);

// A new file `name` in `folder` holding `length` bytes of `text`, for the
// marks and records kept beside a run's files: made new, never written
// through a name that exists (a link among them). False when the name
// exists or the file cannot be written whole.
bool writeNewFile(const wchar_t* folder, const wchar_t* name, const char* text, DWORD length);

// --- The shared cache (cache.cpp), for executables packed with --cache:
// the application unpacked once into a version folder of its own, checked
// against its manifest at every start and reused. Set by the build beside
// the attached data: the versions' folder spec (root\name, empty without
// --cache), this version's id and how many versions to keep.
extern "C" const wchar_t onefileCacheSpec[];
extern "C" const wchar_t onefileCacheId[];
extern "C" const unsigned char onefileCacheKeep;
enum class CacheRoad {
    perRun,  // unpack into the run's own folder, as without --cache
    reuse,   // the version folder, held, once checkReusedVersion passes
    build,   // unpack into a staging folder, then publish it
};
// The fresh road's choice. An elevated process, which must not run what an
// unelevated one could have changed, takes the per-run road; so does a
// start whose cache cannot be expanded, and one whose versions' folder
// (root\name) is a link or not where it seems: nothing of the cache is
// then used or removed. Otherwise the versions' folder is held until
// releaseVersionsFolderHold. On reuse, cacheVersionFolder() is the run's
// hold (kept at the end), not yet checked: checkReusedVersion must pass
// before anything runs from it.
CacheRoad chooseCacheRoad();
// Checks the reused version folder against its manifest (a listing per
// directory). When it fails, the version is let go of and to be repaired:
// the start continues on the build road. Any one thread.
bool checkReusedVersion();
// Lets go of the reused version, to be repaired: the start continues on the
// build road.
void refuseReusedVersion();
// This start's version folder: set by the road's choice or the re-entry
// road's reading, empty before and without the cache.
const wchar_t* cacheVersionFolder();
// Names a new staging folder beside the version folder into `staging`.
void nameStagingFolder(wchar_t staging[pathCapacity]);
// Keeps the content hash of a file this start wrote into its staging
// folder (`name` relative to it), for the manifest. Main thread.
void recordContentHash(const wchar_t* name, uint64_t contentHash);
enum class PublishOutcome {
    published,       // `staging` is now the version folder, the run's hold
    foundPublished,  // another start published first: its verified version is the run's hold, `staging` is gone
    keptStaging,     // not publishable: `staging` stays the run's own folder, held, to remove at the end
};
// After `staging`, the run's hold, is filled: writes its manifest, lets go
// of it and renames it to the version folder, first moving a damaged
// version aside.
PublishOutcome publishStagingFolder(const wchar_t* staging);
// The re-entry road's reading of MERLOX_ONEFILE_TARGET.
enum class InheritedTarget {
    runFolder,      // none to read (no cache, or none set): the run's own folder
    sharedVersion,  // this version's folder
    stagingFolder,  // a staging folder of the parent's
    refused,        // set, but neither, or this process is elevated
};
// Reads MERLOX_ONEFILE_TARGET: when it names this version's folder or a
// staging folder of `parentId`, into `folder`. An elevated process refuses
// any, as it never runs from the shared cache.
InheritedTarget takeInheritedCacheTarget(const wchar_t* parentId, wchar_t folder[pathCapacity]);
// Marks the shared version the re-entry road took as damaged (a start
// could not load the application from it): the next start's check fails
// and repairs it. Best effort, any thread.
void markSharedVersionDamaged();
// Lets go of the versions' folder held since chooseCacheRoad; nothing when
// none is held. Any thread, any number of times.
void releaseVersionsFolderHold();
// The same upkeep at once, in a process of its own (the detached worker's),
// the recheck of this version's content among it when it was published
// before `recheckPublishedBefore` (a system time: the start of the run it
// follows): only when the cache's name folder can be held in place and the
// process is not elevated. Never fails.
void keepCacheNow(uint64_t recheckPublishedBefore);
// In the background while the application runs: on reuse, rechecks the
// version's content against the hashes of its manifest and marks it
// damaged when a file differs; then removes what dead starts left (staging
// and set-aside folders) and versions beyond the newest onefileCacheKeep,
// skipping whatever is held or in use.
void startCacheUpkeep(CacheRoad road);

// --- Background work (background.cpp): one piece of work at a time on a
// thread of its own, begun after a delay, while the application runs.
// Starts `work`, which looks at `*stop` between its steps; false when no
// thread can be made. `argument` (malloc'd, or null) is the work's until
// stopBackgroundWork frees it.
bool startBackgroundWork(void (*work)(void* argument, const volatile LONG* stop), void* argument,
                         DWORD delayMilliseconds);
// Ends the work (the sweep or the cache's upkeep) at its next step, waits
// for that and frees its argument; nothing when none runs. Any thread, any
// number of times: the cleanup's first step.
void stopBackgroundWork();
// Whether the work stopBackgroundWork ended had not finished (or not begun):
// an application that returns at once ends it before its delay is over.
bool wasBackgroundWorkCutShort();

// One start at a time works on a folder's leftovers (the runs' parent, or
// a cache's name folder): a named mutex per folder. The turn, or null when
// another start has it (that one does the work; this one leaves at once).
HANDLE takeUpkeepTurn(const wchar_t* folder);
void giveUpUpkeepTurn(HANDLE turn);

// --- Sweep of dead runs (sweep.cpp).
// Set by the build (beside the attached data): whether a fresh start sweeps
// the leftovers of dead runs.
extern "C" const unsigned char onefileSweepEnabled;
// Removes what earlier runs that can no longer clean up (killed, crashed)
// left directly in `parent`: run folders and splash feedback files by their
// exact names, without a proof of life and unused, at most 8 per call. A
// run folder that could not go is marked stuck inside ("onefile-sweep.stuck")
// and not walked again for 10 minutes. Never fails; returns how many went,
// or -1 when another start sweeps `parent` at the moment.
int sweepDeadRuns(const wchar_t* parent);
// Whether a stuck mark made at `markedAt` still holds at `now` (system
// times; a mark from the future, after the clock stepped back, does not).
bool isStuckMarkStillValid(uint64_t markedAt, uint64_t now);
// A splash feedback file's run is live while its process runs and began no
// later than the file was made (a process at a reused id began later);
// when that cannot be asked, the file counts as live. Times are system
// times.
enum class ProcessState { gone, running, cannotTell };
bool isFeedbackFileLive(ProcessState owner, uint64_t ownerBegan, uint64_t fileMade);
// What can be learnt of the process `processId`: whether it runs (`began`
// set to when it began), is gone, or cannot be asked (access denied, its
// times unreadable), which every caller takes as running.
ProcessState findProcessState(DWORD processId, uint64_t& began);
// The same as background work, half a second after it is called; nothing
// when `parent` holds no run's name of another process. stopBackgroundWork
// ends it.
void startSweep(const wchar_t* parent);
