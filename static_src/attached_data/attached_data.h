// Attached data: the block in the executable's read-only data, its header
// check, the decompressing reader and the record loop that writes its files.
// Depends only on paths.
#pragma once

#include <zstd.h>

#include "paths/paths.h"

// The block, as linked into the image by the build (attached_data.S).
extern "C" const unsigned char onefileAttachedData[];
extern "C" const unsigned long long onefileAttachedDataSize;
// Set by the build: whether a fresh start sweeps the leftovers of dead runs.
extern "C" const unsigned char onefileSweepEnabled;

// Next unread byte of the block and the count of bytes from it to the end.
extern const unsigned char* attachedDataCursor;
extern uint64_t attachedDataRemaining;

enum : size_t {
    readerWindowSize = 131072,
    copyBufferSize = 32768,
};

struct AttachedDataReaderState {
    ZSTD_DCtx* context;
    ZSTD_inBuffer input;
    // Between reads: size is the fill of the window, pos the read position.
    ZSTD_outBuffer output;
    bool windowFilled;
    // zstd reported the frame's end: all of it decoded, its checksum verified.
    bool frameComplete;
};
extern AttachedDataReaderState AttachedDataReader;

extern unsigned char copyBuffer[copyBufferSize];
extern wchar_t firstFilePath[pathCapacity];

void verifyAttachedDataHeader();
// The size of the record stream as the frame header declares it (at least
// the files' bytes), or false when the block does not say.
bool readDeclaredContentSize(uint64_t& size);
void openAttachedDataReader();
void readAttachedData(void* destination, size_t count);
// Reads on to the frame's verified end; anything after the end record, or
// a frame cut short, is damage.
void finishAttachedData();
[[noreturn]] void failDecoding();
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

// Writes every record below targetDirectory, which must exist. With dllMode it stops at the
// first record, loads it as the application's DLL and ends the process with
// the result of its run_code; it returns false when the block holds no file.
bool extractAttachedFiles(bool dllMode, int argc, wchar_t** argv);
