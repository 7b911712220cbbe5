#include "paths.h"

#include <string.h>
#include <wchar.h>

void copyWideBounded(wchar_t* destination, size_t capacity, const wchar_t* source, const char* what)
{
    const size_t length = wcslen(source);
    if (length >= capacity) {
        stopProcess(what);
    }
    wmemcpy(destination, source, length + 1);
}

void appendWideBounded(wchar_t* destination, size_t capacity, const wchar_t* source, const char* what)
{
    const size_t used = wcsnlen(destination, capacity);
    const size_t length = wcslen(source);
    if (used >= capacity || length >= capacity - used) {
        stopProcess(what);
    }
    wmemcpy(destination + used, source, length + 1);
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
