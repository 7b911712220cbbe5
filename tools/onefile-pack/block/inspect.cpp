#include "block/block.h"

#define ZSTD_STATIC_LINKING_ONLY  // frame header inspection
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace pack {

namespace {

struct DecoderDeleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// Decodes the frame at `frame` completely; throws Error when zstd refuses it.
std::vector<uint8_t> decodeFrame(const uint8_t* frame, size_t available, size_t& consumed)
{
    const std::unique_ptr<ZSTD_DCtx, DecoderDeleter> decoder(ZSTD_createDCtx());
    if (!decoder) throw Error("zstd: cannot create a decompression context");
    ZSTD_DCtx* const context = decoder.get();
    // Inspection reads any window, so that an oversized one can be reported.
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, 31);
    std::vector<uint8_t> content;
    std::vector<uint8_t> window(1 << 20);
    ZSTD_inBuffer input{frame, available, 0};
    size_t remaining = 1;
    while (remaining != 0) {
        ZSTD_outBuffer output{window.data(), window.size(), 0};
        remaining = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(remaining)) {
            throw Error(std::string("the frame does not decode: ") + ZSTD_getErrorName(remaining));
        }
        content.insert(content.end(), window.begin(), window.begin() + static_cast<std::ptrdiff_t>(output.pos));
        if (remaining != 0 && input.pos == input.size && output.pos < output.size) {
            throw Error("the frame is truncated");
        }
    }
    consumed = input.pos;
    return content;
}

// Reads a NUL-terminated UTF-16LE name at `at`; false when the stream ends first.
bool readName(const std::vector<uint8_t>& content, size_t& at, std::u16string& name)
{
    for (;;) {
        if (at + 2 > content.size()) return false;
        const char16_t unit = static_cast<char16_t>(content[at] | (content[at + 1] << 8));
        at += 2;
        if (unit == 0) return true;
        name += unit;
    }
}

// What the record list as a whole must hold: something after the names,
// and a Windows DLL first.
void checkRecordList(const std::vector<uint8_t>& content, size_t end, BlockReport& report)
{
    if (end != content.size()) report.problems.push_back("the frame holds bytes after the end record");
    if (report.records.empty()) {
        report.problems.push_back("the block holds no file, so there is no entry DLL");
    } else if (report.records[0].size < 2 || content[report.records[0].dataOffset] != 'M' ||
               content[report.records[0].dataOffset + 1] != 'Z') {
        report.problems.push_back(utf16ToUtf8(report.records[0].name) + ": the first record is not a Windows DLL");
    }
}

void parseRecords(const std::vector<uint8_t>& content, BlockReport& report)
{
    std::map<std::u16string, std::u16string> seen;
    size_t at = 0;
    for (;;) {
        std::u16string name;
        if (!readName(content, at, name)) {
            report.problems.push_back("the record stream ends inside a name, before its end record");
            return;
        }
        if (name.empty()) break;
        if (at + 8 > content.size()) {
            report.problems.push_back("the record stream ends inside the size of " + utf16ToUtf8(name));
            return;
        }
        const uint64_t size = readLittleEndian(&content[at], 8);
        at += 8;
        if (size > content.size() - at) {
            report.problems.push_back(utf16ToUtf8(name) + ": its size runs past the end of the stream");
            return;
        }
        const std::string problem = nameProblem(name);
        if (!problem.empty()) report.problems.push_back(utf16ToUtf8(name) + ": " + problem);
        const auto [previous, inserted] = seen.emplace(foldCase(name), name);
        if (!inserted) {
            report.problems.push_back(utf16ToUtf8(name) + ": differs only in letter case from " +
                                      utf16ToUtf8(previous->second));
        }
        report.records.push_back(Record{name, size, at});
        at += size;
    }
    checkRecordList(content, at, report);
}

void checkTail(const std::vector<uint8_t>& bytes, BlockReport& report)
{
    const uint64_t frameEnd = report.blockOffset + ONEFILE_BLOCK_MAGIC_LENGTH + report.frameSize;
    const uint64_t at = frameEnd + onefile_block_padding(frameEnd - report.blockOffset);
    if (at > bytes.size() ||
        std::any_of(bytes.begin() + static_cast<std::ptrdiff_t>(frameEnd),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at), [](uint8_t b) { return b != 0; })) {
        report.problems.push_back("the frame is not followed by 6 to 13 zero bytes up to a multiple of 8");
        return;
    }
    if (at + ONEFILE_BLOCK_TRAILER_SIZE > bytes.size() || readLittleEndian(&bytes[at], 8) != at - report.blockOffset) {
        report.problems.push_back("the block's last 8 bytes do not hold their own offset");
        return;
    }
    report.blockSize = at + ONEFILE_BLOCK_TRAILER_SIZE - report.blockOffset;
}

}  // namespace

BlockReport inspectBlock(const std::vector<uint8_t>& bytes)
{
    const std::vector<uint8_t>& pattern = blockMarker();
    std::string lastFailure = "no attached data block found (no \"" ONEFILE_BLOCK_MAGIC "\" followed by a zstd frame)";
    for (auto it = bytes.begin(); (it = std::search(it, bytes.end(), pattern.begin(), pattern.end())) != bytes.end();
         ++it) {
        BlockReport report;
        report.blockOffset = static_cast<uint64_t>(it - bytes.begin());
        const uint8_t* frame = &*it + ONEFILE_BLOCK_MAGIC_LENGTH;
        const size_t available = bytes.size() - report.blockOffset - ONEFILE_BLOCK_MAGIC_LENGTH;
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader(&header, frame, available) != 0) continue;
        report.windowSize = header.windowSize;
        report.checksum = header.checksumFlag != 0;
        size_t consumed = 0;
        std::vector<uint8_t> content;
        try {
            content = decodeFrame(frame, available, consumed);
        } catch (const Error& error) {
            lastFailure = error.what();
            continue;
        }
        report.frameSize = consumed;
        if (!report.checksum)
            report.problems.push_back("the frame has no content checksum, which the bootstrap requires");
        if (report.windowSize > (uint64_t{1} << maxWindowLog)) {
            report.problems.push_back("the frame's window of " + std::to_string(report.windowSize) +
                                      " bytes is larger than the 2^27 the bootstrap accepts");
        }
        parseRecords(content, report);
        checkTail(bytes, report);
        return report;
    }
    throw Error(lastFailure);
}

const std::vector<uint8_t>& blockMarker()
{
    static const std::vector<uint8_t> marker = [] {
        std::vector<uint8_t> pattern;
        for (const char c : std::string(ONEFILE_BLOCK_MAGIC)) pattern.push_back(static_cast<uint8_t>(c));
        for (const uint8_t c : {0x28, 0xB5, 0x2F, 0xFD}) pattern.push_back(c);  // a zstd frame's magic number
        return pattern;
    }();
    return marker;
}

bool holdsBlockMarker(const uint8_t* bytes, size_t size)
{
    const std::vector<uint8_t>& marker = blockMarker();
    return std::search(bytes, bytes + size, marker.begin(), marker.end()) != bytes + size;
}

}  // namespace pack
