// Where the packer placed the block and the executable's settings: a
// section of their own that the packer appends to the prebuilt image, and
// the one descriptor below, which the packer fills in with the section's
// place. The image is input like the block: every place read from it is
// checked against the image before it is followed.
#include "attached_data.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

// Found by the packer by its mark; 0 in the SDK's image. Read through
// volatile: the packer changes it after the compiler has seen it.
struct PlacementDescriptor {
    char mark[ONEFILE_DESCRIPTOR_MARK_SIZE];
    uint32_t format;
    uint32_t sectionRva;
    uint32_t sectionSize;
    uint32_t reserved;
};
static_assert(sizeof(PlacementDescriptor) == ONEFILE_DESCRIPTOR_SIZE, "the descriptor's layout is the contract's");
extern "C" __attribute__((used)) const volatile PlacementDescriptor onefilePlacementDescriptor = {
    ONEFILE_DESCRIPTOR_MARK, ONEFILE_DESCRIPTOR_FORMAT, 0, 0, 0};

// A text of the settings: `units` UTF-16 units at `offset`, then a 0 unit,
// between the header and the block; null when it is not that.
static const wchar_t* textAt(const unsigned char* section, const unsigned char* field, uint64_t blockOffset)
{
    const uint64_t offset = readLittleEndian(field, 4), units = readLittleEndian(field + 4, 4);
    if (offset % 2 != 0 || offset < ONEFILE_SETTINGS_HEADER_SIZE || units > ONEFILE_SETTINGS_TEXT_MAX_UNITS ||
        offset > blockOffset || (units + 1) * 2 > blockOffset - offset) {
        return nullptr;
    }
    const wchar_t* const text = reinterpret_cast<const wchar_t*>(section + offset);
    return wcsnlen(text, units + 1) == units ? text : nullptr;
}

const char* readSettingsSection(const unsigned char* section, uint64_t size, ExecutableSettings& settings)
{
    if (size < ONEFILE_SETTINGS_HEADER_SIZE || memcmp(section, ONEFILE_SETTINGS_MAGIC, 8) != 0) {
        return "the settings are missing";
    }
    if (readLittleEndian(section + 8, 4) != ONEFILE_DESCRIPTOR_FORMAT) {
        return "the settings are of another format";
    }
    const uint64_t blockOffset = readLittleEndian(section + 24, 8), blockSize = readLittleEndian(section + 32, 8);
    if (blockOffset < ONEFILE_SETTINGS_HEADER_SIZE || blockOffset > size || blockSize > size - blockOffset) {
        return "the block lies outside its section";
    }
    const wchar_t* const runParent = textAt(section, section + 40, blockOffset);
    const wchar_t* const cacheSpec = textAt(section, section + 48, blockOffset);
    const wchar_t* const cacheId = textAt(section, section + 56, blockOffset);
    if (runParent == nullptr || cacheSpec == nullptr || cacheId == nullptr) {
        return "a text of the settings lies outside them or has no end";
    }
    const uint32_t flags = static_cast<uint32_t>(readLittleEndian(section + 12, 4));
    const uint64_t keep = readLittleEndian(section + 16, 4);
    settings.block = section + blockOffset;
    settings.blockSize = blockSize;
    settings.runParentSpec = runParent;
    settings.cache = {cacheSpec, cacheId, keep < 255 ? static_cast<unsigned>(keep) : 255u,
                      (flags & ONEFILE_SETTING_CACHE_RECHECK) != 0};
    settings.sweep = (flags & ONEFILE_SETTING_SWEEP) != 0;
    settings.errorDialog = (flags & ONEFILE_SETTING_ERROR_DIALOG) != 0;
    settings.splashProgress = (flags & ONEFILE_SETTING_SPLASH_PROGRESS) != 0;
    return nullptr;
}

const char* checkSectionPlace(uint32_t rva, uint32_t size, uint32_t headersSize, uint32_t imageSize)
{
    if (rva == 0 && size == 0) {
        return "the executable carries no attached data: it was not packed";
    }
    if (rva < headersSize || rva > imageSize || size > imageSize - rva) {
        return "its place lies outside the executable's image";
    }
    return nullptr;
}

ExecutableSettings readExecutableSettings()
{
    LARGE_INTEGER began, ended, frequency;
    QueryPerformanceCounter(&began);
    // The executable's own image, as the loader mapped it: its headers are
    // those it checked.
    const unsigned char* const image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS64* const headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
    const uint32_t rva = onefilePlacementDescriptor.sectionRva, size = onefilePlacementDescriptor.sectionSize;
    ExecutableSettings settings = {};
    const char* problem =
        onefilePlacementDescriptor.format != ONEFILE_DESCRIPTOR_FORMAT
            ? "its descriptor is of another format"
            : checkSectionPlace(rva, size, headers->OptionalHeader.SizeOfHeaders, headers->OptionalHeader.SizeOfImage);
    if (problem == nullptr) {
        problem = readSettingsSection(image + rva, size, settings);
    }
    if (problem != nullptr) {
        showFatalLinesNobodySees();
        char line[192];
        snprintf(line, sizeof line, "Error, couldn't find attached data header. (%s)", problem);
        fatalError(line);
    }
    if (isTracing()) {
        QueryPerformanceCounter(&ended);
        QueryPerformanceFrequency(&frequency);
        traceStep(L"settings and a block of %llu bytes found in %.1f us",
                  static_cast<unsigned long long>(settings.blockSize),
                  static_cast<double>(ended.QuadPart - began.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart));
    }
    return settings;
}
