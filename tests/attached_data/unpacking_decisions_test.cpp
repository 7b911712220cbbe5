// The unpacking's decisions that need no start: how many pieces are decoded
// ahead for a stream, and which file of an earlier copy a repair may take.
#include <gtest/gtest.h>

#include "attached_data/attached_data.h"

namespace {

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
