// Blocks made by the real packer (or by hand, for damage) extracted by the
// real reader and record loop, running under Wine.
#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <map>

#include <cstdlib>
#include <iostream>
#include <random>

namespace {

const std::string headerError = "Error, couldn't find attached data header.\r\n";
// The decode error with its reason, as the bootstrap prints it.
std::string decodeError(const std::string& reason)
{
    return "Error, couldn't decode attached data. (" + reason + ")\r\n";
}
// The decode error of a refused record name, whatever is wrong with it.
bool isBadNameError(const std::string& out)
{
    return out.rfind("Error, couldn't decode attached data. (a record name with ", 0) == 0 && out.size() > 2 &&
           out.compare(out.size() - 3, 3, ")\r\n") == 0;
}

class RoundTrip : public testing::Test {
protected:
    void SetUp() override { ONEFILE_REQUIRE(harnessAvailable(), "the Windows harness is not built"); }
};

std::vector<uint8_t> packTree(const fs::path& root, const std::string& entry, const fs::path& blockFile)
{
    pack::writeBlock(pack::collectPayload(root, entry), blockFile, {3, 1, 0});
    const std::string bytes = readBytes(blockFile);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void expectSameTree(const fs::path& expected, const fs::path& actual)
{
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(expected)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const fs::path relative = fs::relative(entry.path(), expected);
        ASSERT_TRUE(fs::exists(actual / relative)) << relative;
        EXPECT_TRUE(readBytes(entry.path()) == readBytes(actual / relative)) << relative;
    }
    size_t extracted = 0;
    for (const auto& entry : fs::recursive_directory_iterator(actual)) extracted += entry.is_regular_file();
    EXPECT_EQ(files, extracted);
}

HarnessRun extractHandMade(const std::vector<std::pair<std::u16string, std::string>>& files, const fs::path& target,
                           int windowLog = 0)
{
    return runHarness(pack::frameBlock(compressFrame(recordStream(files), windowLog)), target);
}

// The decoded stream is handed out in pieces of 1 MiB: records laid so that
// a piece ends at a record's start, inside its name (between the two bytes
// of one character, too), inside its size and at its data's start arrive
// whole, read as a start reads (decoding ahead) and on one thread.
TEST_F(RoundTrip, RecordsAcrossPieceBoundariesArriveWhole)
{
    const size_t piece = size_t(1) << 20;
    std::vector<std::pair<std::u16string, std::string>> files;
    size_t offset = 0;  // of the next record in the stream
    const auto add = [&](const std::u16string& name, size_t size) {
        files.push_back({name, patternBytes(size, static_cast<uint32_t>(files.size() + 1))});
        offset += (name.size() + 1) * 2 + 8 + size;
    };
    const auto headerBytes = [](const std::u16string& name) { return (name.size() + 1) * 2 + 8; };
    add(u"app.dll", 1000);
    for (size_t k = 1; k <= 5; ++k) {
        const std::u16string name = u"straddles\\record" + std::u16string(1, char16_t(u'0' + k)) + u".bin";
        const size_t nameBytes = (name.size() + 1) * 2;
        // Where the piece ends, counted from the record's start.
        const size_t into[] = {0, 3, nameBytes - 1, nameBytes + 4, nameBytes + 8};
        const std::u16string filler = u"filler" + std::u16string(1, char16_t(u'0' + k)) + u".bin";
        add(filler, k * piece - into[k - 1] - offset - headerBytes(filler));
        add(name, 777);
    }
    ASSERT_GT(offset, 5 * piece);
    TempTree tree;
    const std::vector<uint8_t> block = pack::frameBlock(compressFrame(recordStream(files)));
    for (const std::string mode : {"", "--one-thread"}) {
        const fs::path target = tree / ("mode" + mode);
        const HarnessRun run = runHarness(block, target, mode);
        ASSERT_EQ(run.exitCode, 0) << mode << run.out << run.err;
        for (const auto& [name, content] : files) {
            std::string path;
            for (const char16_t c : name) path += c == u'\\' ? '/' : static_cast<char>(c);
            EXPECT_EQ(readBytes(target / path), content) << mode << " " << path;
        }
    }
}

TEST_F(RoundTrip, EveryFileArrivesByteForByte)
{
    TempTree tree;
    const fs::path in = tree / "in";
    writeBytes(in / "app.dll", "MZ" + patternBytes(1001, 1));
    writeBytes(in / "zero.bin", "");
    writeBytes(in / "odd/one.bin", "x");
    writeBytes(in / "odd/three.bin", "abc");
    writeBytes(in / "odd/zero-again.bin", "");
    writeBytes(in / "chunk/exact.bin", patternBytes(32768, 2));
    writeBytes(in / "chunk/plus-one.bin", patternBytes(32769, 3));
    writeBytes(in / "large/over-window.bin", patternBytes(1 << 20 | 7, 4));
    writeBytes(in / "deep/a/b/c/d/e/f/g/h/i/j/leaf.txt", "deep");
    writeBytes(in / "d\xc3\xb3"
                    "c/\xc3\xbc"
                    "n\xc3\xaf"
                    "code \xe2\x9c\x93.txt",
               "non-ASCII");
    writeBytes(in / "d\xc3\xb3"
                    "c/\xf0\x9f\x98\x80.txt",
               "outside the BMP");
    const std::vector<uint8_t> block = packTree(in, "app.dll", tree / "block");

    const HarnessRun run = runHarness(block, tree / "out");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out + run.err, "");
    expectSameTree(in, tree / "out");
}

