// The layout of a PE file's headers and sections, as the packer changes
// it: sections appended to a bootstrap image, debug sections dropped from a
// runtime DLL, and the headers made whole again by the format's rules.
#include "pe/pe.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace pack {

namespace {

// Offsets in the COFF and the PE32+ optional header.
constexpr uint64_t coffSectionCount = 2, coffTimeStamp = 4, coffSymbolTable = 8, coffSymbolCount = 12,
                   coffOptionalSize = 16;
constexpr uint64_t optionalCodeSize = 4, optionalInitializedSize = 8, optionalUninitializedSize = 12,
                   optionalSectionAlignment = 32, optionalFileAlignment = 36, optionalImageSize = 56,
                   optionalHeadersSize = 60, optionalChecksum = 64, optionalDirectoryCount = 108,
                   optionalDirectories = 112;
constexpr uint32_t sectionCode = 0x20, sectionInitialized = 0x40, sectionUninitialized = 0x80;

}  // namespace

void writeLittle(std::vector<uint8_t>& bytes, uint64_t at, uint64_t value, unsigned size)
{
    for (unsigned i = 0; i < size; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t alignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

PeLayout readPeLayout(const std::vector<uint8_t>& bytes, const std::string& file)
{
    const auto fail = [&](const std::string& why) -> Error { return Error(file + ": " + why); };
    const auto has = [&](uint64_t at, uint64_t size) { return at <= bytes.size() && size <= bytes.size() - at; };
    if (!has(0, 0x40) || bytes[0] != 'M' || bytes[1] != 'Z') throw fail("not a PE file (no MZ header)");
    PeLayout layout;
    const uint64_t signature = readLittleEndian(bytes, 0x3c, 4);
    if (!has(signature, 24) || readLittleEndian(bytes, signature, 4) != 0x00004550) throw fail("not a PE file");
    layout.coff = signature + 4;
    layout.optional = layout.coff + 20;
    const uint64_t optionalSize = readLittleEndian(bytes, layout.coff + coffOptionalSize, 2);
    if (readLittleEndian(bytes, layout.coff, 2) != machineX64 || optionalSize < optionalDirectories ||
        !has(layout.optional, optionalSize) || readLittleEndian(bytes, layout.optional, 2) != 0x20b) {
        throw fail("not a 64-bit PE file");
    }
    layout.sectionAlignment =
        static_cast<uint32_t>(readLittleEndian(bytes, layout.optional + optionalSectionAlignment, 4));
    layout.fileAlignment = static_cast<uint32_t>(readLittleEndian(bytes, layout.optional + optionalFileAlignment, 4));
    layout.headersSize = static_cast<uint32_t>(readLittleEndian(bytes, layout.optional + optionalHeadersSize, 4));
    const auto isPowerOfTwo = [](uint32_t value) { return value != 0 && (value & (value - 1)) == 0; };
    if (!isPowerOfTwo(layout.fileAlignment) || !isPowerOfTwo(layout.sectionAlignment) ||
        layout.fileAlignment > layout.sectionAlignment) {
        throw fail("its alignments are not powers of two");
    }
    layout.directoryCount = static_cast<uint32_t>(readLittleEndian(bytes, layout.optional + optionalDirectoryCount, 4));
    if (optionalDirectories + 8ull * layout.directoryCount > optionalSize)
        throw fail("its data directories do not fit");
    layout.timeStamp = static_cast<uint32_t>(readLittleEndian(bytes, layout.coff + coffTimeStamp, 4));
    layout.symbolTable = static_cast<uint32_t>(readLittleEndian(bytes, layout.coff + coffSymbolTable, 4));
    layout.symbolCount = static_cast<uint32_t>(readLittleEndian(bytes, layout.coff + coffSymbolCount, 4));
    layout.sectionTable = layout.optional + optionalSize;
    const uint64_t count = readLittleEndian(bytes, layout.coff + coffSectionCount, 2);
    layout.headedSections = static_cast<uint16_t>(count);
    if (!has(layout.sectionTable, 40 * count)) throw fail("its section table runs past the end of the file");
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t at = layout.sectionTable + 40 * i;
        PeSection section;
        section.name.assign(reinterpret_cast<const char*>(&bytes[at]), 8);
        section.name.resize(section.name.find('\0') == std::string::npos ? 8 : section.name.find('\0'));
        section.virtualSize = static_cast<uint32_t>(readLittleEndian(bytes, at + 8, 4));
        section.virtualAddress = static_cast<uint32_t>(readLittleEndian(bytes, at + 12, 4));
        section.rawSize = static_cast<uint32_t>(readLittleEndian(bytes, at + 16, 4));
        section.rawOffset = static_cast<uint32_t>(readLittleEndian(bytes, at + 20, 4));
        section.characteristics = static_cast<uint32_t>(readLittleEndian(bytes, at + 36, 4));
        if (!has(section.rawOffset, section.rawSize)) throw fail("a section's data runs past the end of the file");
        layout.sections.push_back(section);
    }
    return layout;
}

PeDirectory readPeDirectory(const std::vector<uint8_t>& bytes, const PeLayout& layout, uint32_t index)
{
    if (index >= layout.directoryCount) return {};
    const uint64_t at = layout.optional + optionalDirectories + 8ull * index;
    return {static_cast<uint32_t>(readLittleEndian(bytes, at, 4)),
            static_cast<uint32_t>(readLittleEndian(bytes, at + 4, 4))};
}

void writePeDirectory(std::vector<uint8_t>& bytes, const PeLayout& layout, uint32_t index, PeDirectory directory)
{
    const uint64_t at = layout.optional + optionalDirectories + 8ull * index;
    writeLittle(bytes, at, directory.rva, 4);
    writeLittle(bytes, at + 4, directory.size, 4);
}

uint64_t sectionEnd(const PeSection& section, uint32_t sectionAlignment)
{
    return alignUp(uint64_t{section.virtualAddress} + section.virtualSize, sectionAlignment);
}

void writePeSections(std::vector<uint8_t>& headers, const PeLayout& layout)
{
    const uint64_t tableEnd = layout.sectionTable + 40ull * layout.sections.size();
    if (tableEnd > layout.headersSize || tableEnd > headers.size()) {
        throw Error("the section table does not fit in the image's headers");
    }
    uint64_t code = 0, initialized = 0, uninitialized = 0, imageEnd = layout.headersSize;
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        const PeSection& section = layout.sections[i];
        const uint64_t at = layout.sectionTable + 40 * i;
        std::fill(headers.begin() + static_cast<ptrdiff_t>(at), headers.begin() + static_cast<ptrdiff_t>(at + 40), 0);
        std::copy(section.name.begin(), section.name.end(), headers.begin() + static_cast<ptrdiff_t>(at));
        writeLittle(headers, at + 8, section.virtualSize, 4);
        writeLittle(headers, at + 12, section.virtualAddress, 4);
        writeLittle(headers, at + 16, section.rawSize, 4);
        writeLittle(headers, at + 20, section.rawOffset, 4);
        writeLittle(headers, at + 36, section.characteristics, 4);
        // As linkers count them: each kind's sections, aligned in the file.
        const uint64_t size = alignUp(std::max(section.virtualSize, section.rawSize), layout.fileAlignment);
        if (section.characteristics & sectionCode) code += size;
        if (section.characteristics & sectionInitialized) initialized += size;
        if (section.characteristics & sectionUninitialized) uninitialized += size;
        imageEnd = std::max<uint64_t>(imageEnd, sectionEnd(section, layout.sectionAlignment));
    }
    // Past the new table, nothing of an old, longer one stays.
    const uint64_t oldEnd = layout.sectionTable + 40ull * layout.headedSections;
    if (oldEnd > tableEnd) {
        std::fill(headers.begin() + static_cast<ptrdiff_t>(tableEnd), headers.begin() + static_cast<ptrdiff_t>(oldEnd),
                  0);
    }
    writeLittle(headers, layout.coff + coffSectionCount, layout.sections.size(), 2);
    writeLittle(headers, layout.coff + coffTimeStamp, layout.timeStamp, 4);
    writeLittle(headers, layout.coff + coffSymbolTable, layout.symbolTable, 4);
    writeLittle(headers, layout.coff + coffSymbolCount, layout.symbolCount, 4);
    writeLittle(headers, layout.optional + optionalCodeSize, code, 4);
    writeLittle(headers, layout.optional + optionalInitializedSize, initialized, 4);
    writeLittle(headers, layout.optional + optionalUninitializedSize, uninitialized, 4);
    writeLittle(headers, layout.optional + optionalImageSize, imageEnd, 4);
    writeLittle(headers, layout.optional + optionalChecksum, 0, 4);
}

