// `onefile-pack build`: from a folder or a block to an executable that runs.
#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class BuildCommand : public testing::Test {
protected:
    void SetUp() override
    {
        ONEFILE_REQUIRE(harnessAvailable() && std::getenv("ONEFILE_REPORT_APP_DIR") != nullptr, "no Windows build");
    }
    std::string pack = std::getenv("ONEFILE_PACK");
    std::string wine = std::getenv("ONEFILE_WINE_RUN");
};

TEST_F(BuildCommand, FolderBecomesARunningExecutableWithSystemImportsOnly)
{
    TempTree tree;
    // -o names exactly the file written: no ".exe" is added.
    const std::string exe = (tree / "app.exe").string();
    ASSERT_EQ(shell(shellQuote(pack) + " build --level 3 --entry report_app.dll -o " +
                    shellQuote((tree / "app").string()) + " " + shellQuote(std::getenv("ONEFILE_REPORT_APP_DIR")) +
                    " > /dev/null"),
              0);
    ASSERT_FALSE(fs::exists(exe));
    fs::rename(tree / "app", exe);
    EXPECT_EQ(std::distance(fs::directory_iterator(tree.path()), fs::directory_iterator()), 1)
        << "nothing else is left";
    EXPECT_EQ(shell(shellQuote(wine) + " " + shellQuote(exe) + " --app-exit=9 < /dev/null"), 9);
    EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_CHECK_IMPORTS")) + " shipped " + shellQuote(exe)), 0);
}

// Users ship these files: two builds of one folder are the same bytes, with
// no debug sections and no path of the machine that built them.
TEST_F(BuildCommand, ReleaseExecutablesAreReproducibleAndCarryNoBuildPaths)
{
    TempTree tree;
    std::string built[2];
    for (int i = 0; i < 2; ++i) {
        const std::string exe = (tree / ("app" + std::to_string(i) + ".exe")).string();
        ASSERT_EQ(shell("env -u SOURCE_DATE_EPOCH " + shellQuote(pack) + " build --level 3 --entry report_app.dll -o " +
                        shellQuote(exe) + " " + shellQuote(std::getenv("ONEFILE_REPORT_APP_DIR")) + " > /dev/null"),
                  0);
        built[i] = readBytes(exe);
    }
    EXPECT_TRUE(built[0] == built[1]) << "two builds of the same folder differ";
    EXPECT_EQ(built[0].find(".debug_"), std::string::npos);
    const std::string buildRoot = fs::path(pack).parent_path().parent_path().string();
    EXPECT_EQ(built[0].find(buildRoot), std::string::npos) << buildRoot;
    EXPECT_EQ(built[0].find(fs::temp_directory_path().string() + "/onefile-pack-"), std::string::npos);
}

TEST_F(BuildCommand, EarlierBlockIsLinkedAsItIsDamagedOrNot)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ");
    std::vector<uint8_t> block = pack::frameBlock(compressFrame(recordStream({{u"app.dll", "MZ"}})));
    block[2] = 'Z';
    writeBytes(tree / "bad.block", std::string(block.begin(), block.end()));
    const std::string exe = (tree / "bad.exe").string();
    ASSERT_EQ(shell(shellQuote(pack) + " build --block " + shellQuote((tree / "bad.block").string()) + " -o " +
                    shellQuote(exe) + " > /dev/null"),
              0);
    writeBytes(tree / "out", "");
    EXPECT_EQ(
        shell(shellQuote(wine) + " " + shellQuote(exe) + " > " + shellQuote((tree / "out").string()) + " < /dev/null"),
        2);
    EXPECT_EQ(readBytes(tree / "out"), "Error, couldn't find attached data header.\r\n");
}

