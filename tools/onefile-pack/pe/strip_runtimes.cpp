// The toolchain's runtime DLLs that the packer collects come with their
// debug information, which nothing needs to run (Debian's libstdc++-6.dll
// is 23.7 MB, 4.3 MB without it): each is carried as a copy stripped of
// it, the original untouched.
#include "pe/pe.h"

namespace fs = std::filesystem;

namespace pack {

namespace {

bool isInOneOf(const fs::path& file, const std::vector<fs::path>& folders)
{
    const fs::path folder = fs::weakly_canonical(file.parent_path());
    for (const fs::path& candidate : folders) {
        if (fs::weakly_canonical(candidate) == folder) return true;
    }
    return false;
}

}  // namespace

bool isStrippedRuntime(const fs::path& source, const std::vector<fs::path>& toolchainFolders,
                       const std::vector<fs::path>& userFolders)
{
    // The user's own, as given: a folder named with --dll-path is the
    // user's, even when it is the toolchain's too.
    return isInOneOf(source, toolchainFolders) && !isInOneOf(source, userFolders);
}

std::vector<StrippedDll> stripToolchainRuntimes(Payload& payload, const std::vector<AddedDll>& added,
                                                const std::vector<fs::path>& toolchainFolders,
                                                const std::vector<fs::path>& userFolders, const std::string& strip,
                                                const fs::path& work)
{
    std::vector<StrippedDll> stripped;
    for (const AddedDll& dll : added) {
        if (!isStrippedRuntime(dll.source, toolchainFolders, userFolders)) continue;
        for (FileEntry& file : payload.files) {
            if (file.name != dll.name) continue;
            const fs::path copy = work / dll.source.filename();
            fs::copy_file(dll.source, copy, fs::copy_options::overwrite_existing);
            fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
            runTool({strip, "--strip-debug", copy.string()}, "stripping " + dll.source.string());
            stripped.push_back({dll.name, file.size, fs::file_size(copy)});
            file.source = copy;
            file.size = stripped.back().after;
        }
    }
    return stripped;
}

}  // namespace pack
