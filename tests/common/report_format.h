// The report application's encoding, shared by the Wine-side and the host
// tests that read its reports: every value is two hex digits per UTF-8 byte.
#pragma once

#include <string>

inline std::string decodeHex(const std::string& hex)
{
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
}
