// onefile-pack create | build | list | verify | extract: the command line's
// dispatch; the commands and their options live in command_line/.
#include "command_line/arguments.h"
#include "command_line/commands.h"
#include "command_line/option_table.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const commands[] = {"create", "build", "list", "verify", "extract"};

int run(const std::string& command, int argc, char** argv)
{
    if (command == "create") return create(argc, argv);
    if (command == "build") return build(argc, argv);
    if (command == "extract") {
        if (argc != 4) throw UsageError("extract takes a FILE and a DIR to write its files below");
        return extract(argv[2], argv[3]);
    }
    // verify [--trust FILE] FILE
    std::string trusted;
    int first = 2;
    if (command == "verify" && argc > 2 && std::string(argv[2]) == "--trust") {
        if (argc < 4) throw UsageError("--trust needs a FILE of PEM certificates");
        trusted = argv[3];
        first = 4;
    }
    if (argc <= first) throw UsageError(command + " needs a FILE");
    if (argc > first + 1) throw UsageError(command + " takes one FILE, not also '" + argv[first + 1] + "'");
    return command == "list" ? list(argv[first]) : verify(argv[first], trusted);
}

}  // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
    if (argc < 2) return usage("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("onefile-pack %s\n", ONEFILE_VERSION);
        // Who could feed the decompressor crafted input: only someone who
        // changed the executable's bytes, which its signature then shows.
        const std::string zstd = pack::sdkZstd(sdkDescription(Arguments{}));
        if (!zstd.empty()) {
            std::printf("the bootstrap decompresses with %s; it reads only the block inside its own executable, "
                        "so crafted input means changed executable bytes, which a signature shows\n",
                        zstd.c_str());
        }
        return 0;
    }
    const bool known = std::find(std::begin(commands), std::end(commands), command) != std::end(commands);
    if (known && (command == "list" || command == "verify" || command == "extract") && argc == 3 &&
        (std::string(argv[2]) == "--help" || std::string(argv[2]) == "-h")) {
        printCommandUsage(command, stdout);
        return 0;
    }
    try {
        if (!known) {
            const std::string nearest = pack::findNearestName(command, {std::begin(commands), std::end(commands)});
            throw UsageError("unknown command '" + command + "'" +
                             (nearest.empty() ? std::string() : "; did you mean '" + nearest + "'?"));
        }
        return run(command, argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "onefile-pack: %s (onefile-pack --help shows the usage)\n", error.what());
        return 64;
    } catch (const std::exception& error) {
        // One line per fault: a refusal may name several.
        std::istringstream lines(error.what());
        for (std::string line; std::getline(lines, line);) std::fprintf(stderr, "onefile-pack: %s\n", line.c_str());
        return 1;
    }
}
