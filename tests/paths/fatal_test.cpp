#include "test_support.h"

#include <gtest/gtest.h>

namespace {

// Windows text-mode streams end every line with CR LF.
TEST(FatalRoutines, FatalErrorWritesOneLineOnStandardOutput)
{
    const ProcessResult result = runProbe({L"fatal-error", L"X"});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.out, "X\r\n");
    EXPECT_EQ(result.err, "");
}

TEST(FatalRoutines, SystemErrorCarriesCodeAndSystemTextWithoutLineBreaks)
{
    const ProcessResult result = runProbe({L"fatal-system-error", L"Error, load DLL.", L"2"});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.out, "");
    const std::string prefix = "Error, load DLL. ([Error 2] ";
    ASSERT_EQ(result.err.compare(0, prefix.size(), prefix), 0) << result.err;
    ASSERT_GE(result.err.size(), prefix.size() + 4);
    EXPECT_EQ(result.err.substr(result.err.size() - 3), ")\r\n");
    const std::string text = result.err.substr(prefix.size(), result.err.size() - prefix.size() - 3);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text, "unknown error");
}

TEST(FatalRoutines, SystemErrorCodeIsSignedAndUnknownTextHasAFallback)
{
    // 0xE0001234 has the customer bit set: no system message exists for it.
    const ProcessResult result = runProbe({L"fatal-system-error", L"Error, couldn't launch child", L"0xE0001234"});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.err, "Error, couldn't launch child ([Error -536866252] unknown error)\r\n");
}

TEST(FatalRoutines, SpecExpansionFailureTerminatesWithExitCodeThree)
{
    const ProcessResult result = runProbe({L"fatal-spec", L"{HOME}"});
    EXPECT_EQ(result.err, "Error, couldn't runtime expand spec '{HOME}'.\r\n");
    EXPECT_EQ(result.out, "");
    // The abnormal end's exit code 3, given directly: the runtime's abort
    // could show a dialog.
    EXPECT_EQ(result.exitCode, 3u);
}

}  // namespace