TEST_F(RoundTrip, StreamWithOnlyTheEndRecordWritesNothing)
{
    TempTree tree;
    const HarnessRun run = extractHandMade({}, tree / "out");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(fs::is_empty(tree / "out"));
}

TEST_F(RoundTrip, ReadsAcrossWindowEdges)
{
    // One record of name "a.dll" costs 20 bytes before its data and the end
    // record 2, so these sizes put the stream's end at, just past and just
    // before whole 128 KiB windows.
    for (const size_t total : {131072u, 131073u, 131071u, 262144u, 131072u * 3 + 1}) {
        TempTree tree;
        const std::string data = "MZ" + patternBytes(total - 22 - 2, static_cast<uint32_t>(total));
        const HarnessRun run = extractHandMade({{u"a.dll", data}}, tree / "out");
        ASSERT_EQ(run.exitCode, 0) << total << run.out;
        EXPECT_TRUE(readBytes(tree / "out/a.dll") == data) << total;
    }
    // Many small records put names and sizes across every window boundary.
    std::vector<std::pair<std::u16string, std::string>> files;
    for (int i = 0; i < 400; ++i)
        files.emplace_back(u"f" + pack::utf8ToUtf16(std::to_string(i)), patternBytes(977 + i, i));
    TempTree tree;
    ASSERT_EQ(extractHandMade(files, tree / "out").exitCode, 0);
    for (const auto& [name, data] : files) EXPECT_TRUE(readBytes(tree / "out" / pack::utf16ToUtf8(name)) == data);
}

TEST_F(RoundTrip, WindowOf2To27IsAcceptedAnd2To28Refused)
{
    TempTree tree;
    EXPECT_EQ(extractHandMade({{u"a.dll", "MZ"}}, tree / "ok", 27).exitCode, 0);
    const HarnessRun refused = extractHandMade({{u"a.dll", "MZ"}}, tree / "no", 28);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.out, decodeError("the frame's window is larger than the format allows"));
}

TEST_F(RoundTrip, DamagedBlocksEndWithTheirMessage)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ" + patternBytes(300000, 9));
    const std::vector<uint8_t> block = packTree(tree / "in", "app.dll", tree / "block");

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::string out;
    };
    std::vector<Case> cases;
    for (const auto& header : {"MXZ", "NXY", "mxy"}) {
        std::vector<uint8_t> bytes = block;
        std::copy(header, header + 3, bytes.begin());
        cases.push_back({header, bytes, headerError});
    }
    cases.push_back({"empty block", {}, headerError});
    cases.push_back({"header only",
                     {ONEFILE_BLOCK_MAGIC, ONEFILE_BLOCK_MAGIC + ONEFILE_BLOCK_MAGIC_LENGTH},
                     decodeError("the frame ends early")});
    for (const size_t keep : {size_t{7}, block.size() / 2, block.size() - 30}) {
        cases.push_back({"truncated", std::vector<uint8_t>(block.begin(), block.begin() + static_cast<long>(keep)),
                         decodeError("the frame ends early")});
    }
    std::vector<uint8_t> flipped = block;
    flipped[block.size() / 2] ^= 0x10;
    cases.push_back({"flipped byte", flipped, decodeError("checksum mismatch")});
    std::vector<uint8_t> noEnd = recordStream({{u"a.dll", "MZ"}});
    noEnd.resize(noEnd.size() - 2);
    cases.push_back({"no end record", pack::frameBlock(compressFrame(noEnd)),
                     decodeError("the records stop before their end record")});

    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const HarnessRun run = runHarness(c.bytes, tree / ("out" + std::to_string(i)));
        EXPECT_EQ(run.exitCode, 2) << c.what;
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.err, "") << c.what;
    }
}

