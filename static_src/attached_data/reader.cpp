#include "attached_data.h"

#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void failDecoding(const char* reason)
{
    closeFileBeingWritten();
    char line[256];
    snprintf(line, sizeof line, "Error, couldn't decode attached data. (%s)", reason);
    fatalError(line);
}

// zstd's verdict in the words of the decode error.
static const char* describeDecoderError(size_t result)
{
    switch (ZSTD_getErrorCode(result)) {
    case ZSTD_error_checksum_wrong:
        return "checksum mismatch";
    case ZSTD_error_frameParameter_windowTooLarge:
        return "the frame's window is larger than the format allows";
    case ZSTD_error_srcSize_wrong:
        return "the frame ends early";
    default:
        return "the compressed data is damaged";
    }
}

AttachedDataReaderState AttachedDataReader;

void openAttachedDataReader()
{
    void* const window = malloc(readerWindowSize);
    if (window == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
    ZSTD_DCtx* const context = ZSTD_createDCtx();
    if (context == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
    // The limit is the format's, not whatever zstd's default happens to be.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, ONEFILE_WINDOW_LOG_MAX))) {
        stopProcess("the decoder refuses the window limit of the attached data");
    }
    AttachedDataReader.context = context;
    AttachedDataReader.input = ZSTD_inBuffer{attachedDataCursor, static_cast<size_t>(attachedDataRemaining), 0};
    AttachedDataReader.output = ZSTD_outBuffer{window, 0, 0};
    AttachedDataReader.windowFilled = false;
    AttachedDataReader.frameComplete = false;
    AttachedDataReader.decoded = 0;
}

// Hands out exactly `count` bytes or ends the process; the refill loop is
// kept in one piece so its states can be seen at once.
void readAttachedData(void* destination, size_t count)
{
    assert(AttachedDataReader.context != nullptr && "the reader is opened first");
    unsigned char* to = static_cast<unsigned char*>(destination);
    ZSTD_inBuffer& input = AttachedDataReader.input;
    ZSTD_outBuffer& output = AttachedDataReader.output;
    for (;;) {
        const size_t available = output.size - output.pos;
        if (available > 0) {
            const size_t taken = available < count ? available : count;
            memcpy(to, static_cast<const unsigned char*>(output.dst) + output.pos, taken);
            output.pos += taken;
            to += taken;
            count -= taken;
            if (count == 0) {
                return;
            }
            continue;
        }
        // The frame ended, or the input did with nothing held back by the
        // decoder, before the reader's caller was satisfied.
        if (AttachedDataReader.frameComplete) {
            failDecoding("the records stop before their end record");
        }
        if (input.pos >= input.size && !AttachedDataReader.windowFilled) {
            failDecoding("the frame ends early");
        }
        output.size = readerWindowSize;
        output.pos = 0;
        const size_t result = ZSTD_decompressStream(AttachedDataReader.context, &output, &input);
        if (ZSTD_isError(result)) {
            failDecoding(describeDecoderError(result));
        }
        AttachedDataReader.decoded += output.pos;
        AttachedDataReader.windowFilled = output.pos == readerWindowSize;
        AttachedDataReader.frameComplete = result == 0;
        output.size = output.pos;
        output.pos = 0;
    }
}

void finishAttachedData()
{
    ZSTD_inBuffer& input = AttachedDataReader.input;
    ZSTD_outBuffer& output = AttachedDataReader.output;
    // Only zstd's own word that the frame ended counts: it comes after the
    // checksum has been read and verified.
    while (!AttachedDataReader.frameComplete) {
        if (output.pos != output.size) {
            failDecoding("data after the end record");
        }
        output.size = readerWindowSize;
        output.pos = 0;
        const size_t before = input.pos;
        const size_t result = ZSTD_decompressStream(AttachedDataReader.context, &output, &input);
        // Output here is data after the end record; no progress at all is a
        // frame cut short.
        if (ZSTD_isError(result)) {
            failDecoding(describeDecoderError(result));
        }
        if (output.pos != 0) {
            failDecoding("data after the end record");
        }
        if (result != 0 && input.pos == before) {
            failDecoding("the frame ends early");
        }
        output.size = 0;
        AttachedDataReader.frameComplete = result == 0;
    }
    if (output.pos != output.size) {
        failDecoding("data after the end record");
    }
}

void closeAttachedDataReader()
{
    ZSTD_freeDCtx(AttachedDataReader.context);
    free(AttachedDataReader.output.dst);
    AttachedDataReader = AttachedDataReaderState{};
}
