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

static uint64_t creationTimeOf(HANDLE process)
{
    FILETIME created, unused1, unused2, unused3;
    return GetProcessTimes(process, &created, &unused1, &unused2, &unused3) ? systemTimeOf(created) : 0;
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

// What the system says of the process behind `process` (null: none).
static ProcessFacts readProcessFacts(HANDLE process)
{
    ProcessFacts facts = {};
    DWORD exitCode = 0;
    facts.found = process != nullptr;
    facts.alive = facts.found && GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
    facts.runsThisExecutable = facts.found && runsThisExecutable(process);
    facts.began = facts.found ? creationTimeOf(process) : 0;
    return facts;
}

static ProcessFacts readProcessFactsById(DWORD id)
{
    const HANDLE process = id != 0 ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id) : nullptr;
    const ProcessFacts facts = readProcessFacts(process);
    if (process != nullptr) {
        CloseHandle(process);
    }
    return facts;
}

static uint64_t thisProcessBegan()
{
    return creationTimeOf(GetCurrentProcess());
}

bool isEarlierCopy(const ProcessFacts& process, uint64_t thisBegan)
{
    // A process id reused since this process began cannot pass for its
    // creator; a creation time that cannot be read proves nothing.
    return process.found && process.runsThisExecutable && process.began != 0 && thisBegan != 0 &&
           process.began <= thisBegan;
}

bool isParentInstance(const wchar_t* parentId)
{
    DWORD id = 0;
    return parseProcessId(parentId, id) && isEarlierCopy(readProcessFactsById(id), thisProcessBegan());
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
        claim.wellFormed && claim.handleIsCreator && isEarlierCopy(claim.handleProcess, claim.thisBegan);
    const bool creatorAlive = claim.creator.found && claim.creator.alive;
    const bool creatorProves =
        claim.wellFormed && claim.namedIsCreator && creatorAlive && isEarlierCopy(claim.creator, claim.thisBegan);
    if (handleProves || creatorProves) {
        return UpkeepVerdict::worker;
    }
    return creatorAlive ? UpkeepVerdict::ignored : UpkeepVerdict::unprovable;
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
    claim.handleProcess = readProcessFacts(claim.handleIsCreator ? handle : nullptr);
    // A handle to the creator keeps its id from being reused: the same
    // process, asked once.
    claim.creator = claim.handleIsCreator ? claim.handleProcess : readProcessFactsById(creator);
    claim.thisBegan = thisProcessBegan();
    bootstrap = claim.handleIsCreator ? handle : nullptr;
    return claim;
}

Starter judgeStarter(const StarterFacts& facts)
{
    if (facts.creator == 0 || !facts.parentNamed || !isEarlierCopy(facts.parent, facts.thisBegan)) {
        return Starter::other;
    }
    if (facts.creator == facts.parentId) {
        return Starter::bootstrap;
    }
    return isEarlierCopy(facts.creatorProcess, facts.thisBegan) ? Starter::application : Starter::other;
}

Starter identifyStarter(const wchar_t* parentId)
{
    StarterFacts facts = {};
    facts.parentNamed = parseProcessId(parentId, facts.parentId);
    facts.creator = findCreatorProcessId();
    facts.parent = readProcessFactsById(facts.parentNamed ? facts.parentId : 0);
    // The usual re-entry: the parent named is the creator, asked once.
    const bool parentIsCreator = facts.parentNamed && facts.creator == facts.parentId;
    facts.creatorProcess = parentIsCreator ? facts.parent : readProcessFactsById(facts.creator);
    facts.thisBegan = thisProcessBegan();
    return judgeStarter(facts);
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
