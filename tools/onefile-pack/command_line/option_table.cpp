#include "command_line/option_table.h"

#include "command_line/arguments.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

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

using A = Arguments;
constexpr OptionScope both = OptionScope::createAndBuild, buildOnly = OptionScope::buildOnly;

}  // namespace

const std::vector<OptionRow>& optionRows()
{
    static const std::vector<OptionRow> rows = {
        {"entry", "NAME", both, "`ENTRY dll` `DIRECTORY dir`",
         "the folder packed and its application DLL (a 64-bit DLL exporting `run_code`)",
         "NAME is the DLL's path relative to DIR, the folder given last; the entry is the first record of the "
         "block. In CMake, ENTRY may name the target that builds the DLL.",
         [](A& a, const char* v) { a.entry = v; }},
        {"block", "BLOCK", buildOnly, "", "writes the executable around a block made earlier by `create`",
         "Instead of --entry and DIR; the block's checks run as `list` runs them.",
         [](A& a, const char* v) { a.block = v; }},
        {"o", "APP.exe", both, "`OUTPUT_NAME name`", "the file written (CMake: `TARGET.exe` unless named)",
         "Exactly this file: its folder must exist and lie outside DIR; it is written beside itself and renamed "
         "into place, so a failed build leaves any earlier one as it was.",
         [](A& a, const char* v) { a.output = v; }},
        {"sdk", "FILE", both, "(the SDK's own)", "which SDK's bootstrap images to write from (also `ONEFILE_SDK`)",
         "FILE is an onefile-sdk.txt; by default the one beside the packer (share/onefile/ of the installed "
         "package, or the build tree's windows/).",
         [](A& a, const char* v) { a.sdk = v; }},
        {"level", "N", both, "`LEVEL n`", "zstd level, 9 by default (CMake's Release and MinSizeRel builds: 19)",
         "1 to 22. Level 19 packs smallest and takes about 20 times as long as 9; unpacking is as fast.",
         [](A& a, const char* v) { a.options.level = parseNumber(v, "--level", 1, 22); }},
        {"long", "", both, "`LONG`", "long-distance matching, a window of 2^27",
         "Finds repeats far apart (copies of one file in several folders); the unpacking then needs a window of "
         "128 MiB.",
         [](A& a, const char*) { a.options.longDistance = true; }},
        {"window-log", "N", both, "`WINDOW_LOG n`", "the frame's window, at most 2^27",
         "10 to 27: the decoder's memory while unpacking is about 2^N bytes.",
         [](A& a, const char* v) { a.options.windowLog = parseNumber(v, "--window-log", 10, pack::maxWindowLog); }},
        {"threads", "N", both, "`THREADS n`", "compression threads, one per processor by default",
         "1 to 256; the block is the same, byte for byte, whatever the count.",
         [](A& a, const char* v) { a.options.workers = parseNumber(v, "--threads", 1, 256); }},
        {"dll-path", "DIR", both, "`DLL_PATH dirs...`", "where the payload's imported DLLs are found; carried as given",
         "Repeatable, searched in order before the toolchain's runtime folders. A DLL found there is added beside "
         "the entry.",
         [](A& a, const char* v) { a.dllPath.push_back(v); }},
        {"system-dll", "NAME", both, "`SYSTEM_DLLS names...`", "a DLL the system provides, beyond the packer's list",
         "Repeatable; for DLLs a target machine is known to have (a redistributable installed there).",
         [](A& a, const char* v) { a.systemDlls.push_back(v); }},
        {"no-collect", "", both, "`NO_COLLECT`", "refuses a DLL found on the search path instead of adding it", "",
         [](A& a, const char*) { a.collect = false; }},
        {"no-strip", "", both, "`NO_STRIP`", "carries the toolchain's runtimes with their debug information",
         "By default the runtimes the packer adds from the toolchain are carried without their debug sections; "
         "files of DIR and of --dll-path folders are always carried as they are.",
         [](A& a, const char*) { a.strip = false; }},
        {"dereference", "", both, "`DEREFERENCE`", "carries a link to a file inside DIR as a copy of that file",
         "Links are refused otherwise; a link to a folder, or to anything outside DIR, is refused either way.",
         [](A& a, const char*) { a.dereference = true; }},
        {"icon", "ICO", buildOnly, "`ICON ico`", "the executable's icon", "An .ico file with one or more images.",
         [](A& a, const char* v) { a.icon = v; }},
        {"splash", "PNG", buildOnly, "`SPLASH png`", "a splash shown while the application is unpacked",
         "The PNG is shown centred on the screen until the application removes it (onefile_hide_splash) or ends.",
         [](A& a, const char* v) { a.splash = v; }},
        {"splash-progress", "", buildOnly, "`SPLASH_PROGRESS`",
         "the unpacking's bar, and the application's text, on the splash", "Needs --splash.",
         [](A& a, const char*) { a.splashProgress = true; }},
        {"temp-dir", "SPEC", buildOnly, "`TEMP_DIR spec`",
         "where runs unpack: `{TEMP}`, `{HOME}`, `{CACHE_DIR}` or `{PROGRAM_DIR}`, then a path",
         "For example {CACHE_DIR}\\MyApp; {PID}, {TIME} and {RANDOM} may name the run's own folder. "
         "The default is {TEMP}\\onefile_{PID}_{TIME}_{RANDOM}.",
         [](A& a, const char* v) { a.tempDir = v; }},
        {"no-sweep", "", buildOnly, "`NO_SWEEP`", "leaves what dead runs left alone",
         "By default a start removes the folders that runs of this executable killed before their cleanup left.",
         [](A& a, const char*) { a.sweep = false; }},
        {"no-error-dialog", "", buildOnly, "`NO_ERROR_DIALOG`", "no message box for a fatal line nobody can see",
         "A start without standard handles (from Explorer) otherwise also shows its one fatal line in a box.",
         [](A& a, const char*) { a.errorDialog = false; }},
        {"console", "", buildOnly, "`CONSOLE`", "a console program: the application shares the console it starts from",
         "", [](A& a, const char*) { a.console = true; }},
        {"cache", "", buildOnly, "`CACHE`", "unpacks once into a shared version folder and reuses it",
         "Into {CACHE_DIR}\\onefile\\NAME\\ID; later starts check the version's listing and run it.",
         [](A& a, const char*) { a.cache.enabled = true; }},
        {"cache-name", "NAME", buildOnly, "`CACHE_NAME name`",
         "the cache's folder name (the executable's name by default)", "Letters, digits, '.', '_' and '-', at most 64.",
         [](A& a, const char* v) { a.cache.name = v; }},
        {"cache-dir", "SPEC", buildOnly, "`CACHE_DIR spec`", "the cache's root, `{CACHE_DIR}\\onefile` by default",
         "With the rules of --temp-dir.", [](A& a, const char* v) { a.cacheDir = v; }},
        {"cache-keep", "N", buildOnly, "`CACHE_KEEP n`", "how many versions stay (2)", "1 to 100.",
         [](A& a, const char* v) { a.cache.keep = parseNumber(v, "--cache-keep", 1, 100); }},
        {"no-cache-recheck", "", buildOnly, "`NO_CACHE_RECHECK`", "no background recheck of a reused version's content",
         "", [](A& a, const char*) { a.cache.recheck = false; }},
        {"file-version", "N.N.N.N", buildOnly, "`FILE_VERSION v`", "the version resource's file version",
         "Four numbers from 0 to 65535.", [](A& a, const char* v) { a.version.fileVersion = v; }},
        {"product-version", "N.N.N.N", buildOnly, "`PRODUCT_VERSION v`", "its product version", "",
         [](A& a, const char* v) { a.version.productVersion = v; }},
        {"company", "TEXT", buildOnly, "`COMPANY text`", "its company", "",
         [](A& a, const char* v) { a.version.company = v; }},
        {"product", "TEXT", buildOnly, "`PRODUCT text`", "its product name", "",
         [](A& a, const char* v) { a.version.product = v; }},
        {"description", "TEXT", buildOnly, "`DESCRIPTION text`", "its file description", "",
         [](A& a, const char* v) { a.version.description = v; }},
        {"copyright", "TEXT", buildOnly, "`COPYRIGHT text`", "its copyright", "",
         [](A& a, const char* v) { a.version.copyright = v; }},
        {"original-filename", "TEXT", buildOnly, "`ORIGINAL_FILENAME text`", "its original file name", "",
         [](A& a, const char* v) { a.version.originalFilename = v; }},
        {"internal-name", "TEXT", buildOnly, "`INTERNAL_NAME text`", "its internal name", "",
         [](A& a, const char* v) { a.version.internalName = v; }},
        {"uac-admin", "", buildOnly, "`UAC_ADMIN`", "the manifest asks for administrator rights", "",
         [](A& a, const char*) { a.manifest.requireAdministrator = true; }},
        {"dpi-aware", "", buildOnly, "`DPI_AWARE`", "the manifest declares DPI awareness",
         "Per monitor; Windows then does not stretch the application's windows.",
         [](A& a, const char*) { a.manifest.dpiAware = true; }},
        {"manifest", "FILE", buildOnly, "`MANIFEST file`", "a manifest of your own instead of the bootstrap's",
         "Checked to be well-formed XML (xmllint); --uac-admin and --dpi-aware cannot change it.",
         [](A& a, const char* v) { a.manifest.file = v; }},
        {"sign-pkcs12", "FILE", buildOnly, "`SIGN_PKCS12 file`",
         "signs the executable (Authenticode) with this key and chain",
         "With osslsigncode; the signature is then checked as `verify` checks it.",
         [](A& a, const char* v) { a.signing.pkcs12 = v; }},
        {"sign-password-file", "FILE", buildOnly, "`SIGN_PASSWORD_FILE file`", "the key's password, from a file", "",
         [](A& a, const char* v) { a.signing.passwordFile = v; }},
        {"sign-password-env", "NAME", buildOnly, "`SIGN_PASSWORD_ENV name`", "the key's password, from a variable", "",
         [](A& a, const char* v) { a.signing.passwordVariable = v; }},
        {"timestamp-url", "URL", buildOnly, "`TIMESTAMP_URL url`", "a time-stamping authority for the signature", "",
         [](A& a, const char* v) { a.signing.timestampUrl = v; }},
        {"depfile", "FILE", buildOnly, "(written for every build)",
         "a make rule naming every input, for incremental builds", "", [](A& a, const char* v) { a.depfile = v; }},
        {"", "", OptionScope::cmakeOnly, "`DEPENDS targets...`", "targets the executable is made again after", "",
         nullptr},
        {"", "", OptionScope::cmakeOnly, "`PACK_OPTIONS options...`",
         "further options of `onefile-pack build`, passed on as written", "", nullptr},
        {"trust", "FILE", OptionScope::verifyOnly, "",
         "`verify`'s roots to trust beyond Debian's CA bundle (PEM or DER)",
         "One or more certificates; a file that holds none is refused.", nullptr},
        {"help", "", OptionScope::general, "", "the usage (of all, or of one command: `onefile-pack build --help`)", "",
         [](A& a, const char*) { a.help = true; }},
        {"version", "", OptionScope::general, "", "the packer's version and the zstd its bootstrap carries", "",
         nullptr},
    };
    return rows;
}

