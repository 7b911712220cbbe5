// A fresh start removes what dead runs left in the temporary directory:
// exactly the bootstrap's own names, only without a run's proof of life and
// only when nothing in them is in use.
#include "test_support.h"

#include <gtest/gtest.h>

#include "paths/paths.h"

namespace {

std::wstring onefilePath(const wchar_t* name)
{
    return directoryOfThisProgram() + L"\\" + name + L".exe";
}

// A target directory's name as a run with `processId` makes it.
std::wstring leftoverName(DWORD processId)
{
    const std::wstring id = std::to_wstring(processId);
    ScopedEnvironment run({{L"MERLOX_ONEFILE_PARENT", id.c_str()},
                           {L"MERLOX_ONEFILE_TIME_US", nullptr},
                           {L"MERLOX_ONEFILE_RANDOM", nullptr}});
    wchar_t name[pathCapacity];
    EXPECT_TRUE(expandPathSpec(name, ONEFILE_WIDE(ONEFILE_RUN_NAME_SPEC), pathCapacity));
    return name;
}

// A splash feedback file's name as a run with `processId` makes it.
std::wstring feedbackName(DWORD processId)
{
    return ONEFILE_WIDE(ONEFILE_RUN_NAME_PREFIX) + std::to_wstring(processId) + L"_" +
           ONEFILE_WIDE(ONEFILE_FEEDBACK_NAME_SUFFIX);
}

// Ids no process has (Wine and Windows give out multiples of 4).
DWORD deadId(int i)
{
    return 4294967291u - 4u * static_cast<DWORD>(i);
}

class Sweep : public testing::Test {
protected:
    ~Sweep() override
    {
        for (const HANDLE handle : held) CloseHandle(handle);
    }

    // A leftover target directory with a file in it.
    std::wstring plantDirectory(const std::wstring& name)
    {
        const std::wstring path = temp.path() + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        writeFile(path + L"\\left.txt", "left behind");
        return path;
    }

