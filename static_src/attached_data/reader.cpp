// The decompressing reader. The frame is decoded into pieces of at most
// pieceSize bytes; the caller reads names and sizes out of them by copy and
// record data in place. Decoded ahead, a thread of its own fills up to
// piecesAhead pieces while the caller writes the earlier ones: the memory
// stays bounded by the pieces and the frame's window whatever the block.
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

// How a piece ends: more follows, the frame ended there (its checksum
// verified), or the frame is damaged right after the piece's bytes.
enum class PieceEnd { more, frameComplete, damaged };

struct Piece {
    unsigned char* buffer;  // the piece's own memory, decoded into
    const unsigned char* bytes;
    size_t size;
    PieceEnd end;
    const char* damage;  // the decode error's reason, when damaged
};

// The reader's state; the caller's thread owns all of it but the pieces a
// decoder thread fills, which it hands over through the two semaphores.
struct ReaderState {
    ZSTD_DCtx* context;
    ZSTD_inBuffer input;
    Piece pieces[piecesAhead];
    size_t ring;      // how many of the pieces are used: all, or as many as the stream fills
    size_t current;   // the piece being read
    size_t position;  // the read position in it
    uint64_t decoded;
    // The last decode filled its output: zstd may hold more back, even
    // with all of the input read.
    bool outputWasFull;
    // Decoding ahead: the decoder thread, the pieces it may fill, the
    // pieces it filled, and the caller's word that it stops.
    HANDLE decoder;
    HANDLE piecesFree;
    HANDLE piecesFilled;
    volatile LONG stopDecoder;
    // Read from memory already decoded: what is left of it.
    const unsigned char* decodedBytes;
    size_t decodedLeft;
};
static ReaderState reader;

// Decodes the next piece of the frame into `piece`: `whole`, or as much as
// one step of the decoder gives (enough for a name, without decoding a whole
// piece for it); either way up to the frame's end or up to damage.
static void fillPiece(Piece& piece, bool whole)
{
    if (reader.context == nullptr) {
        piece.bytes = reader.decodedBytes;
        piece.size = reader.decodedLeft < pieceSize ? reader.decodedLeft : pieceSize;
        reader.decodedBytes += piece.size;
        reader.decodedLeft -= piece.size;
        piece.end = reader.decodedLeft == 0 ? PieceEnd::frameComplete : PieceEnd::more;
        return;
    }
    piece.bytes = piece.buffer;
    ZSTD_outBuffer output = {piece.buffer, pieceSize, 0};
    piece.end = PieceEnd::more;
    piece.damage = nullptr;
    while (output.pos < output.size) {
        // Input gone with nothing held back by the decoder: the frame was
        // cut short.
        if (reader.input.pos >= reader.input.size && !reader.outputWasFull) {
            piece.end = PieceEnd::damaged;
            piece.damage = "the frame ends early";
            break;
        }
        const size_t before = output.pos;
        const size_t result = ZSTD_decompressStream(reader.context, &output, &reader.input);
        reader.outputWasFull = output.pos == output.size && output.pos > before;
        if (ZSTD_isError(result)) {
            piece.end = PieceEnd::damaged;
            piece.damage = describeDecoderError(result);
            break;
        }
        // Only zstd's own word that the frame ended counts: it comes after
        // the checksum has been read and verified.
        if (result == 0) {
            piece.end = PieceEnd::frameComplete;
            break;
        }
        if (!whole && output.pos > 0) {
            break;
        }
    }
    piece.size = output.pos;
}

static DWORD WINAPI decodeAhead(void*)
{
    // The caller filled the first piece itself.
    for (size_t next = 1;; ++next) {
        WaitForSingleObject(reader.piecesFree, INFINITE);
        if (reader.stopDecoder != 0) {
            return 0;
        }
        Piece& piece = reader.pieces[next % reader.ring];
        fillPiece(piece, true);
        ReleaseSemaphore(reader.piecesFilled, 1, nullptr);
        if (piece.end != PieceEnd::more) {
            return 0;
        }
    }
}

bool decodingAheadPays(uint64_t affinity)
{
    return (affinity & (affinity - 1)) != 0;
}

size_t piecesForStream(bool known, uint64_t size)
{
    const uint64_t filled = known ? size / pieceSize + 1 : piecesAhead;
    return filled < 2 ? 2 : filled > piecesAhead ? piecesAhead : static_cast<size_t>(filled);
}

