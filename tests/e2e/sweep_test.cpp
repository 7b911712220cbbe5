// A fresh start removes what dead runs left in the temporary directory:
// exactly the bootstrap's own names, only when the run has certainly ended.
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

// No process has this id (Wine and Windows give out multiples of 4).
const std::wstring deadId = L"4294967291";

std::wstring onefilePath(const wchar_t* name) { return directoryOfThisProgram() + L"\\" + name + L".exe"; }

class Sweep : public testing::Test {
protected:
    // A leftover target directory with a file in it.
    std::wstring plantDirectory(const std::wstring& name)
    {
        const std::wstring path = temp.path() + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        writeFile(path + L"\\left.txt", "left behind");
        return path;
    }

    DWORD start(const wchar_t* executable)
    {
        const std::wstring exe = onefilePath(executable);
        return runProcess(exe, quoteForCommandLine(exe), {{L"TEMP", temp.path().c_str()}, {L"TMP", temp.path().c_str()}})
            .exitCode;
    }

    ScratchDirectory temp{L"sweep"};
};

TEST_F(Sweep, DeadRunsGoAndEverythingElseStays)
{
    const std::wstring alive = std::to_wstring(GetCurrentProcessId());
    const std::wstring dead = plantDirectory(L"onefile_" + deadId + L"_123456_AAAAAAAAAAA");
    const std::wstring deadFeedback = temp.path() + L"\\onefile_" + deadId + L"_splash_feedback.tmp";
    writeFile(deadFeedback, "");
    const std::wstring running = plantDirectory(L"onefile_" + alive + L"_123456_BBBBBBBBBBB");
    const std::wstring runningFeedback = temp.path() + L"\\onefile_" + alive + L"_splash_feedback.tmp";
    writeFile(runningFeedback, "");
    const std::wstring notOurs = plantDirectory(L"onefile_notours");
    const std::wstring almost = plantDirectory(L"onefile_" + deadId + L"_12345_AAAAAAAAAAA");

    // An id now held by a process younger than the leftover: it was reused.
    const std::wstring folder = plantDirectory(L"made-first");
    const std::wstring signal = temp.path() + L"\\signal";
    writeFile(signal, "");
    const PROCESS_INFORMATION younger =
        startProcess(probePath(), quoteForCommandLine(probePath()) + L" wait-then-exit " + quoteForCommandLine(signal) + L" 0");
    const std::wstring reused = temp.path() + L"\\onefile_" + std::to_wstring(younger.dwProcessId) + L"_123456_CCCCCCCCCCC";
    ASSERT_TRUE(MoveFileW(folder.c_str(), reused.c_str()));

    EXPECT_EQ(start(L"report_onefile"), 0u);
    EXPECT_FALSE(pathExists(dead));
    EXPECT_FALSE(pathExists(deadFeedback));
    EXPECT_FALSE(pathExists(reused));
    for (const std::wstring& kept : {running, runningFeedback, notOurs, almost}) {
        EXPECT_TRUE(pathExists(kept)) << toUtf8(kept);
    }
    EXPECT_EQ(readFile(running + L"\\left.txt"), "left behind");

    DeleteFileW(signal.c_str());
    WaitForSingleObject(younger.hProcess, 60000);
    CloseHandle(younger.hProcess);
}

TEST_F(Sweep, AtMostEightGoPerStartAndNoneWhenBuiltWithoutTheSweep)
{
    for (int i = 0; i < 10; ++i) plantDirectory(L"onefile_" + deadId + L"_12345" + std::to_wstring(i) + L"_AAAAAAAAAAA");
    EXPECT_EQ(start(L"report_nosweep_onefile"), 0u);
    const auto countLeft = [&] {
        int left = 0;
        for (int i = 0; i < 10; ++i) {
            left += pathExists(temp.path() + L"\\onefile_" + deadId + L"_12345" + std::to_wstring(i) + L"_AAAAAAAAAAA");
        }
        return left;
    };
    EXPECT_EQ(countLeft(), 10);
    EXPECT_EQ(start(L"report_onefile"), 0u);
    EXPECT_EQ(countLeft(), 2);
    EXPECT_EQ(start(L"report_onefile"), 0u);
    EXPECT_EQ(countLeft(), 0);
}

}  // namespace
