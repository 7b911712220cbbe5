#include "block/block.h"

#include <algorithm>
#include <cwctype>
#include <map>

namespace fs = std::filesystem;

namespace pack {

// Windows compares names without regard to case; this fold is close enough
// to its upper-case table for every script towupper knows.
std::u16string foldCase(const std::u16string& name)
{
    std::u16string folded = name;
    for (char16_t& c : folded) c = static_cast<char16_t>(std::towupper(static_cast<wint_t>(c)));
    return folded;
}

static std::u16string blockName(const fs::path& relative)
{
    std::u16string name;
    for (const fs::path& part : relative) {
        const std::string text = part.string();
        if (text.find('\\') != std::string::npos) {
            throw Error(relative.string() + ": a backslash in a name, which Windows takes as a separator");
        }
        if (!name.empty()) name += u'\\';
        name += utf8ToUtf16(text);
    }
    return name;
}

static void checkName(const fs::path& relative, const std::u16string& name)
{
    const std::string problem = nameProblem(name);
    if (!problem.empty()) throw Error(relative.string() + ": cannot be carried: " + problem);
}

// Two names that differ only in case would land on one file on Windows, and
// a file whose name is also a directory's cannot be made at all.
static void checkCaseCollisions(const std::vector<FileEntry>& files)
{
    std::map<std::u16string, const FileEntry*> fileByFold;
    std::map<std::u16string, const FileEntry*> directoryByFold;
    for (const FileEntry& file : files) {
        const std::u16string folded = foldCase(file.name);
        const auto [it, inserted] = fileByFold.emplace(folded, &file);
        if (!inserted) {
            throw Error(file.source.string() + ": differs only in letter case from " + it->second->source.string());
        }
        for (size_t cut = folded.find(u'\\'); cut != std::u16string::npos; cut = folded.find(u'\\', cut + 1)) {
            directoryByFold.emplace(folded.substr(0, cut), &file);
        }
    }
    for (const auto& [folded, file] : fileByFold) {
        const auto directory = directoryByFold.find(folded);
        if (directory != directoryByFold.end()) {
            throw Error(file->source.string() + ": is a file, but " + directory->second->source.string() +
                        " needs a directory of that name");
        }
    }
}

// The entry stays first; the others follow in UTF-16 name order, which keeps
// the block identical for identical input.
void orderPayload(Payload& payload)
{
    std::sort(payload.files.begin() + 1, payload.files.end(),
              [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
}

Payload collectPayload(const fs::path& root, const std::string& entry)
{
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(root, error))) {
        throw Error(root.string() + ": not a directory");
    }
    Payload payload;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path relative = fs::relative(it->path(), root);
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status)) {
            throw Error(it->path().string() + ": is a symbolic link; links are not carried, copy the file instead");
        }
        if (fs::is_directory(status)) {
            checkName(relative, blockName(relative));
            if (fs::is_empty(it->path())) payload.emptyDirectories.push_back(relative.string());
            continue;
        }
        if (!fs::is_regular_file(status)) {
            throw Error(it->path().string() + ": is not a regular file (device, pipe or socket)");
        }
        FileEntry file{it->path(), blockName(relative), fs::file_size(it->path())};
        checkName(relative, file.name);
        payload.files.push_back(std::move(file));
    }
    const std::u16string entryName = blockName(fs::path(entry).lexically_normal());
    const auto entryFile = std::find_if(payload.files.begin(), payload.files.end(),
                                        [&](const FileEntry& file) { return file.name == entryName; });
    if (entry.empty() || entryFile == payload.files.end()) {
        throw Error((root / entry).string() + ": the entry DLL is not a file below " + root.string());
    }
    std::iter_swap(payload.files.begin(), entryFile);
    orderPayload(payload);
    std::sort(payload.emptyDirectories.begin(), payload.emptyDirectories.end());
    checkCaseCollisions(payload.files);
    return payload;
}

}  // namespace pack