std::string spellOption(const OptionRow& row)
{
    const std::string name = row.name;
    const std::string value = *row.value != '\0' ? std::string(" ") + row.value : "";
    return (name.size() == 1 ? "-" : "--") + name + value;
}

namespace {

// Markdown's emphasis marks dropped, for plain text.
std::string plain(const char* text)
{
    std::string out;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c != '`') out += *c;
    }
    return out;
}

const char* const synopsis = "usage: onefile-pack create --entry NAME -o BLOCK [create's options] DIR\n"
                             "       onefile-pack build --entry NAME -o APP.exe [options] DIR\n"
                             "       onefile-pack build --block BLOCK -o APP.exe [build's options]\n"
                             "       onefile-pack list FILE\n"
                             "       onefile-pack verify [--trust FILE] FILE\n"
                             "       onefile-pack extract FILE DIR\n"
                             "       onefile-pack --help | --version | COMMAND --help\n";

struct CommandText {
    const char* name;
    const char* usage;
    const char* what;
};

const CommandText commandTexts[] = {
    {"create", "onefile-pack create --entry NAME -o BLOCK [options] DIR",
     "Packs DIR into a block: the files, the entry DLL first, compressed as one zstd frame. Before anything is "
     "compressed, every problem of DIR (links, names Windows forbids, names that differ only in case, a DLL "
     "nobody provides) is listed in one run."},
    {"build", "onefile-pack build (--entry NAME DIR | --block BLOCK) -o APP.exe [options]",
     "Writes APP.exe: the SDK's prebuilt bootstrap image (windowed, or console with --console) with a resource "
     "section and the block appended; runs no compiler. Every DLL a PE file of DIR imports must be a system DLL, "
     "in DIR, or found on --dll-path (then added beside the entry)."},
    {"list", "onefile-pack list FILE",
     "Lists the files a block, or an executable that holds one, carries, "
     "each with its size in bytes."},
    {"extract", "onefile-pack extract FILE DIR",
     "Writes the files of a block, or of an executable that holds one, below DIR (new, or an empty folder): "
     "each file and folder made new, never through a link, every name checked as the executable checks it. At the "
     "first problem, what it wrote is removed again."},
    {"verify", "onefile-pack verify [--trust FILE] FILE",
     "Checks the block and reports an executable's Authenticode signature: its digest, its signature and its "
     "certificates' chain, up to a root in Debian's CA bundle or in --trust FILE. A broken signature, a damaged "
     "certificate table or a chain that cannot be built exits with 1."},
};

