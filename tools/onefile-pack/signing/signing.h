// Authenticode: signing an executable with osslsigncode, and checking a
// signature, its certificate table and its certificates.
#pragma once

#include "support/support.h"

#include <cstdint>

namespace pack {

// --- Authenticode signing and its check (signing.cpp), with osslsigncode.
struct SigningRequest {
    std::filesystem::path pkcs12;        // --sign-pkcs12
    std::filesystem::path passwordFile;  // --sign-password-file, or
    std::string passwordVariable;        // --sign-password-env
    std::string timestampUrl;            // --timestamp-url
    bool requested() const { return !pkcs12.empty(); }
};
// Signs `input` into `output` (SHA-256; with SOURCE_DATE_EPOCH and no time
// stamp server, that signing time, so the result is reproducible), with
// `input`'s permissions, and checks the result; throws Error on any
// failure. Returns what verify says of the signer and its chain.
std::string signExecutable(const SigningRequest& request, const std::filesystem::path& input,
                           const std::filesystem::path& output, const std::filesystem::path& work);

struct SignatureReport {
    enum Verdict {
        notChecked,   // the tools are missing
        unsigned_,    // no certificate table, and none at the file's end
        verifies,     // digest and signature match, the chain ends at a trusted root
        untrusted,    // digest and signature match, the chain ends at a root nobody here trusts
        uncheckable,  // the chain cannot be built, so the signature cannot be checked
        broken,
    } verdict = notChecked;
    std::string detail;  // the signer and its chain, or what failed
    // What verify's exit code says: 0 for these, 1 otherwise.
    bool passes() const
    {
        return verdict == notChecked || verdict == unsigned_ || verdict == verifies || verdict == untrusted;
    }
};
// Whether an executable is signed and its signature still verifies: the
// certificate table, the Authenticode digest and the signature, each
// certificate's own signature and the signer's dates, and the chain to its
// root, trusted when Debian's CA bundle or `trusted` (PEM, may be empty)
// holds it.
SignatureReport checkSignature(const std::filesystem::path& file, const std::filesystem::path& trusted = {});
// The certificates of a --trust file (PEM, one or more; or one DER
// certificate) as one PEM file in `work`; throws Error naming the file
// when it holds none.
std::filesystem::path readTrustedRoots(const std::filesystem::path& trusted, const std::filesystem::path& work);

// --- The certificate table and certificates (certificates.cpp).
struct CertificateTable {
    bool present = false;  // the headers name a table
    std::string problem;   // why it is damaged, or empty
};
// Reads an executable's certificate table: every entry's header, and that
// the table ends the file. A file whose headers name no table but that
// ends with one (headers changed after signing) has a damaged table.
CertificateTable readCertificateTable(const std::vector<uint8_t>& bytes);
struct CertificateFindings {
    std::string problem;                 // a certificate that does not verify, or an expired signer; empty otherwise
    std::vector<std::string> chain;      // subjects from the signer up to the last one the signature carries
    bool rootSelfSigned = false;         // that last one issued itself
    std::string topIssuer;               // that last one's issuer
    std::filesystem::path signer;        // the signer's certificate, as PEM
    std::filesystem::path certificates;  // every certificate of the signature, as PEM
};
// Checks the certificates of a PEM signature with openssl, in `work`.
CertificateFindings checkCertificates(const std::filesystem::path& signature, const std::filesystem::path& work);

}  // namespace pack
