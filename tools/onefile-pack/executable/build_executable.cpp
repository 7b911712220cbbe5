// The executable, written from one of the SDK's prebuilt bootstrap images:
// the image as it is, then a resource section and a section holding the
// settings and the block, appended after its last section; the headers made
// whole by the PE format's rules, and the image's one placement descriptor
// filled in with where the settings are. The image's code and entry point
// are never touched.
#include "executable/executable.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pack {

namespace {

using SdkValues = std::multimap<std::string, std::string>;

SdkValues readSdkDescription(const std::filesystem::path& file)
{
    std::ifstream in(file);
    if (!in) {
        throw Error(file.string() + ": no bootstrap build description; build the Windows side first or pass --sdk");
    }
    SdkValues values;
    for (std::string line; std::getline(in, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    for (const char* key : {"bootstrap", "manifest", "icon"}) {
        if (values.count(key) == 0) {
            throw Error(file.string() + ": has no '" + key + "' line; the SDK is older than this packer");
        }
    }
    // Files named relative to the description, so that an installed SDK
    // works wherever it is moved.
    for (auto& [key, value] : values) {
        const bool isFile = key == "bootstrap" || key == "console_bootstrap" || key == "manifest" || key == "icon";
        if (isFile && std::filesystem::path(value).is_relative()) {
            value = (std::filesystem::absolute(file).parent_path() / value).lexically_normal().string();
        }
    }
    return values;
}

// The executable's time stamp: SOURCE_DATE_EPOCH where it is set, as
// reproducible builds ask, else none.
uint32_t buildTimeStamp()
{
    const char* const epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0' || std::strspn(epoch, "0123456789") != std::strlen(epoch)) return 0;
    return static_cast<uint32_t>(std::min<unsigned long long>(std::strtoull(epoch, nullptr, 10), UINT32_MAX));
}

[[noreturn]] void refuseImage(const std::string& file, const std::string& why)
{
    throw Error(file + ": not a bootstrap image this packer can write from (" + why +
                "); the SDK is damaged or of another version");
}

// Where the image's one descriptor lies; refused unless there is exactly
// one, of this packer's format, naming no section yet.
uint64_t findDescriptor(const std::vector<uint8_t>& bytes, const std::string& file)
{
    const char mark[ONEFILE_DESCRIPTOR_MARK_SIZE] = ONEFILE_DESCRIPTOR_MARK;
    const auto found = std::search(bytes.begin(), bytes.end(), mark, mark + sizeof mark);
    if (found == bytes.end()) refuseImage(file, "it has no placement descriptor");
    if (std::search(found + 1, bytes.end(), mark, mark + sizeof mark) != bytes.end()) {
        refuseImage(file, "it has more than one placement descriptor");
    }
    const uint64_t at = static_cast<uint64_t>(found - bytes.begin());
    if (at + ONEFILE_DESCRIPTOR_SIZE > bytes.size()) refuseImage(file, "its placement descriptor is cut short");
    const auto field = [&](unsigned index) {
        uint32_t value = 0;
        for (unsigned i = 4; i-- > 0;) value = value << 8 | bytes[at + ONEFILE_DESCRIPTOR_MARK_SIZE + 4 * index + i];
        return value;
    };
    if (field(0) != ONEFILE_DESCRIPTOR_FORMAT) {
        refuseImage(file, "its descriptor is of format " + std::to_string(field(0)) + ", this packer writes " +
                              std::to_string(ONEFILE_DESCRIPTOR_FORMAT));
    }
    if (field(1) != 0 || field(2) != 0) refuseImage(file, "it is packed already");
    return at;
}

}  // namespace

BootstrapImage readBootstrapImage(std::vector<uint8_t> bytes, const std::string& file)
{
    BootstrapImage image;
    try {
        image.layout = readPeLayout(bytes, file);
    } catch (const Error& error) {
        refuseImage(file, std::string(error.what()).substr(file.size() + 2));
    }
    const PeLayout& layout = image.layout;
    if (layout.sections.empty()) refuseImage(file, "it has no sections");
    if (layout.symbolTable != 0 || layout.symbolCount != 0) refuseImage(file, "it carries a symbol table");
    if (readPeDirectory(bytes, layout, resourceDirectory).size != 0) refuseImage(file, "it carries resources already");
    if (readPeDirectory(bytes, layout, certificateDirectory).size != 0) refuseImage(file, "it is signed");
    if (layout.directoryCount <= resourceDirectory) refuseImage(file, "it has no resource directory entry");
    uint64_t dataEnd = layout.headersSize, firstData = bytes.size();
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        const PeSection& section = layout.sections[i];
        if (i > 0) {
            const PeSection& before = layout.sections[i - 1];
            if (section.virtualAddress != sectionEnd(before, layout.sectionAlignment)) {
                refuseImage(file, "its sections do not follow each other");
            }
        }
        dataEnd = std::max<uint64_t>(dataEnd, uint64_t{section.rawOffset} + section.rawSize);
        if (section.rawSize != 0) firstData = std::min<uint64_t>(firstData, section.rawOffset);
    }
    if (dataEnd != bytes.size()) refuseImage(file, "it holds data after its last section");
    if (layout.sectionTable + 40ull * (layout.sections.size() + 2) >
        std::min<uint64_t>(layout.headersSize, firstData)) {
        refuseImage(file, "its headers have no room for two more sections");
    }
    image.descriptor = findDescriptor(bytes, file);
    image.bytes = std::move(bytes);
    return image;
}

std::vector<uint8_t> settingsBytes(const BuildRequest& request, const std::u16string& cacheId, uint64_t blockSize)
{
    const CacheRequest& cache = request.cache;
    const std::u16string texts[] = {request.runParentSpec,
                                    cache.enabled ? cache.root + u"\\" + utf8ToUtf16(cache.name) : u"",
                                    cache.enabled ? cacheId : u""};
    std::vector<uint8_t> settings(ONEFILE_SETTINGS_HEADER_SIZE, 0);
    std::memcpy(settings.data(), ONEFILE_SETTINGS_MAGIC, sizeof ONEFILE_SETTINGS_MAGIC);
    writeLittle(settings, 8, ONEFILE_DESCRIPTOR_FORMAT, 4);
    const uint32_t flags = (request.sweep ? ONEFILE_SETTING_SWEEP : 0) |
                           (request.errorDialog ? ONEFILE_SETTING_ERROR_DIALOG : 0) |
                           (request.splashProgress ? ONEFILE_SETTING_SPLASH_PROGRESS : 0) |
                           (cache.enabled && cache.recheck ? ONEFILE_SETTING_CACHE_RECHECK : 0);
    writeLittle(settings, 12, flags, 4);
    writeLittle(settings, 16, cache.enabled ? static_cast<uint32_t>(cache.keep) : 0, 4);
    for (size_t i = 0; i < std::size(texts); ++i) {
        if (texts[i].size() > ONEFILE_SETTINGS_TEXT_MAX_UNITS) {
            throw Error("a folder spec is longer than " + std::to_string(ONEFILE_SETTINGS_TEXT_MAX_UNITS) +
                        " characters");
        }
        writeLittle(settings, 40 + 8 * i, settings.size(), 4);
        writeLittle(settings, 44 + 8 * i, texts[i].size(), 4);
        for (const char16_t unit : texts[i] + u'\0') {
            settings.push_back(static_cast<uint8_t>(unit));
            settings.push_back(static_cast<uint8_t>(unit >> 8));
        }
    }
    settings.resize(alignUp(settings.size(), ONEFILE_SECTION_BLOCK_ALIGNMENT), 0);
    writeLittle(settings, 24, settings.size(), 8);
    writeLittle(settings, 32, blockSize, 8);
    return settings;
}

std::vector<std::filesystem::path> sdkDllPath(const std::filesystem::path& description)
{
    std::vector<std::filesystem::path> folders;
    if (!std::filesystem::exists(description)) return folders;
    const auto sdk = readSdkDescription(description);
    const auto [first, last] = sdk.equal_range("dll_path");
    for (auto it = first; it != last; ++it) folders.push_back(it->second);
    return folders;
}

std::string sdkZstd(const std::filesystem::path& description)
{
    if (!std::filesystem::exists(description)) return "";
    const auto sdk = readSdkDescription(description);
    const auto zstd = sdk.find("zstd");
    return zstd != sdk.end() ? zstd->second : "";
}

std::string readTextFile(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TemporaryDirectory::TemporaryDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "onefile-pack-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw Error("cannot make a temporary directory");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

// The resources' inputs: the manifest (the SDK's, the caller's own, or the
// SDK's with the choices), the icon (ours unless the caller brings one),
// the splash and the version information.
ResourceInputs gatherResources(const BuildRequest& request, const SdkValues& sdk)
{
    ResourceInputs inputs;
    const std::filesystem::path sdkManifest = sdk.find("manifest")->second;
    if (!request.manifest.file.empty()) {
        inputs.manifest = readBinaryFile(request.manifest.file);
    } else if (request.manifest.changes()) {
        const std::string text = manifestText(request.manifest, readTextFile(sdkManifest));
        inputs.manifest.assign(text.begin(), text.end());
    } else {
        inputs.manifest = readBinaryFile(sdkManifest);
    }
    const std::filesystem::path icon =
        request.icon.empty() ? std::filesystem::path(sdk.find("icon")->second) : request.icon;
    inputs.icon = readBinaryFile(icon);
    inputs.iconFile = icon.string();
    if (!request.splash.empty()) inputs.splash = readBinaryFile(request.splash);
    inputs.version = request.version;
    if (inputs.version.requested() && inputs.version.originalFilename.empty()) {
        inputs.version.originalFilename = request.output.filename().string();
    }
    return inputs;
}

// A new file being written, its bytes summed for the image checksum as they
// go. Opened without truncating: on ext4 a truncated file's blocks are
// flushed when it is closed, which costs as much as writing it.
class ImageWriter {
public:
    explicit ImageWriter(const std::filesystem::path& file) : file_(file)
    {
        const int descriptor = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        out_ = descriptor >= 0 ? fdopen(descriptor, "wb") : nullptr;
        if (out_ == nullptr) {
            if (descriptor >= 0) close(descriptor);
            throw Error(file.string() + ": cannot be written: " + std::strerror(errno));
        }
        std::setvbuf(out_, nullptr, _IOFBF, 1 << 16);
    }
    ~ImageWriter()
    {
        if (out_ != nullptr) std::fclose(out_);
    }
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    void write(const uint8_t* bytes, size_t size)
    {
        checksum_.add(bytes, size);
        written_ += size;
        if (std::fwrite(bytes, 1, size, out_) != size) fail();
    }
    void write(const std::vector<uint8_t>& bytes) { write(bytes.data(), bytes.size()); }
    // Zeros up to `offset`, summed as any bytes (they add nothing but length).
    void padTo(uint64_t offset) { writeZeros(offset - std::min(offset, written_), true); }
    // The block: summed as it is read in pieces, and copied by the kernel,
    // so that it is never held whole and its bytes are written once.
    void copyFile(const std::filesystem::path& source, uint64_t size)
    {
        const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat facts;
        if (in < 0 || fstat(in, &facts) != 0 || static_cast<uint64_t>(facts.st_size) != size) {
            if (in >= 0) close(in);
            throw Error(source.string() + ": cannot be read, or changed while the executable was written");
        }
        std::vector<uint8_t> piece(1 << 20);
        bool whole = true;
        for (uint64_t done = 0; whole && done < size;) {
            const ssize_t got = pread(in, piece.data(), piece.size(), static_cast<off_t>(done));
            whole = got > 0;
            if (whole) checksum_.add(piece.data(), static_cast<size_t>(got));
            done += whole ? static_cast<uint64_t>(got) : 0;
        }
        bool copied = whole && std::fflush(out_) == 0;
        for (uint64_t done = 0; copied && done < size;) {
            loff_t from = static_cast<loff_t>(done);
            ssize_t moved = copy_file_range(in, &from, fileno(out_), nullptr, size - done, 0);
            if (moved < 0) {
                // Not between these file systems: read and written here.
                moved = pread(in, piece.data(), static_cast<size_t>(std::min<uint64_t>(size - done, piece.size())),
                              static_cast<off_t>(done));
                moved = moved > 0 ? ::write(fileno(out_), piece.data(), static_cast<size_t>(moved)) : -1;
            }
            copied = moved > 0;
            done += copied ? static_cast<uint64_t>(moved) : 0;
        }
        close(in);
        if (!whole) throw Error(source.string() + ": cannot be read, or changed while the executable was written");
        if (!copied || std::fseek(out_, 0, SEEK_END) != 0) fail();
        written_ += size;
    }
    // The head's place, kept for finish: what goes there is known once the
    // block has been written after it. Even-sized, so that the words summed
    // after it keep their places.
    void reserve(uint64_t size) { writeZeros(size, false); }
    // Writes `head` into its reserved place with the image checksum of the
    // whole file at `checksumOffset`, and closes the file.
    void finish(std::vector<uint8_t> head, uint64_t checksumOffset)
    {
        PeChecksum whole;
        whole.add(head.data(), head.size());
        whole.add(checksum_);
        writeLittle(head, checksumOffset, whole.value(), 4);
        if (std::fseek(out_, 0, SEEK_SET) != 0 || std::fwrite(head.data(), 1, head.size(), out_) != head.size()) fail();
        std::FILE* const out = out_;
        out_ = nullptr;
        if (std::fclose(out) != 0) fail();
    }

private:
    [[noreturn]] void fail() const { throw Error(file_.string() + ": cannot be written: " + std::strerror(errno)); }

    void writeZeros(uint64_t count, bool summed)
    {
        static const uint8_t zeros[4096] = {};
        for (uint64_t left = count; left > 0;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, sizeof zeros));
            if (summed) checksum_.add(zeros, piece);
            if (std::fwrite(zeros, 1, piece, out_) != piece) fail();
            left -= piece;
        }
        written_ += count;
    }

