// What verify checks beyond the Authenticode digest: the certificate table
// itself (read here, every field against the file's size), and the
// signature's certificates (with openssl): each one's own signature against
// itself or its issuer, the signer's validity dates, and whether the signer
// signed its own certificate.
#include "signing/signing.h"

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace pack {

namespace {

constexpr uint32_t securityDirectory = 4;
constexpr uint16_t certificateRevision2 = 0x0200, pkcsSignedData = 0x0002;

bool fits(const std::vector<uint8_t>& bytes, uint64_t at, uint64_t size)
{
    return at <= bytes.size() && size <= bytes.size() - at;
}

// The security directory's file offset and size; false when the headers do
// not reach it (then there is none).
bool findSecurityDirectory(const std::vector<uint8_t>& bytes, uint64_t& offset, uint64_t& size)
{
    if (!fits(bytes, 0, 0x40)) return false;
    const uint64_t header = readLittleEndian(bytes, 0x3c, 4);
    if (!fits(bytes, header, 24 + 2) || readLittleEndian(bytes, header, 4) != 0x00004550) return false;
    const uint64_t optional = header + 24;
    const uint64_t optionalSize = readLittleEndian(bytes, header + 20, 2);
    const bool wide = readLittleEndian(bytes, optional, 2) == 0x20b;
    const uint64_t countAt = optional + (wide ? 108 : 92);
    const uint64_t entry = countAt + 4 + 8 * securityDirectory;
    if (!fits(bytes, countAt, 4) || readLittleEndian(bytes, countAt, 4) <= securityDirectory ||
        entry + 8 > optional + optionalSize || !fits(bytes, entry, 8)) {
        return false;
    }
    offset = readLittleEndian(bytes, entry, 4);
    size = readLittleEndian(bytes, entry + 4, 4);
    return true;
}

}  // namespace

// Whether the file ends with what looks like a certificate table: an entry
// of revision 2 and type PKCS#7 whose padded length reaches the end,
// looked for in the last megabyte only.
bool endsWithCertificateEntry(const std::vector<uint8_t>& bytes)
{
    constexpr uint64_t searched = 1 << 20;
    const uint64_t size = bytes.size();
    for (uint64_t back = 16; back <= size && back <= searched; back += 8) {
        const uint64_t at = size - back;
        const uint64_t length = readLittleEndian(bytes, at, 4);
        // A DER SEQUENCE follows the entry's header.
        if (readLittleEndian(bytes, at + 4, 2) == certificateRevision2 &&
            readLittleEndian(bytes, at + 6, 2) == pkcsSignedData && bytes[at + 8] == 0x30 && length >= 8 &&
            ((length + 7) & ~uint64_t{7}) == back) {
            return true;
        }
    }
    return false;
}

CertificateTable readCertificateTable(const std::vector<uint8_t>& bytes)
{
    uint64_t offset = 0, size = 0;
    if (!findSecurityDirectory(bytes, offset, size) || (offset == 0 && size == 0)) {
        if (endsWithCertificateEntry(bytes)) {
            return {true, "the file ends with a certificate table that its headers no longer name"};
        }
        return {false, ""};
    }
    if (offset == 0 || size == 0) return {true, "the certificate table's entry in the headers is half empty"};
    if (offset % 8 != 0) return {true, "the certificate table does not start on an 8-byte boundary"};
    if (!fits(bytes, offset, size)) return {true, "the certificate table runs past the end of the file"};
    if (offset + size != bytes.size()) {
        return {true, std::to_string(bytes.size() - offset - size) + " bytes of data after the signature"};
    }
    for (uint64_t at = offset; at < offset + size;) {
        if (!fits(bytes, at, 8)) return {true, "a certificate entry's header runs past the table"};
        const uint64_t length = readLittleEndian(bytes, at, 4);
        if (readLittleEndian(bytes, at + 4, 2) != certificateRevision2 ||
            readLittleEndian(bytes, at + 6, 2) != pkcsSignedData) {
            return {true, "a certificate entry's header names an unknown revision or type"};
        }
        const uint64_t padded = (length + 7) & ~uint64_t{7};
        if (length < 8 || padded > offset + size - at) {
            return {true, "a certificate entry's length does not match the table"};
        }
        at += padded;
    }
    return {true, ""};
}

namespace {

struct Certificate {
    fs::path pem;
    std::string subject, issuer, notAfter;
    bool expired = false;
};

// The value of "key=value" in openssl's one-line output.
std::string fieldOf(const std::string& text, const std::string& key)
{
    const size_t at = text.find(key + "=");
    if (at == std::string::npos) return "";
    const size_t end = text.find('\n', at);
    return text.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

// The certificates of the PEM signature, one file each, with their names and dates.
std::vector<Certificate> readCertificates(const fs::path& signature, const fs::path& all, const fs::path& work)
{
    runToolCapturing({"openssl", "pkcs7", "-print_certs", "-in", signature.string(), "-out", all.string()},
                     "reading the signature's certificates", work / "print.log");
    std::vector<Certificate> certificates;
    std::istringstream lines(readTextFile(all));
    std::string pem;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("-----BEGIN CERTIFICATE-----", 0) == 0) pem.clear();
        pem += line + "\n";
        if (line.rfind("-----END CERTIFICATE-----", 0) != 0) continue;
        Certificate certificate;
        certificate.pem = work / ("certificate" + std::to_string(certificates.size()) + ".pem");
        std::ofstream(certificate.pem) << pem;
        // One call: the names and the end date, and (its exit code) whether
        // that end has passed.
        const fs::path names = work / "names.txt";
        certificate.expired =
            runToolCapturing({"openssl", "x509", "-in", certificate.pem.string(), "-noout", "-nameopt", "compat",
                              "-subject", "-issuer", "-enddate", "-checkend", "0"},
                             "reading a certificate", names) != 0;
        const std::string text = readTextFile(names);
        certificate.subject = fieldOf(text, "subject");
        certificate.issuer = fieldOf(text, "issuer");
        certificate.notAfter = fieldOf(text, "notAfter");
        certificates.push_back(certificate);
    }
    return certificates;
}

// Whether the certificate's own signature verifies against `issuer` (itself
// when it is self-issued); not its chain or its dates.
bool isSignedBy(const Certificate& certificate, const Certificate& issuer, const fs::path& work)
{
    return runToolCapturing({"openssl", "verify", "-check_ss_sig", "-partial_chain", "-no_check_time", "-CAfile",
                             issuer.pem.string(), certificate.pem.string()},
                            "checking a certificate's signature", work / "issuer.log") == 0;
}

}  // namespace

