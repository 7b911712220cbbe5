// onefile-pack: writes and reads the attached data block that a onefile
// executable carries. Host-side, portable C++17 on top of libzstd. The
// block's layout and limits are in onefile_contract.h.
#pragma once

#include "onefile_contract.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

namespace pack {

// Any refusal or damage; what() is the one line shown to the user.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr size_t maxNameUnits = ONEFILE_RECORD_NAME_MAX_UNITS;
constexpr int maxWindowLog = ONEFILE_WINDOW_LOG_MAX;
constexpr uint32_t largestSplashSide = ONEFILE_SPLASH_MAX_SIDE;

struct FileEntry {
    std::filesystem::path source;  // on this machine
    std::u16string name;           // in the block, with backslashes
    uint64_t size = 0;
};

struct Payload {
    std::vector<FileEntry> files;               // entry first, then by name
    std::vector<std::string> emptyDirectories;  // relative, for a warning
};

// Why a relative name (UTF-16, backslash-separated) cannot be carried, or
// an empty string when it can.
std::string nameProblem(const std::u16string& name);
// Upper-case fold used to find names Windows would take as one.
std::u16string foldCase(const std::u16string& name);
std::u16string utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const std::u16string& text);

// Walks `root` and checks every rule; throws Error on the first refusal.
Payload collectPayload(const std::filesystem::path& root, const std::string& entry);
// Puts the files after the entry in name order.
void orderPayload(Payload& payload);

struct CompressionOptions {
    int level = 19;
    int workers = 0;    // 0: one per processor
    int windowLog = 0;  // 0: the level's default, capped at maxWindowLog
};

struct PackSummary {
    uint64_t files = 0;
    uint64_t contentBytes = 0;
    uint64_t blockBytes = 0;
};

using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Writes the block for `payload` to `output`.
PackSummary writeBlock(const Payload& payload, const std::filesystem::path& output, const CompressionOptions& options,
                       const Progress& progress = {});

// Frames an already made record stream (for tests and tools).
std::vector<uint8_t> frameBlock(const std::vector<uint8_t>& compressedFrame);
std::vector<uint8_t> recordHeader(const std::u16string& name, uint64_t size);

struct Record {
    std::u16string name;
    uint64_t size = 0;
    uint64_t dataOffset = 0;  // within the record stream
};

struct BlockReport {
    uint64_t blockOffset = 0;  // where the block starts in the file
    uint64_t blockSize = 0;
    uint64_t frameSize = 0;
    uint64_t windowSize = 0;
    bool checksum = false;
    std::vector<Record> records;
    std::vector<std::string> problems;  // every rule the block breaks
};

// Finds the block in `bytes` (a block, or an executable that holds one),
// decodes the whole frame and checks every rule.
BlockReport inspectBlock(const std::vector<uint8_t>& bytes);

// --- Authenticode signing and its check (signing.cpp), with osslsigncode.
struct SigningRequest {
    std::filesystem::path pkcs12;        // --sign-pkcs12
    std::filesystem::path passwordFile;  // --sign-password-file, or
    std::string passwordVariable;        // --sign-password-env
    std::string timestampUrl;            // --timestamp-url
    bool requested() const { return !pkcs12.empty(); }
};
// Signs `input` into `output` (SHA-256; with SOURCE_DATE_EPOCH and no time
// stamp server, that signing time, so the result is reproducible) and
// checks the result; throws Error on any failure.
void signExecutable(const SigningRequest& request, const std::filesystem::path& input,
                    const std::filesystem::path& output, const std::filesystem::path& work);

struct SignatureReport {
    enum Verdict { notChecked, unsigned_, verifies, digestOnly, broken } verdict = notChecked;
    std::string detail;  // the signer, or what failed
};
// Whether an executable is signed and its signature still verifies: the
// certificate table, the Authenticode digest and the signature, each
// certificate's own signature and the signer's dates; not the chain to a
// trusted root, which a signature need not reach here.
SignatureReport checkSignature(const std::filesystem::path& file);