uint64_t peChecksumOffset(const PeLayout& layout)
{
    return layout.optional + optionalChecksum;
}

void PeChecksum::add(const uint8_t* bytes, size_t size)
{
    size_t i = 0;
    if (length_ % 2 == 1 && size > 0) sum_ += uint64_t{bytes[i++]} << 8;
    // Four words at a time (the host is little-endian, as x86-64 is) in two
    // accumulators of two 32-bit lanes each, a loop the compiler vectorises; the lanes are emptied before they could
    // overflow. End-around carries folded once at the end give what folding
    // after every word gives.
    while (size - i >= 8) {
        uint64_t low = 0, high = 0;
        const size_t end = i + std::min<size_t>((size - i) / 8, 1u << 16) * 8;
        for (; i < end; i += 8) {
            uint64_t eight;
            std::memcpy(&eight, bytes + i, 8);
            low += eight & 0x0000ffff0000ffffull;
            high += (eight >> 16) & 0x0000ffff0000ffffull;
        }
        sum_ += (low & 0xffffffff) + (low >> 32) + (high & 0xffffffff) + (high >> 32);
    }
    for (; i + 1 < size; i += 2) sum_ += bytes[i] | uint32_t{bytes[i + 1]} << 8;
    if (i < size) sum_ += bytes[i];
    length_ += size;
}

void PeChecksum::add(const PeChecksum& region)
{
    assert(length_ % 2 == 0);
    sum_ += region.sum_;
    length_ += region.length_;
}

uint32_t PeChecksum::value() const
{
    uint64_t sum = sum_;
    while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + length_);
}

}  // namespace pack
