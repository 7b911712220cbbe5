// Authenticode signatures, made and checked with osslsigncode. A check
// means the certificate table and the certificates (certificates.cpp), then
// the digest of the file and the signature over it, then who vouches for
// the signer: its chain ends at a root in Debian's CA bundle or in a file
// the user trusts, or at one nobody here trusts, whatever its names say.
// The signature is checked over the signature's own certificates, so that
// one whose chain leads nowhere known still has its digest and signature
// checked; a chain that cannot be built at all leaves it unchecked.
#include "signing/signing.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace pack {

namespace {

// The last line of a tool's output that says something, for an error line.
std::string lastLine(const std::string& text)
{
    std::istringstream lines(text);
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
    }
    return last.empty() ? "no output" : last;
}

// A file only this user can read, for a password that must not appear on a
// command line.
void writePrivateFile(const fs::path& file, const std::string& text)
{
    const int descriptor = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    const bool written =
        descriptor >= 0 && write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (descriptor >= 0 && close(descriptor) != 0) throw Error(file.string() + ": cannot be written");
    if (!written) throw Error(file.string() + ": cannot be written");
}

// Why the key file cannot be used, in the user's words (osslsigncode says
// only "Failed"): a password that does not open it, or no PKCS#12 file at
// all; empty when openssl opens it, or is not installed to ask.
std::string diagnoseKeyFile(const fs::path& pkcs12, const fs::path& password, const fs::path& work)
{
    if (!toolIsInstalled("openssl")) return "";
    const fs::path log = work / "key.log";
    const std::string passIn = password.empty() ? "pass:" : "file:" + password.string();
    const int status = runToolCapturing({"openssl", "pkcs12", "-in", pkcs12.string(), "-passin", passIn, "-nokeys",
                                         "-out", (work / "certificates.pem").string()},
                                        "checking the key file", log);
    if (status == 0) return "";
    const std::string said = readTextFile(log);
    if (said.find("invalid password") != std::string::npos) {
        return pkcs12.string() + ": the password does not open it" +
               (password.empty() ? " (no password was given: --sign-password-file or --sign-password-env)" : "");
    }
    return pkcs12.string() + ": is no PKCS#12 file openssl can read (" + lastLine(said) + ")";
}

}  // namespace

std::string signExecutable(const SigningRequest& request, const fs::path& input, const fs::path& output,
                           const fs::path& work)
{
    if (!toolIsInstalled("osslsigncode")) {
        throw Error("signing needs osslsigncode (Debian's osslsigncode), which is not installed");
    }
    std::vector<std::string> command = {"osslsigncode", "sign", "-pkcs12", request.pkcs12.string(), "-h", "sha256"};
    fs::path password = request.passwordFile;
    if (!request.passwordVariable.empty()) {
        const char* const value = std::getenv(request.passwordVariable.c_str());
        if (value == nullptr)
            throw Error("--sign-password-env " + request.passwordVariable + ": the variable is not set");
        password = work / "password";
        writePrivateFile(password, value);
    }
    if (!password.empty()) command.insert(command.end(), {"-readpass", password.string()});
    // A time stamp server's answer differs each time; without one, the
    // signing time comes from SOURCE_DATE_EPOCH, so the same input and key
    // give the same bytes (RSA signatures are deterministic).
    const char* const epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (!request.timestampUrl.empty()) {
        command.insert(command.end(), {"-ts", request.timestampUrl});
    } else if (epoch != nullptr) {
        command.insert(command.end(), {"-time", epoch});
    }
    command.insert(command.end(), {"-in", input.string(), "-out", output.string()});
    const fs::path log = work / "sign.log";
    if (runToolCapturing(command, "signing", log) != 0) {
        const std::string problem = diagnoseKeyFile(request.pkcs12, password, work);
        throw Error("signing failed: " + (problem.empty() ? "osslsigncode: " + lastLine(readTextFile(log)) : problem));
    }
    // Exactly what verify passes.
    const SignatureReport report = checkSignature(output);
    if (!report.passes() || report.verdict == SignatureReport::notChecked) {
        throw Error("signing failed: the signed file does not verify: " + report.detail);
    }
    // osslsigncode writes a file of its own: the executable keeps the mode
    // an unsigned one gets.
    std::error_code error;
    fs::permissions(output, fs::status(input).permissions(), error);
    if (error) throw Error(output.string() + ": its permissions cannot be set: " + error.message());
    return report.detail;
}