TEST_F(BuildCommand, MissingInputsAreRefusedWithOneLine)
{
    TempTree tree;
    const std::string errors = (tree / "err").string();
    EXPECT_NE(shell(shellQuote(pack) + " build --block " + shellQuote((tree / "none.block").string()) + " -o " +
                    shellQuote((tree / "x.exe").string()) + " 2> " + shellQuote(errors)),
              0);
    EXPECT_NE(readBytes(errors).find("none.block: the block does not exist"), std::string::npos) << readBytes(errors);
    writeBytes(tree / "some.block", "");
    EXPECT_NE(shell(shellQuote(pack) + " build --block " + shellQuote((tree / "some.block").string()) + " --sdk " +
                    shellQuote((tree / "missing.txt").string()) + " -o " + shellQuote((tree / "x.exe").string()) +
                    " 2> " + shellQuote(errors)),
              0);
    EXPECT_NE(readBytes(errors).find("no bootstrap build description"), std::string::npos) << readBytes(errors);
    // An output that names a folder: refused, the folder left as it was.
    fs::create_directory(tree / "folder.exe");
    EXPECT_NE(shell(shellQuote(pack) + " build --block " +
                    shellQuote(std::string(std::getenv("ONEFILE_TEST_DATA")) + "/no_files.block") + " -o " +
                    shellQuote((tree / "folder.exe").string()) + " 2> " + shellQuote(errors)),
              0);
    EXPECT_NE(readBytes(errors).find("folder.exe: is a directory; -o names the file to write"), std::string::npos)
        << readBytes(errors);
    EXPECT_TRUE(fs::is_directory(tree / "folder.exe"));
}

// Each option keeps to its own range; anything the packer cannot act on is
// one line and exit code 64, before anything is read or written.
TEST(PackCommandLine, BadOptionsAreOneLineUsageErrors)
{
    TempTree tree;
    const std::string pack = shellQuote(std::getenv("ONEFILE_PACK"));
    const std::string errors = (tree / "err").string();
    const std::pair<std::string, std::string> cases[] = {
        {"create --level 500 --entry a -o x d", "--level takes a whole number from 1 to 22, not '500'"},
        {"create --level 0 --entry a -o x d", "--level takes a whole number from 1 to 22"},
        {"create --threads -1 --entry a -o x d", "--threads takes a whole number from 1 to 256"},
        {"create --window-log 28 --entry a -o x d", "--window-log takes a whole number from 10 to 27"},
        {"create --bogus --entry a -o x d", "unknown option '--bogus'"},
        {"create --levle 3 --entry a -o x d", "unknown option '--levle'; did you mean '--level'?"},
        {"build --cach-dir=x --entry a -o x d", "unknown option '--cach-dir=x'; did you mean '--cache-dir'?"},
        {"create --entry a -o x d e", "one directory only, not also 'e'"},
        {"create -o", "-o needs a value"},
        {"create --entry a d", "create needs --entry NAME, -o BLOCK and a directory"},
        {"build --entry a d", "build needs -o APP.exe"},
        {"build --entry a --no-cache-recheck -o x d",
         "--cache-name, --cache-dir and --no-cache-recheck go with --cache"},
        {"frobnicate", "onefile-pack: unknown command 'frobnicate' (onefile-pack --help shows the usage)"},
        {"biuld --entry a d", "unknown command 'biuld'; did you mean 'build'?"},
        {"build --co --entry a -o x d", "'--co' fits several options: --console, --company, --copyright"},
        {"extract a", "extract takes a FILE and a DIR"},
        {"list", "list needs a FILE"},
        {"verify a b", "verify takes one FILE, not also 'b'"},
    };
    for (const auto& [arguments, message] : cases) {
        EXPECT_EQ(shell(pack + " " + arguments + " 2> " + shellQuote(errors)), 64) << arguments;
        const std::string text = readBytes(errors);
        EXPECT_NE(text.find(message), std::string::npos) << arguments << ": " << text;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << arguments << ": " << text;
    }
    EXPECT_FALSE(fs::exists("x"));
}

