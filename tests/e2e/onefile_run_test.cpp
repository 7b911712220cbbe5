// Real onefile executables under Wine, with an application DLL that reports
// what it received (report_app.cpp).
#include "test_support.h"
#include "../common/report_format.h"

#include <aclapi.h>
#include <shlobj.h>
#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <sddl.h>

#include <map>
#include <sstream>

namespace {

Report readReport(const std::wstring& path)
{
    return parseReport(readFile(path));
}

std::vector<std::string> argumentsOf(const Report& report)
{
    std::vector<std::string> arguments;
    const auto [first, last] = report.equal_range("arg");
    for (auto it = first; it != last; ++it) arguments.push_back(it->second);
    return arguments;
}

std::wstring onefilePath(const wchar_t* name)
{
    return directoryOfThisProgram() + L"\\" + name + L".exe";
}

// The folder the application ran from; a report without it fails the test,
// so that no check of that folder can pass for want of a report.
std::wstring targetOf(const Report& report)
{
    if (report.count("dll") == 0) {
        ADD_FAILURE() << "the application wrote no report";
        return L"";
    }
    const std::wstring dll = fromUtf8(valueOf(report, "dll"));
    return dll.substr(0, dll.rfind(L'\\'));
}

// Removes a tree once whatever holds a file in it has let go.
bool removeWhenFree(const std::wstring& directory)
{
    for (int i = 0; i < 6000 && pathExists(directory); ++i) {
        removeTree(directory);
        if (pathExists(directory)) Sleep(10);
    }
    return !pathExists(directory);
}

bool isEmptyDirectory(const std::wstring& directory)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool empty = true;
    do {
        const std::wstring name = entry.cFileName;
        empty = empty && (name == L"." || name == L"..");
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return empty;
}

struct OnefileOutcome {
    ProcessResult result;
    Report report;
    std::string trace;  // the start's trace, when the test did not take it

    // What the start said, for a failed check of its exit code.
    std::string said() const
    {
        return "\nstandard output: " + result.out + "\nstandard error: " + result.err + "\ntrace:\n" + trace;
    }
};

class OnefileRun : public testing::Test {
protected:
    OnefileOutcome run(const wchar_t* executable, const std::vector<std::wstring>& arguments,
                       EnvironmentChanges changes = {}, const std::wstring& argv0 = L"")
    {
        const std::wstring path = onefilePath(executable);
        std::wstring line = quoteForCommandLine(argv0.empty() ? path : argv0);
        for (const std::wstring& argument : arguments) line += L" " + quoteForCommandLine(argument);
        changes.emplace_back(L"ONEFILE_TEST_REPORT", reportPath.c_str());
        const bool traced = std::any_of(changes.begin(), changes.end(), [](const auto& change) {
            return change.first == L"MERLOX_ONEFILE_TRACE_FILE";
        });
        const std::wstring trace = traces.path() + L"\\trace.txt";
        if (!traced) changes.emplace_back(L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str());
        OnefileOutcome outcome{runProcess(path, line, changes), {}, {}};
        if (pathExists(reportPath)) outcome.report = readReport(reportPath);
        DeleteFileW(reportPath.c_str());
        if (!traced) outcome.trace = readFile(trace);
        DeleteFileW(trace.c_str());
        return outcome;
    }

    // Starts report_onefile, its application reporting to reportPath and
    // then waiting until `release` (made here) is deleted.
    PROCESS_INFORMATION startWaitingReport(const std::wstring& release, const wchar_t* name = L"report_onefile")
    {
        writeFile(release, "");
        const std::wstring exe = onefilePath(name);
        return startProcess(exe, quoteForCommandLine(exe) + L" --app-wait=" + quoteForCommandLine(release),
                            {{L"ONEFILE_TEST_REPORT", reportPath.c_str()}});
    }

