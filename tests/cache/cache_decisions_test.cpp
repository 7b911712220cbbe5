// The shared cache's decisions that need no start: whether a manifest is
// whole, how it is composed and compared with a folder, what the recheck
// finds per file and leaves in the version's record.
#include "test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "cache/cache_internal.h"

#define XXH_STATIC_LINKING_ONLY
#include <common/xxhash.h>

namespace {

const std::wstring header = L"onefile-cache 2 133000000000000000\n";
const std::wstring description = L"D data\nF 10 5 app.dll\nF 3 5 data\\held.txt\n";
const std::wstring hashA = L"H 0123456789abcdef app.dll\n";
const std::wstring hashB = L"H fedcba9876543210 data\\held.txt\n";

TEST(CacheManifest, CountsOnlyWhenEveryFileHasExactlyOneHashLine)
{
    const struct {
        const char* what;
        std::wstring text;
        bool whole;
    } cases[] = {
        {"whole", header + description + hashA + hashB, true},
        {"hash lines in another order", header + description + hashB + hashA, true},
        {"no files, no hashes", header + L"D data\n", true},
        {"no hash lines", header + description, false},
        {"cut after the first hash line", header + description + hashA, false},
        {"cut within the last hash line", header + description + hashA + hashB.substr(0, hashB.size() - 5), false},
        {"the last line unended", header + description + hashA + hashB.substr(0, hashB.size() - 1), false},
        {"text after the hashes", header + description + hashA + hashB + L"F 1 1 extra\n", false},
        {"one file hashed twice, another not", header + description + hashA + hashA, false},
        {"a hash for a file not listed", header + description + hashA + L"H 0123456789abcdef other\n", false},
        {"an extra hash line", header + description + hashA + hashB + L"H 0123456789abcdef zzz\n", false},
        {"a hash line with a short hash", header + description + hashA + L"H 0123 data\\held.txt\n", false},
        {"a hash line of capitals", header + description + hashA + L"H FEDCBA9876543210 data\\held.txt\n", false},
        {"a file line without a name", header + L"F 10 5\n" + hashA, false},
        {"the older format", L"onefile-cache 1 133000000000000000\n" + description, false},
        {"no publish time", L"onefile-cache 2 0\n" + description + hashA + hashB, false},
        {"not a manifest", L"hello\n", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isWholeManifest(c.text.c_str()), c.whole) << c.what;
    }
    EXPECT_FALSE(isWholeManifest(nullptr));
}

TEST(CacheManifest, IsWrittenOnlyWhenEveryListedFileHasItsHash)
{
    const struct {
        const char* what;
        const wchar_t* description;
        std::wstring hashes;
        bool written;
    } cases[] = {
        {"every file hashed", description.c_str(), hashA + hashB, true},
        {"a file planted while unpacking, never hashed", description.c_str(), hashA, false},
        {"a hash for a file no longer there", L"D data\nF 10 5 app.dll\n", hashA + hashB, false},
        {"no files", L"D data\n", L"", true},
        {"the tree could not be described", nullptr, hashA + hashB, false},
    };
    for (const auto& c : cases) {
        wchar_t* const text = composeCacheManifest(133000000000000000ull, c.description, c.hashes.c_str());
        EXPECT_EQ(text != nullptr, c.written) << c.what;
        if (text != nullptr) {
            EXPECT_EQ(text, header + c.description + c.hashes) << c.what;
        }
        free(text);
    }
    EXPECT_EQ(composeCacheManifest(1, description.c_str(), nullptr), nullptr) << "the hashes could not be joined";
}

TEST(CacheManifest, MatchesOnlyTheFolderItLists)
{
    const std::wstring whole = header + description + hashA + hashB;
    const struct {
        const char* what;
        std::wstring manifest;  // "-": none could be read
        const wchar_t* folder;  // the folder's description; null: it holds a link
        ManifestMatch match;
        std::wstring difference;
    } cases[] = {
        {"the same", whole, description.c_str(), ManifestMatch::matches, L""},
        {"a file's size differs", whole, L"D data\nF 11 5 app.dll\nF 3 5 data\\held.txt\n", ManifestMatch::differs,
         L"the manifest lists 'F 10 5 app.dll', the folder has 'F 11 5 app.dll'"},
        {"a file's time differs", whole, L"D data\nF 10 6 app.dll\nF 3 5 data\\held.txt\n", ManifestMatch::differs,
         L"the manifest lists 'F 10 5 app.dll', the folder has 'F 10 6 app.dll'"},
        {"a file gone", whole, L"D data\nF 10 5 app.dll\n", ManifestMatch::differs,
         L"the manifest lists 'F 3 5 data\\held.txt', the folder has ''"},
        {"a file added", whole, L"D data\nF 10 5 app.dll\nF 1 1 new.txt\nF 3 5 data\\held.txt\n",
         ManifestMatch::differs, L"the manifest lists 'F 3 5 data\\held.txt', the folder has 'F 1 1 new.txt'"},
        {"a link in the folder", whole, nullptr, ManifestMatch::differs,
         L"the folder holds a reparse point or cannot be listed"},
        {"the older format", L"onefile-cache 1 133000000000000000\n" + description, description.c_str(),
         ManifestMatch::olderFormat, L"its manifest has an older format"},
        {"not whole", header + description + hashA, description.c_str(), ManifestMatch::notWhole,
         L"its manifest is not whole (a file's hash line is missing, doubled or cut)"},
        {"no manifest", L"-", description.c_str(), ManifestMatch::notOurs, L"no manifest of ours"},
        {"another file at its name", L"hello\n", description.c_str(), ManifestMatch::notOurs, L"no manifest of ours"},
    };
    for (const auto& c : cases) {
        wchar_t difference[256] = L"";
        const wchar_t* const manifest = c.manifest == L"-" ? nullptr : c.manifest.c_str();
        EXPECT_EQ(compareCacheManifest(manifest, c.folder, difference, 256), c.match) << c.what;
        EXPECT_EQ(std::wstring(difference), c.difference) << c.what;
    }
}

// Each file against its recorded hash, on real files: a file that cannot
// be read proves nothing either way, and is never called changed.
TEST(CacheRecheck, EachFileIsTheSameDiffersOrUnread)
{
    ScratchDirectory scratch;
    const std::wstring path = scratch.path() + L"\\file.bin";
    const std::string content(3 << 20, 'x');  // more than one read
    const uint64_t hash = XXH64(content.data(), content.size(), 0);
    unsigned char* const buffer = static_cast<unsigned char*>(malloc(recheckChunkBytes));
    const volatile LONG running = 0, stopping = 1;
    const struct {
        const char* what;
        std::string written;  // "-": none
        bool held;            // by another handle without sharing
        const volatile LONG* stop;
        RecheckResult result;
    } cases[] = {
        {"the same", content, false, &running, RecheckResult::same},
        {"changed, its size kept", std::string(content).replace(5, 1, "y"), false, &running, RecheckResult::differs},
        {"empty", "", false, &running, RecheckResult::differs},
        {"gone", "-", false, &running, RecheckResult::unread},
        {"held without sharing", content, true, &running, RecheckResult::unread},
        {"stopped", content, false, &stopping, RecheckResult::stopped},
    };
    for (const auto& c : cases) {
        DeleteFileW(path.c_str());
        if (c.written != "-") {
            writeFile(path, c.written);
        }
        const HANDLE held =
            c.held ? CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) : nullptr;
        EXPECT_EQ(recheckFileContent(path.c_str(), hash, buffer, c.stop), c.result) << c.what;
        if (held != nullptr) {
            CloseHandle(held);
        }
    }
    free(buffer);
}

