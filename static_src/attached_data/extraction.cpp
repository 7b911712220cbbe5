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

// `folder`\`name` into `filePath`.
static void placeInFolder(wchar_t filePath[pathCapacity], const wchar_t* folder, const wchar_t* name)
{
    const char* const tooLong = "a file path of the attached data does not fit in 4096 characters";
    copyWideBounded(filePath, pathCapacity, folder, tooLong);
    appendWideBounded(filePath, pathCapacity, L"\\", tooLong);
    appendWideBounded(filePath, pathCapacity, name, tooLong);
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

// A repair takes a folder of the earlier copy whole, in one move instead
// of one per file, when every record below it was equal to its file there
// and it holds nothing else. The packer orders records by name, so a
// folder's records follow each other; until its last one, each equal file
// is held (as a file taken alone is) and its move put off. A folder that
// cannot be moved (Windows refuses while files in it are open without
// delete sharing) has its files moved one by one.
enum : size_t { deepestFolderTaken = 64, mostFilesPutOff = 8192 };

// A file equal to its record, held in the earlier copy, its move put off;
// or (no file) a folder, whose own items follow it: `span` of them once
// everything below it was found equal.
struct PutOff {
    HANDLE file;
    wchar_t* name;  // the record's name, or the folder's
    uint64_t size;
    uint64_t hash;  // the record's, as the frame decoded it
    size_t span;
};

// A folder whose records are under way.
struct FolderUnderWay {
    size_t item;     // its own item among the put-off ones
    size_t entries;  // files and folders in it, by the records
    bool whole;      // every record below it equal, so far, and nothing of it written
};

// The extraction's own state, the caller's thread's.
struct Extraction {
    ExtractionRequest request;
    ExtractionOutcome outcome;
    // With an earlier copy: a buffer to compare in, the system's name of
    // its folder, and what is put off for a move of folders whole.
    unsigned char* compared;
    wchar_t earlierName[pathCapacity];
    PutOff* putOff;
    size_t putOffCount;
    size_t putOffCapacity;
    FolderUnderWay folders[deepestFolderTaken];
    size_t depth;
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
// or a hard link among it, instead of writing through it. Its directories
// are made first.
static HANDLE createRecordFile(const Extraction& x, wchar_t* filePath)
{
    createRecordDirectories(filePath, wcslen(x.request.folder));
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
static bool takeEarlierFile(const Extraction& x, HANDLE earlier, wchar_t* filePath, const wchar_t* name)
{
    reachTestPoint("ONEFILE_TEST_HOLD_TAKE", L"-reached", true);
    createRecordDirectories(filePath, wcslen(x.request.folder));
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

// Closes a record's file written so far with `error` (a failure the system
// reports only at the close counts too); the start ends where it failed,
// or where bytes copied from an earlier file did not hash as the frame's.
static void closeWrittenFile(Extraction& x, HANDLE file, DWORD error, const wchar_t* filePath, bool copyDiffers)
{
    fileBeingWritten = INVALID_HANDLE_VALUE;
    if (!CloseHandle(file) && error == ERROR_SUCCESS) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        fatalFileError("Error, couldn't unpack file to target path", filePath, error);
    }
    if (copyDiffers) {
        fatalFileError("Error, a file taken from the damaged version changed while it was read", filePath, ERROR_CRC);
    }
    ++x.outcome.written;
}

// Takes a file of the earlier copy found equal to its record where the
// record belongs: moved, or where it cannot be, copied from the file held
// and checked against the frame's hash.
static void takeEqualFile(Extraction& x, const PutOff& equal)
{
    wchar_t filePath[pathCapacity];
    placeInFolder(filePath, x.request.folder, equal.name);
    if (takeEarlierFile(x, equal.file, filePath, equal.name)) {
        ++x.outcome.moved;
        return;
    }
    const HANDLE file = createRecordFile(x, filePath);
    XXH64_state_t copied;
    XXH64_reset(&copied, 0);
    const DWORD error = copyEqualStart(equal.file, file, equal.size, x.compared, copied);
    closeWrittenFile(x, file, error, filePath, XXH64_digest(&copied) != equal.hash);
}

// Writes one record's data to `filePath`, from the frame as it decodes;
// with an earlier file of the same size, compared byte for byte instead
// while they agree: taken as it is when they always do (or, with `putOff`,
// held there and handed back, its move put off), else the equal start
// copied from it and the rest written. What is copied from an earlier
// file must hash as the frame does: a host process, which ignores the
// hold's sharing, may have written it meanwhile. Every write and the close
// are checked: a short write or a failure the system reports only at the
// close would otherwise leave a truncated file. The file is closed before
// the stop, so the cleanup can remove it. The record's hash, when `hashed`
// or an earlier file is compared (else 0).
static uint64_t writeRecordData(Extraction& x, wchar_t* filePath, const wchar_t* name, uint64_t size, bool hashed,
                                PutOff* putOff)
{
    const HANDLE earlier = x.compared != nullptr ? openEarlierFile(x, name, size) : INVALID_HANDLE_VALUE;
    hashed = hashed || earlier != INVALID_HANDLE_VALUE;
    XXH64_state_t frame;
    XXH64_state_t written;
    XXH64_reset(&frame, 0);
    XXH64_reset(&written, 0);
    HANDLE file = earlier == INVALID_HANDLE_VALUE ? createRecordFile(x, filePath) : INVALID_HANDLE_VALUE;
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
                file = createRecordFile(x, filePath);
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
    if (file == INVALID_HANDLE_VALUE) {
        // Equal throughout.
        const PutOff equal = {earlier, const_cast<wchar_t*>(name), size, XXH64_digest(&frame), 0};
        if (putOff != nullptr) {
            *putOff = equal;
            return equal.hash;
        }
        takeEqualFile(x, equal);
    } else {
        closeWrittenFile(x, file, error, filePath,
                         earlier != INVALID_HANDLE_VALUE && XXH64_digest(&written) != XXH64_digest(&frame));
    }
    if (earlier != INVALID_HANDLE_VALUE) {
        CloseHandle(earlier);
    }
    return hashed ? XXH64_digest(&frame) : 0;
}

static bool addPutOff(Extraction& x, const PutOff& item)
{
    if (!reserveOneMore(x.putOff, x.putOffCount, x.putOffCapacity)) {
        return false;
    }
    x.putOff[x.putOffCount++] = item;
    return true;
}

// Whether the folder `name` of the earlier copy holds exactly `entries`
// entries, none of them a link.
static bool holdsOnly(const Extraction& x, const wchar_t* name, size_t entries)
{
    wchar_t path[pathCapacity];
    WIN32_FIND_DATAW entry;
    const HANDLE search =
        joinPath(path, x.request.earlierCopy, name) ? findFirstEntry(path, L"*", entry) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    size_t found = 0;
    bool plain = true;
    do {
        if (!isDotEntry(entry.cFileName)) {
            ++found;
            plain = plain && !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        }
    } while (plain && found <= entries && FindNextFileW(search, &entry));
    FindClose(search);
    return plain && found == entries;
}

// Moves the folder of the put-off item `at` into the new folder whole,
// through a handle to it, never through a link; kept only while each of
// its files, held, still has one name (as a file taken alone). False, with
// nothing moved, when it cannot be.
static bool takeFolderWhole(Extraction& x, size_t at)
{
    const PutOff& folder = x.putOff[at];
    wchar_t earlierPath[pathCapacity];
    wchar_t newPath[pathCapacity];
    wchar_t longForm[longPathCapacity];
    placeInFolder(newPath, x.request.folder, folder.name);
    if (!joinPath(earlierPath, x.request.earlierCopy, folder.name) || !toLongPathForm(earlierPath, longForm) ||
        isTestFaultSet("ONEFILE_TEST_REFUSE_FOLDER_MOVE")) {
        return false;
    }
    const HANDLE handle =
        CreateFileW(longForm, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILE_BASIC_INFO basic;
    bool moved = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
                 (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                     FILE_ATTRIBUTE_DIRECTORY &&
                 isOpenedBelow(handle, x.earlierName, folder.name);
    if (moved) {
        createRecordDirectories(newPath, wcslen(x.request.folder));
        moved = renameOpenedEntry(handle, newPath);
    }
    for (size_t i = at + 1; moved && i <= at + folder.span; ++i) {
        EarlierFileFacts facts;
        moved = x.putOff[i].file == nullptr || (readEarlierFileFacts(x.putOff[i].file, facts) && facts.links == 1);
        if (!moved) {
            if (!renameOpenedEntry(handle, earlierPath)) {
                fatalFileError("Error, a file taken from the damaged version gained a name", newPath,
                               ERROR_TOO_MANY_LINKS);
            }
            traceStep(L"cache: a file in %ls gained a name while it was taken; its files are taken one by one",
                      newPath);
        }
    }
    CloseHandle(handle);
    return moved;
}

// Takes the put-off items from `from` on where they belong, and forgets
// them: each folder found whole in one move (or, when it cannot be, its
// files one by one), each other file alone.
static void takePutOff(Extraction& x, size_t from)
{
    for (size_t i = from; i < x.putOffCount; ++i) {
        const size_t span = x.putOff[i].file == nullptr ? x.putOff[i].span : 0;
        if (span > 0 && takeFolderWhole(x, i)) {
            ++x.outcome.foldersMoved;
            for (size_t j = i + 1; j <= i + span; ++j) {
                if (x.putOff[j].file != nullptr) {
                    ++x.outcome.moved;
                    CloseHandle(x.putOff[j].file);
                }
                free(x.putOff[j].name);
            }
            free(x.putOff[i].name);
            i += span;
            continue;
        }
        if (x.putOff[i].file != nullptr) {
            takeEqualFile(x, x.putOff[i]);
            CloseHandle(x.putOff[i].file);
        }
        free(x.putOff[i].name);
    }
    x.putOffCount = from;
}

static void wholeNoMore(Extraction& x)
{
    for (size_t i = 0; i < x.depth; ++i) {
        x.folders[i].whole = false;
    }
}

// Ends the innermost folder under way: left put off, as a whole, when it
// still is one and holds nothing more than its records; else what is put
// off in it is taken now, and the folders around it are whole no more.
static void endFolder(Extraction& x)
{
    const FolderUnderWay folder = x.folders[--x.depth];
    if (folder.whole && holdsOnly(x, x.putOff[folder.item].name, folder.entries)) {
        x.putOff[folder.item].span = x.putOffCount - folder.item - 1;
        return;
    }
    takePutOff(x, folder.item + 1);
    free(x.putOff[folder.item].name);
    x.putOffCount = folder.item;
    wholeNoMore(x);
}

// Follows the records into the folders of `name`: ends the folders under
// way that do not hold it and begins those it is in. A folder may be
// whole only when nothing of it was made in the new folder yet.
static void enterFolders(Extraction& x, const wchar_t* name)
{
    while (x.depth > 0) {
        const wchar_t* const folder = x.putOff[x.folders[x.depth - 1].item].name;
        const size_t length = wcslen(folder);
        if (wcsncmp(name, folder, length) == 0 && name[length] == L'\\') {
            break;
        }
        endFolder(x);
    }
    const size_t begun = x.depth > 0 ? wcslen(x.putOff[x.folders[x.depth - 1].item].name) + 1 : 0;
    for (const wchar_t* c = wcschr(name + begun, L'\\'); c != nullptr; c = wcschr(c + 1, L'\\')) {
        if (x.depth == deepestFolderTaken) {
            wholeNoMore(x);
            return;
        }
        wchar_t* const folderName = _wcsdup(name);
        if (folderName == nullptr || !addPutOff(x, PutOff{nullptr, folderName, 0, 0, 0})) {
            fatalSystemError("Error, couldn't allocate memory.", ERROR_NOT_ENOUGH_MEMORY);
        }
        folderName[c - name] = L'\0';
        wchar_t newPath[pathCapacity];
        placeInFolder(newPath, x.request.folder, folderName);
        if (x.depth > 0) {
            ++x.folders[x.depth - 1].entries;
        }
        x.folders[x.depth++] = FolderUnderWay{x.putOffCount - 1, 0, !isHeldDirectory(newPath)};
    }
}

// One record of a repair: its file put off while its folder may still be
// taken whole, else written or taken now (and the folders around it then
// are whole no more).
static uint64_t repairRecord(Extraction& x, wchar_t* filePath, const wchar_t* name, uint64_t size)
{
    enterFolders(x, name);
    FolderUnderWay* const folder = x.depth > 0 ? &x.folders[x.depth - 1] : nullptr;
    if (folder != nullptr) {
        ++folder->entries;
    }
    PutOff equal = {nullptr, nullptr, 0, 0, 0};
    const bool mayPutOff = folder != nullptr && folder->whole && x.putOffCount < mostFilesPutOff;
    const uint64_t hash = writeRecordData(x, filePath, name, size, true, mayPutOff ? &equal : nullptr);
    if (equal.file == nullptr) {
        wholeNoMore(x);
    } else if ((equal.name = _wcsdup(name)) == nullptr || !addPutOff(x, equal)) {
        fatalSystemError("Error, couldn't allocate memory.", ERROR_NOT_ENOUGH_MEMORY);
    }
    return hash;
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

ExtractionOutcome extractAttachedFiles(const ExtractionRequest& request)
{
    Extraction x = {};
    x.request = request;
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
        // The entry's hash proves the DLL the start holds before its load.
        const uint64_t hash =
            x.compared != nullptr && !entry
                ? repairRecord(x, filePath, name, size)
                : writeRecordData(x, filePath, name, size, entry || request.hashes != nullptr, nullptr);
        if (entry) {
            x.outcome.entryHash = hash;
        }
        if (request.hashes != nullptr) {
            addContentHash(*request.hashes, name, hash);
        }
    }
    while (x.depth > 0) {
        endFolder(x);
    }
    takePutOff(x, 0);
    free(x.putOff);
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
