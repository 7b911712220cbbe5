// Points where the tests' own build (ONEFILE_TEST_FAULTS, linked from
// tests/e2e/fault_entry.cpp) lets a test see how far a start has come and
// hold it there. Each is named by a variable whose value names a pair of
// events: "<value>-reached", set on arrival, and "<value>-go", awaited.
// In every other build they are nothing.
#pragma once

#include "paths.h"

#include <stdio.h>
#include <stdlib.h>

#ifdef ONEFILE_TEST_FAULTS
// Sets "<value of variable><suffix>" when the variable is set; with
// `wait`, then waits for "<value>-go".
inline void reachTestPoint(const char* variable, const wchar_t* suffix, bool wait)
{
    wchar_t* const name = getEnvVar(variable);
    if (name == nullptr) {
        return;
    }
    wchar_t event[256];
    swprintf(event, 256, L"%ls%ls", name, suffix);
    const HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, event);
    swprintf(event, 256, L"%ls-go", name);
    const HANDLE go = wait ? CreateEventW(nullptr, TRUE, FALSE, event) : nullptr;
    free(name);
    SetEvent(reached);
    if (go != nullptr) {
        WaitForSingleObject(go, INFINITE);
        CloseHandle(go);
    }
    CloseHandle(reached);
}

// Waits, when the variable is set, until `*stop` is: the work it is in
// never finishes by itself.
inline void holdUntilStopped(const char* variable, const volatile LONG* stop)
{
    wchar_t* const value = getEnvVar(variable);
    free(value);
    while (value != nullptr && *stop == 0) {
        Sleep(1);
    }
}

// Whether the variable is set: a fault the test asks for.
inline bool isTestFaultSet(const char* variable)
{
    wchar_t* const value = getEnvVar(variable);
    free(value);
    return value != nullptr;
}
#else
inline bool isTestFaultSet(const char*)
{
    return false;
}
inline void reachTestPoint(const char*, const wchar_t*, bool) {}
inline void holdUntilStopped(const char*, const volatile LONG*) {}
#endif
