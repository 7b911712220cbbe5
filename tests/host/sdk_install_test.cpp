// The installed SDK, moved after installing, used the two ways a project
// would: an outside CMake project that finds the package, and the packer
// on its own.
#include "host_support.h"
#include "block/block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <cstdlib>

namespace {

const char* const outsideProject = R"(cmake_minimum_required(VERSION 3.20)
project(outside CXX)
find_package(OnefileBootstrap 0.3 CONFIG REQUIRED)
add_library(app SHARED app.cpp)
set_target_properties(app PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_SOURCE_DIR}/payload)
target_link_libraries(app PRIVATE OnefileBootstrap::application)
onefile_add_executable(outside_app ENTRY app.dll DIRECTORY payload OUTPUT_NAME "outside app.exe" DEPENDS app)
install(PROGRAMS $<TARGET_PROPERTY:outside_app,ONEFILE_OUTPUT> DESTINATION bin)
file(WRITE ${CMAKE_BINARY_DIR}/emulator.txt "${CMAKE_CROSSCOMPILING_EMULATOR}")
)";

const char* const outsideApplication = R"(#include <windows.h>
#include "onefile_app.h"
extern "C" __declspec(dllexport) int run_code(int argc, wchar_t**, const wchar_t*)
{
    onefile_hide_splash();
    return 40 + argc;
}
)";

// Builds the outside project against the SDK in `prefix`, runs it, edits a
// data file and builds again, installs it, and packs with the SDK's packer.
void buildOutsideProjectWith(const TempTree& tree, const fs::path& prefix)
{
    writeBytes(tree / "project/CMakeLists.txt", outsideProject);
    writeBytes(tree / "project/app.cpp", outsideApplication);
    writeBytes(tree / "project/payload/data.txt", "first");
    const std::string configure =
        "cmake -S " + shellQuote((tree / "project").string()) + " -B " + shellQuote((tree / "build").string()) +
        " -DCMAKE_TOOLCHAIN_FILE=" + shellQuote((prefix / "share/onefile/mingw-w64-x86_64.cmake").string()) +
        " -DCMAKE_PREFIX_PATH=" + shellQuote(prefix.string()) + " > " + shellQuote((tree / "log").string()) + " 2>&1";
    ASSERT_EQ(shell(configure), 0) << readBytes(tree / "log");
    const std::string build = "cmake --build " + shellQuote((tree / "build").string()) + " > " +
                              shellQuote((tree / "log").string()) + " 2>&1";
    ASSERT_EQ(shell(build), 0) << readBytes(tree / "log");
    const std::string exe = (tree / "build/outside app.exe").string();
    const std::string wine = shellQuote(std::getenv("ONEFILE_WINE_RUN"));
    EXPECT_EQ(shell(wine + " " + shellQuote(exe) + " a b < /dev/null"), 43);
    // An edited data file is packed again by the next build.
    const std::string list = shellQuote((prefix / "bin/onefile-pack").string()) + " list " + shellQuote(exe);
    const auto listing = [&] {
        shell(list + " > " + shellQuote((tree / "list").string()));
        return readBytes(tree / "list");
    };
    EXPECT_NE(listing().find("           5  data.txt"), std::string::npos) << listing();
    writeBytes(tree / "project/payload/data.txt", "second, longer");
    ASSERT_EQ(shell(build), 0) << readBytes(tree / "log");
    EXPECT_NE(listing().find("          14  data.txt"), std::string::npos) << listing();
    EXPECT_EQ(shell("cmake --install " + shellQuote((tree / "build").string()) + " --prefix " +
                    shellQuote((tree / "shipped").string()) + " > /dev/null"),
              0);
    EXPECT_EQ(readBytes(tree / "shipped/bin/outside app.exe"), readBytes(exe));
    // Installed as a program: a Unix loader for Windows programs needs it executable.
    EXPECT_EQ(fs::status(tree / "shipped/bin/outside app.exe").permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);

    const std::string packed = (tree / "packed.exe").string();
    ASSERT_EQ(shell(shellQuote((prefix / "bin/onefile-pack").string()) + " build --level 3 --entry app.dll -o " +
                    shellQuote(packed) + " " + shellQuote((tree / "project/payload").string()) + " > /dev/null"),
              0);
    EXPECT_EQ(shell(wine + " " + shellQuote(packed) + " < /dev/null"), 41);
}

std::string windowsBuild()
{
    return fs::path(std::getenv("ONEFILE_HARNESS")).parent_path().parent_path().string();
}

