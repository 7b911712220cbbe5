// The shared version's content, rechecked in the background. The check at
// every start compares listings only (names, sizes, write times), which a
// file changed in place with its size and time kept passes: a disk fault,
// a crashed writer, a tool that restores times. This step re-reads the
// version's files at idle priority and compares each with the hash its
// manifest got while it was unpacked; a file that differs marks the
// version damaged, and the next start repairs it before running anything.
// It only reads the content: two starts rechecking at once do not meet.
// What it found goes into the version's recheck record (record.cpp):
// a file it could not read leaves the version unproven, and only a few
// more starts run it.
#include "cache_internal.h"

#include <assert.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

using FileContent = RecheckResult;

FileContent recheckFileContent(const wchar_t* path, uint64_t expected, unsigned char* buffer, const volatile LONG* stop)
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
    uint64_t hash = 0;
    const bool read = hashOpenedFile(file, buffer, recheckChunkBytes, stop, hash);
    CloseHandle(file);
    if (!read) {
        return *stop != 0 ? FileContent::stopped : FileContent::unread;
    }
    return hash == expected ? FileContent::same : FileContent::differs;
}

RecheckResult foldRecheckResult(RecheckResult sofar, RecheckResult file)
{
    // The recheck ends at the first file that differs or at a stop.
    assert(sofar != RecheckResult::differs && sofar != RecheckResult::stopped);
    // An unread file does not end the recheck: a later one that differs is
    // still found. A stop keeps what an unread file showed.
    if (file == RecheckResult::differs || sofar == RecheckResult::same) {
        return file;
    }
    return sofar;
}

// Compares every file of a whole manifest with its hash; the first that
// differs, or the first that could not be read, into `named`. A manifest
// that is not whole differs: a file without its hash line is never proven.
static FileContent compareVersionContent(const wchar_t* folder, const wchar_t* manifest, const volatile LONG* stop,
                                         wchar_t named[pathCapacity])
{
    if (!isWholeManifest(manifest)) {
        swprintf(named, pathCapacity, L"%ls's manifest (not whole)", folder);
        return FileContent::differs;
    }
    unsigned char* const buffer = static_cast<unsigned char*>(malloc(recheckChunkBytes));
    if (buffer == nullptr) {
        return FileContent::unread;
    }
    FileContent content = FileContent::same;
    uint64_t expected = 0;
    wchar_t name[pathCapacity];
    wchar_t path[pathCapacity];
    wchar_t payload[pathCapacity];
    const bool placed = joinPayloadFolder(folder, payload);
    for (const wchar_t* cursor = findContentHashes(manifest);
         content != FileContent::differs && *cursor != L'\0' && readContentHashLine(cursor, expected, name);) {
        const FileContent file = placed && joinPath(path, payload, name)
                                     ? recheckFileContent(path, expected, buffer, stop)
                                     : FileContent::unread;
        if (file != FileContent::same && content == FileContent::same) {
            copyWideBounded(named, pathCapacity, path, "a cache path does not fit in 4096 characters");
        }
        content = foldRecheckResult(content, file);
        if (file == FileContent::stopped) {
            break;
        }
    }
    free(buffer);
    return content;
}

// The recheck's finding, traced and kept in the version's record.
static void recordRecheck(const wchar_t* folder, FileContent content, const wchar_t* named)
{
    const RecheckRecord before = readRecheckRecord(folder);
    const RecheckRecord after = recordAfterRecheck(before, content, readSystemTime());
    switch (content) {
    case FileContent::differs:
        traceStep(L"cache: %ls differs from the hash in its manifest", named);
        markSharedVersionDamaged();
        return;
    case FileContent::stopped:
        traceStep(L"cache: content of %ls not wholly rechecked (stopped)", folder);
        return;
    case FileContent::unread:
        traceStep(L"cache: content of %ls not proven: %ls could not be read; at most %u more starts run it", folder,
                  named, unprovenStartsAllowed);
        break;
    case FileContent::same:
        traceStep(L"cache: content of %ls rechecked, the same", folder);
        freeUnprovenStartSlots(folder);
        break;
    }
    if (after.state != before.state || after.time != before.time || after.used != before.used) {
        writeRecheckRecord(folder, after);
    }
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
    if (!isVersionRecheckDue(folder)) {
        traceStep(L"cache: content of %ls rechecked lately; not read again yet", folder);
        CloseHandle(hold);
        return;
    }
    wchar_t* const manifest = readCacheManifest(folder);
    if (manifestPublishTime(manifest) >= publishedBefore) {
        traceStep(L"cache: %ls was hashed as it was unpacked, after this run began", folder);
        free(manifest);
        CloseHandle(hold);
        return;
    }
    wchar_t named[pathCapacity] = L"";
    wcscpy(named, L"its manifest");
    const FileContent content =
        manifest != nullptr ? compareVersionContent(folder, manifest, stop, named) : FileContent::unread;
    free(manifest);
    recordRecheck(folder, content, named);
    CloseHandle(hold);
}
