// The packer's checks of the entry and of what the payload imports, on PE
// files the cross compiler made (pe_samples) and on images made by hand.
#include "crafted_pe.h"
#include "host_support.h"
#include "block/block.h"
#include "pe/pe.h"

#include <gtest/gtest.h>

#include <sstream>

#include <array>
#include <optional>
#include <unordered_set>

namespace {

fs::path sample(const std::string& name)
{
    return fs::path(std::getenv("ONEFILE_PE_SAMPLES")) / name;
}

bool samplesBuilt()
{
    return std::getenv("ONEFILE_PE_SAMPLES") != nullptr && fs::exists(sample("uses_helper.dll"));
}

struct PackRun {
    int exitCode;
    std::string out, err;
};

// `onefile-pack create` of `folder` (app.dll its entry) with `options`.
PackRun create(const TempTree& tree, const fs::path& folder, const std::string& options)
{
    const fs::path out = tree / "out.txt", err = tree / "err.txt";
    const int exitCode =
        shell(shellQuote(std::getenv("ONEFILE_PACK")) + " create --level 1 --sdk /none " + options +
              " --entry app.dll -o " + shellQuote((tree / "app.block").string()) + " " + shellQuote(folder.string()) +
              " > " + shellQuote(out.string()) + " 2> " + shellQuote(err.string()));
    return {exitCode, readBytes(out), readBytes(err)};
}

// A folder holding `entry` as app.dll.
fs::path payloadWith(const TempTree& tree, const std::string& folder, const std::string& entry)
{
    fs::create_directories(tree / folder);
    writeBytes(tree / (folder + "/app.dll"), entry);
    return tree / folder;
}

TEST(PackImports, EntryThatCannotRunIsRefusedWithTheFix)
{
    ONEFILE_REQUIRE(samplesBuilt(), "the PE samples are not built");
    std::string i386 = readBytes(sample("run_code.dll"));
    const size_t header = static_cast<uint8_t>(i386[0x3c]) | static_cast<uint8_t>(i386[0x3d]) << 8;
    i386[header + 4] = '\x4c';  // the machine field: 0x14c, i386
    i386[header + 5] = '\x01';
    const struct {
        std::string entry, line;
    } cases[] = {
        {"just text", "app.dll is not a Windows DLL (no PE header); the entry must be a 64-bit DLL that exports "
                      "run_code\n"},
        {readBytes(sample("program.exe")), "app.dll is a program (.exe), not a DLL; build the entry with -shared\n"},
        {i386, "app.dll is a 32-bit x86 (i386) DLL; the bootstrap is 64-bit: build it for x86-64 "
               "(x86_64-w64-mingw32)\n"},
        {readBytes(sample("helper.dll")),
         "app.dll exports no run_code; declare it extern \"C\" (see include/onefile_app.h)\n"},
        {readBytes(sample("mangled.dll")), "app.dll exports run_code only under its C++ name _Z8run_codeiPPwPKw; "
                                           "declare it extern \"C\" (see include/onefile_app.h)\n"},
    };
    for (const auto& c : cases) {
        TempTree tree;
        const fs::path folder = payloadWith(tree, "in", c.entry);
        const PackRun run = create(tree, folder, "");
        EXPECT_EQ(run.exitCode, 1) << c.line;
        EXPECT_EQ(run.err, "onefile-pack: " + (folder / c.line).string());
        EXPECT_FALSE(fs::exists(tree / "app.block")) << c.line;
    }
    TempTree tree;
    EXPECT_EQ(create(tree, payloadWith(tree, "in", readBytes(sample("run_code.dll"))), "").exitCode, 0);
}

TEST(PackImports, ImportsAreFoundInThePayloadCollectedOrRefusedByName)
{
    ONEFILE_REQUIRE(samplesBuilt(), "the PE samples are not built");
    TempTree tree;
    const fs::path alone = payloadWith(tree, "alone", readBytes(sample("uses_helper.dll")));
    const std::string samples = shellQuote(sample("").string());
    const std::string old = shellQuote(sample("old").string());

    PackRun run = create(tree, alone, "");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "onefile-pack: helper.dll, imported by app.dll, is found nowhere: it is no system DLL, not in "
                       "the payload and in no --dll-path folder; put it beside app.dll or name its folder with "
                       "--dll-path\n");