// Installs the SDK of both builds into `prefix`.
void installSdk(const fs::path& prefix)
{
    for (const std::string& build : {std::string(std::getenv("ONEFILE_HOST_BUILD")), windowsBuild()}) {
        ASSERT_EQ(
            shell("cmake --install " + shellQuote(build) + " --prefix " + shellQuote(prefix.string()) + " > /dev/null"),
            0);
    }
}

TEST(SdkInstall, MovedSdkBuildsAnOutsideProjectAndPacksOnItsOwn)
{
    ONEFILE_REQUIRE(harnessAvailable() && std::getenv("ONEFILE_HOST_BUILD") != nullptr, "no Windows build");
    TempTree tree;
    const fs::path installed = tree / "installed";
    const fs::path moved = tree / "elsewhere/sdk";
    installSdk(installed);
    EXPECT_NE(shell("grep -rqF " + shellQuote(fs::path(std::getenv("ONEFILE_HOST_BUILD")).parent_path().string()) +
                    " " + shellQuote(installed.string())),
              0)
        << "the installed SDK names the build tree";
    fs::create_directories(moved.parent_path());
    fs::rename(installed, moved);
    buildOutsideProjectWith(tree, moved);
}

// A misspelt keyword inside a list would otherwise become one of its items
// (here two dependencies, reported by the build as missing files).
TEST(SdkInstall, MisspeltKeywordInsideAListIsRefusedAtConfigure)
{
    ONEFILE_REQUIRE(harnessAvailable() && std::getenv("ONEFILE_HOST_BUILD") != nullptr, "no Windows build");
    TempTree tree;
    installSdk(tree / "sdk");
    const fs::path toolchain = tree / "sdk/share/onefile/mingw-w64-x86_64.cmake";
    const auto configure = [&](const std::string& call, bool forWindows = true) {
        writeBytes(tree / "project/CMakeLists.txt",
                   "cmake_minimum_required(VERSION 3.20)\nproject(typo NONE)\n"
                   "find_package(OnefileBootstrap CONFIG REQUIRED)\nadd_custom_target(t)\n" +
                       call + "\n");
        fs::remove_all(tree / "build");
        const int status = shell(
            "cmake -S " + shellQuote((tree / "project").string()) + " -B " + shellQuote((tree / "build").string()) +
            (forWindows ? " -DCMAKE_TOOLCHAIN_FILE=" + shellQuote(toolchain.string()) : std::string()) +
            " -DCMAKE_PREFIX_PATH=" + shellQuote((tree / "sdk").string()) + " > " +
            shellQuote((tree / "log").string()) + " 2>&1");
        return std::make_pair(status, readBytes(tree / "log"));
    };
    const auto [typo, typoLog] =
        configure("onefile_add_executable(app ENTRY a.dll DIRECTORY d DEPENDS t SPLAH img.png)");
    EXPECT_NE(typo, 0);
    EXPECT_NE(typoLog.find("onefile_add_executable(app): SPLAH: did you mean SPLASH?"), std::string::npos) << typoLog;
    // Before the first keyword as well.
    const auto [first, firstLog] = configure("onefile_add_executable(app ENTYR a.dll DIRECTORY d)");
    EXPECT_NE(first, 0);
    EXPECT_NE(firstLog.find("onefile_add_executable(app): ENTYR: did you mean ENTRY?"), std::string::npos) << firstLog;
    // A project that does not target Windows x64 is told the toolchain file.
    const auto [host, hostLog] = configure("onefile_add_executable(app ENTRY a.dll DIRECTORY d)", false);
    EXPECT_NE(host, 0);
    std::string folded = hostLog;  // CMake wraps its message's lines
    for (size_t at = folded.find("\n  "); at != std::string::npos; at = folded.find("\n  ")) folded.replace(at, 3, " ");
    EXPECT_NE(folded.find("not Windows x64; configure it with -DCMAKE_TOOLCHAIN_FILE=" + toolchain.string()),
              std::string::npos)
        << hostLog;
    const auto [bare, bareLog] = configure("onefile_add_executable(app ENTRY a.dll DIRECTORY d DEPENDS t SPLASH)");
    EXPECT_NE(bare, 0);
    EXPECT_NE(bareLog.find("no value for SPLASH"), std::string::npos) << bareLog;
    // A capitalised target far from every keyword is a dependency as before.
    const auto [target, targetLog] = configure("onefile_add_executable(app ENTRY a.dll DIRECTORY d DEPENDS t MYLIB)");
    EXPECT_EQ(target, 0) << targetLog;
}

