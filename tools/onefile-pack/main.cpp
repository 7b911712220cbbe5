// onefile-pack create | build | list | verify: see usage() below.
#include "pack.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

int usage()
{
    std::fputs("usage: onefile-pack create --entry NAME -o BLOCK [--level N] [--threads N] [--window-log N] DIR\n"
               "       onefile-pack build (--entry NAME DIR | --block BLOCK) -o APP.exe [--splash PNG] [--icon ICO]\n"
               "                          [--sdk FILE] [--no-sweep] [create's options]\n"
               "       onefile-pack list FILE      (a block, or an executable that holds one)\n"
               "       onefile-pack verify FILE\n"
               "Defaults: level 19, one thread per processor, the level's window (at most 2^27).\n",
               stderr);
    return 64;
}

// A command line the tools cannot act on: one line, exit code 64.
struct UsageError : pack::Error {
    using pack::Error::Error;
};

int parseNumber(const char* text, const char* option, long lowest, long highest)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < lowest || value > highest) {
        throw UsageError(std::string(option) + " takes a whole number from " + std::to_string(lowest) + " to " +
                         std::to_string(highest) + ", not '" + text + "'");
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
        std::fprintf(stderr, "\r[%-30s] %8.1f / %.1f MiB  %6.1f MiB/s",
                     std::string(static_cast<size_t>(filled), '#').c_str(), done / 1048576.0, total / 1048576.0,
                     seconds > 0 ? done / 1048576.0 / seconds : 0.0);
        std::fflush(stderr);
    };
}

// The bootstrap this packer belongs to, found from its own location: an
// installed SDK (bin/ beside share/onefile/) or the build tree (host/ beside
// windows/). Nothing names the machine that built it.
std::filesystem::path findSdkBesideThisProgram()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path installed = self.parent_path() / "../share/onefile/onefile-sdk.txt";
    const std::filesystem::path buildTree = self.parent_path() / "../windows/onefile-sdk.txt";
    return (std::filesystem::exists(installed) ? installed : buildTree).lexically_normal();
}

struct Arguments {
    std::string entry, output, directory, block, splash, icon, sdk;
    bool sweep = true;
    pack::CompressionOptions options;
};

// The options of create and build; any other option, a missing value or a
// second directory is a usage error.
Arguments parseArguments(int argc, char** argv)
{
    enum : int { level = 256, threads, windowLog, noSweep, entry, block, splash, icon, sdk };
    static const option options[] = {
        {"entry", required_argument, nullptr, entry},     {"block", required_argument, nullptr, block},
        {"splash", required_argument, nullptr, splash},   {"icon", required_argument, nullptr, icon},
        {"sdk", required_argument, nullptr, sdk},         {"level", required_argument, nullptr, level},
        {"threads", required_argument, nullptr, threads}, {"window-log", required_argument, nullptr, windowLog},
        {"no-sweep", no_argument, nullptr, noSweep},      {nullptr, 0, nullptr, 0},
    };
    Arguments parsed;
    opterr = 0;
    optind = 1;
    // The command's own arguments start after its name.
    for (int found; (found = getopt_long(argc - 1, argv + 1, ":o:", options, nullptr)) != -1;) {
        switch (found) {
        case 'o':
            parsed.output = optarg;
            break;
        case entry:
            parsed.entry = optarg;
            break;
        case block:
            parsed.block = optarg;
            break;
        case splash:
            parsed.splash = optarg;
            break;
        case icon:
            parsed.icon = optarg;
            break;
        case sdk:
            parsed.sdk = optarg;
            break;
        case level:
            parsed.options.level = parseNumber(optarg, "--level", 1, 22);
            break;
        case threads:
            parsed.options.workers = parseNumber(optarg, "--threads", 1, 256);
            break;
        case windowLog:
            parsed.options.windowLog = parseNumber(optarg, "--window-log", 10, pack::maxWindowLog);
            break;
        case noSweep:
            parsed.sweep = false;
            break;
        case ':':
            throw UsageError(std::string(argv[optind]) + " needs a value");
        default:
            throw UsageError("unknown option '" + std::string(argv[optind]) + "'");
        }
    }
    for (int i = optind + 1; i < argc; ++i) {
        if (!parsed.directory.empty()) throw UsageError("one directory only, not also '" + std::string(argv[i]) + "'");
        parsed.directory = argv[i];
    }
    return parsed;
}

