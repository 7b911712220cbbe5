#include "pack.h"

#include <algorithm>
#include <cctype>

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

// Device names Windows reserves in every directory, with any extension.
static bool isReservedDeviceName(const std::u16string& component)
{
    std::string base;
    for (const char16_t c : component) {
        if (c == u'.') break;
        base += c < 0x80 ? static_cast<char>(std::toupper(static_cast<int>(c))) : '?';
    }
    while (!base.empty() && base.back() == ' ') base.pop_back();
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$") {
        return true;
    }
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

static std::string componentProblem(const std::u16string& component)
{
    if (component.empty()) return "an empty path component";
    if (component == u"." || component == u"..") return "a '.' or '..' component";
    for (const char16_t c : component) {
        if (c < 0x20) return "a control character, which Windows forbids in file names";
        if (std::u16string_view(u"<>:\"|?*/").find(c) != std::u16string_view::npos) {
            return std::string("the character '") + static_cast<char>(c) + "', which Windows forbids in file names";
        }
    }
    if (component.back() == u'.' || component.back() == u' ') {
        return "a component ending in a dot or space, which Windows drops";
    }
    if (isReservedDeviceName(component)) return "a name Windows reserves for a device";
    return {};
}

std::string nameProblem(const std::u16string& name)
{
    if (name.empty()) return "an empty name";
    if (name.size() > maxNameUnits) {
        return "a name of " + std::to_string(name.size()) + " UTF-16 units (at most " +
               std::to_string(maxNameUnits) + ")";
    }
    size_t start = 0;
    for (;;) {
        const size_t end = name.find(u'\\', start);
        const std::string problem = componentProblem(name.substr(start, end - start));
        if (!problem.empty()) return problem;
        if (end == std::u16string::npos) return {};
        start = end + 1;
    }
}

}  // namespace pack