const char* const packerExitCodes = "0 done; 1 refused or failed (one line on standard error); 64 a usage error.";

bool takes(OptionScope scope, const std::string& command)
{
    switch (scope) {
    case OptionScope::createAndBuild:
        return command == "create" || command == "build";
    case OptionScope::buildOnly:
        return command == "build";
    case OptionScope::verifyOnly:
        return command == "verify";
    case OptionScope::general:
        return true;
    default:
        return false;
    }
}

// `text` in lines of at most 100 characters, each after the first
// indented by `indent`.
std::string wrap(const std::string& text, size_t indent)
{
    std::istringstream words(text);
    std::string out;
    size_t column = indent;
    for (std::string word; words >> word;) {
        if (column > indent && column + 1 + word.size() > 100) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
    }
    return out;
}

// A line for each option of the command line (neither general nor CMake's
// alone) whose scope is `wanted`, under `heading` when there is any.
template <typename Wanted>
void printOptions(std::FILE* stream, const char* heading, Wanted wanted)
{
    bool any = false;
    for (const OptionRow& row : optionRows()) {
        if (*row.name == '\0' || row.scope == OptionScope::general || !wanted(row.scope)) continue;
        if (!any) std::fputs(heading, stream);
        any = true;
        std::fprintf(stream, "  %-28s %s\n", spellOption(row).c_str(), plain(row.summary).c_str());
    }
}

}  // namespace

