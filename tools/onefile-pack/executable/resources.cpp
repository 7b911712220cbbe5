// What `build` writes into the executable's resources besides the splash
// and the icon: the version information and the manifest, as the options
// choose them. Without those options both stay exactly as the SDK has them.
#include "executable/executable.h"

#include <sstream>

namespace pack {

bool VersionInfo::requested() const
{
    return !fileVersion.empty() || !productVersion.empty() || !company.empty() || !product.empty() ||
           !description.empty() || !copyright.empty() || !originalFilename.empty() || !internalName.empty();
}

std::string versionNumberProblem(const std::string& text)
{
    std::istringstream parts(text);
    int count = 0;
    for (std::string part; std::getline(parts, part, '.'); ++count) {
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(part) > 65535) {
            return "is not four numbers of 0 to 65535 (1.2.3.4)";
        }
    }
    return count == 4 && text.back() != '.' ? "" : "is not four numbers of 0 to 65535 (1.2.3.4)";
}

std::string versionTextProblem(const std::string& text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "holds a control character (a line break?)";
    }
    return utf8ToUtf16(text).empty() && !text.empty() ? "is not UTF-8" : "";
}

namespace {

// A string of the resource compiler: quotes doubled, backslashes escaped.
std::string resourceString(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? "\"\"" : c == '\\' ? "\\\\" : std::string(1, c);
    return quoted + "\"";
}

std::string commaSeparated(const std::string& version)
{
    std::string numbers = version.empty() ? "0.0.0.0" : version;
    for (char& c : numbers) c = c == '.' ? ',' : c;
    return numbers;
}

}  // namespace

std::string versionResource(const VersionInfo& info)
{
    std::ostringstream rc;
    rc << "1 VERSIONINFO\n"
       << "FILEVERSION " << commaSeparated(info.fileVersion) << "\n"
       << "PRODUCTVERSION " << commaSeparated(info.productVersion) << "\n"
       << "FILEFLAGSMASK 0x3f\nFILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\n"
       << "BEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"040904B0\"\n    BEGIN\n";
    const std::pair<const char*, const std::string*> values[] = {
        {"CompanyName", &info.company},      {"FileDescription", &info.description},
        {"FileVersion", &info.fileVersion},  {"InternalName", &info.internalName},
        {"LegalCopyright", &info.copyright}, {"OriginalFilename", &info.originalFilename},
        {"ProductName", &info.product},      {"ProductVersion", &info.productVersion},
    };
    for (const auto& [name, value] : values) {
        if (!value->empty()) rc << "      VALUE \"" << name << "\", " << resourceString(*value) << "\n";
    }
    rc << "    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x409, 1200\n  END\nEND\n";
    return rc.str();
}

std::string manifestText(const ManifestChoice& choice, const std::string& sdkManifest)
{
    std::string text = sdkManifest;
    const auto replace = [&](const std::string& from, const std::string& to) {
        const size_t at = text.find(from);
        if (at == std::string::npos)
            throw Error("the SDK's manifest has no " + from + "; the SDK is older than this packer");
        text.replace(at, from.size(), to);
    };
    if (choice.requireAdministrator) {
        replace("level=\"asInvoker\"", "level=\"requireAdministrator\"");
    }
    if (choice.dpiAware) {
        // Per-monitor v2 where Windows 10 1703 and later read it; the older
        // per-monitor setting for the systems before.
        replace("<windowsSettings>",
                "<windowsSettings>\n"
                "      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>\n"
                "      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
                "PerMonitorV2, PerMonitor</dpiAwareness>");
    }
    return text;
}

bool checkManifestFile(const std::filesystem::path& file)
{
    if (!std::filesystem::is_regular_file(file)) throw Error(file.string() + ": the manifest does not exist");
    if (!toolIsInstalled("xmllint")) {
        throw Error(file.string() + ": cannot be checked: xmllint is not installed (Debian's libxml2-utils)");
    }
    if (runToolCapturing({"xmllint", "--noout", file.string()}, "checking the manifest", "/dev/null") != 0) {
        throw Error(file.string() + ": the manifest is not well-formed XML (xmllint --noout shows where)");
    }
    return readTextFile(file).find("longPathAware") != std::string::npos;
}

}  // namespace pack