    // The first folder that has it wins; the older version lacks the name.
    run = create(tree, alone, "--dll-path " + old + " --dll-path " + samples);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "onefile-pack: helper.dll exports no helper_value, which app.dll imports; the DLL found is "
                       "another version than the one it was built against\n");

    run = create(tree, alone, "--dll-path " + samples + " --no-collect");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("helper.dll, imported by app.dll, is not in the payload; it lies in "), std::string::npos);
    EXPECT_NE(run.err.find(", which --no-collect leaves out\n"), std::string::npos);

    run = create(tree, alone, "--dll-path " + samples);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("onefile-pack: added helper.dll from " + sample("").parent_path().string() +
                                " (imported by app.dll)\n",
                            0),
              0u)
        << run.out;
    const pack::BlockReport report = pack::inspectBlock([&] {
        const std::string bytes = readBytes(tree / "app.block");
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    }());
    ASSERT_EQ(report.records.size(), 2u);
    // The summary names the files' own bytes and the block's.
    EXPECT_NE(run.out.find("onefile-pack: 2 files of " +
                           std::to_string(report.records[0].size + report.records[1].size) + " bytes into a block of " +
                           std::to_string(fs::file_size(tree / "app.block")) + " bytes"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(report.records[1].name, u"helper.dll");

    // Beside its importer, in any letter case, it is simply carried.
    const fs::path carried = payloadWith(tree, "carried", readBytes(sample("uses_helper.dll")));
    writeBytes(carried / "HELPER.DLL", readBytes(sample("helper.dll")));
    run = create(tree, carried, "");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find("added"), std::string::npos) << run.out;
}

// A wrong --entry names the DLLs that could be the entry.
TEST(PackImports, AWrongEntryNamesTheDllsThatCouldBeIt)
{
    ONEFILE_REQUIRE(samplesBuilt(), "the PE samples are not built");
    TempTree tree;
    const fs::path folder = payloadWith(tree, "in", readBytes(sample("run_code.dll")));
    writeBytes(folder / "helper.dll", readBytes(sample("helper.dll")));
    // A name whose last four bytes cut a UTF-8 sequence is no DLL, and no error.
    writeBytes(folder / "x\xc3\xa9"
                        "abc",
               "x");
    fs::create_directories(tree / "none");
    writeBytes(tree / "none/helper.dll", readBytes(sample("helper.dll")));
    fs::create_directories(tree / "empty");
    const struct {
        fs::path folder;
        std::string line;
    } cases[] = {
        {folder, "; the DLLs at its top that export run_code: app.dll\n"},
        {tree / "none", "; none of the DLLs at its top exports run_code: helper.dll\n"},
        {tree / "empty", "; it has no DLL at its top\n"},
    };
    for (const auto& c : cases) {
        const fs::path err = tree / "err.txt";
        EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " create --sdk /none --entry App.dll -o " +
                        shellQuote((tree / "x.block").string()) + " " + shellQuote(c.folder.string()) + " 2> " +
                        shellQuote(err.string())),
                  1);
        EXPECT_EQ(readBytes(err), "onefile-pack: " + (c.folder / "App.dll").string() +
                                      ": the entry DLL is not a file below " + c.folder.string() + c.line);
    }
}

