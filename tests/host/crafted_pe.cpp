#include "crafted_pe.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr uint32_t sectionRva = 0x1000;

void put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, int size)
{
    if (bytes.size() < at + size) bytes.resize(at + size);
    for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Appends a NUL-terminated text to the section; its RVA.
uint32_t putText(std::vector<uint8_t>& section, const std::string& text)
{
    const size_t at = section.size();
    section.insert(section.end(), text.begin(), text.end());
    section.push_back(0);
    return static_cast<uint32_t>(sectionRva + at);
}

// An export directory naming run_code and `names`, appended; its RVA and size.
std::array<uint32_t, 2> putExports(std::vector<uint8_t>& section, const std::vector<std::string>& names)
{
    std::vector<uint32_t> nameRvas;
    nameRvas.push_back(putText(section, "run_code"));
    for (const std::string& name : names) nameRvas.push_back(putText(section, name));
    std::sort(nameRvas.begin(), nameRvas.end());
    const size_t directory = (section.size() + 3) & ~size_t{3};
    const size_t table = directory + 40;
    put(section, directory + 24, nameRvas.size(), 4);  // number of names
    put(section, directory + 32, sectionRva + table, 4);
    for (size_t i = 0; i < nameRvas.size(); ++i) put(section, table + 4 * i, nameRvas[i], 4);
    return {static_cast<uint32_t>(sectionRva + directory), 40};
}

}  // namespace

std::vector<uint8_t> handMadeDll(const std::vector<uint8_t>& section,
                                 const std::vector<std::array<uint32_t, 3>>& directories, uint16_t paddingSections)
{
    const size_t optional = 0x58;
    const size_t sectionTable = optional + 240;
    const size_t sections = size_t{paddingSections} + 1;
    const size_t data = (sectionTable + 40 * sections + 0x1ff) & ~size_t{0x1ff};
    std::vector<uint8_t> image(data + section.size());
    image[0] = 'M', image[1] = 'Z';
    put(image, 0x3c, 0x40, 4);
    put(image, 0x40, 0x00004550, 4);  // "PE\0\0"
    put(image, 0x44, 0x8664, 2);      // x86-64
    put(image, 0x46, sections, 2);
    put(image, 0x54, 240, 2);     // optional header size: 112 + 16 directories
    put(image, 0x56, 0x2022, 2);  // a DLL
    put(image, optional, 0x20b, 2);
    put(image, optional + 108, 16, 4);
    for (const auto& [index, rva, size] : directories) {
        put(image, optional + 112 + 8 * index, rva, 4);
        put(image, optional + 116 + 8 * index, size, 4);
    }
    for (size_t i = 0; i < paddingSections; ++i) {
        put(image, sectionTable + 40 * i + 8, 0x1000, 4);
        put(image, sectionTable + 40 * i + 12, 0x80000000u + 0x1000 * i, 4);
    }
    const size_t sectionHeader = sectionTable + 40 * paddingSections;
    put(image, sectionHeader + 8, section.size(), 4);   // virtual size
    put(image, sectionHeader + 12, sectionRva, 4);      // virtual address
    put(image, sectionHeader + 16, section.size(), 4);  // raw size
    put(image, sectionHeader + 20, data, 4);            // raw offset
    std::copy(section.begin(), section.end(), image.begin() + static_cast<std::ptrdiff_t>(data));
    return image;
}

