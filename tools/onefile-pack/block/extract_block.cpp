// `onefile-pack extract`: the files of a block written below a folder, to
// look inside what was shipped. The block may come from anyone, so the
// frame is decoded as the bootstrap decodes it (its window limit, a piece
// at a time, never whole in memory), every name passes the bootstrap's own
// checks, and every file and folder is made new, relative to an open
// folder and never through a link: a link planted below the folder while
// it is written stops the extraction instead of leading elsewhere.
#include "block/block.h"

#include "attached_data/record_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY  // frame header inspection
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#ifdef ONEFILE_TEST_HOLDS
#include <chrono>
#include <cstdlib>
#include <thread>
#endif

namespace fs = std::filesystem;

namespace pack {

namespace {

// A descriptor closed when it goes.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(Descriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd >= 0) close(fd);
    }
};

struct DecoderDeleter {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// The record stream, decoded a piece at a time.
class RecordStream {
public:
    RecordStream(const uint8_t* frame, size_t size) : context_(ZSTD_createDCtx()), input_{frame, size, 0}
    {
        if (!context_) throw Error("zstd: cannot create a decompression context");
        ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax, maxWindowLog);
    }

    // Up to `most` bytes of the stream, at least one; throws at its end.
    std::pair<const uint8_t*, size_t> take(size_t most)
    {
        while (position_ == filled_) refill();
        const size_t count = std::min(most, filled_ - position_);
        const uint8_t* const bytes = piece_.data() + position_;
        position_ += count;
        return {bytes, count};
    }

    void read(void* destination, size_t count)
    {
        for (uint8_t* to = static_cast<uint8_t*>(destination); count > 0;) {
            const auto [bytes, taken] = take(count);
            std::memcpy(to, bytes, taken);
            to += taken;
            count -= taken;
        }
    }

    // Whether the frame ends exactly here.
    bool atEnd()
    {
        while (position_ == filled_ && !ended_) refill(true);
        return position_ == filled_;
    }

private:
    void refill(bool endAllowed = false)
    {
        if (ended_) {
            if (endAllowed) return;
            throw Error("the records stop before their end record");
        }
        ZSTD_outBuffer output{piece_.data(), piece_.size(), 0};
        const size_t left = ZSTD_decompressStream(context_.get(), &output, &input_);
        if (ZSTD_isError(left)) throw Error(std::string("the frame does not decode: ") + ZSTD_getErrorName(left));
        if (left != 0 && output.pos == 0 && input_.pos == input_.size) throw Error("the frame is truncated");
        ended_ = left == 0;
        position_ = 0;
        filled_ = output.pos;
    }

    std::unique_ptr<ZSTD_DCtx, DecoderDeleter> context_;
    ZSTD_inBuffer input_;
    std::vector<uint8_t> piece_ = std::vector<uint8_t>(1 << 20);
    size_t position_ = 0, filled_ = 0;
    bool ended_ = false;
};

// The frame of the first block marker in `bytes` whose frame header reads.
std::pair<const uint8_t*, size_t> findFrame(const std::vector<uint8_t>& bytes)
{
    const std::vector<uint8_t>& marker = blockMarker();
    for (auto it = bytes.begin(); (it = std::search(it, bytes.end(), marker.begin(), marker.end())) != bytes.end();
         ++it) {
        const uint8_t* const frame = &*it + ONEFILE_BLOCK_MAGIC_LENGTH;
        const size_t size = static_cast<size_t>(bytes.end() - it) - ONEFILE_BLOCK_MAGIC_LENGTH;
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader(&header, frame, size) != 0) continue;
        // zstd checks the content against it at the frame's end.
        if (header.checksumFlag == 0) throw Error("the frame has no content checksum, which the bootstrap requires");
        return {frame, size};
    }
    throw Error("no attached data block found (no \"" ONEFILE_BLOCK_MAGIC "\" followed by a zstd frame)");
}

std::string systemError(const std::string& what)
{
    return what + " (" + std::strerror(errno) + ")";
}

// The folder the files go below: made new, or an empty folder that is no
// link; held open.
Descriptor openTargetFolder(const fs::path& folder)
{
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        throw Error(systemError(folder.string() + ": cannot be made"));
    }
    Descriptor root(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.fd < 0) throw Error(systemError(folder.string() + ": is no folder to extract into"));
    std::error_code error;
    if (!fs::is_empty(folder, error) || error)
        throw Error(folder.string() + ": is not empty; extract into a new folder");
    return root;
}

