// A reader of what the packer needs from a Windows PE file: its machine and
// kind, the names it exports and the DLLs (and names) it imports, delay
// loads included. Every offset read from the file is checked against the
// file's size before it is followed, as the block reader does.
#include "pe/pe.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace pack {

namespace {

constexpr uint16_t imageFileDll = 0x2000;
constexpr uint16_t optionalMagicPe32 = 0x10b;
constexpr uint16_t optionalMagicPe32Plus = 0x20b;
constexpr uint32_t exportDirectory = 0, importDirectory = 1, delayImportDirectory = 13;
// Far beyond any real file; they bound the work a damaged table can cause.
// Each table's bound alone still lets tables share entries and multiply
// (4,096 descriptors over one table of 65,536 thunks), so the names read
// from one file are bounded as a whole too.
constexpr size_t maxDescriptors = 4096, maxThunks = 1 << 16, maxNameBytes = 4096;

struct Section {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class PeReader {
public:
    PeReader(const std::vector<uint8_t>& bytes, const std::string& file) : bytes_(bytes), file_(file) {}

    bool has(uint64_t offset, uint64_t size) const { return offset <= bytes_.size() && size <= bytes_.size() - offset; }

    uint64_t read(uint64_t offset, unsigned size) const
    {
        if (!has(offset, size)) fail("a table points past the end of the file");
        return readLittleEndian(bytes_, offset, size);
    }
    uint16_t read16(uint64_t offset) const { return static_cast<uint16_t>(read(offset, 2)); }
    uint32_t read32(uint64_t offset) const { return static_cast<uint32_t>(read(offset, 4)); }

    [[noreturn]] void fail(const std::string& why) const { throw Error(file_ + ": a damaged PE file: " + why); }

    // Sorts the sections by address once, so that a lookup costs a
    // logarithm of their count: a file may have 65,535 of them, and a scan
    // per name multiplies with the names.
    void setSections(std::vector<Section> sections)
    {
        std::stable_sort(sections.begin(), sections.end(),
                         [](const Section& a, const Section& b) { return a.virtualAddress < b.virtualAddress; });
        sections_ = std::move(sections);
        reachingFurthest_.resize(sections_.size());
        for (size_t i = 0; i < sections_.size(); ++i) {
            const bool further = i == 0 || endOf(sections_[i]) > endOf(sections_[reachingFurthest_[i - 1]]);
            reachingFurthest_[i] = further ? i : reachingFurthest_[i - 1];
        }
    }

    // The file offset of a relative virtual address, which must lie in a
    // section's data. Sections may overlap in a crafted file: of those that
    // begin at or below the address, the one reaching furthest holds it if
    // any does.
    uint64_t offsetOf(uint64_t rva) const
    {
        const auto above =
            std::upper_bound(sections_.begin(), sections_.end(), rva,
                             [](uint64_t address, const Section& s) { return address < s.virtualAddress; });
        if (above == sections_.begin()) fail("an address lies in no section");
        const Section& section = sections_[reachingFurthest_[static_cast<size_t>(above - sections_.begin()) - 1]];
        if (rva >= endOf(section)) fail("an address lies in no section");
        const uint64_t within = rva - section.virtualAddress;
        if (within >= section.rawSize) fail("a table lies outside its section's data");
        return section.rawOffset + within;
    }

    // Every import entry counts against the file's bound, by name or by
    // ordinal: ordinals cost no name's bytes but as much work.
    void countEntry()
    {
        if (++names_ > maxPeNamesPerFile) {
            fail("more than " + std::to_string(maxPeNamesPerFile) + " imported and exported names");
        }
    }

    std::string nameAt(uint64_t rva)
    {
        const uint64_t start = offsetOf(rva);
        countEntry();
        for (uint64_t at = start; has(at, 1); ++at) {
            if (bytes_[at] == 0) {
                nameBytes_ += at - start;
                if (nameBytes_ > maxPeNameBytesPerFile) {
                    fail("more than " + std::to_string(maxPeNameBytesPerFile >> 20) + " MiB of names");
                }
                return std::string(bytes_.begin() + static_cast<ptrdiff_t>(start),
                                   bytes_.begin() + static_cast<ptrdiff_t>(at));
            }
            if (at - start == maxNameBytes) fail("a name longer than " + std::to_string(maxNameBytes) + " bytes");
        }
        fail("a name runs past the end of the file");
    }

    uint64_t names() const { return names_; }

private:
    static uint64_t endOf(const Section& section)
    {
        return uint64_t{section.virtualAddress} + std::max(section.virtualSize, section.rawSize);
    }

