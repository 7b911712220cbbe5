// What the shared cache's files share (cache.cpp, cache_manifest.cpp,
// cache_upkeep.cpp); the rest of the bootstrap sees run_folder.h only.
#pragma once

#include "run_folder.h"

// Whether the executable was packed with --cache.
bool isCacheEnabled();
// <root>\<name>, the folder of every version of this executable's name.
bool expandVersionsFolder(wchar_t output[pathCapacity]);

// --- The manifest (cache_manifest.cpp).
// Describes the tree below `folder` and writes the manifest into it, new.
bool writeCacheManifest(const wchar_t* folder);
// The manifest of `folder`, whole, or null; to be freed.
wchar_t* readCacheManifest(const wchar_t* folder);
// The publish time a manifest states, or 0.
uint64_t manifestPublishTime(const wchar_t* manifest);
// Whether the tree below `folder` is exactly what its manifest lists; when
// not, and the trace is on, the first difference into `difference`.
bool matchesCacheManifest(const wchar_t* folder, wchar_t* difference, size_t capacity);

// For the upkeep without a start: holds the cache's name folder when it is
// in place and this process is not elevated; false otherwise.
bool holdCacheForUpkeep();
