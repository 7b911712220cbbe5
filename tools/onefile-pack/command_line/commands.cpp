#include "command_line/commands.h"

#include "command_line/input_checks.h"
#include "command_line/option_table.h"
#include "executable/executable.h"
#include "pe/pe.h"

#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

// A pack that takes this long at a high level gets a hint.
constexpr double slowPackSeconds = 20;

// The payload collected from the folder, each name checked against the
// cache's own names.
pack::Payload collectCheckedPayload(const Arguments& arguments)
{
    pack::Payload payload = pack::collectPayload(arguments.directory, arguments.entry, arguments.dereference);
    for (const pack::FileEntry& file : payload.files) {
        const std::u16string reserved = u"" ONEFILE_CACHE_RESERVED_PREFIX;
        if (arguments.cache.enabled && file.name.find(u'\\') == std::u16string::npos &&
            pack::foldCase(file.name).rfind(reserved, 0) == 0) {
            throw pack::Error(file.source.string() + ": has a name the cache keeps for its own files (" +
                              ONEFILE_CACHE_RESERVED_PREFIX + "*); rename it");
        }
    }
    return payload;
}

// The DLLs the payload imports and lacks, found and added beside its entry;
// the toolchain's runtimes among them replaced by stripped copies made in
// `strippedCopies`, each said in one line.
void completeImports(const Arguments& arguments, pack::Payload& payload, const fs::path& strippedCopies)
{
    pack::ImportOptions imports;
    for (const std::string& folder : arguments.dllPath) imports.searchPath.push_back(folder);
    const std::vector<fs::path> toolchainFolders = pack::sdkDllPath(sdkDescription(arguments));
    for (const fs::path& folder : toolchainFolders) imports.searchPath.push_back(folder);
    imports.collect = arguments.collect;
    imports.systemDlls = arguments.systemDlls;
    const std::vector<pack::AddedDll> added = pack::completePayload(payload, imports);
    std::vector<pack::StrippedDll> stripped;
    if (arguments.strip) {
        const std::vector<fs::path> userFolders(arguments.dllPath.begin(), arguments.dllPath.end());
        stripped = pack::stripToolchainRuntimes(payload, added, toolchainFolders, userFolders, strippedCopies);
    }
    for (const pack::AddedDll& dll : added) {
        std::string note;
        for (const pack::StrippedDll& copy : stripped) {
            if (copy.name == dll.name) {
                note = "; debug information stripped, " + std::to_string(copy.before) + " -> " +
                       std::to_string(copy.after) + " bytes";
            }
        }
        std::printf("onefile-pack: added %s from %s (imported by %s%s)\n", pack::utf16ToUtf8(dll.name).c_str(),
                    dll.source.parent_path().c_str(), dll.importer.c_str(), note.c_str());
    }
}

void warnOfEmptyDirectories(const Arguments& arguments, const pack::Payload& payload)
{
    for (const std::string& empty : payload.emptyDirectories) {
        std::fprintf(stderr, "onefile-pack: warning: %s/%s is an empty directory and is not carried\n",
                     arguments.directory.c_str(), empty.c_str());
    }
}

// The summary line, and for a slow pack at a high level the one thing
// that makes it quick.
void printPackSummary(const Arguments& arguments, const pack::PackSummary& summary, double seconds,
                      const std::string& shown)
{
    std::printf("onefile-pack: %llu files of %llu bytes into a block of %llu bytes (%.1f%%) at level %d in %.2f s: "
                "%s\n",
                static_cast<unsigned long long>(summary.files), static_cast<unsigned long long>(summary.fileBytes),
                static_cast<unsigned long long>(summary.blockBytes),
                summary.fileBytes ? 100.0 * summary.blockBytes / summary.fileBytes : 0.0, arguments.options.level,
                seconds, shown.c_str());
    const int quickLevel = pack::CompressionOptions{}.level;
    if (arguments.options.level > quickLevel + 3 && seconds >= slowPackSeconds) {
        std::printf("onefile-pack: level %d took %.0f s; --level %d packs many times faster, 14 to 17%% larger "
                    "(bench/levels.sh)\n",
                    arguments.options.level, seconds, quickLevel);
    }
}

// Packs the folder into `blockFile`, or into `sink` when it is given; the
// summary names `shown`. The block's size.
uint64_t packDirectory(const Arguments& arguments, const std::string& blockFile, const std::string& shown,
                       const pack::BlockSink& sink = {})
{
    const auto start = std::chrono::steady_clock::now();
    pack::Payload payload = collectCheckedPayload(arguments);
    // The stripped copies live until the block is written.
    const pack::TemporaryDirectory strippedCopies;
    completeImports(arguments, payload, strippedCopies.path());
    if (!arguments.depfile.empty()) writeDepfile(arguments, payload);
    warnOfEmptyDirectories(arguments, payload);
    const pack::Progress progress = terminalProgress();
    const pack::PackSummary summary = sink ? pack::writeBlock(payload, sink, arguments.options, progress)
                                           : pack::writeBlock(payload, blockFile, arguments.options, progress);
    if (progress) std::fputs("\n", stderr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printPackSummary(arguments, summary, seconds, shown);
    return summary.blockBytes;
}

}  // namespace

