// The shared cache's upkeep (upkeep.cpp), in the background while
// the application runs: the recheck of a reused version's content
// (content.cpp), then the staging and set-aside folders of starts
// whose process is gone, and the versions of the same name beyond the
// newest, removed by the sweep's all-or-nothing removal, which skips
// whatever is held or in use. Only below the versions' folder this start
// holds, and only what the cache made: a version is a folder with a
// manifest of ours; links and anything else stay.
#include "cache_internal.h"

#include <stdlib.h>
#include <wchar.h>

enum : DWORD { upkeepDelayMilliseconds = 500 };

struct Version {
    wchar_t name[ONEFILE_CACHE_ID_LENGTH + 1];
    uint64_t published;
};

static const wchar_t hexDigits[] = L"0123456789abcdef";

// Whether `name` starts with a version's id (and is exactly one, with `whole`).
static bool startsWithId(const wchar_t* name, bool whole)
{
    return wcsspn(name, hexDigits) >= ONEFILE_CACHE_ID_LENGTH && (!whole || name[ONEFILE_CACHE_ID_LENGTH] == L'\0');
}

// "<id>.staging-<pid>-<random>" or "<id>.old-<pid>-<random>" of a start
// that is gone, or set aside by this one.
static bool isLeftoverOfEndedStart(const wchar_t* name)
{
    if (!startsWithId(name, false)) {
        return false;
    }
    const wchar_t* rest = name + ONEFILE_CACHE_ID_LENGTH;
    const wchar_t* const staging = ONEFILE_WIDE(ONEFILE_CACHE_STAGING_INFIX);
    const wchar_t* const old = ONEFILE_WIDE(ONEFILE_CACHE_OLD_INFIX);
    const bool isStaging = wcsncmp(rest, staging, wcslen(staging)) == 0;
    if (!isStaging && wcsncmp(rest, old, wcslen(old)) != 0) {
        return false;
    }
    rest += wcslen(isStaging ? staging : old);
    wchar_t* end = nullptr;
    const unsigned long processId = wcstoul(rest, &end, 10);
    if (end == rest || *end != L'-' || !consistsOf(end + 1, randomTextLength, randomTextAlphabet)) {
        return false;
    }
    if (processId == GetCurrentProcessId()) {
        return !isStaging;  // this start's own staging folder is in use
    }
    // A process that cannot be asked counts as running.
    uint64_t began = 0;
    return findProcessState(processId, began) == ProcessState::gone;
}

static int newestFirst(const void* a, const void* b)
{
    const uint64_t left = static_cast<const Version*>(a)->published;
    const uint64_t right = static_cast<const Version*>(b)->published;
    return left < right ? 1 : left > right ? -1 : 0;
}

// Adds the version in `path` to `versions` when it holds a manifest of
// ours; false only when memory runs out.
static bool addVersionOfOurs(Version*& versions, size_t& count, const wchar_t* name, const wchar_t* path)
{
    wchar_t* const manifest = readCacheManifest(path);
    const uint64_t published = manifestPublishTime(manifest);
    free(manifest);
    if (published == 0) {
        return true;  // not a version of ours
    }
    Version* const grown = static_cast<Version*>(realloc(versions, (count + 1) * sizeof(Version)));
    if (grown == nullptr) {
        return false;
    }
    versions = grown;
    wcscpy(versions[count].name, name);
    versions[count++].published = published;
    return true;
}

// The other versions in `versions` (the folder), each a folder with a
// manifest of ours; what ended starts left is removed on the way.
static Version* listOtherVersions(const wchar_t* versions, const volatile LONG* stop, size_t& count)
{
    Version* others = nullptr;
    count = 0;
    WIN32_FIND_DATAW entry;
    const HANDLE search = findFirstEntry(versions, L"*", entry);
    if (search == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    do {
        wchar_t path[pathCapacity];
        const DWORD attributes = entry.dwFileAttributes;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !joinPath(path, versions, entry.cFileName)) {
            continue;
        }
        if (isLeftoverOfEndedStart(entry.cFileName)) {
            traceStep(L"upkeep: %ls %ls", entry.cFileName, removeUnusedTree(path, stop) ? L"removed" : L"left: in use");
        } else if (startsWithId(entry.cFileName, true) && wcscmp(entry.cFileName, cacheSettings().id) != 0 &&
                   !addVersionOfOurs(others, count, entry.cFileName, path)) {
            break;
        }
    } while (*stop == 0 && FindNextFileW(search, &entry));
    FindClose(search);
    return others;
}

