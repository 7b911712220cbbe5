#include "attached_data.h"
#include "record_names.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// zstd's own copy of xxHash, its functions prefixed ZSTD_.
#define XXH_STATIC_LINKING_ONLY
#include <common/xxhash.h>

unsigned char copyBuffer[copyBufferSize];
wchar_t firstFilePath[pathCapacity];
// The file a record's data is being written to, so a stop in the middle of
// it can close it first: an open file cannot be removed by the cleanup.
static HANDLE volatile fileBeingWritten = INVALID_HANDLE_VALUE;

void closeFileBeingWritten()
{
    const HANDLE file = exchangeHandle(fileBeingWritten, INVALID_HANDLE_VALUE);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

// Reads one record name; false for the end record. A name that overflows its
// buffer or could leave the target directory is damage, reported before
// anything of its record is written.
static bool readRecordName(wchar_t name[recordNameCapacity])
{
    size_t length = 0;
    for (;;) {
        uint16_t unit;
        readAttachedData(&unit, sizeof unit);
        name[length] = static_cast<wchar_t>(unit);
        if (unit == 0) {
            break;
        }
        if (++length == recordNameCapacity) {
            failDecoding("a record name is too long");
        }
    }
    if (length == 0) {
        return false;
    }
    const RecordNameProblem problem = findRecordNameProblem(name, length);
    if (problem != RecordNameProblem::none) {
        char reason[160];
        snprintf(reason, sizeof reason, "a record name with %s", describeRecordNameProblem(problem));
        failDecoding(reason);
    }
    return true;
}

// Creates the directories of a record's path below the target. Each one is
// new and the run's own: a name that exists and was not made by this run
// (planted while the run writes, perhaps as a link) stops the run.
static void createRecordDirectories(wchar_t* filePath, size_t folderLength)
{
    for (wchar_t* c = filePath + folderLength + 1; *c != L'\0'; ++c) {
        if (*c != L'\\') {
            continue;
        }
        *c = L'\0';
        if (!isHeldDirectory(filePath) && !createHeldDirectory(filePath)) {
            fatalFileError("Error, couldn't create a new directory", filePath, GetLastError());
        }
        *c = L'\\';
    }
}

// The console handler's thread asks the main thread to stop writing: it
// finishes the chunk at hand, closes its file and parks, so that the
// cleanup which follows finds every file of the target closed.
static volatile LONG stopRequested;
static volatile bool extracting;
static DWORD extractingThread;
static HANDLE extractionParked;

static void parkIfStopRequested()
{
    if (stopRequested == 0) {
        return;
    }
    closeFileBeingWritten();
    SetEvent(extractionParked);
    for (;;) {
        Sleep(INFINITE);  // the handler's cleanup ends the process
    }
}

void stopExtraction()
{
    enum : DWORD { parkBudgetMilliseconds = 2000 };
    if (!extracting) {
        return;
    }
    if (GetCurrentThreadId() != extractingThread) {
        InterlockedExchange(&stopRequested, 1);
        // Past the budget the removal goes ahead; what is still open stays.
        if (WaitForSingleObject(extractionParked, parkBudgetMilliseconds) != WAIT_OBJECT_0) {
            return;
        }
    }
    releaseHeldDirectories();
}

// Writes all of `count` bytes: a short write is continued, so that the
// system names the real cause (a full disk) in the failure that follows.
static bool writeAll(HANDLE file, const unsigned char* bytes, DWORD count)
{
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(file, bytes, count, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

static void (*extractionProgress)(uint64_t decoded);

void setExtractionProgress(void (*report)(uint64_t decoded))
{
    extractionProgress = report;
}

static void addContentHash(ContentHashes& hashes, const wchar_t* name, uint64_t hash)
{
    if (hashes.failed) {
        return;
    }
    if (!reserveOneMore(hashes.items, hashes.count, hashes.capacity)) {
        hashes.failed = true;
        return;
    }
    wchar_t* const copy = _wcsdup(name);
    hashes.failed = copy == nullptr;
    if (copy != nullptr) {
        hashes.items[hashes.count++] = {copy, hash};
    }
}

void freeContentHashes(ContentHashes& hashes)
{
    for (size_t i = 0; i < hashes.count; ++i) {
        free(hashes.items[i].name);
    }
    free(hashes.items);
    hashes = ContentHashes{};
}

static void reportProgress()
{
    if (extractionProgress != nullptr) {
        extractionProgress(AttachedDataReader.decoded);
    }
}

// Every write and the close are checked: a short write or a failure the
// system reports only at the close would otherwise leave a truncated file.
// The file is closed before the stop, so the cleanup can remove it.
static void writeRecordData(const wchar_t* filePath, const wchar_t* name, uint64_t size, ContentHashes* hashes)
{
    XXH64_state_t hash;
    XXH64_reset(&hash, 0);
    wchar_t longForm[longPathCapacity];
    const wchar_t* const opened = toLongPathForm(filePath, longForm) ? longForm : filePath;
    // Never an existing file: CREATE_NEW refuses whatever has the name, a
    // link or a hard link among it, instead of writing through it.
    const HANDLE file = CreateFileW(opened, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fatalFileError("Error, couldn't open for writing", filePath, GetLastError());
    }
    fileBeingWritten = file;
    DWORD error = ERROR_SUCCESS;
    while (size > 0 && error == ERROR_SUCCESS) {
        parkIfStopRequested();
        const DWORD chunk = size < copyBufferSize ? static_cast<DWORD>(size) : static_cast<DWORD>(copyBufferSize);
        readAttachedData(copyBuffer, chunk);
        error = writeAll(file, copyBuffer, chunk) ? ERROR_SUCCESS : GetLastError();
        if (hashes != nullptr) {
            XXH64_update(&hash, copyBuffer, chunk);
        }
        size -= chunk;
        reportProgress();
    }
    fileBeingWritten = INVALID_HANDLE_VALUE;
    if (!CloseHandle(file) && error == ERROR_SUCCESS) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        fatalFileError("Error, couldn't unpack file to target path", filePath, error);
    }
    if (hashes != nullptr) {
        addContentHash(*hashes, name, XXH64_digest(&hash));
    }
}

static void beginExtraction()
{
    extractionParked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (extractionParked == nullptr) {
        fatalSystemError("Error, couldn't allocate memory.", GetLastError());
    }
    extractingThread = GetCurrentThreadId();
    extracting = true;
}

// A stop asked for after the last check finds no extraction, or wakes to
// find the directories already let go.
static void endExtraction()
{
    extracting = false;
    releaseHeldDirectories();
    SetEvent(extractionParked);
}

// `folder`\`name` into `filePath`.
static void placeInFolder(wchar_t filePath[pathCapacity], const wchar_t* folder, const wchar_t* name)
{
    const char* const tooLong = "a file path of the attached data does not fit in 4096 characters";
    copyWideBounded(filePath, pathCapacity, folder, tooLong);
    appendWideBounded(filePath, pathCapacity, L"\\", tooLong);
    appendWideBounded(filePath, pathCapacity, name, tooLong);
}

bool extractAttachedFiles(const wchar_t* folder, ContentHashes* hashes)
{
    const size_t folderLength = wcslen(folder);
    wchar_t name[recordNameCapacity];
    wchar_t filePath[pathCapacity];
    beginExtraction();
    while (readRecordName(name)) {
        placeInFolder(filePath, folder, name);
        if (firstFilePath[0] == L'\0') {
            copyWideBounded(firstFilePath, pathCapacity, filePath, "a file path does not fit in 4096 characters");
        }
        uint64_t size;
        readAttachedData(&size, sizeof size);
        parkIfStopRequested();
        createRecordDirectories(filePath, folderLength);
        writeRecordData(filePath, name, size, hashes);
    }
    finishAttachedData();
    reportProgress();
    closeAttachedDataReader();
    endExtraction();
    return firstFilePath[0] != L'\0';
}

bool readApplicationName(wchar_t name[recordNameCapacity])
{
    return readRecordName(name);
}
