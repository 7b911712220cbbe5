// resource_reader FILE: prints what Windows reads from an executable's
// version information (the fixed numbers and every U.S. English string)
// and its manifest, one "name=value" a line, the texts in hex of UTF-8.
#include <windows.h>

#include <stdio.h>
#include <string>
#include <vector>

namespace {

std::string hexUtf8(const wchar_t* text, int length = -1)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), size, nullptr, nullptr);
    if (length == -1 && !utf8.empty()) utf8.pop_back();  // the NUL
    std::string hex;
    char pair[3];
    for (const unsigned char c : utf8) {
        snprintf(pair, sizeof pair, "%02x", c);
        hex += pair;
    }
    return hex;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fputs("usage: resource_reader FILE\n", stderr);
        return 64;
    }
    const DWORD size = GetFileVersionInfoSizeW(argv[1], nullptr);
    std::vector<unsigned char> data(size);
    if (size != 0 && GetFileVersionInfoW(argv[1], 0, size, data.data())) {
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr) {
            printf("FileVersion#=%d.%d.%d.%d\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                   HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
            printf("ProductVersion#=%d.%d.%d.%d\n", HIWORD(fixed->dwProductVersionMS),
                   LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                   LOWORD(fixed->dwProductVersionLS));
        }
        for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                                    L"LegalCopyright", L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
            const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
            wchar_t* value = nullptr;
            if (VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
                value != nullptr) {
                printf("%ls=%s\n", name, hexUtf8(value).c_str());
            }
        }
    } else {
        printf("no version\n");
    }
    const HMODULE module = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const HRSRC manifest = module != nullptr ? FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST) : nullptr;
    if (manifest != nullptr) {
        const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
        const std::string text(bytes, SizeofResource(module, manifest));
        std::string hex;
        char pair[3];
        for (const unsigned char c : text) {
            snprintf(pair, sizeof pair, "%02x", c);
            hex += pair;
        }
        printf("manifest=%s\n", hex.c_str());
    }
    return 0;
}