    // What a live run holds: its target, open for reading, refusing deletion.
    void holdLikeALiveRun(const std::wstring& directory)
    {
        held.push_back(CreateFileW(directory.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    }

    // A file an application still has open, as its own runtime opens it.
    void holdInUse(const std::wstring& file)
    {
        held.push_back(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }

    // 70 leftovers held in use, which cannot go, and 20 after them that can.
    void plantStuckAndRemovableLeftovers()
    {
        for (int i = 0; i < 70; ++i) {
            const std::wstring stuck = plantDirectory(leftoverName(deadId(i)));
            holdInUse(stuck + L"\\left.txt");
        }
        for (int i = 70; i < 90; ++i) removable.push_back(plantDirectory(leftoverName(deadId(i))));
    }

    int countRunFolders() const
    {
        int folders = 0;
        WIN32_FIND_DATAW entry;
        const HANDLE search = FindFirstFileW((temp.path() + L"\\onefile_*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) return 0;
        do folders += (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        while (FindNextFileW(search, &entry));
        FindClose(search);
        return folders;
    }

    int countRemovableLeft() const
    {
        int left = 0;
        for (const std::wstring& path : removable) left += pathExists(path);
        return left;
    }

    // Starts the application with a signal to wait for; the sweep runs meanwhile.
    PROCESS_INFORMATION startWaiting(const wchar_t* executable)
    {
        writeFile(release, "");
        const std::wstring exe = onefilePath(executable);
        return startProcess(exe, quoteForCommandLine(exe) + L" --app-wait=" + quoteForCommandLine(release),
                            {{L"TEMP", temp.path().c_str()}, {L"TMP", temp.path().c_str()}});
    }

    void releaseAndWait(const PROCESS_INFORMATION& running)
    {
        DeleteFileW(release.c_str());
        EXPECT_EQ(WaitForSingleObject(running.hProcess, 60000), WAIT_OBJECT_0);
        CloseHandle(running.hProcess);
    }

    DWORD start(const wchar_t* executable)
    {
        const std::wstring exe = onefilePath(executable);
        return runProcess(exe, quoteForCommandLine(exe),
                          {{L"TEMP", temp.path().c_str()}, {L"TMP", temp.path().c_str()}})
            .exitCode;
    }

    ScratchDirectory temp{L"sweep"};
    const std::wstring release = temp.path() + L"\\release";
    std::vector<HANDLE> held;
    std::vector<std::wstring> removable;
};

TEST_F(Sweep, OnlyUnheldUnusedLeftoversGo)
{
    const std::wstring dead = plantDirectory(leftoverName(deadId(0)));
    const std::wstring deadFeedback = temp.path() + L"\\" + feedbackName(deadId(0));
    writeFile(deadFeedback, "");
    // A live run whose folder's times were set back an hour: times prove
    // nothing, the held folder does. A feedback file lives with its process
    // (this test's own: alive, and begun before the file was made).
    const std::wstring live = plantDirectory(leftoverName(deadId(1)));
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t hourAgo = ((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) - 36000000000ull;
    const FILETIME earlier = {static_cast<DWORD>(hourAgo), static_cast<DWORD>(hourAgo >> 32)};
    const HANDLE folder = CreateFileW(live.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_TRUE(SetFileTime(folder, &earlier, &earlier, &earlier));
    CloseHandle(folder);
    holdLikeALiveRun(live);
    const std::wstring liveFeedback = temp.path() + L"\\" + feedbackName(GetCurrentProcessId());
    writeFile(liveFeedback, "");
    // A dead run whose application (or something it started) still uses a
    // file: the leftover stays whole.
    const std::wstring inUse = plantDirectory(leftoverName(deadId(2)));
    CreateDirectoryW((inUse + L"\\sub").c_str(), nullptr);
    writeFile(inUse + L"\\sub\\used.txt", "in use");
    holdInUse(inUse + L"\\sub\\used.txt");
    // A live run's new folder, not held yet: its process (this test's) is
    // alive and began before the folder was made.
    const std::wstring young = plantDirectory(leftoverName(GetCurrentProcessId()));
    // Names a run never writes.
    const std::wstring notOurs = plantDirectory(L"onefile_notours");
    const std::wstring leadingZero = plantDirectory(L"onefile_0" + leftoverName(deadId(3)).substr(8));

    // The sweep stops when the application ends: an application that waits
    // lets it finish.
    const PROCESS_INFORMATION running = startWaiting(L"report_onefile");
    EXPECT_TRUE(waitForPath(dead, false));
    EXPECT_TRUE(waitForPath(deadFeedback, false));
    releaseAndWait(running);
    for (const std::wstring& kept : {live, liveFeedback, young, inUse, notOurs, leadingZero}) {
        EXPECT_TRUE(pathExists(kept)) << toUtf8(kept);
    }
    EXPECT_EQ(readFile(live + L"\\left.txt"), "left behind");
    EXPECT_EQ(readFile(inUse + L"\\left.txt"), "left behind");
    // Nothing is written into a live run's folder; a dead one that cannot
    // go is remembered.
    EXPECT_FALSE(pathExists(live + L"\\onefile-sweep.stuck"));
    EXPECT_TRUE(pathExists(inUse + L"\\onefile-sweep.stuck"));
}

// Leftovers that cannot go never block the ones that can: at most 8 go per
// start, and a start built without the sweep takes none.
TEST_F(Sweep, UnremovableLeftoversNeverStarveTheOthers)
{
    plantStuckAndRemovableLeftovers();
    // Built without the sweep, a start takes none, although it runs longer
    // than a sweeping start begun after it, which takes its 8 meanwhile.
    ScratchDirectory traces(L"trace");
    const std::wstring trace = traces.path() + L"\\trace.txt";
    {
        ScopedEnvironment traced(EnvironmentChanges{{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
        const PROCESS_INFORMATION unswept = startWaiting(L"report_nosweep_onefile");
        const PROCESS_INFORMATION sweeping = startWaiting(L"report_onefile");
        const std::string swept = "onefile[" + std::to_string(sweeping.dwProcessId) + "]";
        const auto sweepEnded = [&] {
            const std::string lines = readFile(trace);
            for (size_t at = lines.find(swept); at != std::string::npos; at = lines.find(swept, at + 1)) {
                if (lines.compare(lines.find(": ", at) + 2, 7, "sweep: ") == 0) return true;
            }
            return false;
        };
        for (int i = 0; i < 6000 && !sweepEnded(); ++i) Sleep(10);
        EXPECT_TRUE(sweepEnded()) << readFile(trace);
        EXPECT_EQ(countRemovableLeft(), 12);
        releaseAndWait(sweeping);
        EXPECT_EQ(WaitForSingleObject(unswept.hProcess, 60000), WAIT_OBJECT_0);
        CloseHandle(unswept.hProcess);
    }
    for (const int expected : {4, 0}) {
        const PROCESS_INFORMATION running = startWaiting(L"report_onefile");
        for (int i = 0; i < 6000 && countRemovableLeft() > expected; ++i) Sleep(10);
        releaseAndWait(running);
        EXPECT_EQ(countRemovableLeft(), expected);
    }
}

// Applications that return at once end before the sweep's delay is over:
// the detached worker takes what the start could not. Every removable
// leftover, a dead run's folder among them, goes within 3 such starts.
TEST_F(Sweep, LeftoversGoAlsoAfterApplicationsThatReturnAtOnce)
{
    plantStuckAndRemovableLeftovers();
    ScratchDirectory traces(L"trace");
    const std::wstring trace = traces.path() + L"\\trace.txt";
    ScopedEnvironment traced(EnvironmentChanges{{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
    // Each start's worker runs on after its start has ended, and removes at
    // most 8; a worker that finds another one sweeping leaves the folder to
    // it. So each start waits for the worker before it: a few starts are
    // enough, the bound only ends a test that goes nowhere.
    for (int start = 0; start < 10 && countRemovableLeft() > 0; ++start) {
        EXPECT_EQ(this->start(L"report_onefile"), 0u);
        EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    }
    EXPECT_EQ(countRemovableLeft(), 0) << readFile(trace);
    // The stuck ones are marked as the sweeps reach them (each stops after
    // 8 removals): within a few more starts none is left to walk, and from
    // then on a quick start needs no worker.
    // A trace file of its own per start: a worker that has said "done" may
    // still hold the last one open.
    std::string lines;
    for (int start = 0; start < 4 && lines.find("sweep: nothing of another run") == std::string::npos; ++start) {
        const std::wstring own = traces.path() + L"\\trace" + std::to_wstring(start) + L".txt";
        ScopedEnvironment ownTrace(EnvironmentChanges{{L"MERLOX_ONEFILE_TRACE_FILE", own.c_str()}});
        EXPECT_EQ(this->start(L"report_onefile"), 0u);
        EXPECT_TRUE(waitForUpkeepWorkers(own)) << readFile(own);
        lines = readFile(own);
    }
    EXPECT_NE(lines.find("sweep: nothing of another run"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("upkeep worker"), std::string::npos) << lines;
}

// Heavy leftovers go in the worker's own time, paced: the start that
// found them has ended, and its caller has said so in the trace, before
// the worker is done with them; then they are gone.
TEST_F(Sweep, HeavyLeftoversGoAfterTheirCallerHasEnded)
{
    const std::wstring heavy = plantDirectory(leftoverName(deadId(0)));
    for (int i = 0; i < 2000; ++i) writeFile(heavy + L"\\f" + std::to_wstring(i), "left");
    ScratchDirectory traces(L"trace");
    const std::wstring trace = traces.path() + L"\\trace.txt";
    ScopedEnvironment traced(EnvironmentChanges{{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
    EXPECT_EQ(start(L"report_onefile"), 0u);
    const HANDLE appended = CreateFileW(trace.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    const char ended[] = "onefile[0] 0 ms: the caller has ended\n";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(appended, ended, sizeof ended - 1, &written, nullptr));
    CloseHandle(appended);
    EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    const std::string lines = readFile(trace);
    EXPECT_LT(lines.find("the caller has ended"), lines.find("upkeep worker done")) << lines;
    EXPECT_FALSE(pathExists(heavy)) << lines;
}

// A live run beside quick starts is nothing to do: they start no worker.
TEST_F(Sweep, ALiveRunBesideQuickStartsStartsNoWorker)
{
    const PROCESS_INFORMATION running = startWaiting(L"report_onefile");
    ScratchDirectory traces(L"trace");
    const std::wstring trace = traces.path() + L"\\trace.txt";
    {
        ScopedEnvironment traced(EnvironmentChanges{{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
        // The live run's folder exists once its application has started.
        for (int i = 0; i < 6000 && countRunFolders() == 0; ++i) Sleep(10);
        EXPECT_EQ(start(L"report_onefile"), 0u);
    }
    releaseAndWait(running);
    EXPECT_NE(readFile(trace).find("cleanup done"), std::string::npos) << readFile(trace);
    EXPECT_EQ(readFile(trace).find("upkeep worker"), std::string::npos) << readFile(trace);
}

// The worker stays out of its caller's job: a job that allows breaking
// away counts only the bootstrap and its application, while the worker
// still takes the leftover after them.
TEST_F(Sweep, TheUpkeepWorkerRunsOutsideTheCallersJob)
{
    const std::wstring leftover = plantDirectory(leftoverName(deadId(0)));
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
    const std::wstring exe = onefilePath(L"report_onefile");
    std::wstring commandLine = quoteForCommandLine(exe);
    ScopedEnvironment temporary({{L"TEMP", temp.path().c_str()}, {L"TMP", temp.path().c_str()}});
    STARTUPINFOW startup = startupOnNul();
    PROCESS_INFORMATION bootstrap = {};
    ASSERT_TRUE(createRetrying([&] {
        return CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                              nullptr, &startup, &bootstrap);
    }));
    ASSERT_TRUE(AssignProcessToJobObject(job, bootstrap.hProcess));
    ResumeThread(bootstrap.hThread);
    EXPECT_EQ(WaitForSingleObject(bootstrap.hProcess, 60000), WAIT_OBJECT_0);
    EXPECT_TRUE(waitForPath(leftover, false));
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    ASSERT_TRUE(
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr));
    EXPECT_EQ(accounting.TotalProcesses, 2u) << "the bootstrap and its application only";
    for (const HANDLE handle : {bootstrap.hThread, bootstrap.hProcess, job}) CloseHandle(handle);
}

// The worker inherits none of the bootstrap's handles but its own: a
// caller's pipe for standard output ends with the bootstrap while the
// worker, held by the test, still runs. (The bootstrap's sweep is held
// until the application's end, so that a worker takes over.)
TEST_F(Sweep, TheUpkeepWorkerHoldsNoneOfTheCallersHandles)
{
    const std::wstring leftover = plantDirectory(leftoverName(deadId(0)));
    const std::wstring hold = L"onefile-test-worker-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, (hold + L"-reached").c_str());
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, (hold + L"-go").c_str());
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    const std::wstring trace = temp.path() + L"\\trace.txt";
    const std::wstring exe = onefilePath(L"fault_onefile");
    std::wstring commandLine = quoteForCommandLine(exe);
    ScopedEnvironment environment({{L"TEMP", temp.path().c_str()},
                                   {L"TMP", temp.path().c_str()},
                                   {L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()},
                                   {L"ONEFILE_TEST_HOLD_SWEEP", L"1"},
                                   {L"ONEFILE_TEST_HOLD_WORKER", hold.c_str()}});
    STARTUPINFOW startup = startupOnNul();
    startup.hStdOutput = writeEnd;
    PROCESS_INFORMATION bootstrap = {};
    ASSERT_TRUE(createRetrying([&] {
        return CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                              &bootstrap);
    }));
    CloseHandle(writeEnd);
    EXPECT_EQ(WaitForSingleObject(bootstrap.hProcess, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(reached, 60000), WAIT_OBJECT_0) << readFile(trace);
    // The worker runs, held: whatever is left to read, then the pipe's end.
    char buffer[4096];
    DWORD available = 0, read = 0;
    BOOL open = TRUE;
    while ((open = PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) && available > 0) {
        ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr);
    }
    const DWORD error = GetLastError();
    EXPECT_FALSE(open) << "the worker holds the caller's pipe\n" << readFile(trace);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    SetEvent(go);
    EXPECT_TRUE(waitForPath(leftover, false)) << readFile(trace);
    EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    for (const HANDLE handle : {readEnd, reached, go, bootstrap.hProcess, bootstrap.hThread}) CloseHandle(handle);
}

}  // namespace
