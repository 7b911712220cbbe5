// What the test launchers share: the command line after their own name, as
// it was typed, to start the program it names with exactly its arguments.
#pragma once

#include <windows.h>

#include <string>

inline std::wstring commandLineAfterProgramName()
{
    const wchar_t* rest = GetCommandLineW();
    const bool quoted = *rest == L'"';
    for (++rest; *rest != L'\0' && (quoted ? *rest != L'"' : *rest != L' '); ++rest) {
    }
    if (quoted && *rest == L'"') ++rest;
    while (*rest == L' ') ++rest;
    return rest;
}