// Every DLL Windows ships counts as the system's, not only the common ones;
// what the table misses, --system-dll names.
TEST(PackImports, EveryWindowsDllIsTheSystemsAndMoreCanBeNamed)
{
    ONEFILE_REQUIRE(samplesBuilt(), "the PE samples are not built");
    const fs::path wineDll = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/ddrawex.dll";
    ONEFILE_REQUIRE(fs::exists(wineDll), "no wine64 DLLs");
    TempTree tree;
    // A DLL importing ddraw.dll, beside the entry.
    const fs::path folder = payloadWith(tree, "in", readBytes(sample("run_code.dll")));
    writeBytes(folder / "ddrawex.dll", readBytes(wineDll));
    PackRun run = create(tree, folder, "");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find("added"), std::string::npos) << run.out;

    const fs::path alone = payloadWith(tree, "alone", readBytes(sample("uses_helper.dll")));
    run = create(tree, alone, "--system-dll HELPER.dll");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find("added"), std::string::npos) << run.out;
    const struct {
        std::string name, line;
    } refused[] = {
        {"sub/helper.dll", "--system-dll sub/helper.dll: a DLL's file name, not a path"},
        {"a b.dll", "--system-dll 'a b.dll': a DLL's file name has only letters, digits, '.', '-', '_' and '+'"},
        {"*", "--system-dll '*': a DLL's file name has only letters, digits, '.', '-', '_' and '+'"},
        {"con.dll", "--system-dll 'con.dll': a device's name, which no file can have"},
        {"LPT1", "--system-dll 'LPT1': a device's name, which no file can have"},
        {"..", "--system-dll '..': not a file name"},
        {std::string(252, 'a') + ".dll",
         "--system-dll '" + std::string(252, 'a') + ".dll': a DLL's file name has 1 to 255 characters"},
    };
    for (const auto& r : refused) {
        run = create(tree, alone, "--system-dll " + shellQuote(r.name));
        EXPECT_EQ(run.exitCode, 1) << r.name;
        EXPECT_EQ(run.err, "onefile-pack: " + r.line + "\n");
    }
    run = create(tree, alone, "--system-dll " + std::string(251, 'a') + ".dll --system-dll com10.dll");
    EXPECT_NE(run.err.find("helper.dll, imported by app.dll, is found nowhere"), std::string::npos) << run.err;

    // An imported DLL's name that is not UTF-8 names the file and the DLL.
    const std::vector<uint8_t> entry = delayImportingDll("late\xff.dll", "late_function");
    run = create(tree, payloadWith(tree, "utf8", std::string(entry.begin(), entry.end())), "");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "onefile-pack: " + (tree / "utf8/app.dll").string() +
                           ": a damaged PE file: the name of an imported DLL, 'late\\xff.dll', is not valid UTF-8\n");
}

// Tables that share their entries multiply the work their own bounds
// allow: the names read are bounded per file and over the whole payload,
// and a file past either is refused in one line.
TEST(PackImports, CraftedTablesThatMultiplyTheWorkAreRefusedInOneLine)
{
    TempTree tree;
    const auto text = [](const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); };
    PackRun run;
    // Names, ordinals and delay-load ordinals all count.
    for (const auto& [folder, kind] :
         {std::pair{"shared", SharedThunks::named}, std::pair{"ordinals", SharedThunks::ordinals},
          std::pair{"delayed", SharedThunks::delayedOrdinals}}) {
        run = create(tree, payloadWith(tree, folder, text(sharedThunksDll(4095, 65535, kind))), "");
        EXPECT_EQ(run.exitCode, 1) << folder;
        EXPECT_EQ(run.err, "onefile-pack: " + (tree / folder / "app.dll").string() +
                               ": a damaged PE file: more than 524288 imported and exported names\n");
    }

    // Within the bound, every name is looked up: the one not exported is named.
    const fs::path many = payloadWith(tree, "many", text(importsOfAllDll("big.dll", 65535, 60, "absent")));
    writeBytes(many / "big.dll", text(manyExportsDll(65535)));
    run = create(tree, many, "");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "onefile-pack: big.dll exports no absent, which app.dll imports; the DLL found is another "
                       "version than the one it was built against\n");

    // Files each within the bound, together past the payload's.
    const fs::path payload = payloadWith(tree, "payload", text(sharedThunksDll(7, 65535)));
    for (int i = 0; i < 4; ++i)
        writeBytes(payload / ("copy" + std::to_string(i) + ".dll"), readBytes(payload / "app.dll"));
    run = create(tree, payload, "");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "onefile-pack: the payload's PE files import and export more than 2097152 names in all; no real "
                       "application has so many: is a file in the folder crafted?\n");
}

