// What the shared cache's files share (cache.cpp, manifest.cpp,
// content.cpp, record.cpp, upkeep.cpp) and its unit tests reach; the rest
// of the bootstrap sees cache.h only.
#pragma once

#include "cache.h"

// The settings this process's use of the cache began with (empty texts
// before, and without the cache).
const CacheSettings& cacheSettings();
// <root>\<name>, the folder of every version of this executable's name.
bool expandVersionsFolder(wchar_t output[pathCapacity]);
// Holds `folder` when it is a directory (no link) in its place: not one a
// link on the way or at its name leads to. INVALID_HANDLE_VALUE otherwise.
HANDLE holdFolderInPlace(const wchar_t* folder);

// --- The manifest (manifest.cpp).
// Describes the payload below the version `folder` and writes the manifest
// into the version, new, with the hashes the extraction recorded; false
// when a file the listing found has none.
bool writeCacheManifest(const wchar_t* folder, const ContentHashes& hashes);
// The manifest of `folder`, whole, or null; to be freed.
wchar_t* readCacheManifest(const wchar_t* folder);
// The publish time a manifest states, or 0.
uint64_t manifestPublishTime(const wchar_t* manifest);
// The manifest's text for a tree `description` with the content `hashes`
// (sorted lines each), published at `publishTime`; null when it would not
// be whole (a file listed without its hash, a hash of a file not listed)
// or memory runs out. To be freed.
wchar_t* composeCacheManifest(uint64_t publishTime, const wchar_t* description, const wchar_t* hashes);
// How a manifest (null: none could be read) compares with a tree's
// `description` (null: the tree holds a reparse point or cannot be
// listed); what differs first into `difference`.
enum class ManifestMatch { matches, notOurs, olderFormat, notWhole, differs };
ManifestMatch compareCacheManifest(const wchar_t* manifest, const wchar_t* description, wchar_t* difference,
                                   size_t capacity);
// Whether the payload below the version `folder` is exactly what its
// manifest lists, and nothing but the cache's own files lies beside it;
// when not, the first difference into `difference`. A manifest of an
// older format never matches.
bool matchesCacheManifest(const wchar_t* folder, wchar_t* difference, size_t capacity);
// The content hashes' lines of `manifest` (its end when it has none).
const wchar_t* findContentHashes(const wchar_t* manifest);
// Reads the hash line at `cursor` and moves it to the next line; false
// when the line is not one.
bool readContentHashLine(const wchar_t*& cursor, uint64_t& contentHash, wchar_t name[pathCapacity]);

// --- The content's recheck (content.cpp).
enum class RecheckResult { same, differs, unread, stopped };
// One file's content against its recorded hash, read through `buffer`
// (recheckChunkBytes): a file gone, held without sharing or failing a read
// is unread, which proves nothing either way; `*stop` set ends the read.
enum : unsigned long { recheckChunkBytes = 1ul << 20 };
RecheckResult recheckFileContent(const wchar_t* path, uint64_t expected, unsigned char* buffer,
                                 const volatile LONG* stop);
// The version's result so far after one more file's.
RecheckResult foldRecheckResult(RecheckResult sofar, RecheckResult file);
// Re-reads every file of the version folder, held, and compares each
// file's hash with its manifest's; marks the version damaged when one
// differs. Looks at `*stop` between reads. A version published at
// `publishedBefore` or later (a system time) was hashed as it was
// unpacked, and is not read again.
void recheckVersionContent(const volatile LONG* stop, uint64_t publishedBefore);

// A file of the description with no hash line, a file hashed twice, a
// line cut short or text after the hashes: the manifest is not whole, and
// the version is not ours to run.
bool isWholeManifest(const wchar_t* manifest);

// --- The record of the content's recheck (record.cpp).
enum class RecheckState {
    none,      // no recheck since the version was built (and hashed)
    passed,    // the last complete recheck proved every file, at `time`
    unproven,  // a recheck could not read a file; `used` starts have run it since
};
// How many starts run a version after a recheck could not prove it.
enum : unsigned { unprovenStartsAllowed = 2 };
struct RecheckRecord {
    RecheckState state;
    uint64_t time;  // a system time, for passed
    unsigned used;  // for unproven, at most unprovenStartsAllowed
};
// A record that is missing (every version is published with one) or
// cannot be read proves nothing and leaves no start: someone removed or
// wrote it.
static const RecheckRecord spentRecord = {RecheckState::unproven, 0, unprovenStartsAllowed};
// After a passed recheck, the content is not read again for this long: a
// tool started a thousand times rereads its version once in that time.
static const uint64_t recheckWindow = 10ull * 60 * 10000000;  // 10 minutes, in FILETIME units
// Whether a recheck is due: never proven, unproven, or proven longer ago
// than the window.
bool isRecheckDue(RecheckRecord record, uint64_t now);
RecheckRecord parseRecheckRecord(const char* text, size_t length);
RecheckRecord recordAfterRecheck(RecheckRecord before, RecheckResult result, uint64_t now);
RecheckRecord readRecheckRecord(const wchar_t* version);
// Whether the recheck of `version` is due now, by its record.
bool isVersionRecheckDue(const wchar_t* version);
// Best effort: a record that cannot be written leaves the old one.
void writeRecheckRecord(const wchar_t* version, RecheckRecord record);
// The empty record a staging folder is published with; false when it
// cannot be made.
bool writeFreshRecheckRecord(const wchar_t* staging);
// Lets one more start run a version its last recheck left unproven: one
// of the slots, made new (two starts at once cannot share one), and one
// more start counted in the record; false when no start is left.
bool takeUnprovenStart(const wchar_t* version, RecheckRecord record);
void freeUnprovenStartSlots(const wchar_t* version);

// For the upkeep without a start: holds the cache's name folder when it is
// in place and this process is not elevated; false otherwise.
bool holdCacheForUpkeep(const CacheSettings& settings);