int create(int argc, char** argv)
{
    const Arguments arguments = parseArguments(argc, argv);
    if (arguments.help) {
        printCommandUsage("create", stdout);
        return 0;
    }
    if (arguments.entry.empty() || arguments.output.empty() || arguments.directory.empty()) {
        throw UsageError("create needs --entry NAME, -o BLOCK and a directory");
    }
    if (!arguments.block.empty() || !arguments.splash.empty() || !arguments.icon.empty() || !arguments.sweep ||
        !arguments.depfile.empty() || !arguments.tempDir.empty() || !arguments.errorDialog || arguments.console ||
        arguments.splashProgress || arguments.version.requested() || arguments.manifest.changes() ||
        arguments.signing.requested() || arguments.cache.enabled) {
        throw UsageError("--block, --splash, --splash-progress, --icon, --no-sweep, --temp-dir, --no-error-dialog, "
                         "--console, the version, manifest, signing and cache options and --depfile belong to build");
    }
    checkInputs(arguments);
    packDirectory(arguments, arguments.output, arguments.output);
    return 0;
}

namespace {

// Options of build that only make sense together, or only alone: one
// usage line for the first mismatch.
void refuseMismatchedBuildOptions(const Arguments& arguments)
{
    if (arguments.output.empty() ||
        (arguments.block.empty() == (arguments.entry.empty() || arguments.directory.empty()))) {
        throw UsageError("build needs -o APP.exe and either --entry NAME with a directory or --block BLOCK");
    }
    if (!arguments.manifest.file.empty() && (arguments.manifest.requireAdministrator || arguments.manifest.dpiAware)) {
        throw UsageError("--manifest brings the whole manifest; --uac-admin and --dpi-aware cannot change it");
    }
    if (!arguments.cache.enabled &&
        (!arguments.cache.name.empty() || !arguments.cacheDir.empty() || !arguments.cache.recheck)) {
        throw UsageError("--cache-name, --cache-dir and --no-cache-recheck go with --cache");
    }
    const pack::SigningRequest& signing = arguments.signing;
    if (!signing.requested() &&
        (!signing.passwordFile.empty() || !signing.passwordVariable.empty() || !signing.timestampUrl.empty())) {
        throw UsageError("--sign-password-file, --sign-password-env and --timestamp-url go with --sign-pkcs12");
    }
    if (!signing.passwordFile.empty() && !signing.passwordVariable.empty()) {
        throw UsageError("one password: --sign-password-file or --sign-password-env");
    }
    if (arguments.splashProgress && arguments.splash.empty()) {
        throw UsageError("--splash-progress draws on the splash: give --splash PNG too");
    }
    if (!arguments.block.empty() && (!arguments.dllPath.empty() || !arguments.collect)) {
        throw UsageError("--dll-path and --no-collect apply to a directory, not to --block");
    }
}

pack::BuildRequest makeBuildRequest(const Arguments& arguments)
{
    pack::BuildRequest request;
    request.output = arguments.output;
    request.splash = arguments.splash;
    request.icon = arguments.icon;
    request.sweep = arguments.sweep;
    request.errorDialog = arguments.errorDialog;
    request.console = arguments.console;
    request.splashProgress = arguments.splashProgress;
    request.version = arguments.version;
    request.manifest = arguments.manifest;
    request.signing = arguments.signing;
    request.cache = arguments.cache;
    if (!arguments.cacheDir.empty()) request.cache.root = pack::utf8ToUtf16(arguments.cacheDir);
    if (!arguments.tempDir.empty()) request.runParentSpec = pack::utf8ToUtf16(arguments.tempDir);
    request.sdkDescription = sdkDescription(arguments);
    return request;
}

}  // namespace

int build(int argc, char** argv)
{
    Arguments arguments = parseArguments(argc, argv);
    // The versions of one executable share its name unless told otherwise.
    if (arguments.cache.enabled && arguments.cache.name.empty()) {
        arguments.cache.name = fs::path(arguments.output).stem().string();
    }
    if (arguments.help) {
        printCommandUsage("build", stdout);
        return 0;
    }
    refuseMismatchedBuildOptions(arguments);
    pack::BuildRequest request = makeBuildRequest(arguments);
    checkInputs(arguments);
    // A folder is packed straight into the executable as it is written.
    if (!arguments.block.empty()) {
        request.block = arguments.block;
    } else {
        request.packBlock = [&](const pack::BlockSink& sink) {
            return packDirectory(arguments, "", arguments.output, sink);
        };
    }
    const std::string signer = pack::buildExecutable(request);
    if (signer.empty()) {
        std::printf("onefile-pack: wrote %s\n", arguments.output.c_str());
    } else {
        std::printf("onefile-pack: wrote %s, signed by %s\n", arguments.output.c_str(), signer.c_str());
    }
    return 0;
}

