// Helpers for the packer's host tests: scratch trees, files, blocks made by
// hand, and runs of the Windows extraction harness under Wine.
#pragma once

#include <gtest/gtest.h>

#include "../common/report_format.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Skips a test whose prerequisites are missing, except when CI is set: there
// a skip would let a run pass without testing anything.
#define ONEFILE_REQUIRE(condition, why)                                                                                \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            if (std::getenv("CI") != nullptr) FAIL() << why;                                                           \
            GTEST_SKIP() << why;                                                                                       \
        }                                                                                                              \
    } while (0)

class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& relative) const { return path_ / relative; }

private:
    fs::path path_;
};

void writeBytes(const fs::path& path, const std::string& bytes);
std::string readBytes(const fs::path& path);
std::string patternBytes(size_t size, uint32_t seed);

// A zstd frame of `content`; windowLog 0 keeps the level's default and a
// known size, otherwise the frame declares that window and no size.
std::vector<uint8_t> compressFrame(const std::vector<uint8_t>& content, int windowLog = 0, bool checksum = true);
std::vector<uint8_t> recordStream(const std::vector<std::pair<std::u16string, std::string>>& files);

// Runs a shell command line; its exit status.
int shell(const std::string& command);
// Single-quoted for the shell, embedded quotes included.
std::string shellQuote(const std::string& text);
// A Linux path as Wine programs name it, on drive Z:.
std::string windowsPathOf(const fs::path& path);

struct HarnessRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Extracts `block` into `target` (a Linux path; Wine sees it on drive Z:),
// as a start does or in one of the harness's other ways (`mode`, such as
// "--one-thread").
HarnessRun runHarness(const std::vector<uint8_t>& block, const fs::path& target, const std::string& mode = "");
bool harnessAvailable();