// A delay-loaded DLL is resolved as any import: refused when found
// nowhere, carried when the payload has it.
TEST(PackImports, DelayLoadedImportsAreResolvedToo)
{
    TempTree tree;
    const std::vector<uint8_t> entry = delayImportingDll("late.dll", "late_function");
    const fs::path folder = payloadWith(tree, "in", std::string(entry.begin(), entry.end()));
    PackRun run = create(tree, folder, "");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "onefile-pack: late.dll, imported by app.dll, is found nowhere: it is no system DLL, not in the "
                       "payload and in no --dll-path folder; put it beside app.dll or name its folder with "
                       "--dll-path\n");
    const std::vector<uint8_t> late = manyExportsDll(0);
    writeBytes(folder / "late.dll", std::string(late.begin(), late.end()));
    run = create(tree, folder, "");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "onefile-pack: late.dll exports no late_function, which app.dll imports; the DLL found is "
                       "another version than the one it was built against\n");
}

// Tables found through many sections, overlapping ones among them: each
// address in the section that holds it.
TEST(PeReader, FindsTablesAmongManySections)
{
    const std::vector<uint8_t> image = manyExportsDll(3, 4000);
    const std::optional<pack::PeImage> read = pack::readPeImage(image, "many.dll");
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->exports, (std::unordered_set<std::string>{"run_code", "f0", "f1", "f2"}));
    // The data's section (the last in the table, at 0x1000) overlapped by
    // a padding section without data that begins below it and reaches past
    // its end: the tables lie in the padding, outside any data.
    std::vector<uint8_t> overlapped = image;
    const size_t table = 0x58 + 240;
    overlapped[table + 8 + 1] = 0x10;                            // the first padding section: 0x1000 bytes ...
    overlapped[table + 8 + 3] = 0x01;                            // ... plus 16 MiB
    for (int i = 0; i < 4; ++i) overlapped[table + 12 + i] = 0;  // at address 0
    try {
        pack::readPeImage(overlapped, "overlapping.dll");
        ADD_FAILURE() << "an overlapped table was read";
    } catch (const pack::Error& error) {
        EXPECT_STREQ(error.what(), "overlapping.dll: a damaged PE file: a table lies outside its section's data");
    }
}

// Every count a table gives and every name it points at is bounded, each
// just within its bound and just past it.
TEST(PeReader, EveryCountAndTableIsBounded)
{
    using S = SharedThunks;
    const std::string longName(4096, 'n');
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        std::string refusal;  // empty: read
    } cases[] = {
        {"65,536 exported names", manyExportsDll(65535), ""},
        {"65,537 exported names", manyExportsDll(65536), "too many exported names"},
        {"4,095 import descriptors", sharedThunksDll(4095, 1), ""},
        {"4,096 import descriptors", sharedThunksDll(4096, 1), "an import directory without end"},
        {"4,095 delay-load descriptors", sharedThunksDll(4095, 1, S::delayedOrdinals), ""},
        {"4,096 delay-load descriptors", sharedThunksDll(4096, 1, S::delayedOrdinals),
         "a delay-load directory without end"},
        {"65,535 thunks in a table", sharedThunksDll(1, 65535, S::ordinals), ""},
        {"65,536 thunks in a table", sharedThunksDll(1, 65536, S::ordinals), "an import table without end"},
        {"524,281 names in a file", sharedThunksDll(8, 65534, S::ordinals), ""},
        {"589,825 names in a file", sharedThunksDll(9, 65535, S::ordinals),
         "more than 524288 imported and exported names"},
        {"a name of 4,096 bytes", sharedThunksDll(1, 1, S::named, longName), ""},
        {"a name of 4,097 bytes", sharedThunksDll(1, 1, S::named, longName + "n"), "a name longer than 4096 bytes"},
        {"32 MiB of names in a file", sharedThunksDll(1, 8190, S::named, longName), ""},
        {"past 32 MiB of names in a file", sharedThunksDll(1, 8193, S::named, longName), "more than 32 MiB of names"},
    };
    for (const auto& c : cases) {
        try {
            EXPECT_TRUE(pack::readPeImage(c.bytes, "x.dll").has_value()) << c.what;
            EXPECT_EQ(c.refusal, "") << c.what;
        } catch (const pack::Error& error) {
            EXPECT_EQ(std::string(error.what()), "x.dll: a damaged PE file: " + c.refusal) << c.what;
        }
    }
}

