// `onefile-pack build` writes the executable itself: its resources are those
// a resource compiler makes of the same statements, its headers keep the PE
// format's rules (read by pe_check.cpp, which shares no code with the
// writer), and a damaged bootstrap image or executable is refused in one
// line.
#include "host_support.h"
#include "pe_check.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class WrittenExecutable : public testing::Test {
protected:
    void SetUp() override
    {
        ONEFILE_REQUIRE(harnessAvailable() && std::getenv("ONEFILE_CROSS_WINDRES") != nullptr &&
                            fs::exists(std::getenv("ONEFILE_CROSS_WINDRES")),
                        "no Windows build or no resource compiler");
    }

    // A shell command's exit status, its output in `out`.
    int run(const std::string& command)
    {
        const int status = shell(command + " > " + shellQuote((tree / "out").string()) + " 2>&1 < /dev/null");
        out = readBytes(tree / "out");
        return status;
    }

    // The executable `build` writes of the empty test block with `options`.
    fs::path build(const std::string& options, const std::string& name = "app.exe")
    {
        const fs::path exe = tree / name;
        EXPECT_EQ(run(shellQuote(pack) + " build --block " + shellQuote(block) + " " + options + " -o " +
                      shellQuote(exe.string())),
                  0)
            << out;
        return exe;
    }

    std::string pack = std::getenv("ONEFILE_PACK");
    std::string resources = std::getenv("ONEFILE_RESOURCES");
    std::string block = std::string(std::getenv("ONEFILE_TEST_DATA")) + "/no_files.block";
    TempTree tree;
    std::string out;
};

// A resource script's statement naming a file.
std::string fileStatement(const std::string& what, const fs::path& file)
{
    return what + " \"" + file.string() + "\"\n";
}

TEST_F(WrittenExecutable, ResourcesAreThoseAResourceCompilerMakes)
{
    // An icon of two images, a PNG of 1 MB, a manifest of the caller's.
    std::string icon("\0\0\1\0\2\0", 6);
    const std::string images[2] = {patternBytes(300, 1), patternBytes(77, 2)};
    for (int i = 0; i < 2; ++i) {
        const uint32_t offset = 6 + 32 + (i == 0 ? 0 : 300);
        const char entry[16] = {static_cast<char>(16 * (i + 1)),
                                static_cast<char>(16 * (i + 1)),
                                0,
                                0,
                                1,
                                0,
                                32,
                                0,
                                static_cast<char>(images[i].size()),
                                static_cast<char>(images[i].size() >> 8),
                                0,
                                0,
                                static_cast<char>(offset),
                                static_cast<char>(offset >> 8),
                                0,
                                0};
        icon.append(entry, 16);
    }
    writeBytes(tree / "two.ico", icon + images[0] + images[1]);
    writeBytes(tree / "big.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x10\0\0\0\x10\x08\x06\0\0\0", 29) +
                                     patternBytes(1 << 20, 3));
    writeBytes(tree / "own.manifest", "<?xml version=\"1.0\"?>\r\n<assembly manifestVersion=\"1.0\"/>\r\n");
    const std::string manifest = fileStatement("1 24", resources + "/onefile.manifest");
    const std::string sdkIcon = fileStatement("1 ICON", resources + "/onefile.ico");
    const std::string version =
        "1 VERSIONINFO\nFILEVERSION 1,2,3,4\nPRODUCTVERSION 0,0,0,0\nFILEFLAGSMASK 0x3f\nFILEFLAGS 0\nFILEOS 0x40004\n"
        "FILETYPE 1\nFILESUBTYPE 0\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n  BLOCK \"040904B0\"\n  BEGIN\n"
        "   VALUE \"CompanyName\", \"Zo\xc3\xab \"\"quoted\"\" \\\\ \xe2\x9c\x93\"\n"
        "   VALUE \"FileVersion\", \"1.2.3.4\"\n   VALUE \"OriginalFilename\", \"app.exe\"\n"
        "   VALUE \"ProductName\", \"\xe6\x97\xa5\xe6\x9c\xac\"\n  END\n END\n"
        " BLOCK \"VarFileInfo\"\n BEGIN\n  VALUE \"Translation\", 0x409, 1200\n END\nEND\n";
    const struct {
        const char* what;
        std::string options;
        std::string script;      // what the resource compiler is given
        const char* inManifest;  // what the chosen manifest holds, or null
    } cases[] = {
        {"the SDK's manifest and icon", "", manifest + sdkIcon, nullptr},
        {"an icon of the caller's", "--icon " + (tree / "two.ico").string(),
         manifest + fileStatement("1 ICON", tree / "two.ico"), nullptr},
        {"a splash of 1 MB", "--splash " + (tree / "big.png").string(),
         manifest + sdkIcon + fileStatement("28 RCDATA", tree / "big.png"), nullptr},
        {"version information with text beyond ASCII",
         "--file-version 1.2.3.4 --company 'Zo\xc3\xab \"quoted\" \\ \xe2\x9c\x93' --product "
         "'\xe6\x97\xa5\xe6\x9c\xac'",
         "#pragma code_page(65001)\n" + manifest + sdkIcon + version, nullptr},
        {"a manifest of the caller's", "--manifest " + (tree / "own.manifest").string(),
         fileStatement("1 24", tree / "own.manifest") + sdkIcon, nullptr},
        {"the administrator's manifest", "--uac-admin", sdkIcon, "level=\"requireAdministrator\""},
        {"the manifest aware of each screen's DPI", "--dpi-aware", sdkIcon, "PerMonitorV2"},
    };
    const std::string windres = std::getenv("ONEFILE_CROSS_WINDRES");
    for (const auto& c : cases) {
        const ResourceMap written = peResources(readBytes(build(c.options)));
        std::string script = c.script;
        if (c.inManifest != nullptr) {
            // The chosen manifest is the packer's text: compiled as it is,
            // its type, id and language are what is compared.
            writeBytes(tree / "chosen.manifest", written.count("24/1/1033") ? written.at("24/1/1033") : "");
            EXPECT_NE(readBytes(tree / "chosen.manifest").find(c.inManifest), std::string::npos) << c.what;
            script = fileStatement("1 24", tree / "chosen.manifest") + script;
        }
        writeBytes(tree / "app.rc", script);
        ASSERT_EQ(shell(shellQuote(windres) + " -i " + shellQuote((tree / "app.rc").string()) + " -O res -o " +
                        shellQuote((tree / "app.res").string())),
                  0)
            << c.what;
        const ResourceMap compiled = resFileResources(readBytes(tree / "app.res"));
        EXPECT_EQ(written.size(), compiled.size()) << c.what;
        for (const auto& [key, bytes] : compiled) {
            EXPECT_TRUE(written.count(key) && written.at(key) == bytes) << c.what << ": resource " << key;
        }
    }
}

