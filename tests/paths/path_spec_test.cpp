#include "test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "paths/paths.h"

namespace {

const char* const sharedVariables[] = {"MERLOX_ONEFILE_PARENT", "MERLOX_ONEFILE_RANDOM", "MERLOX_ONEFILE_TIME_US",
                                       "MERLOX_ONEFILE_START"};

class PathSpec : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : sharedVariables) setEnvVar(name, nullptr);
    }
    void TearDown() override { SetUp(); }

    // Expands into a buffer with a guard zone behind `capacity`, which must
    // stay untouched.
    std::pair<bool, std::wstring> expand(const wchar_t* spec, size_t capacity = pathCapacity)
    {
        std::vector<wchar_t> buffer(capacity + 16, L'#');
        const bool expanded = expandPathSpec(buffer.data(), spec, capacity);
        for (size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], L'#') << "written past capacity";
        return {expanded, buffer.data()};
    }
};

std::wstring ownProcessId()
{
    return std::to_wstring(GetCurrentProcessId());
}

std::wstring folder(int id)
{
    wchar_t path[MAX_PATH];
    SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path);
    std::wstring text = path;
    while (!text.empty() && text.back() == L'\\') text.pop_back();
    return text;
}

TEST_F(PathSpec, GrammarOfLiteralsAndNames)
{
    struct Case {
        const wchar_t* spec;
        bool expanded;
        std::wstring output;
    };
    const Case cases[] = {
        {L"", true, L""},
        {L"{", true, L""},
        {L"plain\\text", true, L"plain\\text"},
        {L"ab{XYZ}cd", false, L"ab"},
        {L"ab{TEMP", true, L"ab"},
        {L"{AB{PID}", true, ownProcessId()},
        {L"{pid}-{Pid}", true, ownProcessId() + L"-" + ownProcessId()},
        {L"x{}y", false, L"x"},
        {L"{TEMP}\\onefile_x", true, temporaryDirectory() + L"\\onefile_x"},
        {L"{temp}", true, temporaryDirectory()},
        {L"{Temp}\\\\", true, temporaryDirectory() + L"\\\\"},
        {L"{HOME}", true, folder(CSIDL_PROFILE)},
        {L"{cache_dir}\\c", true, folder(CSIDL_LOCAL_APPDATA) + L"\\c"},
    };
    for (const Case& c : cases) {
        const auto [expanded, output] = expand(c.spec);
        EXPECT_EQ(expanded, c.expanded) << toUtf8(c.spec);
        EXPECT_EQ(output, c.output) << toUtf8(c.spec);
    }
}

TEST_F(PathSpec, LiteralsStopExactlyAtCapacity)
{
    EXPECT_EQ(expand(L"abc", 4), std::make_pair(true, std::wstring(L"abc")));
    EXPECT_EQ(expand(L"abcd", 4), std::make_pair(false, std::wstring(L"abc")));
    EXPECT_EQ(expand(L"ab", 4), std::make_pair(true, std::wstring(L"ab")));
    EXPECT_EQ(expand(L"", 1), std::make_pair(true, std::wstring()));
    EXPECT_EQ(expand(L"a", 1), std::make_pair(false, std::wstring()));
    EXPECT_FALSE(expandPathSpec(nullptr, L"a", 0));
}

TEST_F(PathSpec, PlaceholderValueFillsBufferExactly)
{
    setEnvVar("MERLOX_ONEFILE_PARENT", L"12345");
    EXPECT_EQ(expand(L"a{PID}", 7), std::make_pair(true, std::wstring(L"a12345")));
}

// Inserting nothing would put the target directory at the drive's root.
TEST_F(PathSpec, TemporaryDirectoryThatDoesNotFitFailsTheExpansion)
{
    EXPECT_EQ(expand(L"C:\\{TEMP}", 6), std::make_pair(false, std::wstring(L"C:\\")));
    const std::wstring temp = temporaryDirectory() + L"\\";
    // Exactly the room GetTempPathW needs (its text and terminator).
    EXPECT_EQ(expand(L"{TEMP}", temp.size() + 1), std::make_pair(true, temporaryDirectory()));
    EXPECT_EQ(expand(L"{TEMP}", temp.size()), std::make_pair(false, std::wstring()));
}

TEST_F(PathSpec, NameLongerThanItsBufferIsRefused)
{
    const std::wstring spec = L"ok{" + std::wstring(1500, L'T') + L"}";
    EXPECT_EQ(expand(spec.c_str()), std::make_pair(false, std::wstring(L"ok")));
}

