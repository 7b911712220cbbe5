#include "driver.h"

#include <psapi.h>

#include <errno.h>
#include <stdlib.h>
#include <wchar.h>

enum : size_t { parentPathCapacity = 2048 };

static bool parseProcessId(const wchar_t* text, DWORD& id)
{
    errno = 0;
    wchar_t* end = nullptr;
    const unsigned long value = wcstoul(text, &end, 10);
    id = static_cast<DWORD>(value);
    return errno == 0 && end != text && *end == L'\0' && value <= MAXDWORD;
}

// Whether `earlier` began no later than this process: a process id that was
// reused since this process began cannot pass for its creator.
static bool startedBeforeThisProcess(HANDLE earlier)
{
    FILETIME theirs, ours, unused1, unused2, unused3;
    if (!GetProcessTimes(earlier, &theirs, &unused1, &unused2, &unused3) ||
        !GetProcessTimes(GetCurrentProcess(), &ours, &unused1, &unused2, &unused3)) {
        return false;
    }
    return CompareFileTime(&theirs, &ours) <= 0;
}

// Whether the live process `id` runs this very executable file and began
// before this process.
static bool isEarlierCopyOfThisExecutable(DWORD id)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
    if (process == nullptr) {
        return false;
    }
    wchar_t processPath[parentPathCapacity];
    // The same module path names the same file, which saves resolving both
    // (the usual case: the parent started this very path). Otherwise the
    // final paths decide; a process whose final path needs 2048 units or
    // more is not accepted.
    const bool named = K32GetModuleFileNameExW(process, nullptr, processPath, parentPathCapacity) != 0;
    const bool same = named && (wcscmp(processPath, getExecutablePath()) == 0 ||
                                (normaliseFinalPath(processPath, parentPathCapacity) &&
                                 wcscmp(processPath, getResolvedExecutablePath()) == 0));
    const bool earlier = same && startedBeforeThisProcess(process);
    CloseHandle(process);
    return earlier;
}

bool isParentInstance(const wchar_t* parentId)
{
    DWORD id = 0;
    return parseProcessId(parentId, id) && isEarlierCopyOfThisExecutable(id);
}

// The process that created this one, as the system recorded it (not what
// any variable says): its id, or 0 when it cannot be read.
static DWORD findCreatorProcessId()
{
    // PROCESS_BASIC_INFORMATION, spelt out: the SDK headers hide the field.
    struct BasicInformation {
        LONG exitStatus;
        void* environmentBlock;
        ULONG_PTR affinityMask;
        LONG basePriority;
        ULONG_PTR processId;
        ULONG_PTR creatorProcessId;
    };
    using QueryInformationProcess = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    QueryInformationProcess query = nullptr;
    BasicInformation information = {};
    const ULONG processBasicInformation = 0;
    if (!bindSystemFunction(query, L"ntdll.dll", "NtQueryInformationProcess") ||
        query(GetCurrentProcess(), processBasicInformation, &information, sizeof information, nullptr) < 0) {
        return 0;
    }
    return static_cast<DWORD>(information.creatorProcessId);
}

bool wasCreatedBy(const wchar_t* processId)
{
    DWORD named = 0;
    return parseProcessId(processId, named) && named != 0 && findCreatorProcessId() == named;
}

Starter identifyStarter(const wchar_t* parentId)
{
    DWORD named = 0;
    const DWORD creator = findCreatorProcessId();
    if (creator == 0 || !parseProcessId(parentId, named) || !isEarlierCopyOfThisExecutable(named)) {
        return Starter::other;
    }
    if (creator == named) {
        return Starter::bootstrap;
    }
    return isEarlierCopyOfThisExecutable(creator) ? Starter::application : Starter::other;
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
