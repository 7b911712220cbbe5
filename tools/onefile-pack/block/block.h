// The block: the payload's files and their names, the record stream, its
// zstd frame and the block around it, written and inspected. The block's
// layout and limits are in onefile_contract.h.
#pragma once

#include "onefile_contract.h"
#include "support/support.h"

#include <cstdint>
#include <functional>

namespace pack {

constexpr size_t maxNameUnits = ONEFILE_RECORD_NAME_MAX_UNITS;
constexpr int maxWindowLog = ONEFILE_WINDOW_LOG_MAX;
constexpr uint32_t largestSplashSide = ONEFILE_SPLASH_MAX_SIDE;

struct FileEntry {
    std::filesystem::path source;  // on this machine
    std::u16string name;           // in the block, with backslashes
    uint64_t size = 0;
};

struct Payload {
    std::vector<FileEntry> files;               // entry first, then by name
    std::vector<std::string> emptyDirectories;  // relative, for a warning
};

// Why a relative name (UTF-16, backslash-separated) cannot be carried, or
// an empty string when it can.
std::string nameProblem(const std::u16string& name);
// Upper-case fold used to find names Windows would take as one.
std::u16string foldCase(const std::u16string& name);
// Why the build's depfile cannot carry `path`, or an empty string when it
// can (names.cpp).
std::string depfilePathProblem(const std::string& path);
std::u16string utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const std::u16string& text);

// Walks `root` and checks every rule; throws Error naming every problem
// found (one line each, at most 20 and a count of the rest), each file by
// the path it was found at. With `dereference`, a link to a file inside
// `root` is carried as a copy of that file; other links are refused.
Payload collectPayload(const std::filesystem::path& root, const std::string& entry, bool dereference = false);
// Puts the files after the entry in name order.
void orderPayload(Payload& payload);

struct CompressionOptions {
    // Measured (bench/levels.sh): 20 times as fast as level 19, 14 to 17 %
    // larger. Level 19 stays one option away, and CMake's Release default.
    int level = 9;
    int workers = 0;            // 0: one per processor
    int windowLog = 0;          // 0: the level's default, capped at maxWindowLog
    bool longDistance = false;  // long-distance matching, within maxWindowLog
};

struct PackSummary {
    uint64_t files = 0;
    uint64_t fileBytes = 0;    // the files' own bytes
    uint64_t recordBytes = 0;  // what the frame holds: the files with their names and records' headers
    uint64_t blockBytes = 0;
};

using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Where a block's bytes go, in order, as they are made.
using BlockSink = std::function<void(const uint8_t* bytes, size_t size)>;
// Writes the block for `payload` into `sink`, or to the file `output`.
PackSummary writeBlock(const Payload& payload, const BlockSink& sink, const CompressionOptions& options,
                       const Progress& progress = {});
PackSummary writeBlock(const Payload& payload, const std::filesystem::path& output, const CompressionOptions& options,
                       const Progress& progress = {});

// Frames an already made record stream (for tests and tools).
std::vector<uint8_t> frameBlock(const std::vector<uint8_t>& compressedFrame);
std::vector<uint8_t> recordHeader(const std::u16string& name, uint64_t size);

struct Record {
    std::u16string name;
    uint64_t size = 0;
    uint64_t dataOffset = 0;  // within the record stream
};

struct BlockReport {
    uint64_t blockOffset = 0;  // where the block starts in the file
    uint64_t blockSize = 0;
    uint64_t frameSize = 0;
    uint64_t windowSize = 0;
    bool checksum = false;
    std::vector<Record> records;
    std::vector<std::string> problems;  // every rule the block breaks
};

// Finds the block in `bytes` (a block, or an executable that holds one),
// decodes the whole frame and checks every rule.
BlockReport inspectBlock(const std::vector<uint8_t>& bytes);

struct ExtractSummary {
    uint64_t files = 0;
    uint64_t bytes = 0;
};
// Writes the files of the block in `bytes` (a block, or an executable that
// holds one) below `folder`, made new or empty: each file and folder new,
// never through a link, every name checked as the bootstrap checks it.
// Throws Error at the first problem, having removed what it wrote.
ExtractSummary extractBlock(const std::vector<uint8_t>& bytes, const std::filesystem::path& folder);

// The magic of a block followed by a zstd frame's magic number: what
// `list` and `verify` look for, and what no packed file may hold.
const std::vector<uint8_t>& blockMarker();
bool holdsBlockMarker(const uint8_t* bytes, size_t size);

}  // namespace pack
