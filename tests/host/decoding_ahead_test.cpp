// Damage that the thread decoding ahead finds, several pieces into the
// stream while earlier files are still being written: the start stops with
// the decode error and leaves its temporary directory as it found it.
#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(DecodingAhead, DamageFoundAheadStopsTheStartAndRemovesWhatItWrote)
{
    ONEFILE_REQUIRE(harnessAvailable() && std::getenv("ONEFILE_REPORT_APP_DIR") != nullptr, "no Windows build");
    TempTree tree;
    const fs::path app = fs::path(std::getenv("ONEFILE_REPORT_APP_DIR"));
    // Eight pieces of the decoded stream, then small files after them.
    std::vector<std::pair<std::u16string, std::string>> files = {
        {u"report_app.dll", readBytes(app / "report_app.dll")},
        {u"large\\a.bin", patternBytes(4 << 20, 3)},
        {u"large\\b.bin", patternBytes(4 << 20, 5)},
    };
    for (int i = 0; i < 50; ++i) {
        files.push_back({u"small\\" + std::u16string(1, char16_t(u'a' + i % 26)) + char16_t(u'0' + i / 26) + u".txt",
                         "small " + std::to_string(i)});
    }
    const std::vector<uint8_t> frame = compressFrame(recordStream(files));
    struct Damage {
        const char* what;
        std::vector<uint8_t> frame;
        const char* reason;
    };
    std::vector<uint8_t> wrongSum = frame;
    wrongSum[wrongSum.size() - 2] ^= 0x40;
    std::vector<uint8_t> flipped = frame;
    flipped[frame.size() * 3 / 4] ^= 0x01;
    const std::vector<Damage> cases = {
        {"a wrong checksum", wrongSum, "checksum mismatch"},
        {"the frame cut short", std::vector<uint8_t>(frame.begin(), frame.begin() + frame.size() * 3 / 4),
         "the frame ends early"},
        {"a flipped byte late in the frame", flipped, nullptr},
    };
    for (const Damage& damage : cases) {
        const std::vector<uint8_t> block = pack::frameBlock(damage.frame);
        writeBytes(tree / "damaged.block", std::string(block.begin(), block.end()));
        const fs::path exe = tree / "damaged.exe";
        fs::remove(exe);
        ASSERT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build --block " +
                        shellQuote((tree / "damaged.block").string()) + " -o " + shellQuote(exe.string()) +
                        " > /dev/null"),
                  0)
            << damage.what;
        fs::remove_all(tree / "temp");
        fs::create_directories(tree / "temp");
        const std::string temp = windowsPathOf(tree / "temp");
        const std::string line = "set TEMP=" + temp + "&& set TMP=" + temp + "&& " + windowsPathOf(exe);
        const int status =
            shell("timeout 120 " + shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " cmd /c " + shellQuote(line) + " > " +
                  shellQuote((tree / "out").string()) + " 2> " + shellQuote((tree / "err").string()) + " < /dev/null");
        const std::string out = readBytes(tree / "out");
        EXPECT_EQ(status, 2) << damage.what << "\n" << out << readBytes(tree / "err");
        const std::string expected =
            std::string("Error, couldn't decode attached data. (") + (damage.reason ? damage.reason : "");
        EXPECT_EQ(out.rfind(expected, 0), 0u) << damage.what << ": " << out;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << damage.what << ": one line: " << out;
        EXPECT_TRUE(fs::is_empty(tree / "temp")) << damage.what << ": the start left files behind";
    }
}

}  // namespace