// --- The certificate table and certificates (certificates.cpp).
struct CertificateTable {
    bool present = false;  // the headers name a table
    std::string problem;   // why it is damaged, or empty
};
// Reads an executable's certificate table: every entry's header, and that
// the table ends the file.
CertificateTable readCertificateTable(const std::vector<uint8_t>& bytes);
struct CertificateFindings {
    std::string problem;  // a certificate that does not verify, or an expired signer; empty otherwise
    bool selfSigned = false;
};
// Checks the certificates of a PEM signature with openssl, in `work`.
CertificateFindings checkCertificates(const std::filesystem::path& signature, const std::filesystem::path& work);

// --- Version information and manifest (resources.cpp).
struct VersionInfo {
    std::string fileVersion, productVersion;                                               // "1.2.3.4", or empty
    std::string company, product, description, copyright, originalFilename, internalName;  // UTF-8
    bool requested() const;
};
// Why a --file-version or --product-version cannot be used ("" when it can).
std::string versionNumberProblem(const std::string& text);
// Why a text of the version information cannot be carried ("" when it can).
std::string versionTextProblem(const std::string& text);
// The VERSIONINFO statement (U.S. English, Unicode) for a resource script
// read as UTF-8.
std::string versionResource(const VersionInfo& info);

struct ManifestChoice {
    bool requireAdministrator = false;  // --uac-admin
    bool dpiAware = false;              // --dpi-aware
    std::filesystem::path file;         // --manifest: the caller's own
    bool changes() const { return requireAdministrator || dpiAware || !file.empty(); }
};
// The SDK's manifest with the choices made.
std::string manifestText(const ManifestChoice& choice, const std::string& sdkManifest);
// Checks a manifest of the caller's with xmllint; throws Error when it is
// missing or not well-formed. Whether it declares longPathAware.
bool checkManifestFile(const std::filesystem::path& file);

// --- The shared cache (--cache).
struct CacheRequest {
    bool enabled = false;
    std::string name;                               // --cache-name, or the output's stem
    std::u16string root = u"{CACHE_DIR}\\onefile";  // --cache-dir
    int keep = 2;                                   // --cache-keep
};
// Why a --cache-name cannot be used ("" when it can): letters, digits,
// '.', '_' and '-', 1 to ONEFILE_CACHE_NAME_MAX of them.
std::string cacheNameProblem(const std::string& name);
// The version's id: 16 lower-case hex digits of XXH64 (seed 0) over `file`.
std::string cacheIdOf(const std::filesystem::path& file);

struct BuildRequest {
    std::filesystem::path block;           // the attached data block to link
    std::filesystem::path output;          // the executable to write
    std::filesystem::path splash;          // optional PNG, resource 28
    std::filesystem::path icon;            // optional .ico, icon group 1
    std::filesystem::path sdkDescription;  // what the Windows build made
    bool sweep = true;                     // remove dead runs' leftovers at start
    bool errorDialog = true;               // show fatal lines nobody sees in a box
    bool console = false;                  // the console subsystem instead of the windowed one
    bool splashProgress = false;           // a progress bar on the splash while unpacking
    VersionInfo version;                   // a VERSIONINFO resource when requested
    ManifestChoice manifest;
    SigningRequest signing;  // signed with osslsigncode when requested
    CacheRequest cache;
    std::u16string runParentSpec = u"{TEMP}";  // where each run's own folder goes
};

// The folders where the bootstrap build's toolchain keeps its runtime DLLs
// (none when there is no such build).
std::vector<std::filesystem::path> sdkDllPath(const std::filesystem::path& description);

// Links a onefile executable from a block and the bootstrap's build, with
// the cross toolchain that build used, to exactly request.output.
void buildExecutable(const BuildRequest& request);