TEST(CacheRecheck, AnUnreadFileNeverHidesOneThatDiffers)
{
    using R = RecheckResult;
    const struct {
        R sofar, file, after;
    } cases[] = {
        {R::same, R::same, R::same},        {R::same, R::differs, R::differs}, {R::same, R::unread, R::unread},
        {R::same, R::stopped, R::stopped},  {R::unread, R::same, R::unread},   {R::unread, R::differs, R::differs},
        {R::unread, R::stopped, R::unread},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(foldRecheckResult(c.sofar, c.file), c.after)
            << static_cast<int>(c.sofar) << " then " << static_cast<int>(c.file);
    }
}

TEST(CacheRecheckRecord, ReadsOnlyAPassedRecheckAsProofAndAnythingUnreadableAsSpent)
{
    const struct {
        std::string text;
        RecheckState state;
        uint64_t time;
        unsigned used;
    } cases[] = {
        {"", RecheckState::none, 0, 0},
        {"passed 133000000000000000\n", RecheckState::passed, 133000000000000000ull, 0},
        {"passed 7\n", RecheckState::passed, 7, 0},
        {"unproven 0\n", RecheckState::unproven, 0, 0},
        {"unproven 2\n", RecheckState::unproven, 0, 2},
        // Anything else leaves no start.
        {"unproven 3\n", RecheckState::unproven, 0, 2},
        {"unproven\n", RecheckState::unproven, 0, 2},
        {"unproven -1\n", RecheckState::unproven, 0, 2},
        {"passed 133000000000000000", RecheckState::unproven, 0, 2},  // cut before its end
        {"passed \n", RecheckState::unproven, 0, 2},
        {"passed 12x\n", RecheckState::unproven, 0, 2},
        {"passed 99999999999999999999999\n", RecheckState::unproven, 0, 2},
        {"PASSED 1\n", RecheckState::unproven, 0, 2},
        {"garbage", RecheckState::unproven, 0, 2},
    };
    for (const auto& c : cases) {
        const RecheckRecord record = parseRecheckRecord(c.text.data(), c.text.size());
        EXPECT_EQ(record.state, c.state) << c.text;
        EXPECT_EQ(record.time, c.time) << c.text;
        EXPECT_EQ(record.used, c.used) << c.text;
    }
}

