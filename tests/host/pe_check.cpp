#include "pe_check.h"

#include <cstdint>
#include <stdexcept>

namespace {

struct Reader {
    const std::string& bytes;
    uint32_t at(uint64_t offset, unsigned size) const
    {
        if (offset + size > bytes.size()) throw std::runtime_error("a read past the end at " + std::to_string(offset));
        uint32_t value = 0;
        for (unsigned i = 0; i < size; ++i) value |= uint32_t{static_cast<uint8_t>(bytes[offset + i])} << (8 * i);
        return value;
    }
};

struct Section {
    uint32_t size, address, rawSize, rawOffset, flags;
};

struct Headers {
    uint64_t optional;
    uint32_t sectionAlignment, fileAlignment, headersSize, imageSize, checksum;
    std::vector<Section> sections;
};

Headers readHeaders(const Reader& r)
{
    if (r.at(0, 2) != 0x5a4d) throw std::runtime_error("no MZ");
    const uint64_t pe = r.at(0x3c, 4);
    if (r.at(pe, 4) != 0x4550 || r.at(pe + 4, 2) != 0x8664) throw std::runtime_error("not an x64 PE file");
    Headers h;
    h.optional = pe + 24;
    if (r.at(h.optional, 2) != 0x20b) throw std::runtime_error("not PE32+");
    h.sectionAlignment = r.at(h.optional + 32, 4);
    h.fileAlignment = r.at(h.optional + 36, 4);
    h.imageSize = r.at(h.optional + 56, 4);
    h.headersSize = r.at(h.optional + 60, 4);
    h.checksum = r.at(h.optional + 64, 4);
    const uint64_t table = h.optional + r.at(pe + 20, 2);
    for (uint32_t i = 0; i < r.at(pe + 6, 2); ++i) {
        const uint64_t s = table + 40 * i;
        h.sections.push_back({r.at(s + 8, 4), r.at(s + 12, 4), r.at(s + 16, 4), r.at(s + 20, 4), r.at(s + 36, 4)});
    }
    if (table + 40 * h.sections.size() > h.headersSize) throw std::runtime_error("the section table overruns");
    return h;
}

uint64_t roundUp(uint64_t value, uint64_t to)
{
    return to == 0 ? value : (value + to - 1) / to * to;
}

uint32_t checksumOf(const std::string& bytes, uint64_t field)
{
    uint32_t sum = 0;
    for (uint64_t i = 0; i < bytes.size(); i += 2) {
        uint32_t word = static_cast<uint8_t>(bytes[i]);
        if (i + 1 < bytes.size()) word |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
        if (i >= field && i < field + 4) word = 0;
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return sum + static_cast<uint32_t>(bytes.size());
}

// The file offset of an address, or -1 when no section's data holds it.
int64_t offsetOf(const Headers& h, uint64_t address)
{
    for (const Section& s : h.sections) {
        if (address >= s.address && address < uint64_t{s.address} + s.rawSize)
            return s.rawOffset + (address - s.address);
    }
    return -1;
}

void walkResources(const Reader& r, const Headers& h, uint64_t base, uint64_t sectionSize, ResourceMap* out)
{
    const auto directory = [&](uint64_t offset) {
        if (offset + 16 > sectionSize) throw std::runtime_error("a resource directory outside its section");
        return r.at(base + offset + 12, 2) + r.at(base + offset + 14, 2);
    };
    const uint32_t types = directory(0);
    for (uint32_t t = 0; t < types; ++t) {
        const uint32_t type = r.at(base + 16 + 8 * t, 4), names = r.at(base + 20 + 8 * t, 4) & 0x7fffffff;
        for (uint32_t n = 0; n < directory(names); ++n) {
            const uint32_t id = r.at(base + names + 16 + 8 * n, 4);
            const uint32_t languages = r.at(base + names + 20 + 8 * n, 4) & 0x7fffffff;
            for (uint32_t l = 0; l < directory(languages); ++l) {
                const uint32_t language = r.at(base + languages + 16 + 8 * l, 4);
                const uint32_t entry = r.at(base + languages + 20 + 8 * l, 4);
                if (entry + 16 > sectionSize) throw std::runtime_error("a data entry outside the section");
                const int64_t data = offsetOf(h, r.at(base + entry, 4));
                const uint32_t size = r.at(base + entry + 4, 4);
                if (data < 0 || static_cast<uint64_t>(data) + size > r.bytes.size()) {
                    throw std::runtime_error("a resource's data outside the file");
                }
                if (out != nullptr) {
                    (*out)[std::to_string(type) + "/" + std::to_string(id) + "/" + std::to_string(language)] =
                        r.bytes.substr(static_cast<uint64_t>(data), size);
                }
            }
        }
    }
}

void checkDirectories(const Reader& r, const Headers& h, std::vector<std::string>& problems)
{
    const uint32_t count = r.at(h.optional + 108, 4);
    for (uint32_t d = 0; d < count && d < 16; ++d) {
        const uint32_t address = r.at(h.optional + 112 + 8 * d, 4), size = r.at(h.optional + 116 + 8 * d, 4);
        if (size == 0 || d == 4) continue;  // the certificate table is placed by file offset
        bool inside = false;
        for (const Section& s : h.sections) {
            inside = inside || (address >= s.address && uint64_t{address} + size <= uint64_t{s.address} + s.size);
        }
        if (!inside) problems.push_back("data directory " + std::to_string(d) + " lies in no section");
        if (d == 2 && inside) {
            try {
                walkResources(r, h, static_cast<uint64_t>(offsetOf(h, address)), size, nullptr);
            } catch (const std::exception& e) {
                problems.push_back(std::string("resources: ") + e.what());
            }
        }
    }
}

}  // namespace

std::vector<std::string> peRuleProblems(const std::string& file)
{
    std::vector<std::string> problems;
    const Reader r{file};
    Headers h;
    try {
        h = readHeaders(r);
    } catch (const std::exception& e) {
        return {e.what()};
    }
    uint64_t expected = roundUp(h.headersSize, h.sectionAlignment), sizes[3] = {};
    for (size_t i = 0; i < h.sections.size(); ++i) {
        const Section& s = h.sections[i];
        const std::string name = "section " + std::to_string(i);
        if (s.address != expected) problems.push_back(name + " does not follow the one before");
        expected = roundUp(uint64_t{s.address} + s.size, h.sectionAlignment);
        if (s.rawOffset % h.fileAlignment != 0 || s.rawSize % h.fileAlignment != 0) {
            problems.push_back(name + "'s raw data is not file-aligned");
        }
        if (uint64_t{s.rawOffset} + s.rawSize > file.size()) problems.push_back(name + "'s raw data is past the end");
        const uint64_t aligned = roundUp(s.size > s.rawSize ? s.size : s.rawSize, h.fileAlignment);
        for (int kind = 0; kind < 3; ++kind) sizes[kind] += (s.flags & (0x20u << kind)) ? aligned : 0;
    }
    if (h.imageSize != expected) problems.push_back("SizeOfImage is not the end of the last section");
    if (h.headersSize % h.fileAlignment != 0) problems.push_back("SizeOfHeaders is not file-aligned");
    const char* const kinds[3] = {"SizeOfCode", "SizeOfInitializedData", "SizeOfUninitializedData"};
    for (int kind = 0; kind < 3; ++kind) {
        if (r.at(h.optional + 4 + 4 * kind, 4) != sizes[kind])
            problems.push_back(std::string(kinds[kind]) + " is wrong");
    }
    checkDirectories(r, h, problems);
    if (h.checksum != checksumOf(file, h.optional + 64)) problems.push_back("the checksum is wrong");
    return problems;
}

ResourceMap peResources(const std::string& file)
{
    const Reader r{file};
    const Headers h = readHeaders(r);
    ResourceMap resources;
    const uint32_t address = r.at(h.optional + 112 + 16, 4), size = r.at(h.optional + 116 + 16, 4);
    if (size != 0) walkResources(r, h, static_cast<uint64_t>(offsetOf(h, address)), size, &resources);
    return resources;
}

ResourceMap resFileResources(const std::string& file)
{
    const Reader r{file};
    ResourceMap resources;
    for (uint64_t at = 0; at + 32 <= file.size();) {
        const uint32_t dataSize = r.at(at, 4), headerSize = r.at(at + 4, 4);
        // Type and name as 0xFFFF and a number: every resource of ours.
        const uint32_t type = r.at(at + 10, 2), id = r.at(at + 14, 2), language = r.at(at + 22, 2);
        if (dataSize != 0) {
            resources[std::to_string(type) + "/" + std::to_string(id) + "/" + std::to_string(language)] =
                file.substr(at + headerSize, dataSize);
        }
        at = roundUp(at + headerSize + dataSize, 4);
    }
    return resources;
}
