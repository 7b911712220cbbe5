// onefile-pack create | list | verify: see usage() below.
#include "pack.h"

#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

int usage()
{
    std::fputs(
        "usage: onefile-pack create --entry NAME -o BLOCK [--level N] [--threads N] [--window-log N]\n"
        "                           [--no-checksum] DIR\n"
        "       onefile-pack list FILE      (a block, or an executable that holds one)\n"
        "       onefile-pack verify FILE\n"
        "Defaults: level 19, one thread per processor, the level's window (at most 2^27), checksum on.\n",
        stderr);
    return 64;
}

int parseNumber(const char* text, const char* option)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > 1000) {
        throw pack::Error(std::string(option) + " takes a number, not '" + text + "'");
    }
    return static_cast<int>(value);
}

// On a terminal, a bar with bytes done and the rate, redrawn at most ten
// times a second.
pack::Progress terminalProgress()
{
    if (!isatty(STDERR_FILENO)) return {};
    const auto start = std::chrono::steady_clock::now();
    auto last = start;
    return [start, last](uint64_t done, uint64_t total) mutable {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < std::chrono::milliseconds(100) && done < total) return;
        last = now;
        const double seconds = std::chrono::duration<double>(now - start).count();
        const int filled = total ? static_cast<int>(30 * done / total) : 30;
        std::fprintf(stderr, "\r[%-30s] %8.1f / %.1f MiB  %6.1f MiB/s", std::string(static_cast<size_t>(filled), '#').c_str(),
                     done / 1048576.0, total / 1048576.0, seconds > 0 ? done / 1048576.0 / seconds : 0.0);
        std::fflush(stderr);
    };
}

int create(int argc, char** argv)
{
    std::string entry;
    std::string output;
    std::string directory;
    pack::CompressionOptions options;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--entry" && hasValue) entry = argv[++i];
        else if (argument == "-o" && hasValue) output = argv[++i];
        else if (argument == "--level" && hasValue) options.level = parseNumber(argv[++i], "--level");
        else if (argument == "--threads" && hasValue) options.workers = parseNumber(argv[++i], "--threads");
        else if (argument == "--window-log" && hasValue) options.windowLog = parseNumber(argv[++i], "--window-log");
        else if (argument == "--no-checksum") options.checksum = false;
        else if (directory.empty() && argument[0] != '-') directory = argument;
        else return usage();
    }
    if (entry.empty() || output.empty() || directory.empty()) return usage();

    const auto start = std::chrono::steady_clock::now();
    const pack::Payload payload = pack::collectPayload(directory, entry);
    for (const std::string& empty : payload.emptyDirectories) {
        std::fprintf(stderr, "onefile-pack: warning: %s/%s is an empty directory and is not carried\n",
                     directory.c_str(), empty.c_str());
    }
    const pack::Progress progress = terminalProgress();
    const pack::PackSummary summary = pack::writeBlock(payload, output, options, progress);
    if (progress) std::fputs("\n", stderr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("onefile-pack: %llu files, %llu bytes into %llu bytes (%.1f%%) at level %d in %.2f s: %s\n",
                static_cast<unsigned long long>(summary.files), static_cast<unsigned long long>(summary.contentBytes),
                static_cast<unsigned long long>(summary.blockBytes),
                summary.contentBytes ? 100.0 * summary.blockBytes / summary.contentBytes : 0.0, options.level, seconds,
                output.c_str());
    return 0;
}

std::vector<uint8_t> readWholeFile(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) throw pack::Error(std::string(path) + ": cannot be read");
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int list(const char* path)
{
    const pack::BlockReport report = pack::inspectBlock(readWholeFile(path));
    for (const pack::Record& record : report.records) {
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(record.size), pack::utf16ToUtf8(record.name).c_str());
    }
    for (const std::string& problem : report.problems) std::fprintf(stderr, "onefile-pack: %s: %s\n", path, problem.c_str());
    return report.problems.empty() ? 0 : 1;
}

int verify(const char* path)
{
    const pack::BlockReport report = pack::inspectBlock(readWholeFile(path));
    for (const std::string& problem : report.problems) std::fprintf(stderr, "onefile-pack: %s: %s\n", path, problem.c_str());
    if (!report.problems.empty()) return 1;
    uint64_t content = 0;
    for (const pack::Record& record : report.records) content += record.size;
    std::printf("onefile-pack: %s: good block at offset %llu: %zu files, %llu bytes, frame %llu bytes, window %llu bytes, %s\n",
                path, static_cast<unsigned long long>(report.blockOffset), report.records.size(),
                static_cast<unsigned long long>(content), static_cast<unsigned long long>(report.frameSize),
                static_cast<unsigned long long>(report.windowSize), report.checksum ? "checksum" : "no checksum");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
    if (argc < 2) return usage();
    const std::string command = argv[1];
    try {
        if (command == "create") return create(argc, argv);
        if (command == "list" && argc == 3) return list(argv[2]);
        if (command == "verify" && argc == 3) return verify(argv[2]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "onefile-pack: %s\n", error.what());
        return 1;
    }
    return usage();
}
