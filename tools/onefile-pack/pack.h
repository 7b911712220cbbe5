// onefile-pack: writes and reads the attached data block that a onefile
// executable carries. Host-side, portable C++17 on top of libzstd. The
// block's layout and limits are in onefile_contract.h.
#pragma once

#include "onefile_contract.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pack {

// Any refusal or damage; what() is the one line shown to the user.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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
std::u16string utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const std::u16string& text);

// Walks `root` and checks every rule; throws Error on the first refusal.
Payload collectPayload(const std::filesystem::path& root, const std::string& entry);

struct CompressionOptions {
    int level = 19;
    int workers = 0;    // 0: one per processor
    int windowLog = 0;  // 0: the level's default, capped at maxWindowLog
};

struct PackSummary {
    uint64_t files = 0;
    uint64_t contentBytes = 0;
    uint64_t blockBytes = 0;
};

using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Writes the block for `payload` to `output`.
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

struct BuildRequest {
    std::filesystem::path block;               // the attached data block to link
    std::filesystem::path output;              // the executable to write
    std::filesystem::path splash;              // optional PNG, resource 28
    std::filesystem::path icon;                // optional .ico, icon group 1
    std::filesystem::path sdkDescription;      // what the Windows build made
    bool sweep = true;                         // remove dead runs' leftovers at start
    std::u16string runParentSpec = u"{TEMP}";  // where each run's own folder goes
};

// Links a onefile executable from a block and the bootstrap's build, with
// the cross toolchain that build used, to exactly request.output.
void buildExecutable(const BuildRequest& request);

// --- Inputs checked before anything is compressed (check_inputs.cpp);
// each throws Error naming the file and what is wrong.
// Why a --temp-dir spec cannot be used, or an empty string when it can: only
// {TEMP}, {HOME}, {CACHE_DIR} and {PROGRAM_DIR}, no per-run placeholder,
// and rooted after expansion (a placeholder, "X:\" or "\\" first).
std::string runParentSpecProblem(const std::string& spec);
// A PNG the bootstrap can show: the signature, an IHDR chunk first, sides
// of 1 to largestSplashSide pixels.
void checkSplashImage(const std::filesystem::path& file);
// An .ico: its header, and room for the images it announces.
void checkIcon(const std::filesystem::path& file);
// The magic of a block followed by a zstd frame's magic number: what
// `list` and `verify` look for, and what no packed file may hold.
const std::vector<uint8_t>& blockMarker();
bool holdsBlockMarker(const uint8_t* bytes, size_t size);

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace pack
