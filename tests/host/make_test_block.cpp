// make_test_block ENTRY DIR BLOCK: packs DIR into BLOCK with ENTRY first,
// skipping the packer's checks of the entry and its imports. The Windows
// tests use it for payloads the packer refuses (a text file as the entry, a
// DLL without run_code) to see what the bootstrap itself does with them.
#include "pack.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: make_test_block ENTRY DIR BLOCK\n", stderr);
        return 64;
    }
    try {
        pack::writeBlock(pack::collectPayload(argv[2], argv[1]), argv[3], {3, 1, 0});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_test_block: %s\n", error.what());
        return 1;
    }
    return 0;
}
