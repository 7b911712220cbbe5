#include "test_support.h"

#include <gtest/gtest.h>

namespace {

std::wstring windowsPath(std::wstring path)
{
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
}

TEST(EmbeddedBlock, LinkedBlockExtractsFromTheImageItself)
{
    ScratchDirectory scratch;
    const std::wstring harness = directoryOfThisProgram() + L"\\onefile_extract_harness_embedded.exe";
    const std::wstring target = scratch.path() + L"\\target";
    const ProcessResult run = runProcess(harness, quoteForCommandLine(harness) + L" " + quoteForCommandLine(target));
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
    const std::wstring sample = windowsPath(ONEFILE_SAMPLE_DIR);
    for (const wchar_t* name : {L"\\app.dll", L"\\docs\\readme.txt", L"\\docs\\empty.txt"}) {
        ASSERT_TRUE(pathExists(target + name)) << toUtf8(name);
        EXPECT_EQ(readFile(target + name), readFile(sample + name)) << toUtf8(name);
    }
}

}  // namespace
