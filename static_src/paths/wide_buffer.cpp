#include "paths.h"

#include <assert.h>
#include <string.h>
#include <wchar.h>

bool appendWide(wchar_t* buffer, size_t capacity, size_t& length, const wchar_t* text, size_t count)
{
    assert(buffer != nullptr && length < capacity);
    if (count >= capacity - length) {
        return false;
    }
    wmemcpy(buffer + length, text, count);
    length += count;
    buffer[length] = L'\0';
    return true;
}

void copyWideBounded(wchar_t* destination, size_t capacity, const wchar_t* source, const char* what)
{
    size_t length = 0;
    if (!appendWide(destination, capacity, length, source, wcslen(source))) {
        stopProcess(what);
    }
}

void appendWideBounded(wchar_t* destination, size_t capacity, const wchar_t* source, const char* what)
{
    size_t length = wcsnlen(destination, capacity);
    if (length >= capacity || !appendWide(destination, capacity, length, source, wcslen(source))) {
        stopProcess(what);
    }
}

wchar_t* findLastSeparator(wchar_t* path)
{
    for (size_t index = wcslen(path); index > 1; --index) {
        if (path[index - 1] == L'\\') {
            return path + index - 1;
        }
    }
    return nullptr;
}

bool joinPath(wchar_t path[pathCapacity], const wchar_t* folder, const wchar_t* name)
{
    size_t length = 0;
    path[0] = L'\0';
    return appendWide(path, pathCapacity, length, folder, wcslen(folder)) &&
           appendWide(path, pathCapacity, length, L"\\", 1) &&
           appendWide(path, pathCapacity, length, name, wcslen(name));
}
