#include "test_support.h"

#include <gtest/gtest.h>
#include "child_process/child_process.h"

namespace {

// Argument 0 ends at the first blank or tab outside quotes; nothing escapes.
TEST(Quoting, ArgumentZeroEndsWhereTheRuntimeEndsIt)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"app.exe a b", L" a b"},
        {L"\"C:\\Program Files\\app.exe\" a", L" a"},
        {L"C:\\Pro\"gram Fi\"les\\app.exe\tx", L"\tx"},
        {L"\"a\\\"b c\" d", L" c\" d"},
        {L"app.exe", L""},
        {L"\"unclosed quote", L""},
        {L"", L""},
    };
    for (const auto& [line, rest] : cases) EXPECT_STREQ(skipArgumentZero(line), rest) << toUtf8(line);
    wcscpy(childExecutablePath, L"C:\\my dir\\app.exe");
    buildChildCommandLine(L"other.exe  \"a\"\"b\" x ");
    EXPECT_STREQ(childCommandLine, L"\"C:\\my dir\\app.exe\"  \"a\"\"b\" x ");
}

TEST(Quoting, WorkedForms)
{
    struct Case {
        const wchar_t* argument;
        const wchar_t* quoted;
    };
    const Case cases[] = {
        {L"plain", L"plain"},
        {L"b c", L"\"b c\""},
        {L"", L"\"\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"C:\\my dir\\", L"\"C:\\my dir\\\\\""},
        {L"C:\\dir\\", L"C:\\dir\\"},
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
