// make_docs man VERSION | table: the manual page, or the README's table of
// options, from the packer's own option table.
#include "command_line/option_table.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "man" && argc == 3) {
        std::fputs(renderManPage(argv[2]).c_str(), stdout);
        return 0;
    }
    if (what == "table" && argc == 2) {
        std::fputs(renderOptionTable().c_str(), stdout);
        return 0;
    }
    std::fputs("usage: make_docs man VERSION | table\n", stderr);
    return 64;
}
