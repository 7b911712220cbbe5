// Windows PE files as the packer reads them (machine, exports, imports,
// delay loads), and the payload's imports resolved against the payload,
// the search path and the system.
#pragma once

#include "block/block.h"

#include <cstdint>
#include <optional>
#include <unordered_set>

namespace pack {

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
// system's own DLLs (system_dlls.cpp, the one list), or one of `added`
// (--system-dll).
bool isSystemDll(const std::string& name, const std::vector<std::string>& added = {});

struct ImportOptions {
    std::vector<std::filesystem::path> searchPath;  // --dll-path, in order
    bool collect = true;                            // add what the search path holds
    std::vector<std::string> systemDlls;            // --system-dll: the system provides these too
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

// The DLLs at the top of `root` that export run_code (`exportRunCode` set),
// or, when none does, every DLL there; sorted by name. For the line that
// refuses a wrong --entry.
std::vector<std::string> findEntryCandidates(const std::filesystem::path& root, bool& exportRunCode);

// --- The layout of a PE32+ file's headers and sections (pe_layout.cpp),
// for the files the packer writes: an executable from a bootstrap image,
// a runtime DLL without its debug sections.
struct PeSection {
    std::string name;  // as the header holds it, at most 8 bytes
    uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawOffset = 0, characteristics = 0;
};
struct PeDirectory {
    uint32_t rva = 0, size = 0;
};
struct PeLayout {
    uint64_t coff = 0, optional = 0, sectionTable = 0;  // offsets in the file
    uint32_t fileAlignment = 0, sectionAlignment = 0, headersSize = 0, directoryCount = 0;
    uint32_t symbolTable = 0, symbolCount = 0;  // the COFF symbol table's offset and count
    uint32_t timeStamp = 0;                     // the COFF header's
    std::vector<PeSection> sections;            // in the header's order
    uint16_t headedSections = 0;                // how many headers the file's table holds
};
constexpr uint32_t resourceDirectory = 2, certificateDirectory = 4;
// Reads a 64-bit PE file's headers; throws Error naming `file` when it is
// none or its tables point outside it.
PeLayout readPeLayout(const std::vector<uint8_t>& bytes, const std::string& file);
PeDirectory readPeDirectory(const std::vector<uint8_t>& bytes, const PeLayout& layout, uint32_t index);
void writePeDirectory(std::vector<uint8_t>& bytes, const PeLayout& layout, uint32_t index, PeDirectory directory);
// Writes `layout`'s section table and what follows from it into `headers`
// (the file's first headersSize bytes): the section count, the sizes of
// code, initialised and uninitialised data, the image's size, the symbol
// table's place, the time stamp; the checksum 0, to be set once the file's
// bytes are known.
void writePeSections(std::vector<uint8_t>& headers, const PeLayout& layout);
// Where the next section may begin in memory after `section`.
uint64_t sectionEnd(const PeSection& section, uint32_t sectionAlignment);
uint64_t peChecksumOffset(const PeLayout& layout);
void writeLittle(std::vector<uint8_t>& bytes, uint64_t at, uint64_t value, unsigned size);
uint64_t alignUp(uint64_t value, uint64_t alignment);
// The image checksum as linkers compute it, over a file's bytes in order
// (its checksum field 0): 16-bit words summed with end-around carries,
// plus the file's length.
class PeChecksum {
public:
    void add(const uint8_t* bytes, size_t size);
    // The bytes summed by `region`, which follow these at an even offset.
    void add(const PeChecksum& region);
    uint32_t value() const;

private:
    uint64_t sum_ = 0;
    uint64_t length_ = 0;
};

// --- Collected runtimes (strip_runtimes.cpp).
struct StrippedDll {
    std::u16string name;
    uint64_t before = 0, after = 0;  // bytes
};
// Whether an added DLL found at `source` is carried stripped: it lies in a
// toolchain folder that no --dll-path (`userFolders`) names, however
// either is spelt.
bool isStrippedRuntime(const std::filesystem::path& source, const std::vector<std::filesystem::path>& toolchainFolders,
                       const std::vector<std::filesystem::path>& userFolders);
// A PE file without its debug information, or nullopt when it has none to
// drop: its sections named ".debug*" (by a name in the COFF string table)
// and the symbol table, when they are the file's last parts and nothing
// else points into them.
std::optional<std::vector<uint8_t>> withoutDebugSections(const std::vector<uint8_t>& bytes, const std::string& file);
// Carries each added DLL that came from one of `toolchainFolders` as a copy
// in `work` without its debug information; the DLLs the user named (in one
// of `userFolders`, --dll-path, or in the payload) stay as they are.
std::vector<StrippedDll> stripToolchainRuntimes(Payload& payload, const std::vector<AddedDll>& added,
                                                const std::vector<std::filesystem::path>& toolchainFolders,
                                                const std::vector<std::filesystem::path>& userFolders,
                                                const std::filesystem::path& work);

// Whether `name` can be a DLL's file name for --system-dll; the problem
// otherwise, empty when it can.
std::string systemDllNameProblem(const std::string& name);

}  // namespace pack