std::vector<uint8_t> sharedThunksDll(uint32_t descriptors, uint32_t thunks, SharedThunks kind,
                                     const std::string& function)
{
    std::vector<uint8_t> section;
    const uint32_t dll = putText(section, "crafted.dll");
    const uint32_t hintAndName = putText(section, std::string(2, '\0') + function);
    const uint64_t entry = kind == SharedThunks::named ? hintAndName : (1ull << 63) | 7;
    const size_t table = (section.size() + 7) & ~size_t{7};
    for (uint32_t i = 0; i < thunks; ++i) put(section, table + 8 * i, entry, 8);
    put(section, table + 8ull * thunks, 0, 8);
    const size_t directory = section.size();
    const bool delayed = kind == SharedThunks::delayedOrdinals;
    const size_t stride = delayed ? 32 : 20;
    for (uint32_t i = 0; i < descriptors; ++i) {
        const size_t at = directory + stride * i;
        if (delayed) {
            put(section, at, 1, 4);  // attributes: RVA based
            put(section, at + 4, dll, 4);
            put(section, at + 16, sectionRva + table, 4);
        } else {
            put(section, at, sectionRva + table, 4);
            put(section, at + 12, dll, 4);
        }
    }
    put(section, directory + stride * (descriptors + 1) - 1, 0, 1);  // the terminating descriptor
    const auto exports = putExports(section, {});
    const uint32_t index = delayed ? 13 : 1;
    return handMadeDll(section, {{0, exports[0], exports[1]},
                                 {index, static_cast<uint32_t>(sectionRva + directory),
                                  static_cast<uint32_t>(stride * (descriptors + 1))}});
}

std::vector<uint8_t> manyExportsDll(uint32_t count, uint16_t paddingSections)
{
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; ++i) names.push_back("f" + std::to_string(i));
    std::vector<uint8_t> section;
    const auto exports = putExports(section, names);
    return handMadeDll(section, {{0, exports[0], exports[1]}}, paddingSections);
}

std::vector<uint8_t> importsOfAllDll(const std::string& dll, uint32_t count, uint32_t descriptors,
                                     const std::string& extra, uint16_t paddingSections)
{
    std::vector<uint8_t> section;
    const uint32_t dllName = putText(section, dll);
    std::vector<uint32_t> hintAndNames;
    for (uint32_t i = 0; i < count; ++i) {
        hintAndNames.push_back(putText(section, std::string(2, '\0') + "f" + std::to_string(i)));
    }
    if (!extra.empty()) hintAndNames.push_back(putText(section, std::string(2, '\0') + extra));
    // Descriptor d takes the d-th slice of the names, in a table of its own.
    std::vector<size_t> tables;
    const size_t slice = (hintAndNames.size() + descriptors - 1) / descriptors;
    for (size_t first = 0; first < hintAndNames.size(); first += slice) {
        const size_t table = (section.size() + 7) & ~size_t{7};
        const size_t last = std::min(first + slice, hintAndNames.size());
        for (size_t i = first; i < last; ++i) put(section, table + 8 * (i - first), hintAndNames[i], 8);
        put(section, table + 8 * (last - first), 0, 8);
        tables.push_back(table);
    }
    const size_t directory = section.size();
    for (size_t d = 0; d < tables.size(); ++d) {
        put(section, directory + 20 * d, sectionRva + tables[d], 4);
        put(section, directory + 20 * d + 12, dllName, 4);
    }
    put(section, directory + 20 * tables.size() + 19, 0, 1);
    const auto exports = putExports(section, {});
    return handMadeDll(
        section,
        {{0, exports[0], exports[1]},
         {1, static_cast<uint32_t>(sectionRva + directory), static_cast<uint32_t>(20 * (tables.size() + 1))}},
        paddingSections);
}

std::vector<uint8_t> delayImportingDll(const std::string& dll, const std::string& function)
{
    std::vector<uint8_t> section(32 * 2);  // one delay-load descriptor and the terminating one
    const uint32_t dllName = putText(section, dll);
    const uint32_t hintAndName = putText(section, std::string(2, '\0') + function);
    const size_t names = (section.size() + 7) & ~size_t{7};
    put(section, names, hintAndName, 8);
    put(section, names + 8, 0, 8);
    put(section, 0, 1, 4);  // attributes: RVA based
    put(section, 4, dllName, 4);
    put(section, 16, sectionRva + names, 4);
    const auto exports = putExports(section, {});
    return handMadeDll(section, {{0, exports[0], exports[1]}, {13, sectionRva, 64}});
}
