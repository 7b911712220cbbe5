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

// Whether `process` runs this very executable file. The same image path
// names the same file, which saves resolving both (the usual case: the
// parent started this very path). Otherwise the final paths decide; a
// process whose final path needs 2048 units or more is not accepted. The
// image's name stays askable after the process ended, as long as a handle
// keeps it.
static bool runsThisExecutable(HANDLE process)
{
    wchar_t processPath[parentPathCapacity];
    DWORD length = parentPathCapacity;
    const bool named = QueryFullProcessImageNameW(process, 0, processPath, &length) != 0;
    return named &&
           (wcscmp(processPath, getExecutablePath()) == 0 || (normaliseFinalPath(processPath, parentPathCapacity) &&
                                                              wcscmp(processPath, getResolvedExecutablePath()) == 0));
}

// Whether the live process `id` runs this very executable file and began
// before this process.
static bool isEarlierCopyOfThisExecutable(DWORD id)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) {
        return false;
    }
    const bool earlier = runsThisExecutable(process) && startedBeforeThisProcess(process);
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

UpkeepVerdict judgeUpkeepClaim(const UpkeepClaim& claim)
{
    if (!claim.present) {
        return UpkeepVerdict::notClaimed;
    }
    // The bootstrap's handle proves it even after it ended; a live creator
    // can be asked directly.
    const bool handleProves =
        claim.wellFormed && claim.handleIsCreator && claim.handleRunsThisExecutable && claim.handleBeganEarlier;
    const bool creatorProves = claim.wellFormed && claim.namedIsCreator && claim.creator == CreatorState::earlierCopy;
    if (handleProves || creatorProves) {
        return UpkeepVerdict::worker;
    }
    return claim.creator == CreatorState::gone ? UpkeepVerdict::unprovable : UpkeepVerdict::ignored;
}

// "<process id>:<handle>" as startUpkeepWorker writes it.
static bool parseUpkeepValue(const wchar_t* text, DWORD& processId, HANDLE& handle)
{
    const wchar_t* const colon = wcschr(text, L':');
    if (colon == nullptr || colon - text > 10) {
        return false;
    }
    wchar_t id[11];
    wmemcpy(id, text, static_cast<size_t>(colon - text));
    id[colon - text] = L'\0';
    DWORD value = 0;
    if (!parseProcessId(id, processId) || !parseProcessId(colon + 1, value) || value == 0) {
        return false;
    }
    handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    return true;
}

// What the system says of this process's creator.
static CreatorState findCreatorState(DWORD creator)
{
    const HANDLE process = creator != 0 ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, creator) : nullptr;
    if (process == nullptr) {
        return CreatorState::gone;
    }
    DWORD exitCode = 0;
    const bool alive = GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
    const bool copy = alive && runsThisExecutable(process) && startedBeforeThisProcess(process);
    CloseHandle(process);
    return !alive ? CreatorState::gone : copy ? CreatorState::earlierCopy : CreatorState::other;
}

UpkeepClaim readUpkeepClaim(HANDLE& bootstrap)
{
    UpkeepClaim claim = {};
    bootstrap = nullptr;
    wchar_t* const value = getEnvVar(ONEFILE_VARIABLE_UPKEEP);
    claim.present = value != nullptr;
    if (!claim.present) {
        return claim;
    }
    DWORD named = 0;
    HANDLE handle = nullptr;
    claim.wellFormed = parseUpkeepValue(value, named, handle);
    free(value);
    const DWORD creator = findCreatorProcessId();
    claim.namedIsCreator = claim.wellFormed && creator != 0 && creator == named;
    // A handle value that names no process of this table reads as id 0.
    claim.handleIsCreator = claim.namedIsCreator && GetProcessId(handle) == creator;
    claim.handleRunsThisExecutable = claim.handleIsCreator && runsThisExecutable(handle);
    claim.handleBeganEarlier = claim.handleIsCreator && startedBeforeThisProcess(handle);
    claim.creator = findCreatorState(creator);
    bootstrap = claim.handleIsCreator ? handle : nullptr;
    return claim;
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
