// What the shared cache's files share (cache.cpp, cache_manifest.cpp,
// cache_upkeep.cpp); the rest of the bootstrap sees run_folder.h only.
#pragma once

#include "run_folder.h"

// Whether the executable was packed with --cache.
bool isCacheEnabled();
// <root>\<name>, the folder of every version of this executable's name.
bool expandVersionsFolder(wchar_t output[pathCapacity]);
// Holds `folder` when it is a directory (no link) in its place: not one a
// link on the way or at its name leads to. INVALID_HANDLE_VALUE otherwise.
HANDLE holdFolderInPlace(const wchar_t* folder);
// Whether the executable rechecks the content of a reused version in the
// background (1 unless it was built with --no-cache-recheck).
extern "C" const unsigned char onefileCacheRecheck;

// --- The manifest (cache_manifest.cpp).
// Describes the tree below `folder` and writes the manifest into it, new,
// with the recorded hashes; false when a file the listing found has none.
bool writeCacheManifest(const wchar_t* folder);
// The manifest of `folder`, whole, or null; to be freed.
wchar_t* readCacheManifest(const wchar_t* folder);
// The publish time a manifest states, or 0.
uint64_t manifestPublishTime(const wchar_t* manifest);
// Whether the tree below `folder` is exactly what its manifest lists; when
// not, and the trace is on, the first difference into `difference`. A
// manifest of an older format never matches.
bool matchesCacheManifest(const wchar_t* folder, wchar_t* difference, size_t capacity);
// The content hashes' lines of `manifest` (its end when it has none).
const wchar_t* findContentHashes(const wchar_t* manifest);
// Reads the hash line at `cursor` and moves it to the next line; false
// when the line is not one.
bool readContentHashLine(const wchar_t*& cursor, uint64_t& contentHash, wchar_t name[pathCapacity]);

// --- The content's recheck (cache_content.cpp).
// Re-reads every file of the version folder, held, and compares each
// file's hash with its manifest's; marks
// the version damaged when one differs. Looks at `*stop` between reads. A
// version published at `publishedBefore` or later (a system time) was
// hashed as it was unpacked, and is not read again.
void recheckVersionContent(const volatile LONG* stop, uint64_t publishedBefore);

// For the upkeep without a start: holds the cache's name folder when it is
// in place and this process is not elevated; false otherwise.
bool holdCacheForUpkeep();
