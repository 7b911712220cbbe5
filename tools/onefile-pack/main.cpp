// onefile-pack create | build | list | verify: the command line's
// dispatch; the commands and their options live in command_line/.
#include "command_line/arguments.h"
#include "command_line/commands.h"

#include <clocale>
#include <cstdio>
#include <sstream>

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
