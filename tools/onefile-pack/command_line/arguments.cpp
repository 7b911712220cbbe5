#include "command_line/arguments.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace fs = std::filesystem;

namespace {

const char* const createUsage =
    "usage: onefile-pack create --entry NAME -o BLOCK [--level N] [--long] [--threads N] [--window-log N]\n"
    "                           [--dll-path DIR]... [--system-dll NAME]... [--no-collect] [--no-strip]\n"
    "                           [--dereference] [--sdk FILE] DIR\n";
const char* const buildUsage =
    "usage: onefile-pack build (--entry NAME DIR | --block BLOCK) -o APP.exe [--icon ICO]\n"
    "                          [--splash PNG [--splash-progress]]\n"
    "                          [--sdk FILE] [--no-sweep] [--temp-dir SPEC] [--no-error-dialog] [--console]\n"
    "                          [--file-version N.N.N.N] [--product-version N.N.N.N] [--company TEXT]\n"
    "                          [--product TEXT] [--description TEXT] [--copyright TEXT]\n"
    "                          [--original-filename TEXT] [--internal-name TEXT]\n"
    "                          [--uac-admin] [--dpi-aware] [--manifest FILE]\n"
    "                          [--sign-pkcs12 FILE [--sign-password-file FILE | --sign-password-env NAME]\n"
    "                           [--timestamp-url URL]]\n"
    "                          [--cache [--cache-name NAME] [--cache-dir SPEC] [--cache-keep N]\n"
    "                           [--no-cache-recheck]]\n"
    "                          [--depfile FILE] [create's options]\n";
const char* const listUsage = "usage: onefile-pack list FILE      (a block, or an executable that holds one)\n";
const char* const verifyUsage = "usage: onefile-pack verify [--trust FILE] FILE\n";
const char* const packingNotes =
    "Defaults: level 9 (--level 19 packs smallest, about 20 times slower), one thread per processor,\n"
    "the level's window (at most 2^27).\n"
    "--long adds long-distance matching, with a window of 2^27 unless --window-log names another.\n"
    "-o names exactly the file written; its folder must exist and lie outside DIR.\n"
    "The entry must be a 64-bit DLL exporting run_code. Every DLL a PE file in DIR imports must be\n"
    "a system DLL (or named by --system-dll), in DIR, or in a --dll-path folder (searched in order, then the "
    "toolchain's\n"
    "runtime folders that the SDK names); those are added beside the entry, or refused with\n"
    "--no-collect. The toolchain's runtimes are carried stripped of debug information unless\n"
    "--no-strip; the files of DIR and of --dll-path folders are carried as they are.\n"
    "Every problem of DIR (links, names Windows forbids, case clashes, ...) is listed in one run.\n"
    "Links are refused; --dereference carries a link to a file inside DIR as a copy of that file.\n";
const char* const buildNotes =
    "A fatal line of the executable that nobody can see (started without standard handles, as\n"
    "from Explorer) is also shown in a message box, unless --no-error-dialog.\n"
    "--console makes a console program: the application shares the console it is started from.\n"
    "--cache unpacks the application once, into {CACHE_DIR}\\onefile\\NAME\\ID (or --cache-dir SPEC),\n"
    "and reuses it after a check of every entry; --cache-keep N versions stay (2). While the application\n"
    "runs, a reused version's content is compared with its hashes (--no-cache-recheck turns that off).\n";
const char* const listNotes = "Lists the files the block holds, each with its size in bytes.\n";
const char* const verifyNotes =
    "Checks the block and reports an executable's Authenticode signature (osslsigncode): its digest,\n"
    "its signature and its certificates' chain, up to a root in Debian's CA bundle or in --trust FILE\n"
    "(PEM or DER); a chain that ends elsewhere is named as one nobody here trusts. A broken signature, a\n"
    "damaged certificate table or a chain that cannot be built exits with 1; signing accepts only what\n"
    "verify passes.\n";
const char* const exitCodes =
    "Exit codes: 0 done, 1 refused or failed (one line on standard error), 64 a usage error.\n";

}  // namespace

void printUsage(std::FILE* stream)
{
    std::fputs(createUsage, stream);
    for (const char* line : {buildUsage, listUsage, verifyUsage}) {
        std::fputs("      ", stream);
        std::fputs(line + 6, stream);  // "usage:" once, at the top
    }
    std::fputs("       onefile-pack --help | --version | COMMAND --help\n", stream);
    for (const char* text : {packingNotes, buildNotes, listNotes, verifyNotes, exitCodes}) std::fputs(text, stream);
}

bool printCommandUsage(const std::string& command, std::FILE* stream)
{
    std::vector<const char*> texts;
    if (command == "create") texts = {createUsage, packingNotes};
    if (command == "build") texts = {buildUsage, packingNotes, buildNotes};
    if (command == "list") texts = {listUsage, listNotes};
    if (command == "verify") texts = {verifyUsage, verifyNotes};
    if (texts.empty()) return false;
    for (const char* text : texts) std::fputs(text, stream);
    std::fputs(exitCodes, stream);
    return true;
}

int usage()
{
    printUsage(stderr);
    return 64;
}

namespace {

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
        {"long", false, [](A& a, const char*) { a.options.longDistance = true; }},
        {"window-log", true,
         [](A& a, const char* v) { a.options.windowLog = parseNumber(v, "--window-log", 10, pack::maxWindowLog); }},
        {"no-sweep", false, [](A& a, const char*) { a.sweep = false; }},
        {"no-strip", false, [](A& a, const char*) { a.strip = false; }},
        {"help", false, [](A& a, const char*) { a.help = true; }},
        {"depfile", true, [](A& a, const char* v) { a.depfile = v; }},
        {"temp-dir", true, [](A& a, const char* v) { a.tempDir = v; }},
        {"dll-path", true, [](A& a, const char* v) { a.dllPath.push_back(v); }},
        {"system-dll", true, [](A& a, const char* v) { a.systemDlls.push_back(v); }},
        {"no-collect", false, [](A& a, const char*) { a.collect = false; }},
        {"dereference", false, [](A& a, const char*) { a.dereference = true; }},
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
        {"no-cache-recheck", false, [](A& a, const char*) { a.cache.recheck = false; }},
        {"cache-keep", true, [](A& a, const char* v) { a.cache.keep = parseNumber(v, "--cache-keep", 1, 100); }},
    };
    return specs;
}

}  // namespace

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
            const std::string typed = argv[optind];
            std::vector<std::string> names;
            for (const OptionSpec& spec : optionSpecs()) names.push_back(std::string("--") + spec.name);
            const std::string nearest = pack::findNearestName(typed.substr(0, typed.find('=')), names);
            throw UsageError("unknown option '" + typed + "'" +
                             (nearest.empty() ? std::string() : "; did you mean '" + nearest + "'?"));
        }
    }
    for (int i = optind + 1; i < argc; ++i) {
        if (!parsed.directory.empty()) throw UsageError("one directory only, not also '" + std::string(argv[i]) + "'");
        parsed.directory = argv[i];
    }
    return parsed;
}

fs::path sdkDescription(const Arguments& arguments)
{
    const char* fromEnvironment = std::getenv("ONEFILE_SDK");
    return !arguments.sdk.empty() ? fs::path(arguments.sdk)
           : fromEnvironment      ? fs::path(fromEnvironment)
                                  : findSdkBesideThisProgram();
}
