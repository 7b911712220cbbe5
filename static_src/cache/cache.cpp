// The shared cache of an executable packed with --cache. Each version of
// the application lives in <root>\<name>\<id>: built in a staging folder of
// its own (new, private, held like a run folder), described last by a
// manifest of every entry's name, size and write time and every file's
// content hash, then published with one rename. Later starts list the
// folder (one listing per directory, no file opened) and compare it with
// the manifest; any difference, a reparse point among it, or a folder that
// is not where it seems, and the version is built again and put in place
// of the damaged one. The content is compared in the background
// (content.cpp). The version folder is held open while in use: no
// other start can rename or remove it.
#include "cache_internal.h"

#include <assert.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum : DWORD { renameAttempts = 20, renamePauseMilliseconds = 50 };

// The settings this process's use of the cache began with. Written once,
// by whichever of chooseCacheRoad, takeInheritedCacheTarget and
// keepCacheNow begins it; no settings: no cache.
static CacheSettings settings = {L"", L"", 0, false};

const CacheSettings& cacheSettings()
{
    return settings;
}

static bool useCacheSettings(const CacheSettings& given)
{
    settings = given;
    return settings.spec[0] != L'\0' && wcslen(settings.id) == ONEFILE_CACHE_ID_LENGTH;
}

bool expandVersionsFolder(wchar_t output[pathCapacity])
{
    return expandFolderSpec(settings.spec, output, pathCapacity);
}

static bool expandVersionFolder(wchar_t output[pathCapacity])
{
    wchar_t versions[pathCapacity];
    return expandVersionsFolder(versions) && joinPath(output, versions, settings.id);
}

HANDLE holdFolderInPlace(const wchar_t* folder)
{
    wchar_t longForm[longPathCapacity];
    if (!toLongPathForm(folder, longForm)) {
        return INVALID_HANDLE_VALUE;
    }
    // Wine shows a link as a reparse point by its path only.
    const DWORD attributes = GetFileAttributesW(longForm);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE hold = openDirectoryHold(folder);
    if (hold != INVALID_HANDLE_VALUE && !isOpenedInPlace(hold, folder)) {
        CloseHandle(hold);
        return INVALID_HANDLE_VALUE;
    }
    return hold;
}

// Holds `folder` in its place, or traces why it cannot.
static HANDLE holdVersionInPlace(const wchar_t* folder)
{
    const HANDLE hold = holdFolderInPlace(folder);
    if (hold == INVALID_HANDLE_VALUE) {
        traceStep(L"cache: %ls is missing, a link or not where it seems", folder);
    }
    return hold;
}

// Whether the tree below `folder` is exactly as its manifest lists it; the
// first difference traced when not.
static bool isAsListed(const wchar_t* folder)
{
    wchar_t difference[pathCapacity + 128] = L"";
    if (!matchesCacheManifest(folder, difference, pathCapacity + 128)) {
        traceStep(L"cache: %ls failed its check: %ls", folder, difference);
        return false;
    }
    traceStep(L"cache: %ls checked", folder);
    return true;
}

// Whether this start may run `folder` as its content's recheck left it: a
// version no recheck could prove runs for a few more starts, each taking
// one of its slots.
static bool isAdmittedByRecheck(const wchar_t* folder)
{
    const RecheckRecord record = readRecheckRecord(folder);
    if (record.state != RecheckState::unproven) {
        return true;
    }
    if (takeUnprovenStart(folder, record)) {
        traceStep(L"cache: %ls unproven by its last recheck; one of its %u more starts", folder, unprovenStartsAllowed);
        return true;
    }
    traceStep(L"cache: %ls unproven by its last recheck, and its %u more starts have run", folder,
              unprovenStartsAllowed);
    return false;
}

// Holds the version folder and checks it: in its place, its tree exactly
// as its manifest lists it, its content not unproven for long. The hold on
// success, INVALID_HANDLE_VALUE otherwise, with the reason traced.
static HANDLE holdVerifiedVersion(const wchar_t* folder)
{
    const HANDLE hold = holdVersionInPlace(folder);
    if (hold != INVALID_HANDLE_VALUE && !(isAsListed(folder) && isAdmittedByRecheck(folder))) {
        CloseHandle(hold);
        return INVALID_HANDLE_VALUE;
    }
    return hold;
}

