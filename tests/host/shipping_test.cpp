// What a company ships: version information, manifest choices and an
// Authenticode signature, read back as Windows reads them.
#include "host_support.h"
#include "block/block.h"
#include "signing/signing.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

fs::path windowsTests()
{
    return fs::path(std::getenv("ONEFILE_REPORT_APP")).parent_path();
}

bool shippingToolsThere()
{
    return harnessAvailable() && std::getenv("ONEFILE_REPORT_APP") != nullptr &&
           fs::exists(windowsTests() / "resource_reader.exe") &&
           std::system("command -v openssl osslsigncode xmllint > /dev/null") == 0;
}

struct PackRun {
    int exitCode;
    std::string out, err;
};

PackRun pack(const TempTree& tree, const std::string& options)
{
    const int exitCode = shell(shellQuote(std::getenv("ONEFILE_PACK")) + " " + options + " > " +
                               shellQuote((tree / "out").string()) + " 2> " + shellQuote((tree / "err").string()));
    return {exitCode, readBytes(tree / "out"), readBytes(tree / "err")};
}

std::string buildOptions(const fs::path& exe)
{
    return "build --level 3 --entry report_app.dll -o " + shellQuote(exe.string()) + " " +
           shellQuote(std::getenv("ONEFILE_REPORT_APP_DIR")) + " ";
}

// What resource_reader printed, its texts decoded.
std::map<std::string, std::string> readResources(const TempTree& tree, const fs::path& exe)
{
    shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " +
          shellQuote((windowsTests() / "resource_reader.exe").string()) + " " + shellQuote(windowsPathOf(exe)) +
          " < /dev/null > " + shellQuote((tree / "resources").string()));
    std::map<std::string, std::string> values;
    std::istringstream lines(readBytes(tree / "resources"));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = line.substr(0, equals), value = line.substr(equals + 1);
        values[name] = name.back() == '#' ? value : decodeHex(value);
    }
    return values;
}