namespace {

const char* const caBundle = "/etc/ssl/certs/ca-certificates.crt";

// The verdict of osslsigncode's check of the digest and the signature. It
// builds the chain from the signature's certificates, the roots the user
// trusts (PEM, or empty) and Debian's CA bundle: a signature that carries
// its leaf and intermediates but not its root is checked too.
SignatureReport verifyDigestAndSignature(const fs::path& file, const fs::path& certificates, const fs::path& roots,
                                         const fs::path& work)
{
    const fs::path trusted = work / "trusted.pem";
    std::ofstream(trusted) << readTextFile(certificates) << (roots.empty() ? "" : readTextFile(roots))
                           << (fs::exists(caBundle) ? readTextFile(caBundle) : "");
    const fs::path log = work / "verify.log";
    runToolCapturing({"osslsigncode", "verify", "-in", file.string(), "-CAfile", trusted.string(), "-ignore-cdp"},
                     "checking the signature", log);
    const std::string output = readTextFile(log);
    if (output.find("MISMATCH") != std::string::npos) {
        return {SignatureReport::broken, "the file changed after it was signed: its digest no longer matches"};
    }
    if (output.find("signature failure") != std::string::npos ||
        output.find("PKCS7_signatureVerify") != std::string::npos) {
        return {SignatureReport::broken, "the signature itself does not verify"};
    }
    if (output.find("\nSucceeded") != std::string::npos) return {SignatureReport::verifies, ""};
    if (output.find("Calculated message digest") != std::string::npos) {
        return {SignatureReport::uncheckable,
                "the digest matches, but the certificates' chain cannot be built, so the signature was not checked"};
    }
    return {SignatureReport::broken, lastLine(output)};
}

// Whether the signer's chain, through the signature's certificates, ends at
// a root that `roots` (PEM) holds; dates are the signer check's own.
bool chainsTo(const CertificateFindings& certificates, const fs::path& roots, const fs::path& work)
{
    return fs::exists(roots) &&
           runToolCapturing({"openssl", "verify", "-no_check_time", "-CAfile", roots.string(), "-untrusted",
                             certificates.certificates.string(), certificates.signer.string()},
                            "checking the certificates' chain", work / "chain.log") == 0;
}

// "A, issued by B, issued by C (self-signed)".
std::string describeChain(const CertificateFindings& certificates)
{
    std::string text;
    for (const std::string& subject : certificates.chain) text += (text.empty() ? "" : ", issued by ") + subject;
    return text + (certificates.rootSelfSigned ? " (self-signed)" : "");
}

// Who vouches for the signer: `trusted` (the user's roots, read into
// `roots`), Debian's CA bundle, or nobody.
SignatureReport judgeTrust(const CertificateFindings& certificates, const fs::path& trusted, const fs::path& roots,
                           const fs::path& work)
{
    const std::string chain = describeChain(certificates);
    if (!roots.empty() && chainsTo(certificates, roots, work)) {
        return {SignatureReport::verifies, chain + ", a chain to a root in " + trusted.string()};
    }
    if (chainsTo(certificates, caBundle, work)) {
        return {SignatureReport::verifies, chain + ", a chain to a root in Debian's CA bundle"};
    }
    if (!certificates.rootSelfSigned) {
        return {SignatureReport::uncheckable, "the chain ends at " + certificates.chain.back() + ", whose issuer " +
                                                  certificates.topIssuer +
                                                  " is neither in the signature nor trusted here, so the chain cannot "
                                                  "be built (signed by " +
                                                  chain + ")"};
    }
    return {SignatureReport::untrusted, chain + "; the signature matches the file, but the chain ends at " +
                                            certificates.chain.back() +
                                            ", which nobody here trusts: anyone could have made it, whatever its "
                                            "names say"};
}

}  // namespace

fs::path readTrustedRoots(const fs::path& trusted, const fs::path& work)
{
    const fs::path roots = work / "roots.pem", bundle = work / "roots.p7";
    const std::string pemBegin = "-----BEGIN CERTIFICATE-----";
    // Every certificate of a PEM bundle re-encoded, so that a damaged one
    // is refused; a file without PEM is taken as one DER certificate.
    const bool read =
        readTextFile(trusted).find(pemBegin) != std::string::npos
            ? runToolCapturing(
                  {"openssl", "crl2pkcs7", "-nocrl", "-certfile", trusted.string(), "-out", bundle.string()},
                  "reading the trusted roots", work / "roots.log") == 0 &&
                  runToolCapturing({"openssl", "pkcs7", "-in", bundle.string(), "-print_certs", "-out", roots.string()},
                                   "reading the trusted roots", work / "roots.log") == 0
            : runToolCapturing({"openssl", "x509", "-inform", "DER", "-in", trusted.string(), "-out", roots.string()},
                               "reading the trusted roots", work / "roots.log") == 0;
    if (!read || readTextFile(roots).find(pemBegin) == std::string::npos) {
        throw Error("--trust " + trusted.string() +
                    ": holds no certificate (PEM, one or more, or one DER certificate); give the roots you trust");
    }
    return roots;
}

SignatureReport checkSignature(const fs::path& file, const fs::path& trusted)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const CertificateTable table = readCertificateTable(bytes);
    if (!table.present) return {SignatureReport::unsigned_, "not signed"};
    if (!table.problem.empty()) return {SignatureReport::broken, "a damaged certificate table: " + table.problem};
    for (const char* tool : {"osslsigncode", "openssl"}) {
        if (!toolIsInstalled(tool)) {
            return {SignatureReport::notChecked,
                    std::string(tool) + " is not installed, so the signature is not checked"};
        }
    }
    const TemporaryDirectory work;
    const fs::path signature = work.path() / "signature.pem";
    if (runToolCapturing(
            {"osslsigncode", "extract-signature", "-pem", "-in", file.string(), "-out", signature.string()},
            "reading the signature", work.path() / "extract.log") != 0) {
        return {SignatureReport::broken, "the certificate table holds no signature that can be read"};
    }
    const CertificateFindings certificates = checkCertificates(signature, work.path());
    if (!certificates.problem.empty()) return {SignatureReport::broken, certificates.problem};
    const fs::path roots = trusted.empty() ? fs::path() : readTrustedRoots(trusted, work.path());
    const SignatureReport checked = verifyDigestAndSignature(file, certificates.certificates, roots, work.path());
    if (checked.verdict != SignatureReport::verifies) {
        return {checked.verdict, checked.detail + " (signed by " + describeChain(certificates) + ")"};
    }
    return judgeTrust(certificates, trusted, roots, work.path());
}

}  // namespace pack