    const std::vector<uint8_t>& bytes_;
    const std::string& file_;
    std::vector<Section> sections_;         // by address
    std::vector<size_t> reachingFurthest_;  // per section: the one reaching furthest up to it
    uint64_t names_ = 0;
    uint64_t nameBytes_ = 0;
};

struct DataDirectory {
    uint32_t rva = 0, size = 0;
};

void readExports(PeReader& pe, const DataDirectory& directory, PeImage& image)
{
    if (directory.rva == 0) return;
    const uint64_t table = pe.offsetOf(directory.rva);
    const uint32_t count = pe.read32(table + 24);
    const uint32_t names = pe.read32(table + 32);
    if (count > maxThunks) pe.fail("too many exported names");
    for (uint32_t i = 0; i < count; ++i) {
        image.exports.insert(pe.nameAt(pe.read32(pe.offsetOf(names) + 4ull * i)));
    }
}

// The names (or "#ordinal") taken through one thunk table.
std::vector<std::string> readThunks(PeReader& pe, uint64_t tableRva, bool wide, uint64_t imageBase,
                                    bool virtualAddresses)
{
    std::vector<std::string> names;
    const unsigned size = wide ? 8 : 4;
    const uint64_t ordinalFlag = wide ? 1ull << 63 : 1ull << 31;
    const uint64_t table = pe.offsetOf(tableRva);
    for (size_t i = 0;; ++i) {
        if (i == maxThunks) pe.fail("an import table without end");
        const uint64_t thunk = pe.read(table + i * size, size);
        if (thunk == 0) return names;
        if (thunk & ordinalFlag) {
            pe.countEntry();
            names.push_back("#" + std::to_string(thunk & 0xffff));
        } else {
            const uint64_t rva = virtualAddresses ? thunk - imageBase : thunk & 0x7fffffff;
            names.push_back(pe.nameAt(rva + 2));  // after the hint
        }
    }
}

// The name of an imported DLL, which must be UTF-8: a name that is not is
// refused naming it, its bytes beyond ASCII escaped.
std::string dllNameAt(PeReader& pe, uint64_t rva)
{
    std::string name = pe.nameAt(rva);
    try {
        utf8ToUtf16(name);
    } catch (const Error&) {
        std::string shown;
        for (const char c : name) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            shown += static_cast<unsigned char>(c) < 0x80 && c >= 0x20 ? std::string(1, c) : std::string(escaped);
        }
        pe.fail("the name of an imported DLL, '" + shown + "', is not valid UTF-8");
    }
    return name;
}

void readImports(PeReader& pe, const DataDirectory& directory, bool wide, PeImage& image)
{
    if (directory.rva == 0) return;
    const uint64_t table = pe.offsetOf(directory.rva);
    for (size_t i = 0;; ++i) {
        if (i == maxDescriptors) pe.fail("an import directory without end");
        const uint64_t at = table + 20 * i;
        const uint32_t lookup = pe.read32(at), name = pe.read32(at + 12), addresses = pe.read32(at + 16);
        if (name == 0 && lookup == 0 && addresses == 0) return;
        image.imports.push_back(
            {dllNameAt(pe, name), readThunks(pe, lookup != 0 ? lookup : addresses, wide, 0, false), false});
    }
}

void readDelayImports(PeReader& pe, const DataDirectory& directory, bool wide, uint64_t imageBase, PeImage& image)
{
    if (directory.rva == 0) return;
    const uint64_t table = pe.offsetOf(directory.rva);
    for (size_t i = 0;; ++i) {
        if (i == maxDescriptors) pe.fail("a delay-load directory without end");
        const uint64_t at = table + 32 * i;
        const uint32_t attributes = pe.read32(at), name = pe.read32(at + 4), names = pe.read32(at + 16);
        if (name == 0) return;
        // Old linkers wrote virtual addresses where attribute bit 0 is clear.
        const bool virtualAddresses = (attributes & 1) == 0;
        const uint64_t base = virtualAddresses ? imageBase : 0;
        image.imports.push_back(
            {dllNameAt(pe, name - base), readThunks(pe, names - base, wide, imageBase, virtualAddresses), true});
    }
}

}  // namespace

std::optional<PeImage> readPeImage(const std::vector<uint8_t>& bytes, const std::string& file)
{
    PeReader pe(bytes, file);
    if (!pe.has(0, 0x40) || bytes[0] != 'M' || bytes[1] != 'Z') return std::nullopt;
    const uint32_t header = pe.read32(0x3c);
    if (!pe.has(header, 24) || pe.read32(header) != 0x00004550) return std::nullopt;  // "PE\0\0"
    PeImage image;
    image.machine = pe.read16(header + 4);
    const uint16_t sectionCount = pe.read16(header + 6);
    const uint16_t optionalSize = pe.read16(header + 20);
    image.dll = (pe.read16(header + 22) & imageFileDll) != 0;
    const uint64_t optional = header + 24;
    const uint16_t magic = pe.read16(optional);
    if (magic != optionalMagicPe32 && magic != optionalMagicPe32Plus) pe.fail("an unknown optional header");
    image.pe32Plus = magic == optionalMagicPe32Plus;
    const uint64_t imageBase = image.pe32Plus ? pe.read(optional + 24, 8) : pe.read32(optional + 28);
    const uint64_t countAt = optional + (image.pe32Plus ? 108 : 92);
    const uint32_t directoryCount = pe.read32(countAt);
    const auto directory = [&](uint32_t index) {
        DataDirectory found;
        if (index < directoryCount && countAt + 4 + 8ull * (index + 1) <= optional + optionalSize) {
            found.rva = pe.read32(countAt + 4 + 8ull * index);
            found.size = pe.read32(countAt + 8 + 8ull * index);
        }
        return found;
    };
    const uint64_t sectionTable = optional + optionalSize;
    std::vector<Section> sections;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint64_t at = sectionTable + 40ull * i;
        sections.push_back({pe.read32(at + 12), pe.read32(at + 8), pe.read32(at + 20), pe.read32(at + 16)});
    }
    pe.setSections(std::move(sections));
    readExports(pe, directory(exportDirectory), image);
    readImports(pe, directory(importDirectory), image.pe32Plus, image);
    readDelayImports(pe, directory(delayImportDirectory), image.pe32Plus, imageBase, image);
    image.names = pe.names();
    return image;
}

std::optional<PeImage> readPeFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error(file.string() + ": cannot be read");
    char start[2] = {};
    in.read(start, 2);
    if (in.gcount() != 2 || start[0] != 'M' || start[1] != 'Z') return std::nullopt;
    in.seekg(0);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return readPeImage(bytes, file.string());
}

}  // namespace pack
