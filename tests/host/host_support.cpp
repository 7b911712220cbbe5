#include "host_support.h"

#include "block/block.h"

#include <zstd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <unistd.h>

TempTree::TempTree()
{
    std::string pattern = (fs::temp_directory_path() / "onefile-host-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempTree::~TempTree()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void writeBytes(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readBytes(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::string patternBytes(size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    // Half random, half repeated text, so frames hold both kinds of block.
    for (size_t i = 0; i < size; ++i) bytes[i] = (i / 4096) % 2 ? static_cast<char>(generator()) : "onefile "[i % 8];
    return bytes;
}

std::vector<uint8_t> compressFrame(const std::vector<uint8_t>& content, int windowLog, bool checksum)
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    if (windowLog != 0) ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    std::vector<uint8_t> frame(ZSTD_compressBound(content.size()) + 64);
    ZSTD_outBuffer output{frame.data(), frame.size(), 0};
    ZSTD_inBuffer input{content.data(), content.size(), 0};
    // Feeding the input before ending keeps the size unknown, so the frame
    // declares the window that was asked for.
    ZSTD_compressStream2(context, &output, &input, ZSTD_e_continue);
    ZSTD_inBuffer none{nullptr, 0, 0};
    while (ZSTD_compressStream2(context, &output, &none, ZSTD_e_end) != 0) {
    }
    ZSTD_freeCCtx(context);
    frame.resize(output.pos);
    return frame;
}

std::vector<uint8_t> recordStream(const std::vector<std::pair<std::u16string, std::string>>& files)
{
    std::vector<uint8_t> stream;
    for (const auto& [name, data] : files) {
        const std::vector<uint8_t> header = pack::recordHeader(name, data.size());
        stream.insert(stream.end(), header.begin(), header.end());
        stream.insert(stream.end(), data.begin(), data.end());
    }
    stream.push_back(0);
    stream.push_back(0);
    return stream;
}

int shell(const std::string& command)
{
    return WEXITSTATUS(std::system(command.c_str()));
}

std::string windowsPathOf(const fs::path& path)
{
    std::string text = "Z:" + path.string();
    for (char& c : text) c = c == '/' ? '\\' : c;
    return text;
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The paths CMake wrote into ONEFILE_TEST_ENVIRONMENT, set before any test
// runs unless the environment already has them.
[[maybe_unused]] static const bool testEnvironmentSet = [] {
    std::istringstream pairs(ONEFILE_TEST_ENVIRONMENT);
    for (std::string pair; std::getline(pairs, pair, '|');) {
        const size_t equals = pair.find('=');
        setenv(pair.substr(0, equals).c_str(), pair.substr(equals + 1).c_str(), 0);
    }
    return true;
}();

bool harnessAvailable()
{
    const char* harness = std::getenv("ONEFILE_HARNESS");
    return harness != nullptr && fs::exists(harness) && std::getenv("ONEFILE_WINE_RUN") != nullptr;
}

static HarnessRun runHarnessOnce(const fs::path& block, const fs::path& target, const std::string& mode,
                                 const TempTree& files)
{
    std::string windowsTarget = "Z:" + target.string();
    for (char& c : windowsTarget) c = c == '/' ? '\\' : c;
    const std::string command =
        "timeout 60 " + shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(std::getenv("ONEFILE_HARNESS")) +
        " --block " + shellQuote(block.string()) + " " + mode + " " + shellQuote(windowsTarget) + " > " +
        shellQuote((files / "out").string()) + " 2> " + shellQuote((files / "err").string()) + " < /dev/null";
    const int status = std::system(command.c_str());
    HarnessRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readBytes(files / "out");
    run.err = readBytes(files / "err");
    return run;
}

HarnessRun runHarness(const std::vector<uint8_t>& block, const fs::path& target, const std::string& mode)
{
    TempTree files;
    writeBytes(files / "block", std::string(block.begin(), block.end()));
    HarnessRun run = runHarnessOnce(files / "block", target, mode, files);
    // Now and then, under load, Wine fails to start a process: exit code 1
    // and nothing printed. The harness never ends that way (0, 2, 3 or 64)
    // and the reader is deterministic, so the same block runs once more.
    if (run.exitCode == 1 && run.out.empty() && run.err.empty()) {
        std::cerr << "Wine gave exit code 1 without output; running the harness again\n";
        run = runHarnessOnce(files / "block", target, mode, files);
    }
    return run;
}