TEST(PeReader, ReadsDelayLoadsAndRefusesTablesThatPointOutside)
{
    // A delay-load descriptor at 0x1000 naming "late.dll" (0x1100), its
    // name table at 0x1040 with one name, "late_function" (hint at 0x1120).
    std::vector<uint8_t> section(0x140);
    const auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) section[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put32(0x00, 1);  // RVA based
    put32(0x04, 0x1100);
    put32(0x10, 0x1040);
    put32(0x40, 0x1120);
    const std::string dll = "late.dll", function = "late_function";
    std::copy(dll.begin(), dll.end(), section.begin() + 0x100);
    std::copy(function.begin(), function.end(), section.begin() + 0x122);

    const std::vector<uint8_t> image = handMadeDll(section, {{13, 0x1000, 64}});
    const std::optional<pack::PeImage> read = pack::readPeImage(image, "late.dll");
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(read->dll && read->pe32Plus);
    ASSERT_EQ(read->imports.size(), 1u);
    EXPECT_EQ(read->imports[0].dll, "late.dll");
    EXPECT_TRUE(read->imports[0].delayed);
    EXPECT_EQ(read->imports[0].names, std::vector<std::string>{"late_function"});

    const struct {
        std::vector<uint8_t> bytes;
        const char* why;
    } damaged[] = {
        {handMadeDll(section, {{13, 0x5000, 64}}), "an address lies in no section"},
        {handMadeDll(section, {{1, 0x1130, 40}}), "a table points past the end of the file"},
        {std::vector<uint8_t>(image.begin(), image.begin() + 0x230), "a name runs past the end of the file"},
    };
    for (const auto& d : damaged) {
        try {
            pack::readPeImage(d.bytes, "x.dll");
            ADD_FAILURE() << "accepted: " << d.why;
        } catch (const pack::Error& error) {
            EXPECT_EQ(std::string(error.what()), std::string("x.dll: a damaged PE file: ") + d.why);
        }
    }
    EXPECT_FALSE(pack::readPeImage(std::vector<uint8_t>{'M', 'Z'}, "short").has_value());
}

// Only the toolchain's own runtimes are stripped: a DLL from a folder the
// user names with --dll-path is carried as given, even when that folder is
// the toolchain's, however either is spelt.
TEST(PeReader, OnlyTheToolchainsRuntimesAreStripped)
{
    TempTree tree;
    const fs::path toolchain = tree / "toolchain", user = tree / "user", other = tree / "other";
    for (const fs::path& folder : {toolchain, user, other}) fs::create_directories(folder);
    fs::create_directory_symlink(toolchain, tree / "link");
    const struct {
        const char* what;
        fs::path source;
        std::vector<fs::path> userFolders;
        bool stripped;
    } cases[] = {
        {"from the toolchain", toolchain / "libstdc++-6.dll", {}, true},
        {"from the toolchain, another --dll-path named", toolchain / "libstdc++-6.dll", {user}, true},
        {"from the toolchain named with --dll-path", toolchain / "libstdc++-6.dll", {toolchain}, false},
        {"from the toolchain named through a link", toolchain / "libstdc++-6.dll", {tree / "link"}, false},
        {"from the toolchain named with a trailing dot", toolchain / "libstdc++-6.dll", {toolchain / "."}, false},
        {"through a link to the toolchain", tree / "link" / "libstdc++-6.dll", {}, true},
        {"from a --dll-path folder", user / "helper.dll", {user}, false},
        {"from elsewhere", other / "helper.dll", {}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pack::isStrippedRuntime(c.source, {toolchain}, c.userFolders), c.stripped) << c.what;
    }
}

