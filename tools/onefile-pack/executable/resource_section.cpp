// The executable's resources in their compiled form, written by the packer
// itself: the manifest, the icon group and its images, the splash image and
// the version information, each of U.S. English as a resource compiler
// gives them by default, in a resource section of the PE format.
#include "executable/executable.h"

#include "pe/pe.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace pack {

namespace {

constexpr uint16_t typeIcon = 3, typeRcData = 10, typeGroupIcon = 14, typeVersion = 16, typeManifest = 24;
constexpr uint16_t languageUsEnglish = 0x409;

void appendLittle(std::vector<uint8_t>& bytes, uint64_t value, unsigned size)
{
    for (unsigned i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void padToFour(std::vector<uint8_t>& bytes)
{
    bytes.resize(alignUp(bytes.size(), 4), 0);
}

// One block of the version information: its length, its value's length,
// its type (1 text, 0 binary), its key, its value and its children, each
// at a multiple of 4 bytes; the length counts no padding after the last.
struct VersionBlock {
    std::u16string key;
    std::vector<uint8_t> value;
    uint16_t valueLength = 0;
    uint16_t type = 1;
    std::vector<VersionBlock> children;
};

std::vector<uint8_t> versionBlockBytes(const VersionBlock& block)
{
    std::vector<uint8_t> bytes;
    appendLittle(bytes, 0, 2);
    appendLittle(bytes, block.valueLength, 2);
    appendLittle(bytes, block.type, 2);
    for (const char16_t unit : block.key + u'\0') appendLittle(bytes, unit, 2);
    padToFour(bytes);
    bytes.insert(bytes.end(), block.value.begin(), block.value.end());
    for (const VersionBlock& child : block.children) {
        padToFour(bytes);
        const std::vector<uint8_t> childBytes = versionBlockBytes(child);
        bytes.insert(bytes.end(), childBytes.begin(), childBytes.end());
    }
    writeLittle(bytes, 0, bytes.size(), 2);
    return bytes;
}

VersionBlock textValue(const std::u16string& key, const std::string& text)
{
    VersionBlock block{key, {}, 0, 1, {}};
    const std::u16string units = utf8ToUtf16(text) + u'\0';
    for (const char16_t unit : units) appendLittle(block.value, unit, 2);
    block.valueLength = static_cast<uint16_t>(units.size());
    return block;
}

// "1.2.3.4" as the two 32-bit halves of a fixed version; 0 when empty.
std::pair<uint32_t, uint32_t> versionNumbers(const std::string& version)
{
    uint32_t parts[4] = {};
    size_t at = 0;
    for (int i = 0; i < 4 && at <= version.size() && !version.empty(); ++i) {
        parts[i] = static_cast<uint32_t>(std::stoul(version.substr(at)));
        const size_t dot = version.find('.', at);
        at = dot == std::string::npos ? version.size() + 1 : dot + 1;
    }
    return {parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]};
}

std::vector<uint8_t> fixedFileInfo(const VersionInfo& info)
{
    std::vector<uint8_t> fixed;
    const auto [fileHigh, fileLow] = versionNumbers(info.fileVersion);
    const auto [productHigh, productLow] = versionNumbers(info.productVersion);
    // Signature, structure version, versions, flags mask 0x3f, no flags,
    // NT on Windows, an application, no subtype and no date.
    for (const uint32_t value :
         {0xfeef04bdu, 0x10000u, fileHigh, fileLow, productHigh, productLow, 0x3fu, 0u, 0x40004u, 1u, 0u, 0u, 0u}) {
        appendLittle(fixed, value, 4);
    }
    return fixed;
}

}  // namespace

std::vector<uint8_t> versionResource(const VersionInfo& info)
{
    VersionBlock table{u"040904B0", {}, 0, 1, {}};
    const std::pair<const char16_t*, const std::string*> values[] = {
        {u"CompanyName", &info.company},      {u"FileDescription", &info.description},
        {u"FileVersion", &info.fileVersion},  {u"InternalName", &info.internalName},
        {u"LegalCopyright", &info.copyright}, {u"OriginalFilename", &info.originalFilename},
        {u"ProductName", &info.product},      {u"ProductVersion", &info.productVersion},
    };
    for (const auto& [name, value] : values) {
        if (!value->empty()) table.children.push_back(textValue(name, *value));
    }
    VersionBlock translation{u"Translation", {}, 4, 0, {}};
    appendLittle(translation.value, languageUsEnglish, 2);
    appendLittle(translation.value, 1200, 2);  // Unicode
    const VersionBlock root{
        u"VS_VERSION_INFO",
        fixedFileInfo(info),
        52,
        0,
        {VersionBlock{u"StringFileInfo", {}, 0, 1, {table}}, VersionBlock{u"VarFileInfo", {}, 0, 1, {translation}}}};
    return versionBlockBytes(root);
}

std::vector<Resource> iconResources(const std::vector<uint8_t>& icon, const std::string& file)
{
    const auto read = [&](size_t at, unsigned size) {
        if (at + size > icon.size()) throw Error(file + ": the icon is not an .ico file");
        uint32_t value = 0;
        for (unsigned i = size; i-- > 0;) value = value << 8 | icon[at + i];
        return value;
    };
    const uint32_t count = read(4, 2);
    std::vector<Resource> resources;
    std::vector<uint8_t> group;
    appendLittle(group, 0, 2);
    appendLittle(group, 1, 2);
    appendLittle(group, count, 2);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = 6 + 16 * i;
        const uint32_t size = read(entry + 8, 4), offset = read(entry + 12, 4);
        if (offset > icon.size() || size > icon.size() - offset) {
            throw Error(file + ": an image of the icon lies outside the file");
        }
        // The directory's entry as the group holds it: its 12 first bytes,
        // then the image's resource id instead of its offset.
        group.insert(group.end(), icon.begin() + static_cast<ptrdiff_t>(entry),
                     icon.begin() + static_cast<ptrdiff_t>(entry + 12));
        appendLittle(group, i + 1, 2);
        resources.push_back({typeIcon, static_cast<uint16_t>(i + 1),
                             std::vector<uint8_t>(icon.begin() + static_cast<ptrdiff_t>(offset),
                                                  icon.begin() + static_cast<ptrdiff_t>(offset + size))});
    }
    resources.push_back({typeGroupIcon, 1, group});
    return resources;
}

