#include "block/block.h"

#include "attached_data/record_names.h"

namespace pack {

std::u16string utf8ToUtf16(const std::string& text)
{
    std::u16string result;
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const int length = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3 : (byte >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) throw Error("'" + text + "' is not valid UTF-8");
        uint32_t code = length == 1 ? byte : byte & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) throw Error("'" + text + "' is not valid UTF-8");
            code = (code << 6) | (next & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            throw Error("'" + text + "' is not valid UTF-8");
        }
        if (code >= 0x10000) {
            result += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            result += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            result += static_cast<char16_t>(code);
        }
        i += length;
    }
    return result;
}

std::string utf16ToUtf8(const std::u16string& text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (code < 0x80) {
            result += static_cast<char>(code);
        } else if (code < 0x800) {
            result += static_cast<char>(0xC0 | (code >> 6));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            result += static_cast<char>(0xE0 | (code >> 12));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (code >> 18));
            result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return result;
}

std::string nameProblem(const std::u16string& name)
{
    if (name.size() > maxNameUnits) {
        return "a name of " + std::to_string(name.size()) + " UTF-16 units (at most " + std::to_string(maxNameUnits) +
               ")";
    }
    return describeRecordNameProblem(findRecordNameProblem(name.data(), name.size()));
}

// CMake 3.25 rewrites the depfile for its generators, and no escaping
// survives that: ';' breaks a Makefiles build for good, and Ninja cuts a
// name at '&', '\'', '`', '$', '#' and '^', so the output is packed again at
// every build. Names the system refuses anyway complete the list.
std::string depfilePathProblem(const std::string& path)
{
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "the build's depfile cannot carry a control character in this path; rename it or build without "
                   "--depfile";
        }
        if (std::string(";&'`$#^\"<>|*?\\:").find(c) != std::string::npos) {
            return std::string("the build's depfile cannot carry '") + c +
                   "' in this path; rename it or build without --depfile";
        }
    }
    return "";
}

}  // namespace pack
