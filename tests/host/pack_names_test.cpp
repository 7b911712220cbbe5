#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// A folder is refused with all its problems at once, each naming its file
// by the path it was found at: at most 20 lines, then how many more.
TEST(PackTree, EveryProblemIsListedInOneRun)
{
    TempTree tree;
    writeBytes(tree / "app.dll", "MZ");
    fs::create_symlink(tree / "app.dll", tree / "link.dll");
    writeBytes(tree / "sub/what?.txt", "x");
    writeBytes(tree / "Data.txt", "x");
    writeBytes(tree / "data.txt", "x");
    try {
        pack::collectPayload(tree.path(), "app.dll");
        ADD_FAILURE() << "accepted";
    } catch (const pack::Error& error) {
        const std::string lines = error.what();
        for (const std::string& expected :
             {(tree / "link.dll").string() + ": is a symbolic link",
              (tree / "sub/what?.txt").string() + ": cannot be carried",
              std::string("ata.txt: differs only in letter case from " + tree.path().string())}) {
            EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\n" << lines;
        }
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    }
    // Past 20 lines, every kind still shows (the link and the case clash
    // met first among many bad names), then how many of each are left.
    for (int i = 0; i < 1025; ++i) writeBytes(tree / ("many/bad" + std::to_string(i) + "?.txt"), "x");
    try {
        pack::collectPayload(tree.path(), "app.dll");
        ADD_FAILURE() << "accepted";
    } catch (const pack::Error& error) {
        const std::string lines = error.what();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 20) << lines;
        EXPECT_NE(lines.find(": is a symbolic link"), std::string::npos) << lines;
        EXPECT_NE(lines.find(": differs only in letter case"), std::string::npos) << lines;
        EXPECT_NE(lines.find("\nand 1,008 more names Windows forbids"), std::string::npos) << lines;
    }
}

// --dereference: a link to a file inside the folder is carried as a copy of
// that file; one that leads outside, or to a folder, is still refused.
TEST(PackTree, DereferenceCarriesLinksToFilesInsideTheFolder)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ");
    writeBytes(tree / "in/data/real.txt", "real");
    writeBytes(tree / "outside.txt", "outside");
    fs::create_symlink(tree / "in/data/real.txt", tree / "in/copy.txt");
    pack::Payload payload = pack::collectPayload(tree / "in", "app.dll", true);
    ASSERT_EQ(payload.files.size(), 3u);
    EXPECT_EQ(payload.files[1].name, u"copy.txt");
    EXPECT_EQ(payload.files[1].source, fs::canonical(tree / "in/data/real.txt"));
    EXPECT_EQ(payload.files[1].size, 4u);

    fs::create_symlink(tree / "outside.txt", tree / "in/out.txt");
    fs::create_directory_symlink(tree / "in/data", tree / "in/folder");
    fs::create_symlink("missing.txt", tree / "in/gone.txt");
    try {
        pack::collectPayload(tree / "in", "app.dll", true);
        ADD_FAILURE() << "accepted";
    } catch (const pack::Error& error) {
        const std::string lines = error.what();
        EXPECT_NE(lines.find((tree / "in/out.txt").string() + ": is a symbolic link to " +
                             (tree / "outside.txt").string() + ", which is no file inside the folder"),
                  std::string::npos)
            << lines;
        EXPECT_NE(lines.find((tree / "in/gone.txt").string() + ": is a dangling symbolic link to missing.txt (nothing "
                                                               "is there), which is no file inside the folder"),
                  std::string::npos)
            << lines;
        EXPECT_NE(lines.find((tree / "in/folder").string() + ": is a symbolic link to"), std::string::npos) << lines;
    }
}

}  // namespace