// A DLL built the usual way, without -static, imports the C++ runtime's
// DLLs: the packer adds them from the toolchain and the executable runs.
TEST(CollectedRuntime, DllBuiltWithoutStaticLinkingRunsWithItsRuntimeAdded)
{
    ONEFILE_REQUIRE(samplesBuilt() && harnessAvailable(), "the PE samples or the Windows build are missing");
    TempTree tree;
    const fs::path folder = payloadWith(tree, "in", readBytes(sample("needs_runtime.dll")));
    const fs::path exe = tree / "app.exe";
    ASSERT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build --level 1 --entry app.dll -o " +
                    shellQuote(exe.string()) + " " + shellQuote(folder.string()) + " > " +
                    shellQuote((tree / "out.txt").string())),
              0);
    const std::string out = readBytes(tree / "out.txt");
    for (const char* runtime : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"}) {
        EXPECT_NE(out.find(std::string("onefile-pack: added ") + runtime + " from "), std::string::npos) << out;
    }
    // run_code returns the digits of argc * 100 plus argc: 3 + 3.
    EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(exe.string()) +
                    " one two < /dev/null > /dev/null 2>&1"),
              6);

    // The runtimes are carried without their debug information unless
    // --no-strip: the toolchain's own files as they are.
    const auto runtimeSize = [&](const fs::path& executable) {
        shell(shellQuote(std::getenv("ONEFILE_PACK")) + " list " + shellQuote(executable.string()) + " > " +
              shellQuote((tree / "list.txt").string()));
        std::istringstream lines(readBytes(tree / "list.txt"));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("  libstdc++-6.dll") != std::string::npos) return std::stoull(line);
        }
        return 0ull;
    };
    const fs::path whole = tree / "whole.exe";
    ASSERT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build --level 1 --no-strip --entry app.dll -o " +
                    shellQuote(whole.string()) + " " + shellQuote(folder.string()) + " > /dev/null"),
              0);
    const unsigned long long stripped = runtimeSize(exe), unstripped = runtimeSize(whole);
    EXPECT_NE(out.find("libstdc++-6.dll from"), std::string::npos);
    EXPECT_NE(out.find("; debug information stripped, " + std::to_string(unstripped) + " -> " +
                       std::to_string(stripped) + " bytes)"),
              std::string::npos)
        << out;
    EXPECT_GT(stripped, 0u);
    EXPECT_LT(stripped * 4, unstripped);
    // No larger than the toolchain's strip makes it (and it ran, above).
    const std::string strip = std::getenv("ONEFILE_CROSS_STRIP");
    const fs::path copy = tree / "libstdc++-6.dll";
    ASSERT_EQ(shell("cp " + shellQuote(std::string(std::getenv("ONEFILE_CROSS_RUNTIME"))) + " " +
                    shellQuote(copy.string()) + " && " + shellQuote(strip) + " --strip-debug " +
                    shellQuote(copy.string())),
              0);
    EXPECT_LE(stripped, fs::file_size(copy));

    // A --dll-path folder is the user's, even when it is the toolchain's:
    // its DLLs are carried as they are.
    const std::string found = out.substr(out.find("libstdc++-6.dll from ") + 21);
    const fs::path runtimeFolder = found.substr(0, found.find_first_of(" \n"));
    const fs::path named = tree / "named.exe";
    ASSERT_EQ(shell(shellQuote(std::getenv("ONEFILE_PACK")) + " build --level 1 --dll-path " +
                    shellQuote(runtimeFolder.string()) + " --entry app.dll -o " + shellQuote(named.string()) + " " +
                    shellQuote(folder.string()) + " > /dev/null"),
              0)
        << runtimeFolder;
    EXPECT_EQ(runtimeSize(named), unstripped) << runtimeFolder;
}

}  // namespace