// Which characters a path in the build's depfile survives, through CMake's
// rewriting for either generator.
TEST(Depfile, CarriesOnlyNamesBothGeneratorsKeep)
{
    for (const char refused : std::string(";&'`$#^\"<>|*?\\:")) {
        EXPECT_EQ(pack::depfilePathProblem(std::string("dir/na") + refused + "me.txt"),
                  std::string("the build's depfile cannot carry '") + refused +
                      "' in this path; rename it or build without --depfile")
            << refused;
    }
    for (const std::string& control : {std::string(1, '\t'), std::string(1, '\n'), std::string(1, '\x7f')}) {
        EXPECT_EQ(pack::depfilePathProblem("na" + control + "me"),
                  "the build's depfile cannot carry a control character in this path; rename it or build without "
                  "--depfile")
            << static_cast<int>(control[0]);
    }
    for (const char* kept : {"dir/na%me.txt", "na=me.txt", "na[]me.txt", "na()me.txt", "na me.txt", "na,me~!@+{}.txt",
                             "n\xc3\xa4me.txt", ""}) {
        EXPECT_EQ(pack::depfilePathProblem(kept), "") << kept;
    }
}

// Payload names with characters the build's depfile cannot carry through
// CMake are refused with --depfile (one of them through the packer; the
// rest in the table above); with the others, a second build of either
// generator packs nothing again.
TEST(SdkInstall, PayloadNamesEitherSurviveTheDepfileOrAreRefused)
{
    ONEFILE_REQUIRE(harnessAvailable() && std::getenv("ONEFILE_HOST_BUILD") != nullptr &&
                        std::system("command -v ninja > /dev/null") == 0,
                    "no Windows build or no ninja");
    TempTree tree;
    const fs::path dll = fs::path(std::getenv("ONEFILE_REPORT_APP_DIR")) / "report_app.dll";
    for (const char refused : std::string(";")) {
        const fs::path payload = tree / "refused" / std::to_string(static_cast<int>(refused));
        writeBytes(payload / (std::string("na") + refused + "me.txt"), "x");
        fs::copy_file(dll, payload / "report_app.dll");
        const int status =
            shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build --entry report_app.dll --depfile " +
                  shellQuote((tree / "app.d").string()) + " -o " + shellQuote((tree / "app.exe").string()) + " " +
                  shellQuote(payload.string()) + " > /dev/null 2> " + shellQuote((tree / "err").string()));
        EXPECT_EQ(status, 1) << refused;
        EXPECT_EQ(readBytes(tree / "err"),
                  "onefile-pack: " + (payload / (std::string("na") + refused + "me.txt")).string() +
                      ": the build's depfile cannot carry '" + refused +
                      "' in this path; rename it or build without --depfile\n");
        EXPECT_FALSE(fs::exists(tree / "app.exe")) << refused;
    }

    installSdk(tree / "sdk");
    writeBytes(tree / "project/CMakeLists.txt", R"(cmake_minimum_required(VERSION 3.20)
project(names NONE)
find_package(OnefileBootstrap CONFIG REQUIRED)
onefile_add_executable(app ENTRY report_app.dll DIRECTORY payload LEVEL 1)
)");
    for (const std::string name : {"na%me.txt", "na=me.txt", "na[]me.txt", "na()me.txt", "na me.txt"}) {
        writeBytes(tree / "project/payload" / name, "x");
    }
    fs::copy_file(dll, tree / "project/payload/report_app.dll");
    for (const std::string generator : {"Unix Makefiles", "Ninja"}) {
        const fs::path build = tree / ("build " + generator);
        const std::string log = shellQuote((tree / "log").string());
        ASSERT_EQ(shell("cmake -G " + shellQuote(generator) + " -S " + shellQuote((tree / "project").string()) +
                        " -B " + shellQuote(build.string()) + " -DCMAKE_TOOLCHAIN_FILE=" +
                        shellQuote((tree / "sdk/share/onefile/mingw-w64-x86_64.cmake").string()) +
                        " -DCMAKE_PREFIX_PATH=" + shellQuote((tree / "sdk").string()) + " > " + log + " 2>&1"),
                  0)
            << readBytes(tree / "log");
        ASSERT_EQ(shell("cmake --build " + shellQuote(build.string()) + " > " + log + " 2>&1"), 0)
            << generator << readBytes(tree / "log");
        EXPECT_NE(readBytes(tree / "log").find("Packing"), std::string::npos) << generator << readBytes(tree / "log");
        ASSERT_EQ(shell("cmake --build " + shellQuote(build.string()) + " > " + log + " 2>&1"), 0)
            << generator << readBytes(tree / "log");
        EXPECT_EQ(readBytes(tree / "log").find("Packing"), std::string::npos) << generator << readBytes(tree / "log");
    }
}

