// The toolchain's runtime DLLs that the packer collects come with their
// debug information, which nothing needs to run (Debian's libstdc++-6.dll
// is 23.7 MB, 2.0 MB without it): each is carried as a copy stripped of
// it, the original untouched. Their debug sections and symbol table are the
// files' last parts, so the packer drops them itself, with no strip tool.
#include "pe/pe.h"

#include <fstream>

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

// A section's name, a long one ("/N") read from the COFF string table.
std::string resolvedName(const std::vector<uint8_t>& bytes, const PeLayout& layout, const PeSection& section)
{
    if (section.name.empty() || section.name[0] != '/' || layout.symbolTable == 0) return section.name;
    const uint64_t strings = uint64_t{layout.symbolTable} + 18ull * layout.symbolCount;
    const uint64_t at = strings + std::strtoull(section.name.c_str() + 1, nullptr, 10);
    std::string name;
    for (uint64_t i = at; i < bytes.size() && bytes[i] != 0 && name.size() < 256; ++i)
        name += static_cast<char>(bytes[i]);
    return name;
}

// Where the kept sections' data ends, or 0 when something the file keeps
// points at or past where the dropped parts begin.
uint64_t endOfKeptData(const std::vector<uint8_t>& bytes, const PeLayout& layout, size_t kept)
{
    uint64_t keptEnd = layout.headersSize, droppedStart = bytes.size();
    uint32_t droppedAddress = UINT32_MAX;
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        const PeSection& section = layout.sections[i];
        if (i < kept) {
            keptEnd = std::max<uint64_t>(keptEnd, uint64_t{section.rawOffset} + section.rawSize);
            // The string table goes: a kept section must not need it.
            if (!section.name.empty() && section.name[0] == '/') return 0;
        } else {
            if (section.rawSize != 0) droppedStart = std::min<uint64_t>(droppedStart, section.rawOffset);
            droppedAddress = std::min(droppedAddress, section.virtualAddress);
        }
    }
    if (layout.symbolTable != 0) droppedStart = std::min<uint64_t>(droppedStart, layout.symbolTable);
    for (uint32_t index = 0; index < layout.directoryCount; ++index) {
        const PeDirectory directory = readPeDirectory(bytes, layout, index);
        const bool pointsIntoDropped =
            index == certificateDirectory
                ? directory.size != 0
                : directory.size != 0 && uint64_t{directory.rva} + directory.size > droppedAddress;
        if (pointsIntoDropped) return 0;
    }
    return keptEnd <= droppedStart ? keptEnd : 0;
}

}  // namespace

std::optional<std::vector<uint8_t>> withoutDebugSections(const std::vector<uint8_t>& bytes, const std::string& file)
{
    PeLayout layout = readPeLayout(bytes, file);
    size_t kept = layout.sections.size();
    while (kept > 0 && resolvedName(bytes, layout, layout.sections[kept - 1]).rfind(".debug", 0) == 0) --kept;
    if (kept == layout.sections.size() && layout.symbolTable == 0) return std::nullopt;
    const uint64_t keptEnd = kept > 0 ? endOfKeptData(bytes, layout, kept) : 0;
    if (keptEnd == 0) return std::nullopt;
    std::vector<uint8_t> stripped(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(keptEnd));
    layout.sections.resize(kept);
    layout.symbolTable = 0;
    layout.symbolCount = 0;
    writePeSections(stripped, layout);
    PeChecksum checksum;
    checksum.add(stripped.data(), stripped.size());
    writeLittle(stripped, peChecksumOffset(layout), checksum.value(), 4);
    return stripped;
}

bool isStrippedRuntime(const fs::path& source, const std::vector<fs::path>& toolchainFolders,
                       const std::vector<fs::path>& userFolders)
{
    // The user's own, as given: a folder named with --dll-path is the
    // user's, even when it is the toolchain's too.
    return isInOneOf(source, toolchainFolders) && !isInOneOf(source, userFolders);
}

std::vector<StrippedDll> stripToolchainRuntimes(Payload& payload, const std::vector<AddedDll>& added,
                                                const std::vector<fs::path>& toolchainFolders,
                                                const std::vector<fs::path>& userFolders, const fs::path& work)
{
    std::vector<StrippedDll> stripped;
    for (const AddedDll& dll : added) {
        if (!isStrippedRuntime(dll.source, toolchainFolders, userFolders)) continue;
        for (FileEntry& file : payload.files) {
            if (file.name != dll.name) continue;
            const std::vector<uint8_t> bytes = readBinaryFile(dll.source);
            const std::optional<std::vector<uint8_t>> smaller = withoutDebugSections(bytes, dll.source.string());
            if (!smaller) continue;
            const fs::path copy = work / dll.source.filename();
            std::ofstream out(copy, std::ios::binary | std::ios::trunc);
            if (!out.write(reinterpret_cast<const char*>(smaller->data()),
                           static_cast<std::streamsize>(smaller->size())) ||
                !out.flush()) {
                throw Error(copy.string() + ": cannot be written");
            }
            stripped.push_back({dll.name, file.size, smaller->size()});
            file.source = copy;
            file.size = smaller->size();
        }
    }
    return stripped;
}

}  // namespace pack
