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
#include <set>
#include <sstream>

namespace {

void printUsage(std::FILE* stream)
{
    std::fputs("usage: onefile-pack create --entry NAME -o BLOCK [--level N] [--threads N] [--window-log N]\n"
               "                           [--dll-path DIR]... [--no-collect] [--sdk FILE] DIR\n"
               "       onefile-pack build (--entry NAME DIR | --block BLOCK) -o APP.exe [--icon ICO]\n"
               "                          [--splash PNG [--splash-progress]]\n"
               "                          [--sdk FILE] [--no-sweep] [--temp-dir SPEC] [--no-error-dialog] [--console]\n"
               "                          [--file-version N.N.N.N] [--product-version N.N.N.N] [--company TEXT]\n"
               "                          [--product TEXT] [--description TEXT] [--copyright TEXT]\n"
               "                          [--original-filename TEXT] [--internal-name TEXT]\n"
               "                          [--uac-admin] [--dpi-aware] [--manifest FILE]\n"
               "                          [--sign-pkcs12 FILE [--sign-password-file FILE | --sign-password-env NAME]\n"
               "                           [--timestamp-url URL]]\n"
               "                          [--cache [--cache-name NAME] [--cache-dir SPEC] [--cache-keep N]]\n"
               "                          [--depfile FILE] [create's options]\n"
               "       onefile-pack list FILE      (a block, or an executable that holds one)\n"
               "       onefile-pack verify FILE\n"
               "       onefile-pack --help | --version\n"
               "Defaults: level 19, one thread per processor, the level's window (at most 2^27).\n"
               "-o names exactly the file written; its folder must exist and lie outside DIR.\n"
               "The entry must be a 64-bit DLL exporting run_code. Every DLL a PE file in DIR imports must be\n"
               "a system DLL, in DIR, or in a --dll-path folder (searched in order, then the toolchain's\n"
               "runtime folders that the SDK names); those are added beside the entry, or refused with\n"
               "--no-collect. A fatal line of the executable that nobody can see (started without standard\n"
               "handles, as from Explorer) is also shown in a message box, unless --no-error-dialog.\n"
               "--console makes a console program: the application shares the console it is started from.\n"
               "--cache unpacks the application once, into {CACHE_DIR}\\onefile\\NAME\\ID (or --cache-dir SPEC),\n"
               "and reuses it after a check of every entry; --cache-keep N versions stay (2).\n"
               "verify also reports an executable's Authenticode signature (osslsigncode): its digest and\n"
               "signature, not its certificate's chain; a broken one exits with 1.\n"
               "Exit codes: 0 done, 1 refused or failed (one line on standard error), 64 a usage error.\n",
               stream);
}

int usage()
{
    printUsage(stderr);
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
    std::string entry, output, directory, block, splash, icon, sdk, depfile, tempDir;
    std::vector<std::string> dllPath;
    bool sweep = true;
    bool collect = true;
    bool errorDialog = true;
    bool console = false;
    bool splashProgress = false;
    bool help = false;
    pack::CompressionOptions options;
    pack::VersionInfo version;
    pack::ManifestChoice manifest;
    pack::SigningRequest signing;
    pack::CacheRequest cache;
    std::string cacheDir;
};

struct OptionSpec {
    const char* name;
    bool takesValue;
    void (*apply)(Arguments& arguments, const char* value);
};

// Every option of create and build, by its long name.
const std::vector<OptionSpec>& optionSpecs()
{
    using A = Arguments;
    static const std::vector<OptionSpec> specs = {
        {"entry", true, [](A& a, const char* v) { a.entry = v; }},
        {"block", true, [](A& a, const char* v) { a.block = v; }},
        {"splash", true, [](A& a, const char* v) { a.splash = v; }},
        {"splash-progress", false, [](A& a, const char*) { a.splashProgress = true; }},
        {"icon", true, [](A& a, const char* v) { a.icon = v; }},
        {"sdk", true, [](A& a, const char* v) { a.sdk = v; }},
        {"level", true, [](A& a, const char* v) { a.options.level = parseNumber(v, "--level", 1, 22); }},
        {"threads", true, [](A& a, const char* v) { a.options.workers = parseNumber(v, "--threads", 1, 256); }},
        {"window-log", true,
         [](A& a, const char* v) { a.options.windowLog = parseNumber(v, "--window-log", 10, pack::maxWindowLog); }},
        {"no-sweep", false, [](A& a, const char*) { a.sweep = false; }},
        {"help", false, [](A& a, const char*) { a.help = true; }},
        {"depfile", true, [](A& a, const char* v) { a.depfile = v; }},
        {"temp-dir", true, [](A& a, const char* v) { a.tempDir = v; }},
        {"dll-path", true, [](A& a, const char* v) { a.dllPath.push_back(v); }},
        {"no-collect", false, [](A& a, const char*) { a.collect = false; }},
        {"no-error-dialog", false, [](A& a, const char*) { a.errorDialog = false; }},
        {"console", false, [](A& a, const char*) { a.console = true; }},
        {"file-version", true, [](A& a, const char* v) { a.version.fileVersion = v; }},
        {"product-version", true, [](A& a, const char* v) { a.version.productVersion = v; }},
        {"company", true, [](A& a, const char* v) { a.version.company = v; }},
        {"product", true, [](A& a, const char* v) { a.version.product = v; }},
        {"description", true, [](A& a, const char* v) { a.version.description = v; }},
        {"copyright", true, [](A& a, const char* v) { a.version.copyright = v; }},
        {"original-filename", true, [](A& a, const char* v) { a.version.originalFilename = v; }},
        {"internal-name", true, [](A& a, const char* v) { a.version.internalName = v; }},
        {"uac-admin", false, [](A& a, const char*) { a.manifest.requireAdministrator = true; }},
        {"dpi-aware", false, [](A& a, const char*) { a.manifest.dpiAware = true; }},
        {"manifest", true, [](A& a, const char* v) { a.manifest.file = v; }},
        {"sign-pkcs12", true, [](A& a, const char* v) { a.signing.pkcs12 = v; }},
        {"sign-password-file", true, [](A& a, const char* v) { a.signing.passwordFile = v; }},
        {"sign-password-env", true, [](A& a, const char* v) { a.signing.passwordVariable = v; }},
        {"timestamp-url", true, [](A& a, const char* v) { a.signing.timestampUrl = v; }},
        {"cache", false, [](A& a, const char*) { a.cache.enabled = true; }},
        {"cache-name", true, [](A& a, const char* v) { a.cache.name = v; }},
        {"cache-dir", true, [](A& a, const char* v) { a.cacheDir = v; }},
        {"cache-keep", true, [](A& a, const char* v) { a.cache.keep = parseNumber(v, "--cache-keep", 1, 100); }},
    };
    return specs;
}

// The options of create and build; any other option, a missing value or a
// second directory is a usage error.
Arguments parseArguments(int argc, char** argv)
{
    constexpr int firstSpec = 256;
    std::vector<option> options;
    for (const OptionSpec& spec : optionSpecs()) {
        options.push_back({spec.name, spec.takesValue ? required_argument : no_argument, nullptr,
                           firstSpec + static_cast<int>(options.size())});
    }
    options.push_back({nullptr, 0, nullptr, 0});
    Arguments parsed;
    opterr = 0;
    optind = 1;
    // The command's own arguments start after its name.
    for (int found; (found = getopt_long(argc - 1, argv + 1, ":o:h", options.data(), nullptr)) != -1;) {
        if (found == 'o') {
            parsed.output = optarg;
        } else if (found == 'h') {
            parsed.help = true;
        } else if (found == ':') {
            throw UsageError(std::string(argv[optind]) + " needs a value");
        } else if (found >= firstSpec && found < firstSpec + static_cast<int>(optionSpecs().size())) {
            optionSpecs()[static_cast<size_t>(found - firstSpec)].apply(parsed, optarg);
        } else {
            throw UsageError("unknown option '" + std::string(argv[optind]) + "'");
        }
    }
    for (int i = optind + 1; i < argc; ++i) {
        if (!parsed.directory.empty()) throw UsageError("one directory only, not also '" + std::string(argv[i]) + "'");
        parsed.directory = argv[i];
    }
    return parsed;
}

namespace fs = std::filesystem;

// The bootstrap build to link with: --sdk, else $ONEFILE_SDK, else the one
// beside this program.
fs::path sdkDescription(const Arguments& arguments)
{
    const char* fromEnvironment = std::getenv("ONEFILE_SDK");
    return !arguments.sdk.empty() ? fs::path(arguments.sdk)
           : fromEnvironment      ? fs::path(fromEnvironment)
                                  : findSdkBesideThisProgram();
}

// Whether `path` lies in `folder` (both existing or not), after links.
bool isInside(const fs::path& path, const fs::path& folder)
{
    const fs::path inside = fs::weakly_canonical(path);
    const fs::path root = fs::weakly_canonical(folder);
    auto r = root.begin();
    for (auto i = inside.begin(); r != root.end() && i != inside.end() && *r == *i; ++r, ++i) {
    }
    return r == root.end();
}

void checkVersionInfo(const pack::VersionInfo& version)
{
    for (const auto& [option, value] :
         {std::pair{"--file-version", &version.fileVersion}, std::pair{"--product-version", &version.productVersion}}) {
        const std::string problem = value->empty() ? "" : pack::versionNumberProblem(*value);
        if (!problem.empty()) throw pack::Error(std::string(option) + " " + *value + ": " + problem);
    }
    for (const auto& [option, value] :
         {std::pair{"--company", &version.company}, std::pair{"--product", &version.product},
          std::pair{"--description", &version.description}, std::pair{"--copyright", &version.copyright},
          std::pair{"--original-filename", &version.originalFilename},
          std::pair{"--internal-name", &version.internalName}}) {
        const std::string problem = pack::versionTextProblem(*value);
        if (!problem.empty()) throw pack::Error(std::string(option) + ": " + problem);
    }
}

void checkSigning(const pack::SigningRequest& signing)
{
    if (!signing.requested()) return;
    if (!fs::is_regular_file(signing.pkcs12))
        throw pack::Error(signing.pkcs12.string() + ": the key file does not exist");
    if (!signing.passwordFile.empty() && !fs::is_regular_file(signing.passwordFile)) {
        throw pack::Error(signing.passwordFile.string() + ": the password file does not exist");
    }
    if (!signing.passwordVariable.empty() && std::getenv(signing.passwordVariable.c_str()) == nullptr) {
        throw pack::Error("--sign-password-env " + signing.passwordVariable + ": the variable is not set");
    }
    if (!pack::toolIsInstalled("osslsigncode")) {
        throw pack::Error("signing needs osslsigncode (Debian's osslsigncode), which is not installed");
    }
}

// Everything a command can check before it compresses: the input folder,
// the output's place, the splash and the icon.
// The folder to pack, the output and the block: there, and not inside one another.
void checkPaths(const Arguments& arguments)
{
    const std::string& directory = arguments.directory;
    if (!directory.empty() && !fs::exists(directory)) throw pack::Error(directory + ": does not exist");
    if (!directory.empty() && !fs::is_directory(directory)) throw pack::Error(directory + ": is not a directory");
    const fs::path output(arguments.output);
    if (fs::is_directory(output)) throw pack::Error(arguments.output + ": is a directory; -o names the file to write");
    const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
    if (!fs::is_directory(folder)) throw pack::Error(folder.string() + ": the output's folder does not exist");
    if (!directory.empty() && isInside(output, directory)) {
        throw pack::Error(arguments.output + ": lies in the folder being packed, " + directory +
                          ", and would be packed into the next build; write it elsewhere");
    }
    if (!arguments.block.empty() && !fs::is_regular_file(arguments.block)) {
        throw pack::Error(arguments.block + ": the block does not exist");
    }
    for (const std::string& folder : arguments.dllPath) {
        if (!fs::is_directory(folder)) throw pack::Error("--dll-path " + folder + ": is not a directory");
    }
}

// The run folder's and the cache's specs, and the cache's name.
void checkFolderSpecs(const Arguments& arguments)
{
    if (!arguments.tempDir.empty()) {
        const std::string problem = pack::runParentSpecProblem(arguments.tempDir);
        if (!problem.empty()) throw pack::Error("--temp-dir " + arguments.tempDir + ": " + problem);
    }
    if (!arguments.cache.enabled) return;
    const std::string problem = pack::cacheNameProblem(arguments.cache.name);
    if (!problem.empty()) {
        throw pack::Error(
            "the cache's name '" + arguments.cache.name + "' " + problem +
            (arguments.cache.name == fs::path(arguments.output).stem().string() ? "; give one with --cache-name" : ""));
    }
    const std::string dirProblem = arguments.cacheDir.empty() ? "" : pack::runParentSpecProblem(arguments.cacheDir);
    if (!dirProblem.empty()) throw pack::Error("--cache-dir " + arguments.cacheDir + ": " + dirProblem);
}

void checkInputs(const Arguments& arguments)
{
    checkPaths(arguments);
    checkFolderSpecs(arguments);
    checkVersionInfo(arguments.version);
    if (!arguments.manifest.file.empty() && !pack::checkManifestFile(arguments.manifest.file)) {
        std::fprintf(stderr,
                     "onefile-pack: warning: %s declares no longPathAware: paths over 260 characters will fail "
                     "in the executable\n",
                     arguments.manifest.file.c_str());
    }
    checkSigning(arguments.signing);
    if (!arguments.splash.empty()) pack::checkSplashImage(arguments.splash);
    if (!arguments.icon.empty()) pack::checkIcon(arguments.icon);
}

// Why the build's depfile cannot carry `path`, or an empty string when it
// can. CMake 3.25 rewrites the depfile for its generators, and no escaping
// survives that: ';' breaks a Makefiles build for good, and Ninja cuts a
// name at '&', '\'', '`', '$', '#' and '^', so the output is packed again at
// every build. Names the system refuses anyway complete the list.
std::string depfilePathProblem(const std::string& path)
{
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "the build's depfile cannot carry a control character in this path; rename it or build without "
                   "--depfile";
        }
        if (std::string(";&'`$#^\"<>|*?\\:").find(c) != std::string::npos) {
            return std::string("the build's depfile cannot carry '") + c +
                   "' in this path; rename it or build without --depfile";
        }
    }
    return "";
}