// The Debian package, unpacked into a scratch root instead of installed:
// its control fields, and the same outside project built against it.
TEST(SdkInstall, DebianPackageCarriesTheSdk)
{
    ONEFILE_REQUIRE(harnessAvailable() && std::system("command -v cpack dpkg-deb > /dev/null") == 0,
                    "no Windows build, cpack or dpkg-deb");
    TempTree tree;
    ASSERT_EQ(shell("cd " + shellQuote(windowsBuild()) + " && cpack -G DEB -B " +
                    shellQuote((tree / "package").string()) + " > " + shellQuote((tree / "log").string()) + " 2>&1"),
              0)
        << readBytes(tree / "log");
    fs::path deb;
    for (const auto& entry : fs::directory_iterator(tree / "package")) {
        if (entry.path().extension() == ".deb") deb = entry.path();
    }
    ASSERT_FALSE(deb.empty());
    shell("dpkg-deb -f " + shellQuote(deb.string()) + " Package Version Architecture Depends Recommends > " +
          shellQuote((tree / "fields").string()));
    EXPECT_EQ(readBytes(tree / "fields"), std::string("Package: onefile-bootstrap\nVersion: ") + ONEFILE_VERSION +
                                              "\nArchitecture: amd64\nDepends: libzstd1, libstdc++6\nRecommends: "
                                              "g++-mingw-w64-x86-64-posix, gcc-mingw-w64-x86-64-posix-runtime, "
                                              "mingw-w64-x86-64-dev, osslsigncode, libxml2-utils, openssl\n");
    // Packaging builds nothing (./run package builds only what it carries):
    // the step CPack runs before the install makes no target, no test
    // among them.
    for (const std::string& build : {windowsBuild(), std::string(std::getenv("ONEFILE_HOST_BUILD"))}) {
        shell("cmake --build " + shellQuote(build) + " --target preinstall > " + shellQuote((tree / "pre").string()) +
              " 2>&1");
        EXPECT_EQ(readBytes(tree / "pre").find("Built target"), std::string::npos) << readBytes(tree / "pre");
    }
    ASSERT_EQ(shell("dpkg-deb -x " + shellQuote(deb.string()) + " " + shellQuote((tree / "root").string())), 0);
    // What a user without the repository needs: the guide, the manual page,
    // the launcher for the cache under Wine, the toolchain file and its
    // emulator.
    for (const char* file :
         {"usr/share/doc/onefile-bootstrap/copyright", "usr/share/doc/onefile-bootstrap/README.md",
          "usr/share/doc/onefile-bootstrap/docs/guide.md", "usr/share/man/man1/onefile-pack.1",
          "usr/share/onefile/windows/onefile-bootstrap.exe", "usr/share/onefile/windows/onefile-bootstrap-console.exe",
          "usr/share/onefile/windows/unelevated_launcher.exe", "usr/share/onefile/mingw-w64-x86_64.cmake",
          "usr/share/onefile/onefile-wine-run"}) {
        EXPECT_TRUE(fs::exists(tree / "root" / file)) << file;
    }
    buildOutsideProjectWith(tree, tree / "root/usr");
    // The toolchain's emulator, from the package alone: a private prefix in
    // the project's build tree.
    std::string emulator = readBytes(tree / "build/emulator.txt");
    ASSERT_EQ(emulator.find((tree / "root/usr/share/onefile/onefile-wine-run").string() + ";"), 0u) << emulator;
    EXPECT_EQ(emulator.substr(emulator.find(';') + 1), (tree / "build/wineprefix").string());
    std::replace(emulator.begin(), emulator.end(), ';', ' ');
    EXPECT_EQ(shell(emulator + " " + shellQuote((tree / "build/outside app.exe").string()) + " a b < /dev/null"), 43);
    EXPECT_TRUE(fs::exists(tree / "build/wineprefix/.onefile-ready"));
}