TEST(ShippingOptions, VersionManifestAndSignatureReadBackAndVerify)
{
    ONEFILE_REQUIRE(shippingToolsThere(), "the Windows build, openssl, osslsigncode or xmllint is missing");
    TempTree tree;
    // A code-signing certificate of the test's own, its key's password
    // only in the environment.
    ASSERT_EQ(shell("cd " + shellQuote(tree.path().string()) +
                    " && openssl req -x509 -newkey rsa:2048 -keyout key.pem -out cert.pem -days 2 -nodes "
                    "-subj '/CN=Shipping Test' -addext extendedKeyUsage=codeSigning 2> /dev/null"
                    " && openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.p12 -passout pass:s3cret"),
              0);
    const std::string company = "Acme \"Quotes\" \\ Ltd \xf0\x9f\x98\x80";
    const std::string options = "--file-version 1.2.3.4 --product-version 5.6.0.65535 --company " +
                                shellQuote(company) + " --product 'Prod\xc3\xbc" + "ct' --description 'The tool' " +
                                "--copyright '\xc2\xa9 2026' --internal-name inner --uac-admin --dpi-aware " +
                                "--sign-pkcs12 " + shellQuote((tree / "signer.p12").string()) +
                                " --sign-password-env SIGNING_PASSWORD";
    const fs::path exe = tree / "App.exe";
    const std::string signing = "SIGNING_PASSWORD=s3cret SOURCE_DATE_EPOCH=1700000000 ";
    ASSERT_EQ(shell(signing + shellQuote(std::getenv("ONEFILE_PACK")) + " " + buildOptions(exe) + options + " > " +
                    shellQuote((tree / "built").string())),
              0);
    // The summary says who signed; the mode is an unsigned build's.
    EXPECT_NE(readBytes(tree / "built")
                  .find("App.exe, signed by /CN=Shipping Test (self-signed); the signature "
                        "matches the file"),
              std::string::npos)
        << readBytes(tree / "built");
    EXPECT_EQ(fs::status(exe).permissions(), fs::status(windowsTests() / "report_onefile.exe").permissions());
    EXPECT_NE(fs::status(exe).permissions() & fs::perms::owner_exec, fs::perms::none);

    std::map<std::string, std::string> read = readResources(tree, exe);
    EXPECT_EQ(read["FileVersion#"], "1.2.3.4");
    EXPECT_EQ(read["ProductVersion#"], "5.6.0.65535");
    EXPECT_EQ(read["CompanyName"], company);
    EXPECT_EQ(read["ProductName"], "Prod\xc3\xbc"
                                   "ct");
    EXPECT_EQ(read["FileDescription"], "The tool");
    EXPECT_EQ(read["LegalCopyright"], "\xc2\xa9 2026");
    EXPECT_EQ(read["InternalName"], "inner");
    EXPECT_EQ(read["OriginalFilename"], "App.exe");
    EXPECT_EQ(read["FileVersion"], "1.2.3.4");
    for (const char* expected : {"level=\"requireAdministrator\"", ">PerMonitorV2, PerMonitor</dpiAwareness>",
                                 ">true/pm</dpiAware>", ">true</longPathAware>"}) {
        EXPECT_NE(read["manifest"].find(expected), std::string::npos) << expected;
    }

    PackRun run = pack(tree, "verify " + shellQuote(exe.string()));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("signed by /CN=Shipping Test (self-signed); the signature matches the file, but the chain "
                           "ends at /CN=Shipping Test, which nobody here trusts: anyone could have made it, whatever "
                           "its names say\n"),
              std::string::npos)
        << run.out;
    // Trusted by the user: the signature verifies.
    run = pack(tree, "verify --trust " + shellQuote((tree / "cert.pem").string()) + " " + shellQuote(exe.string()));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("signed by /CN=Shipping Test (self-signed), a chain to a root in " +
                           (tree / "cert.pem").string() + "; the signature verifies\n"),
              std::string::npos)
        << run.out;
    // The signing time comes from SOURCE_DATE_EPOCH: the same bytes again.
    const fs::path again = tree / "again/App.exe";
    fs::create_directories(again.parent_path());
    ASSERT_EQ(
        shell(signing + shellQuote(std::getenv("ONEFILE_PACK")) + " " + buildOptions(again) + options + " > /dev/null"),
        0);
    EXPECT_TRUE(readBytes(again) == readBytes(exe)) << "signing twice gave different bytes";
    EXPECT_EQ(shell(shellQuote(std::getenv("ONEFILE_WINE_RUN")) + " " + shellQuote(exe.string()) +
                    " --app-exit=9 < /dev/null > /dev/null 2>&1"),
              9);

    // Without osslsigncode on the path, one line says so.
    EXPECT_EQ(shell("env PATH=/nonexistent " + shellQuote(std::getenv("ONEFILE_PACK")) + " verify " +
                    shellQuote(exe.string()) + " > " + shellQuote((tree / "bare").string())),
              0);
    EXPECT_NE(readBytes(tree / "bare").find(": osslsigncode is not installed, so the signature is not checked\n"),
              std::string::npos)
        << readBytes(tree / "bare");

    // One byte of the block flipped: the signature no longer covers it.
    std::string bytes = readBytes(exe);
    const pack::BlockReport report = pack::inspectBlock(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    bytes[report.blockOffset + 100] ^= 0x01;
    writeBytes(exe, bytes);
    run = pack(tree, "verify " + shellQuote(exe.string()));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("signed, but the signature no longer verifies: the file changed after it was signed"),
              std::string::npos)
        << run.err;
}

// A self-signed code-signing certificate named `subject` into
// `name`.p12 (password "pw"), valid for `days` (-1: expired yesterday).
void makeSigner(const TempTree& tree, const std::string& name, const std::string& subject, int days)
{
    const std::string cd = "cd " + shellQuote(tree.path().string()) + " && ";
    ASSERT_EQ(shell(cd + "openssl req -new -newkey rsa:2048 -nodes -keyout " + name + ".key -subj " +
                    shellQuote(subject) + " -out " + name + ".csr 2> /dev/null && printf " +
                    shellQuote("extendedKeyUsage=codeSigning\n") + " > " + name + ".ext && openssl x509 -req -in " +
                    name + ".csr -signkey " + name + ".key -days " + std::to_string(days) + " -extfile " + name +
                    ".ext -out " + name + ".pem 2> /dev/null && openssl pkcs12 -export -inkey " + name + ".key -in " +
                    name + ".pem -out " + name + ".p12 -passout pass:pw"),
              0);
}