    ScratchDirectory scratch;
    ScratchDirectory traces{L"traces"};
    const std::wstring reportPath = scratch.path() + L"\\report.txt";
};

TEST_F(OnefileRun, ArgumentsAndVariablesArriveAsTheBootstrapSawThem)
{
    const std::vector<std::wstring> arguments = {L"plain",           L"two words",    L"",
                                                 L"say \"hi\"",      L"C:\\my dir\\", L"C:\\dir\\",
                                                 L"back\\\\\"slash", L"tab\there",    L"caf\u00e9 \u4e2d\u6587",
                                                 L"*.txt",           L"--app-exit=0"};
    // Started where "*.txt" matches a file: a runtime that expands
    // wildcards would pass "match.txt" instead.
    writeFile(scratch.path() + L"\\match.txt", "");
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(scratch.path().c_str());
    const OnefileOutcome outcome =
        run(L"report_onefile", arguments, {{L"MERLOX_ONEFILE_START", L"stale"}}, L"typed-name");
    SetCurrentDirectoryW(previous);
    ASSERT_EQ(outcome.result.exitCode, 0u) << outcome.said();
    EXPECT_EQ(outcome.result.out + outcome.result.err, "");

    std::vector<std::string> expected = {toUtf8(onefilePath(L"report_onefile"))};
    for (const std::wstring& argument : arguments) expected.push_back(toUtf8(argument));
    EXPECT_EQ(argumentsOf(outcome.report), expected);

    const Report& report = outcome.report;
    EXPECT_EQ(valueOf(report, "MERLOX_ORIGINAL_ARGV0"), "typed-name");
    EXPECT_EQ(valueOf(report, "MERLOX_ONEFILE_DIRECTORY"), toUtf8(directoryOfThisProgram()));
    EXPECT_EQ(valueOf(report, "MERLOX_ONEFILE_START"), "(unset)");
    const std::string parent = valueOf(report, "MERLOX_ONEFILE_PARENT");
    const std::string micro = valueOf(report, "MERLOX_ONEFILE_TIME_US");
    const std::string random = valueOf(report, "MERLOX_ONEFILE_RANDOM");
    EXPECT_NE(parent, valueOf(report, "pid"));
    EXPECT_EQ(micro.size(), 6u);
    EXPECT_EQ(random.size(), 11u);
    const std::wstring target =
        temporaryDirectory() + L"\\onefile_" + fromUtf8(parent) + L"_" + fromUtf8(micro) + L"_" + fromUtf8(random);
    EXPECT_EQ(targetOf(report), target);
    EXPECT_FALSE(pathExists(target)) << "the target directory must be gone after the run";
}

// The application's runtime splits what the user typed exactly as a plain
// program's runtime does: the bootstrap passes it on without splitting it.
TEST_F(OnefileRun, CommandLinesArriveAsAPlainProgramSplitsThem)
{
    const std::wstring exe = onefilePath(L"report_onefile");
    for (const std::wstring tail : {L"\"a\"\"b\" x", L"\"\"\"a b\"\"\" c", L"\"a\"\"\"b c", L"x \"\" \"a\"\"\" y",
                                    L"  lead\ttab  \"in \\\"side\\\\\" \\\\\"", L"\"unclosed arg"}) {
        const ProcessResult plain =
            runProcess(probePath(), quoteForCommandLine(probePath()) + L" print-arguments " + tail);
        std::vector<std::string> expected = {toUtf8(exe)};
        std::istringstream lines(plain.out);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            expected.push_back(decodeHex(line));
        }
        const std::wstring line = quoteForCommandLine(exe) + L" " + tail;
        const ProcessResult result = runProcess(exe, line, {{L"ONEFILE_TEST_REPORT", reportPath.c_str()}});
        ASSERT_EQ(result.exitCode, 0u) << toUtf8(tail) << result.err;
        EXPECT_EQ(argumentsOf(readReport(reportPath)), expected) << toUtf8(tail);
        DeleteFileW(reportPath.c_str());
    }
}

// Nobody but the user, SYSTEM and the Administrators gets an entry on the
// target or a folder in it: a shared temporary directory's entries are not
// inherited. (Wine reads a DACL back from the Unix modes, without its
// protected flag.)
TEST_F(OnefileRun, TargetGrantsNoOtherUsers)
{
    const std::wstring release = scratch.path() + L"\\release";
    const PROCESS_INFORMATION running = startWaitingReport(release);
    ASSERT_TRUE(waitForPath(reportPath));
    const std::wstring target = targetOf(readReport(reportPath));
    for (const std::wstring& path : {target, target + L"\\data"}) {
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &dacl, nullptr, &descriptor),
                  static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_NE(dacl, nullptr) << "a null DACL grants everyone everything";
        for (const wchar_t* others : {L"S-1-1-0", L"S-1-5-32-545", L"S-1-5-11"}) {  // Everyone, Users, Authenticated
            PSID sid = nullptr;
            ConvertStringSidToSidW(others, &sid);
            for (DWORD i = 0; i < dacl->AceCount; ++i) {
                ACCESS_ALLOWED_ACE* ace = nullptr;
                ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
                EXPECT_FALSE(EqualSid(&ace->SidStart, sid)) << toUtf8(path) << " grants " << toUtf8(others);
            }
            LocalFree(sid);
        }
        LocalFree(descriptor);
    }
    DeleteFileW(release.c_str());
    EXPECT_EQ(WaitForSingleObject(running.hProcess, 60000), WAIT_OBJECT_0);
    CloseHandle(running.hProcess);
    EXPECT_FALSE(pathExists(target));
}

// Built with --temp-dir: the run's folder lies below the chosen parent
// (made when missing), a start from inside the application re-enters it,
// and it is gone afterwards.
TEST_F(OnefileRun, RunsUnpackBelowTheParentTheyWereBuiltWith)
{
    wchar_t cache[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, cache), S_OK);
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"report_cache_onefile", std::wstring(cache) + L"\\onefile_tests\\runs"},
        {L"report_beside_onefile", directoryOfThisProgram() + L"\\.run"},
    };
    for (const auto& [executable, parent] : cases) {
        const std::wstring second = scratch.path() + L"\\second.txt";
        const OnefileOutcome outcome = run(executable, {L"--app-reenter=" + second});
        ASSERT_EQ(outcome.result.exitCode, 0u) << outcome.said();
        const std::wstring target = targetOf(outcome.report);
        EXPECT_EQ(target.rfind(parent + L"\\onefile_", 0), 0u) << toUtf8(target);
        EXPECT_EQ(targetOf(readReport(second)), target) << "the nested start re-enters the same folder";
        EXPECT_FALSE(pathExists(target));
        EXPECT_TRUE(isDirectory(parent));
        DeleteFileW(second.c_str());
    }
}

