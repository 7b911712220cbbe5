#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <zstd.h>

namespace {

std::vector<uint8_t> fileBytes(const fs::path& path)
{
    const std::string bytes = readBytes(path);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint8_t> decodeBlockContent(const std::vector<uint8_t>& block)
{
    std::vector<uint8_t> content(1 << 20);
    const size_t size =
        ZSTD_decompress(content.data(), content.size(), block.data() + 3, pack::inspectBlock(block).frameSize);
    EXPECT_FALSE(ZSTD_isError(size));
    content.resize(size);
    return content;
}

TEST(PackLayout, WorkedExampleByteForByte)
{
    TempTree tree;
    writeBytes(tree / "in/core.dll", std::string("\x4D\x5A\x90", 3));
    writeBytes(tree / "in/doc/a.txt", "hi");
    pack::writeBlock(pack::collectPayload(tree / "in", "core.dll"), tree / "block", {});
    const std::vector<uint8_t> block = fileBytes(tree / "block");

    const std::vector<uint8_t> expected = {
        0x63, 0, 0x6F, 0, 0x72, 0, 0x65, 0, 0x2E, 0,    0x64, 0,    0x6C, 0,    0x6C, 0,    0, 0,  // core.dll
        3,    0, 0,    0, 0,    0, 0,    0, 0x4D, 0x5A, 0x90, 0x64, 0,    0x6F, 0,    0x63, 0, 0x5C, 0,
        0x61, 0, 0x2E, 0, 0x74, 0, 0x78, 0, 0x74, 0,    0,    0,  // doc\a.txt
        2,    0, 0,    0, 0,    0, 0,    0, 0x68, 0x69, 0,    0};
    ASSERT_EQ(expected.size(), 61u);
    EXPECT_EQ(decodeBlockContent(block), expected);
    // Pinned bytes, not the header's constants: this is what is on disk.
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 7),
              (std::vector<uint8_t>{0x4D, 0x58, 0x59, 0x28, 0xB5, 0x2F, 0xFD}));

    // Zero padding of 6 to 13 bytes, then the trailer at a multiple of 8
    // holding its own offset.
    const pack::BlockReport report = pack::inspectBlock(block);
    EXPECT_TRUE(report.problems.empty());
    EXPECT_EQ(report.blockSize, block.size());
    const size_t trailer = block.size() - 8;
    EXPECT_EQ(trailer % 8, 0u);
    const size_t padding = trailer - 3 - report.frameSize;
    EXPECT_GE(padding, 6u);
    EXPECT_LE(padding, 13u);
    for (size_t i = 3 + report.frameSize; i < trailer; ++i) EXPECT_EQ(block[i], 0) << i;
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | block[trailer + static_cast<size_t>(i)];
    EXPECT_EQ(value, trailer);
}

TEST(PackLayout, PaddingRuleHoldsForEveryFrameLength)
{
    for (size_t frameLength = 0; frameLength < 16; ++frameLength) {
        const std::vector<uint8_t> block = pack::frameBlock(std::vector<uint8_t>(frameLength, 0xAB));
        const size_t padding = block.size() - 8 - 3 - frameLength;
        EXPECT_TRUE(padding >= 6 && padding <= 13) << frameLength;
        EXPECT_EQ((block.size() - 8) % 8, 0u);
    }
}

TEST(PackLayout, SameInputGivesTheSameBlockWhateverTheThreadCount)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ" + patternBytes(3 << 20, 1));
    writeBytes(tree / "in/data/big.bin", patternBytes(5 << 20, 2));
    const pack::Payload payload = pack::collectPayload(tree / "in", "app.dll");
    pack::writeBlock(payload, tree / "one", {3, 1, 0});
    pack::writeBlock(payload, tree / "two", {3, 2, 0});
    pack::writeBlock(payload, tree / "again", {3, 2, 0});
    EXPECT_EQ(readBytes(tree / "one"), readBytes(tree / "two"));
    EXPECT_EQ(readBytes(tree / "two"), readBytes(tree / "again"));
    EXPECT_TRUE(pack::inspectBlock(fileBytes(tree / "one")).checksum);
}

TEST(PackLayout, VerifyFindsTheBlockInsideAnExecutableAndReportsDeviations)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ-app");
    pack::writeBlock(pack::collectPayload(tree / "in", "app.dll"), tree / "block", {3, 1, 0});
    std::vector<uint8_t> block = fileBytes(tree / "block");

    std::vector<uint8_t> executable(5000, 0x90);
    executable.insert(executable.begin() + 4096, block.begin(), block.end());
    const pack::BlockReport inside = pack::inspectBlock(executable);
    EXPECT_EQ(inside.blockOffset, 4096u);
    EXPECT_TRUE(inside.problems.empty());
    ASSERT_EQ(inside.records.size(), 1u);
    EXPECT_EQ(inside.records[0].name, u"app.dll");

    std::vector<uint8_t> badTrailer = block;
    badTrailer.back() ^= 1;
    EXPECT_FALSE(pack::inspectBlock(badTrailer).problems.empty());

    const std::vector<uint8_t> unsafe = pack::frameBlock(compressFrame(recordStream({{u"..\\evil.dll", "MZ"}})));
    EXPECT_FALSE(pack::inspectBlock(unsafe).problems.empty());
    const std::vector<uint8_t> wide = pack::frameBlock(compressFrame(recordStream({{u"a.dll", "MZ"}}), 28));
    EXPECT_FALSE(pack::inspectBlock(wide).problems.empty());
    const std::vector<uint8_t> unsummed = pack::frameBlock(compressFrame(recordStream({{u"a.dll", "MZ"}}), 0, false));
    EXPECT_EQ(pack::inspectBlock(unsummed).problems,
              std::vector<std::string>{"the frame has no content checksum, which the bootstrap requires"});
    const std::vector<uint8_t> notDll = pack::frameBlock(compressFrame(recordStream({{u"a.txt", "text"}})));
    EXPECT_FALSE(pack::inspectBlock(notDll).problems.empty());
    EXPECT_THROW(pack::inspectBlock(std::vector<uint8_t>(block.begin(), block.begin() + 20)), pack::Error);
}

