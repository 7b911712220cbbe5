// The report application's encoding, shared by the Wine-side and the host
// tests that read its reports: every value is two hex digits per UTF-8 byte.
#pragma once

#include <map>
#include <sstream>
#include <string>

inline std::string encodeHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) hex += {digits[byte >> 4], digits[byte & 15]};
    return hex;
}

inline std::string decodeHex(const std::string& hex)
{
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
}

// A report, its lines decoded: pid, feedback, run_mode and files are plain;
// dll and arg have hex values; other lines are variables, hex on both sides.
using Report = std::multimap<std::string, std::string>;

inline Report parseReport(const std::string& text)
{
    Report report;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        const bool plain = key == "pid" || key == "feedback" || key == "run_mode" || key == "files";
        const bool named = plain || key == "dll" || key == "arg";
        report.emplace(named ? key : decodeHex(key), plain ? value : decodeHex(value));
    }
    return report;
}

inline std::string valueOf(const Report& report, const std::string& key)
{
    const auto it = report.find(key);
    return it == report.end() ? "(missing)" : it->second;
}
