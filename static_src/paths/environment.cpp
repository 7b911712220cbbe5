#include "paths.h"

#include <stdlib.h>
#include <wchar.h>

wchar_t* getEnvVarWide(const wchar_t* name)
{
    wchar_t value[environmentValueCapacity];
    // 0 means absent or empty; a result at or above the capacity is the size
    // the value would need, so it did not fit.
    const DWORD length = GetEnvironmentVariableW(name, value, environmentValueCapacity);
    if (length == 0 || length >= environmentValueCapacity) {
        return nullptr;
    }
    return _wcsdup(value);
}

// Widens an ASCII variable name byte by byte into a fixed name buffer.
static void widenVariableName(const char* name, wchar_t wide[variableNameCapacity])
{
    size_t length = 0;
    wide[0] = L'\0';
    for (const char* byte = name; *byte != '\0'; ++byte) {
        const char single[2] = {*byte, '\0'};
        wchar_t converted[2];
        if (mbstowcs(converted, single, 2) != 1) {
            stopProcess("an environment variable name holds a byte that does not convert");
        }
        if (!appendWide(wide, variableNameCapacity, length, converted, 1)) {
            stopProcess("an environment variable name is longer than 39 characters");
        }
    }
}

wchar_t* getEnvVar(const char* name)
{
    wchar_t wideName[variableNameCapacity];
    widenVariableName(name, wideName);
    return getEnvVarWide(wideName);
}

BOOL setEnvVar(const char* name, const wchar_t* value)
{
    wchar_t wideName[variableNameCapacity];
    widenVariableName(name, wideName);
    return SetEnvironmentVariableW(wideName, value);
}
