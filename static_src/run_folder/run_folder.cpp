#include "run_folder.h"

#include <wchar.h>

const wchar_t* runFolderSpec()
{
    static wchar_t spec[pathCapacity];
    if (spec[0] == L'\0') {
        const char* const tooLong = "the run folder's spec does not fit in 4096 characters";
        copyWideBounded(spec, pathCapacity, onefileRunParentSpec, tooLong);
        appendWideBounded(spec, pathCapacity, L"\\" ONEFILE_WIDE(ONEFILE_RUN_NAME_SPEC), tooLong);
    }
    return spec;
}

// Appends the folder of the module file. The folder is inserted as it is,
// never expanded again: it may hold braces.
static bool appendProgramDirectory(wchar_t* output, size_t capacity, size_t& length)
{
    const wchar_t* const module = getExecutablePath();
    const wchar_t* const separator = wcsrchr(module, L'\\');
    return separator != nullptr &&
           appendWide(output, capacity, length, module, static_cast<size_t>(separator - module));
}

bool expandRunFolder(wchar_t* output, size_t capacity)
{
    static const wchar_t programDirectory[] = L"{PROGRAM_DIR}";
    wchar_t stretch[pathCapacity];
    wchar_t expanded[pathCapacity];
    size_t length = 0;
    output[0] = L'\0';
    for (const wchar_t* rest = runFolderSpec(); *rest != L'\0';) {
        const wchar_t* const next = wcsstr(rest, programDirectory);
        const size_t literal = next != nullptr ? static_cast<size_t>(next - rest) : wcslen(rest);
        // Each stretch between two {PROGRAM_DIR} is a path spec of its own.
        size_t stretchLength = 0;
        stretch[0] = L'\0';
        if (literal > 0 && (!appendWide(stretch, pathCapacity, stretchLength, rest, literal) ||
                            !expandPathSpec(expanded, stretch, pathCapacity) ||
                            !appendWide(output, capacity, length, expanded, wcslen(expanded)))) {
            return false;
        }
        if (next == nullptr) {
            break;
        }
        if (!appendProgramDirectory(output, capacity, length)) {
            return false;
        }
        rest = next + wcslen(programDirectory);
    }
    return true;
}
