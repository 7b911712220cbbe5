// Attached data: the block in the executable's read-only data, its header
// check, the decompressing reader and the record loop that writes its files.
// Depends only on paths.
#pragma once

#include <zstd.h>

#include "paths/paths.h"

// The block, as linked into the image by the build (attached_data.S).
extern "C" const unsigned char onefileAttachedData[];
extern "C" const unsigned long long onefileAttachedDataSize;

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
};
extern AttachedDataReaderState AttachedDataReader;

extern unsigned char copyBuffer[copyBufferSize];
extern wchar_t firstFilePath[pathCapacity];

void verifyAttachedDataHeader();
void openAttachedDataReader();
void readAttachedData(void* destination, size_t count);
void closeAttachedDataReader();

// Whether a record name keeps to the format: relative, backslash-separated,
// no empty, "." or ".." component, no colon and no forward slash.
bool isSafeRecordName(const wchar_t* name);

// Writes every record below targetDirectory. With dllMode it stops at the
// first record, loads it as the application's DLL and ends the process with
// the result of its run_code; it returns false when the block holds no file.
bool extractAttachedFiles(bool dllMode, int argc, wchar_t** argv);
