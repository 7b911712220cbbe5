#include "block/block.h"

#include <zstd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

namespace pack {

static void appendLittleEndian64(std::vector<uint8_t>& bytes, uint64_t value)
{
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> recordHeader(const std::u16string& name, uint64_t size)
{
    std::vector<uint8_t> bytes;
    for (const char16_t unit : name) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    appendLittleEndian64(bytes, size);
    return bytes;
}

// The padding, then the trailer: the block's own length before it.
static std::vector<uint8_t> blockTail(uint64_t bytesBefore)
{
    const uint64_t padding = onefile_block_padding(bytesBefore);
    std::vector<uint8_t> tail(static_cast<size_t>(padding), 0);
    appendLittleEndian64(tail, bytesBefore + padding);
    return tail;
}

std::vector<uint8_t> frameBlock(const std::vector<uint8_t>& compressedFrame)
{
    std::vector<uint8_t> block(ONEFILE_BLOCK_MAGIC, ONEFILE_BLOCK_MAGIC + ONEFILE_BLOCK_MAGIC_LENGTH);
    block.insert(block.end(), compressedFrame.begin(), compressedFrame.end());
    const std::vector<uint8_t> tail = blockTail(block.size());
    block.insert(block.end(), tail.begin(), tail.end());
    return block;
}

namespace {

struct ContextDeleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void check(size_t result, const char* what)
{
    if (ZSTD_isError(result)) throw Error(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(result));
}

// Streams bytes through the compressor into the block's sink.
class FrameWriter {
public:
    FrameWriter(ZSTD_CCtx* context, const BlockSink& sink) : context_(context), sink_(sink), out_(ZSTD_CStreamOutSize())
    {
    }

    void write(const uint8_t* data, size_t size, ZSTD_EndDirective mode = ZSTD_e_continue)
    {
        ZSTD_inBuffer input{data, size, 0};
        for (;;) {
            ZSTD_outBuffer output{out_.data(), out_.size(), 0};
            const size_t remaining = ZSTD_compressStream2(context_, &output, &input, mode);
            check(remaining, "compression failed");
            sink_(out_.data(), output.pos);
            frameBytes_ += output.pos;
            const bool done = mode == ZSTD_e_end ? remaining == 0 : input.pos == input.size;
            if (done) return;
        }
    }
    uint64_t frameBytes() const { return frameBytes_; }

private:
    ZSTD_CCtx* context_;
    const BlockSink& sink_;
    std::vector<uint8_t> out_;
    uint64_t frameBytes_ = 0;
};

using Context = std::unique_ptr<ZSTD_CCtx, ContextDeleter>;

// A compression context for a frame of `total` bytes.
Context makeContext(const CompressionOptions& options, uint64_t total)
{
    Context context(ZSTD_createCCtx());
    if (!context) throw Error("zstd: cannot create a compression context");
    const int workers =
        options.workers > 0 ? options.workers : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, options.level), "level");
    // The bootstrap refuses a frame without a content checksum.
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1), "checksum");
    // Always multi-threaded, so the frame is the same whatever the worker count.
    check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, workers), "workers");
    if (options.longDistance) {
        check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1), "long-distance matching");
    }
    // Long-distance matching takes zstd's own large default window: named
    // here instead, no larger than the payload and within the format's limit,
    // so that the bootstrap's memory stays as small as the payload allows.
    int windowLog = options.windowLog;
    if (windowLog == 0 && options.longDistance) {
        windowLog = 10;
        while (windowLog < maxWindowLog && (uint64_t{1} << windowLog) < total) ++windowLog;
    }
    if (windowLog != 0) check(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog), "window");
    // A known size lets zstd fit the window to small payloads, which keeps
    // the bootstrap's memory down.
    check(ZSTD_CCtx_setPledgedSrcSize(context.get(), total), "size");
    return context;
}

// Streams one file's record (header and bytes) into the frame; a file that
// changes size meanwhile is refused rather than packed wrong.
void packFile(FrameWriter& frame, const FileEntry& entry, std::vector<uint8_t>& chunk, uint64_t& done, uint64_t total,
              const Progress& progress)
{
    const std::vector<uint8_t> header = recordHeader(entry.name, entry.size);
    frame.write(header.data(), header.size());
    std::ifstream source(entry.source, std::ios::binary);
    if (!source) throw Error(entry.source.string() + ": cannot be read");
    // The last bytes of the previous chunk, so that a marker across two
    // chunks is seen too.
    std::vector<uint8_t> seam;
    const size_t markerLength = blockMarker().size();
    for (uint64_t left = entry.size; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        source.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(want));
        if (static_cast<size_t>(source.gcount()) != want) {
            throw Error(entry.source.string() + ": changed size while it was packed");
        }
        seam.insert(seam.end(), chunk.begin(),
                    chunk.begin() + static_cast<std::ptrdiff_t>(std::min(want, markerLength)));
        if (holdsBlockMarker(seam.data(), seam.size()) || holdsBlockMarker(chunk.data(), want)) {
            throw Error(entry.source.string() +
                        ": carries an attached data block (an earlier build?); move it out of the folder");
        }
        seam.assign(chunk.begin() + static_cast<std::ptrdiff_t>(want - std::min(want, markerLength - 1)),
                    chunk.begin() + static_cast<std::ptrdiff_t>(want));
        frame.write(chunk.data(), want);
        left -= want;
        done += want;
        if (progress) progress(done, total);
    }
    if (source.peek() != std::char_traits<char>::eof()) {
        throw Error(entry.source.string() + ": changed size while it was packed");
    }
}

}  // namespace

PackSummary writeBlock(const Payload& payload, const BlockSink& sink, const CompressionOptions& options,
                       const Progress& progress)
{
    if (options.windowLog > maxWindowLog) {
        throw Error("a window of 2^" + std::to_string(options.windowLog) +
                    " bytes is larger than the 2^27 the bootstrap accepts");
    }
    uint64_t total = 2;
    uint64_t fileBytes = 0;
    for (const FileEntry& file : payload.files) {
        total += recordHeader(file.name, file.size).size() + file.size;
        fileBytes += file.size;
    }
    const Context context = makeContext(options, total);

    sink(reinterpret_cast<const uint8_t*>(ONEFILE_BLOCK_MAGIC), ONEFILE_BLOCK_MAGIC_LENGTH);
    FrameWriter frame(context.get(), sink);
    std::vector<uint8_t> chunk(1 << 20);
    uint64_t done = 0;
    for (const FileEntry& entry : payload.files) packFile(frame, entry, chunk, done, total, progress);
    const uint8_t endRecord[2] = {0, 0};
    frame.write(endRecord, 2, ZSTD_e_end);

    const std::vector<uint8_t> tail = blockTail(ONEFILE_BLOCK_MAGIC_LENGTH + frame.frameBytes());
    sink(tail.data(), tail.size());
    return PackSummary{payload.files.size(), fileBytes, total,
                       ONEFILE_BLOCK_MAGIC_LENGTH + frame.frameBytes() + tail.size()};
}

PackSummary writeBlock(const Payload& payload, const std::filesystem::path& output, const CompressionOptions& options,
                       const Progress& progress)
{
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    if (!file) throw Error(output.string() + ": cannot be written");
    const PackSummary summary = writeBlock(
        payload,
        [&](const uint8_t* bytes, size_t size) {
            file.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        },
        options, progress);
    file.close();
    if (!file) throw Error(output.string() + ": cannot be written");
    return summary;
}

}  // namespace pack