TEST_F(RoundTrip, NamesThatCouldLeaveTheTargetAreRefusedBeforeWriting)
{
    for (const std::u16string name :
         {u"..\\escaped.txt", u"sub\\..\\..\\escaped.txt", u"\\escaped.txt", u"C:\\escaped.txt", u"C:escaped.txt",
          u"a:stream", u"sub\\\\x", u"sub\\", u"..", u"sub/../../escaped.txt"}) {
        TempTree tree;
        const std::vector<uint8_t> block =
            pack::frameBlock(compressFrame(recordStream({{u"first.txt", "ok"}, {name, "payload"}})));
        const HarnessRun run = runHarness(block, tree / "box/target");
        EXPECT_EQ(run.exitCode, 2) << pack::utf16ToUtf8(name);
        EXPECT_TRUE(isBadNameError(run.out)) << pack::utf16ToUtf8(name) << ": " << run.out;
        EXPECT_EQ(readBytes(tree / "box/target/first.txt"), "ok");
        // The packer's extract refuses it too, and takes back what it wrote.
        EXPECT_THROW(pack::extractBlock(block, tree / "box/packer"), pack::Error) << pack::utf16ToUtf8(name);
        EXPECT_FALSE(fs::exists(tree / "box/packer")) << pack::utf16ToUtf8(name);
        size_t entries = 0;
        for (const auto& entry : fs::recursive_directory_iterator(tree.path())) {
            entries += 1;
            EXPECT_NE(entry.path().filename(), "escaped.txt") << entry.path();
        }
        EXPECT_EQ(entries, 3u) << pack::utf16ToUtf8(name);  // box, box/target, box/target/first.txt
    }
}

// Device names write to devices (a serial port, or nowhere) and names that
// Windows alters land elsewhere: both are damage, refused before anything
// of their record is written.
TEST_F(RoundTrip, DeviceNamesAndNamesWindowsWouldAlterAreRefusedBeforeWriting)
{
    for (const std::u16string name :
         {u"COM1",    u"sub\\COM1", u"COM1.log",  u"aux.txt", u"NUL",      u"sub\\NUL.txt", u"nul ",   u"nul .txt",
          u"CONIN$",  u"conout$.x", u"Lpt9",      u"com0",    u"LPT0.log", u"COM\u00b9",    u"trail.", u"trail ",
          u"sub.\\x", u".",         u"sub\\.\\x", u"tab\tx",  u"a<b",      u"a|b",          u"a*b"}) {
        TempTree tree;
        const HarnessRun run = extractHandMade({{u"first.txt", "ok"}, {name, "payload"}}, tree / "box/target");
        EXPECT_EQ(run.exitCode, 2) << pack::utf16ToUtf8(name);
        EXPECT_TRUE(isBadNameError(run.out)) << pack::utf16ToUtf8(name) << ": " << run.out;
        size_t entries = 0;
        for (auto it = fs::recursive_directory_iterator(tree.path()); it != fs::recursive_directory_iterator(); ++it) {
            ++entries;
        }
        EXPECT_EQ(entries, 3u) << pack::utf16ToUtf8(name);  // box, box/target, box/target/first.txt
    }
}