TEST(CacheRecheckRecord, AnUnreadFileStartsTheUnprovenCountOnce)
{
    const RecheckRecord none = {RecheckState::none, 0, 0};
    const RecheckRecord passed = {RecheckState::passed, 5, 0};
    const RecheckRecord unproven = {RecheckState::unproven, 0, 0};
    const RecheckRecord used = {RecheckState::unproven, 0, 1};
    const struct {
        const char* what;
        RecheckRecord before;
        RecheckResult result;
        RecheckRecord after;
    } cases[] = {
        {"same after none", none, RecheckResult::same, {RecheckState::passed, 9, 0}},
        {"same after starts of an unproven one", used, RecheckResult::same, {RecheckState::passed, 9, 0}},
        {"unread after passed", passed, RecheckResult::unread, unproven},
        {"unread after none", none, RecheckResult::unread, unproven},
        {"unread again keeps the count", used, RecheckResult::unread, used},
        {"stopped keeps passed", passed, RecheckResult::stopped, passed},
        {"stopped keeps unproven", unproven, RecheckResult::stopped, unproven},
        {"differs changes nothing here", passed, RecheckResult::differs, passed},
    };
    for (const auto& c : cases) {
        const RecheckRecord after = recordAfterRecheck(c.before, c.result, 9);
        EXPECT_EQ(after.state, c.after.state) << c.what;
        EXPECT_EQ(after.time, c.after.time) << c.what;
        EXPECT_EQ(after.used, c.after.used) << c.what;
    }
}

TEST(CacheRecheckRecord, APassedRecheckHoldsForTenMinutes)
{
    const uint64_t minute = 60ull * 10000000;
    const struct {
        const char* what;
        RecheckRecord record;
        uint64_t now;
        bool due;
    } cases[] = {
        {"never rechecked", {RecheckState::none, 0, 0}, 100 * minute, true},
        {"unproven", {RecheckState::unproven, 0, 0}, 100 * minute, true},
        {"passed just now", {RecheckState::passed, 100 * minute, 0}, 100 * minute, false},
        {"passed within the window", {RecheckState::passed, 100 * minute, 0}, 110 * minute - 1, false},
        {"passed a window ago", {RecheckState::passed, 100 * minute, 0}, 110 * minute, true},
        {"passed in the future", {RecheckState::passed, 100 * minute, 0}, 99 * minute, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isRecheckDue(c.record, c.now), c.due) << c.what;
    }
}

}  // namespace
