// The shared cache (--cache): each test copies the cached executables into
// a scratch folder of its own, whose "cache" folder they use ({PROGRAM_DIR}),
// and starts them unelevated: Wine starts every process elevated, and an
// elevated start never uses the cache.
#include "test_support.h"

#include <gtest/gtest.h>

#include "../common/report_format.h"

namespace {

// One line of the report at `path`.
std::string reported(const std::wstring& path, const std::string& key)
{
    return valueOf(parseReport(readFile(path)), key);
}

// The names in a folder, "." and ".." left out.
std::vector<std::wstring> namesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

class CachedRun : public testing::Test {
protected:
    // The cached executable `name` (cached_<name>_onefile.exe) copied in.
    std::wstring copyIn(const std::wstring& name)
    {
        const std::wstring copy = scratch.path() + L"\\" + name + L".exe";
        EXPECT_TRUE(
            CopyFileW((directoryOfThisProgram() + L"\\cached_" + name + L"_onefile.exe").c_str(), copy.c_str(), TRUE));
        return copy;
    }

    std::wstring versions() const { return scratch.path() + L"\\cache\\app"; }

    // The version folders and what else lies beside them.
    std::vector<std::wstring> versionNames() const { return namesIn(versions()); }

    // Starts `exe` unelevated, with its linked token; reports go to `report`.
    PROCESS_INFORMATION startUnelevated(const std::wstring& exe, const std::wstring& arguments,
                                        const std::wstring& report)
    {
        HANDLE token = nullptr;
        TOKEN_LINKED_TOKEN linked = {};
        DWORD length = 0;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        EXPECT_TRUE(GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &length));
        CloseHandle(token);
        ScopedEnvironment environment(EnvironmentChanges{{L"ONEFILE_TEST_REPORT", report.c_str()}});
        std::wstring line = quoteForCommandLine(exe) + L" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        EXPECT_TRUE(CreateProcessAsUserW(linked.LinkedToken, exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                                         nullptr, nullptr, &startup, &process));
        CloseHandle(linked.LinkedToken);
        return process;
    }

    DWORD runUnelevated(const std::wstring& exe, const std::wstring& arguments, const std::wstring& report)
    {
        const PROCESS_INFORMATION process = startUnelevated(exe, arguments, report);
        return endOf(process);
    }

    static DWORD endOf(const PROCESS_INFORMATION& process)
    {
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        return exitCode;
    }

    std::wstring file(const std::wstring& name) const { return scratch.path() + L"\\" + name; }

    // The folder the application ran from, by its report.
    std::wstring runFolderOf(const std::wstring& report)
    {
        const std::wstring dll = fromUtf8(reported(report, "dll"));
        return dll.substr(0, dll.rfind(L'\\'));
    }

    ScratchDirectory scratch{L"cache"};
};

TEST_F(CachedRun, FirstStartsInParallelPublishOneCompleteFolder)
{
    const std::wstring exe = copyIn(L"report");
    std::vector<PROCESS_INFORMATION> starts;
    for (int i = 0; i < 10; ++i) starts.push_back(startUnelevated(exe, L"--app-exit=5", file(std::to_wstring(i))));
    for (const PROCESS_INFORMATION& start : starts) EXPECT_EQ(endOf(start), 5u);
    const std::vector<std::wstring> names = versionNames();
    std::wstring listed;
    for (const std::wstring& name : names) listed += name + L" ";
    ASSERT_EQ(names.size(), 1u) << toUtf8(listed);
    EXPECT_EQ(names[0].size(), 16u) << toUtf8(names[0]);
    for (int i = 0; i < 10; ++i) {
        const Report report = parseReport(readFile(file(std::to_wstring(i))));
        // report_app.dll, data\held.txt and the manifest; from the cache.
        EXPECT_EQ(valueOf(report, "files"), "3") << i;
        EXPECT_EQ(valueOf(report, "run_mode"), "1") << i;
        EXPECT_EQ(runFolderOf(file(std::to_wstring(i))), versions() + L"\\" + names[0]) << i;
    }
    // An elevated start takes a folder of its own.
    const ProcessResult elevated =
        runProcess(exe, quoteForCommandLine(exe), {{L"ONEFILE_TEST_REPORT", file(L"elevated").c_str()}});
    EXPECT_EQ(elevated.exitCode, 0u);
    EXPECT_EQ(reported(file(L"elevated"), "run_mode"), "0");
    EXPECT_EQ(runFolderOf(file(L"elevated")).rfind(temporaryDirectory() + L"\\onefile_", 0), 0u);
}