// The report application built into `exe`, signed with `pkcs12` (password
// "pw"); its bytes, or nothing when the build failed.
std::string buildSigned(const fs::path& exe, const fs::path& pkcs12)
{
    const int status =
        shell("SIGNING_PASSWORD=pw " + shellQuote(std::getenv("ONEFILE_PACK")) + " " + buildOptions(exe) +
              "--sign-pkcs12 " + shellQuote(pkcs12.string()) + " --sign-password-env SIGNING_PASSWORD > /dev/null");
    EXPECT_EQ(status, 0);
    return status == 0 ? readBytes(exe) : std::string();
}

uint32_t read32(const std::string& bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Signed executables damaged after signing, re-signed by someone else, or
// signed with an expired certificate: verify never calls them fine.
TEST(ShippingOptions, VerifyReportsWhatItCannotVouchFor)
{
    ONEFILE_REQUIRE(shippingToolsThere(), "the Windows build, openssl, osslsigncode or xmllint is missing");
    TempTree tree;
    makeSigner(tree, "signer", "/CN=Shipping Test", 2);
    const fs::path exe = tree / "App.exe";
    const std::string signedBytes = buildSigned(exe, tree / "signer.p12");
    ASSERT_FALSE(signedBytes.empty());
    const size_t entry = read32(signedBytes, 0x3c) + 24 + 108 + 4 + 8 * 4;  // the certificate table's directory
    const size_t table = read32(signedBytes, entry);
    shell("openssl x509 -in " + shellQuote((tree / "signer.pem").string()) + " -outform der -out " +
          shellQuote((tree / "signer.der").string()));
    const std::string certificate = readBytes(tree / "signer.der");
    const size_t certificateAt = signedBytes.find(certificate);
    ASSERT_NE(certificateAt, std::string::npos);

    const struct {
        const char* what;
        size_t at;  // the byte whose lowest bit flips; npos: 8 bytes appended instead
        const char* said;
    } damaged[] = {
        {"the directory's size", entry + 4, "a damaged certificate table: "},
        {"the entry's length", table, "a damaged certificate table: "},
        {"the entry's revision", table + 4, "a damaged certificate table: "},
        {"the entry's type", table + 6, "a damaged certificate table: "},
        {"bytes appended", std::string::npos, "a damaged certificate table: 8 bytes of data after the signature"},
        {"the certificate's own signature", certificateAt + certificate.size() - 16,
         "the certificate of /CN=Shipping Test does not verify against itself"},
    };
    for (const auto& d : damaged) {
        std::string bytes = signedBytes;
        if (d.at == std::string::npos) {
            bytes += std::string(8, '\0');
        } else {
            bytes[d.at] ^= 0x01;
        }
        writeBytes(exe, bytes);
        const PackRun run = pack(tree, "verify " + shellQuote(exe.string()));
        EXPECT_EQ(run.exitCode, 1) << d.what << ": " << run.out;
        EXPECT_NE(run.err.find(d.said), std::string::npos) << d.what << ": " << run.err;
    }

    // Changed, then signed again by someone who named himself after a vendor.
    makeSigner(tree, "vendor", "/CN=Well Known Vendor Inc", 2);
    std::string bytes = signedBytes;
    bytes[bytes.find("DOS mode")] = 'd';
    writeBytes(exe, bytes);
    ASSERT_EQ(shell("osslsigncode remove-signature -in " + shellQuote(exe.string()) + " -out " +
                    shellQuote((tree / "bare.exe").string()) + " > /dev/null"),
              0);
    const auto signWith = [&](const std::string& name, const fs::path& out) {
        return shell("osslsigncode sign -pkcs12 " + shellQuote((tree / (name + ".p12")).string()) +
                     " -pass pw -h sha256 -in " + shellQuote((tree / "bare.exe").string()) + " -out " +
                     shellQuote(out.string()) + " > /dev/null");
    };
    ASSERT_EQ(signWith("vendor", tree / "vendor.exe"), 0);
    PackRun run = pack(tree, "verify " + shellQuote((tree / "vendor.exe").string()));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(": signed by /CN=Well Known Vendor Inc (self-signed); the signature matches the file, but "
                           "the chain ends at /CN=Well Known Vendor Inc, which nobody here trusts"),
              std::string::npos)
        << run.out;

    // An expired certificate: refused for signing, and called expired.
    makeSigner(tree, "expired", "/CN=Expired Signer", -1);
    writeBytes(tree / "password", "pw");
    run =
        pack(tree, buildOptions(tree / "refused.exe") + "--sign-pkcs12 " + shellQuote((tree / "expired.p12").string()) +
                       " --sign-password-file " + shellQuote((tree / "password").string()));
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("expired on "), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(tree / "refused.exe"));
    ASSERT_EQ(signWith("expired", tree / "expired.exe"), 0);
    run = pack(tree, "verify " + shellQuote((tree / "expired.exe").string()));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("the signer's certificate (/CN=Expired Signer) expired on "), std::string::npos) << run.err;

    // A key its password does not open, and a file that is no key at all.
    writeBytes(tree / "wrong", "not pw");
    writeBytes(tree / "garbage.p12", "garbage");
    for (const auto& [key, said] : {std::pair<std::string, std::string>{"vendor.p12", "the password does not open it"},
                                    {"garbage.p12", "is no PKCS#12 file openssl can read"}}) {
        run = pack(tree, buildOptions(tree / "refused.exe") + "--sign-pkcs12 " + shellQuote((tree / key).string()) +
                             " --sign-password-file " + shellQuote((tree / "wrong").string()));
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find("signing failed: " + (tree / key).string() + ": " + said), std::string::npos) << run.err;
    }

    // Only an executable without a certificate table is "not signed".
    run = pack(tree, "verify " + shellQuote((tree / "bare.exe").string()));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find(": not signed\n"), std::string::npos) << run.out;
}

