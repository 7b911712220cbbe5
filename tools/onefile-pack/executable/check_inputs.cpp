// The checks made on a build's inputs before anything is compressed: a
// splash the bootstrap can show and an icon the resource compiler takes are
// known at once, not after minutes of compression.
#include "executable/executable.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace pack {

namespace {

std::string readStart(const std::filesystem::path& file, size_t count)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error(file.string() + ": cannot be read");
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

uint32_t bigEndian32(const std::string& bytes, size_t at)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

void requireFile(const std::filesystem::path& file, const char* what)
{
    if (!std::filesystem::exists(file)) throw Error(file.string() + ": the " + what + " does not exist");
    if (!std::filesystem::is_regular_file(file)) throw Error(file.string() + ": the " + what + " is not a file");
}

}  // namespace

void checkSplashImage(const std::filesystem::path& file)
{
    requireFile(file, "splash image");
    // The signature, then the first chunk: IHDR, 13 bytes, width and height.
    const std::string start = readStart(file, 24);
    static const std::string signature = "\x89PNG\r\n\x1a\n";
    if (start.size() < 24 || start.compare(0, 8, signature) != 0 || bigEndian32(start, 8) != 13 ||
        start.compare(12, 4, "IHDR") != 0) {
        throw Error(file.string() + ": the splash image is not a PNG");
    }
    const uint32_t width = bigEndian32(start, 16), height = bigEndian32(start, 20);
    if (width == 0 || height == 0 || width > largestSplashSide || height > largestSplashSide) {
        throw Error(file.string() + ": the splash image is " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels; each side must be 1 to " + std::to_string(largestSplashSide));
    }
}

void checkIcon(const std::filesystem::path& file)
{
    requireFile(file, "icon");
    // ICONDIR: reserved 0, type 1, the image count, then 16 bytes an image.
    const std::string start = readStart(file, 6);
    const auto little16 = [&](size_t at) {
        return static_cast<uint16_t>(static_cast<uint8_t>(start[at]) | static_cast<uint8_t>(start[at + 1]) << 8);
    };
    if (start.size() < 6 || little16(0) != 0 || little16(2) != 1 || little16(4) == 0 ||
        std::filesystem::file_size(file) < 6 + 16u * little16(4)) {
        throw Error(file.string() + ": the icon is not an .ico file");
    }
}

std::string runParentSpecProblem(const std::string& spec)
{
    static const char* const allowed[] = {"TEMP", "HOME", "CACHE_DIR", "PROGRAM_DIR"};
    static const char* const perRun[] = {"PID", "TIME_US", "RANDOM", "TIME"};
    for (size_t open = spec.find('{'); open != std::string::npos; open = spec.find('{', open + 1)) {
        const size_t close = spec.find('}', open);
        if (close == std::string::npos) return "a '{' without its '}'";
        const std::string name = spec.substr(open + 1, close - open - 1);
        const auto is = [&](const char* known) { return name == known; };
        if (std::any_of(std::begin(perRun), std::end(perRun), is)) {
            return "{" + name + "} differs from run to run; the parent of the runs' folders must not";
        }
        if (std::none_of(std::begin(allowed), std::end(allowed), is)) {
            return "{" + name + "} is not one of {TEMP}, {HOME}, {CACHE_DIR} and {PROGRAM_DIR}";
        }
    }
    const size_t percent = spec.find('%');
    if (percent != std::string::npos && spec.find('%', percent + 1) != std::string::npos) {
        return "%NAME% is no placeholder here; the placeholders are {TEMP}, {HOME}, {CACHE_DIR} and {PROGRAM_DIR}";
    }
    const bool placeholderFirst = spec.rfind("{", 0) == 0;
    const bool driveFirst =
        spec.size() >= 3 && std::isalpha(static_cast<unsigned char>(spec[0])) && spec[1] == ':' && spec[2] == '\\';
    if (!placeholderFirst && !driveFirst && spec.rfind("\\\\", 0) != 0) {
        return "it is relative; start it with a placeholder, a drive such as C:\\, or \\\\server";
    }
    if (spec.find('/') != std::string::npos) return "it holds '/'; Windows paths here use '\\' only";
    return "";
}

}  // namespace pack