// The end record comes before zstd reads the checksum: only a frame read
// to its verified end may count as whole.
TEST_F(RoundTrip, FrameIsCheckedToItsEnd)
{
    const std::vector<uint8_t> content = recordStream({{u"a.dll", "MZ" + patternBytes(70000, 5)}});
    const std::vector<uint8_t> frame = compressFrame(content, 0, true);
    TempTree tree;
    EXPECT_EQ(runHarness(pack::frameBlock(frame), tree / "whole").exitCode, 0);
    for (const size_t cut : {1u, 3u, 4u}) {
        const std::vector<uint8_t> shorter(frame.begin(), frame.end() - static_cast<long>(cut));
        const HarnessRun run = runHarness(pack::frameBlock(shorter), tree / ("cut" + std::to_string(cut)));
        EXPECT_EQ(run.exitCode, 2) << cut;
        // Framed again, the bytes after the cut frame stand in for its checksum.
        EXPECT_EQ(run.out, decodeError("checksum mismatch")) << cut;
    }
    std::vector<uint8_t> wrongSum = frame;
    wrongSum.back() ^= 1;
    EXPECT_EQ(runHarness(pack::frameBlock(wrongSum), tree / "sum").out, decodeError("checksum mismatch"));
    std::vector<uint8_t> trailing = content;
    trailing.push_back(7);
    EXPECT_EQ(runHarness(pack::frameBlock(compressFrame(trailing)), tree / "trailing").out,
              decodeError("data after the end record"));
}

// The end record's last byte at the reader's window edge: zstd has not yet
// read the checksum when the record loop ends. The tail check of the block
// refuses a frame whose checksum was changed before any file is written;
// the drain after the record loop would find it too.
TEST_F(RoundTrip, WrongChecksumAfterAnEndRecordAtTheWindowsEdgeIsRefused)
{
    const std::vector<uint8_t> content = recordStream({{u"a.dll", "MZ" + patternBytes(131072 - 24, 3)}});
    ASSERT_EQ(content.size(), 131072u);
    std::vector<uint8_t> frame = compressFrame(content);
    frame.back() ^= 0x40;
    TempTree tree;
    const HarnessRun run = runHarness(pack::frameBlock(frame), tree / "out");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, decodeError("checksum mismatch"));
}

// A frame without a checksum could run damaged files unnoticed, and what
// follows the frame is part of the format: both are refused before the
// target directory is made.
TEST_F(RoundTrip, FrameWithoutChecksumOrDamagedTailIsRefusedBeforeWriting)
{
    const std::vector<uint8_t> content = recordStream({{u"a.dll", "MZ"}});
    const std::vector<uint8_t> good = pack::frameBlock(compressFrame(content));
    struct Case {
        std::string what;
        std::vector<uint8_t> bytes;
        std::string reason;
    };
    std::vector<Case> cases = {
        {"no checksum", pack::frameBlock(compressFrame(content, 0, false)), "the frame carries no checksum"},
        {"trailer cut", std::vector<uint8_t>(good.begin(), good.end() - 1), "the block's trailer is missing"},
        {"byte after the trailer", good, "data after the block's trailer"},
        {"padding not zero", good, "the padding after the frame is not zero"},
        {"trailer not its offset", good, "the trailer does not name the block's length"},
        {"padding short by 8", std::vector<uint8_t>(good.begin(), good.end() - 8), "the block's trailer is missing"},
    };
    cases[2].bytes.push_back(0);
    cases[3].bytes[good.size() - 9] = 1;
    cases[4].bytes[good.size() - 8] ^= 8;
    TempTree tree;
    EXPECT_EQ(runHarness(good, tree / "good").exitCode, 0);
    for (const Case& c : cases) {
        const HarnessRun run = runHarness(c.bytes, tree / c.what);
        EXPECT_EQ(run.exitCode, 2) << c.what;
        EXPECT_EQ(run.out, decodeError(c.reason)) << c.what;
        EXPECT_FALSE(fs::exists(tree / c.what)) << c.what;
    }
}