// A chain made here, named like a vendor's, and headers changed after
// signing: verify says "verifies" only of a chain to a root it trusts.
TEST(ShippingOptions, VerifyVouchesOnlyForTrustedChains)
{
    ONEFILE_REQUIRE(shippingToolsThere(), "the Windows build, openssl, osslsigncode or xmllint is missing");
    TempTree tree;
    const std::string cd = "cd " + shellQuote(tree.path().string()) + " && ";
    ASSERT_EQ(shell(cd + "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
                         "-subj '/CN=Well Known Root CA' -addext basicConstraints=critical,CA:TRUE 2> /dev/null && "
                         "openssl req -new -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr "
                         "-subj '/CN=Well Known Vendor Inc' 2> /dev/null && "
                         "printf 'extendedKeyUsage=codeSigning\\n' > leaf.ext && "
                         "openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
                         "-extfile leaf.ext -out leaf.pem 2> /dev/null && "
                         "openssl pkcs12 -export -inkey leaf.key -in leaf.pem -certfile ca.pem -out leaf.p12 "
                         "-passout pass:pw"),
              0);
    const fs::path exe = tree / "App.exe";
    const std::string signedBytes = buildSigned(exe, tree / "leaf.p12");
    ASSERT_FALSE(signedBytes.empty());
    const size_t header = read32(signedBytes, 0x3c);
    shell(cd + "openssl x509 -in ca.pem -outform der -out ca.der");
    const std::string ca = readBytes(tree / "ca.der");
    const size_t caAt = signedBytes.find(ca);
    ASSERT_NE(caAt, std::string::npos);
    // The CA's subject: the second of its two names (issuer, then subject).
    const size_t caSubject = signedBytes.find("Well Known Root CA", signedBytes.find("Well Known Root CA", caAt) + 1);
    ASSERT_LT(caSubject, caAt + ca.size());

    const std::string chain = "/CN=Well Known Vendor Inc, issued by /CN=Well Known Root CA (self-signed)";
    const struct {
        const char* what;
        size_t at;  // the byte set to `value`; npos: none
        uint8_t value;
        std::string options;  // before the file
        int exitCode;
        std::string said;  // on standard output for 0, on standard error otherwise
    } rows[] = {
        {"a chain nobody trusts", std::string::npos, 0, "", 0,
         "signed by " + chain +
             "; the signature matches the file, but the chain ends at /CN=Well Known Root CA, "
             "which nobody here trusts: anyone could have made it, whatever its names say\n"},
        {"its root trusted", std::string::npos, 0, "--trust " + shellQuote((tree / "ca.pem").string()) + " ", 0,
         "signed by " + chain + ", a chain to a root in " + (tree / "ca.pem").string() + "; the signature verifies\n"},
        {"the CA's subject changed", caSubject, 'w', "", 1,
         "signed, but the signature cannot be checked: the chain ends at /CN=Well Known Vendor Inc, whose issuer "
         "/CN=Well Known Root CA is neither in the signature nor trusted here, so the chain cannot be built"},
        {"NumberOfRvaAndSizes 4", header + 24 + 108, 4, "", 1,
         "a damaged certificate table: the file ends with a certificate table that its headers no longer name"},
        {"SizeOfOptionalHeader 148", header + 20, 148, "", 1,
         "a damaged certificate table: the file ends with a certificate table that its headers no longer name"},
    };
    for (const auto& row : rows) {
        std::string bytes = signedBytes;
        if (row.at != std::string::npos) bytes[row.at] = static_cast<char>(row.value);
        writeBytes(exe, bytes);
        const PackRun run = pack(tree, "verify " + row.options + shellQuote(exe.string()));
        EXPECT_EQ(run.exitCode, row.exitCode) << row.what << ": " << run.out << run.err;
        EXPECT_NE((row.exitCode == 0 ? run.out : run.err).find(row.said), std::string::npos)
            << row.what << ": " << run.out << run.err;
        if (row.options.empty()) {
            EXPECT_EQ(run.out.find("verifies"), std::string::npos) << row.what << ": " << run.out;
        }
    }
}

