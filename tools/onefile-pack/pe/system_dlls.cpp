// The DLLs Windows provides in its system folder, which an application
// never carries. A running system's KnownDLLs cannot be read when packing,
// so the list is fixed here, made by make_system_dll_table.sh from the
// Windows DLLs Wine implements. Not on it on purpose: the compilers'
// runtimes (libstdc++, libgcc, libwinpthread, vcruntime, msvcp) and any
// redistributable; an application carries those. --system-dll adds more.
#include "pe/pe.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <vector>

namespace pack {

namespace {

constexpr std::string_view systemDlls[] = {
#include "pe/system_dll_names.inc"
};

std::string lowerCase(std::string text)
{
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

}  // namespace

std::string systemDllNameProblem(const std::string& name)
{
    constexpr size_t maxFileName = 255;
    if (name.empty() || name.size() > maxFileName) {
        return "a DLL's file name has 1 to " + std::to_string(maxFileName) + " characters";
    }
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_' || c == '+';
        if (!plain) return "a DLL's file name has only letters, digits, '.', '-', '_' and '+'";
    }
    if (name.find_first_not_of('.') == std::string::npos) return "not a file name";
    // CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices, whatever follows the dot.
    const std::string stem = lowerCase(name.substr(0, name.find('.')));
    const bool device = stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" ||
                        ((stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) && stem.size() == 4 &&
                         stem[3] >= '1' && stem[3] <= '9');
    return device ? "a device's name, which no file can have" : "";
}

bool isSystemDll(const std::string& name, const std::vector<std::string>& added)
{
    const std::string lower = lowerCase(name);
    for (const std::string& extra : added) {
        if (lowerCase(extra) == lower) return true;
    }
    // API sets: names the loader maps to whichever system DLL implements them.
    if (lower.rfind("api-ms-win-", 0) == 0 || lower.rfind("ext-ms-", 0) == 0) return true;
    return std::find(std::begin(systemDlls), std::end(systemDlls), lower) != std::end(systemDlls);
}

}  // namespace pack