TEST_F(RoundTrip, NameAndPathBoundsAreKept)
{
    TempTree tree;
    const std::u16string longest = u"n" + std::u16string(1022, u'x');
    EXPECT_EQ(extractHandMade({{longest.substr(0, 200), "ok"}}, tree / "fits").exitCode, 0);
    const HarnessRun tooLong = extractHandMade({{longest + u"y", "x"}}, tree / "long");
    EXPECT_EQ(tooLong.exitCode, 2);
    EXPECT_EQ(tooLong.out, decodeError("a record name is too long"));

    // The target plus a 1000-unit name passes 4096 units.
    std::string target = (tree / "t").string();
    while (target.size() < 3200) target += "/" + std::string(200, 'd');
    const HarnessRun pathTooLong = extractHandMade({{std::u16string(1000, u'p'), "x"}}, target);
    EXPECT_EQ(pathTooLong.exitCode, 2);
    EXPECT_EQ(pathTooLong.err, "Error, a file path of the attached data does not fit in 4096 characters.\r\n");
}

// Corrupted blocks must end cleanly: success, or one error line and exit
// code 2; never a crash, a hang or a file outside the target.
void expectCleanEnd(const std::vector<uint8_t>& bytes, const std::string& what)
{
    TempTree box;
    const HarnessRun run = runHarness(bytes, box / "target");
    ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 2) << what << " exit " << run.exitCode << run.err;
    if (run.exitCode == 2) {
        const std::string line = run.out + run.err;
        EXPECT_EQ(line.rfind("Error, ", 0), 0u) << what << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << what << line;
    }
    for (const auto& entry : fs::directory_iterator(box.path())) EXPECT_EQ(entry.path().filename(), "target") << what;
}

// Every damaged block that ever mattered is kept in tests/data/damaged and
// replayed on every run.
TEST_F(RoundTrip, DamagedCorpusIsRefused)
{
    const fs::path corpus = fs::path(std::getenv("ONEFILE_TEST_DATA")) / "damaged";
    size_t replayed = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        if (entry.path().extension() != ".block") continue;
        const std::string bytes = readBytes(entry.path());
        TempTree box;
        const HarnessRun run = runHarness(std::vector<uint8_t>(bytes.begin(), bytes.end()), box / "target");
        EXPECT_EQ(run.exitCode, 2) << entry.path();
        // Each kind of damage with its own reason.
        const std::map<std::string, std::string> reasons = {
            {"checksum_cut", "checksum mismatch"},
            {"device_name", "a record name with a name Windows reserves for a device"},
            {"truncated_data", "the frame ends early"},
        };
        const auto reason = reasons.find(entry.path().stem().string());
        EXPECT_EQ(run.out + run.err, decodeError(reason != reasons.end() ? reason->second : "?")) << entry.path();
        ++replayed;
    }
    EXPECT_GE(replayed, 3u);
}

// A bounded random search around a good block. The seed is printed, and
// ONEFILE_MUTATION_SEED replays a run.
TEST_F(RoundTrip, MutatedBlocksNeverCrashHangOrEscape)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ" + patternBytes(5000, 11));
    writeBytes(tree / "in/lib/data.bin", patternBytes(40000, 12));
    writeBytes(tree / "in/lib/more/text.txt", std::string(3000, 't'));
    pack::writeBlock(pack::collectPayload(tree / "in", "app.dll"), tree / "block", {3, 1, 0});
    const std::string original = readBytes(tree / "block");

    const char* given = std::getenv("ONEFILE_MUTATION_SEED");
    const uint32_t seed = given != nullptr ? static_cast<uint32_t>(std::strtoul(given, nullptr, 10))
                                           : static_cast<uint32_t>(std::random_device{}());
    std::cerr << "mutation seed " << seed << " (replay with ONEFILE_MUTATION_SEED=" << seed << ")\n";
    RecordProperty("mutation_seed", std::to_string(seed));
    std::mt19937 generator(seed);
    for (int i = 0; i < 48; ++i) {
        std::vector<uint8_t> bytes(original.begin(), original.end());
        const size_t at = generator() % bytes.size();
        switch (i % 3) {
        case 0:
            bytes[at] ^= static_cast<uint8_t>(1 + generator() % 255);
            break;
        case 1:
            bytes.resize(at);
            break;
        default:
            for (int k = 0; k < 8; ++k) bytes[generator() % bytes.size()] = static_cast<uint8_t>(generator());
        }
        expectCleanEnd(bytes, "seed " + std::to_string(seed) + " run " + std::to_string(i));
    }
}

}  // namespace