TEST_F(PathSpec, ProgramFamilyCutsArgumentZero)
{
    wchar_t** const savedArgv = __wargv;
    const int savedArgc = __argc;
    struct Case {
        const wchar_t* argv0;
        const wchar_t* spec;
        const wchar_t* output;
    };
    const Case cases[] = {
        {L"C:\\apps\\Tool.EXE", L"{PROGRAM}", L"C:\\apps\\Tool.EXE"},
        {L"C:\\apps\\Tool.EXE", L"{PROGRAM_BASE}", L"C:\\apps\\Tool"},
        {L"C:\\apps\\Tool.EXE", L"{PROGRAM_DIR}\\x", L"C:\\apps\\x"},
        {L"tool.exe", L"{PROGRAM_DIR}", L"tool.exe"},
        {L"exe", L"{PROGRAM_BASE}", L"exe"},
        {L".exe", L"{PROGRAM_BASE}|", L"|"},
        {L"a/b/c.exe", L"{PROGRAM_DIR}", L"a/b/c.exe"},
        {L"rel\\app", L"{PROGRAM_BASE}", L"rel\\app"},
    };
    for (const Case& c : cases) {
        wchar_t* argv[] = {const_cast<wchar_t*>(c.argv0), nullptr};
        __wargv = argv;
        __argc = 1;
        const auto [expanded, output] = expand(c.spec);
        EXPECT_TRUE(expanded) << toUtf8(c.spec);
        EXPECT_EQ(output, c.output) << toUtf8(c.argv0) << " " << toUtf8(c.spec);
    }
    __wargv = savedArgv;
    __argc = savedArgc;
}

TEST_F(PathSpec, ProcessIdComesFromTheParentVariableWhenSet)
{
    setEnvVar("MERLOX_ONEFILE_PARENT", L"4711");
    EXPECT_EQ(expand(L"{PID}").second, L"4711");
    setEnvVar("MERLOX_ONEFILE_PARENT", L"");
    EXPECT_EQ(expand(L"{PID}").second, ownProcessId());
    wchar_t* stored = getEnvVar("MERLOX_ONEFILE_PARENT");
    EXPECT_EQ(stored, nullptr) << "PID must never write the variable";
    free(stored);
}

TEST_F(PathSpec, SharedValuesAreDrawnOnceAndStored)
{
    const std::wstring first = expand(L"{RANDOM}|{TIME_US}|{TIME}").second;
    const std::wstring second = expand(L"{RANDOM}|{TIME_US}|{TIME}").second;
    EXPECT_EQ(first, second);
    ASSERT_EQ(first.size(), 11u + 1 + 6 + 1 + 18);
    for (const wchar_t c : first.substr(0, 11)) EXPECT_TRUE(iswalnum(c) || c == L'-' || c == L'_');

    wchar_t* random = getEnvVar("MERLOX_ONEFILE_RANDOM");
    wchar_t* micro = getEnvVar("MERLOX_ONEFILE_TIME_US");
    wchar_t* start = getEnvVar("MERLOX_ONEFILE_START");
    ASSERT_TRUE(random && micro && start);
    EXPECT_EQ(first, std::wstring(random) + L"|" + micro + L"|" + start);
    free(random);
    free(micro);
    free(start);

    setEnvVar("MERLOX_ONEFILE_RANDOM", L"abc");
    setEnvVar("MERLOX_ONEFILE_TIME_US", L"not checked");
    EXPECT_EQ(expand(L"{RANDOM}_{TIME_US}").second, L"abc_not checked");
}

TEST_F(PathSpec, RandomTextAndTimesMatchWorkedValues)
{
    wchar_t text[32];
    encodeRandomText(1, text);
    EXPECT_STREQ(text, L"IQHFT9HQGrI");
    formatMicrosecondsOfSecond(133000000001234567LL, text);
    EXPECT_STREQ(text, L"123456");
    formatFileTime(133000000001234567LL, text);
    EXPECT_STREQ(text, L"133000000001234567");
    formatMicrosecondsOfSecond(420, text);
    EXPECT_STREQ(text, L"000042");
    EXPECT_NE(drawRandomSeed(), 0u);
}

// Routines that stop the process run in the probe.
TEST_F(PathSpec, BrokenBoundsStopTheProcess)
{
    const ProcessResult tooLong = runProbe({L"expand", L"a{PID}", L"6"}, {{L"MERLOX_ONEFILE_PARENT", L"12345"}});
    EXPECT_EQ(tooLong.exitCode, 2u);
    EXPECT_EQ(tooLong.out, "");
    EXPECT_EQ(tooLong.err, "Error, a path placeholder's value does not fit its buffer.\r\n");

    const ProcessResult notDigits = runProbe({L"expand", L"{PID}", L"100"}, {{L"MERLOX_ONEFILE_PARENT", L"47a1"}});
    EXPECT_EQ(notDigits.exitCode, 2u);
    EXPECT_EQ(notDigits.err, "Error, MERLOX_ONEFILE_PARENT holds a character that is not a digit.\r\n");

    const ProcessResult noArgv0 = runProbe({L"expand-without-argv0", L"{PROGRAM_DIR}"});
    EXPECT_EQ(noArgv0.exitCode, 2u);
    EXPECT_EQ(noArgv0.err, "Error, the command line has no argument 0.\r\n");

    const ProcessResult fits = runProbe({L"expand", L"a{PID}", L"7"}, {{L"MERLOX_ONEFILE_PARENT", L"12345"}});
    EXPECT_EQ(fits.exitCode, 0u);
    EXPECT_EQ(fits.out, "true a12345");
}

}  // namespace
