// The installed SDK, moved after installing, used the two ways a project
// would: an outside CMake project that finds the package, and the packer
// on its own.
#include "host_support.h"
#include "block/block.h"
#include "command_line/option_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <cstdlib>

namespace {

// Its payload folder is the build tree's own, the data copied in by the
// configure; the entry named by its target; the packed executable a test.
const char* const outsideProject = R"(cmake_minimum_required(VERSION 3.20)
project(outside CXX)
find_package(OnefileBootstrap 0.3 CONFIG REQUIRED)
enable_testing()
add_library(app SHARED app.cpp)
set_target_properties(app PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/payload)
target_link_libraries(app PRIVATE OnefileBootstrap::application)
configure_file(data.txt ${CMAKE_BINARY_DIR}/payload/data.txt COPYONLY)
onefile_add_executable(outside_app ENTRY app DIRECTORY ${CMAKE_BINARY_DIR}/payload OUTPUT_NAME "outside app.exe")
add_test(NAME packed COMMAND outside_app::exe --test)
install(PROGRAMS $<TARGET_PROPERTY:outside_app,ONEFILE_OUTPUT> DESTINATION bin)
file(WRITE ${CMAKE_BINARY_DIR}/emulator.txt "${CMAKE_CROSSCOMPILING_EMULATOR}")
)";

const char* const outsideApplication = R"(#include <windows.h>
#include "onefile_app.h"
extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t*)
{
    onefile_hide_splash();
    return argc == 2 && lstrcmpW(argv[1], L"--test") == 0 ? 0 : 40 + argc;
}
)";

// Builds the outside project against the SDK in `prefix`, runs it and its
// test, edits a data file and builds again, installs it, and packs with
// the SDK's packer.
void buildOutsideProjectWith(const TempTree& tree, const fs::path& prefix)
{
    writeBytes(tree / "project/CMakeLists.txt", outsideProject);
    writeBytes(tree / "project/app.cpp", outsideApplication);
    writeBytes(tree / "project/data.txt", "first");
    const fs::path folder = tree / "build";
    const std::string log = shellQuote((tree / "log").string());
    const std::string configure =
        "cmake -S " + shellQuote((tree / "project").string()) + " -B " + shellQuote(folder.string()) +
        " -DCMAKE_TOOLCHAIN_FILE=" + shellQuote((prefix / "share/onefile/mingw-w64-x86_64.cmake").string()) +
        " -DCMAKE_PREFIX_PATH=" + shellQuote(prefix.string()) + " > " + log + " 2>&1";
    ASSERT_EQ(shell(configure), 0) << readBytes(tree / "log");
    const std::string make = "cmake --build " + shellQuote(folder.string()) + " > " + log + " 2>&1";
    ASSERT_EQ(shell(make), 0) << readBytes(tree / "log");
    const std::string exe = (folder / "outside app.exe").string();
    const std::string wine = shellQuote(std::getenv("ONEFILE_WINE_RUN"));
    EXPECT_EQ(shell(wine + " " + shellQuote(exe) + " a b < /dev/null"), 43);
    EXPECT_EQ(shell("ctest --test-dir " + shellQuote(folder.string()) + " > " + log + " 2>&1"), 0)
        << readBytes(tree / "log");
    // An edited data file is packed again by the next build.
    const std::string list = shellQuote((prefix / "bin/onefile-pack").string()) + " list " + shellQuote(exe);
    const auto listing = [&] {
        shell(list + " > " + shellQuote((tree / "list").string()));
        return readBytes(tree / "list");
    };
    EXPECT_NE(listing().find("           5  data.txt"), std::string::npos) << listing();
    // The DLL packed is this tree's own.
    const std::string dllSize = std::to_string(fs::file_size(folder / "payload/app.dll"));
    EXPECT_NE(listing().find(std::string(12 - dllSize.size(), ' ') + dllSize + "  app.dll"), std::string::npos)
        << listing();
    writeBytes(tree / "project/data.txt", "second, longer");
    ASSERT_EQ(shell(make), 0) << readBytes(tree / "log");
    EXPECT_NE(listing().find("          14  data.txt"), std::string::npos) << listing();
    EXPECT_EQ(shell("cmake --install " + shellQuote(folder.string()) + " --prefix " +
                    shellQuote((tree / "shipped").string()) + " > /dev/null"),
              0);
    EXPECT_EQ(readBytes(tree / "shipped/bin/outside app.exe"), readBytes(exe));
    // Installed as a program: a Unix loader for Windows programs needs it executable.
    EXPECT_EQ(fs::status(tree / "shipped/bin/outside app.exe").permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);

    const std::string packed = (tree / "packed.exe").string();
    ASSERT_EQ(shell(shellQuote((prefix / "bin/onefile-pack").string()) + " build --level 3 --entry app.dll -o " +
                    shellQuote(packed) + " " + shellQuote((folder / "payload").string()) + " > /dev/null"),
              0);
    EXPECT_EQ(shell(wine + " " + shellQuote(packed) + " < /dev/null"), 41);
}