// Every option the usage text names is in the manual page and in the
// README's table of options, and so is every keyword of
// onefile_add_executable.
TEST(SdkInstall, EveryOptionIsInTheManualPageAndTheReadme)
{
    const fs::path host = std::getenv("ONEFILE_HOST_BUILD");
    const fs::path root = fs::path(std::getenv("ONEFILE_TEST_DATA")).parent_path().parent_path();
    ASSERT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " --help > " + shellQuote((host / "usage.txt").string())),
              0);
    const std::string usage = readBytes(host / "usage.txt"), manual = readBytes(host / "onefile-pack.1"),
                      readme = readBytes(root / "README.md");
    ASSERT_FALSE(manual.empty()) << "no manual page in " << host;
    const size_t tableAt = readme.find("\n## Every option\n");
    ASSERT_NE(tableAt, std::string::npos) << "the README has no table of options";
    const std::string table = readme.substr(tableAt, readme.find("\n## ", tableAt + 1) - tableAt);
    size_t options = 0;
    for (size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at + 2)) {
        const size_t end = usage.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-", at + 2);
        const std::string option = usage.substr(at, end - at);
        if (option.size() < 3) continue;
        ++options;
        EXPECT_NE(manual.find(option), std::string::npos) << option << " is not in the manual page";
        EXPECT_NE(table.find("`" + option), std::string::npos) << option << " is not in the README's table";
    }
    EXPECT_GT(options, 40u);
    // The CMake function's keywords, from its lists of them.
    const std::string function = readBytes(root / "cmake/onefile_add_executable.cmake");
    size_t keywords = 0;
    for (const char* list : {"set(file_keywords ", "set(value_keywords ", "set(flag_keywords \""}) {
        const size_t at = function.find(list);
        ASSERT_NE(at, std::string::npos) << list;
        const size_t from = at + std::string(list).size();
        std::string words = function.substr(from, function.find(')', from) - from);
        std::replace(words.begin(), words.end(), ';', ' ');
        std::istringstream read(words);
        for (std::string word; read >> word;) {
            word.erase(std::remove(word.begin(), word.end(), '"'), word.end());
            if (word.empty() || word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789") != std::string::npos)
                continue;
            ++keywords;
            EXPECT_NE(table.find("`" + word), std::string::npos) << word << " is not in the README's table";
        }
    }
    EXPECT_GT(keywords, 25u);
}

// The README's recipe for loading DLLs at run time, taken out of the README
// itself: compiled as an application with plugins at the top and in a
// subfolder (one importing a DLL beside it), packed and run, every way of
// loading works as the README says.
TEST(SdkInstall, ReadmePluginRecipesWorkAsWritten)
{
    ONEFILE_REQUIRE(harnessAvailable() && std::system("command -v x86_64-w64-mingw32-g++-posix > /dev/null") == 0,
                    "no Windows build or cross compiler");
    const fs::path root = fs::path(std::getenv("ONEFILE_TEST_DATA")).parent_path().parent_path();
    const std::string readme = readBytes(root / "README.md");
    const size_t marker = readme.find("// onefile-readme-recipe: plugins");
    ASSERT_NE(marker, std::string::npos) << "the README lost its plugin recipe";
    const std::string recipe = readme.substr(marker, readme.find("```", marker) - marker);
    TempTree tree;
    writeBytes(tree / "app.cpp", recipe);
    writeBytes(tree / "plugin.cpp", "extern \"C\" __declspec(dllexport) int plugin() { return 1; }\n");
    writeBytes(tree / "first.cpp", "extern \"C\" int plugin();\n"
                                   "extern \"C\" __declspec(dllexport) int first() { return plugin(); }\n");
    const std::string compile =
        "cd " + shellQuote(tree.path().string()) + " && x86_64-w64-mingw32-g++-posix -shared -static ";
    const fs::path payload = tree / "payload";
    fs::create_directories(payload / "plugins");
    ASSERT_EQ(shell(compile + "-I " + shellQuote((root / "include").string()) + " -o payload/app.dll app.cpp"), 0)
        << "the README's recipe does not compile";
    ASSERT_EQ(shell(compile + "-o payload/top.dll plugin.cpp && " + compile +
                    "-o payload/plugins/second.dll plugin.cpp && " + compile +
                    "-o payload/plugins/helper.dll -Wl,--out-implib,libhelper.a plugin.cpp && " + compile +
                    "-o payload/plugins/first.dll first.cpp libhelper.a"),
              0);
    const fs::path exe = tree / "Plugins.exe";
    ASSERT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build --level 1 --entry app.dll -o " +
                    shellQuote(exe.string()) + " " + shellQuote(payload.string()) + " > " +
                    shellQuote((tree / "log").string()) + " 2>&1"),
              0)
        << readBytes(tree / "log");
    EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(exe.string()) +
                    " < /dev/null > /dev/null 2>&1"),
              7)
        << "7: every way of loading worked";
}

}  // namespace
