#include "attached_data.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

unsigned char copyBuffer[copyBufferSize];
wchar_t firstFilePath[pathCapacity];

bool isSafeRecordName(const wchar_t* name)
{
    const wchar_t* component = name;
    for (const wchar_t* c = name;; ++c) {
        if (*c == L':' || *c == L'/') {
            return false;
        }
        if (*c == L'\\' || *c == L'\0') {
            const size_t length = static_cast<size_t>(c - component);
            const bool parent = length == 2 && component[0] == L'.' && component[1] == L'.';
            if (length == 0 || parent) {
                return false;
            }
            if (*c == L'\0') {
                return true;
            }
            component = c + 1;
        }
    }
}

// Reads one record name; false for the end record. A name that overflows its
// buffer or could leave the target directory is damage, reported before
// anything of its record is written.
static bool readRecordName(wchar_t name[recordNameCapacity])
{
    size_t length = 0;
    for (;;) {
        uint16_t unit;
        readAttachedData(&unit, sizeof unit);
        name[length] = static_cast<wchar_t>(unit);
        if (unit == 0) {
            break;
        }
        if (++length == recordNameCapacity) {
            fatalError("Error, couldn't decode attached data.");
        }
    }
    if (length == 0) {
        return false;
    }
    if (!isSafeRecordName(name)) {
        fatalError("Error, couldn't decode attached data.");
    }
    return true;
}

static void ensureFileDirectory(const wchar_t* filePath)
{
    wchar_t directory[pathCapacity];
    copyWideBounded(directory, pathCapacity, filePath, "a file path of the attached data does not fit in 4096 characters");
    wchar_t* const separator = findLastSeparator(directory);
    if (separator == nullptr) {
        return;
    }
    *separator = L'\0';
    if (!ensureDirectory(directory)) {
        ensureParentDirectories(directory);
        ensureDirectory(directory);
    }
}

static void writeRecordData(const wchar_t* filePath, uint64_t size)
{
    const HANDLE file = CreateFileW(filePath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "Error, failed to open '%ls' for writing.\n", filePath);
        exit(2);
    }
    while (size > 0) {
        const DWORD chunk = size < copyBufferSize ? static_cast<DWORD>(size) : static_cast<DWORD>(copyBufferSize);
        readAttachedData(copyBuffer, chunk);
        DWORD written;
        if (!WriteFile(file, copyBuffer, chunk, &written, nullptr)) {
            fatalSystemError("Error, couldn't unpack file to target path.", GetLastError());
        }
        size -= chunk;
    }
    CloseHandle(file);
}

using RunCode = int (*)(int argc, wchar_t** argv, const wchar_t* dllPath);

[[noreturn]] static void runApplicationDll(int argc, wchar_t** argv)
{
    AddDllDirectory(targetDirectory);
    const HMODULE dll = LoadLibraryExW(firstFilePath, nullptr,
                                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                           LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dll == nullptr) {
        fatalSystemError("Error, load DLL.", GetLastError());
    }
    const FARPROC entry = GetProcAddress(dll, "run_code");
    if (entry == nullptr) {
        fatalError("Error, DLL entry point not found.");
    }
    const RunCode runCode = reinterpret_cast<RunCode>(reinterpret_cast<void*>(entry));
    exit(runCode(argc, argv, firstFilePath));
}

bool extractAttachedFiles(bool dllMode, int argc, wchar_t** argv)
{
    wchar_t name[recordNameCapacity];
    wchar_t filePath[pathCapacity];
    const char* const tooLong = "a file path of the attached data does not fit in 4096 characters";
    while (readRecordName(name)) {
        copyWideBounded(filePath, pathCapacity, targetDirectory, tooLong);
        appendWideBounded(filePath, pathCapacity, L"\\", tooLong);
        appendWideBounded(filePath, pathCapacity, name, tooLong);
        if (firstFilePath[0] == L'\0') {
            copyWideBounded(firstFilePath, pathCapacity, filePath, tooLong);
            if (dllMode) {
                runApplicationDll(argc, argv);
            }
        }
        uint64_t size;
        readAttachedData(&size, sizeof size);
        ensureFileDirectory(filePath);
        writeRecordData(filePath, size);
    }
    if (dllMode) {
        return false;
    }
    closeAttachedDataReader();
    return true;
}
