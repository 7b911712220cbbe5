#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(PackNames, WhatWindowsCannotHoldIsRefused)
{
    const std::u16string longest(pack::maxNameUnits, u'n');
    EXPECT_EQ(pack::nameProblem(longest), "");
    EXPECT_NE(pack::nameProblem(longest + u'n'), "");
    for (const std::u16string good : {u"a.dll", u"dir\\sub\\file.txt", u"\u00e9t\u00e9\\\U0001F600.txt", u"CONSOLE.txt",
                                      u"COM10", u".hidden", u"a..b"}) {
        EXPECT_EQ(pack::nameProblem(good), "") << pack::utf16ToUtf8(good);
    }
    for (const std::u16string bad : {u"",          u"\\lead", u"trail\\", u"a\\\\b",   u"a\\..\\b", u".",    u"a:b",
                                     u"a<b",       u"a>b",    u"a\"b",    u"a|b",      u"a?b",      u"a*b",  u"a/b",
                                     u"tab\tname", u"CON",    u"con.txt", u"dir\\nul", u"Com1.log", u"LPT9", u"COM0",
                                     u"lpt0.txt",  u"aux ",   u"dot.",    u"dir.\\x",  u"space \\x"}) {
        EXPECT_NE(pack::nameProblem(bad), "") << pack::utf16ToUtf8(bad);
    }
}

TEST(PackNames, Utf8RoundTripsAndInvalidBytesAreRefused)
{
    const std::string text = "caf\xc3\xa9 \xf0\x9f\x98\x80";
    EXPECT_EQ(pack::utf16ToUtf8(pack::utf8ToUtf16(text)), text);
    EXPECT_EQ(pack::utf8ToUtf16("\xf0\x9f\x98\x80").size(), 2u);
    for (const std::string bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80"}) {
        EXPECT_THROW(pack::utf8ToUtf16(bad), pack::Error);
    }
}

void expectRefusal(const fs::path& root, const std::string& entry, const std::string& fragment)
{
    try {
        pack::collectPayload(root, entry);
        ADD_FAILURE() << "accepted, expected: " << fragment;
    } catch (const pack::Error& error) {
        EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
    }
}

TEST(PackTree, EntryFirstThenNameOrderAndEmptyDirectoriesWarned)
{
    TempTree tree;
    for (const char* name : {"z.txt", "lib/b.dat", "app.dll", "lib/a.dat", "B.txt"}) writeBytes(tree / name, name);
    fs::create_directories(tree / "empty");
    const pack::Payload payload = pack::collectPayload(tree.path(), "app.dll");
    std::vector<std::u16string> names;
    for (const pack::FileEntry& file : payload.files) names.push_back(file.name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"app.dll", u"B.txt", u"lib\\a.dat", u"lib\\b.dat", u"z.txt"}));
    EXPECT_EQ(payload.emptyDirectories, std::vector<std::string>{"empty"});
    EXPECT_EQ(payload.files[2].size, 9u);
}

TEST(PackTree, RefusalsNameTheFileAndTheReason)
{
    struct Case {
        std::vector<std::string> files;  // besides app.dll
        std::string entry;
        std::string fragment;
    };
    const Case cases[] = {
        {{}, "missing.dll", "missing.dll: the entry DLL is not a file"},
        {{}, "", "the entry DLL is not a file"},
        {{"App.DLL"}, "app.dll", "differs only in letter case"},
        {{"data", "DATA/inner"}, "app.dll", "needs a directory of that name"},
        {{"back\\slash"}, "app.dll", "a backslash in a name"},
        {{"sub/what?.txt"}, "app.dll", "sub/what?.txt: cannot be carried: a character Windows forbids"},
        {{"nul.txt"}, "app.dll", "nul.txt: cannot be carried: a name Windows reserves"},
    };
    for (const Case& c : cases) {
        TempTree tree;
        writeBytes(tree / "app.dll", "MZ");
        for (const std::string& file : c.files) writeBytes(tree / file, "x");
        expectRefusal(tree.path(), c.entry, c.fragment);
    }
}

TEST(PackTree, LinksAndSpecialFilesAreRefused)
{
    TempTree linked;
    writeBytes(linked / "app.dll", "MZ");
    fs::create_symlink(linked / "app.dll", linked / "link.dll");
    expectRefusal(linked.path(), "app.dll", "link.dll: is a symbolic link");

    TempTree special;
    writeBytes(special / "app.dll", "MZ");
    ASSERT_EQ(mkfifo((special / "pipe").c_str(), 0600), 0);
    expectRefusal(special.path(), "app.dll", "pipe: is not a regular file");
}

}  // namespace