// The packer's habits: help and version on standard output with exit code
// 0; every input it can check refused with one line and exit code 1 before
// anything is compressed.
TEST(PackCommandLine, HelpVersionAndRefusedInputsFollowTheConventions)
{
    TempTree tree;
    writeBytes(tree / "in/app.dll", "MZ");
    writeBytes(tree / "not.png", "text");
    std::string png = "\x89PNG\r\n\x1a\n" + std::string("\0\0\0\x0dIHDR\0\0\x4e\x20\0\0\0\x01", 16);
    writeBytes(tree / "wide.png", png);
    fs::create_directories(tree / "folder");
    const std::vector<uint8_t> block = pack::frameBlock(compressFrame(recordStream({{u"a.dll", "MZ"}})));
    // A real DLL: the entry is checked before the other files.
    writeBytes(tree / "carrying/app.dll", readBytes(fs::path(std::getenv("ONEFILE_PE_SAMPLES")) / "run_code.dll"));
    writeBytes(tree / "carrying/old.exe", "MZ padding" + std::string(block.begin(), block.end()));
    const std::string in = shellQuote((tree / "in").string());
    const std::string build = "build --entry app.dll --sdk /none ";
    struct Case {
        std::string arguments;
        int exitCode;
        std::string out, err;
    };
    const Case cases[] = {
        {"--help", 0, "usage: onefile-pack create", ""},
        {"build --help", 0, "usage: onefile-pack build", ""},
        {"create --help", 0, "usage: onefile-pack create", ""},
        {"list --help", 0, "usage: onefile-pack list FILE", ""},
        {"verify --help", 0, "usage: onefile-pack verify [--trust FILE] FILE", ""},
        {"extract --help", 0, "usage: onefile-pack extract FILE DIR", ""},
        {"", 64, "", "onefile-pack: no command given\nusage: onefile-pack create"},
        {"verify " + shellQuote((tree / "gone.exe").string()), 1, "",
         "onefile-pack: " + (tree / "gone.exe").string() + ": cannot be read (No such file or directory)\n"},
        {"list " + shellQuote((tree / "not.png").string()), 1, "",
         "onefile-pack: " + (tree / "not.png").string() + ": no attached data block found"},
        {"--version", 0, std::string("onefile-pack ") + ONEFILE_VERSION + "\nthe bootstrap decompresses with zstd ",
         ""},
        {build + "-o x.exe " + shellQuote((tree / "missing").string()), 1, "", "missing: does not exist"},
        {build + "-o x.exe " + shellQuote((tree / "not.png").string()), 1, "", "not.png: is not a directory"},
        {build + "-o " + shellQuote((tree / "none/x.exe").string()) + " " + in, 1, "",
         "none: the output's folder does not exist"},
        {build + "-o " + shellQuote((tree / "folder").string()) + " " + in, 1, "", "folder: is a directory"},
        {build + "-o " + shellQuote((tree / "in/x.exe").string()) + " " + in, 1, "", "lies in the folder being packed"},
        {build + "--splash " + shellQuote((tree / "not.png").string()) + " -o x " + in, 1, "",
         "not.png: the splash image is not a PNG"},
        {build + "--splash " + shellQuote((tree / "wide.png").string()) + " -o x " + in, 1, "",
         "is 20000 x 1 pixels; each side must be 1 to 16384"},
        {build + "--splash " + shellQuote((tree / "gone.png").string()) + " -o x " + in, 1, "",
         "the splash image does not exist"},
        {build + "--icon " + shellQuote((tree / "not.png").string()) + " -o x " + in, 1, "",
         "the icon is not an .ico file"},
        {build + "--temp-dir 'runs' -o x " + in, 1, "", "--temp-dir runs: it is relative"},
        {build + "--temp-dir '%TEMP%\\x' -o x " + in, 1, "",
         "--temp-dir %TEMP%\\x: %NAME% is no placeholder here; the placeholders are {TEMP}, {HOME}, {CACHE_DIR} and "
         "{PROGRAM_DIR}"},
        {build + "--temp-dir '{TEMP}\\{PID}' -o x " + in, 1, "", "{PID} differs from run to run"},
        {build + "--temp-dir '{SOMEWHERE}' -o x " + in, 1, "", "{SOMEWHERE} is not one of"},
        {"create --entry app.dll -o " + shellQuote((tree / "b").string()) + " " +
             shellQuote((tree / "carrying").string()),
         1, "", "old.exe: carries an attached data block"},
    };
    const std::string pack = shellQuote(std::getenv("ONEFILE_PACK"));
    for (const Case& c : cases) {
        const std::string out = (tree / "out").string(), err = (tree / "err").string();
        EXPECT_EQ(shell("cd " + shellQuote(tree.path().string()) + " && " + pack + " " + c.arguments + " > " +
                        shellQuote(out) + " 2> " + shellQuote(err)),
                  c.exitCode)
            << c.arguments;
        const std::string printed = readBytes(out), errors = readBytes(err);
        EXPECT_EQ(printed.rfind(c.out, 0), 0u) << c.arguments << ": " << printed;
        // A command's own usage is only its own.
        const std::string command = c.arguments.substr(0, c.arguments.find(' '));
        if (c.arguments == command + " --help") {
            EXPECT_EQ(printed.find("onefile-pack ", c.out.size()), std::string::npos) << printed;
        }
        EXPECT_NE(errors.find(c.err), std::string::npos) << c.arguments << ": " << errors;
        if (c.exitCode == 1) {
            EXPECT_EQ(errors.find('\n'), errors.size() - 1) << c.arguments << ": " << errors;
        }
    }
    EXPECT_FALSE(fs::exists(tree / "x"));
}

}  // namespace
