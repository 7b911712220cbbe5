#include "test_support.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <random>

#include "child_process/child_process.h"

namespace {

std::vector<std::wstring> splitWithThePlatform(const wchar_t* commandLine)
{
    int count = 0;
    wchar_t** split = CommandLineToArgvW(commandLine, &count);
    std::vector<std::wstring> arguments(split, split + count);
    LocalFree(split);
    return arguments;
}

// Whatever the argument, CommandLineToArgvW must give it back unchanged.
TEST(Quoting, GeneratedArgumentsRoundTripThroughCommandLineToArgvW)
{
    const std::wstring alphabet = L"ab \t\"\\\\\\\u00e9\u4e2d\n\v";
    std::mt19937 generator(4711);
    for (int round = 0; round < 500; ++round) {
        std::vector<std::wstring> arguments = {L"C:\\Program Files\\App\\app.exe"};
        const int count = 1 + static_cast<int>(generator() % 5);
        for (int i = 0; i < count; ++i) {
            std::wstring argument;
            const size_t length = generator() % 9;
            for (size_t k = 0; k < length; ++k) argument += alphabet[generator() % alphabet.size()];
            arguments.push_back(argument);
        }
        std::vector<wchar_t*> pointers;
        for (std::wstring& argument : arguments) pointers.push_back(argument.data());
        wcscpy(childExecutablePath, arguments[0].c_str());
        buildChildCommandLine(static_cast<int>(pointers.size()), pointers.data());
        // The program name is split by simpler rules of its own; keep it
        // free of quotes, as a module file name always is.
        EXPECT_EQ(splitWithThePlatform(childCommandLine), arguments) << toUtf8(childCommandLine);
    }
}

TEST(Quoting, WorkedForms)
{
    struct Case {
        const wchar_t* argument;
        const wchar_t* quoted;
    };
    const Case cases[] = {
        {L"plain", L"plain"},           {L"b c", L"\"b c\""},
        {L"", L"\"\""},                 {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"C:\\my dir\\", L"\"C:\\my dir\\\\\""}, {L"C:\\dir\\", L"C:\\dir\\"},
        {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},
    };
    for (const Case& c : cases) {
        clearChildCommandLine();
        appendQuotedArgument(c.argument);
        EXPECT_STREQ(childCommandLine, c.quoted) << toUtf8(c.argument);
    }
}

TEST(Quoting, CommandLineBoundStopsTheProcess)
{
    // Near the 32767-unit limit of a command line the probe itself could
    // not be started; the bound is checked through the probe's own build.
    const ProcessResult result = runProbe({L"overlong-command-line"});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.err, "Error, the child's command line does not fit in 32768 characters.\r\n");
}

}  // namespace
