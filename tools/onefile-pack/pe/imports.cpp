// What the packer checks about the payload's DLLs before it compresses
// anything: the entry is a DLL the bootstrap can load and call, and every
// DLL that the payload's PE files import will be found at run time. The
// bootstrap loads the entry with its own folder, the run's folder (the
// payload's root) and the system folder searched, so an import resolves
// beside its importer, beside the entry, in the root or in the system.
#include "pe/pe.h"

#include <algorithm>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace pack {

namespace {

const std::string seeHeader = "declare it extern \"C\" (see include/onefile_app.h)";

std::string machineName(uint16_t machine)
{
    switch (machine) {
    case machineI386:
        return "32-bit x86 (i386)";
    case 0xaa64:
        return "ARM64";
    case 0x1c4:
        return "ARM";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "0x%04x", machine);
        return std::string("machine ") + text;
    }
    }
}

void checkEntry(const FileEntry& entry, const std::optional<PeImage>& image)
{
    const std::string file = entry.source.string();
    if (!image) {
        throw Error(file +
                    " is not a Windows DLL (no PE header); the entry must be a 64-bit DLL that exports run_code");
    }
    if (image->machine != machineX64 || !image->pe32Plus) {
        throw Error(file + " is a " + machineName(image->machine) +
                    " DLL; the bootstrap is 64-bit: build it for x86-64 (x86_64-w64-mingw32)");
    }
    if (!image->dll) throw Error(file + " is a program (.exe), not a DLL; build the entry with -shared");
    if (image->exports.count("run_code") != 0) return;
    std::string mangled;  // the first in name order, whatever the set's order
    for (const std::string& name : image->exports) {
        if (name.find("run_code") != std::string::npos && (mangled.empty() || name < mangled)) mangled = name;
    }
    if (!mangled.empty()) throw Error(file + " exports run_code only under its C++ name " + mangled + "; " + seeHeader);
    throw Error(file + " exports no run_code; " + seeHeader);
}

std::u16string folderOf(const std::u16string& name)
{
    const size_t cut = name.rfind(u'\\');
    return cut == std::u16string::npos ? std::u16string() : name.substr(0, cut + 1);
}

// The first file of that name, in any letter case, in the search path's
// folders; empty when there is none.
fs::path findOnSearchPath(const std::vector<fs::path>& searchPath, const std::u16string& folded)
{
    for (const fs::path& folder : searchPath) {
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            if (foldCase(utf8ToUtf16(it->path().filename().string())) == folded && it->is_regular_file()) {
                return it->path();
            }
        }
    }
    return {};
}

class ImportResolver {
public:
    ImportResolver(Payload& payload, const ImportOptions& options) : payload_(payload), options_(options)
    {
        for (size_t i = 0; i < payload_.files.size(); ++i) {
            byFoldedName_.emplace(foldCase(payload_.files[i].name), i);
            images_.push_back(readPeFile(payload_.files[i].source));
            countNames(images_.back());
        }
        entryFolder_ = folderOf(payload_.files[0].name);
    }

    const std::optional<PeImage>& entryImage() const { return images_[0]; }

    // Resolves every import of every PE file, those of added DLLs included.
    void resolveAll()
    {
        for (size_t i = 0; i < payload_.files.size(); ++i) {
            if (!images_[i]) continue;
            const std::string importer = utf16ToUtf8(payload_.files[i].name);
            const std::u16string importerFolder = folderOf(payload_.files[i].name);
            const uint16_t machine = images_[i]->machine;
            // A copy: resolving may add files, and images with them.
            const std::vector<PeImport> imports = images_[i]->imports;
            for (const PeImport& import : imports) {
                if (!isSystemDll(import.dll, options_.systemDlls)) resolve(import, importer, importerFolder, machine);
            }
        }
    }

    const std::vector<AddedDll>& added() const { return added_; }
    const std::vector<std::string>& refusals() const { return refusals_; }

private:
    void resolve(const PeImport& import, const std::string& importer, const std::u16string& importerFolder,
                 uint16_t machine)
    {
        const std::u16string folded = foldCase(utf8ToUtf16(import.dll));
        size_t found = find(foldCase(importerFolder) + folded);
        if (found == npos) found = find(foldCase(entryFolder_) + folded);
        if (found == npos) found = find(folded);
        if (found == npos) found = collect(import.dll, folded, importer, machine);
        if (found == npos || !images_[found]) return;
        for (const std::string& name : import.names) {
            if (name.rfind('#', 0) == 0 || hasExport(*images_[found], name)) continue;
            refuse(folded, utf16ToUtf8(payload_.files[found].name) + " exports no " + name + ", which " + importer +
                               " imports; the DLL found is another version than the one it was built against");
            return;
        }
    }

