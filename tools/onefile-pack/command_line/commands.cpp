#include "command_line/commands.h"

#include "command_line/input_checks.h"
#include "pe/pe.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

// Packs the folder into `blockFile`; the summary names `shown`.
void packDirectory(const Arguments& arguments, const std::string& blockFile, const std::string& shown)
{
    const auto start = std::chrono::steady_clock::now();
    pack::Payload payload = pack::collectPayload(arguments.directory, arguments.entry);
    for (const pack::FileEntry& file : payload.files) {
        if (arguments.cache.enabled && pack::foldCase(file.name) == pack::foldCase(u"" ONEFILE_CACHE_MANIFEST_NAME)) {
            throw pack::Error(file.source.string() + ": has the name of the cache's manifest; rename it");
        }
    }
    pack::ImportOptions imports;
    for (const std::string& folder : arguments.dllPath) imports.searchPath.push_back(folder);
    for (const fs::path& folder : pack::sdkDllPath(sdkDescription(arguments))) imports.searchPath.push_back(folder);
    imports.collect = arguments.collect;
    for (const pack::AddedDll& added : pack::completePayload(payload, imports)) {
        std::printf("onefile-pack: added %s from %s (imported by %s)\n", pack::utf16ToUtf8(added.name).c_str(),
                    added.source.parent_path().c_str(), added.importer.c_str());
    }
    if (!arguments.depfile.empty()) writeDepfile(arguments, payload);
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
                seconds, shown.c_str());
}

}  // namespace

int create(int argc, char** argv)
{
    const Arguments arguments = parseArguments(argc, argv);
    if (arguments.help) {
        printUsage(stdout);
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
    if (!arguments.cache.enabled && (!arguments.cache.name.empty() || !arguments.cacheDir.empty())) {
        throw UsageError("--cache-name and --cache-dir go with --cache");
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
        printUsage(stdout);
        return 0;
    }
    refuseMismatchedBuildOptions(arguments);
    pack::BuildRequest request = makeBuildRequest(arguments);
    checkInputs(arguments);
    // The block lives in a temporary folder only while it is linked.
    const pack::TemporaryDirectory temporary;
    if (!arguments.block.empty()) {
        request.block = arguments.block;
    } else {
        request.block = temporary.path() / "app.block";
        packDirectory(arguments, request.block.string(), arguments.output);
    }
    pack::buildExecutable(request);
    std::printf("onefile-pack: wrote %s\n", arguments.output.c_str());
    return 0;
}

namespace {

std::vector<uint8_t> readWholeFile(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) throw pack::Error(std::string(path) + ": cannot be read");
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

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

namespace {

// What the signature of an executable says; false when it is broken.
bool reportSignature(const char* path)
{
    char start[2] = {};
    std::ifstream(path, std::ios::binary).read(start, 2);
    if (start[0] != 'M' || start[1] != 'Z') return true;  // a block on its own
    const pack::SignatureReport signature = pack::checkSignature(path);
    switch (signature.verdict) {
    case pack::SignatureReport::notChecked:
    case pack::SignatureReport::unsigned_:
        std::printf("onefile-pack: %s: %s\n", path, signature.detail.c_str());
        return true;
    case pack::SignatureReport::verifies:
        std::printf("onefile-pack: %s: signed by %s; the signature verifies\n", path, signature.detail.c_str());
        return true;
    case pack::SignatureReport::digestOnly:
        std::printf("onefile-pack: %s: signed by %s\n", path, signature.detail.c_str());
        return true;
    case pack::SignatureReport::broken:
        break;
    }
    std::fprintf(stderr, "onefile-pack: %s: signed, but the signature no longer verifies: %s\n", path,
                 signature.detail.c_str());
    return false;
}

}  // namespace

int verify(const char* path)
{
    pack::BlockReport report;
    try {
        report = pack::inspectBlock(readWholeFile(path));
    } catch (const pack::Error& damage) {
        report.problems.push_back(damage.what());  // and the signature may tell when it came
    }
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
    const bool signatureHolds = reportSignature(path);
    return report.problems.empty() && signatureHolds ? 0 : 1;
}