// The usual shapes of a chain whose root is not in the signature, each with
// its root in the --trust file, PEM or DER, alone or among others; and a
// trust file that holds no certificate.
TEST(ShippingOptions, VerifyVouchesForTheUsualChainShapes)
{
    ONEFILE_REQUIRE(shippingToolsThere(), "the Windows build, openssl, osslsigncode or xmllint is missing");
    TempTree tree;
    const std::string cd = "cd " + shellQuote(tree.path().string()) + " && ";
    // A certificate `name` for `subject`, issued by `issuer` (or itself), a
    // CA or a code signer.
    const auto issue = [&](const std::string& name, const std::string& subject, const std::string& issuer, bool ca) {
        const std::string extension = ca ? "basicConstraints=critical,CA:TRUE" : "extendedKeyUsage=codeSigning";
        const std::string signer = issuer.empty() ? "-signkey " + name + ".key"
                                                  : "-CA " + issuer + ".pem -CAkey " + issuer + ".key -CAcreateserial";
        return shell(cd + "[ -f " + name + ".key ] || openssl genrsa -out " + name + ".key 2048 2> /dev/null; " +
                     "openssl req -new -key " + name + ".key -subj " + shellQuote(subject) + " -out " + name +
                     ".csr && printf '%s\n' " + shellQuote(extension) + " > " + name +
                     ".ext && openssl x509 -req -in " + name + ".csr " + signer + " -days 2 -extfile " + name +
                     ".ext -out " + name + ".pem 2> /dev/null");
    };
    ASSERT_EQ(issue("rootA", "/CN=Root A", "", true), 0);
    ASSERT_EQ(issue("rootB", "/CN=Root B", "", true), 0);
    ASSERT_EQ(issue("inter", "/CN=Intermediate", "rootA", true), 0);
    ASSERT_EQ(issue("leaf", "/CN=Leaf Vendor", "inter", false), 0);
    ASSERT_EQ(issue("leafB", "/CN=Leaf Under B", "rootB", false), 0);
    ASSERT_EQ(shell(cd + "cp rootB.key crossB.key && cp rootB.csr crossB.csr && printf '%s\n' "
                         "basicConstraints=critical,CA:TRUE > crossB.ext && openssl x509 -req -in crossB.csr -CA "
                         "rootA.pem -CAkey rootA.key -CAcreateserial -days 2 -extfile crossB.ext -out crossB.pem "
                         "2> /dev/null && openssl x509 -in rootA.pem -outform der -out rootA.der && cat rootB.pem "
                         "rootA.pem > roots.pem && echo garbage > garbage.txt"),
              0);
    // Signed by osslsigncode itself: the packer's signing refuses a chain it
    // cannot build without a trust file.
    ASSERT_EQ(shell(buildOptions(tree / "bare.exe").insert(0, shellQuote(std::getenv("ONEFILE_PACK")) + " ") +
                    " > /dev/null"),
              0);
    for (const auto& [name, chain] :
         {std::pair<std::string, std::string>{"leaf", "inter.pem"}, {"leafB", "crossB.pem"}}) {
        ASSERT_EQ(shell(cd + "openssl pkcs12 -export -inkey " + name + ".key -in " + name + ".pem -certfile " + chain +
                        " -out " + name + ".p12 -passout pass:pw && osslsigncode sign -pkcs12 " + name +
                        ".p12 -pass pw -in bare.exe -out " + name + ".exe > /dev/null"),
                  0);
    }
    const struct {
        const char* what;
        const char* exe;
        const char* trust;
        int exitCode;
        const char* said;
    } rows[] = {
        {"leaf and intermediate signed, the root trusted", "leaf.exe", "rootA.pem", 0, "; the signature verifies"},
        {"the root trusted in DER", "leaf.exe", "rootA.der", 0, "; the signature verifies"},
        {"the root among several trusted", "leaf.exe", "roots.pem", 0, "; the signature verifies"},
        {"a cross-signed root, its other root trusted", "leafB.exe", "rootA.pem", 0, "; the signature verifies"},
        {"another root trusted", "leaf.exe", "rootB.pem", 1, "the signature cannot be checked"},
        {"a trust file with no certificate", "leaf.exe", "garbage.txt", 1, "holds no certificate"},
    };
    for (const auto& row : rows) {
        const PackRun run = pack(tree, "verify --trust " + shellQuote((tree / row.trust).string()) + " " +
                                           shellQuote((tree / row.exe).string()));
        EXPECT_EQ(run.exitCode, row.exitCode) << row.what << ": " << run.out << run.err;
        EXPECT_NE((row.exitCode == 0 ? run.out : run.err).find(row.said), std::string::npos)
            << row.what << ": " << run.out << run.err;
        if (row.exitCode != 0) {
            EXPECT_EQ(run.out.find("verifies"), std::string::npos) << row.what << ": " << run.out;
        }
    }
}