// --- Elevation: an elevated process does not run what an unelevated one of
// the same user could have written.
static bool isElevated()
{
    TOKEN_ELEVATION elevation = {};
    // Cannot tell: the safe road.
    return !readProcessToken(TokenElevation, &elevation, sizeof elevation) || elevation.TokenIsElevated != 0;
}

// --- The start's road.
static wchar_t versionFolder[pathCapacity];
// <root>\<name>, held from the road's choice to the cleanup: nothing can
// put a link in its place while this start publishes or tidies below it.
// Written by chooseCacheRoad and releaseVersionsFolderHold.
static HANDLE volatile versionsHold = INVALID_HANDLE_VALUE;

// Makes <root>\<name> exist and holds it; false when it is a link or not
// where it seems (the folders above it may be links: users move their
// profiles that way).
static bool holdVersionsFolder()
{
    wchar_t versions[pathCapacity];
    if (!expandVersionsFolder(versions)) {
        return false;
    }
    ensureParentDirectories(versionFolder);
    const HANDLE hold = holdFolderInPlace(versions);
    exchangeHandle(versionsHold, hold);
    return hold != INVALID_HANDLE_VALUE;
}

void releaseVersionsFolderHold()
{
    const HANDLE hold = exchangeHandle(versionsHold, INVALID_HANDLE_VALUE);
    if (hold != INVALID_HANDLE_VALUE) {
        CloseHandle(hold);
    }
}

// Why a start with the cache takes the per-run road, or null when it need not.
static const wchar_t* findReasonForPerRun()
{
    if (isElevated()) {
        return L"elevated: it never runs what an unelevated process could have changed";
    }
    if (!expandVersionFolder(versionFolder)) {
        return L"the cache's folder cannot be expanded";
    }
    if (!holdVersionsFolder()) {
        return L"the cache's name folder is a link or not where it seems";
    }
    return nullptr;
}

CacheStart chooseCacheRoad(const CacheSettings& given)
{
    if (!useCacheSettings(given)) {
        traceStep(L"road: per run");
        return {CacheRoad::perRun, false};
    }
    if (const wchar_t* const reason = findReasonForPerRun()) {
        versionFolder[0] = L'\0';
        traceStep(L"road: per run, %ls", reason);
        return {CacheRoad::perRun, false};
    }
    const HANDLE hold = holdVersionInPlace(versionFolder);
    if (hold == INVALID_HANDLE_VALUE) {
        wchar_t longForm[longPathCapacity];
        const bool damaged =
            toLongPathForm(versionFolder, longForm) && GetFileAttributesW(longForm) != INVALID_FILE_ATTRIBUTES;
        traceStep(damaged ? L"road: repair %ls" : L"road: build %ls, the first start", versionFolder);
        return {CacheRoad::build, damaged};
    }
    adoptRunFolderHold(hold);
    traceStep(L"road: reuse %ls, once checked", versionFolder);
    return {CacheRoad::reuse, false};
}

bool checkReusedVersion()
{
    return isAsListed(versionFolder) && isAdmittedByRecheck(versionFolder);
}

CacheStart refuseReusedVersion()
{
    releaseRunFolderHold();
    traceStep(L"road: repair %ls", versionFolder);
    return {CacheRoad::build, true};
}

// "<id><infix><pid>-<random>" beside the version folder into `path`.
static void nameBesideVersion(wchar_t path[pathCapacity], const wchar_t* infix)
{
    wchar_t random[randomTextLength + 1];
    encodeRandomText(drawRandomSeed(), random);
    wchar_t name[96];
    swprintf(name, 96, L"%ls%ls%lu-%ls", settings.id, infix, static_cast<unsigned long>(GetCurrentProcessId()), random);
    wchar_t versions[pathCapacity];
    copyWideBounded(versions, pathCapacity, versionFolder, "the cache folder does not fit in 4096 characters");
    *findLastSeparator(versions) = L'\0';
    if (!joinPath(path, versions, name)) {
        stopProcess("a cache folder's name does not fit in 4096 characters");
    }
}

