// The executable around the block: written from one of the SDK's prebuilt
// bootstrap images, with the resources (version information, manifest,
// icon, splash) and a section of the settings it carries (the run folder's
// and the cache's specs) and the block appended, and the checks of those
// inputs. No compiler, assembler or linker takes part.
#pragma once

#include "block/block.h"
#include "pe/pe.h"
#include "signing/signing.h"

#include <cstdint>

struct XXH64_state_s;  // xxhash.h

namespace pack {

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
// The version information's resource (U.S. English, Unicode texts), as a
// resource compiler makes it of the same statement (resource_section.cpp).
std::vector<uint8_t> versionResource(const VersionInfo& info);

// --- The resource section (resource_section.cpp).
struct Resource {
    uint16_t type = 0, id = 0;  // of U.S. English, as every resource of ours
    std::vector<uint8_t> data;
};
struct ResourceInputs {
    std::vector<uint8_t> manifest;
    std::vector<uint8_t> icon;  // an .ico file's bytes
    std::string iconFile;       // its name, for messages
    std::vector<uint8_t> splash;
    VersionInfo version;
};
// The images of an .ico file (RT_ICON 1..n) and their group (RT_GROUP_ICON 1).
std::vector<Resource> iconResources(const std::vector<uint8_t>& icon, const std::string& file);
// Every resource the executable carries: the icon, the manifest (RT_MANIFEST
// 1), the splash (RT_RCDATA ONEFILE_SPLASH_RESOURCE_ID) and the version
// information (RT_VERSION 1) when given.
std::vector<Resource> executableResources(const ResourceInputs& inputs);
// A resource section for an image that maps it at `rva`.
std::vector<uint8_t> resourceSection(std::vector<Resource> resources, uint32_t rva);

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
    bool recheck = true;                            // not --no-cache-recheck
};
// Why a --cache-name cannot be used ("" when it can): letters, digits,
// '.', '_' and '-', 1 to ONEFILE_CACHE_NAME_MAX of them.
std::string cacheNameProblem(const std::string& name);
// The version's id: 16 lower-case hex digits of XXH64 (seeded with the
// cache's layout) over the block, its bytes given in order, or over `file`.
class CacheIdHasher {
public:
    CacheIdHasher();
    ~CacheIdHasher();
    CacheIdHasher(const CacheIdHasher&) = delete;
    CacheIdHasher& operator=(const CacheIdHasher&) = delete;
    void add(const uint8_t* bytes, size_t size);
    std::string id() const;

private:
    ::XXH64_state_s* state_;
};
std::string cacheIdOf(const std::filesystem::path& file);

struct BuildRequest {
    std::filesystem::path block;  // a block made before, or
    // the block made into the sink as the executable is written; its size
    std::function<uint64_t(const BlockSink& sink)> packBlock;
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
// The zstd the SDK's bootstrap decompresses with, as its build names it;
// empty when the description names none.
std::string sdkZstd(const std::filesystem::path& description);

// --- The executable from a bootstrap image (build_executable.cpp).
// A bootstrap image as the SDK made it, checked: a 64-bit PE file with no
// resources, symbols, certificate or data after its last section, room for
// two more section headers, and one placement descriptor of this packer's
// format that names no section yet. Throws Error naming `file` otherwise.
struct BootstrapImage {
    std::vector<uint8_t> bytes;
    PeLayout layout;
    uint64_t descriptor = 0;  // the descriptor's offset in the file
};
BootstrapImage readBootstrapImage(std::vector<uint8_t> bytes, const std::string& file);
// The settings the executable carries, up to the block, for a block of
// `blockSize` bytes: the header, the texts, and zeros up to the block's
// aligned offset.
std::vector<uint8_t> settingsBytes(const BuildRequest& request, const std::u16string& cacheId, uint64_t blockSize);

// Writes a onefile executable from the SDK's bootstrap image, the block and
// the resources to exactly request.output, running no program of its own
// but the signing's. Returns, for a signed executable, what verify says of
// its signer; empty otherwise.
std::string buildExecutable(const BuildRequest& request);

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

}  // namespace pack