TEST(PackLayout, WindowLargerThanTheBootstrapAcceptsIsRefused)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ");
    EXPECT_THROW(pack::writeBlock(pack::collectPayload(tree / "in", "app.dll"), tree / "b", {3, 1, 28}), pack::Error);
}

}  // namespace

namespace {

// extract writes what was packed, file for file, and nothing else; a link
// planted below its folder while it writes (a folder's or a file's name)
// stops it, and nothing lands where the link leads.
TEST(PackLayout, ExtractWritesThePayloadAndNeverThroughALink)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ" + patternBytes(3 << 20, 1));
    writeBytes(tree / "in/sub/deeper/data.txt", "data");
    writeBytes(tree / "in/other.txt", "");
    pack::writeBlock(pack::collectPayload(tree / "in", "app.dll"), tree / "app.block", {3, 1, 0});
    const std::string block = readBytes(tree / "app.block");
    const pack::ExtractSummary summary =
        pack::extractBlock(std::vector<uint8_t>(block.begin(), block.end()), tree / "out");
    EXPECT_EQ(summary.files, 3u);
    for (const char* name : {"app.dll", "sub/deeper/data.txt", "other.txt"}) {
        EXPECT_EQ(readBytes(tree / "out" / name), readBytes(tree / "in" / name)) << name;
    }
    size_t entries = 0;
    for (auto it = fs::recursive_directory_iterator(tree / "out"); it != fs::recursive_directory_iterator(); ++it) {
        ++entries;
    }
    EXPECT_EQ(entries, 5u);  // three files, sub and sub/deeper
    EXPECT_NE(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " extract " + shellQuote((tree / "app.block").string()) +
                    " " + shellQuote((tree / "out").string()) + " 2> /dev/null"),
              0)
        << "a folder that is not empty";
    // A packed executable gives back its payload, file for file.
    const fs::path packed = std::getenv("ONEFILE_REPORT_APP"), payload = std::getenv("ONEFILE_REPORT_APP_DIR");
    if (fs::exists(packed)) {
        EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " extract " + shellQuote(packed.string()) + " " +
                        shellQuote((tree / "shipped").string()) + " > /dev/null"),
                  0);
        for (const auto& entry : fs::recursive_directory_iterator(payload)) {
            if (!entry.is_regular_file()) continue;
            const fs::path relative = entry.path().lexically_relative(payload);
            EXPECT_EQ(readBytes(tree / "shipped" / relative), readBytes(entry.path())) << relative;
        }
    }

    const struct {
        const char* what;
        std::vector<std::pair<std::u16string, std::string>> records;
        std::string planted;  // below the folder, a link to the outside folder (or a file in it)
        bool toFolder;
    } cases[] = {
        {"a folder's name", {{u"app.dll", "MZ"}, {u"sub\\second.txt", "second"}}, "sub", true},
        {"a file's name", {{u"app.dll", "MZ"}, {u"second.txt", "second"}}, "second.txt", false},
    };
    for (const auto& c : cases) {
        TempTree scratch;
        fs::create_directories(scratch / "outside");
        writeBytes(scratch / "hostile.block", [&] {
            const std::vector<uint8_t> bytes = pack::frameBlock(compressFrame(recordStream(c.records)));
            return std::string(bytes.begin(), bytes.end());
        }());
        const std::string hold = (scratch / "hold").string();
        const std::string command =
            "ONEFILE_TEST_HOLD_EXTRACT=" + shellQuote(hold) + " " + shellQuote(std::getenv("ONEFILE_PACK_TEST_HOLDS")) +
            " extract " + shellQuote((scratch / "hostile.block").string()) + " " +
            shellQuote((scratch / "out").string()) + " 2> " + shellQuote((scratch / "err").string()) + "; echo $? > " +
            shellQuote((scratch / "status").string());
        std::thread extraction([&] { shell(command); });
        while (!fs::exists(hold + ".reached")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (c.toFolder) {
            fs::create_directory_symlink(scratch / "outside", scratch / "out" / c.planted);
        } else {
            fs::create_symlink(scratch / "outside/target.txt", scratch / "out" / c.planted);
        }
        writeBytes(hold + ".go", "");
        extraction.join();
        EXPECT_EQ(readBytes(scratch / "status"), "1\n") << c.what << readBytes(scratch / "err");
        EXPECT_NE(readBytes(scratch / "err").find(": cannot be made new"), std::string::npos)
            << c.what << readBytes(scratch / "err");
        EXPECT_TRUE(fs::is_empty(scratch / "outside")) << c.what;
        EXPECT_FALSE(fs::exists(scratch / "out/app.dll")) << c.what << ": what was written stays";
    }
}

}  // namespace
