// The shared version's content, rechecked in the background. The check at
// every start compares listings only (names, sizes, write times), which a
// file changed in place with its size and time kept passes: a disk fault,
// a crashed writer, a tool that restores times. This step re-reads the
// version's files at idle priority and compares each with the hash its
// manifest got while it was unpacked; a file that differs marks the
// version damaged, and the next start repairs it before running anything.
// It only reads: two starts rechecking at once do not meet.
#include "cache_internal.h"

#include <stdlib.h>

// zstd's own copy of xxHash, its functions prefixed ZSTD_.
#define XXH_STATIC_LINKING_ONLY
#include <common/xxhash.h>

enum : DWORD { recheckChunkBytes = 1u << 20 };

enum class FileContent {
    same,
    differs,
    unread,  // gone, held without sharing, or the recheck was stopped: no proof either way
};

static FileContent compareFileContent(const wchar_t* path, uint64_t expected, unsigned char* buffer,
                                      const volatile LONG* stop)
{
    wchar_t longForm[longPathCapacity];
    const HANDLE file =
        toLongPathForm(path, longForm)
            ? CreateFileW(longForm, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)
            : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        return FileContent::unread;
    }
    XXH64_state_t hash;
    XXH64_reset(&hash, 0);
    DWORD read = 0;
    bool reading = true;
    while ((reading = *stop == 0 && ReadFile(file, buffer, recheckChunkBytes, &read, nullptr)) && read > 0) {
        XXH64_update(&hash, buffer, read);
    }
    CloseHandle(file);
    if (!reading) {
        return FileContent::unread;
    }
    return XXH64_digest(&hash) == expected ? FileContent::same : FileContent::differs;
}

// Compares every file the manifest has a hash of; the first that differs
// into `differing`.
static FileContent compareVersionContent(const wchar_t* folder, const wchar_t* manifest, const volatile LONG* stop,
                                         wchar_t differing[pathCapacity])
{
    unsigned char* const buffer = static_cast<unsigned char*>(malloc(recheckChunkBytes));
    FileContent content = buffer != nullptr ? FileContent::same : FileContent::unread;
    uint64_t expected = 0;
    wchar_t name[pathCapacity];
    for (const wchar_t* cursor = findContentHashes(manifest); content != FileContent::differs && *stop == 0 &&
                                                              *cursor != L'\0' &&
                                                              readContentHashLine(cursor, expected, name);) {
        if (joinPath(differing, folder, name)) {
            const FileContent file = compareFileContent(differing, expected, buffer, stop);
            content = file == FileContent::same ? content : file;
        }
    }
    free(buffer);
    return content;
}

void recheckVersionContent(const volatile LONG* stop, uint64_t publishedBefore)
{
    const wchar_t* const folder = cacheVersionFolder();
    // Held, so no start can move it aside meanwhile. Its listing is left to
    // the next start's check: a file gone or added proves nothing here.
    const HANDLE hold = holdFolderInPlace(folder);
    if (hold == INVALID_HANDLE_VALUE) {
        traceStep(L"cache: content not rechecked, %ls is missing, a link or not where it seems", folder);
        return;
    }
    wchar_t* const manifest = readCacheManifest(folder);
    if (manifestPublishTime(manifest) >= publishedBefore) {
        traceStep(L"cache: %ls was hashed as it was unpacked, after this run began", folder);
        free(manifest);
        CloseHandle(hold);
        return;
    }
    wchar_t differing[pathCapacity] = L"";
    const FileContent content =
        manifest != nullptr ? compareVersionContent(folder, manifest, stop, differing) : FileContent::unread;
    free(manifest);
    if (content == FileContent::differs) {
        traceStep(L"cache: %ls differs from the hash in its manifest", differing);
        markSharedVersionDamaged();
    } else {
        traceStep(content == FileContent::same ? L"cache: content of %ls rechecked, the same"
                                               : L"cache: content of %ls not wholly rechecked",
                  folder);
    }
    CloseHandle(hold);
}