namespace {

// The file's block, read and inspected; what stops either is a problem of
// the report, named after the file by its caller.
pack::BlockReport inspectFile(const char* path)
{
    pack::BlockReport report;
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        report.problems.push_back(std::string("cannot be read (") +
                                  (errno != 0 ? std::strerror(errno) : "not a readable file") + ")");
        return report;
    }
    try {
        report = pack::inspectBlock(
            std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
    } catch (const pack::Error& damage) {
        report.problems.push_back(damage.what());
    }
    return report;
}

}  // namespace

int list(const char* path)
{
    const pack::BlockReport report = inspectFile(path);
    for (const pack::Record& record : report.records) {
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(record.size),
                    pack::utf16ToUtf8(record.name).c_str());
    }
    for (const std::string& problem : report.problems)
        std::fprintf(stderr, "onefile-pack: %s: %s\n", path, problem.c_str());
    return report.problems.empty() ? 0 : 1;
}

int extract(const char* path, const char* folder)
{
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw pack::Error(std::string(path) + ": cannot be read (" +
                          (errno != 0 ? std::strerror(errno) : "not a readable file") + ")");
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    try {
        const pack::ExtractSummary summary = pack::extractBlock(bytes, folder);
        std::printf("onefile-pack: %llu files of %llu bytes written below %s\n",
                    static_cast<unsigned long long>(summary.files), static_cast<unsigned long long>(summary.bytes),
                    folder);
    } catch (const pack::Error& error) {
        throw pack::Error(std::string(path) + ": " + error.what());
    }
    return 0;
}

namespace {

// What the signature of an executable says; false when verify fails.
bool reportSignature(const char* path, const std::string& trusted)
{
    char start[2] = {};
    std::ifstream(path, std::ios::binary).read(start, 2);
    if (start[0] != 'M' || start[1] != 'Z') return true;  // a block on its own
    const pack::SignatureReport signature = pack::checkSignature(path, trusted);
    switch (signature.verdict) {
    case pack::SignatureReport::notChecked:
    case pack::SignatureReport::unsigned_:
        std::printf("onefile-pack: %s: %s\n", path, signature.detail.c_str());
        return true;
    case pack::SignatureReport::verifies:
        std::printf("onefile-pack: %s: signed by %s; the signature verifies\n", path, signature.detail.c_str());
        return true;
    case pack::SignatureReport::untrusted:
        std::printf("onefile-pack: %s: signed by %s\n", path, signature.detail.c_str());
        return true;
    case pack::SignatureReport::uncheckable:
        std::fprintf(stderr, "onefile-pack: %s: signed, but the signature cannot be checked: %s\n", path,
                     signature.detail.c_str());
        return false;
    case pack::SignatureReport::broken:
        break;
    }
    std::fprintf(stderr, "onefile-pack: %s: signed, but the signature no longer verifies: %s\n", path,
                 signature.detail.c_str());
    return false;
}

}  // namespace

int verify(const char* path, const std::string& trusted)
{
    if (!trusted.empty() && !fs::is_regular_file(trusted)) throw pack::Error("--trust " + trusted + ": no such file");
    if (!trusted.empty()) {
        // Refused before anything is said of the file.
        const pack::TemporaryDirectory work;
        pack::readTrustedRoots(trusted, work.path());
    }
    // A damaged block in a signed file: the signature may tell when it came.
    const pack::BlockReport report = inspectFile(path);
    for (const std::string& problem : report.problems)
        std::fprintf(stderr, "onefile-pack: %s: %s\n", path, problem.c_str());
    if (report.problems.empty()) {
        uint64_t content = 0;
        for (const pack::Record& record : report.records) content += record.size;
        std::printf("onefile-pack: %s: good block at offset %llu: %zu files, %llu bytes, frame %llu bytes, window "
                    "%llu bytes, %s\n",
                    path, static_cast<unsigned long long>(report.blockOffset), report.records.size(),
                    static_cast<unsigned long long>(content), static_cast<unsigned long long>(report.frameSize),
                    static_cast<unsigned long long>(report.windowSize), report.checksum ? "checksum" : "no checksum");
    }
    // A damaged block in a signed file: the signature says whether it was
    // damaged after signing.
    const bool signatureHolds = reportSignature(path, trusted);
    return report.problems.empty() && signatureHolds ? 0 : 1;
}