    // Adds the DLL of the search path beside the entry; its index, or npos
    // after a refusal.
    size_t collect(const std::string& dll, const std::u16string& folded, const std::string& importer, uint16_t machine)
    {
        const fs::path source = findOnSearchPath(options_.searchPath, folded);
        if (source.empty()) {
            refuse(folded, dll + ", imported by " + importer +
                               ", is found nowhere: it is no system DLL, not in the payload and in no --dll-path "
                               "folder; put it beside " +
                               importer + " or name its folder with --dll-path");
            return npos;
        }
        if (!options_.collect) {
            refuse(folded, dll + ", imported by " + importer + ", is not in the payload; it lies in " +
                               source.parent_path().string() + ", which --no-collect leaves out");
            return npos;
        }
        std::optional<PeImage> image = readPeFile(source);
        countNames(image);
        if (!image || image->machine != machine) {
            refuse(folded, dll + ", imported by " + importer + ", is found as " + source.string() +
                               ", which is no DLL for the importer's machine");
            return npos;
        }
        const std::u16string name = entryFolder_ + utf8ToUtf16(source.filename().string());
        payload_.files.push_back({source, name, fs::file_size(source)});
        images_.push_back(std::move(image));
        byFoldedName_.emplace(foldCase(name), payload_.files.size() - 1);
        added_.push_back({name, source, importer});
        return payload_.files.size() - 1;
    }

    size_t find(const std::u16string& foldedName) const
    {
        const auto it = byFoldedName_.find(foldedName);
        return it == byFoldedName_.end() ? npos : it->second;
    }

    static bool hasExport(const PeImage& image, const std::string& name) { return image.exports.count(name) != 0; }

    // Keeps the names of all PE files read within the payload's budget.
    void countNames(const std::optional<PeImage>& image)
    {
        names_ += image ? image->names : 0;
        if (names_ > maxPeNamesPerPayload) {
            throw Error("the payload's PE files import and export more than " + std::to_string(maxPeNamesPerPayload) +
                        " names in all; no real application has so many: is a file in the folder crafted?");
        }
    }

    // One line per DLL, naming the first file found to import it.
    void refuse(const std::u16string& folded, const std::string& line)
    {
        if (refused_.insert(folded).second) refusals_.push_back(line);
    }

    static constexpr size_t npos = static_cast<size_t>(-1);
    Payload& payload_;
    const ImportOptions& options_;
    std::vector<std::optional<PeImage>> images_;  // one per payload file; none for other files
    std::map<std::u16string, size_t> byFoldedName_;
    std::u16string entryFolder_;  // with its trailing backslash, empty for the root
    std::vector<AddedDll> added_;
    std::vector<std::string> refusals_;
    std::set<std::u16string> refused_;
    uint64_t names_ = 0;  // read from the payload's PE files so far
};

}  // namespace

std::vector<std::string> findEntryCandidates(const fs::path& root, bool& exportRunCode)
{
    std::vector<std::string> all, entries;
    std::error_code error;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        // Bytes, not UTF-16: the last four bytes of a name may cut a UTF-8
        // sequence, and ".dll" is ASCII.
        std::string ending = name.size() > 4 ? name.substr(name.size() - 4) : "";
        for (char& c : ending) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        const bool isDll = ending == ".dll";
        if (!isDll || !it->is_regular_file()) continue;
        all.push_back(name);
        try {
            const std::optional<PeImage> image = readPeFile(it->path());
            if (image && image->exports.count("run_code") != 0) entries.push_back(name);
        } catch (const Error&) {
            // A damaged DLL is no entry either.
        }
    }
    exportRunCode = !entries.empty();
    std::vector<std::string>& found = exportRunCode ? entries : all;
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<AddedDll> completePayload(Payload& payload, const ImportOptions& options)
{
    ImportResolver resolver(payload, options);
    checkEntry(payload.files[0], resolver.entryImage());
    resolver.resolveAll();
    if (!resolver.refusals().empty()) {
        std::string lines;
        for (const std::string& line : resolver.refusals()) lines += (lines.empty() ? "" : "\n") + line;
        throw Error(lines);
    }
    orderPayload(payload);
    return resolver.added();
}

}  // namespace pack
