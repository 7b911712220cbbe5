// The version information's and the manifest's inputs, as the options
// choose them (their resources are made in resource_section.cpp). Without
// those options both stay exactly as the SDK has them.
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
