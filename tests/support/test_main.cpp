#include <gtest/gtest.h>

// Wide entry, so that the runtime fills __wargv as it does for the bootstrap.
int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