void packDirectory(const Arguments& arguments, const std::string& blockFile)
{
    const auto start = std::chrono::steady_clock::now();
    const pack::Payload payload = pack::collectPayload(arguments.directory, arguments.entry);
    for (const std::string& empty : payload.emptyDirectories) {
        std::fprintf(stderr, "onefile-pack: warning: %s/%s is an empty directory and is not carried\n",
                     arguments.directory.c_str(), empty.c_str());
    }
    const pack::Progress progress = terminalProgress();
    const pack::PackSummary summary = pack::writeBlock(payload, blockFile, arguments.options, progress);
    if (progress) std::fputs("\n", stderr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("onefile-pack: %llu files, %llu bytes into %llu bytes (%.1f%%) at level %d in %.2f s: %s\n",
                static_cast<unsigned long long>(summary.files), static_cast<unsigned long long>(summary.contentBytes),
                static_cast<unsigned long long>(summary.blockBytes),
                summary.contentBytes ? 100.0 * summary.blockBytes / summary.contentBytes : 0.0, arguments.options.level,
                seconds, blockFile.c_str());
}

int create(int argc, char** argv)
{
    const Arguments arguments = parseArguments(argc, argv);
    if (arguments.entry.empty() || arguments.output.empty() || arguments.directory.empty()) {
        throw UsageError("create needs --entry NAME, -o BLOCK and a directory");
    }
    if (!arguments.block.empty() || !arguments.splash.empty() || !arguments.icon.empty() || !arguments.sdk.empty() ||
        !arguments.sweep) {
        throw UsageError("--block, --splash, --icon, --sdk and --no-sweep belong to build");
    }
    packDirectory(arguments, arguments.output);
    return 0;
}

int build(int argc, char** argv)
{
    const Arguments arguments = parseArguments(argc, argv);
    if (arguments.output.empty() ||
        (arguments.block.empty() == (arguments.entry.empty() || arguments.directory.empty()))) {
        throw UsageError("build needs -o APP.exe and either --entry NAME with a directory or --block BLOCK");
    }
    pack::BuildRequest request;
    request.output = arguments.output;
    request.splash = arguments.splash;
    request.icon = arguments.icon;
    request.sweep = arguments.sweep;
    const char* sdkFromEnvironment = std::getenv("ONEFILE_SDK");
    request.sdkDescription = !arguments.sdk.empty() ? std::filesystem::path(arguments.sdk)
                             : sdkFromEnvironment   ? std::filesystem::path(sdkFromEnvironment)
                                                    : findSdkBesideThisProgram();
    if (!arguments.block.empty()) {
        request.block = arguments.block;
        pack::buildExecutable(request);
    } else {
        // The block lives beside the executable only while it is linked.
        request.block = arguments.output + ".block";
        packDirectory(arguments, request.block.string());
        try {
            pack::buildExecutable(request);
        } catch (...) {
            std::filesystem::remove(request.block);
            throw;
        }
        std::filesystem::remove(request.block);
    }
    std::printf("onefile-pack: wrote %s\n", arguments.output.c_str());
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
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(record.size),
                    pack::utf16ToUtf8(record.name).c_str());
    }
    for (const std::string& problem : report.problems)
        std::fprintf(stderr, "onefile-pack: %s: %s\n", path, problem.c_str());
    return report.problems.empty() ? 0 : 1;
}

int verify(const char* path)
{
    const pack::BlockReport report = pack::inspectBlock(readWholeFile(path));
    for (const std::string& problem : report.problems)
        std::fprintf(stderr, "onefile-pack: %s: %s\n", path, problem.c_str());
    if (!report.problems.empty()) return 1;
    uint64_t content = 0;
    for (const pack::Record& record : report.records) content += record.size;
    std::printf(
        "onefile-pack: %s: good block at offset %llu: %zu files, %llu bytes, frame %llu bytes, window %llu bytes, %s\n",
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
        if (command == "build") return build(argc, argv);
        if (command == "list" && argc == 3) return list(argv[2]);
        if (command == "verify" && argc == 3) return verify(argv[2]);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "onefile-pack: %s (run onefile-pack alone for its usage)\n", error.what());
        return 64;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "onefile-pack: %s\n", error.what());
        return 1;
    }
    return usage();
}
