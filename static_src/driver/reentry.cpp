#include "driver.h"

#include <psapi.h>

#include <errno.h>
#include <stdlib.h>
#include <wchar.h>

enum : size_t { parentPathCapacity = 2048 };

bool isParentInstance(const wchar_t* parentId)
{
    errno = 0;
    wchar_t* end = nullptr;
    const unsigned long id = wcstoul(parentId, &end, 10);
    if (errno != 0 || end == parentId || *end != L'\0') {
        return false;
    }
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) {
        return false;
    }
    wchar_t parentProcessPath[parentPathCapacity];
    // The same module path names the same file, which saves resolving both
    // (the usual case: the parent started this very path). Otherwise the
    // final paths decide; a parent whose final path needs 2048 units or
    // more is not accepted.
    const bool named = K32GetModuleFileNameExW(process, nullptr, parentProcessPath, parentPathCapacity) != 0;
    const bool same = named && (wcscmp(parentProcessPath, getExecutablePath()) == 0 ||
                                (normaliseFinalPath(parentProcessPath, parentPathCapacity) &&
                                 wcscmp(parentProcessPath, getResolvedExecutablePath()) == 0));
    CloseHandle(process);
    return same;
}

bool hasInheritedRunValues()
{
    wchar_t* const time = getEnvVar(ONEFILE_VARIABLE_TIME_US);
    wchar_t* const random = getEnvVar(ONEFILE_VARIABLE_RANDOM);
    // Exactly what the parent's expansion writes; anything else could carry
    // separators or ".." into the target directory's path.
    const bool wellFormed = consistsOf(time, microsecondsTextLength, decimalDigits) &&
                            consistsOf(random, randomTextLength, randomTextAlphabet);
    free(time);
    free(random);
    return wellFormed;
}
