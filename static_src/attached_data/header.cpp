#include "attached_data.h"

const unsigned char* attachedDataCursor;
uint64_t attachedDataRemaining;

void verifyAttachedDataHeader()
{
    // A block shorter than its header cannot hold one; the cursor must never
    // be moved past the block's end.
    const bool complete = attachedDataRemaining >= 3;
    const unsigned char* const header = attachedDataCursor;
    if (complete) {
        attachedDataCursor += 3;
        attachedDataRemaining -= 3;
    }
    if (!complete || header[0] != 'M' || header[1] != 'X' || header[2] != 'Y') {
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
