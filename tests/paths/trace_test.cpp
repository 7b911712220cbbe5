// Which trace file a start may append to: never a folder, a link or a
// read-only file, and only one that is empty or a trace of ours.
#include <gtest/gtest.h>

#include "paths/paths.h"

#include <string.h>

namespace {

TEST(TraceFile, OnlyAnEmptyFileOrATraceOfOursIsAppendedTo)
{
    const struct {
        const char* what;
        DWORD attributes;
        const char* head;
        bool usable;
    } cases[] = {
        {"none yet", INVALID_FILE_ATTRIBUTES, "", true},
        {"empty", FILE_ATTRIBUTE_ARCHIVE, "", true},
        {"a trace", FILE_ATTRIBUTE_NORMAL, "onefile[12] 0 ms: fresh start", true},
        {"a trace's prefix alone", FILE_ATTRIBUTE_NORMAL, "onefile[", true},
        {"one byte short of the prefix", FILE_ATTRIBUTE_NORMAL, "onefile", false},
        {"a DLL", FILE_ATTRIBUTE_NORMAL, "MZ\x90", false},
        {"text of another program", FILE_ATTRIBUTE_NORMAL, "onefile: hello", false},
        {"a read-only trace", FILE_ATTRIBUTE_READONLY, "onefile[1]", false},
        {"a folder", FILE_ATTRIBUTE_DIRECTORY, "", false},
        {"a link", FILE_ATTRIBUTE_REPARSE_POINT, "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isTraceFileUsable(c.attributes, c.head, strlen(c.head)), c.usable) << c.what;
    }
}

}  // namespace
