#include "command_line/input_checks.h"

#include "pe/pe.h"

#include <cstdio>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

// Whether `path` lies in `folder` (both existing or not), after links.
bool isInside(const fs::path& path, const fs::path& folder)
{
    const fs::path inside = fs::weakly_canonical(path);
    const fs::path root = fs::weakly_canonical(folder);
    auto r = root.begin();
    for (auto i = inside.begin(); r != root.end() && i != inside.end() && *r == *i; ++r, ++i) {
    }
    return r == root.end();
}

void checkVersionInfo(const pack::VersionInfo& version)
{
    for (const auto& [option, value] :
         {std::pair{"--file-version", &version.fileVersion}, std::pair{"--product-version", &version.productVersion}}) {
        const std::string problem = value->empty() ? "" : pack::versionNumberProblem(*value);
        if (!problem.empty()) throw pack::Error(std::string(option) + " " + *value + ": " + problem);
    }
    for (const auto& [option, value] :
         {std::pair{"--company", &version.company}, std::pair{"--product", &version.product},
          std::pair{"--description", &version.description}, std::pair{"--copyright", &version.copyright},
          std::pair{"--original-filename", &version.originalFilename},
          std::pair{"--internal-name", &version.internalName}}) {
        const std::string problem = pack::versionTextProblem(*value);
        if (!problem.empty()) throw pack::Error(std::string(option) + ": " + problem);
    }
}

void checkSigning(const pack::SigningRequest& signing)
{
    if (!signing.requested()) return;
    if (!fs::is_regular_file(signing.pkcs12))
        throw pack::Error(signing.pkcs12.string() + ": the key file does not exist");
    if (!signing.passwordFile.empty() && !fs::is_regular_file(signing.passwordFile)) {
        throw pack::Error(signing.passwordFile.string() + ": the password file does not exist");
    }
    if (!signing.passwordVariable.empty() && std::getenv(signing.passwordVariable.c_str()) == nullptr) {
        throw pack::Error("--sign-password-env " + signing.passwordVariable + ": the variable is not set");
    }
    if (!pack::toolIsInstalled("osslsigncode")) {
        throw pack::Error("signing needs osslsigncode (Debian's osslsigncode), which is not installed");
    }
}

// The folder to pack, the output and the block: there, and not inside one another.
void checkPaths(const Arguments& arguments)
{
    const std::string& directory = arguments.directory;
    if (!directory.empty() && !fs::exists(directory)) throw pack::Error(directory + ": does not exist");
    if (!directory.empty() && !fs::is_directory(directory)) throw pack::Error(directory + ": is not a directory");
    const fs::path output(arguments.output);
    if (fs::is_directory(output)) throw pack::Error(arguments.output + ": is a directory; -o names the file to write");
    const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
    if (!fs::is_directory(folder)) throw pack::Error(folder.string() + ": the output's folder does not exist");
    if (!directory.empty() && isInside(output, directory)) {
        throw pack::Error(arguments.output + ": lies in the folder being packed, " + directory +
                          ", and would be packed into the next build; write it elsewhere");
    }
    if (!arguments.block.empty() && !fs::is_regular_file(arguments.block)) {
        throw pack::Error(arguments.block + ": the block does not exist");
    }
    for (const std::string& name : arguments.systemDlls) {
        if (name.empty() || name.find_first_of("/\\:") != std::string::npos) {
            throw pack::Error("--system-dll " + name + ": a DLL's file name, not a path");
        }
        const std::string problem = pack::systemDllNameProblem(name);
        if (!problem.empty()) throw pack::Error("--system-dll '" + name + "': " + problem);
    }
    for (const std::string& folder : arguments.dllPath) {
        if (!fs::is_directory(folder)) throw pack::Error("--dll-path " + folder + ": is not a directory");
    }
}

