/* For applications packed into a onefile executable: take the splash down
   when the application is ready, and read what the bootstrap passed on.
   Header only, C or C++, Windows. */
#ifndef ONEFILE_APP_H
#define ONEFILE_APP_H

#include <windows.h>
#include <wchar.h>

#include "onefile_contract.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The application's entry, which the bootstrap calls in its second copy:
   define it in your DLL with exactly these parameters. This declaration
   gives it C linkage and exports it under its plain name, so in C a
   definition with other parameters is a compile error, and in C++ the
   packer refuses the mangled overload it would become. argc and argv are
   the executable's own arguments (argv[0] as Windows passed it); dllPath is
   the DLL's full path, and the payload's other files lie in its folder and
   below. The result is the executable's exit code. */
__declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* dllPath);

#ifdef __cplusplus
}
#endif

/* Copies the variable into `value` (capacity in wide characters); returns
   0 when it is unset or does not fit. MERLOX_ONEFILE_DIRECTORY names the
   folder of the executable the user started, MERLOX_ORIGINAL_ARGV0 its
   argument 0 as typed, MERLOX_ONEFILE_PARENT the bootstrap's process id. */
static inline int onefile_get_variable(const wchar_t* name, wchar_t* value, DWORD capacity)
{
    const DWORD length = GetEnvironmentVariableW(name, value, capacity);
    return length != 0 && length < capacity;
}

/* Takes the splash down: deletes "{TEMP}\onefile_{PID}_splash_feedback.tmp",
   which the bootstrap watches. Returns 1 when the file is gone (or there was
   none, as when the executable carries no splash), 0 otherwise. */
static inline int onefile_hide_splash(void)
{
    wchar_t parent[32];
    wchar_t temp[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 64];
    DWORD length;
    if (!onefile_get_variable(ONEFILE_WIDE(ONEFILE_VARIABLE_PARENT), parent, 32)) {
        return 1;
    }
    length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        return 0;
    }
    while (length > 0 && temp[length - 1] == L'\\') {
        temp[--length] = L'\0';
    }
    _snwprintf(path, MAX_PATH + 63,
               L"%ls\\" ONEFILE_WIDE(ONEFILE_RUN_NAME_PREFIX) L"%ls_" ONEFILE_WIDE(ONEFILE_FEEDBACK_NAME_SUFFIX), temp,
               parent);
    path[MAX_PATH + 63] = L'\0';
    return DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

#endif