    std::filesystem::path file_;
    std::FILE* out_ = nullptr;
    PeChecksum checksum_;
    uint64_t written_ = 0;
};

// The executable's head: the image with its two new sections, then the
// resources and the settings, each at its place in the file; the block
// follows it. `end` is where the file ends, after the block.
struct ExecutableHead {
    std::vector<uint8_t> bytes;
    uint64_t end = 0;
    uint64_t checksumOffset = 0;
};

// Where the resource section lies in memory: right after the image's last.
uint32_t resourceRvaOf(const BootstrapImage& image)
{
    return static_cast<uint32_t>(sectionEnd(image.layout.sections.back(), image.layout.sectionAlignment));
}

// Where the settings begin in the file: after the resources, at a page of
// the file as of memory, so that the block after them can be mapped.
uint64_t placeOffsetOf(const BootstrapImage& image, uint64_t resourcesSize)
{
    const uint32_t fileAlignment = image.layout.fileAlignment;
    return alignUp(alignUp(image.bytes.size(), fileAlignment) + alignUp(resourcesSize, fileAlignment),
                   std::max<uint32_t>(fileAlignment, ONEFILE_SECTION_BLOCK_ALIGNMENT));
}

ExecutableHead makeHead(const BootstrapImage& image, const std::vector<uint8_t>& resources,
                        const std::vector<uint8_t>& settings, uint64_t blockSize)
{
    PeLayout layout = image.layout;
    const uint32_t readOnlyData = 0x40000040;  // initialised data, read
    const PeSection resourceSection{".rsrc",
                                    static_cast<uint32_t>(resources.size()),
                                    resourceRvaOf(image),
                                    static_cast<uint32_t>(alignUp(resources.size(), layout.fileAlignment)),
                                    static_cast<uint32_t>(alignUp(image.bytes.size(), layout.fileAlignment)),
                                    readOnlyData};
    const uint64_t placeSize = settings.size() + blockSize;
    const uint64_t placeRva =
        alignUp(uint64_t{resourceSection.virtualAddress} + resources.size(), layout.sectionAlignment);
    const uint64_t placeOffset = placeOffsetOf(image, resources.size());
    if (placeRva + placeSize > UINT32_MAX - layout.sectionAlignment || placeOffset + placeSize > UINT32_MAX) {
        throw Error("the block is too large for an executable (at most 4 GB)");
    }
    const PeSection place{ONEFILE_SECTION_NAME,
                          static_cast<uint32_t>(placeSize),
                          static_cast<uint32_t>(placeRva),
                          static_cast<uint32_t>(alignUp(placeSize, layout.fileAlignment)),
                          static_cast<uint32_t>(placeOffset),
                          readOnlyData};
    layout.sections.push_back(resourceSection);
    layout.sections.push_back(place);
    ExecutableHead head{{}, uint64_t{place.rawOffset} + place.rawSize, peChecksumOffset(layout)};
    head.bytes.reserve(placeOffset + settings.size());
    head.bytes.assign(image.bytes.begin(), image.bytes.end());
    layout.timeStamp = buildTimeStamp();
    writePeSections(head.bytes, layout);
    writePeDirectory(head.bytes, layout, resourceDirectory,
                     {resourceSection.virtualAddress, static_cast<uint32_t>(resources.size())});
    writeLittle(head.bytes, image.descriptor + ONEFILE_DESCRIPTOR_MARK_SIZE + 4, place.virtualAddress, 4);
    writeLittle(head.bytes, image.descriptor + ONEFILE_DESCRIPTOR_MARK_SIZE + 8, place.virtualSize, 4);
    head.bytes.resize(resourceSection.rawOffset, 0);
    head.bytes.insert(head.bytes.end(), resources.begin(), resources.end());
    head.bytes.resize(placeOffset, 0);
    head.bytes.insert(head.bytes.end(), settings.begin(), settings.end());
    return head;
}