void openAttachedDataReader()
{
    reader = ReaderState{};
    reader.pieces[0].buffer = static_cast<unsigned char*>(malloc(pieceSize));
    ZSTD_DCtx* const context = ZSTD_createDCtx();
    if (reader.pieces[0].buffer == nullptr || context == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
    // The limit is the format's, not whatever zstd's default happens to be.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, ONEFILE_WINDOW_LOG_MAX))) {
        stopProcess("the decoder refuses the window limit of the attached data");
    }
    reader.context = context;
    reader.input = ZSTD_inBuffer{attachedDataCursor, static_cast<size_t>(attachedDataRemaining), 0};
    // Nothing decoded yet: the first read fills the first piece.
    reader.pieces[0].bytes = reader.pieces[0].buffer;
}

void openDecodedAttachedData(const unsigned char* bytes, size_t size)
{
    reader = ReaderState{};
    reader.decodedBytes = bytes;
    reader.decodedLeft = size;
    reader.pieces[0].bytes = bytes;
}

void decodeAttachedDataAhead()
{
    assert(reader.pieces[0].size == 0 && reader.position == 0 && "ahead from the first read on");
    // The first piece is decoded here: zstd allocates its window on this
    // thread, so the thread that decodes ahead never allocates.
    fillPiece(reader.pieces[0], true);
    if (reader.pieces[0].end != PieceEnd::more) {
        return;  // all of the frame is decoded already
    }
    uint64_t declared = 0;
    const bool known = readDeclaredContentSize(declared);
    reader.ring = piecesForStream(known, declared);
    for (size_t i = 1; i < reader.ring; ++i) {
        reader.pieces[i].buffer = static_cast<unsigned char*>(malloc(pieceSize));
        if (reader.pieces[i].buffer == nullptr) {
            fatalError("Error, couldn't allocate memory.");
        }
    }
    const LONG ring = static_cast<LONG>(reader.ring);
    reader.piecesFree = CreateSemaphoreW(nullptr, ring - 1, ring, nullptr);
    reader.piecesFilled = CreateSemaphoreW(nullptr, 0, ring, nullptr);
    if (reader.piecesFree == nullptr || reader.piecesFilled == nullptr) {
        fatalSystemError("Error, couldn't allocate memory.", GetLastError());
    }
    reader.decoder = CreateThread(nullptr, 0, decodeAhead, nullptr, 0, nullptr);
    if (reader.decoder == nullptr) {
        fatalSystemError("Error, couldn't allocate memory.", GetLastError());
    }
}

// Moves on to the next piece once the current one is read; false when the
// frame ended before it (damage ends the process).
static bool moveToNextPiece()
{
    const Piece& done = reader.pieces[reader.current];
    assert(reader.position == done.size);
    if (done.end == PieceEnd::damaged) {
        failDecoding(done.damage);
    }
    if (done.end == PieceEnd::frameComplete) {
        return false;
    }
    if (reader.decoder == nullptr) {
        fillPiece(reader.pieces[reader.current], false);
    } else {
        ReleaseSemaphore(reader.piecesFree, 1, nullptr);
        WaitForSingleObject(reader.piecesFilled, INFINITE);
        reader.current = (reader.current + 1) % reader.ring;
    }
    reader.position = 0;
    return true;
}

const unsigned char* takeAttachedData(size_t most, size_t& count)
{
    assert(reader.pieces[0].bytes != nullptr && "the reader is opened first");
    assert(most > 0);
    while (reader.position == reader.pieces[reader.current].size) {
        if (!moveToNextPiece()) {
            failDecoding("the records stop before their end record");
        }
    }
    const Piece& piece = reader.pieces[reader.current];
    const size_t available = piece.size - reader.position;
    count = available < most ? available : most;
    const unsigned char* const bytes = piece.bytes + reader.position;
    reader.position += count;
    reader.decoded += count;
    return bytes;
}

void readAttachedData(void* destination, size_t count)
{
    unsigned char* to = static_cast<unsigned char*>(destination);
    while (count > 0) {
        size_t taken = 0;
        const unsigned char* const bytes = takeAttachedData(count, taken);
        memcpy(to, bytes, taken);
        to += taken;
        count -= taken;
    }
}

uint64_t attachedDataDecoded()
{
    return reader.decoded;
}

void finishAttachedData()
{
    for (;;) {
        if (reader.position != reader.pieces[reader.current].size) {
            failDecoding("data after the end record");
        }
        if (!moveToNextPiece()) {
            return;
        }
    }
}

void closeAttachedDataReader()
{
    if (reader.decoder != nullptr) {
        // Stopped early, the decoder may wait for a piece to fill.
        InterlockedExchange(&reader.stopDecoder, 1);
        ReleaseSemaphore(reader.piecesFree, 1, nullptr);
        WaitForSingleObject(reader.decoder, INFINITE);
        CloseHandle(reader.decoder);
        CloseHandle(reader.piecesFree);
        CloseHandle(reader.piecesFilled);
    }
    ZSTD_freeDCtx(reader.context);
    for (Piece& piece : reader.pieces) {
        free(piece.buffer);
    }
    reader = ReaderState{};
}
