#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "paths/paths.h"

namespace {

std::wstring normalised(const std::wstring& path, size_t capacity = executablePathCapacity)
{
    std::vector<wchar_t> buffer(executablePathCapacity);
    wcscpy(buffer.data(), path.c_str());
    EXPECT_TRUE(normaliseFinalPath(buffer.data(), capacity));
    return buffer.data();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        result.push_back(line);
    }
    return result;
}

// Only the system's own final path loses its prefixes; a path that cannot
// be opened is no final path and keeps its text.
TEST(ExecutablePath, PathThatCannotBeOpenedKeepsItsPrefix)
{
    EXPECT_EQ(normalised(L"\\\\?\\C:\\onefile-missing\\a.exe"), L"\\\\?\\C:\\onefile-missing\\a.exe");
    EXPECT_EQ(normalised(L"\\\\?\\UNC\\srv\\share\\a.exe"), L"\\\\?\\UNC\\srv\\share\\a.exe");
}

TEST(ExecutablePath, FinalPathOfAnExistingFileHasNoPrefix)
{
    ScratchDirectory scratch;
    const std::wstring file = scratch.path() + L"\\plain.bin";
    writeFile(file, "x");
    const std::wstring result = normalised(file);
    EXPECT_EQ(result.rfind(L"\\\\?\\", 0), std::wstring::npos) << toUtf8(result);
    EXPECT_EQ(result.substr(result.size() - 10), L"\\plain.bin");
    // A capacity the final path cannot fit is refused, not overrun.
    std::vector<wchar_t> small(executablePathCapacity);
    wcscpy(small.data(), file.c_str());
    EXPECT_FALSE(normaliseFinalPath(small.data(), 8));
}

TEST(ExecutablePath, ShorteningChangesDirectoriesButKeepsTheLastComponent)
{
    ScratchDirectory scratch;
    const std::wstring longDirectory = scratch.path() + L"\\Program Files Long\\Some Application";
    std::filesystem::create_directories(std::filesystem::path(longDirectory));
    const std::wstring file = longDirectory + L"\\Tool Name Long.exe";
    writeFile(file, "x");

    std::vector<wchar_t> buffer(pathCapacity);
    wcscpy(buffer.data(), file.c_str());
    shortenPathDirectories(buffer.data(), pathCapacity);
    const std::wstring shortened = buffer.data();
    EXPECT_EQ(shortened.find(L"Program Files Long"), std::wstring::npos) << toUtf8(shortened);
    EXPECT_NE(shortened.find(L'~'), std::wstring::npos) << toUtf8(shortened);
    EXPECT_EQ(shortened.substr(shortened.size() - 19), L"\\Tool Name Long.exe");

    // The exact room for the short form fits; one unit less stops.
    const std::wstring exact = std::to_wstring(shortened.size() + 1);
    const ProcessResult fits = runProbe({L"shorten", file, exact});
    EXPECT_EQ(fits.exitCode, 0u);
    EXPECT_EQ(fits.out, toUtf8(shortened));
    const ProcessResult tooSmall = runProbe({L"shorten", file, std::to_wstring(shortened.size())});
    EXPECT_EQ(tooSmall.exitCode, 2u);
    EXPECT_EQ(tooSmall.err, "Error, a short path does not fit its buffer.\r\n");
}

TEST(ExecutablePath, MissingDirectoryOrNoBackslashLeavesThePathAlone)
{
    std::vector<wchar_t> buffer(pathCapacity);
    for (const wchar_t* path : {L"C:\\onefile missing dir\\Some File.exe", L"no separator at all"}) {
        wcscpy(buffer.data(), path);
        shortenPathDirectories(buffer.data(), pathCapacity);
        EXPECT_STREQ(buffer.data(), path);
    }
}

TEST(ExecutablePath, PlainFormStaysLongAndResolvedFormIsShortAndCached)
{
    ScratchDirectory scratch;
    const std::wstring directory = scratch.path() + L"\\Program Files Long\\Some App";
    std::filesystem::create_directories(std::filesystem::path(directory));
    const std::wstring copy = directory + L"\\probe copy.exe";
    ASSERT_TRUE(CopyFileW(probePath().c_str(), copy.c_str(), FALSE));

    const ProcessResult result = runProcess(copy, quoteForCommandLine(copy) + L" executable-path");
    ASSERT_EQ(result.exitCode, 0u) << result.err;
    const std::vector<std::string> shown = lines(result.out);
    ASSERT_EQ(shown.size(), 3u) << result.out;
    EXPECT_EQ(shown[0], toUtf8(copy));
    EXPECT_EQ(shown[1].find("Program Files Long"), std::string::npos) << shown[1];
    EXPECT_EQ(shown[1].find("\\\\?\\"), std::string::npos) << shown[1];
    EXPECT_EQ(shown[1].substr(shown[1].size() - 15), "\\probe copy.exe");
    EXPECT_EQ(shown[2], "cached");

    std::vector<wchar_t> expected(executablePathCapacity);
    wcscpy(expected.data(), copy.c_str());
    ASSERT_TRUE(normaliseFinalPath(expected.data(), executablePathCapacity));
    EXPECT_EQ(shown[1], toUtf8(expected.data()));
}

// Only a path Windows calls resolve the same way everywhere takes the long
// form (and names a trace file): a drive's with a backslash, or a share's.
TEST(ExecutablePath, OnlyAnAbsoluteWindowsPathTakesTheLongForm)
{
    const struct {
        const wchar_t* path;
        bool absolute;
    } cases[] = {
        {L"C:\\trace.txt", true},   {L"\\\\server\\share\\t", true},
        {L"\\\\?\\C:\\t", true},    {L"z:/tmp/trace.txt", false},  // the long form needs backslashes
        {L"/tmp/trace.txt", false}, {L"trace.txt", false},
        {L"C:trace.txt", false},    {L"\\trace.txt", false},
        {L"\\\\", false},           {L"", false},
    };
    for (const auto& c : cases) {
        wchar_t longForm[longPathCapacity];
        EXPECT_EQ(isAbsoluteWindowsPath(c.path), c.absolute) << c.path;
        EXPECT_EQ(toLongPathForm(c.path, longForm), c.absolute) << c.path;
    }
}

}  // namespace