// The executable into `file`: its head's place kept, the block written
// after it (packed there, or copied from its file), then the head.
void writeExecutable(const BuildRequest& request, const BootstrapImage& image, const std::vector<uint8_t>& resources,
                     const std::filesystem::path& file)
{
    // The settings' size depends on no value only the block gives.
    const std::u16string idPlace(request.cache.enabled ? ONEFILE_CACHE_ID_LENGTH : 0, u'0');
    const uint64_t headSize = placeOffsetOf(image, resources.size()) + settingsBytes(request, idPlace, 0).size();
    ImageWriter writer(file);
    writer.reserve(headSize);
    uint64_t blockSize = 0;
    std::string cacheId;
    if (request.packBlock) {
        CacheIdHasher hasher;
        blockSize = request.packBlock([&](const uint8_t* bytes, size_t size) {
            writer.write(bytes, size);
            if (request.cache.enabled) hasher.add(bytes, size);
        });
        cacheId = hasher.id();
    } else {
        blockSize = std::filesystem::file_size(request.block);
        if (request.cache.enabled) cacheId = cacheIdOf(request.block);
        writer.copyFile(request.block, blockSize);
    }
    ExecutableHead head =
        makeHead(image, resources,
                 settingsBytes(request, request.cache.enabled ? utf8ToUtf16(cacheId) : u"", blockSize), blockSize);
    writer.padTo(head.end);
    writer.finish(std::move(head.bytes), head.checksumOffset);
}

