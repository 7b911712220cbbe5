// make_test_block ENTRY DIR BLOCK [LEVEL]: packs DIR into BLOCK with ENTRY
// first (level 3 unless given), skipping the packer's checks of the entry
// and its imports. The Windows tests use it for payloads the packer refuses
// (a text file as the entry, a DLL without run_code) to see what the
// bootstrap itself does with them; the extraction benchmark for a payload
// whose entry is never run.
#include "block/block.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        std::fputs("usage: make_test_block ENTRY DIR BLOCK [LEVEL]\n", stderr);
        return 64;
    }
    try {
        const int level = argc == 5 ? std::atoi(argv[4]) : 3;
        pack::writeBlock(pack::collectPayload(argv[2], argv[1]), argv[3], {level, 0, 0});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_test_block: %s\n", error.what());
        return 1;
    }
    return 0;
}
