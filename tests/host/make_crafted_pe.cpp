// make_crafted_pe DIR: writes payload folders whose PE files multiply the
// packer's work, each with its entry app.dll, for the packer benchmark:
//   shared_thunks   4,096 import descriptors over one table of 65,535 names
//   many_exports    65,535 exports, all imported by the entry over 60
//                   descriptors, then one name that is not exported
#include "crafted_pe.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

bool writeFile(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: make_crafted_pe DIR\n", stderr);
        return 64;
    }
    const fs::path root = argv[1];
    const bool written = writeFile(root / "shared_thunks/app.dll", sharedThunksDll(4096, 65535)) &&
                         writeFile(root / "many_exports/big.dll", manyExportsDll(65535)) &&
                         writeFile(root / "many_exports/app.dll", importsOfAllDll("big.dll", 65535, 60, "absent"));
    if (!written) {
        std::fprintf(stderr, "make_crafted_pe: cannot write below %s\n", root.c_str());
        return 1;
    }
    return 0;
}