void printUsage(std::FILE* stream)
{
    std::fputs(synopsis, stream);
    std::fputs("\nCommands:\n", stream);
    for (const CommandText& command : commandTexts) {
        std::fprintf(stream, "  %-8s %s\n", command.name, wrap(command.what, 11).c_str());
    }
    printOptions(stream, "\nOptions of create and build:\n", [](OptionScope scope) { return scope == both; });
    printOptions(stream, "\nOptions of build alone:\n", [](OptionScope scope) { return scope == buildOnly; });
    std::fprintf(stream, "\nExit codes: %s\n", packerExitCodes);
}

bool printCommandUsage(const std::string& command, std::FILE* stream)
{
    for (const CommandText& text : commandTexts) {
        if (command != text.name) continue;
        std::fprintf(stream, "usage: %s\n%s\n", text.usage, wrap(text.what, 0).c_str());
        printOptions(stream, "\nOptions:\n", [&](OptionScope scope) { return takes(scope, command); });
        std::fprintf(stream, "\nExit codes: %s\n", packerExitCodes);
        return true;
    }
    return false;
}

namespace {

// Text for roff: backslashes escaped, a leading dot or quote kept as text.
std::string roff(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        out += c == '\\' ? std::string("\\e") : c == '-' ? std::string("\\-") : std::string(1, c);
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

// The synopsis without "usage:" and its alignment, a command a line.
std::string synopsisLines()
{
    std::istringstream lines(synopsis);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        out += line.substr(line.find("onefile-pack")) + "\n";
    }
    return out;
}

}  // namespace

