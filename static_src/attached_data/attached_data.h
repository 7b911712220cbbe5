// Attached data: the block in the executable's read-only data, its header
// check, the decompressing reader and the record loop that writes its files.
// Depends only on paths.
#pragma once

#include <zstd.h>
#include <zstd_errors.h>

#include "paths/paths.h"

// What the packer set for the cache (--cache): the versions' folder spec
// (root\name, empty without the cache), this version's id, how many
// versions to keep, and whether a reused version's content is rechecked.
struct CacheSettings {
    const wchar_t* spec;
    const wchar_t* id;
    unsigned keep;
    bool recheck;
};
// The executable's settings and its block, as the packer placed them in
// the image (placement.cpp): read once, in place, and passed on. Every
// pointer is into the image's read-only data and lives as long as it.
struct ExecutableSettings {
    const unsigned char* block;
    uint64_t blockSize;
    const wchar_t* runParentSpec;  // the parent of every run's own folder
    CacheSettings cache;
    bool sweep;           // remove dead runs' leftovers (not --no-sweep)
    bool errorDialog;     // show fatal lines nobody sees (not --no-error-dialog)
    bool splashProgress;  // --splash-progress
};
// The unsigned little-endian value of `size` (at most 8) bytes: the block's
// and the settings' one encoding.
uint64_t readLittleEndian(const unsigned char* bytes, unsigned size);
// Reads the settings section of `size` bytes at `section`: why it cannot
// be used, or null when `settings` has it. Every offset is checked
// against `size` before it is followed.
const char* readSettingsSection(const unsigned char* section, uint64_t size, ExecutableSettings& settings);
// Why a section the descriptor names at `rva`, `size` bytes long, does not
// lie inside an image of `imageSize` bytes after its headers, or null.
const char* checkSectionPlace(uint32_t rva, uint32_t size, uint32_t headersSize, uint32_t imageSize);
// This image's settings and block; a missing or damaged descriptor or
// section ends the process: "Error, couldn't find attached data header."
// with the cause in parentheses, exit code 2 (the error box shown when
// nobody sees the line, as the settings could not say otherwise).
ExecutableSettings readExecutableSettings();

// Next unread byte of the block and the count of bytes from it to the end:
// set by the driver (or a harness) to the whole block, moved past the header
// by verifyAttachedDataHeader; the reader takes the rest from there.
extern const unsigned char* attachedDataCursor;
extern uint64_t attachedDataRemaining;

enum : size_t {
    // A decoded piece of the record stream, and how many are decoded ahead
    // of the writing at most: with the frame's window, the reader's memory.
    // Deep enough for the decoding to get ahead while many small files are
    // written, and so keep the writing fed through the large ones after.
    pieceSize = 1 << 20,
    piecesAhead = 32,
};

// The first record's full path, the application's DLL: written by the
// record loop of each extraction.
extern wchar_t firstFilePath[pathCapacity];

// Checks the block's magic and moves the cursor past it; "Error, couldn't
// find attached data header." on standard output and exit code 2 otherwise.
void verifyAttachedDataHeader();
// The size of the record stream as the frame header declares it (at least
// the files' bytes), or false when the block does not say.
bool readDeclaredContentSize(uint64_t& size);
// How many pieces the reader keeps decoded ahead for a record stream of
// `size` bytes (`known` false when the frame does not declare it): no more
// than the stream fills, at least two, at most piecesAhead.
size_t piecesForStream(bool known, uint64_t size);
// Whether decoding ahead pays for a process that may run on the processors
// of `affinity` (a mask): only with more than one, else it only adds the
// switching between the two threads.
bool decodingAheadPays(uint64_t affinity);
// The reader is the caller's thread's: opened (decoding the first piece),
// read, finished and closed there.
void openAttachedDataReader();
// The one for measurements: the record stream already decoded in memory,
// handed out as pieces without a decoder (`bytes` outlive the reader).
void openDecodedAttachedData(const unsigned char* bytes, size_t size);
// From the first piece on, a thread of its own decodes up to piecesAhead
// pieces ahead of the reading.
void decodeAttachedDataAhead();
// Hands out exactly `count` bytes of the record stream, or ends the process
// with the decode error (damage, a frame cut short, a wrong checksum).
void readAttachedData(void* destination, size_t count);
// The next 1 to `most` bytes of the record stream in place, their count in
// `count`: valid until the next read. Ends the process as readAttachedData.
const unsigned char* takeAttachedData(size_t most, size_t& count);
// Bytes of the record stream read so far.
uint64_t attachedDataDecoded();
// Reads on to the frame's verified end; anything after the end record, or
// a frame cut short, is damage.
void finishAttachedData();
// Ends the process with the decode error and its reason in parentheses:
// "Error, couldn't decode attached data. (checksum mismatch)", exit code 2.
[[noreturn]] void failDecoding(const char* reason);
void closeFileBeingWritten();
void closeAttachedDataReader();