// The entry: a file below the folder; when it is not, the line names the
// DLLs that could be.
void checkEntry(const Arguments& arguments)
{
    const fs::path root = arguments.directory;
    if (root.empty() || arguments.entry.empty() || fs::is_regular_file(root / arguments.entry)) return;
    bool exportRunCode = false;
    const std::vector<std::string> candidates = pack::findEntryCandidates(root, exportRunCode);
    std::string names;
    for (const std::string& name : candidates) names += (names.empty() ? "" : ", ") + name;
    throw pack::Error((root / arguments.entry).string() + ": the entry DLL is not a file below " + root.string() +
                      (candidates.empty() ? "; it has no DLL at its top"
                       : exportRunCode    ? "; the DLLs at its top that export run_code: " + names
                                          : "; none of the DLLs at its top exports run_code: " + names));
}

// The run folder's and the cache's specs, and the cache's name.
void checkFolderSpecs(const Arguments& arguments)
{
    if (!arguments.tempDir.empty()) {
        const std::string problem = pack::runParentSpecProblem(arguments.tempDir);
        if (!problem.empty()) throw pack::Error("--temp-dir " + arguments.tempDir + ": " + problem);
    }
    if (!arguments.cache.enabled) return;
    const std::string problem = pack::cacheNameProblem(arguments.cache.name);
    if (!problem.empty()) {
        throw pack::Error(
            "the cache's name '" + arguments.cache.name + "' " + problem +
            (arguments.cache.name == fs::path(arguments.output).stem().string() ? "; give one with --cache-name" : ""));
    }
    const std::string dirProblem = arguments.cacheDir.empty() ? "" : pack::runParentSpecProblem(arguments.cacheDir);
    if (!dirProblem.empty()) throw pack::Error("--cache-dir " + arguments.cacheDir + ": " + dirProblem);
}

}  // namespace

void checkInputs(const Arguments& arguments)
{
    checkPaths(arguments);
    checkEntry(arguments);
    checkFolderSpecs(arguments);
    checkVersionInfo(arguments.version);
    if (!arguments.manifest.file.empty() && !pack::checkManifestFile(arguments.manifest.file)) {
        std::fprintf(stderr,
                     "onefile-pack: warning: %s declares no longPathAware: paths over 260 characters will fail "
                     "in the executable\n",
                     arguments.manifest.file.c_str());
    }
    checkSigning(arguments.signing);
    if (!arguments.splash.empty()) pack::checkSplashImage(arguments.splash);
    if (!arguments.icon.empty()) pack::checkIcon(arguments.icon);
}

namespace {

// Throws, naming `path`, when the build's depfile cannot carry it.
void requireCarriedByDepfile(const fs::path& path)
{
    const std::string problem = pack::depfilePathProblem(path.string());
    if (!problem.empty()) throw pack::Error(path.string() + ": " + problem);
}

}  // namespace

// A make rule for the output that names every packed file, every folder of
// the input (a file added or removed changes its folder) and the splash and
// icon, so that a build system makes the output again when any changes.
void writeDepfile(const Arguments& arguments, const pack::Payload& payload)
{
    const fs::path root = fs::absolute(arguments.directory).lexically_normal();
    std::set<fs::path> dependencies = {root};
    for (const pack::FileEntry& file : payload.files) {
        const fs::path source = fs::absolute(file.source).lexically_normal();
        dependencies.insert(source);
        for (fs::path folder = source.parent_path(); folder != root && folder.has_relative_path();
             folder = folder.parent_path()) {
            dependencies.insert(folder);
        }
    }
    for (const std::string& empty : payload.emptyDirectories) dependencies.insert(root / empty);
    for (const std::string& input : {arguments.splash, arguments.icon}) {
        if (!input.empty()) dependencies.insert(fs::absolute(input));
    }
    const fs::path output = fs::absolute(arguments.output);
    requireCarriedByDepfile(output);
    for (const fs::path& path : dependencies) requireCarriedByDepfile(path);
    const auto escaped = [](const std::string& path) {
        std::string text;
        for (const char c : path) text += c == ' ' ? "\\ " : std::string(1, c);
        return text;
    };
    std::ofstream out(arguments.depfile);
    out << escaped(output.string()) << ":";
    for (const fs::path& dependency : dependencies) out << " \\\n  " << escaped(dependency.string());
    out << "\n";
    if (!out.flush()) throw pack::Error(arguments.depfile + ": cannot be written");
}