TEST_F(OnefileRun, ExitCodesPassThroughUnchanged)
{
    for (const DWORD code : {0u, 3u, 255u, 256u, 259u, 0xFFFFFFFFu}) {
        const OnefileOutcome outcome = run(L"report_onefile", {L"--app-exit=" + std::to_wstring(code)});
        EXPECT_EQ(outcome.result.exitCode, code) << outcome.said();
        EXPECT_FALSE(pathExists(targetOf(outcome.report))) << code;
    }
    // A crash keeps its code, and is named in one line and in the trace.
    const OnefileOutcome crashed = run(L"report_onefile", {L"--app-crash"});
    EXPECT_EQ(crashed.result.exitCode, 0xC0000005u) << crashed.said();
    EXPECT_FALSE(pathExists(targetOf(crashed.report)));
    const std::string named = "the application ended with exception 0xC0000005 (access violation)";
    EXPECT_NE(crashed.result.err.find(named), std::string::npos) << crashed.said();
    EXPECT_NE(crashed.trace.find(named), std::string::npos) << crashed.said();
}

TEST_F(OnefileRun, SecondStartFromInsideTheApplicationReusesTheDirectory)
{
    const std::wstring secondReport = scratch.path() + L"\\second.txt";
    const OnefileOutcome outcome = run(L"report_onefile", {L"--app-reenter=" + secondReport, L"--app-exit=4"});
    ASSERT_EQ(outcome.result.exitCode, 4u) << outcome.said();
    ASSERT_TRUE(pathExists(secondReport));
    const Report second = readReport(secondReport);
    EXPECT_EQ(valueOf(second, "dll"), valueOf(outcome.report, "dll"));
    EXPECT_EQ(valueOf(second, "MERLOX_ONEFILE_PARENT"), valueOf(outcome.report, "MERLOX_ONEFILE_PARENT"));
    EXPECT_EQ(argumentsOf(second).back(), "start here");
}

TEST_F(OnefileRun, UnacceptedParentGivesAFreshStart)
{
    const std::wstring notOurs = std::to_wstring(GetCurrentProcessId());  // a live process of another executable
    for (const std::wstring& parent : {std::wstring(), std::wstring(L"abc"), std::wstring(L"12x"),
                                       std::wstring(L"99999999999"), std::wstring(L"4000000000"), notOurs}) {
        const OnefileOutcome outcome = run(L"report_onefile", {},
                                           {{L"MERLOX_ONEFILE_PARENT", parent.c_str()},
                                            {L"MERLOX_ONEFILE_RANDOM", L"inheritedXX"},
                                            {L"MERLOX_ONEFILE_TIME_US", L"123456"}});
        ASSERT_EQ(outcome.result.exitCode, 0u) << toUtf8(parent) << outcome.said();
        const std::string seen = valueOf(outcome.report, "MERLOX_ONEFILE_PARENT");
        EXPECT_NE(seen, toUtf8(parent));
        EXPECT_EQ(seen.find_first_not_of("0123456789"), std::string::npos) << seen;
        EXPECT_NE(valueOf(outcome.report, "MERLOX_ONEFILE_RANDOM"), "inheritedXX");
        EXPECT_EQ(targetOf(outcome.report).find(L"inheritedXX"), std::wstring::npos);
    }
}

TEST_F(OnefileRun, FileHeldOpenKeepsTheDirectoryAndTheExitCode)
{
    const std::wstring release = scratch.path() + L"\\release";
    writeFile(release, "");
    const OnefileOutcome outcome = run(L"report_onefile", {L"--app-hold=data\\held.txt", L"--app-exit=5"},
                                       {{L"ONEFILE_TEST_RELEASE", release.c_str()}});
    EXPECT_EQ(outcome.result.exitCode, 5u) << outcome.said();
    EXPECT_EQ(outcome.result.out + outcome.result.err, "");
    const std::wstring target = targetOf(outcome.report);
    EXPECT_TRUE(pathExists(target + L"\\data\\held.txt")) << "deletion cannot succeed while the file is held";
    DeleteFileW(release.c_str());  // the holder lets go
    EXPECT_TRUE(removeWhenFree(target));
}

// A start without a splash pays for no windowing system, no COM and no
// shell: the bootstrap's own modules, looked at while the application runs.
// The bootstrap's own modules while its application runs: a start without
// a splash binds no windowing, COM or shell DLL; one with a splash does
// (here without a display: the window fails, the binding happened).
TEST_F(OnefileRun, AStartWithoutASplashLoadsNoWindowingComOrShell)
{
    const auto modulesWhileRunning = [&](const wchar_t* name) {
        DeleteFileW(reportPath.c_str());
        const std::wstring release = scratch.path() + L"\\release";
        const PROCESS_INFORMATION bootstrap = startWaitingReport(release, name);
        std::vector<std::string> loaded;
        EXPECT_TRUE(waitForPath(reportPath));
        HMODULE modules[512];
        DWORD bytes = 0;
        EXPECT_TRUE(K32EnumProcessModules(bootstrap.hProcess, modules, sizeof modules, &bytes));
        for (DWORD i = 0; i < bytes / sizeof(HMODULE); ++i) {
            wchar_t module[MAX_PATH] = L"";
            K32GetModuleBaseNameW(bootstrap.hProcess, modules[i], module, MAX_PATH);
            std::string lower = toUtf8(module);
            for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            loaded.push_back(lower);
        }
        DeleteFileW(release.c_str());
        EXPECT_EQ(WaitForSingleObject(bootstrap.hProcess, 60000), WAIT_OBJECT_0);
        CloseHandle(bootstrap.hProcess);
        CloseHandle(bootstrap.hThread);
        return loaded;
    };
    const auto has = [](const std::vector<std::string>& loaded, const char* module) {
        return std::find(loaded.begin(), loaded.end(), module) != loaded.end();
    };
    const std::vector<std::string> plain = modulesWhileRunning(L"report_onefile");
    EXPECT_TRUE(has(plain, "kernel32.dll"));
    for (const char* unwanted : {"ole32.dll", "user32.dll", "gdi32.dll", "shell32.dll"}) {
        EXPECT_FALSE(has(plain, unwanted)) << unwanted;
    }
    const std::vector<std::string> splash = modulesWhileRunning(L"splash_onefile");
    for (const char* wanted : {"ole32.dll", "user32.dll", "gdi32.dll"}) {
        EXPECT_TRUE(has(splash, wanted)) << wanted;
    }
}