// A make rule for the output that names every packed file, every folder of
// the input (a file added or removed changes its folder) and the splash and
// icon, so that a build system makes the output again when any changes.
void writeDepfile(const Arguments& arguments, const pack::Payload& payload)
{
    const fs::path root = fs::absolute(arguments.directory).lexically_normal();
    std::set<fs::path> dependencies = {root};
    for (const pack::FileEntry& file : payload.files) {
        const fs::path source = fs::absolute(file.source).lexically_normal();
        dependencies.insert(source);
        for (fs::path folder = source.parent_path(); folder != root && folder.has_relative_path();
             folder = folder.parent_path()) {
            dependencies.insert(folder);
        }
    }
    for (const std::string& empty : payload.emptyDirectories) dependencies.insert(root / empty);
    for (const std::string& input : {arguments.splash, arguments.icon}) {
        if (!input.empty()) dependencies.insert(fs::absolute(input));
    }
    dependencies.insert(fs::absolute(arguments.output));
    for (const fs::path& dependency : dependencies) {
        const std::string problem = depfilePathProblem(dependency.string());
        if (!problem.empty()) throw pack::Error(dependency.string() + ": " + problem);
    }
    const auto escaped = [](const std::string& path) {
        std::string text;
        for (const char c : path) text += c == ' ' ? "\\ " : std::string(1, c);
        return text;
    };
    dependencies.erase(fs::absolute(arguments.output));
    std::ofstream out(arguments.depfile);
    out << escaped(fs::absolute(arguments.output).string()) << ":";
    for (const fs::path& dependency : dependencies) out << " \\\n  " << escaped(dependency.string());
    out << "\n";
    if (!out.flush()) throw pack::Error(arguments.depfile + ": cannot be written");
}

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

}  // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help" ||
        ((command == "list" || command == "verify") && argc == 3 && std::string(argv[2]) == "--help")) {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("onefile-pack %s\n", ONEFILE_VERSION);
        return 0;
    }
    try {
        if (command == "create") return create(argc, argv);
        if (command == "build") return build(argc, argv);
        if (command == "list" && argc == 3) return list(argv[2]);
        if (command == "verify" && argc == 3) return verify(argv[2]);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "onefile-pack: %s (onefile-pack --help shows the usage)\n", error.what());
        return 64;
    } catch (const std::exception& error) {
        // One line per fault: a refusal may name several.
        std::istringstream lines(error.what());
        for (std::string line; std::getline(lines, line);) std::fprintf(stderr, "onefile-pack: %s\n", line.c_str());
        return 1;
    }
    return usage();
}