std::string renderManPage(const std::string& version)
{
    std::ostringstream page;
    page << ".TH ONEFILE-PACK 1 \"\" \"onefile-pack " << version << "\" \"User Commands\"\n"
         << ".SH NAME\nonefile\\-pack \\- pack a folder into one Windows executable that unpacks and runs it\n"
         << ".SH SYNOPSIS\n.nf\n"
         << roff(synopsisLines()) << ".fi\n.SH DESCRIPTION\n";
    for (const CommandText& command : commandTexts) {
        page << ".TP\n.B " << command.name << "\n" << roff(command.what) << "\n";
    }
    const std::pair<OptionScope, const char*> sections[] = {
        {OptionScope::createAndBuild, "OPTIONS OF CREATE AND BUILD"},
        {OptionScope::buildOnly, "OPTIONS OF BUILD"},
        {OptionScope::verifyOnly, "OPTIONS OF VERIFY"},
        {OptionScope::general, "GENERAL OPTIONS"},
    };
    for (const auto& [scope, heading] : sections) {
        page << ".SH " << heading << "\n";
        for (const OptionRow& row : optionRows()) {
            if (row.scope != scope) continue;
            page << ".TP\n.B " << roff(spellOption(row)) << "\n" << roff(plain(row.summary)) << ".";
            if (*row.detail != '\0') page << " " << roff(plain(row.detail));
            page << "\n";
        }
    }
    page << ".SH EXIT STATUS\nThe packer: " << roff(packerExitCodes) << "\n.PP\n"
         << "A packed executable ends with its application's own exit code, unchanged (a crash's code, such as "
            "0xC0000005, is also named in one line). Its own failures, each said in one line: 1 the "
            "application's exit code could not be read; 2 the bootstrap failed (a damaged executable, a full "
            "disk, a DLL that does not load, a child that could not be created); 3 a path could not be expanded.\n"
         << ".SH ENVIRONMENT\n.TP\n.B ONEFILE_SDK\nThe SDK description to write from, when \\-\\-sdk is not given.\n"
         << ".TP\n.B SOURCE_DATE_EPOCH\nThe time stamp written into the executable's headers (0 otherwise).\n"
         << ".TP\n.B MERLOX_ONEFILE_TRACE=1\nA packed executable writes one line per step of its start to "
            "standard error.\n"
         << ".TP\n.B MERLOX_ONEFILE_TRACE_FILE=PATH\nThe same lines, appended to the file PATH (an absolute "
            "Windows path; created when missing, never through a link, and only into an empty file or one that "
            "is a trace already).\n"
         << ".SH FILES\n.TP\n.I share/onefile/onefile-sdk.txt\nThe SDK description: the bootstrap images, "
            "manifest, icon and toolchain runtime folders build writes from.\n"
         << ".TP\n.I share/onefile/windows/onefile-bootstrap.exe, onefile-bootstrap-console.exe\nThe prebuilt "
            "bootstrap images, windowed and console.\n"
         << ".TP\n.I share/onefile/mingw-w64-x86_64.cmake\nThe toolchain file for building the application's "
            "DLL with CMake; its onefile_add_executable packs it.\n"
         << ".SH SEE ALSO\n/usr/share/doc/onefile-bootstrap/README.md (the first application, the CMake "
            "function, the exit codes, the trace) and docs/guide.md beside it (what a start guarantees, the "
            "shared cache).\n";
    return page.str();
}

std::string renderOptionTable()
{
    std::string table = "| Packer (`onefile-pack build`) | CMake keyword | What it does |\n|---|---|---|\n";
    for (const OptionRow& row : optionRows()) {
        std::string option = *row.name != '\0' ? "`" + spellOption(row) + "`" : "";
        if (std::string(row.name) == "entry") option += " DIR";
        if (std::string(row.name) == "help") option = "`--help`, `--version`";
        if (std::string(row.name) == "version") continue;
        table += "| " + option + " | " + row.keyword + " | " + row.summary + " |\n";
    }
    return table;
}
