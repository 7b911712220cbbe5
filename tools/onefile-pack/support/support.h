// What every room of the packer shares: its one kind of error, the tools it
// starts, text files and temporary folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace pack {

// Any refusal or damage; what() is the one line shown to the user.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --- Tools (run_tool.cpp), started with posix_spawnp and an argument
// vector. runTool throws Error("<what> failed: ...") unless the tool exits
// with 0; runToolCapturing writes its standard output and error to
// `output` and returns its exit status (-1 when it did not exit).
void runTool(const std::vector<std::string>& arguments, const std::string& what);
int runToolCapturing(const std::vector<std::string>& arguments, const std::string& what,
                     const std::filesystem::path& output);
// Whether an executable of that name is on PATH.
bool toolIsInstalled(const std::string& name);

// Of `candidates`, the one nearest to `typed` within two edits (a letter
// changed, added or dropped), for "did you mean ...?"; empty when none is.
std::string findNearestName(const std::string& typed, const std::vector<std::string>& candidates);

// A text file whole; empty when it cannot be read.
std::string readTextFile(const std::filesystem::path& file);
// A file's bytes whole; throws Error naming it when it cannot be read.
std::vector<uint8_t> readBinaryFile(const std::filesystem::path& file);

// The `size`-byte little-endian number at `bytes` (at `at` of `file`): the
// one reader of the formats' numbers (PE headers, certificate table, block).
inline uint64_t readLittleEndian(const uint8_t* bytes, unsigned size)
{
    uint64_t value = 0;
    for (unsigned i = size; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}
inline uint64_t readLittleEndian(const std::vector<uint8_t>& file, uint64_t at, unsigned size)
{
    return readLittleEndian(&file[at], size);
}

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
