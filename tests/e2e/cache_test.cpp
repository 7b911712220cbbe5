// The shared cache (--cache): each test copies the cached executables into
// a scratch folder of its own, whose "cache" folder they use ({PROGRAM_DIR}),
// and starts them unelevated: Wine starts every process elevated, and an
// elevated start never uses the cache.
#include "test_support.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "../common/report_format.h"
#include "run_folder/run_folder.h"

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

// Writes `content` over the file at `path`, its length set to it, and gives
// the file back its write time.
void rewriteKeepingTime(const std::wstring& path, const std::string& content)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME written;
    DWORD count = 0;
    EXPECT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
    EXPECT_TRUE(WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &count, nullptr));
    EXPECT_TRUE(SetEndOfFile(file));
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
}

// The version folder of the application's files `files`: the cache's own
// files lie there, beside them.
std::wstring versionOf(const std::wstring& files)
{
    return files.substr(0, files.rfind(L'\\'));
}

// A version's manifest as its UTF-16 text, and back, by its files' folder.
std::wstring readManifest(const std::wstring& folder)
{
    const std::string bytes = readFile(versionOf(folder) + L"\\onefile-cache.manifest");
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

void writeManifest(const std::wstring& folder, const std::wstring& text)
{
    const std::wstring path = versionOf(folder) + L"\\onefile-cache.manifest";
    DeleteFileW(path.c_str());
    writeFile(path, std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)));
}

// An event any process may open, elevated or not, named `name`.
HANDLE createOpenEvent(const std::wstring& name)
{
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    return CreateEventW(&attributes, TRUE, FALSE, name.c_str());
}

// The threads of the processes `parent` created.
std::vector<DWORD> threadsOfChildrenOf(DWORD parent)
{
    std::vector<DWORD> children, threads;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0);
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof process;
    for (BOOL more = Process32FirstW(snapshot, &process); more; more = Process32NextW(snapshot, &process)) {
        if (process.th32ParentProcessID == parent) children.push_back(process.th32ProcessID);
    }
    THREADENTRY32 thread = {};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread)) {
        for (const DWORD child : children) {
            if (thread.th32OwnerProcessID == child) threads.push_back(thread.th32ThreadID);
        }
    }
    CloseHandle(snapshot);
    return threads;
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
                                        const std::wstring& report, EnvironmentChanges changes = {})
    {
        HANDLE token = nullptr;
        TOKEN_LINKED_TOKEN linked = {};
        DWORD length = 0;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        EXPECT_TRUE(GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &length));
        CloseHandle(token);
        changes.emplace_back(L"ONEFILE_TEST_REPORT", report.c_str());
        ScopedEnvironment environment(changes);
        std::wstring line = quoteForCommandLine(exe) + L" " + arguments;
        STARTUPINFOW startup = startupOnNul();
        PROCESS_INFORMATION process = {};
        EXPECT_TRUE(createRetrying([&] {
            return CreateProcessAsUserW(linked.LinkedToken, exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
        }));
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

    // Runs `exe` unelevated to its end and that of the upkeep worker it
    // left: its report is file(name), its trace file(name + ".trace"),
    // returned.
    std::string runTraced(const std::wstring& exe, const std::wstring& name, EnvironmentChanges changes = {})
    {
        const std::wstring trace = file(name + L".trace");
        changes.emplace_back(L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str());
        EXPECT_EQ(endOf(startUnelevated(exe, L"", file(name), changes)), 0u) << readFile(trace);
        EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
        return readFile(trace);
    }

    // The report executable copied in and started once, which builds its
    // version: the executable and the version's folder.
    std::pair<std::wstring, std::wstring> buildReportVersion()
    {
        const std::wstring exe = copyIn(L"report");
        EXPECT_EQ(runUnelevated(exe, L"", file(L"r")), 0u);
        return {exe, runFolderOf(file(L"r"))};
    }

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
        // report_app.dll and data\held.txt, nothing of the cache's own; from the cache.
        EXPECT_EQ(valueOf(report, "files"), "2") << i;
        EXPECT_EQ(valueOf(report, "run_mode"), "1") << i;
        EXPECT_EQ(runFolderOf(file(std::to_wstring(i))), versions() + L"\\" + names[0] + L"\\app") << i;
    }
    // An elevated start takes a folder of its own.
    const ProcessResult elevated =
        runProcess(exe, quoteForCommandLine(exe), {{L"ONEFILE_TEST_REPORT", file(L"elevated").c_str()}});
    EXPECT_EQ(elevated.exitCode, 0u);
    EXPECT_EQ(reported(file(L"elevated"), "run_mode"), "0");
    EXPECT_EQ(runFolderOf(file(L"elevated")).rfind(temporaryDirectory() + L"\\onefile_", 0), 0u);
}

// A reused version's child is made while the version is checked, and let
// go only with the check's result: the test holds the check once the
// bootstrap waits for it, and finds the child not yet running.
TEST_F(CachedRun, TheChildRunsOnlyAfterTheChecksResult)
{
    const std::wstring exe = copyIn(L"fault");
    const std::wstring trace = file(L"trace.txt");
    const EnvironmentChanges traced = {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}};
    ASSERT_EQ(endOf(startUnelevated(exe, L"", file(L"first"), traced)), 0u) << readFile(trace);
    const std::wstring hold = L"onefile-test-check-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE reached = createOpenEvent(hold + L"-reached"), waiting = createOpenEvent(hold + L"-waiting"),
                 go = createOpenEvent(hold + L"-go");
    const PROCESS_INFORMATION start =
        startUnelevated(exe, L"--app-exit=7", file(L"second"),
                        {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}, {L"ONEFILE_TEST_HOLD_CHECK", hold.c_str()}});
    ASSERT_NE(start.hProcess, nullptr) << "the start could not be created";
    const HANDLE both[] = {reached, waiting};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 60000), WAIT_OBJECT_0) << readFile(trace);
    const std::vector<DWORD> threads = threadsOfChildrenOf(start.dwProcessId);
    EXPECT_FALSE(threads.empty()) << readFile(trace);
    for (const DWORD id : threads) {
        const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, id);
        const DWORD before = SuspendThread(thread);
        ResumeThread(thread);
        CloseHandle(thread);
        EXPECT_GE(before, 1u) << "the child runs while its version is still being checked";
    }
    // The entry DLL is held from before the check until the child loads it:
    // nobody may write it meanwhile.
    const std::wstring entry = runFolderOf(file(L"first")) + L"\\report_app.dll";
    const HANDLE writer =
        CreateFileW(entry.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "the entry DLL can be written before the child loads it";
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    SetEvent(go);
    EXPECT_EQ(endOf(start), 7u) << readFile(trace);
    EXPECT_EQ(runFolderOf(file(L"second")), runFolderOf(file(L"first")));
    EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    for (const HANDLE event : {reached, waiting, go}) CloseHandle(event);
}

