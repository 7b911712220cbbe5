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

// The problems of one payload, each a line naming its file by the path it
// was found at, of one kind; all of them are refused together, before
// anything is compressed, so that a folder is mended in one go.
enum class ProblemKind { link, forbiddenName, caseClash, notAFile };
struct Problem {
    ProblemKind kind;
    std::string line;
};
using Problems = std::vector<Problem>;

constexpr size_t shownProblems = 20;

static std::string describeKind(ProblemKind kind, size_t count)
{
    const bool one = count == 1;
    switch (kind) {
    case ProblemKind::link:
        return one ? "link" : "links";
    case ProblemKind::forbiddenName:
        return one ? "name Windows forbids" : "names Windows forbids";
    case ProblemKind::caseClash:
        return one ? "name that clashes in letter case" : "names that clash in letter case";
    default:
        return one ? "file that is no regular file" : "files that are no regular files";
    }
}

// "1,829".
static std::string groupDigits(size_t count)
{
    std::string digits = std::to_string(count);
    for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

// Up to shownProblems lines, taken in turn from each kind so that every
// kind shows, in the order the kinds were met; past them, how many of each
// kind are left.
static std::string describeProblems(const Problems& problems)
{
    std::vector<ProblemKind> kinds;
    std::map<ProblemKind, std::vector<const Problem*>> byKind;
    for (const Problem& problem : problems) {
        if (byKind[problem.kind].empty()) kinds.push_back(problem.kind);
        byKind[problem.kind].push_back(&problem);
    }
    std::map<ProblemKind, size_t> shown;
    for (size_t total = 0, round = 0; total < shownProblems && total < problems.size(); ++round) {
        for (const ProblemKind kind : kinds) {
            if (total < shownProblems && round < byKind[kind].size()) {
                ++shown[kind];
                ++total;
            }
        }
    }
    std::string lines, rest;
    for (const ProblemKind kind : kinds) {
        for (size_t i = 0; i < shown[kind]; ++i) lines += (lines.empty() ? "" : "\n") + byKind[kind][i]->line;
        const size_t left = byKind[kind].size() - shown[kind];
        if (left > 0) rest += (rest.empty() ? "" : ", ") + groupDigits(left) + " more " + describeKind(kind, left);
    }
    return rest.empty() ? lines : lines + "\nand " + rest;
}

static void refuseProblems(const Problems& problems)
{
    if (!problems.empty()) throw Error(describeProblems(problems));
}

// The name in the block: its parts joined by backslashes. Empty, with a
// problem, when a part holds a backslash (Windows takes it as a separator)
// or is no UTF-8.
static std::u16string blockName(const fs::path& relative, const fs::path& shown, Problems& problems)
{
    std::u16string name;
    for (const fs::path& part : relative) {
        const std::string text = part.string();
        if (text.find('\\') != std::string::npos) {
            problems.push_back({ProblemKind::forbiddenName,
                                shown.string() + ": a backslash in a name, which Windows takes as a separator"});
            return {};
        }
        if (!name.empty()) name += u'\\';
        try {
            name += utf8ToUtf16(text);
        } catch (const Error& error) {
            problems.push_back({ProblemKind::forbiddenName, shown.string() + ": " + error.what()});
            return {};
        }
    }
    const std::string problem = nameProblem(name);
    if (!problem.empty()) {
        problems.push_back({ProblemKind::forbiddenName, shown.string() + ": cannot be carried: " + problem});
        return {};
    }
    return name;
}

// Two names that differ only in case would land on one file on Windows, and
// a file whose name is also a directory's cannot be made at all.
static void findCaseCollisions(const std::vector<FileEntry>& files, Problems& problems)
{
    std::map<std::u16string, const FileEntry*> fileByFold;
    std::map<std::u16string, const FileEntry*> directoryByFold;
    for (const FileEntry& file : files) {
        const std::u16string folded = foldCase(file.name);
        const auto [it, inserted] = fileByFold.emplace(folded, &file);
        if (!inserted) {
            problems.push_back({ProblemKind::caseClash, file.source.string() + ": differs only in letter case from " +
                                                            it->second->source.string()});
        }
        for (size_t cut = folded.find(u'\\'); cut != std::u16string::npos; cut = folded.find(u'\\', cut + 1)) {
            directoryByFold.emplace(folded.substr(0, cut), &file);
        }
    }
    for (const auto& [folded, file] : fileByFold) {
        const auto directory = directoryByFold.find(folded);
        if (directory != directoryByFold.end()) {
            problems.push_back({ProblemKind::caseClash, file->source.string() + ": is a file, but " +
                                                            directory->second->source.string() +
                                                            " needs a directory of that name"});
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

// A link as a problem names it: where it leads, as written, and a link to
// nothing as dangling.
static std::string describeLink(const fs::path& path)
{
    std::error_code error;
    const fs::path written = fs::read_symlink(path, error);
    const bool dangling = !fs::exists(path, error);
    return path.string() + ": is a " + (dangling ? "dangling " : "") + "symbolic link to " + written.string() +
           (dangling ? " (nothing is there)" : "");
}

// What a link at `path` is carried as: with `dereference`, the file it
// leads to when that lies inside `root`; otherwise nothing, with a problem.
static fs::path followLink(const fs::path& path, const fs::path& root, bool dereference, Problems& problems)
{
    if (!dereference) {
        problems.push_back({ProblemKind::link, describeLink(path) +
                                                   "; links are not carried: copy the file, or --dereference "
                                                   "carries a link to a file inside the folder as a copy"});
        return {};
    }
    std::error_code targetError, rootError;
    const fs::path target = fs::canonical(path, targetError);
    const fs::path inside = fs::canonical(root, rootError);
    const auto [rootEnd, targetAt] = std::mismatch(inside.begin(), inside.end(), target.begin(), target.end());
    if (targetError || rootError || rootEnd != inside.end() || !fs::is_regular_file(target, targetError)) {
        problems.push_back({ProblemKind::link, describeLink(path) +
                                                   ", which is no file inside the folder: --dereference carries "
                                                   "only those"});
        return {};
    }
    return target;
}

// Adds the entry at `it`: a directory (its name checked, kept when empty),
// a file, or a link to a file inside the folder.
static void collectEntry(const fs::recursive_directory_iterator& it, const fs::path& root, bool dereference,
                         Payload& payload, Problems& problems)
{
    // Lexically: fs::relative would resolve a link to what it leads to.
    const fs::path relative = it->path().lexically_relative(root);
    const fs::file_status status = it->symlink_status();
    fs::path source = it->path();
    if (fs::is_symlink(status)) {
        source = followLink(it->path(), root, dereference, problems);
        if (source.empty()) return;
    } else if (fs::is_directory(status)) {
        blockName(relative, it->path(), problems);
        if (fs::is_empty(it->path())) payload.emptyDirectories.push_back(relative.string());
        return;
    } else if (!fs::is_regular_file(status)) {
        problems.push_back(
            {ProblemKind::notAFile, it->path().string() + ": is not a regular file (device, pipe or socket)"});
        return;
    }
    const std::u16string name = blockName(relative, it->path(), problems);
    if (!name.empty()) payload.files.push_back({source, name, fs::file_size(source)});
}

Payload collectPayload(const fs::path& root, const std::string& entry, bool dereference)
{
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(root, error))) {
        throw Error(root.string() + ": not a directory");
    }
    Payload payload;
    Problems problems;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        collectEntry(it, root, dereference, payload, problems);
    }
    findCaseCollisions(payload.files, problems);
    refuseProblems(problems);
    Problems ignored;
    const std::u16string entryName = blockName(fs::path(entry).lexically_normal(), root / entry, ignored);
    const auto entryFile = std::find_if(payload.files.begin(), payload.files.end(),
                                        [&](const FileEntry& file) { return file.name == entryName; });
    if (entry.empty() || entryName.empty() || entryFile == payload.files.end()) {
        throw Error((root / entry).string() + ": the entry DLL is not a file below " + root.string());
    }
    std::iter_swap(payload.files.begin(), entryFile);
    orderPayload(payload);
    std::sort(payload.emptyDirectories.begin(), payload.emptyDirectories.end());
    return payload;
}

}  // namespace pack
