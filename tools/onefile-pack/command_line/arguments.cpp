#include "command_line/arguments.h"

#include "command_line/option_table.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace fs = std::filesystem;

namespace {

}  // namespace

int usage(const std::string& reason)
{
    std::fprintf(stderr, "onefile-pack: %s\n", reason.c_str());
    printUsage(stderr);
    return 64;
}

namespace {

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

// The options the parser reads: every row with a long name and a way to
// apply it (-o is the short option).
std::vector<const OptionRow*> parsedRows()
{
    std::vector<const OptionRow*> parsed;
    for (const OptionRow& row : optionRows()) {
        if (row.apply != nullptr && std::string(row.name).size() > 1) parsed.push_back(&row);
    }
    return parsed;
}

// Why `typed`, which no option is, cannot be read: the options it begins,
// when it begins several, else the nearest.
std::string describeUnknownOption(const std::string& typed, const std::vector<const OptionRow*>& rows)
{
    const std::string name = typed.substr(0, typed.find('='));
    std::vector<std::string> names, fitting;
    for (const OptionRow* row : rows) {
        names.push_back(std::string("--") + row->name);
        if (name.size() > 2 && names.back().rfind(name, 0) == 0) fitting.push_back(names.back());
    }
    if (fitting.size() > 1) {
        std::string list;
        for (const std::string& option : fitting) list += (list.empty() ? "" : ", ") + option;
        return "'" + typed + "' fits several options: " + list;
    }
    const std::string nearest = pack::findNearestName(name, names);
    return "unknown option '" + typed + "'" + (nearest.empty() ? std::string() : "; did you mean '" + nearest + "'?");
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
    constexpr int firstRow = 256;
    const std::vector<const OptionRow*> rows = parsedRows();
    std::vector<option> options;
    for (const OptionRow* row : rows) {
        options.push_back({row->name, *row->value != '\0' ? required_argument : no_argument, nullptr,
                           firstRow + static_cast<int>(options.size())});
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
        } else if (found >= firstRow && found < firstRow + static_cast<int>(rows.size())) {
            rows[static_cast<size_t>(found - firstRow)]->apply(parsed, optarg);
        } else {
            throw UsageError(describeUnknownOption(argv[optind], rows));
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