std::vector<Resource> executableResources(const ResourceInputs& inputs)
{
    std::vector<Resource> resources = iconResources(inputs.icon, inputs.iconFile);
    resources.push_back({typeManifest, 1, inputs.manifest});
    if (!inputs.splash.empty()) resources.push_back({typeRcData, ONEFILE_SPLASH_RESOURCE_ID, inputs.splash});
    if (inputs.version.requested()) resources.push_back({typeVersion, 1, versionResource(inputs.version)});
    return resources;
}

std::vector<uint8_t> resourceSection(std::vector<Resource> resources, uint32_t rva)
{
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
    std::map<uint16_t, std::vector<const Resource*>> byType;
    for (const Resource& resource : resources) byType[resource.type].push_back(&resource);
    // Three levels of directories (type, id, language), then the data
    // entries, then the data, each item at a multiple of 8 bytes.
    const auto directorySize = [](size_t entries) { return 16 + 8 * entries; };
    uint64_t size = directorySize(byType.size());
    for (const auto& [type, items] : byType) size += directorySize(items.size()) + items.size() * directorySize(1);
    const uint64_t entries = size;
    uint64_t dataAt = entries + 16 * resources.size();
    std::vector<uint8_t> section(dataAt, 0);
    const auto writeDirectory = [&](uint64_t at, size_t count) { writeLittle(section, at + 14, count, 2); };
    const auto writeEntry = [&](uint64_t directory, size_t index, uint32_t id, uint32_t target) {
        writeLittle(section, directory + 16 + 8 * index, id, 4);
        writeLittle(section, directory + 20 + 8 * index, target, 4);
    };
    writeDirectory(0, byType.size());
    uint64_t next = directorySize(byType.size()), entry = entries;
    size_t typeIndex = 0;
    for (const auto& [type, items] : byType) {
        const uint64_t names = next;
        writeEntry(0, typeIndex++, type, 0x80000000u | static_cast<uint32_t>(names));
        writeDirectory(names, items.size());
        next += directorySize(items.size());
        for (size_t i = 0; i < items.size(); ++i, entry += 16) {
            const uint64_t languages = next;
            next += directorySize(1);
            writeEntry(names, i, items[i]->id, 0x80000000u | static_cast<uint32_t>(languages));
            writeDirectory(languages, 1);
            writeEntry(languages, 0, languageUsEnglish, static_cast<uint32_t>(entry));
            dataAt = alignUp(dataAt, 8);
            writeLittle(section, entry, rva + dataAt, 4);
            writeLittle(section, entry + 4, items[i]->data.size(), 4);
            section.resize(dataAt, 0);
            section.insert(section.end(), items[i]->data.begin(), items[i]->data.end());
            dataAt = section.size();
        }
    }
    return section;
}

}  // namespace pack