static void keepCacheTidy(void*, const volatile LONG* stop)
{
    wchar_t versions[pathCapacity];
    if (!expandVersionsFolder(versions)) {
        return;
    }
    size_t count = 0;
    Version* const others = listOtherVersions(versions, stop, count);
    // This version stays; of the others, the newest that fit beside it.
    qsort(others, count, sizeof(Version), newestFirst);
    const unsigned keep = cacheSettings().keep;
    const size_t kept = keep > 1 ? keep - 1u : 0u;
    for (size_t i = kept; i < count && *stop == 0; ++i) {
        wchar_t path[pathCapacity];
        if (joinPath(path, versions, others[i].name)) {
            traceStep(L"upkeep: version %ls %ls", others[i].name,
                      removeUnusedTree(path, stop) ? L"removed" : L"left: in use");
        }
    }
    free(others);
}

// Whether the name folder holds anything but this version: only then is
// there upkeep to do.
static bool holdsOtherThanThisVersion()
{
    wchar_t versions[pathCapacity];
    WIN32_FIND_DATAW entry;
    const HANDLE search = expandVersionsFolder(versions) ? findFirstEntry(versions, L"*", entry) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool other = false;
    do {
        const wchar_t* const name = entry.cFileName;
        other = wcscmp(name, L".") != 0 && wcscmp(name, L"..") != 0 && wcscmp(name, cacheSettings().id) != 0;
    } while (!other && FindNextFileW(search, &entry));
    FindClose(search);
    return other;
}

// The cache's turn: one start at a time tidies a name folder. Null when
// another start has it (or a stranger's object has its name), traced.
static HANDLE takeCacheTurn()
{
    wchar_t versions[pathCapacity];
    const HANDLE turn = expandVersionsFolder(versions) ? takeUpkeepTurn(versions) : nullptr;
    if (turn == nullptr) {
        traceStep(L"upkeep: the cache's turn is not this start's; the tidying is left to its holder");
    }
    return turn;
}

// The recheck takes no turn: two starts rechecking one version at once
// only read it and write the record aside and rename it, and nobody who
// holds or squats the turn can switch the recheck off. The tidying takes
// turns.
static void recheckThenTidy(void*, const volatile LONG* stop)
{
    recheckVersionContent(stop, UINT64_MAX);
    const HANDLE turn = *stop == 0 ? takeCacheTurn() : nullptr;
    if (turn != nullptr) {
        keepCacheTidy(nullptr, stop);
        giveUpUpkeepTurn(turn);
    }
    if (*stop == 0) {
        traceStep(L"upkeep: done");
    }
}

static void tidyInTurn(void*, const volatile LONG* stop)
{
    const HANDLE turn = takeCacheTurn();
    if (turn != nullptr) {
        keepCacheTidy(nullptr, stop);
        giveUpUpkeepTurn(turn);
    }
}

void startCacheUpkeep(CacheRoad road)
{
    if (cacheVersionFolder()[0] == L'\0') {
        return;
    }
    // What was just unpacked and hashed needs no recheck, nor what was
    // rechecked lately.
    if (road == CacheRoad::reuse && cacheSettings().recheck && isVersionRecheckDue(cacheVersionFolder())) {
        startBackgroundWork(recheckThenTidy, nullptr, upkeepDelayMilliseconds);
    } else if (holdsOtherThanThisVersion()) {
        startBackgroundWork(tidyInTurn, nullptr, upkeepDelayMilliseconds);
    }
}

void keepCacheNow(const CacheSettings& settings, uint64_t recheckPublishedBefore)
{
    if (holdCacheForUpkeep(settings)) {
        static const volatile LONG never = 0;
        if (settings.recheck) {
            recheckVersionContent(&never, recheckPublishedBefore);
        }
        const HANDLE turn = takeCacheTurn();
        if (turn != nullptr) {
            keepCacheTidy(nullptr, &never);
        }
        giveUpUpkeepTurn(turn);
    }
    releaseVersionsFolderHold();
}
