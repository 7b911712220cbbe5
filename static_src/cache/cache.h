// The shared cache (--cache): the application unpacked once into a version
// folder of its own, checked against its manifest at every start and
// reused; built in a staging folder and published by one rename; its
// content rechecked in the background against the hashes its manifest got
// while it was unpacked; damaged versions repaired, old ones and what dead
// starts left removed. It owns everything below the cache's name folder
// (root\name): the versions, the staging and set-aside folders, the
// manifests and the recheck records. From the run folder it takes the
// run's hold (the proof of life a start keeps on the folder it runs from),
// the folder specs' expansion, the new files beside a run's files, the
// background work and the upkeep's turn per folder.
#pragma once

#include "attached_data/attached_data.h"
#include "run_folder/run_folder.h"

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
// The road, and whether the version this start found is there but
// damaged (publishing then moves it aside first): one value the driver
// passes on.
struct CacheStart {
    CacheRoad road;
    bool versionDamaged;
};
CacheStart chooseCacheRoad(const CacheSettings& settings);
// Checks the reused version folder against its manifest (a listing per
// directory) and its recheck record. Any one thread; changes nothing.
bool checkReusedVersion();
// Lets go of the reused version, to be repaired: the road to continue on.
CacheStart refuseReusedVersion();
// This start's version folder: set by the road's choice or the re-entry
// road's reading, empty before and without the cache.
const wchar_t* cacheVersionFolder();
// The folder of the application's files in the version (or staging)
// folder `version`, into `payload`; false when it does not fit.
bool joinPayloadFolder(const wchar_t* version, wchar_t payload[pathCapacity]);
// Names a new staging folder beside the version folder into `staging`.
void nameStagingFolder(wchar_t staging[pathCapacity]);
// On the road that repairs a damaged version: moves it aside, unless a run
// holds it, and holds its payload's folder there (its path into `aside`),
// so that its files equal to their records can be taken into the staging
// folder instead of written.
// The hold, or INVALID_HANDLE_VALUE when nothing can be taken; `start`
// then no longer has a damaged version to move aside when publishing.
HANDLE setDamagedVersionAsideForRepair(CacheStart& start, wchar_t aside[pathCapacity]);
enum class PublishOutcome {
    published,       // `staging` is now the version folder, the run's hold
    foundPublished,  // another start published first: its verified version is the run's hold, `staging` is gone
    keptStaging,     // not publishable: `staging` stays the run's own folder, held, to remove at the end
};
// After `staging`, the run's hold, is filled: writes its manifest, lets go
// of it and renames it to the version folder, first moving a damaged
// version aside.
PublishOutcome publishStagingFolder(const wchar_t* staging, const ContentHashes& hashes, const CacheStart& start);
// The re-entry road's reading of MERLOX_ONEFILE_TARGET.
enum class InheritedTarget {
    runFolder,      // none to read (no cache, or none set): the run's own folder
    sharedVersion,  // this version's folder
    stagingFolder,  // a staging folder of the parent's
    refused,        // set, but neither, or this process is elevated
};
// Reads MERLOX_ONEFILE_TARGET: when it names the payload's folder of this
// version or of a staging folder of `parentId`, that folder into `folder`. An elevated process refuses
// any, as it never runs from the shared cache.
InheritedTarget takeInheritedCacheTarget(const CacheSettings& settings, const wchar_t* parentId,
                                         wchar_t folder[pathCapacity]);
// Marks the shared version the re-entry road took as damaged (a start
// could not load the application from it): the next start's check fails
// and repairs it. Best effort, any thread.
void markSharedVersionDamaged();
// Lets go of the versions' folder held since chooseCacheRoad; nothing when
// none is held. Any thread, any number of times.
void releaseVersionsFolderHold();
// In the background while the application runs: on reuse, rechecks the
// version's content against the hashes of its manifest and marks it
// damaged when a file differs; then removes what dead starts left (staging
// and set-aside folders) and versions beyond the newest the settings keep,
// skipping whatever is held or in use.
void startCacheUpkeep(CacheRoad road);
// The same upkeep at once, in a process of its own (the detached worker's),
// the recheck of this version's content among it when it was published
// before `recheckPublishedBefore` (a system time: the start of the run it
// follows): only when the cache's name folder can be held in place and the
// process is not elevated. Never fails.
void keepCacheNow(const CacheSettings& settings, uint64_t recheckPublishedBefore);