TEST_F(CachedRun, StartEndedWhileUnpackingLeavesOnlyAStagingFolderThatGoes)
{
    const std::wstring exe = copyIn(L"bulky");
    const PROCESS_INFORMATION first = startUnelevated(exe, L"", file(L"first"));
    // Held at the moment its staging folder holds files, then ended.
    std::wstring staging;
    for (int i = 0; i < 60000 && staging.empty(); ++i) {
        for (const std::wstring& name : versionNames()) {
            if (name.find(L".staging-") != std::wstring::npos &&
                pathExists(versions() + L"\\" + name + L"\\app\\many")) {
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
    EXPECT_EQ(reported(file(L"r"), "files"), "3006");
    // The dead start's folder goes while the application runs.
    EXPECT_TRUE(waitForPath(versions() + L"\\" + staging, false));
    DeleteFileW(release.c_str());
    EXPECT_EQ(endOf(second), 0u);
    EXPECT_EQ(versionNames().size(), 1u);
}

// Every change the listing shows, each repaired by the next start.
TEST_F(CachedRun, ChangesToTheVersionAreRepairedBeforeTheApplicationRuns)
{
    const auto [exe, folder] = buildReportVersion();
    const std::wstring held = folder + L"\\data\\held.txt";
    const std::string original = readFile(held);
    // The child is created while the check runs: the damaged content must
    // never run, not even before the repaired one does.
    const std::wstring runs = file(L"runs");
    const std::string originalRun = encodeHex(original);
    int started = 0;
    std::wstring trace;
    // The worker a quick start leaves rechecks the version, reading its
    // manifest without sharing writes: it is waited for before the test
    // writes the manifest (a trace of its own per start).
    const auto waitForWorker = [&] { EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace); };
    const auto startAndCheck = [&](const char* what) {
        DeleteFileW(file(L"r").c_str());
        DeleteFileW(runs.c_str());
        trace = file(L"trace" + std::to_wstring(++started));
        const PROCESS_INFORMATION start =
            startUnelevated(exe, L"", file(L"r"),
                            {{L"ONEFILE_TEST_RUN_LOG", runs.c_str()}, {L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
        EXPECT_EQ(endOf(start), 0u) << what;
        EXPECT_EQ(runFolderOf(file(L"r")), folder) << what;
        EXPECT_EQ(reported(file(L"r"), "files"), "2") << what;
        EXPECT_EQ(readFile(runs), originalRun + "\n") << what;
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
    rewriteKeepingTime(held, original + "longer");
    startAndCheck("a new size, the time kept");
    writeFile(folder + L"\\planted.dll", "planted");
    startAndCheck("a planted file");
    EXPECT_FALSE(pathExists(folder + L"\\planted.dll"));
    // Its line sorts after every listed one ("F 99 ..." after "F 28 ..." and
    // the DLL's): a check that compared only as far as the manifest goes
    // would pass it.
    ASSERT_LT(std::to_string(readFile(folder + L"\\report_app.dll").size()), "99");
    writeFile(folder + L"\\~last.txt", std::string(99, 'z'));
    startAndCheck("an extra entry sorting last");
    EXPECT_FALSE(pathExists(folder + L"\\~last.txt"));
    writeFile(folder + L"\\data\\extra.txt", "extra");
    startAndCheck("an extra entry in a subfolder");
    EXPECT_FALSE(pathExists(folder + L"\\data\\extra.txt"));
    // The older format: no hashes. Built again once, then reused.
    std::wstring manifest = readManifest(folder);
    ASSERT_EQ(manifest.rfind(L"onefile-cache 2 ", 0), 0u);
    manifest = L"onefile-cache 1 " + manifest.substr(16, manifest.find(L"\nH ") + 1 - 16);
    waitForWorker();
    writeManifest(folder, manifest);
    startAndCheck("a manifest of the older format");
    EXPECT_EQ(readManifest(folder).rfind(L"onefile-cache 2 ", 0), 0u);
    EXPECT_NE(readManifest(folder).find(L"\nH "), std::wstring::npos);
    // A manifest that is not whole, with the file it no longer proves
    // changed (size and time kept): built again, the change never runs.
    const std::wstring whole = readManifest(folder);
    const size_t hashes = whole.find(L"\nH ") + 1;
    const struct {
        const char* what;
        std::wstring manifest;
    } notWhole[] = {
        {"a manifest without its hash lines", whole.substr(0, hashes)},
        {"a manifest cut after its first hash line", whole.substr(0, whole.find(L'\n', hashes) + 1)},
    };
    for (const auto& m : notWhole) {
        rewriteKeepingTime(held, changed);
        waitForWorker();
        writeManifest(folder, m.manifest);
        startAndCheck(m.what);
        EXPECT_EQ(readManifest(folder).substr(hashes), whole.substr(hashes)) << m.what;
    }
}

// Every file below `folder` (the cache's own files aside) by its name
// relative to it, with its identity: the volume and index.
// A file's or a folder's identity: its volume and its index there.
std::pair<DWORD, uint64_t> identityOf(const std::wstring& path)
{
    const HANDLE entry =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(GetFileInformationByHandle(entry, &info)) << toUtf8(path);
    CloseHandle(entry);
    return {info.dwVolumeSerialNumber, (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::map<std::wstring, std::pair<DWORD, uint64_t>> filesBelow(const std::wstring& folder,
                                                              const std::wstring& prefix = L"")
{
    std::map<std::wstring, std::pair<DWORD, uint64_t>> files;
    for (const std::wstring& name : namesIn(folder + prefix)) {
        const std::wstring relative = prefix.empty() ? name : prefix.substr(1) + L"\\" + name;
        const std::wstring path = folder + L"\\" + relative;
        if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            files.merge(filesBelow(folder, L"\\" + relative));
            continue;
        }
        if (name.rfind(L"onefile-cache", 0) == 0) continue;
        files[relative] = identityOf(path);
    }
    return files;
}

// A repair writes only what differs from the frame: a deleted file, one
// changed with its size and time kept, one changed near its end. Every
// other file is the damaged version's own, moved (its identity kept): a
// folder whose files are all equal and that holds nothing else in one move,
// the folder itself (kept); where that move is refused (as Windows refuses
// while files in it are held), its files one by one. A file added to the
// version is never taken, nor the folder that holds it whole (zz_dir).
TEST_F(CachedRun, ARepairTakesTheFilesEqualToTheirRecordsAndWritesTheOthers)
{
    for (const bool refused : {false, true}) {
        const std::wstring exe = copyIn(refused ? L"fault_bulky" : L"bulky");
        DeleteFileW(file(L"r").c_str());
        ASSERT_EQ(runUnelevated(exe, L"", file(L"r")), 0u);
        const std::wstring folder = runFolderOf(file(L"r"));
        const auto before = filesBelow(folder);
        ASSERT_GT(before.size(), 3000u);
        const auto wholeFolder = identityOf(folder + L"\\kept");
        // One file deleted; three changed keeping their size and time: near the
        // start, near the end of a file of many pieces, and in a file's last byte.
        const std::wstring deleted = L"many\\file10.txt";
        const std::pair<std::wstring, long> changes[] = {
            {L"many\\file20.txt", 1}, {L"large\\filler.txt", -3}, {L"many\\file30.txt", -1}};
        std::map<std::wstring, std::string> original;
        original[deleted] = readFile(folder + L"\\" + deleted);
        ASSERT_TRUE(DeleteFileW((folder + L"\\" + deleted).c_str()));
        for (const auto& [name, at] : changes) {
            original[name] = readFile(folder + L"\\" + name);
            std::string changed = original[name];
            changed[at >= 0 ? static_cast<size_t>(at) : changed.size() - static_cast<size_t>(-at)] ^= 1;
            rewriteKeepingTime(folder + L"\\" + name, changed);
        }
        writeFile(folder + L"\\zz_dir\\added.txt", "never shipped");

        const std::wstring trace = file(L"trace");
        DeleteFileW(trace.c_str());
        DeleteFileW(file(L"r").c_str());
        const PROCESS_INFORMATION start =
            startUnelevated(exe, L"", file(L"r"),
                            {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()},
                             {L"ONEFILE_TEST_REFUSE_FOLDER_MOVE", refused ? L"1" : nullptr}});
        ASSERT_EQ(endOf(start), 0u) << readFile(trace);
        EXPECT_EQ(runFolderOf(file(L"r")), folder);
        const std::string said = readFile(trace);
        EXPECT_NE(said.find("cache: repaired: 4 written, " + std::to_string(before.size() - 4) +
                            " taken from the damaged version (" + (refused ? "0" : "1") + " folders of them whole)"),
                  std::string::npos)
            << said;
        const auto after = filesBelow(folder);
        ASSERT_EQ(after.size(), before.size());
        size_t kept = 0;
        for (const auto& [name, identity] : before) {
            ASSERT_EQ(after.count(name), 1u) << toUtf8(name);
            if (original.count(name) != 0) {
                EXPECT_EQ(readFile(folder + L"\\" + name), original[name]) << toUtf8(name);
                EXPECT_NE(after.at(name), identity) << toUtf8(name) << " was not written again";
            } else {
                kept += after.at(name) == identity;
            }
        }
        EXPECT_EQ(kept, before.size() - 4) << "files equal to their records were written again";
        EXPECT_EQ(identityOf(folder + L"\\kept") == wholeFolder, !refused) << said;
        EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    }
}

// A file of the set-aside version that gains a name while a repair takes
// it (a hard link made from outside the cache) goes back and is written
// anew: every file published has one name.
TEST_F(CachedRun, ARepairNeverPublishesAFileWithTwoNames)
{
    const std::wstring exe = copyIn(L"fault");
    ASSERT_NE(runTraced(exe, L"first").find("road: build"), std::string::npos);
    const std::wstring folder = runFolderOf(file(L"first"));
    const std::string original = readFile(folder + L"\\report_app.dll");
    ASSERT_TRUE(DeleteFileW((folder + L"\\data\\held.txt").c_str()));
    const std::wstring hold = L"onefile-test-take-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE reached = createOpenEvent(hold + L"-reached"), go = createOpenEvent(hold + L"-go");
    std::thread linker([&] {
        EXPECT_EQ(WaitForSingleObject(reached, 60000), WAIT_OBJECT_0);
        for (const std::wstring& name : versionNames()) {
            if (name.find(L".old-") == std::wstring::npos) continue;
            const std::wstring aside = versions() + L"\\" + name + L"\\app\\report_app.dll";
            EXPECT_TRUE(CreateHardLinkW(file(L"outside.dll").c_str(), aside.c_str(), nullptr));
        }
        SetEvent(go);
    });
    const std::string lines = runTraced(exe, L"repair", {{L"ONEFILE_TEST_HOLD_TAKE", hold.c_str()}});
    linker.join();
    EXPECT_NE(lines.find("report_app.dll gained a name while it was taken; written anew"), std::string::npos) << lines;
    const HANDLE published = CreateFileW((folder + L"\\report_app.dll").c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(GetFileInformationByHandle(published, &info));
    CloseHandle(published);
    EXPECT_EQ(info.nNumberOfLinks, 1u) << lines;
    EXPECT_EQ(readFile(folder + L"\\report_app.dll"), original);
    for (const HANDLE event : {reached, go}) CloseHandle(event);
}

// Two starts find the same damaged version at once: one sets it aside and
// takes its files, the other finds it gone and writes everything; one
// publishes, the other runs the version published. Both run the original.
TEST_F(CachedRun, TwoStartsRepairingAtOnceBothRunTheOriginal)
{
    const auto [exe, folder] = buildReportVersion();
    const std::wstring held = folder + L"\\data\\held.txt";
    const std::string original = readFile(held);
    ASSERT_TRUE(DeleteFileW(held.c_str()));
    const std::wstring traces[] = {file(L"trace1"), file(L"trace2")};
    const PROCESS_INFORMATION first =
        startUnelevated(exe, L"", file(L"first"), {{L"MERLOX_ONEFILE_TRACE_FILE", traces[0].c_str()}});
    const PROCESS_INFORMATION second =
        startUnelevated(exe, L"", file(L"second"), {{L"MERLOX_ONEFILE_TRACE_FILE", traces[1].c_str()}});
    EXPECT_EQ(endOf(first), 0u) << readFile(traces[0]);
    EXPECT_EQ(endOf(second), 0u) << readFile(traces[1]);
    for (const wchar_t* report : {L"first", L"second"}) {
        EXPECT_EQ(reported(file(report), "held"), original) << toUtf8(report);
    }
    EXPECT_EQ(readFile(held), original);
    for (const std::wstring& trace : traces) EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
}

// A file no recheck can read (another process holds it without sharing)
// leaves the version unproven: two more starts run it, the third runs
// something proven.
TEST_F(CachedRun, ContentNoRecheckCouldProveRunsAtMostTwiceMore)
{
    const auto [exe, folder] = buildReportVersion();
    const std::wstring held = folder + L"\\data\\held.txt";
    const std::string original = readFile(held);
    std::string changed = original;
    changed[0] ^= 1;
    rewriteKeepingTime(held, changed);
    const HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    const auto tracedStart = [&](const std::wstring& name, const std::wstring& arguments) {
        const std::wstring trace = file(name + L".trace");
        return startUnelevated(exe, arguments, file(name), {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
    };
    const std::wstring release = file(L"release");
    writeFile(release, "");
    const PROCESS_INFORMATION first = tracedStart(L"first", L"--app-wait=" + quoteForCommandLine(release));
    for (int i = 0; i < 60000 && readFile(file(L"first.trace")).find("not proven") == std::string::npos; ++i) Sleep(1);
    DeleteFileW(release.c_str());
    EXPECT_EQ(endOf(first), 0u);
    EXPECT_NE(readFile(file(L"first.trace")).find("data\\held.txt could not be read; at most 2 more starts run it"),
              std::string::npos)
        << readFile(file(L"first.trace"));
    for (const wchar_t* name : {L"second", L"third"}) {
        EXPECT_EQ(endOf(tracedStart(name, L"")), 0u);
        const std::string lines = readFile(file(std::wstring(name) + L".trace"));
        EXPECT_NE(lines.find("unproven by its last recheck; one of its 2 more starts"), std::string::npos) << lines;
        EXPECT_EQ(runFolderOf(file(name)), folder) << lines;
    }
    EXPECT_EQ(endOf(tracedStart(L"fourth", L"")), 0u);
    const std::string lines = readFile(file(L"fourth.trace"));
    EXPECT_NE(lines.find("unproven by its last recheck, and its 2 more starts have run"), std::string::npos) << lines;
    EXPECT_NE(lines.find("road: repair"), std::string::npos) << lines;
    CloseHandle(holder);
    // It ran from a folder of its own, or from the repaired version.
    EXPECT_TRUE(runFolderOf(file(L"fourth")) != folder || readFile(held) == original) << lines;
}

// Removing the slots of the starts an unproven version has left, or its
// record, gives no start more: each start is counted in the record too,
// and a version without its record has none left. A recheck that proves
// the version frees the slots for the next time it is unproven.
TEST_F(CachedRun, UnprovenStartsStayCountedWhateverIsRemoved)
{
    const auto [exe, first] = buildReportVersion();
    std::wstring folder = first;
    const auto slots = [&] {
        std::vector<std::wstring> found;
        for (const std::wstring& name : namesIn(versionOf(folder))) {
            if (name.find(L".start") != std::wstring::npos) found.push_back(versionOf(folder) + L"\\" + name);
        }
        return found;
    };
    const auto holdContent = [&] {
        return CreateFileW((folder + L"\\data\\held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    const std::string admitted = "one of its 2 more starts", refused = "its 2 more starts have run";
    int starts = 0;
    const auto next = [&] { return runTraced(exe, L"start" + std::to_wstring(++starts)); };
    HANDLE holder = holdContent();
    EXPECT_NE(next().find("not proven"), std::string::npos);
    for (int start = 0; start < 2; ++start) {
        const std::string lines = next();
        EXPECT_NE(lines.find(admitted), std::string::npos) << lines;
        EXPECT_FALSE(slots().empty()) << lines;
        for (const std::wstring& slot : slots()) EXPECT_TRUE(DeleteFileW(slot.c_str()));
    }
    std::string lines = next();
    EXPECT_NE(lines.find(refused), std::string::npos) << "slots removed: " << lines;
    CloseHandle(holder);
    folder = runFolderOf(file(L"start" + std::to_wstring(starts)));
    ASSERT_TRUE(DeleteFileW((versionOf(folder) + L"\\onefile-cache.recheck").c_str()));
    lines = next();
    EXPECT_NE(lines.find(refused), std::string::npos) << "the record removed: " << lines;
    folder = runFolderOf(file(L"start" + std::to_wstring(starts)));

    // Unproven, one start, proven by the next start's recheck: no slot stays.
    holder = holdContent();
    EXPECT_NE(next().find("not proven"), std::string::npos);
    EXPECT_NE(next().find(admitted), std::string::npos);
    CloseHandle(holder);
    lines = next();
    EXPECT_NE(lines.find("rechecked, the same"), std::string::npos) << lines;
    EXPECT_EQ(slots(), std::vector<std::wstring>{}) << lines;
}

// Another DLL copied over the version's entry DLL again and again, while
// starts reuse, repair and build the version: the child only ever loads
// the DLL its start held and checked. The other one exports no run_code
// (a start that loaded it would end with code 2).
TEST_F(CachedRun, ADllCopiedOverTheEntryNeverRuns)
{
    const auto [exe, folder] = buildReportVersion();
    const std::wstring entry = folder + L"\\report_app.dll";
    std::string foreign = readFile(entry);
    const std::string exported("run_code", sizeof "run_code");
    for (size_t at = foreign.find(exported); at != std::string::npos; at = foreign.find(exported, at)) {
        foreign[at + 7] = 'f';
    }
    const std::wstring other = file(L"other.dll");
    writeFile(other, foreign);
    std::atomic<bool> racing{true};
    std::atomic<int> won{0};
    std::thread racer([&] {
        for (; racing; Sleep(1)) won += CopyFileW(other.c_str(), entry.c_str(), FALSE) ? 1 : 0;
    });
    for (int start = 0; start < 16; ++start) {
        // Every other start finds no version and builds it.
        if (start % 2 == 1) removeTree(versionOf(folder));
        const std::wstring name = L"r" + std::to_wstring(start);
        const std::string lines = runTraced(exe, name);
        EXPECT_NE(readFile(file(name)), "") << lines;
    }
    racing = false;
    racer.join();
    EXPECT_GT(won.load(), 0) << "the other DLL was never copied over the entry";
}

// The entry DLL of a reused version is held from its check to the
// application's end: nobody can write, delete or rename it meanwhile.
TEST_F(CachedRun, TheEntryDllCannotChangeWhileTheApplicationRuns)
{
    const auto [exe, folder] = buildReportVersion();
    const std::wstring dll = folder + L"\\report_app.dll";
    const std::wstring release = file(L"release");
    writeFile(release, "");
    const PROCESS_INFORMATION running =
        startUnelevated(exe, L"--app-wait=" + quoteForCommandLine(release), file(L"running"));
    ASSERT_TRUE(waitForPath(file(L"running")));
    for (const DWORD access : {DWORD{GENERIC_WRITE}, DWORD{DELETE}}) {
        const HANDLE opened = CreateFileW(dll.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(opened, INVALID_HANDLE_VALUE) << access;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << access;
        if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
    }
    DeleteFileW(release.c_str());
    EXPECT_EQ(endOf(running), 0u);
    // Free again once the application ended.
    const HANDLE afterwards =
        CreateFileW(dll.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(afterwards, INVALID_HANDLE_VALUE);
    CloseHandle(afterwards);
}

// A change that keeps the size and the time passes the listing's check; the
// recheck of the content, while the application runs or after it returned,
// marks the version, and the next start repairs it.
TEST_F(CachedRun, AChangeThatKeepsSizeAndTimeRunsAtMostOnceMore)
{
    const auto [exe, folder] = buildReportVersion();
    const std::wstring held = folder + L"\\data\\held.txt";
    const std::wstring marker = versionOf(folder) + L"\\onefile-cache.damaged";
    const std::string original = readFile(held);
    std::string changed = original;
    changed[0] ^= 1;
    // A trace of its own per start, so that the worker a start leaves can be
    // waited for: a worker still tidying holds the cache's turn, and the next
    // start's worker, finding it taken, would not recheck.
    int started = 0;
    std::wstring trace;
    const auto startAndRead = [&](const std::wstring& arguments) {
        DeleteFileW(file(L"r").c_str());
        trace = file(L"trace" + std::to_wstring(++started));
        EXPECT_EQ(endOf(startUnelevated(exe, arguments, file(L"r"), {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}})),
                  0u);
        EXPECT_EQ(runFolderOf(file(L"r")), folder);
        return reported(file(L"r"), "held");
    };

    rewriteKeepingTime(held, changed);
    const std::wstring release = file(L"release");
    writeFile(release, "");
    const PROCESS_INFORMATION running =
        startUnelevated(exe, L"--app-wait=" + quoteForCommandLine(release), file(L"running"));
    ASSERT_TRUE(waitForPath(file(L"running")));
    EXPECT_EQ(reported(file(L"running"), "held"), changed);
    EXPECT_TRUE(waitForPath(marker)) << "found while the application runs";
    DeleteFileW(release.c_str());
    EXPECT_EQ(endOf(running), 0u);
    EXPECT_EQ(startAndRead(L""), original);

    // An application that returns at once: the worker after it finds it.
    EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    rewriteKeepingTime(held, changed);
    EXPECT_EQ(startAndRead(L""), changed);
    EXPECT_TRUE(waitForPath(marker)) << "found after the application returned";
    EXPECT_EQ(startAndRead(L""), original);
    EXPECT_EQ(readFile(held), original);

    // The cache's turn squatted by an object of its name: no turn is taken,
    // and the recheck still runs.
    wchar_t turn[upkeepTurnNameCapacity];
    const std::wstring versions = folder.substr(0, folder.rfind(L'\\'));
    ASSERT_TRUE(nameUpkeepTurn(versions.c_str(), turn));
    const HANDLE squat = CreateEventW(nullptr, TRUE, FALSE, turn);
    ASSERT_NE(squat, nullptr);
    EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    rewriteKeepingTime(held, changed);
    EXPECT_EQ(startAndRead(L""), changed);
    EXPECT_TRUE(waitForPath(marker)) << "found with the turn squatted: " << readFile(trace);
    EXPECT_EQ(startAndRead(L""), original);
    CloseHandle(squat);
}

// A damaged version that a running application holds cannot be set aside:
// the start that finds it runs from a folder of its own, and the start
// after the running one ends repairs it.
TEST_F(CachedRun, ADamagedVersionInUseIsNeitherRunNorRemoved)
{
    const std::wstring exe = copyIn(L"report");
    const std::wstring release = file(L"release");
    writeFile(release, "");
    // Traced, so that the workers these starts leave can be waited for: one
    // still at work holds what the last start must set aside.
    const std::wstring traces[] = {file(L"trace-running"), file(L"trace-beside")};
    const PROCESS_INFORMATION running =
        startUnelevated(exe, L"--app-wait=" + quoteForCommandLine(release), file(L"running"),
                        {{L"MERLOX_ONEFILE_TRACE_FILE", traces[0].c_str()}});
    ASSERT_TRUE(waitForPath(file(L"running")));
    const std::wstring folder = runFolderOf(file(L"running"));
    const std::wstring held = folder + L"\\data\\held.txt";
    const std::string original = readFile(held);
    writeFile(held, "changed");

    EXPECT_EQ(endOf(startUnelevated(exe, L"", file(L"beside"), {{L"MERLOX_ONEFILE_TRACE_FILE", traces[1].c_str()}})),
              0u);
    const std::wstring beside = runFolderOf(file(L"beside"));
    EXPECT_NE(beside, folder);
    EXPECT_EQ(reported(file(L"beside"), "held"), original);
    EXPECT_EQ(readFile(held), "changed") << "the running application's folder stays";
    EXPECT_FALSE(pathExists(beside)) << "the folder of its own goes at its end";

    DeleteFileW(release.c_str());
    EXPECT_EQ(endOf(running), 0u);
    for (const std::wstring& trace : traces) EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    EXPECT_EQ(runUnelevated(exe, L"", file(L"after")), 0u);
    EXPECT_EQ(runFolderOf(file(L"after")), folder);
    EXPECT_EQ(reported(file(L"after"), "held"), original);
}

// MERLOX_ONEFILE_TRACE_FILE: one line per step of each start, parent and
// child, appended to one file.
TEST_F(CachedRun, TheTraceSaysWhatEachStartDid)
{
    const std::wstring exe = copyIn(L"report");
    const std::wstring trace = file(L"trace.txt");
    const EnvironmentChanges traced = {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}};
    const auto linesOf = [&](const std::function<DWORD()>& start) {
        DeleteFileW(trace.c_str());
        EXPECT_EQ(start(), 0u);
        return readFile(trace);
    };
    const auto unelevated = [&] { return endOf(startUnelevated(exe, L"", file(L"r"), traced)); };
    // Waits for the end of the upkeep worker the last start made, if any.
    const auto waitForWorker = [&] {
        const std::string text = readFile(trace);
        const size_t at = text.find("upkeep worker ");
        const HANDLE worker = at == std::string::npos || !isdigit(static_cast<unsigned char>(text[at + 14]))
                                  ? nullptr
                                  : OpenProcess(SYNCHRONIZE, FALSE, std::stoul(text.substr(at + 14)));
        if (worker != nullptr) {
            EXPECT_EQ(WaitForSingleObject(worker, 60000), WAIT_OBJECT_0);
            CloseHandle(worker);
        }
    };
    std::string lines = linesOf(unelevated);
    EXPECT_NE(lines.find("road: build "), std::string::npos) << lines;
    EXPECT_NE(lines.find("cache: published "), std::string::npos) << lines;
    EXPECT_NE(lines.find("re-entry, started by the bootstrap: "), std::string::npos) << lines;
    EXPECT_NE(lines.find("application ended, exit code 0"), std::string::npos) << lines;

    lines = linesOf(unelevated);
    EXPECT_NE(lines.find("road: reuse "), std::string::npos) << lines;
    EXPECT_NE(lines.find(" checked\n"), std::string::npos) << lines;
    // The recheck of the content, by the worker after this quick start:
    // done before the folder changes, or it would find the change itself.
    waitForWorker();
    lines = readFile(trace);
    EXPECT_NE(lines.find("rechecked, the same"), std::string::npos) << lines;
    writeFile(runFolderOf(file(L"r")) + L"\\data\\held.txt", "changed");
    lines = linesOf(unelevated);
    EXPECT_NE(lines.find("road: repair "), std::string::npos) << lines;
    EXPECT_NE(lines.find("failed its check: the manifest lists 'F 28 "), std::string::npos) << lines;
    EXPECT_NE(lines.find(" data\\held.txt', the folder has 'F 7 "), std::string::npos) << lines;

    // A long application: its recheck and the rest of the upkeep finish
    // while it runs, so no worker follows it.
    waitForWorker();
    DeleteFileW(trace.c_str());
    const std::wstring release = file(L"release");
    writeFile(release, "");
    const PROCESS_INFORMATION running =
        startUnelevated(exe, L"--app-wait=" + quoteForCommandLine(release), file(L"r"), traced);
    for (int i = 0; i < 60000 && readFile(trace).find("upkeep: done") == std::string::npos; ++i) Sleep(1);
    DeleteFileW(release.c_str());
    EXPECT_EQ(endOf(running), 0u);
    lines = readFile(trace);
    EXPECT_NE(lines.find("rechecked, the same"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("upkeep worker"), std::string::npos) << lines;

    lines = linesOf([&] { return runProcess(exe, quoteForCommandLine(exe), traced).exitCode; });
    EXPECT_NE(lines.find("road: per run, elevated"), std::string::npos) << lines;
    const std::wstring perRun = directoryOfThisProgram() + L"\\report_onefile.exe";
    lines = linesOf([&] { return runProcess(perRun, quoteForCommandLine(perRun), traced).exitCode; });
    EXPECT_NE(lines.find("fresh start\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("road: per run\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("cleanup done\n"), std::string::npos) << lines;
}

// A passed recheck holds for a while: quick starts within it read nothing
// and start no worker; once it is older (the test ages its record), the
// next start rechecks.
TEST_F(CachedRun, ARecheckedVersionIsNotReadAgainWithinItsWindow)
{
    const auto [exe, folder] = buildReportVersion();
    // A trace file of its own per start: a worker that has said "done" may
    // still hold the last one open.
    int starts = 0;
    const auto quickStart = [&] {
        const std::wstring trace = file(L"trace" + std::to_wstring(++starts) + L".txt");
        EXPECT_EQ(endOf(startUnelevated(exe, L"", file(L"r"), {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}})), 0u);
        EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
        return readFile(trace);
    };
    std::string lines = quickStart();
    EXPECT_NE(lines.find("rechecked, the same"), std::string::npos) << lines;
    for (int start = 0; start < 3; ++start) {
        lines = quickStart();
        EXPECT_EQ(lines.find("rechecked"), std::string::npos) << lines;
        EXPECT_EQ(lines.find("upkeep worker"), std::string::npos) << lines;
    }
    // Eleven minutes ago.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t aged = ((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) - 11ull * 60 * 10000000;
    const std::wstring record = versionOf(folder) + L"\\onefile-cache.recheck";
    ASSERT_EQ(readFile(record).rfind("passed ", 0), 0u) << readFile(record);
    DeleteFileW(record.c_str());
    writeFile(record, "passed " + std::to_string(aged) + "\n");
    lines = quickStart();
    EXPECT_NE(lines.find("rechecked, the same"), std::string::npos) << lines;
}

// A damaged DLL whose size and time were kept passes the check; the start
// that cannot load it marks the version, and the next one repairs it.
TEST_F(CachedRun, AVersionTheApplicationCannotBeLoadedFromIsRepairedByTheNextStart)
{
    const auto [exe, folder] = buildReportVersion();
    const std::wstring dll = folder + L"\\report_app.dll";
    const std::string original = readFile(dll);
    rewriteKeepingTime(dll, "XX" + original.substr(2));
    DeleteFileW(file(L"r").c_str());
    EXPECT_EQ(runUnelevated(exe, L"", file(L"r")), 2u);
    EXPECT_FALSE(pathExists(file(L"r"))) << "the application never ran";
    EXPECT_TRUE(pathExists(versionOf(folder) + L"\\onefile-cache.damaged"));

    EXPECT_EQ(runUnelevated(exe, L"", file(L"r")), 0u);
    EXPECT_EQ(runFolderOf(file(L"r")), folder);
    EXPECT_EQ(reported(file(L"r"), "files"), "2");
    EXPECT_EQ(readFile(dll), original);
}

// Starts whose variables name a folder of the cache: another program's
// (this test's) naming a live copy's staging folder, planted with a DLL,
// and an elevated copy's, started from inside its application, naming the
// shared version. Neither takes it; a start from inside an unelevated
// application re-enters the version.
TEST_F(CachedRun, OnlyCopiesOfThisExecutableHandDownTheirFolder)
{
    const std::wstring exe = copyIn(L"report");
    const std::wstring release = file(L"release");
    writeFile(release, "");
    const PROCESS_INFORMATION running = startUnelevated(
        exe, L"--app-reenter=" + quoteForCommandLine(file(L"nested")) + L" --app-wait=" + quoteForCommandLine(release),
        file(L"running"));
    ASSERT_TRUE(waitForPath(file(L"running")));
    ASSERT_TRUE(waitForPath(file(L"nested")));
    const std::wstring version = runFolderOf(file(L"running"));
    EXPECT_EQ(runFolderOf(file(L"nested")), version);
    EXPECT_EQ(reported(file(L"nested"), "run_mode"), "1");

    const std::wstring parentId = fromUtf8(reported(file(L"running"), "MERLOX_ONEFILE_PARENT"));
    const std::wstring id = versionOf(version).substr(versionOf(version).rfind(L'\\') + 1);
    const std::wstring planted = versions() + L"\\" + id + L".staging-" + parentId + L"-plantedDll1\\app";
    ASSERT_TRUE(CreateDirectoryW(versionOf(planted).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((version + L"\\report_app.dll").c_str(), (planted + L"\\report_app.dll").c_str(), TRUE));
    const PROCESS_INFORMATION other = startUnelevated(exe, L"", file(L"other"),
                                                      {{L"MERLOX_ONEFILE_PARENT", parentId.c_str()},
                                                       {L"MERLOX_ONEFILE_TIME_US", L"000000"},
                                                       {L"MERLOX_ONEFILE_RANDOM", L"plantedDll1"},
                                                       {L"MERLOX_ONEFILE_TARGET", planted.c_str()}});
    EXPECT_EQ(endOf(other), 0u);
    EXPECT_EQ(runFolderOf(file(L"other")), version);

    const std::wstring setTarget = L"--app-env=MERLOX_ONEFILE_TARGET=" + version;
    const ProcessResult elevated = runProcess(exe,
                                              quoteForCommandLine(exe) + L" " + quoteForCommandLine(setTarget) +
                                                  L" --app-reenter=" + quoteForCommandLine(file(L"elevated_nested")),
                                              {{L"ONEFILE_TEST_REPORT", file(L"elevated").c_str()}});
    EXPECT_EQ(elevated.exitCode, 0u) << elevated.err;
    ASSERT_TRUE(pathExists(file(L"elevated_nested")));
    EXPECT_NE(runFolderOf(file(L"elevated_nested")), version);
    EXPECT_EQ(reported(file(L"elevated_nested"), "run_mode"), "0");
    EXPECT_TRUE(pathExists(planted + L"\\report_app.dll"));

    DeleteFileW(release.c_str());
    EXPECT_EQ(endOf(running), 0u);
}

// The application itself, the real parent of its next start, points
// MERLOX_ONEFILE_TARGET near its version: past its name, out of it, at a
// sibling version, at a staging folder of another process. Each holds a
// DLL; each start runs from the version.
TEST_F(CachedRun, TargetsTheApplicationSetsAreNeverLoadedFrom)
{
    const std::wstring exe = copyIn(L"report");
    ASSERT_EQ(runUnelevated(exe, L"", file(L"r")), 0u);
    const std::wstring version = runFolderOf(file(L"r"));
    const std::wstring id = versionOf(version).substr(versionOf(version).rfind(L'\\') + 1);
    const std::wstring stagingOfAnother =
        versions() + L"\\" + id + L".staging-" + std::to_wstring(GetCurrentProcessId()) + L"-plantedDll1\\app";
    // Each target, and the folder it leads to.
    const std::vector<std::pair<std::wstring, std::wstring>> targets = {
        {version + L"x", version + L"x"},
        {version + L"\\..\\other", versionOf(version) + L"\\other"},
        {versions() + L"\\0123456789abcdef\\app", versions() + L"\\0123456789abcdef\\app"},
        {stagingOfAnother, stagingOfAnother},
    };
    std::wstring arguments;
    for (size_t i = 0; i < targets.size(); ++i) {
        CreateDirectoryW(versionOf(targets[i].second).c_str(), nullptr);
        CreateDirectoryW(targets[i].second.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW((version + L"\\report_app.dll").c_str(),
                              (targets[i].second + L"\\report_app.dll").c_str(), TRUE));
        arguments += L" " + quoteForCommandLine(L"--app-env=MERLOX_ONEFILE_TARGET=" + targets[i].first) +
                     L" --app-reenter=" + quoteForCommandLine(file(L"nested" + std::to_wstring(i)));
    }
    EXPECT_EQ(runUnelevated(exe, arguments, file(L"r")), 0u);
    for (size_t i = 0; i < targets.size(); ++i) {
        const std::wstring nested = file(L"nested" + std::to_wstring(i));
        ASSERT_TRUE(pathExists(nested)) << toUtf8(targets[i].first);
        EXPECT_EQ(runFolderOf(nested), version) << toUtf8(targets[i].first);
    }
}

// Applications that return at once: the worker started after the second
// version's quick start removes the first (--cache-keep 1).
TEST_F(CachedRun, AQuickApplicationsStartStillLeavesOneVersion)
{
    const std::wstring first = copyIn(L"report2");
    const std::wstring second = copyIn(L"report");
    ASSERT_EQ(runUnelevated(first, L"", file(L"1")), 0u);
    const std::wstring firstFolder = runFolderOf(file(L"1"));
    ASSERT_EQ(runUnelevated(second, L"", file(L"2")), 0u);
    EXPECT_TRUE(waitForPath(firstFolder, false));
    EXPECT_TRUE(pathExists(runFolderOf(file(L"2")) + L"\\report_app.dll"));
}

// Three versions under one name (--cache-keep 1), started oldest first.
TEST_F(CachedRun, OnlyTheNewestVersionStaysUnlessInUse)
{
    const std::wstring oldest = copyIn(L"report2");
    const std::wstring middle = copyIn(L"report");
    const std::wstring newest = copyIn(L"bulky");
    // Named like a version, without a manifest: not the cache's, so it
    // stays, although it would be the oldest.
    const std::wstring unknown = versions() + L"\\ffffffffffffffff";
    ASSERT_EQ(runUnelevated(oldest, L"", file(L"0")), 0u);
    ASSERT_TRUE(CreateDirectoryW(unknown.c_str(), nullptr));
    writeFile(unknown + L"\\left.txt", "left");
    // The oldest in use while the middle one starts: it stays.
    const std::wstring releaseOldest = file(L"release_oldest");
    const std::wstring releaseMiddle = file(L"release_middle");
    writeFile(releaseOldest, "");
    writeFile(releaseMiddle, "");
    const PROCESS_INFORMATION oldestRunning =
        startUnelevated(oldest, L"--app-wait=" + quoteForCommandLine(releaseOldest), file(L"1"));
    ASSERT_TRUE(waitForPath(file(L"1")));
    const PROCESS_INFORMATION middleRunning =
        startUnelevated(middle, L"--app-wait=" + quoteForCommandLine(releaseMiddle), file(L"2"));
    ASSERT_TRUE(waitForPath(file(L"2")));
    DeleteFileW(releaseOldest.c_str());
    EXPECT_EQ(endOf(oldestRunning), 0u);
    // The newest start removes the oldest, now unused, after passing over
    // the middle one, newer and in use.
    const std::wstring oldestFolder = runFolderOf(file(L"1"));
    const std::wstring middleFolder = runFolderOf(file(L"2"));
    EXPECT_EQ(runUnelevated(newest, L"--app-wait=" + quoteForCommandLine(oldestFolder), file(L"3")), 0u);
    EXPECT_FALSE(pathExists(oldestFolder));
    EXPECT_TRUE(pathExists(middleFolder + L"\\report_app.dll"));
    DeleteFileW(releaseMiddle.c_str());
    EXPECT_EQ(endOf(middleRunning), 0u);
    EXPECT_EQ(readFile(unknown + L"\\left.txt"), "left");
}

}  // namespace
