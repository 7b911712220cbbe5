#include "test_support.h"

#include <gtest/gtest.h>

#include "paths/paths.h"

namespace {

std::wstring readAndFree(wchar_t* value)
{
    std::wstring text = value != nullptr ? value : L"(null)";
    free(value);
    return text;
}

TEST(Environment, SetThenGetRoundTripsAndEmptyReadsAsUnset)
{
    EXPECT_TRUE(setEnvVar("ONEFILE_TEST_VALUE", L"v\u00e4lue with blanks"));
    EXPECT_EQ(readAndFree(getEnvVar("ONEFILE_TEST_VALUE")), L"v\u00e4lue with blanks");
    EXPECT_EQ(readAndFree(getEnvVarWide(L"ONEFILE_TEST_VALUE")), L"v\u00e4lue with blanks");

    setEnvVar("ONEFILE_TEST_VALUE", L"");
    EXPECT_EQ(getEnvVar("ONEFILE_TEST_VALUE"), nullptr);
    setEnvVar("ONEFILE_TEST_VALUE", nullptr);
    EXPECT_EQ(getEnvVar("ONEFILE_TEST_VALUE"), nullptr);
}

TEST(Environment, LargestValueTheSystemHoldsIsReturnedWhole)
{
    const std::wstring large(32766, L'x');
    ASSERT_TRUE(SetEnvironmentVariableW(L"ONEFILE_TEST_LARGE", large.c_str()));
    EXPECT_EQ(readAndFree(getEnvVar("ONEFILE_TEST_LARGE")), large);
    SetEnvironmentVariableW(L"ONEFILE_TEST_LARGE", nullptr);
}

TEST(Environment, NarrowNameOf39CharactersFitsAndOf40Stops)
{
    const std::wstring name39(39, L'N');
    const ProcessResult fits = runProbe({L"env-get", name39}, {{name39, L"found"}});
    EXPECT_EQ(fits.exitCode, 0u);
    EXPECT_EQ(fits.out, "found");

    const std::wstring name40(40, L'N');
    const ProcessResult tooLong = runProbe({L"env-get", name40}, {{name40, L"found"}});
    EXPECT_EQ(tooLong.exitCode, 2u);
    EXPECT_EQ(tooLong.out, "");
    EXPECT_EQ(tooLong.err, "Error, an environment variable name is longer than 39 characters.\r\n");
}

}  // namespace