// --- Windows PE files (pe_image.cpp).
struct PeImport {
    std::string dll;                 // as the importer names it
    std::vector<std::string> names;  // imported names; "#N" for an ordinal
    bool delayed = false;
};

struct PeImage {
    uint16_t machine = 0;  // 0x8664 x86-64, 0x14c i386, ...
    bool pe32Plus = false;
    bool dll = false;
    std::unordered_set<std::string> exports;  // every exported name, forwarders included
    std::vector<PeImport> imports;            // import and delay-load tables
    uint64_t names = 0;                       // imported and exported names read
};

// The work a PE file can cause, bounded as a whole: far above real DLLs
// (the largest have tens of thousands of exports and imports), far below
// what exhausts the packer. Per file, and over the whole payload.
constexpr uint64_t maxPeNamesPerFile = 1u << 19, maxPeNameBytesPerFile = 32u << 20;
constexpr uint64_t maxPeNamesPerPayload = 1u << 21;

constexpr uint16_t machineX64 = 0x8664;
constexpr uint16_t machineI386 = 0x14c;

// Reads `bytes` as a PE file; nullopt when it is none (no MZ header or no PE
// signature). A PE file whose tables point outside it throws Error naming
// `file`.
std::optional<PeImage> readPeImage(const std::vector<uint8_t>& bytes, const std::string& file);
std::optional<PeImage> readPeFile(const std::filesystem::path& file);

// --- The payload's DLLs (imports.cpp).
// Whether Windows provides the DLL of this name: an API set, or one of the
// system's own DLLs (system_dlls.cpp, the one list).
bool isSystemDll(const std::string& name);

struct ImportOptions {
    std::vector<std::filesystem::path> searchPath;  // --dll-path, in order
    bool collect = true;                            // add what the search path holds
};

struct AddedDll {
    std::u16string name;  // in the block, beside the entry
    std::filesystem::path source;
    std::string importer;  // the first file found to need it
};

// Checks that the entry is a 64-bit DLL that exports run_code, and that
// every DLL any PE file of the payload imports is a system DLL, in the
// payload (beside its importer, beside the entry or in the root) or on the
// search path; adds what is found there beside the entry. Throws Error with
// one line per DLL found nowhere.
std::vector<AddedDll> completePayload(Payload& payload, const ImportOptions& options);

// --- Inputs checked before anything is compressed (check_inputs.cpp);
// each throws Error naming the file and what is wrong.
// Why a --temp-dir spec cannot be used, or an empty string when it can: only
// {TEMP}, {HOME}, {CACHE_DIR} and {PROGRAM_DIR}, no per-run placeholder,
// and rooted after expansion (a placeholder, "X:\" or "\\" first).
std::string runParentSpecProblem(const std::string& spec);
// A PNG the bootstrap can show: the signature, an IHDR chunk first, sides
// of 1 to largestSplashSide pixels.
void checkSplashImage(const std::filesystem::path& file);
// An .ico: its header, and room for the images it announces.
void checkIcon(const std::filesystem::path& file);
// The magic of a block followed by a zstd frame's magic number: what
// `list` and `verify` look for, and what no packed file may hold.
const std::vector<uint8_t>& blockMarker();
bool holdsBlockMarker(const uint8_t* bytes, size_t size);

// --- Tools (run_tool.cpp), started with posix_spawnp and an argument
// vector. runTool throws Error("<what> failed: ...") unless the tool exits
// with 0; runToolCapturing writes its standard output and error to
// `output` and returns its exit status (-1 when it did not exit).
void runTool(const std::vector<std::string>& arguments, const std::string& what);
int runToolCapturing(const std::vector<std::string>& arguments, const std::string& what,
                     const std::filesystem::path& output);
// Whether an executable of that name is on PATH.
bool toolIsInstalled(const std::string& name);

// A text file whole; empty when it cannot be read.
std::string readTextFile(const std::filesystem::path& file);

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace pack