// Made as a linker makes an executable: readable and runnable by whom the
// caller's umask allows.
void makeRunnable(const std::filesystem::path& file)
{
    const mode_t mask = umask(0);
    umask(mask);
    if (chmod(file.c_str(), 0777 & ~mask) != 0) throw Error(file.string() + ": cannot be made runnable");
}

// A new file beside `output`, removed unless it was renamed away.
class PartialFile {
public:
    explicit PartialFile(const std::filesystem::path& output)
    {
        std::string pattern = output.string() + ".partial-XXXXXX";
        const int descriptor = mkstemp(pattern.data());
        if (descriptor < 0) throw Error(output.string() + ": cannot be written: " + std::strerror(errno));
        close(descriptor);
        path_ = pattern;
    }
    ~PartialFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace

std::string buildExecutable(const BuildRequest& request)
{
    const SdkValues sdk = readSdkDescription(request.sdkDescription);
    for (const std::filesystem::path& input : {request.block, request.splash, request.icon}) {
        if (!input.empty() && !std::filesystem::is_regular_file(input)) throw Error(input.string() + ": not a file");
    }
    if (request.console && sdk.count("console_bootstrap") == 0) {
        throw Error(request.sdkDescription.string() + ": has no console bootstrap; the SDK is older than this packer");
    }
    const std::string imageFile = sdk.find(request.console ? "console_bootstrap" : "bootstrap")->second;
    const BootstrapImage image = readBootstrapImage(readBinaryFile(imageFile), imageFile);
    const std::vector<uint8_t> resources =
        resourceSection(executableResources(gatherResources(request, sdk)), resourceRvaOf(image));
    // Written beside the output (a signed one signed from a copy in a
    // temporary folder) and renamed to its name: the executable appears
    // whole or not at all.
    const PartialFile partial(request.output);
    std::string signer;
    if (request.signing.requested()) {
        const TemporaryDirectory temporary;
        const std::filesystem::path written = temporary.path() / "written.exe";
        writeExecutable(request, image, resources, written);
        // The signing tool writes only a file of its own.
        const std::filesystem::path signedFile = temporary.path() / "signed.exe";
        signer = signExecutable(request.signing, written, signedFile, temporary.path());
        std::error_code error;
        std::filesystem::copy_file(signedFile, partial.path(), std::filesystem::copy_options::overwrite_existing,
                                   error);
        if (error) throw Error(partial.path().string() + ": cannot be written: " + error.message());
    } else {
        writeExecutable(request, image, resources, partial.path());
    }
    makeRunnable(partial.path());
    // Renamed to a free name: ext4 flushes a file renamed over another
    // before the rename returns.
    std::error_code error;
    std::filesystem::remove(request.output, error);
    std::filesystem::rename(partial.path(), request.output, error);
    if (error) throw Error(request.output.string() + ": cannot be written: " + error.message());
    return signer;
}

}  // namespace pack