TEST(ShippingOptions, OwnManifestAndVersionTextsAreCheckedFirst)
{
    ONEFILE_REQUIRE(shippingToolsThere(), "the Windows build, openssl, osslsigncode or xmllint is missing");
    TempTree tree;
    writeBytes(tree / "broken.manifest", "<assembly><unclosed></assembly>");
    writeBytes(tree / "short.manifest",
               "<?xml version=\"1.0\"?><assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
               "<assemblyIdentity name=\"Own\" version=\"1.0.0.0\" type=\"win32\"/></assembly>");
    const fs::path exe = tree / "Own.exe";
    const struct {
        std::string options;
        int exitCode;
        std::string err;
    } refused[] = {
        {"--manifest " + shellQuote((tree / "broken.manifest").string()), 1, "the manifest is not well-formed XML"},
        {"--manifest " + shellQuote((tree / "short.manifest").string()) + " --uac-admin", 64,
         "--manifest brings the whole manifest"},
        {"--file-version 1.2.3", 1, "--file-version 1.2.3: is not four numbers of 0 to 65535"},
        {"--product-version 1.2.3.65536", 1, "is not four numbers"},
        {"--company \"$(printf 'two\\nlines')\"", 1, "--company: holds a control character"},
        {"--timestamp-url http://example.invalid", 64, "go with --sign-pkcs12"},
    };
    for (const auto& c : refused) {
        const PackRun run = pack(tree, buildOptions(exe) + c.options);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.options;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << c.options << ": " << run.err;
        EXPECT_FALSE(fs::exists(exe)) << c.options;
    }
    const PackRun run = pack(tree, buildOptions(exe) + "--manifest " + shellQuote((tree / "short.manifest").string()));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("declares no longPathAware"), std::string::npos) << run.err;
    std::map<std::string, std::string> read = readResources(tree, exe);
    EXPECT_EQ(read["manifest"], readBytes(tree / "short.manifest"));
    EXPECT_EQ(read.count("CompanyName"), 0u);

    // The example's CMake keywords reach the packer as its options.
    read = readResources(tree, windowsTests().parent_path() / "examples/hello_onefile.exe");
    EXPECT_EQ(read["FileDescription"], "The onefile bootstrap's example application");
    EXPECT_EQ(read["FileVersion#"], std::string(ONEFILE_VERSION) + ".0");
}

