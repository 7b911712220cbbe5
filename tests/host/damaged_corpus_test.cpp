// Every damaged block in tests/data/damaged is made from the recipe beside
// it, so that a change of the format regenerates the corpus instead of
// leaving it to test nothing: ONEFILE_REGENERATE_CORPUS=1 rewrites the
// blocks, and otherwise each must equal what its recipe makes.
//
// A recipe, one instruction a line ('#' starts a comment):
//   file NAME text WORDS...        the words, separated by single spaces
//   file NAME mz SIZE SEED         "MZ" and SIZE - 2 pattern bytes
//   file NAME pattern SIZE SEED    SIZE pattern bytes
//   damage none | wrong-checksum | cut-frame N
// The record stream of the files is compressed (level 3, checksum) and
// damaged, then framed with the magic, padding and trailer.
#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::string makeContent(std::istringstream& words)
{
    std::string kind, content;
    words >> kind;
    if (kind == "text") {
        for (std::string word; words >> word;) content += (content.empty() ? "" : " ") + word;
        return content;
    }
    size_t size = 0;
    uint32_t seed = 0;
    words >> size >> seed;
    if (kind == "mz") return "MZ" + patternBytes(size - 2, seed);
    if (kind == "pattern") return patternBytes(size, seed);
    throw std::runtime_error("unknown content kind " + kind);
}

std::vector<uint8_t> damage(std::vector<uint8_t> frame, std::istringstream& words)
{
    std::string kind;
    words >> kind;
    if (kind == "wrong-checksum") {
        frame.back() ^= 0x40;  // the checksum is the frame's last 4 bytes
    } else if (kind == "cut-frame") {
        size_t cut = 0;
        words >> cut;
        frame.resize(frame.size() - cut);
    } else if (kind != "none") {
        throw std::runtime_error("unknown damage " + kind);
    }
    return frame;
}

std::vector<uint8_t> makeFromRecipe(const fs::path& recipe)
{
    std::vector<std::pair<std::u16string, std::string>> files;
    std::istringstream lines(readBytes(recipe));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string instruction;
        if (!(words >> instruction) || instruction[0] == '#') continue;
        if (instruction == "file") {
            std::string name;
            words >> name;
            files.emplace_back(pack::utf8ToUtf16(name), makeContent(words));
        } else if (instruction == "damage") {
            return pack::frameBlock(damage(compressFrame(recordStream(files)), words));
        } else {
            throw std::runtime_error(recipe.string() + ": unknown instruction " + instruction);
        }
    }
    throw std::runtime_error(recipe.string() + ": no damage line");
}

TEST(DamagedCorpus, EveryBlockIsWhatItsRecipeMakes)
{
    const fs::path corpus = fs::path(std::getenv("ONEFILE_TEST_DATA")) / "damaged";
    const bool regenerate = std::getenv("ONEFILE_REGENERATE_CORPUS") != nullptr;
    size_t blocks = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        const fs::path path = entry.path();
        if (path.extension() == ".block") {
            ++blocks;
            EXPECT_TRUE(fs::exists(fs::path(path).replace_extension(".recipe"))) << path << " has no recipe";
            continue;
        }
        const std::vector<uint8_t> made = makeFromRecipe(path);
        const fs::path block = fs::path(path).replace_extension(".block");
        if (regenerate) writeBytes(block, std::string(made.begin(), made.end()));
        const std::string committed = readBytes(block);
        EXPECT_TRUE(std::vector<uint8_t>(committed.begin(), committed.end()) == made)
            << block << " differs from its recipe";
    }
    EXPECT_GE(blocks, 3u);
}

}  // namespace
