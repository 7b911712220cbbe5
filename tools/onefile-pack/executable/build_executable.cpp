#include "executable/executable.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace pack {

namespace {

std::multimap<std::string, std::string> readSdkDescription(const std::filesystem::path& file)
{
    std::ifstream in(file);
    if (!in) {
        throw Error(file.string() + ": no bootstrap build description; build the Windows side first or pass --sdk");
    }
    std::multimap<std::string, std::string> values;
    for (std::string line; std::getline(in, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    for (const char* key : {"compiler", "windres", "entry", "library", "block_template", "manifest", "icon", "flags"}) {
        if (values.count(key) == 0) throw Error(file.string() + ": has no '" + key + "' line");
    }
    // Files named relative to the description, so that an installed SDK
    // works wherever it is moved.
    for (auto& [key, value] : values) {
        const bool isFile = key == "entry" || key == "console_entry" || key == "library" || key == "block_template" ||
                            key == "manifest" || key == "icon";
        if (isFile && std::filesystem::path(value).is_relative()) {
            value = (std::filesystem::absolute(file).parent_path() / value).lexically_normal().string();
        }
    }
    return values;
}

// Quoted for the assembler's and the resource compiler's string syntax.
std::string quotedForTools(const std::filesystem::path& path)
{
    std::string text;
    for (const char c : path.string()) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
    }
    return "\"" + text + "\"";
}

// Splits a space-separated list of flags from the build description.
std::vector<std::string> splitFlags(const std::string& text)
{
    std::vector<std::string> flags;
    std::istringstream words(text);
    for (std::string word; words >> word;) flags.push_back(word);
    return flags;
}

// The resource script: our manifest, the icon (ours unless the caller
// brings one) and the splash image when one is given.
void writeResourceScript(const std::filesystem::path& script, const std::string& manifest,
                         const std::filesystem::path& icon, const std::filesystem::path& splash,
                         const VersionInfo& version)
{
    std::ofstream resources(script);
    // The version's texts are UTF-8; the script is read as such only then,
    // so that a build without them stays as it was.
    if (version.requested()) resources << "#pragma code_page(65001)\n";
    resources << "1 24 " << quotedForTools(manifest) << "\n";
    resources << "1 ICON " << quotedForTools(icon) << "\n";
    if (!splash.empty()) {
        resources << ONEFILE_SPLASH_RESOURCE_ID << " RCDATA " << quotedForTools(std::filesystem::absolute(splash))
                  << "\n";
    }
    if (version.requested()) resources << versionResource(version);
    if (!resources.flush()) throw Error(script.string() + ": cannot be written");
}

// The link command: the build's flags, release settings, our objects and
// the libraries.
std::vector<std::string> linkCommand(const std::multimap<std::string, std::string>& sdk,
                                     const std::filesystem::path& output, const std::filesystem::path& work,
                                     bool console)
{
    const auto value = [&](const char* key) { return sdk.find(key)->second; };
    std::vector<std::string> link = {value("compiler")};
    // The console variant: the same objects, the console subsystem and the
    // console entry.
    for (const std::string& flag : splitFlags(value("flags")))
        link.push_back(console && flag == "-mwindows" ? "-mconsole" : flag);
    // Users ship these files: no debug sections, and the same input gives
    // the same bytes. The linker takes the time stamp from SOURCE_DATE_EPOCH
    // when it is set; otherwise it writes none.
    link.push_back("-s");
    if (std::getenv("SOURCE_DATE_EPOCH") == nullptr) link.push_back("-Wl,--no-insert-timestamp");
    for (const std::string& part :
         {std::string("-o"), std::filesystem::absolute(output).string(), value(console ? "console_entry" : "entry"),
          (work / "attached_data.S").string(), (work / "resources.o").string()}) {
        link.push_back(part);
    }
    const auto [first, last] = sdk.equal_range("library");
    for (auto it = first; it != last; ++it) link.push_back(it->second);
    if (sdk.count("system_libraries")) {
        for (const std::string& library : splitFlags(value("system_libraries"))) link.push_back(library);
    }
    return link;
}

}  // namespace

std::vector<std::filesystem::path> sdkDllPath(const std::filesystem::path& description)
{
    std::vector<std::filesystem::path> folders;
    if (!std::filesystem::exists(description)) return folders;
    const auto sdk = readSdkDescription(description);
    const auto [first, last] = sdk.equal_range("dll_path");
    for (auto it = first; it != last; ++it) folders.push_back(it->second);
    return folders;
}

std::string sdkStripTool(const std::filesystem::path& description)
{
    if (!std::filesystem::exists(description)) return "";
    const auto sdk = readSdkDescription(description);
    const auto strip = sdk.find("strip");
    return strip != sdk.end() ? strip->second : "";
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

using SdkValues = std::multimap<std::string, std::string>;

// A UTF-16 text as the assembler's list of 16-bit units, its 0 included.
std::string unitsOf(const std::u16string& text)
{
    std::string units;
    for (const char16_t unit : text + u'\0') units += std::to_string(unit) + (unit ? ", " : "");
    return units;
}

// The block's assembly source: the block file and the executable's own
// settings filled into the SDK's template.
void writeBlockAssembly(const BuildRequest& request, const SdkValues& sdk, const std::filesystem::path& output)
{
    const std::string& templateFile = sdk.find("block_template")->second;
    std::string assembly = readTextFile(templateFile);
    const std::string marker = "\"@ONEFILE_BLOCK_FILE@\"";
    assembly.replace(assembly.find(marker), marker.size(), quotedForTools(std::filesystem::absolute(request.block)));
    const CacheRequest& cache = request.cache;
    const std::u16string cacheSpec = cache.enabled ? cache.root + u"\\" + utf8ToUtf16(cache.name) : u"";
    const std::u16string cacheId = cache.enabled ? utf8ToUtf16(cacheIdOf(request.block)) : u"";
    for (const auto& [marker, text] :
         {std::pair<std::string, std::string>{"@ONEFILE_SWEEP@", request.sweep ? "1" : "0"},
          {"@ONEFILE_ERROR_DIALOG@", request.errorDialog ? "1" : "0"},
          {"@ONEFILE_SPLASH_PROGRESS@", request.splashProgress ? "1" : "0"},
          {"@ONEFILE_CACHE_KEEP@", std::to_string(cache.enabled ? cache.keep : 0)},
          {"@ONEFILE_CACHE_RECHECK@", cache.enabled && cache.recheck ? "1" : "0"},
          {"@ONEFILE_CACHE_SPEC@", unitsOf(cacheSpec)},
          {"@ONEFILE_CACHE_ID@", unitsOf(cacheId)},
          {"@ONEFILE_RUN_PARENT_SPEC@", unitsOf(request.runParentSpec)}}) {
        const size_t at = assembly.find(marker);
        if (at == std::string::npos) {
            throw Error(templateFile + ": has no " + marker + "; the SDK is older than this packer");
        }
        assembly.replace(at, marker.size(), text);
    }
    std::ofstream(output) << assembly;
}

// The resources compiled into `object`: the manifest (the SDK's, the
// caller's own, or the SDK's with the choices), the icon, the splash and
// the version information.
void compileResources(const BuildRequest& request, const SdkValues& sdk, const std::filesystem::path& work,
                      const std::filesystem::path& object)
{
    const std::string& sdkManifest = sdk.find("manifest")->second;
    const std::filesystem::path icon = request.icon.empty() ? std::filesystem::path(sdk.find("icon")->second)
                                                            : std::filesystem::absolute(request.icon);
    std::string manifest = sdkManifest;
    if (!request.manifest.file.empty()) {
        manifest = std::filesystem::absolute(request.manifest.file).string();
    } else if (request.manifest.changes()) {
        manifest = (work / "onefile.manifest").string();
        std::ofstream chosen(manifest);
        chosen << manifestText(request.manifest, readTextFile(sdkManifest));
        if (!chosen.flush()) throw Error(manifest + ": cannot be written");
    }
    VersionInfo version = request.version;
    if (version.requested() && version.originalFilename.empty()) {
        version.originalFilename = request.output.filename().string();
    }
    writeResourceScript(work / "resources.rc", manifest, icon, request.splash, version);
    runTool({sdk.find("windres")->second, "-i", (work / "resources.rc").string(), "-o", object.string()},
            "compiling the resources");
}

}  // namespace

std::string buildExecutable(const BuildRequest& request)
{
    const SdkValues sdk = readSdkDescription(request.sdkDescription);
    for (const std::filesystem::path& input : {request.block, request.splash, request.icon}) {
        if (!input.empty() && !std::filesystem::is_regular_file(input)) throw Error(input.string() + ": not a file");
    }
    if (request.console && sdk.count("console_entry") == 0) {
        throw Error(request.sdkDescription.string() + ": has no console entry; the SDK is older than this packer");
    }
    TemporaryDirectory temporary;
    writeBlockAssembly(request, sdk, temporary.path() / "attached_data.S");
    compileResources(request, sdk, temporary.path(), temporary.path() / "resources.o");
    // The linker adds ".exe" to a name without an extension: it writes a
    // name of its own, copied to exactly the one asked for.
    const std::filesystem::path linked = temporary.path() / "linked.exe";
    runTool(linkCommand(sdk, linked, temporary.path(), request.console), "linking " + request.output.string());
    std::filesystem::path finished = linked;
    std::string signer;
    if (request.signing.requested()) {
        finished = temporary.path() / "signed.exe";
        signer = signExecutable(request.signing, linked, finished, temporary.path());
    }
    std::error_code error;
    std::filesystem::copy_file(finished, request.output, std::filesystem::copy_options::overwrite_existing, error);
    if (error) throw Error(request.output.string() + ": cannot be written: " + error.message());
    return signer;
}

}  // namespace pack
