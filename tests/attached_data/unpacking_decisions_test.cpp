// The unpacking's decisions that need no start: where the settings and the
// block are, how many pieces are decoded ahead for a stream, and which file
// of an earlier copy a repair may take.
#include <gtest/gtest.h>

#include "attached_data/attached_data.h"

#include <string.h>

#include <vector>

namespace {

void putLittle(std::vector<unsigned char>& bytes, size_t at, uint64_t value, unsigned size)
{
    for (unsigned i = 0; i < size; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A settings section as the packer lays it out, its texts after the header
// and the block at `blockOffset`.
std::vector<unsigned char> settingsSection(uint64_t blockOffset, uint64_t blockSize)
{
    std::vector<unsigned char> section(blockOffset + blockSize, 0);
    memcpy(section.data(), ONEFILE_SETTINGS_MAGIC, sizeof ONEFILE_SETTINGS_MAGIC);
    putLittle(section, 8, ONEFILE_DESCRIPTOR_FORMAT, 4);
    putLittle(section, 12, ONEFILE_SETTING_SWEEP | ONEFILE_SETTING_CACHE_RECHECK, 4);
    putLittle(section, 16, 3, 4);
    putLittle(section, 24, blockOffset, 8);
    putLittle(section, 32, blockSize, 8);
    // "{TEMP}" at 64, the cache's spec "c" at 80 and no id at 84: each text
    // its offset, then its units.
    const char16_t temp[] = u"{TEMP}";
    for (size_t i = 0; i < 6; ++i) putLittle(section, 64 + 2 * i, temp[i], 2);
    putLittle(section, 40, 64 | 6ull << 32, 8);
    putLittle(section, 48, 80 | 1ull << 32, 8);
    putLittle(section, 56, 84, 8);
    putLittle(section, 80, u'c', 2);
    return section;
}

TEST(Placement, SettingsAreReadOnlyWhereTheyFitTheirSection)
{
    const size_t none = SIZE_MAX;
    const struct {
        const char* what;
        size_t at;  // the field changed, or none
        uint64_t value;
        unsigned width;
        uint64_t size;  // of the section read; 0: all of it
        const char* problem;
    } cases[] = {
        {"as the packer writes them", none, 0, 0, 0, nullptr},
        {"shorter than their header", none, 0, 0, ONEFILE_SETTINGS_HEADER_SIZE - 1, "the settings are missing"},
        {"exactly their header, its block outside", none, 0, 0, ONEFILE_SETTINGS_HEADER_SIZE,
         "the block lies outside its section"},
        {"another magic", 0, 'O', 1, 0, "the settings are missing"},
        {"another format", 8, 2, 4, 0, "the settings are of another format"},
        {"a block one byte longer than the section", 32, 4097, 8, 0, "the block lies outside its section"},
        {"a block whose end wraps around", 32, UINT64_MAX, 8, 0, "the block lies outside its section"},
        {"a block inside the header", 24, 63, 8, 0, "the block lies outside its section"},
        {"a text at an odd offset, whole there", 40, 81, 8, 0,
         "a text of the settings lies outside them or has no end"},
        {"a text inside the header, whole there", 40, 62, 8, 0,
         "a text of the settings lies outside them or has no end"},
        {"a text without its end unit", 44, 5, 4, 0, "a text of the settings lies outside them or has no end"},
        {"a text that runs into the block", 56, 4094 | 1ull << 32, 8, 0,
         "a text of the settings lies outside them or has no end"},
        {"a text that ends where the block begins", 56, 4094, 4, 0, nullptr},
        {"a text longer than any spec", 60, ONEFILE_SETTINGS_TEXT_MAX_UNITS + 1, 4, 0,
         "a text of the settings lies outside them or has no end"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> section = settingsSection(4096, 4);
        if (c.at != none) putLittle(section, c.at, c.value, c.width);
        ExecutableSettings settings = {};
        const char* const problem =
            readSettingsSection(section.data(), c.size != 0 ? c.size : section.size(), settings);
        EXPECT_STREQ(problem, c.problem) << c.what;
        if (problem == nullptr) {
            EXPECT_EQ(settings.block, section.data() + 4096) << c.what;
            EXPECT_EQ(settings.blockSize, 4u) << c.what;
            EXPECT_STREQ(settings.runParentSpec, L"{TEMP}") << c.what;
            EXPECT_STREQ(settings.cache.spec, L"c") << c.what;
            EXPECT_EQ(settings.cache.keep, 3u) << c.what;
            EXPECT_TRUE(settings.sweep && settings.cache.recheck && !settings.errorDialog && !settings.splashProgress)
                << c.what;
        }
    }
}

TEST(Placement, TheSectionMustLieInsideTheImageAfterItsHeaders)
{
    const uint32_t headers = 0x1000, image = 0x10000;
    const struct {
        const char* what;
        uint32_t rva, size;
        const char* problem;
    } cases[] = {
        {"not packed", 0, 0, "the executable carries no attached data: it was not packed"},
        {"the image's last bytes", image - 16, 16, nullptr},
        {"one byte past the image", image - 16, 17, "its place lies outside the executable's image"},
        {"a size that wraps around", image - 16, UINT32_MAX, "its place lies outside the executable's image"},
        {"past the image", image + 1, 0, "its place lies outside the executable's image"},
        {"in the headers", headers - 1, 1, "its place lies outside the executable's image"},
        {"right after the headers", headers, 1, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(checkSectionPlace(c.rva, c.size, headers, image), c.problem) << c.what;
    }
}

TEST(ReadAhead, PiecesAreNoMoreThanTheStreamFillsAndBounded)
{
    const uint64_t mib = pieceSize;
    const struct {
        const char* what;
        bool known;
        uint64_t size;
        size_t pieces;
    } cases[] = {
        {"a size the frame does not declare", false, 0, piecesAhead},
        {"an empty stream", true, 0, 2},
        {"less than a piece", true, mib - 1, 2},
        {"exactly one piece", true, mib, 2},
        {"three pieces and a byte", true, 3 * mib + 1, 4},
        {"one piece short of the bound", true, (piecesAhead - 2) * mib, piecesAhead - 1},
        {"the bound", true, (piecesAhead - 1) * mib, piecesAhead},
        {"just past the bound", true, piecesAhead * mib, piecesAhead},
        {"ten gigabytes", true, 10ull << 30, piecesAhead},
        {"the largest size", true, UINT64_MAX, piecesAhead},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(piecesForStream(c.known, c.size), c.pieces) << c.what;
    }
}

TEST(ReadAhead, PaysOnlyWithMoreThanOneProcessor)
{
    const struct {
        const char* what;
        uint64_t affinity;
        bool pays;
    } cases[] = {
        {"none (cannot be told)", 0, false},
        {"the first processor", 1, false},
        {"one processor of many", 1ull << 17, false},
        {"the last processor", 1ull << 63, false},
        {"two processors", 3, true},
        {"two apart", (1ull << 63) | 1, true},
        {"all of them", UINT64_MAX, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodingAheadPays(c.affinity), c.pays) << c.what;
    }
}

TEST(Repair, OnlyAPlainFileWithOneNameAndTheRecordsSizeIsTaken)
{
    const uint64_t size = (1ull << 32) + 5;
    const EarlierFileFacts plain = {FILE_ATTRIBUTE_ARCHIVE, 1, size};
    const auto with = [&](auto change) {
        EarlierFileFacts facts = plain;
        change(facts);
        return facts;
    };
    const struct {
        const char* what;
        EarlierFileFacts facts;
        uint64_t size;
        bool taken;
    } cases[] = {
        {"a plain file of the size", plain, size, true},
        {"read-only and hidden", with([](auto& f) { f.attributes |= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN; }),
         size, true},
        {"a byte shorter", plain, size + 1, false},
        {"a byte longer", plain, size - 1, false},
        {"the same low 32 bits of the size", plain, 5, false},
        {"a folder", with([](auto& f) { f.attributes |= FILE_ATTRIBUTE_DIRECTORY; }), size, false},
        {"a reparse point", with([](auto& f) { f.attributes |= FILE_ATTRIBUTE_REPARSE_POINT; }), size, false},
        {"a second name (a hard link)", with([](auto& f) { f.links = 2; }), size, false},
        {"no name left", with([](auto& f) { f.links = 0; }), size, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mayTakeEarlierFile(c.facts, c.size), c.taken) << c.what;
    }
}

}  // namespace
