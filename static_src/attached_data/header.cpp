#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader: whether the frame declares a checksum
#include "attached_data.h"

#include <string.h>

enum : uint64_t {
    blockHeaderSize = ONEFILE_BLOCK_MAGIC_LENGTH,
    trailerSize = ONEFILE_BLOCK_TRAILER_SIZE,
};

const unsigned char* attachedDataCursor;
uint64_t attachedDataRemaining;

uint64_t readLittleEndian(const unsigned char* bytes, unsigned size)
{
    uint64_t value = 0;
    for (unsigned i = size; i-- > 0;) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void verifyAttachedDataHeader()
{
    // A block shorter than its header cannot hold one; the cursor must never
    // be moved past the block's end.
    const bool complete = attachedDataRemaining >= blockHeaderSize;
    const unsigned char* const header = attachedDataCursor;
    if (complete) {
        attachedDataCursor += blockHeaderSize;
        attachedDataRemaining -= blockHeaderSize;
    }
    if (!complete || memcmp(header, ONEFILE_BLOCK_MAGIC, blockHeaderSize) != 0) {
        fatalError("Error, couldn't find attached data header.");
    }
}

bool readDeclaredContentSize(uint64_t& size)
{
    const unsigned long long declared =
        ZSTD_getFrameContentSize(attachedDataCursor, static_cast<size_t>(attachedDataRemaining));
    if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR) {
        return false;
    }
    size = declared;
    return true;
}

void requireFrameChecksum()
{
    ZSTD_frameHeader header;
    const size_t result = ZSTD_getFrameHeader(&header, attachedDataCursor, static_cast<size_t>(attachedDataRemaining));
    if (result != 0 && !ZSTD_isError(result)) {
        failDecoding("the frame ends early");  // not even its header is whole
    }
    if (result != 0 || header.frameType != ZSTD_frame) {
        failDecoding("no zstd frame after the header");
    }
    if (!header.checksumFlag) {
        failDecoding("the frame carries no checksum");
    }
}

void verifyBlockTail()
{
    const size_t frameSize =
        ZSTD_findFrameCompressedSize(attachedDataCursor, static_cast<size_t>(attachedDataRemaining));
    if (ZSTD_isError(frameSize)) {
        failDecoding(ZSTD_getErrorCode(frameSize) == ZSTD_error_srcSize_wrong ? "the frame ends early"
                                                                              : "the frame's blocks are damaged");
    }
    // Offsets count from the block's first byte, the header's 3 included.
    const uint64_t frameEnd = blockHeaderSize + frameSize;
    const uint64_t padding = onefile_block_padding(frameEnd);
    const uint64_t trailerOffset = frameEnd + padding;
    if (attachedDataRemaining != frameSize + padding + trailerSize) {
        failDecoding(attachedDataRemaining < frameSize + padding + trailerSize ? "the block's trailer is missing"
                                                                               : "data after the block's trailer");
    }
    const unsigned char* const tail = attachedDataCursor + frameSize;
    for (uint64_t i = 0; i < padding; ++i) {
        if (tail[i] != 0) {
            failDecoding("the padding after the frame is not zero");
        }
    }
    if (readLittleEndian(tail + padding, trailerSize) != trailerOffset) {
        failDecoding("the trailer does not name the block's length");
    }
}