void nameStagingFolder(wchar_t staging[pathCapacity])
{
    // Only a start on the build road, which has its version's name, stages.
    assert(versionFolder[0] != L'\0');
    nameBesideVersion(staging, ONEFILE_WIDE(ONEFILE_CACHE_STAGING_INFIX));
}

// One rename, retried for a moment while something (a scanner) holds a new
// file; false at once when the destination exists.
static bool renameFolder(const wchar_t* from, const wchar_t* to)
{
    wchar_t source[longPathCapacity];
    wchar_t destination[longPathCapacity];
    if (!toLongPathForm(from, source) || !toLongPathForm(to, destination)) {
        return false;
    }
    for (DWORD attempt = 0; attempt < renameAttempts; ++attempt) {
        if (MoveFileExW(source, destination, 0)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_FILE_NOT_FOUND) {
            return false;
        }
        Sleep(renamePauseMilliseconds);
    }
    return false;
}

// Renames the damaged version folder to `aside`, through a handle on the
// folder itself: a name that is a link is never moved (Wine's rename by
// path would move what it leads to), and a folder in use cannot be opened
// for it. False when it stays.
static bool moveVersionAside(const wchar_t* aside)
{
    wchar_t longForm[longPathCapacity];
    if (!toLongPathForm(versionFolder, longForm)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(longForm);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    const HANDLE folder = CreateFileW(longForm, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool moved = isOpenedInPlace(folder, versionFolder) && renameOpenedEntry(folder, aside);
    CloseHandle(folder);
    return moved;
}

// Moves a damaged version aside, so the new one can take its name; it
// cannot while a running application holds it, nor when a link was planted
// at its name.
static bool setDamagedVersionAside(wchar_t aside[pathCapacity])
{
    nameBesideVersion(aside, ONEFILE_WIDE(ONEFILE_CACHE_OLD_INFIX));
    return moveVersionAside(aside);
}

HANDLE setDamagedVersionAsideForRepair(CacheStart& start, wchar_t aside[pathCapacity])
{
    assert(start.road == CacheRoad::build && start.versionDamaged);
    if (!setDamagedVersionAside(aside)) {
        traceStep(L"cache: the damaged %ls cannot be set aside (in use, gone or a link); the repair writes every file",
                  versionFolder);
        return INVALID_HANDLE_VALUE;
    }
    // Nothing is left at the version's name to move aside when publishing.
    start.versionDamaged = false;
    wchar_t payload[pathCapacity];
    const HANDLE hold = joinPayloadFolder(aside, payload) ? holdFolderInPlace(payload) : INVALID_HANDLE_VALUE;
    if (hold == INVALID_HANDLE_VALUE) {
        traceStep(L"cache: %ls cannot be held; the repair writes every file", aside);
        return hold;
    }
    copyWideBounded(aside, pathCapacity, payload, "a cache folder does not fit in 4096 characters");
    return hold;
}

PublishOutcome publishStagingFolder(const wchar_t* staging, const ContentHashes& hashes, const CacheStart& start)
{
    assert(start.road == CacheRoad::build);
    if (!writeCacheManifest(staging, hashes) || !writeFreshRecheckRecord(staging)) {
        traceStep(L"cache: the manifest or the recheck's record could not be written; the run goes on from %ls",
                  staging);
        return PublishOutcome::keptStaging;  // still held: the run goes on from it
    }
    // Windows refuses to rename a folder that is held open.
    releaseRunFolderHold();
    if (start.versionDamaged) {
        wchar_t aside[pathCapacity];
        setDamagedVersionAside(aside);
    }
    if (renameFolder(staging, versionFolder)) {
        const HANDLE hold = openDirectoryHold(versionFolder);
        if (hold == INVALID_HANDLE_VALUE) {
            fatalFileError("Error, couldn't hold the target directory open", versionFolder, GetLastError());
        }
        adoptRunFolderHold(hold);
        traceStep(L"cache: published %ls", versionFolder);
        return PublishOutcome::published;
    }
    // Another start published first: theirs, if it checks out.
    const HANDLE hold = holdVerifiedVersion(versionFolder);
    if (hold != INVALID_HANDLE_VALUE) {
        removeDirectoryTree(staging);
        adoptRunFolderHold(hold);
        traceStep(L"cache: another start published %ls first; its version is used", versionFolder);
        return PublishOutcome::foundPublished;
    }
    holdRunFolder(staging);
    traceStep(L"cache: could not publish; the run goes on from %ls", staging);
    return PublishOutcome::keptStaging;
}

const wchar_t* cacheVersionFolder()
{
    return versionFolder;
}

bool joinPayloadFolder(const wchar_t* version, wchar_t payload[pathCapacity])
{
    return joinPath(payload, version, ONEFILE_WIDE(ONEFILE_CACHE_PAYLOAD_NAME));
}

InheritedTarget takeInheritedCacheTarget(const CacheSettings& given, const wchar_t* parentId,
                                         wchar_t folder[pathCapacity])
{
    if (!useCacheSettings(given)) {
        return InheritedTarget::runFolder;  // a per-run executable reads nothing more
    }
    wchar_t* const target = getEnvVar(ONEFILE_VARIABLE_TARGET);
    if (target == nullptr) {
        return InheritedTarget::runFolder;
    }
    // It names the payload's folder of a version or staging folder.
    const size_t targetLength = wcslen(target);
    const size_t suffixLength = wcslen(L"\\" ONEFILE_WIDE(ONEFILE_CACHE_PAYLOAD_NAME));
    const bool inPayload = targetLength > suffixLength && wcscmp(target + targetLength - suffixLength,
                                                                 L"\\" ONEFILE_WIDE(ONEFILE_CACHE_PAYLOAD_NAME)) == 0;
    if (inPayload) {
        target[targetLength - suffixLength] = L'\0';
    }
    wchar_t expected[pathCapacity];
    InheritedTarget taken = InheritedTarget::refused;
    if (!isElevated() && expandVersionFolder(expected)) {
        wchar_t staging[pathCapacity];
        swprintf(staging, pathCapacity, L"%ls" ONEFILE_WIDE(ONEFILE_CACHE_STAGING_INFIX) L"%ls-", expected, parentId);
        const size_t stagingLength = wcslen(staging);
        if (!inPayload) {
            taken = InheritedTarget::refused;
        } else if (wcscmp(target, expected) == 0) {
            taken = InheritedTarget::sharedVersion;
        } else if (wcsncmp(target, staging, stagingLength) == 0 &&
                   consistsOf(target + stagingLength, randomTextLength, randomTextAlphabet)) {
            taken = InheritedTarget::stagingFolder;
        }
    }
    if (taken != InheritedTarget::refused && !joinPayloadFolder(target, folder)) {
        taken = InheritedTarget::refused;
    }
    if (taken != InheritedTarget::refused) {
        copyWideBounded(versionFolder, pathCapacity, expected, "the cache folder does not fit in 4096 characters");
    }
    free(target);
    return taken;
}

void markSharedVersionDamaged()
{
    // Held while the marker is made, so the name leads into the version
    // itself; a new name only, never written through one that exists.
    const HANDLE hold = holdFolderInPlace(versionFolder);
    if (hold != INVALID_HANDLE_VALUE && writeNewFile(versionFolder, ONEFILE_WIDE(ONEFILE_CACHE_DAMAGED_NAME), "", 0)) {
        traceStep(L"cache: %ls marked damaged", versionFolder);
    }
    if (hold != INVALID_HANDLE_VALUE) {
        CloseHandle(hold);
    }
}

bool holdCacheForUpkeep(const CacheSettings& given)
{
    return useCacheSettings(given) && !isElevated() && expandVersionFolder(versionFolder) && holdVersionsFolder();
}