// The README's part for package users, run as written in a folder of its
// own with the unpacked package `root` as the only SDK ("/usr/" stands for
// its usr/): its C++ and CMake files written as given, its shell blocks run
// one after the other; then what they printed, and the Debug executable's
// DLL is the Debug tree's.
void runReadmePackagePart(const fs::path& root, const fs::path& work)
{
    const fs::path repository = fs::path(std::getenv("ONEFILE_TEST_DATA")).parent_path().parent_path();
    const std::string readme = readBytes(repository / "README.md");
    const size_t from = readme.find("\n## From the Debian package\n");
    ASSERT_NE(from, std::string::npos) << "the README has no part for package users";
    const std::string part = readme.substr(from, readme.find("\n## ", from + 1) - from);
    fs::create_directories(work);
    std::string script = "set -e\ncd " + shellQuote(work.string()) + "\nexport HOME=" + shellQuote(work.string()) +
                         " PATH=" + shellQuote((root / "usr/bin").string()) +
                         ":$PATH CMAKE_PREFIX_PATH=" + shellQuote((root / "usr").string()) + "\n";
    size_t blocks = 0;
    for (size_t at = part.find("\n```"); at != std::string::npos; at = part.find("\n```", at + 1)) {
        const size_t bodyAt = part.find('\n', at + 1) + 1;
        const size_t end = part.find("\n```", bodyAt - 1);
        const std::string kind = part.substr(at + 4, bodyAt - 1 - (at + 4));
        const std::string body = part.substr(bodyAt, end + 1 - bodyAt);
        at = end + 1;
        if (kind == "sh") {
            std::string commands = body;
            for (size_t at = commands.find("/usr/"); at != std::string::npos; at = commands.find("/usr/", at + 1)) {
                commands.replace(at, 5, (root / "usr").string() + "/");
                at += (root / "usr").string().size();
            }
            script += commands;
        } else if (kind == "cpp" || kind == "cmake") {
            const size_t nameAt = body.find(' ') + 1;
            writeBytes(work / body.substr(nameAt, body.find('\n') - nameAt), body);
        } else {
            continue;
        }
        ++blocks;
    }
    EXPECT_EQ(blocks, 4u);
    writeBytes(work / "readme.sh", script);
    ASSERT_EQ(shell("bash " + shellQuote((work / "readme.sh").string()) + " > " + shellQuote((work / "log").string()) +
                    " 2>&1 < /dev/null"),
              0)
        << script << readBytes(work / "log");
    const std::string said = readBytes(work / "log");
    for (const char* line : {"Hello from the payload", "argument 1: one", "argument 2: two words"}) {
        EXPECT_NE(said.find(line), std::string::npos) << line << "\n" << said;
    }
    const std::string dllSize = std::to_string(fs::file_size(work / "build-debug/payload/app.dll"));
    EXPECT_NE(fs::file_size(work / "build-release/payload/app.dll"),
              fs::file_size(work / "build-debug/payload/app.dll"));
    EXPECT_NE(said.find(std::string(12 - dllSize.size(), ' ') + dllSize + "  app.dll"), std::string::npos) << said;
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
    writeBytes(tree / "project/a.cpp", "");
    const auto configure = [&](const std::string& call, bool forWindows = true, const std::string& build = "build") {
        const std::string languages = call.find("add_library") != std::string::npos ? "CXX" : "NONE";
        writeBytes(tree / "project/CMakeLists.txt",
                   "cmake_minimum_required(VERSION 3.20)\nproject(typo " + languages +
                       ")\n"
                       "find_package(OnefileBootstrap CONFIG REQUIRED)\nadd_custom_target(t)\n" +
                       call + "\n");
        fs::remove_all(tree / build);
        const int status =
            shell("cmake -S " + shellQuote((tree / "project").string()) + " -B " + shellQuote((tree / build).string()) +
                  (forWindows ? " -DCMAKE_TOOLCHAIN_FILE=" + shellQuote(toolchain.string()) : std::string()) +
                  " -DCMAKE_PREFIX_PATH=" + shellQuote((tree / "sdk").string()) + " > " +
                  shellQuote((tree / "log").string()) + " 2>&1");
        std::string log = readBytes(tree / "log");  // CMake wraps its message's lines
        for (size_t at = log.find("\n  "); at != std::string::npos; at = log.find("\n  ")) log.replace(at, 3, " ");
        return std::make_pair(status, log);
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
    EXPECT_NE(hostLog.find("not Windows x64; configure it with -DCMAKE_TOOLCHAIN_FILE=" + toolchain.string()),
              std::string::npos)
        << hostLog;
    const auto [bare, bareLog] = configure("onefile_add_executable(app ENTRY a.dll DIRECTORY d DEPENDS t SPLASH)");
    EXPECT_NE(bare, 0);
    EXPECT_NE(bareLog.find("no value for SPLASH"), std::string::npos) << bareLog;
    // A capitalised target far from every keyword is a dependency as before.
    const auto [target, targetLog] = configure("onefile_add_executable(app ENTRY a.dll DIRECTORY d DEPENDS t MYLIB)");
    EXPECT_EQ(target, 0) << targetLog;
    // The entry DLL a target of the project builds, without that target
    // among DEPENDS: the build could pack before it exists.
    const std::string library = "add_library(lib SHARED a.cpp)\nset_target_properties(lib PROPERTIES PREFIX \"\" "
                                "RUNTIME_OUTPUT_DIRECTORY ${CMAKE_SOURCE_DIR}/p)\n";
    const auto [undeclared, undeclaredLog] =
        configure(library + "onefile_add_executable(app ENTRY lib.dll DIRECTORY p)");
    EXPECT_NE(undeclared, 0);
    EXPECT_NE(undeclaredLog.find("lib.dll is built by target lib; add DEPENDS lib"), std::string::npos)
        << undeclaredLog;
    // One payload folder the project builds into, two build trees: the
    // second is stopped while the first exists.
    const std::string shared = library + "onefile_add_executable(app ENTRY lib DIRECTORY p)";
    EXPECT_EQ(configure(shared).first, 0);
    const auto [second, secondLog] = configure(shared, true, "build-debug");
    EXPECT_NE(second, 0);
    EXPECT_NE(secondLog.find("is the payload folder of the build tree " + (tree / "build").string()), std::string::npos)
        << secondLog;
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
    runReadmePackagePart(tree / "root", tree / "readme");
    // The toolchain's emulator, from the package alone: a private prefix in
    // the project's build tree.
    std::string emulator = readBytes(tree / "build/emulator.txt");
    ASSERT_EQ(emulator.find((tree / "root/usr/share/onefile/onefile-wine-run").string() + ";"), 0u) << emulator;
    EXPECT_EQ(emulator.substr(emulator.find(';') + 1), (tree / "build/wineprefix").string());
    std::replace(emulator.begin(), emulator.end(), ';', ' ');
    EXPECT_EQ(shell(emulator + " " + shellQuote((tree / "build/outside app.exe").string()) + " a b < /dev/null"), 43);
    EXPECT_TRUE(fs::exists(tree / "build/wineprefix/.onefile-ready"));
}

// The manual page and the README's table of options are what the packer's
// option table renders (so --help, the page and the table cannot drift),
// and every keyword of onefile_add_executable is in the table.
TEST(SdkInstall, EveryOptionIsInTheManualPageAndTheReadme)
{
    const fs::path host = std::getenv("ONEFILE_HOST_BUILD");
    const fs::path root = fs::path(std::getenv("ONEFILE_TEST_DATA")).parent_path().parent_path();
    EXPECT_EQ(readBytes(host / "onefile-pack.1"), renderManPage(ONEFILE_VERSION));
    const std::string readme = readBytes(root / "README.md");
    const size_t tableAt = readme.find("\n## Every option\n");
    ASSERT_NE(tableAt, std::string::npos) << "the README has no table of options";
    const std::string table = readme.substr(tableAt, readme.find("\n## ", tableAt + 1) - tableAt);
    EXPECT_NE(table.find(renderOptionTable()), std::string::npos) << "the README's table differs from:\n"
                                                                  << renderOptionTable();
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
