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
   below: that folder is the run folder. The executable's own folder
   (GetModuleFileNameW(NULL), argv[0]) is not it: an interpreter or a
   framework that looks for its files beside the executable must be pointed
   at dllPath's folder (Lua's package.path, for one). A DLL of a subfolder
   loads by its full path, built from dllPath, with LoadLibraryExW(path,
   NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS).
   The result is the executable's exit code. */
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

/* The bootstrap's splash text channel, mapped for writing, or NULL when no
   splash shows. The section is the bootstrap's own, inherited by this
   process: its handle stays open for later texts. */
static inline onefile_splash_text_channel* onefile_open_splash_channel(void)
{
    wchar_t value[24];
    wchar_t* end = NULL;
    unsigned __int64 handle;
    if (!onefile_get_variable(ONEFILE_WIDE(ONEFILE_VARIABLE_SPLASH_TEXT), value, 24)) {
        return NULL;
    }
    handle = _wcstoui64(value, &end, 10);
    if (end == value || *end != L'\0' || handle == 0) {
        return NULL;
    }
    return (onefile_splash_text_channel*)MapViewOfFile((HANDLE)(ULONG_PTR)handle, FILE_MAP_WRITE | FILE_MAP_READ, 0, 0,
                                                       sizeof(onefile_splash_text_channel));
}

/* Shows `text` (its first 255 characters) in a band along the bottom of the
   splash, replacing the last one; an empty text takes the band away again.
   Never waits: returns 1 when the text was handed over, 0 when no splash
   shows (none was packed, or it was taken down) or another thread of the
   application is setting one at this moment. */
static inline int onefile_splash_text(const wchar_t* text)
{
    onefile_splash_text_channel* const channel = onefile_open_splash_channel();
    LONG sequence;
    size_t length = 0;
    if (channel == NULL) {
        return 0;
    }
    sequence = channel->sequence;
    if ((sequence & 1) != 0 || InterlockedCompareExchange(&channel->sequence, sequence + 1, sequence) != sequence) {
        UnmapViewOfFile(channel);
        return 0;
    }
    while (text != NULL && text[length] != L'\0' && length < ONEFILE_SPLASH_TEXT_MAX_UNITS) {
        channel->text[length] = text[length];
        ++length;
    }
    channel->text[length] = L'\0';
    /* Unless the splash was taken down meanwhile, which closes the channel. */
    InterlockedCompareExchange(&channel->sequence, sequence + 2, sequence + 1);
    UnmapViewOfFile(channel);
    return 1;
}

/* Takes the splash down: closes the text channel for good, then deletes
   "{TEMP}\onefile_{PID}_splash_feedback.tmp", which the bootstrap watches. Returns 1 when the file is gone (or there
   was none, as when the executable carries no splash), 0 otherwise. */
static inline int onefile_hide_splash(void)
{
    wchar_t parent[32];
    wchar_t temp[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 64];
    DWORD length;
    onefile_splash_text_channel* const channel = onefile_open_splash_channel();
    if (channel != NULL) {
        InterlockedExchange(&channel->sequence, ONEFILE_SPLASH_TEXT_CLOSED);
        UnmapViewOfFile(channel);
    }
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

/* Where the application runs from: ONEFILE_RUN_SHARED_CACHE when from the
   shared cache's folder of its version (packed with --cache), which other
   starts use too and check against its manifest, so nothing must be written
   there; ONEFILE_RUN_PRIVATE when from a folder of this run's own, removed
   at its end. */
enum { ONEFILE_RUN_PRIVATE = 0, ONEFILE_RUN_SHARED_CACHE = 1 };
static inline int onefile_run_mode(void)
{
    wchar_t target[32768];
    const wchar_t* last;
    size_t i;
    if (!onefile_get_variable(ONEFILE_WIDE(ONEFILE_VARIABLE_TARGET), target, 32768)) {
        return ONEFILE_RUN_PRIVATE;
    }
    /* The payload's folder of the version: <...>\<id>\app. */
    last = wcsrchr(target, L'\\');
    if (last == NULL || wcscmp(last + 1, ONEFILE_WIDE(ONEFILE_CACHE_PAYLOAD_NAME)) != 0) {
        return ONEFILE_RUN_PRIVATE;
    }
    target[last - target] = L'\0';
    last = wcsrchr(target, L'\\');
    last = last != NULL ? last + 1 : target;
    for (i = 0; last[i] != L'\0'; ++i) {
        if (!((last[i] >= L'0' && last[i] <= L'9') || (last[i] >= L'a' && last[i] <= L'f'))) {
            return ONEFILE_RUN_PRIVATE;
        }
    }
    return i == ONEFILE_CACHE_ID_LENGTH ? ONEFILE_RUN_SHARED_CACHE : ONEFILE_RUN_PRIVATE;
}

#endif
