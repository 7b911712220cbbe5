// The one set of rules for record names, compiled by the bootstrap's reader
// (wchar_t, UTF-16 on Windows) and by the host packer (char16_t). A name
// that passes lands as a plain file below the target directory: it cannot
// leave it, name a device, or be silently changed by the file system.
// Depends on nothing, so both sides can include it.
#pragma once

#include <stddef.h>

#include "onefile_contract.h"

#include <initializer_list>

enum class RecordNameProblem {
    none,
    empty,
    tooLong,
    emptyComponent,
    dotComponent,
    forbiddenCharacter,
    controlCharacter,
    trailingDotOrSpace,
    deviceName,
};

// Names longer than this (in UTF-16 units) do not fit the reader's buffer.
constexpr size_t recordNameMaxUnits = ONEFILE_RECORD_NAME_MAX_UNITS;

namespace record_names {

template <typename Char>
inline unsigned upperAscii(Char c)
{
    const unsigned unit = static_cast<unsigned>(c);
    return unit >= 'a' && unit <= 'z' ? unit - ('a' - 'A') : unit;
}

template <typename Char>
inline bool baseIs(const Char* base, size_t length, const char* device)
{
    size_t i = 0;
    for (; i < length && device[i] != '\0'; ++i) {
        if (upperAscii(base[i]) != static_cast<unsigned char>(device[i])) return false;
    }
    return i == length && device[i] == '\0';
}

// Windows opens these names as devices in every directory, whatever the
// extension and with spaces before it: "nul .txt" is NUL. COM and LPT take
// the digits 0 to 9 (0 among the reserved names too) and the superscript
// digits 1 to 3.
template <typename Char>
inline bool isDeviceName(const Char* component, size_t length)
{
    size_t base = 0;
    while (base < length && static_cast<unsigned>(component[base]) != '.') ++base;
    while (base > 0 && static_cast<unsigned>(component[base - 1]) == ' ') --base;
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (baseIs(component, base, device)) return true;
    }
    if (base != 4 || !(baseIs(component, 3, "COM") || baseIs(component, 3, "LPT"))) return false;
    const unsigned digit = static_cast<unsigned>(component[3]);
    return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

template <typename Char>
inline RecordNameProblem findComponentProblem(const Char* component, size_t length)
{
    if (length == 0) return RecordNameProblem::emptyComponent;
    const unsigned first = static_cast<unsigned>(component[0]);
    if (first == '.' && (length == 1 || (length == 2 && static_cast<unsigned>(component[1]) == '.'))) {
        return RecordNameProblem::dotComponent;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned c = static_cast<unsigned>(component[i]);
        if (c < 0x20) return RecordNameProblem::controlCharacter;
        for (const char* forbidden = "<>:\"|?*/"; *forbidden != '\0'; ++forbidden) {
            if (c == static_cast<unsigned char>(*forbidden)) return RecordNameProblem::forbiddenCharacter;
        }
    }
    const unsigned last = static_cast<unsigned>(component[length - 1]);
    if (last == '.' || last == ' ') return RecordNameProblem::trailingDotOrSpace;
    if (isDeviceName(component, length)) return RecordNameProblem::deviceName;
    return RecordNameProblem::none;
}

}  // namespace record_names

// `name` is relative and backslash-separated, `length` units long.
template <typename Char>
inline RecordNameProblem findRecordNameProblem(const Char* name, size_t length)
{
    if (length == 0) return RecordNameProblem::empty;
    if (length > recordNameMaxUnits) return RecordNameProblem::tooLong;
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || static_cast<unsigned>(name[i]) == '\\') {
            const RecordNameProblem problem = record_names::findComponentProblem(name + start, i - start);
            if (problem != RecordNameProblem::none) return problem;
            start = i + 1;
        }
    }
    return RecordNameProblem::none;
}

// What is wrong with a name, in words, for both sides' messages.
inline const char* describeRecordNameProblem(RecordNameProblem problem)
{
    switch (problem) {
    case RecordNameProblem::none:
        return "";
    case RecordNameProblem::empty:
        return "an empty name";
    case RecordNameProblem::tooLong:
        return "a name too long";
    case RecordNameProblem::emptyComponent:
        return "an empty path component";
    case RecordNameProblem::dotComponent:
        return "a '.' or '..' component";
    case RecordNameProblem::forbiddenCharacter:
        return "a character Windows forbids in file names (<>:\"|?*/)";
    case RecordNameProblem::controlCharacter:
        return "a control character, which Windows forbids in file names";
    case RecordNameProblem::trailingDotOrSpace:
        return "a component ending in a dot or space, which Windows drops";
    case RecordNameProblem::deviceName:
        return "a name Windows reserves for a device";
    }
    return "an unknown problem";
}
