// make_crafted_pe DIR: writes payload folders whose PE files multiply the
// packer's work, each with its entry app.dll, for the packer benchmark:
//   shared_thunks   4,096 import descriptors over one table of 65,535 names
//   many_exports    65,535 exports, all imported by the entry over 60
//                   descriptors, then one name that is not exported
//   ordinal_thunks  4,095 import descriptors over one table of 65,535
//                   ordinals
//   delayed_ordinals the same as delay-load descriptors
//   many_sections   65,535 sections and 65,535 exports
//   sections_and_imports  65,535 sections in each of two DLLs, the entry
//                   importing 8 * 65,535 names of the other's 65,535
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
    const bool written =
        writeFile(root / "shared_thunks/app.dll", sharedThunksDll(4096, 65535)) &&
        writeFile(root / "many_exports/big.dll", manyExportsDll(65535)) &&
        writeFile(root / "many_exports/app.dll", importsOfAllDll("big.dll", 65535, 60, "absent")) &&
        writeFile(root / "ordinal_thunks/app.dll", sharedThunksDll(4095, 65535, SharedThunks::ordinals)) &&
        writeFile(root / "delayed_ordinals/app.dll", sharedThunksDll(4095, 65535, SharedThunks::delayedOrdinals)) &&
        writeFile(root / "many_sections/app.dll", manyExportsDll(65535, 65534)) &&
        writeFile(root / "sections_and_imports/big.dll", manyExportsDll(65535, 65534)) &&
        writeFile(root / "sections_and_imports/app.dll", importsOfAllDll("big.dll", 8 * 65535, 8, "", 65534));
    if (!written) {
        std::fprintf(stderr, "make_crafted_pe: cannot write below %s\n", root.c_str());
        return 1;
    }
    return 0;
}