CertificateFindings checkCertificates(const fs::path& signature, const fs::path& work)
{
    CertificateFindings findings;
    findings.certificates = work / "certificates.pem";
    const std::vector<Certificate> certificates = readCertificates(signature, findings.certificates, work);
    if (certificates.empty()) {
        findings.problem = "the signature carries no certificate";
        return findings;
    }
    std::map<std::string, const Certificate*> bySubject;
    std::map<std::string, int> issued;
    for (const Certificate& certificate : certificates) {
        bySubject[certificate.subject] = &certificate;
        if (certificate.issuer != certificate.subject) ++issued[certificate.issuer];
    }
    // The signer: the certificate that issued none of the others.
    const Certificate* signer = &certificates[0];
    for (const Certificate& certificate : certificates) {
        if (issued.count(certificate.subject) == 0) signer = &certificate;
    }
    // Its chain, as far as the signature carries it; a loop ends it.
    for (const Certificate* link = signer; link != nullptr && findings.chain.size() <= certificates.size();) {
        findings.chain.push_back(link->subject);
        findings.rootSelfSigned = link->issuer == link->subject;
        findings.topIssuer = link->issuer;
        const auto issuer = bySubject.find(link->issuer);
        link = findings.rootSelfSigned || issuer == bySubject.end() ? nullptr : issuer->second;
    }
    findings.signer = signer->pem;
    for (const Certificate& certificate : certificates) {
        const auto issuer = bySubject.find(certificate.issuer);
        if (issuer != bySubject.end() && !isSignedBy(certificate, *issuer->second, work)) {
            findings.problem = "the certificate of " + certificate.subject + " does not verify against " +
                               (issuer->second == &certificate ? std::string("itself") : "its issuer");
            return findings;
        }
    }
    if (signer->expired) {
        findings.problem = "the signer's certificate (" + signer->subject + ") expired on " + signer->notAfter;
        return findings;
    }
    return findings;
}

}  // namespace pack
