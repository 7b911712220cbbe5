#include "pack.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace pack {

namespace {

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

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
    return values;
}

std::string readText(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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

void run(const std::string& command, const std::string& what)
{
    if (std::system(command.c_str()) != 0) throw Error(what + " failed: " + command);
}

class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "onefile-pack-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw Error("cannot make a temporary directory");
        path_ = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace

void buildExecutable(const BuildRequest& request)
{
    const auto sdk = readSdkDescription(request.sdkDescription);
    const auto value = [&](const char* key) { return sdk.find(key)->second; };
    for (const std::filesystem::path& input : {request.block, request.splash, request.icon}) {
        if (!input.empty() && !std::filesystem::is_regular_file(input)) throw Error(input.string() + ": not a file");
    }
    TemporaryDirectory temporary;

    std::string assembly = readText(value("block_template"));
    const std::string marker = "\"@ONEFILE_BLOCK_FILE@\"";
    assembly.replace(assembly.find(marker), marker.size(), quotedForTools(std::filesystem::absolute(request.block)));
    std::ofstream(temporary.path() / "attached_data.S") << assembly;

    std::ofstream resources(temporary.path() / "resources.rc");
    resources << "1 24 " << quotedForTools(value("manifest")) << "\n";
    // Our icon unless the caller brings one.
    const std::filesystem::path icon = request.icon.empty() ? std::filesystem::path(value("icon"))
                                                            : std::filesystem::absolute(request.icon);
    resources << "1 ICON " << quotedForTools(icon) << "\n";
    if (!request.splash.empty()) {
        resources << "28 RCDATA " << quotedForTools(std::filesystem::absolute(request.splash)) << "\n";
    }
    resources.close();
    run(shellQuote(value("windres")) + " -i " + shellQuote((temporary.path() / "resources.rc").string()) + " -o " +
            shellQuote((temporary.path() / "resources.o").string()),
        "compiling the resources");

    std::string link = shellQuote(value("compiler")) + " " + value("flags") + " -o " +
                       shellQuote(std::filesystem::absolute(request.output).string()) + " " +
                       shellQuote(value("entry")) + " " + shellQuote((temporary.path() / "attached_data.S").string()) +
                       " " + shellQuote((temporary.path() / "resources.o").string());
    const auto [first, last] = sdk.equal_range("library");
    for (auto it = first; it != last; ++it) link += " " + shellQuote(it->second);
    if (sdk.count("system_libraries")) link += " " + value("system_libraries");
    run(link, "linking " + request.output.string());
}

}  // namespace pack
