#include "attached_data.h"
#include "record_names.h"
#include "paths/test_holds.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// zstd's own copy of xxHash, its functions prefixed ZSTD_.
#define XXH_STATIC_LINKING_ONLY
#include <common/xxhash.h>

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
        extractionProgress(attachedDataDecoded());
    }
}

// The extraction's own state, the caller's thread's.
struct Extraction {
    ExtractionRequest request;
    ExtractionOutcome outcome;
    // With an earlier copy: a buffer to compare in, and the system's name of
    // its folder.
    unsigned char* compared;
    wchar_t earlierName[pathCapacity];
};

bool mayTakeEarlierFile(const EarlierFileFacts& facts, uint64_t size)
{
    return !(facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) && facts.links == 1 &&
           facts.size == size;
}

// What mayTakeEarlierFile asks of an open file. (Not through
// GetFileInformationByHandle: for the volume's serial number, Wine spends
// half a millisecond on each call.)
static bool readEarlierFileFacts(HANDLE file, EarlierFileFacts& facts)
{
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return false;
    }
    facts = {basic.FileAttributes, standard.NumberOfLinks, static_cast<uint64_t>(standard.EndOfFile.QuadPart)};
    return true;
}

// A file of the earlier copy that may be taken for a record of `size`
// bytes: a plain file with one name, exactly that size, at `name` below the
// held folder with no link on the way; opened so that nobody else writes,
// deletes or renames it while it is compared and moved.
static HANDLE openEarlierFile(const Extraction& x, const wchar_t* name, uint64_t size)
{
    wchar_t path[pathCapacity];
    wchar_t longForm[longPathCapacity];
    if (!joinPath(path, x.request.earlierCopy, name) || !toLongPathForm(path, longForm)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE file = CreateFileW(longForm, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return file;
    }
    EarlierFileFacts facts;
    const bool fits = readEarlierFileFacts(file, facts) && mayTakeEarlierFile(facts, size) &&
                      isOpenedBelow(file, x.earlierName, name);
    if (!fits) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Whether the next `count` bytes of `file` are `bytes`.
static bool readsAs(HANDLE file, const unsigned char* bytes, size_t count, unsigned char* buffer)
{
    size_t done = 0;
    while (done < count) {
        DWORD read = 0;
        if (!ReadFile(file, buffer + done, static_cast<DWORD>(count - done), &read, nullptr) || read == 0) {
            return false;
        }
        done += read;
    }
    return memcmp(buffer, bytes, count) == 0;
}

// Copies the first `count` bytes of `from` into `to`: what of an earlier
// file was found equal to its record, hashed into `copied`. An error code,
// or ERROR_SUCCESS.
static DWORD copyEqualStart(HANDLE from, HANDLE to, uint64_t count, unsigned char* buffer, XXH64_state_t& copied)
{
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(from, start, nullptr, FILE_BEGIN)) {
        return GetLastError();
    }
    while (count > 0) {
        const DWORD want = count < pieceSize ? static_cast<DWORD>(count) : static_cast<DWORD>(pieceSize);
        DWORD read = 0;
        if (!ReadFile(from, buffer, want, &read, nullptr)) {
            return GetLastError();
        }
        if (read == 0) {
            return ERROR_HANDLE_EOF;
        }
        if (!writeAll(to, buffer, read)) {
            return GetLastError();
        }
        XXH64_update(&copied, buffer, read);
        count -= read;
    }
    return ERROR_SUCCESS;
}

bool hashOpenedFile(HANDLE file, unsigned char* buffer, DWORD capacity, const volatile LONG* stop, uint64_t& hash)
{
    LARGE_INTEGER start = {};
    bool reading = SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    XXH64_state_t state;
    XXH64_reset(&state, 0);
    DWORD read = 0;
    while (reading && (reading = (stop == nullptr || *stop == 0) && ReadFile(file, buffer, capacity, &read, nullptr)) &&
           read > 0) {
        XXH64_update(&state, buffer, read);
    }
    hash = XXH64_digest(&state);
    return reading;
}

// Never an existing file: CREATE_NEW refuses whatever has the name, a link
// or a hard link among it, instead of writing through it.
static HANDLE createRecordFile(const wchar_t* filePath)
{
    wchar_t longForm[longPathCapacity];
    const wchar_t* const opened = toLongPathForm(filePath, longForm) ? longForm : filePath;
    const HANDLE file = CreateFileW(opened, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fatalFileError("Error, couldn't open for writing", filePath, GetLastError());
    }
    fileBeingWritten = file;
    return file;
}

// Moves the earlier file, found equal to its record, to `filePath` through
// its handle, and keeps it there only while it still has one name, read
// again once moved: a hard link made while it was compared would publish
// a file with a name outside the folder. A file that gained names goes
// back where it was; false then, and when it cannot be moved.
static bool takeEarlierFile(const Extraction& x, HANDLE earlier, const wchar_t* filePath, const wchar_t* name)
{
    reachTestPoint("ONEFILE_TEST_HOLD_TAKE", L"-reached", true);
    if (!renameOpenedEntry(earlier, filePath)) {
        return false;
    }
    EarlierFileFacts facts;
    if (readEarlierFileFacts(earlier, facts) && facts.links == 1) {
        return true;
    }
    wchar_t back[pathCapacity];
    if (!joinPath(back, x.request.earlierCopy, name) || !renameOpenedEntry(earlier, back)) {
        fatalFileError("Error, a file taken from the damaged version gained a name", filePath, ERROR_TOO_MANY_LINKS);
    }
    traceStep(L"cache: %ls gained a name while it was taken; written anew", filePath);
    return false;
}

// Writes one record's data to `filePath`, from the frame as it decodes;
// with an earlier file of the same size, compared byte for byte instead
// while they agree: taken as it is when they always do, else the equal
// start copied from it and the rest written. What is copied from an
// earlier file must hash as the frame does: a host process, which ignores
// the hold's sharing, may have written it meanwhile. Every write and the
// close are checked: a short write or a failure the system reports only at
// the close would otherwise leave a truncated file. The file is closed
// before the stop, so the cleanup can remove it. The record's hash, when
// `hashed` or an earlier file is compared (else 0).
static uint64_t writeRecordData(Extraction& x, const wchar_t* filePath, const wchar_t* name, uint64_t size, bool hashed)
{
    const HANDLE earlier = x.compared != nullptr ? openEarlierFile(x, name, size) : INVALID_HANDLE_VALUE;
    hashed = hashed || earlier != INVALID_HANDLE_VALUE;
    XXH64_state_t frame;
    XXH64_state_t written;
    XXH64_reset(&frame, 0);
    XXH64_reset(&written, 0);
    HANDLE file = earlier == INVALID_HANDLE_VALUE ? createRecordFile(filePath) : INVALID_HANDLE_VALUE;
    uint64_t equal = 0;
    DWORD error = ERROR_SUCCESS;
    for (uint64_t left = size; left > 0 && error == ERROR_SUCCESS;) {
        parkIfStopRequested();
        size_t count = 0;
        const unsigned char* const bytes =
            takeAttachedData(left < pieceSize ? static_cast<size_t>(left) : pieceSize, count);
        if (hashed) {
            XXH64_update(&frame, bytes, count);
        }
        if (file == INVALID_HANDLE_VALUE && readsAs(earlier, bytes, count, x.compared)) {
            equal += count;
        } else {
            if (file == INVALID_HANDLE_VALUE) {
                file = createRecordFile(filePath);
                error = copyEqualStart(earlier, file, equal, x.compared, written);
            }
            if (error == ERROR_SUCCESS && !writeAll(file, bytes, static_cast<DWORD>(count))) {
                error = GetLastError();
            }
            // Only a file that took bytes from an earlier one is checked.
            if (earlier != INVALID_HANDLE_VALUE) {
                XXH64_update(&written, bytes, count);
            }
        }
        left -= count;
        reportProgress();
    }
    if (file == INVALID_HANDLE_VALUE && takeEarlierFile(x, earlier, filePath, name)) {
        ++x.outcome.moved;
    } else {
        if (file == INVALID_HANDLE_VALUE) {
            // Equal throughout but not to be moved: copied from the file held.
            file = createRecordFile(filePath);
            error = copyEqualStart(earlier, file, size, x.compared, written);
        }
        fileBeingWritten = INVALID_HANDLE_VALUE;
        if (!CloseHandle(file) && error == ERROR_SUCCESS) {
            error = GetLastError();
        }
        if (error == ERROR_SUCCESS && earlier != INVALID_HANDLE_VALUE &&
            XXH64_digest(&written) != XXH64_digest(&frame)) {
            fatalFileError("Error, a file taken from the damaged version changed while it was read", filePath,
                           ERROR_CRC);
        }
        ++x.outcome.written;
    }
    if (earlier != INVALID_HANDLE_VALUE) {
        CloseHandle(earlier);
    }
    if (error != ERROR_SUCCESS) {
        fatalFileError("Error, couldn't unpack file to target path", filePath, error);
    }
    return hashed ? XXH64_digest(&frame) : 0;
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

ExtractionOutcome extractAttachedFiles(const ExtractionRequest& request)
{
    Extraction x = {request, {}, nullptr, L""};
    // Without memory to compare in, or the folder's name, every file is written.
    if (request.earlierCopy != nullptr && request.earlierCopyHold != INVALID_HANDLE_VALUE &&
        readOpenedName(request.earlierCopyHold, x.earlierName)) {
        x.compared = static_cast<unsigned char*>(malloc(pieceSize));
    }
    DWORD_PTR processors = 0;
    DWORD_PTR system = 0;
    if (!request.oneThread && GetProcessAffinityMask(GetCurrentProcess(), &processors, &system) &&
        decodingAheadPays(processors)) {
        decodeAttachedDataAhead();
    }
    const size_t folderLength = wcslen(request.folder);
    wchar_t name[recordNameCapacity];
    wchar_t filePath[pathCapacity];
    beginExtraction();
    for (bool entry = true; readRecordName(name); entry = false) {
        placeInFolder(filePath, request.folder, name);
        if (entry) {
            copyWideBounded(firstFilePath, pathCapacity, filePath, "a file path does not fit in 4096 characters");
            x.outcome.anyFile = true;
        }
        uint64_t size;
        readAttachedData(&size, sizeof size);
        parkIfStopRequested();
        createRecordDirectories(filePath, folderLength);
        // The entry's hash proves the DLL the start holds before its load.
        const uint64_t hash = writeRecordData(x, filePath, name, size, entry || request.hashes != nullptr);
        if (entry) {
            x.outcome.entryHash = hash;
        }
        if (request.hashes != nullptr) {
            addContentHash(*request.hashes, name, hash);
        }
    }
    finishAttachedData();
    reportProgress();
    closeAttachedDataReader();
    endExtraction();
    free(x.compared);
    return x.outcome;
}

bool readApplicationName(wchar_t name[recordNameCapacity])
{
    return readRecordName(name);
}