#ifdef ONEFILE_TEST_HOLDS
// The tests' hold before the record `index`: "<ONEFILE_TEST_HOLD_EXTRACT>
// .reached" is made, then "<...>.go" awaited.
void reachTestHold(size_t index)
{
    const char* const hold = std::getenv("ONEFILE_TEST_HOLD_EXTRACT");
    if (hold == nullptr || index != 1) return;
    std::fclose(std::fopen((std::string(hold) + ".reached").c_str(), "w"));
    while (!fs::exists(std::string(hold) + ".go")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
#else
void reachTestHold(size_t) {}
#endif

// Writes the records below the folder held as `root`; what it made is
// removed again when it cannot finish.
class Extraction {
public:
    explicit Extraction(Descriptor root) : root_(std::move(root)) {}

    // Removes every file and folder it made, the last first, each through
    // its parent folder opened without following a link.
    void removeWhatWasMade()
    {
        for (auto it = madeInOrder_.rbegin(); it != madeInOrder_.rend(); ++it) {
            const std::vector<std::string>& parts = it->first;
            Descriptor folder(dup(root_.fd));
            for (size_t i = 0; i + 1 < parts.size() && folder.fd >= 0; ++i) {
                folder = Descriptor(openat(folder.fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
            }
            if (folder.fd >= 0) unlinkat(folder.fd, parts.back().c_str(), it->second ? AT_REMOVEDIR : 0);
        }
    }

    // The record `name`'s `size` bytes from `stream` into its file, made new.
    void writeRecord(const std::u16string& name, uint64_t size, RecordStream& stream)
    {
        const std::string shown = utf16ToUtf8(name);
        std::vector<std::string> parts;
        for (size_t from = 0, cut; from <= name.size(); from = cut + 1) {
            cut = std::min(name.find(u'\\', from), name.size());
            parts.push_back(utf16ToUtf8(name.substr(from, cut - from)));
        }
        Descriptor folder(dup(root_.fd));
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            folder = enterFolder(folder, {parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(i) + 1});
        }
        Descriptor file(
            openat(folder.fd, parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file.fd < 0) throw Error(systemError(shown + ": cannot be made new"));
        madeInOrder_.push_back({parts, false});
        for (uint64_t left = size; left > 0;) {
            const auto [bytes, count] = stream.take(left < (1u << 20) ? static_cast<size_t>(left) : (1u << 20));
            for (size_t done = 0; done < count;) {
                const ssize_t written = write(file.fd, bytes + done, count - done);
                if (written <= 0) throw Error(systemError(shown + ": cannot be written"));
                done += static_cast<size_t>(written);
            }
            left -= count;
        }
        const int descriptor = file.fd;
        file.fd = -1;
        if (close(descriptor) != 0) throw Error(systemError(shown + ": cannot be written"));
    }

private:
    // The folder `parts` (its last part below `parent`): made here, or made
    // by an earlier record of this extraction; entered without following a
    // link.
    Descriptor enterFolder(const Descriptor& parent, const std::vector<std::string>& parts)
    {
        std::string relative;
        for (const std::string& part : parts) relative += (relative.empty() ? "" : "/") + part;
        if (mkdirat(parent.fd, parts.back().c_str(), 0755) == 0) {
            made_.insert(relative);
            madeInOrder_.push_back({parts, true});
        } else if (errno != EEXIST || made_.count(relative) == 0) {
            throw Error(systemError(relative + ": cannot be made new"));
        }
        Descriptor entered(openat(parent.fd, parts.back().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (entered.fd < 0) throw Error(systemError(relative + ": is no longer the folder this extraction made"));
        return entered;
    }

    Descriptor root_;
    std::set<std::string> made_;
    std::vector<std::pair<std::vector<std::string>, bool>> madeInOrder_;  // each path, and whether a folder
};

// The records of `stream`, each written by `extraction`.
ExtractSummary writeRecords(RecordStream& stream, Extraction& extraction)
{
    std::set<std::u16string> folded;
    ExtractSummary summary;
    for (;;) {
        std::u16string name;
        for (char16_t unit = 1; unit != 0;) {
            uint8_t pair[2];
            stream.read(pair, 2);
            unit = static_cast<char16_t>(pair[0] | (pair[1] << 8));
            if (unit != 0) name += unit;
            if (name.size() > maxNameUnits) throw Error("a record name is too long");
        }
        if (name.empty()) break;
        const RecordNameProblem problem = findRecordNameProblem(name.data(), name.size());
        if (problem != RecordNameProblem::none) {
            throw Error(utf16ToUtf8(name) + ": a record name with " + describeRecordNameProblem(problem));
        }
        if (!folded.insert(foldCase(name)).second) {
            throw Error(utf16ToUtf8(name) + ": differs only in letter case from an earlier record");
        }
        uint8_t sizeBytes[8];
        stream.read(sizeBytes, sizeof sizeBytes);
        const uint64_t size = readLittleEndian(sizeBytes, sizeof sizeBytes);
        reachTestHold(summary.files);
        extraction.writeRecord(name, size, stream);
        ++summary.files;
        summary.bytes += size;
    }
    if (!stream.atEnd()) throw Error("the frame holds bytes after the end record");
    return summary;
}

}  // namespace

ExtractSummary extractBlock(const std::vector<uint8_t>& bytes, const fs::path& folder)
{
    const auto [frame, size] = findFrame(bytes);
    RecordStream stream(frame, size);
    const bool folderIsNew = !fs::exists(fs::symlink_status(folder));
    Extraction extraction(openTargetFolder(folder));
    try {
        return writeRecords(stream, extraction);
    } catch (const Error& error) {
        // Nothing half done: what it made goes, and the folder if it made it.
        extraction.removeWhatWasMade();
        if (folderIsNew) rmdir(folder.c_str());
        throw Error(std::string(error.what()) + "; what was written is removed again");
    }
}

}  // namespace pack