// A DLL at the top of the payload is found by name, as applications load
// their plugins: through the standard search order and through the
// default directories.
TEST_F(OnefileRun, PluginsInThePayloadAreLoadedByName)
{
    for (const wchar_t* option : {L"--app-load=report_plugin.dll", L"--app-load-ex=report_plugin.dll"}) {
        const OnefileOutcome outcome = run(L"plugin_onefile", {option});
        EXPECT_EQ(outcome.result.exitCode, 60u) << toUtf8(option) << outcome.said();
    }
}

// A hard kill (task manager, an updater) runs no cleanup: the job the child
// runs in takes it along, but not what the application itself started.
TEST_F(OnefileRun, KilledBootstrapTakesTheApplicationButNotWhatItStarted)
{
    const std::wstring release = scratch.path() + L"\\release";
    const std::wstring spawnedReport = scratch.path() + L"\\spawned.txt";
    writeFile(release, "");
    const std::wstring exe = onefilePath(L"report_onefile");
    const PROCESS_INFORMATION bootstrap =
        startProcess(exe,
                     quoteForCommandLine(exe) + L" --app-spawn=" + quoteForCommandLine(spawnedReport) +
                         L" --app-wait=" + quoteForCommandLine(release),
                     {{L"ONEFILE_TEST_REPORT", reportPath.c_str()}, {L"ONEFILE_TEST_RELEASE", release.c_str()}});
    ASSERT_TRUE(waitForPath(reportPath) && waitForPath(spawnedReport));
    const Report report = readReport(reportPath);
    const auto openByReport = [](const Report& r) {
        return OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(valueOf(r, "pid"))));
    };
    const HANDLE application = openByReport(report);
    const HANDLE spawned = openByReport(readReport(spawnedReport));
    ASSERT_NE(application, nullptr);
    ASSERT_NE(spawned, nullptr);

    TerminateProcess(bootstrap.hProcess, 9);
    EXPECT_EQ(WaitForSingleObject(application, 30000), WAIT_OBJECT_0) << "the application outlived its bootstrap";
    EXPECT_EQ(WaitForSingleObject(spawned, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "a process it started was killed";

    DeleteFileW(release.c_str());
    EXPECT_EQ(WaitForSingleObject(spawned, 30000), WAIT_OBJECT_0);
    for (const HANDLE handle : {application, spawned, bootstrap.hProcess}) CloseHandle(handle);
    // The killed run's proof of life went with it, and nothing uses its
    // files any more: a start removes them, even one whose application
    // returns at once (its upkeep worker does, after it; started on NUL, as
    // no worker starts when standard error is a pipe). A worker that finds
    // another test's start sweeping the same folder leaves it to that one, so
    // a few starts are given, each waited for with its worker.
    const std::wstring trace = scratch.path() + L"\\trace";
    for (int start = 0; start < 3 && pathExists(targetOf(report)); ++start) {
        DeleteFileW(trace.c_str());
        const PROCESS_INFORMATION quick =
            startProcess(exe, quoteForCommandLine(exe), {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
        DWORD exitCode = 1;
        EXPECT_EQ(WaitForSingleObject(quick.hProcess, 120000), WAIT_OBJECT_0);
        GetExitCodeProcess(quick.hProcess, &exitCode);
        CloseHandle(quick.hProcess);
        EXPECT_EQ(exitCode, 0u) << readFile(trace);
        EXPECT_TRUE(waitForUpkeepWorkers(trace)) << readFile(trace);
    }
    EXPECT_FALSE(pathExists(targetOf(report))) << readFile(trace);
}

// Damage found after some files were written: the decode error, exit code
// 2, and nothing of the run left in the temporary directory.
TEST_F(OnefileRun, FailedExtractionLeavesNothingInTheTemporaryDirectory)
{
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"device_name_onefile", "a record name with a name Windows reserves for a device"},
        {L"checksum_cut_onefile", "checksum mismatch"},
        {L"truncated_data_onefile", "the frame ends early"},
    };
    for (const auto& [damaged, reason] : cases) {
        ScratchDirectory temp(L"temp");
        const OnefileOutcome outcome =
            run(damaged, {}, {{L"TEMP", temp.path().c_str()}, {L"TMP", temp.path().c_str()}});
        EXPECT_EQ(outcome.result.exitCode, 2u) << toUtf8(damaged) << outcome.said();
        EXPECT_EQ(outcome.result.out, std::string("Error, couldn't decode attached data. (") + reason + ")\r\n")
            << toUtf8(damaged);
        EXPECT_TRUE(isEmptyDirectory(temp.path())) << toUtf8(damaged);
    }
}

// The system cannot give a temporary directory this long (Wine's
// GetTempPathW stops at 260 characters): the expansion fails, and the target
// never lands at the root of the drive instead. With TEMP at the drive's
// root itself, the run works and its target goes like any other. (One test:
// both look at what is at the drive's root.)
TEST_F(OnefileRun, TemporaryDirectoryTooLongFailsAndOneAtADriveRootWorks)
{
    const auto rootEntries = [] {
        size_t count = 0;
        WIN32_FIND_DATAW entry;
        const HANDLE search = FindFirstFileW(L"C:\\onefile_*", &entry);
        if (search == INVALID_HANDLE_VALUE) return count;
        do ++count;
        while (FindNextFileW(search, &entry));
        FindClose(search);
        return count;
    };
    const size_t before = rootEntries();
    const std::wstring longTemp = scratch.path() + L"\\" + std::wstring(300, L't');
    const OnefileOutcome outcome =
        run(L"report_onefile", {}, {{L"TEMP", longTemp.c_str()}, {L"TMP", longTemp.c_str()}});
    EXPECT_EQ(outcome.result.exitCode, 3u) << outcome.said();
    EXPECT_EQ(outcome.result.err,
              "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n");
    EXPECT_TRUE(outcome.report.empty()) << "the application must not run";
    EXPECT_EQ(rootEntries(), before);

    const OnefileOutcome atRoot = run(L"report_onefile", {}, {{L"TEMP", L"C:\\"}, {L"TMP", L"C:\\"}});
    EXPECT_EQ(atRoot.result.exitCode, 0u) << atRoot.said();
    const std::wstring target = targetOf(atRoot.report);
    EXPECT_EQ(target.rfind(L"C:\\onefile_", 0), 0u) << toUtf8(target);
    EXPECT_FALSE(pathExists(target));
    EXPECT_EQ(rootEntries(), before);
}

// On a shared temporary directory anyone can create the target's name
// first; taking it over would run whatever was planted there.
TEST_F(OnefileRun, PlantedTargetDirectoryIsRefusedAndLeftAlone)
{
    const std::wstring planted = scratch.path() + L"\\onefile_1_000000_plantedXXXX";
    ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    writeFile(planted + L"\\evil.dll", "planted");
    const ProcessResult result = runProbe({L"create-target", planted});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(
        result.err.rfind("Error, couldn't create the target directory '" + toUtf8(planted) + "' ([Error 183] ", 0), 0u)
        << result.err;
    EXPECT_EQ(readFile(planted + L"\\evil.dll"), "planted");
    EXPECT_EQ(runProbe({L"create-target", scratch.path() + L"\\fresh"}).exitCode, 0u);
}

TEST_F(OnefileRun, BrokenApplicationsGiveTheirExactMessages)
{
    const OnefileOutcome notDll = run(L"not_a_dll_onefile", {});
    EXPECT_EQ(notDll.result.exitCode, 2u) << notDll.said();
    EXPECT_EQ(notDll.result.out, "");
    // The line names the DLL, and the system's text has no raw "%1" left.
    EXPECT_EQ(notDll.result.err.rfind("Error, load DLL '", 0), 0u) << notDll.result.err;
    EXPECT_NE(notDll.result.err.find("\\app.dll' ([Error 193] "), std::string::npos) << notDll.result.err;
    EXPECT_EQ(notDll.result.err.find('%'), std::string::npos) << notDll.result.err;

    const OnefileOutcome noEntry = run(L"no_entry_onefile", {});
    EXPECT_EQ(noEntry.result.exitCode, 2u) << noEntry.said();
    EXPECT_EQ(noEntry.result.out, "Error, DLL entry point not found.\r\n");

    // A block without files must not make the child start a child again.
    const OnefileOutcome noFiles = run(L"no_files_onefile", {});
    EXPECT_EQ(noFiles.result.exitCode, 2u) << noFiles.said();
    EXPECT_EQ(noFiles.result.out, "Error, attached data holds no file to run.\r\n");
}

// Another program (this test) that sets the variables a copy hands its
// child, naming a live copy and a folder it planted with a DLL, gets a
// fresh start: the variables never choose the DLL.
TEST_F(OnefileRun, VariablesSetByAnotherProgramNeverChooseTheDll)
{
    const std::wstring release = scratch.path() + L"\\release";
    const PROCESS_INFORMATION parent = startWaitingReport(release);
    ASSERT_TRUE(waitForPath(reportPath));
    const Report running = readReport(reportPath);
    DeleteFileW(reportPath.c_str());
    const std::wstring parentId = fromUtf8(valueOf(running, "MERLOX_ONEFILE_PARENT"));
    const std::wstring planted = temporaryDirectory() + L"\\onefile_" + parentId + L"_000000_plantedDll1";
    ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((directoryOfThisProgram() + L"\\e2e\\apps\\report\\report_app.dll").c_str(),
                          (planted + L"\\report_app.dll").c_str(), TRUE));
    // Held as a live run holds its folder, so that no sweep takes it.
    const HANDLE plantedHeld = CreateFileW(planted.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);

    const OnefileOutcome outcome = run(L"report_onefile", {},
                                       {{L"MERLOX_ONEFILE_PARENT", parentId.c_str()},
                                        {L"MERLOX_ONEFILE_TIME_US", L"000000"},
                                        {L"MERLOX_ONEFILE_RANDOM", L"plantedDll1"},
                                        {L"MERLOX_ONEFILE_UPKEEP", parentId.c_str()}});
    EXPECT_EQ(outcome.result.exitCode, 0u) << outcome.said();
    ASSERT_FALSE(outcome.report.empty());
    EXPECT_NE(targetOf(outcome.report), planted);
    // A fresh start of its own, and a start, not an upkeep worker.
    EXPECT_NE(valueOf(outcome.report, "MERLOX_ONEFILE_PARENT"), toUtf8(parentId));
    EXPECT_FALSE(pathExists(targetOf(outcome.report)));
    EXPECT_TRUE(pathExists(planted + L"\\report_app.dll"));
    CloseHandle(plantedHeld);
    removeTree(planted);

    // A launcher (this test) naming itself, with a handle to itself that
    // the start inherits: it is no copy of the executable, so the
    // application runs and ends with its own exit code.
    HANDLE self = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                                SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0));
    const std::wstring claim =
        std::to_wstring(GetCurrentProcessId()) + L":" + std::to_wstring(reinterpret_cast<ULONG_PTR>(self));
    const std::wstring trace = scratch.path() + L"\\trace.txt";
    const OnefileOutcome claimed =
        run(L"report_onefile", {L"--app-exit=42"},
            {{L"MERLOX_ONEFILE_UPKEEP", claim.c_str()}, {L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
    CloseHandle(self);
    EXPECT_EQ(claimed.result.exitCode, 42u) << claimed.said() << readFile(trace);
    EXPECT_FALSE(claimed.report.empty()) << readFile(trace);
    EXPECT_NE(readFile(trace).find("MERLOX_ONEFILE_UPKEEP ignored: the process that created this one is no copy"),
              std::string::npos)
        << readFile(trace);

    DeleteFileW(release.c_str());
    EXPECT_EQ(WaitForSingleObject(parent.hProcess, 60000), WAIT_OBJECT_0);
    CloseHandle(parent.hProcess);
}

// A creation of the child that fails in a way that can pass is made again;
// one that cannot is not (the tests' build of the bootstrap fails them on
// demand).
TEST_F(OnefileRun, ChildCreationIsRetriedOnlyWhenItCanPass)
{
    const std::wstring trace = scratch.path() + L"\\trace.txt";
    const auto runFailing = [&](const wchar_t* failures) {
        DeleteFileW(trace.c_str());
        return run(L"fault_onefile", {L"--app-exit=5"},
                   {{L"ONEFILE_TEST_CREATION_FAILURES", failures}, {L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
    };
    OnefileOutcome outcome = runFailing(L"1359,1359");
    EXPECT_EQ(outcome.result.exitCode, 5u) << outcome.said() << readFile(trace);
    std::string lines = readFile(trace);
    EXPECT_NE(lines.find("child: its creation failed ([Error 1359]); trying again (1 of 4)"), std::string::npos)
        << lines;
    EXPECT_NE(lines.find("child: its creation failed ([Error 1359]); trying again (2 of 4)"), std::string::npos)
        << lines;

    outcome = runFailing(L"5");
    EXPECT_EQ(outcome.result.exitCode, 2u) << lines << outcome.said();
    EXPECT_EQ(outcome.result.err.rfind("Error, couldn't launch child ([Error 5] ", 0), 0u) << outcome.result.err;
    lines = readFile(trace);
    EXPECT_EQ(lines.find("trying again"), std::string::npos) << lines;
    // A failed start's line is its trace's last word too.
    EXPECT_NE(lines.find("Error, couldn't launch child ([Error 5] "), std::string::npos) << lines;
    EXPECT_TRUE(outcome.report.empty());

    // The bound: five attempts, then the start fails with the last error.
    outcome = runFailing(L"1359,1359,1359,1359,1359");
    EXPECT_EQ(outcome.result.exitCode, 2u) << readFile(trace) << outcome.said();
    EXPECT_EQ(outcome.result.err.rfind("Error, couldn't launch child ([Error 1359] ", 0), 0u) << outcome.result.err;
    // The SDK's bootstrap knows no such variable.
    EXPECT_EQ(readFile(onefilePath(L"report_onefile")).find("ONEFILE_TEST_CREATION_FAILURES"), std::string::npos);
    EXPECT_NE(readFile(onefilePath(L"fault_onefile")).find("ONEFILE_TEST_CREATION_FAILURES"), std::string::npos);
}

// An application packed does what it does loaded by a plain program
// (unpacked_host): each way it can end, its standard streams, its
// arguments, its folder's listing and what it was started with (show
// state, current directory; priority and error mode too, which Wine hands
// no child), windowed, console and from the cache. The differences the README lists stay aside: argument 0 and the
// run folder; a crash's line.
TEST_F(OnefileRun, APackedApplicationBehavesAsItDoesUnpacked)
{
    struct Outcome {
        DWORD exitCode = 0;
        std::string out, err;
        Report report;
    };
    int runs = 0;
    // Unelevated, through the linked token, for the cache: an elevated
    // start never uses it.
    const auto startWith = [&](const std::wstring& exe, const std::wstring& arguments, const std::string& input,
                               bool unelevated = false) {
        const std::wstring base = scratch.path() + L"\\run" + std::to_wstring(++runs);
        writeFile(base + L".in", input);
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        const auto open = [&](const wchar_t* suffix, DWORD access, DWORD disposition) {
            return CreateFileW((base + suffix).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               disposition, 0, nullptr);
        };
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOWMINNOACTIVE;
        startup.hStdInput = open(L".in", GENERIC_READ, OPEN_EXISTING);
        startup.hStdOutput = open(L".out", GENERIC_WRITE, CREATE_ALWAYS);
        startup.hStdError = open(L".err", GENERIC_WRITE, CREATE_ALWAYS);
        const std::wstring report = base + L".report";
        ScopedEnvironment environment(EnvironmentChanges{{L"ONEFILE_TEST_REPORT", report.c_str()}});
        std::wstring line = quoteForCommandLine(exe) + L" " + arguments;
        PROCESS_INFORMATION process = {};
        HANDLE token = nullptr;
        TOKEN_LINKED_TOKEN linked = {};
        DWORD length = 0;
        EXPECT_TRUE(!unelevated || (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                                    GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &length)));
        EXPECT_TRUE(createRetrying([&] {
            return CreateProcessAsUserW(linked.LinkedToken, exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        BELOW_NORMAL_PRIORITY_CLASS, nullptr, scratch.path().c_str(), &startup,
                                        &process);
        }));
        if (token != nullptr) CloseHandle(token);
        if (linked.LinkedToken != nullptr) CloseHandle(linked.LinkedToken);
        Outcome outcome;
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
        GetExitCodeProcess(process.hProcess, &outcome.exitCode);
        for (const HANDLE handle :
             {process.hProcess, process.hThread, startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
            CloseHandle(handle);
        }
        outcome.out = readFile(base + L".out");
        outcome.err = readFile(base + L".err");
        outcome.report = parseReport(readFile(report));
        return outcome;
    };
    const struct {
        const char* what;
        std::wstring arguments;
        std::string input;
        bool consoleOnly;  // abort() of a windowed program shows a box
    } rows[] = {
        {"run_code returns", L"--app-exit=5", "", false},
        {"exit()", L"--app-exit-call=6", "", false},
        {"abort()", L"--app-abort", "", true},
        {"an unhandled exception", L"--app-crash", "", false},
        {"ExitProcess from another thread", L"--app-exit-thread=9", "", false},
        {"standard input to its end", L"--app-cat", std::string("two\nlines\0and a zero", 22), true},
        {"quotes, backslashes and non-ASCII text", L"\"a b\" c\\\"d \"e\\\\\" \\\\server \u00fc\u4e2d --app-exit=0", "",
         false},
    };
    const std::wstring dll = directoryOfThisProgram() + L"\\e2e\\apps\\report\\report_app.dll";
    // The cached executable copied in: its versions go below the scratch folder.
    const std::wstring cached = scratch.path() + L"\\cached.exe";
    ASSERT_TRUE(CopyFileW(onefilePath(L"cached_report_onefile").c_str(), cached.c_str(), TRUE));
    const struct {
        const char* what;
        std::wstring packed;
        bool console, unelevated;
    } modes[] = {
        {" (windowed)", onefilePath(L"report_onefile"), false, false},
        {" (console)", onefilePath(L"report_console_onefile"), true, false},
        {" (cached)", cached, false, true},
    };
    for (const auto& mode : modes) {
        const bool console = mode.console;
        const std::wstring host =
            directoryOfThisProgram() + (console ? L"\\unpacked_host.exe" : L"\\unpacked_host_windowed.exe");
        for (const auto& row : rows) {
            if (row.consoleOnly && !console) continue;
            const std::string what = std::string(row.what) + mode.what;
            const Outcome p = startWith(mode.packed, row.arguments, row.input, mode.unelevated);
            const Outcome u = startWith(host, quoteForCommandLine(dll) + L" " + row.arguments, row.input);
            EXPECT_EQ(p.exitCode, u.exitCode) << what << "\npacked: " << p.err << "\nunpacked: " << u.err;
            EXPECT_EQ(p.out, u.out) << what;
            // The packed one names a crash in one line of its own.
            std::string packedErr = p.err;
            const size_t crash = packedErr.find("the application ended with exception");
            if (crash != std::string::npos) packedErr.erase(crash, packedErr.find('\n', crash) + 1 - crash);
            EXPECT_EQ(packedErr, u.err) << what;
            if (mode.unelevated) {
                EXPECT_EQ(valueOf(p.report, "run_mode"), "1") << what << ": not from the cache";
            }
            // "files": the application's own listing of its folder, exactly the payload.
            for (const char* key : {"cwd", "show", "priority", "error_mode", "files"}) {
                EXPECT_EQ(valueOf(p.report, key), valueOf(u.report, key)) << what << ": " << key;
            }
            std::vector<std::string> packedArgs, hostArgs;
            for (auto [at, end] = p.report.equal_range("arg"); at != end; ++at) packedArgs.push_back(at->second);
            for (auto [at, end] = u.report.equal_range("arg"); at != end; ++at) hostArgs.push_back(at->second);
            ASSERT_FALSE(packedArgs.empty()) << what;
            ASSERT_FALSE(hostArgs.empty()) << what;
            EXPECT_EQ(std::vector<std::string>(packedArgs.begin() + 1, packedArgs.end()),
                      std::vector<std::string>(hostArgs.begin() + 1, hostArgs.end()))
                << what;
        }
    }
}

// Twenty starts appending to one trace file at once, at a drive's root:
// every line arrives whole.
TEST_F(OnefileRun, TraceLinesOfStartsAtOnceArriveWhole)
{
    const std::wstring trace = L"C:\\onefile-trace-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(trace.c_str());
    const std::wstring exe = onefilePath(L"report_onefile");
    std::vector<PROCESS_INFORMATION> starts;
    for (int i = 0; i < 20; ++i) {
        starts.push_back(startProcess(exe, quoteForCommandLine(exe), {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}}));
    }
    for (const PROCESS_INFORMATION& start : starts) {
        EXPECT_EQ(WaitForSingleObject(start.hProcess, 120000), WAIT_OBJECT_0);
        CloseHandle(start.hProcess);
    }
    const std::string lines = readFile(trace);
    DeleteFileW(trace.c_str());
    size_t count = 0, ended = 0;
    for (size_t at = 0; at < lines.size(); ++count) {
        const size_t end = lines.find('\n', at);
        const std::string line = lines.substr(at, end == std::string::npos ? std::string::npos : end - at);
        EXPECT_EQ(line.rfind("onefile[", 0), 0u) << line;
        EXPECT_NE(line.find(" ms: "), std::string::npos) << line;
        ended += line.find("cleanup done") != std::string::npos;
        at = end == std::string::npos ? lines.size() : end + 1;
    }
    EXPECT_EQ(ended, 20u) << lines;
    EXPECT_GE(count, 20u * 7) << lines;
}

// A trace file whose lock byte another process holds still takes every
// start's lines, and a file that is no trace (a DLL, a read-only trace) is
// left as it was while the start runs untraced, saying so once.
TEST_F(OnefileRun, TheTraceNeverHoldsAStartUpNorWritesIntoWhatIsNotATrace)
{
    const std::wstring exe = onefilePath(L"report_onefile");
    const std::wstring trace = scratch.path() + L"\\trace.txt";
    const struct {
        const char* what;
        std::string content;
        DWORD attributes;
        bool lockHeld;
        bool traced;
    } cases[] = {
        {"the lock byte held", "", FILE_ATTRIBUTE_NORMAL, true, true},
        {"a DLL", "MZ\x90\0 a system DLL", FILE_ATTRIBUTE_NORMAL, false, false},
        {"a read-only trace", "onefile[1] 0 ms: fresh start\n", FILE_ATTRIBUTE_READONLY, false, false},
    };
    for (const auto& c : cases) {
        SetFileAttributesW(trace.c_str(), FILE_ATTRIBUTE_NORMAL);
        writeFile(trace, c.content);
        SetFileAttributesW(trace.c_str(), c.attributes);
        const HANDLE holder = CreateFileW(trace.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        OVERLAPPED lockAt = {};
        lockAt.OffsetHigh = 0x7fffffff;
        ASSERT_TRUE(!c.lockHeld || LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt)) << c.what;
        const ProcessResult run =
            runProcess(exe, quoteForCommandLine(exe), {{L"MERLOX_ONEFILE_TRACE_FILE", trace.c_str()}});
        CloseHandle(holder);
        EXPECT_EQ(run.exitCode, 0u) << c.what << run.err;
        const std::string after = readFile(trace);
        if (c.traced) {
            EXPECT_NE(after.find("cleanup done"), std::string::npos) << c.what << after;
            // Waited for, then given up: no line of the start took the lock.
            EXPECT_NE(after.find("trace: its lock was held for 0.5 s"), std::string::npos) << c.what << after;
        } else {
            EXPECT_EQ(after, c.content) << c.what;
            EXPECT_NE(run.err.find("cannot be used"), std::string::npos) << c.what << run.err;
        }
    }
    SetFileAttributesW(trace.c_str(), FILE_ATTRIBUTE_NORMAL);
    // A Unix or relative path: refused with that reason, said once (by the
    // start, not by its child too).
    for (const wchar_t* path : {L"/tmp/onefile-trace.txt", L"trace.txt"}) {
        const ProcessResult run = runProcess(exe, quoteForCommandLine(exe), {{L"MERLOX_ONEFILE_TRACE_FILE", path}});
        EXPECT_EQ(run.exitCode, 0u) << run.err;
        const size_t said = run.err.find("is not an absolute Windows path");
        EXPECT_NE(said, std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("is not an absolute Windows path", said + 1), std::string::npos) << run.err;
    }
}

TEST_F(OnefileRun, ConsoleHandlerCleanupEndsTheChildAndRemovesTheTarget)
{
    // The application waits for a signal that never comes: the handler's
    // cleanup must end it.
    const std::wstring never = scratch.path() + L"\\never-deleted";
    writeFile(never, "");
    const OnefileOutcome outcome = run(L"console_cleanup_onefile", {L"--app-wait=" + never});
    EXPECT_EQ(outcome.result.exitCode, static_cast<DWORD>(STATUS_CONTROL_C_EXIT))
        << outcome.result.out << outcome.result.err;
    ASSERT_FALSE(outcome.report.empty()) << "the application had started";
    EXPECT_FALSE(pathExists(targetOf(outcome.report)));
}

// The handler's cleanup while the main thread still unpacks: the main
// thread closes its file and parks first, so no file written after the
// removal's last attempt is left.
TEST_F(OnefileRun, ConsoleHandlerCleanupWhileUnpackingLeavesNothing)
{
    ScratchDirectory temp(L"unpacking");
    const OnefileOutcome outcome = run(
        L"console_cleanup_bulky_onefile", {},
        {{L"TEMP", temp.path().c_str()}, {L"TMP", temp.path().c_str()}, {L"ONEFILE_TEST_INTERRUPT_UNPACKING", L"1"}});
    EXPECT_EQ(outcome.result.exitCode, static_cast<DWORD>(STATUS_CONTROL_C_EXIT))
        << outcome.result.out << outcome.result.err;
    EXPECT_TRUE(outcome.report.empty()) << "the application never started";
    EXPECT_TRUE(isEmptyDirectory(temp.path()));
}

}  // namespace
