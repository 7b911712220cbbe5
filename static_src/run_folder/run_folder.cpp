#include "run_folder.h"

#include <stdio.h>
#include <wchar.h>

void composeRunFolderSpec(const wchar_t* parentSpec, wchar_t spec[pathCapacity])
{
    const char* const tooLong = "the run folder's spec does not fit in 4096 characters";
    copyWideBounded(spec, pathCapacity, parentSpec, tooLong);
    appendWideBounded(spec, pathCapacity, L"\\" ONEFILE_WIDE(ONEFILE_RUN_NAME_SPEC), tooLong);
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

bool expandRunFolder(const wchar_t* parentSpec, wchar_t* output, size_t capacity)
{
    wchar_t spec[pathCapacity];
    composeRunFolderSpec(parentSpec, spec);
    return expandFolderSpec(spec, output, capacity);
}

bool expandFolderSpec(const wchar_t* spec, wchar_t* output, size_t capacity)
{
    static const wchar_t programDirectory[] = L"{PROGRAM_DIR}";
    wchar_t stretch[pathCapacity];
    wchar_t expanded[pathCapacity];
    size_t length = 0;
    output[0] = L'\0';
    for (const wchar_t* rest = spec; *rest != L'\0';) {
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

void findRunFolderParent(const wchar_t* folder, wchar_t parent[pathCapacity])
{
    copyWideBounded(parent, pathCapacity, folder, "the target directory does not fit in 4096 characters");
    wchar_t* const separator = findLastSeparator(parent);
    *(separator != nullptr ? separator : parent) = L'\0';
}

void createNewRunFolder(const wchar_t* folder)
{
    ensureParentDirectories(folder);
    if (!createNewDirectory(folder)) {
        fatalFileError("Error, couldn't create the target directory", folder, GetLastError());
    }
}

static HANDLE volatile runFolderHold = INVALID_HANDLE_VALUE;

void holdRunFolder(const wchar_t* folder)
{
    // Another start's sweep may probe the new folder for a proof of life
    // at this very moment (its probe asks for deletion): it lets go at once.
    const HANDLE hold = openRetryingWhileShared([folder] { return openDirectoryHold(folder); }, 50, 1);
    if (hold == INVALID_HANDLE_VALUE) {
        fatalFileError("Error, couldn't hold the target directory open", folder, GetLastError());
    }
    exchangeHandle(runFolderHold, hold);
}

void adoptRunFolderHold(HANDLE hold)
{
    const HANDLE previous = exchangeHandle(runFolderHold, hold);
    if (previous != INVALID_HANDLE_VALUE) {
        CloseHandle(previous);
    }
}

void releaseRunFolderHold()
{
    const HANDLE hold = exchangeHandle(runFolderHold, INVALID_HANDLE_VALUE);
    if (hold != INVALID_HANDLE_VALUE) {
        CloseHandle(hold);
    }
}

// The nearest folder of `path` that exists, itself or an ancestor, into
// `existing`: a first start's folder is made only after the check. False
// when none exists.
static bool findNearestExistingFolder(const wchar_t* path, wchar_t existing[pathCapacity])
{
    copyWideBounded(existing, pathCapacity, path, "the target directory does not fit in 4096 characters");
    for (;;) {
        wchar_t longForm[longPathCapacity];
        if (toLongPathForm(existing, longForm) && GetFileAttributesW(longForm) != INVALID_FILE_ATTRIBUTES) {
            return true;
        }
        wchar_t* const separator = findLastSeparator(existing);
        if (separator == nullptr || separator[1] == L'\0') {
            return false;
        }
        // A drive's root keeps its separator: "C:" alone is the current folder there.
        separator[separator == existing + 2 && existing[1] == L':' ? 1 : 0] = L'\0';
    }
}

// A start that cannot fit writes nothing: a nearly full disk is not filled
// with hundreds of megabytes before the failure. A volume that cannot be
// asked lets the start go on, said in the trace.
void refuseRunThatCannotFit(const wchar_t* parent, uint64_t needed)
{
    wchar_t folder[pathCapacity];
    ULARGE_INTEGER available = {};
    if (parent[0] == L'\0' || !findNearestExistingFolder(parent, folder)) {
        traceStep(L"free space: no folder of %ls exists to ask", parent);
        return;
    }
    if (!GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr)) {
        traceStep(L"free space: cannot be asked of %ls ([Error %lu])", folder, GetLastError());
        return;
    }
    traceStep(L"free space: %llu bytes in %ls, %llu needed", static_cast<unsigned long long>(available.QuadPart),
              folder, static_cast<unsigned long long>(needed));
    if (needed <= available.QuadPart) {
        return;
    }
    // The ways out: room on that drive, or the runs unpacked elsewhere.
    char message[320];
    snprintf(message, sizeof message,
             "Error, not enough free space: %llu bytes needed, %llu available; free some, set TEMP and TMP to a "
             "folder with room, or pack with --temp-dir elsewhere; the folder:",
             static_cast<unsigned long long>(needed), static_cast<unsigned long long>(available.QuadPart));
    fatalFileError(message, folder, ERROR_DISK_FULL);
}

bool writeNewFile(const wchar_t* folder, const wchar_t* name, const char* text, DWORD length)
{
    wchar_t path[pathCapacity];
    wchar_t longForm[longPathCapacity];
    const HANDLE file =
        joinPath(path, folder, name) && toLongPathForm(path, longForm)
            ? CreateFileW(longForm, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
            : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool whole = WriteFile(file, text, length, &written, nullptr) && written == length;
    return CloseHandle(file) && whole;
}