TEST_F(CachedRun, StartEndedWhileUnpackingLeavesOnlyAStagingFolderThatGoes)
{
    const std::wstring exe = copyIn(L"bulky");
    const PROCESS_INFORMATION first = startUnelevated(exe, L"", file(L"first"));
    // Held at the moment its staging folder holds files, then ended.
    std::wstring staging;
    for (int i = 0; i < 60000 && staging.empty(); ++i) {
        for (const std::wstring& name : versionNames()) {
            if (name.find(L".staging-") != std::wstring::npos && pathExists(versions() + L"\\" + name + L"\\many")) {
                staging = name;
            }
        }
        if (staging.empty()) Sleep(1);
    }
    ASSERT_FALSE(staging.empty());
    SuspendThread(first.hThread);
    TerminateProcess(first.hProcess, 1);
    endOf(first);
    ASSERT_EQ(versionNames(), std::vector<std::wstring>{staging}) << "more than a staging folder";

    const std::wstring release = file(L"release");
    writeFile(release, "");
    const PROCESS_INFORMATION second = startUnelevated(exe, L"--app-wait=" + quoteForCommandLine(release), file(L"r"));
    ASSERT_TRUE(waitForPath(file(L"r")));
    EXPECT_EQ(reported(file(L"r"), "files"), "3005");
    // The dead start's folder goes while the application runs.
    EXPECT_TRUE(waitForPath(versions() + L"\\" + staging, false));
    DeleteFileW(release.c_str());
    EXPECT_EQ(endOf(second), 0u);
    EXPECT_EQ(versionNames().size(), 1u);
}

TEST_F(CachedRun, ChangesToTheVersionAreRepairedBeforeTheApplicationRuns)
{
    const std::wstring exe = copyIn(L"report");
    ASSERT_EQ(runUnelevated(exe, L"", file(L"r")), 0u);
    const std::wstring folder = runFolderOf(file(L"r"));
    const std::wstring held = folder + L"\\data\\held.txt";
    const std::string original = readFile(held);
    const auto startAndCheck = [&](const char* what) {
        DeleteFileW(file(L"r").c_str());
        EXPECT_EQ(runUnelevated(exe, L"", file(L"r")), 0u) << what;
        EXPECT_EQ(runFolderOf(file(L"r")), folder) << what;
        EXPECT_EQ(reported(file(L"r"), "files"), "3") << what;
        EXPECT_EQ(readFile(held), original) << what;
    };
    DeleteFileW(held.c_str());
    startAndCheck("a deleted file");
    // The damaged version was set aside beside the new one (the upkeep
    // removes it while a later application runs).
    std::vector<std::wstring> names = versionNames();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE((names[0] + names[1]).find(L".old-"), std::wstring::npos);
    // The same size, a new time.
    std::string changed = original;
    changed[0] ^= 1;
    writeFile(held, changed);
    startAndCheck("a changed file");
    writeFile(folder + L"\\planted.dll", "planted");
    startAndCheck("a planted file");
    EXPECT_FALSE(pathExists(folder + L"\\planted.dll"));
}

TEST_F(CachedRun, OnlyTheNewestVersionStaysUnlessInUse)
{
    const std::wstring first = copyIn(L"report2");
    const std::wstring second = copyIn(L"report");
    ASSERT_EQ(runUnelevated(first, L"", file(L"1")), 0u);
    const std::wstring firstFolder = runFolderOf(file(L"1"));
    // The second version, in use: its start removes the first (--cache-keep 1).
    const std::wstring release = file(L"release");
    writeFile(release, "");
    const PROCESS_INFORMATION running =
        startUnelevated(second, L"--app-wait=" + quoteForCommandLine(release), file(L"2"));
    ASSERT_TRUE(waitForPath(file(L"2")));
    EXPECT_TRUE(waitForPath(firstFolder, false));
    const std::wstring secondFolder = runFolderOf(file(L"2"));
    // The first again, beside the running second and an unknown old one
    // without a manifest (the oldest): the old one goes, the one in use not.
    const std::wstring unknown = versions() + L"\\ffffffffffffffff";
    CreateDirectoryW(unknown.c_str(), nullptr);
    writeFile(unknown + L"\\left.txt", "left");
    const std::wstring release2 = file(L"release2");
    writeFile(release2, "");
    const PROCESS_INFORMATION again =
        startUnelevated(first, L"--app-wait=" + quoteForCommandLine(release2), file(L"3"));
    EXPECT_TRUE(waitForPath(unknown, false));
    EXPECT_TRUE(pathExists(secondFolder + L"\\report_app.dll"));
    DeleteFileW(release.c_str());
    DeleteFileW(release2.c_str());
    EXPECT_EQ(endOf(running), 0u);
    EXPECT_EQ(endOf(again), 0u);
}

}  // namespace