// The certificate table read against the file, one row per rule: a PE32+
// header whose security directory (entry 4) names OFFSET and SIZE, and the
// table's bytes at the end.
TEST(CertificateTable, IsReadAgainstTheFile)
{
    const auto image = [](uint32_t offset, uint32_t size, uint32_t directories, const std::string& tail) {
        std::string bytes(0x200, '\0');
        const auto put = [&](size_t at, uint64_t value, int width) {
            for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
        };
        bytes[0] = 'M', bytes[1] = 'Z';
        put(0x3c, 0x40, 4);
        put(0x40, 0x00004550, 4);
        put(0x54, 240, 2);  // the optional header's size
        put(0x58, 0x20b, 2);
        put(0x58 + 108, directories, 4);
        put(0x58 + 112 + 8 * 4, offset, 4);
        put(0x58 + 116 + 8 * 4, size, 4);
        bytes += tail;
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    };
    // One entry: length 16, revision 2, PKCS#7, a DER sequence, padding.
    const std::string entry = std::string("\x10\0\0\0\0\x02\x02\0", 8) + std::string("\x30\x82\0\0\0\0\0\0", 8);
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        bool present;
        std::string problem;
    } cases[] = {
        {"none", image(0, 0, 16, ""), false, ""},
        {"whole", image(0x200, 16, 16, entry), true, ""},
        {"half empty", image(0x200, 0, 16, entry), true, "the certificate table's entry in the headers is half empty"},
        {"not 8-byte aligned", image(0x204, 12, 16, "1234" + entry.substr(0, 12)), true,
         "the certificate table does not start on an 8-byte boundary"},
        {"past the end", image(0x200, 24, 16, entry), true, "the certificate table runs past the end of the file"},
        {"data after it", image(0x200, 16, 16, entry + "12345678"), true, "8 bytes of data after the signature"},
        {"an unknown revision", image(0x200, 16, 16, entry.substr(0, 4) + "\x01" + entry.substr(5)), true,
         "a certificate entry's header names an unknown revision or type"},
        {"a length past the table", image(0x200, 16, 16, "\x18" + entry.substr(1)), true,
         "a certificate entry's length does not match the table"},
        {"headers that no longer reach it", image(0x200, 16, 4, entry), true,
         "the file ends with a certificate table that its headers no longer name"},
        {"a table the headers lost, not a certificate", image(0, 0, 16, std::string(16, '\0')), false, ""},
    };
    for (const auto& c : cases) {
        const pack::CertificateTable table = pack::readCertificateTable(c.bytes);
        EXPECT_EQ(table.present, c.present) << c.what;
        EXPECT_EQ(table.problem, c.problem) << c.what;
    }
}

}  // namespace