// Stops the extraction for a cleanup: from another thread it waits (for a
// bounded time) until the main thread has closed its file and parked; then,
// or on the main thread at once, it lets go of the directories extraction
// holds. Nothing when no extraction runs.
void stopExtraction();
// Checks that the frame declares a content checksum, which zstd verifies at
// the frame's end: a frame without one could run damaged files. Both roads.
void requireFrameChecksum();
// Checks what follows the frame: 6 to 13 zero bytes up to a multiple of 8,
// then the block's last 8 bytes, which hold their own offset.
void verifyBlockTail();

// Called on the main thread after each piece extraction writes, with the
// bytes of the record stream decoded so far; null (the default) for none.
void setExtractionProgress(void (*report)(uint64_t decoded));
// What an extraction wrote, file by file: each record's name and the XXH64
// (seed 0) of its content, hashed while it was written. `failed` when
// memory ran out for one: the list is then not whole.
struct ContentHash {
    wchar_t* name;
    uint64_t hash;
};
struct ContentHashes {
    ContentHash* items;
    size_t count;
    size_t capacity;
    bool failed;
};
void freeContentHashes(ContentHashes& hashes);

// What the fresh road unpacks, and how.
struct ExtractionRequest {
    // Where every record goes: it must exist; every name below it is made new.
    const wchar_t* folder;
    // Each file's content hash, or null for none.
    ContentHashes* hashes;
    // An earlier copy of the same files, or null, and the caller's hold on
    // it in its place: a file there that is a plain file equal, byte for
    // byte, to its record as the frame decodes it is moved into `folder`
    // instead of written.
    const wchar_t* earlierCopy;
    HANDLE earlierCopyHold;
    // Decoding and writing on the caller's thread alone: the reference
    // the measurements compare with.
    bool oneThread;
};
struct ExtractionOutcome {
    bool anyFile;         // false when the block holds no file
    size_t moved;         // files taken from the earlier copy
    size_t foldersMoved;  // folders of them taken whole
    size_t written;       // files written from the frame
    uint64_t entryHash;   // the first record's content as the frame decoded it (XXH64, seed 0)
};
// A file of an earlier copy as the system describes it, and whether it may
// be taken for a record of `size` bytes: a plain file (neither a folder nor
// a reparse point) with one name and exactly that size.
struct EarlierFileFacts {
    DWORD attributes;
    DWORD links;
    uint64_t size;
};
bool mayTakeEarlierFile(const EarlierFileFacts& facts, uint64_t size);
// The fresh road: writes every record below the request's folder and reads
// the frame to its verified end, from the reader opened. Any damage,
// existing name or failed write ends the process (one line, the fatal
// cleanup, exit code 2).
ExtractionOutcome extractAttachedFiles(const ExtractionRequest& request);
// The XXH64 (seed 0) of the open `file`'s content, read from its start
// through `buffer` (`capacity` bytes at a time); false when a read fails or
// `*stop` (null: never) is set between reads. The one hash of a whole file
// the bootstrap takes: the cache's recheck and the entry DLL's check.
bool hashOpenedFile(HANDLE file, unsigned char* buffer, DWORD capacity, const volatile LONG* stop, uint64_t& hash);
// The re-entry road: the first record's name, checked as every name is,
// the application's DLL; false when the block holds no file.
bool readApplicationName(wchar_t name[recordNameCapacity]);