TEST_F(WrittenExecutable, KeepsThePeFormatsRules)
{
    ASSERT_EQ(shell("cd " + shellQuote(tree.path().string()) +
                    " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "
                    "/CN=Rules 2> /dev/null && openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.p12 "
                    "-passout pass:pw"),
              0);
    const struct {
        const char* what;
        std::string options;
    } cases[] = {
        {"windowed", ""},
        {"console", "--console"},
        {"cached, with a splash", "--cache --cache-name rules --splash " + resources + "/splash.png"},
        {"signed", "--sign-pkcs12 " + (tree / "signer.p12").string() + " --sign-password-env RULES_PASSWORD"},
    };
    setenv("RULES_PASSWORD", "pw", 1);
    for (const auto& c : cases) {
        const std::string bytes = readBytes(build(c.options));
        for (const std::string& problem : peRuleProblems(bytes)) ADD_FAILURE() << c.what << ": " << problem;
    }
    // The time stamp: none, or the one reproducible builds ask for.
    const auto timeStamp = [](const std::string& bytes) {
        const uint32_t header = *reinterpret_cast<const uint32_t*>(bytes.data() + 0x3c);
        return *reinterpret_cast<const uint32_t*>(bytes.data() + header + 8);
    };
    unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(timeStamp(readBytes(build(""))), 0u);
    setenv("SOURCE_DATE_EPOCH", "1765000000", 1);
    EXPECT_EQ(timeStamp(readBytes(build(""))), 1765000000u);
    unsetenv("SOURCE_DATE_EPOCH");
}

// The SDK's image damaged or replaced: refused by name, before anything is
// written; the executable damaged after it was written: one line at start.
TEST_F(WrittenExecutable, DamagedImagesAndExecutablesAreRefusedInOneLine)
{
    const std::string image = readBytes(std::getenv("ONEFILE_SDK_IMAGE"));
    const std::string packed = readBytes(build(""));
    writeBytes(tree / "text.exe", "not an image\n");
    writeBytes(tree / "cut.exe", image.substr(0, 1000));
    writeBytes(tree / "longer.exe", image + "trailing");
    writeBytes(tree / "packed.exe", packed);
    // The descriptor's place moved outside the image, or never filled in.
    const size_t descriptor = packed.find(std::string("onefile:section\0", 16));
    ASSERT_NE(descriptor, std::string::npos);
    std::string outside = packed;
    outside.replace(descriptor + 20, 4, std::string("\0\0\0\x7f", 4));
    writeBytes(tree / "outside.exe", outside);
    writeBytes(tree / "bare.exe", image);
    const std::string wine = std::getenv("ONEFILE_WINE_RUN");
    const struct {
        const char* file;
        bool started;  // run as an executable, or given to build as the SDK's image
        const char* cause;
    } cases[] = {
        {"text.exe", false, "not a PE file (no MZ header)"},
        {"cut.exe", false, "a section's data runs past the end of the file"},
        {"longer.exe", false, "it holds data after its last section"},
        {"packed.exe", false, "it carries resources already"},
        {"outside.exe", true, "its place lies outside the executable's image"},
        {"bare.exe", true, "the executable carries no attached data: it was not packed"},
    };
    for (const auto& c : cases) {
        if (c.started) {
            EXPECT_EQ(run(shellQuote(wine) + " " + shellQuote((tree / c.file).string())), 2) << c.file;
            EXPECT_EQ(out, std::string("Error, couldn't find attached data header. (") + c.cause + ")\r\n") << c.file;
            continue;
        }
        writeBytes(tree / "sdk.txt", "bootstrap=" + (tree / c.file).string() + "\nmanifest=" + resources +
                                         "/onefile.manifest\nicon=" + resources + "/onefile.ico\n");
        EXPECT_NE(run(shellQuote(pack) + " build --block " + shellQuote(block) + " --sdk " +
                      shellQuote((tree / "sdk.txt").string()) + " -o " + shellQuote((tree / "new.exe").string())),
                  0)
            << c.file;
        EXPECT_EQ(out, "onefile-pack: " + (tree / c.file).string() +
                           ": not a bootstrap image this packer can write from (" + c.cause +
                           "); the SDK is damaged or of another version\n")
            << c.file;
        EXPECT_FALSE(fs::exists(tree / "new.exe")) << c.file;
    }
}

}  // namespace
