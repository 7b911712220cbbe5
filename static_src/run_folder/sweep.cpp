// Removing what earlier runs left in the runs' parent folder (TEMP unless
// --temp-dir named another) when they were killed or crashed and could not
// clean up: their run folders and splash feedback files. Only names this bootstrap makes are touched, never
// one with this process's own id, and only without a proof of life: a run
// holds its target open, refusing deletion, until its cleanup. Times prove
// nothing (a clock steps back, a tool sets a folder's times). A leftover
// any process still uses is left whole. The sweep runs on a thread of its
// own while the application runs and stops at its next entry when the
// application ends; what is left goes next time.
#include "run_folder.h"

#include "paths/test_holds.h"

#include <stdlib.h>
#include <wchar.h>

enum : int {
    // A start after a thousand crashes stays light: the rest go next time.
    // Leftovers that cannot go do not count, so they never block others.
    sweepRemovalsPerStart = 8,
};
// The application's own start comes first: the sweep's file operations
// would compete with it for the CPU (and, under Wine, for the one server
// thread every file operation goes through). An application that ends
// sooner costs no sweep at all; a later, longer run sweeps.
enum : DWORD { sweepDelayMilliseconds = 500 };

// A leftover that could not go (something in it is in use) is marked, and
// no start walks it again for this long: quick starts beside leftovers
// that never go would each pay for a walk, and for a worker to make it.
static const uint64_t stuckMemory = 10ull * 60 * 10000000;  // 10 minutes, in FILETIME units
static const wchar_t stuckMarkerName[] = L"onefile-sweep.stuck";

enum class LeftoverKind { none, targetDirectory, feedbackFile };

// Reads a decimal process id as a run writes it: no leading zero, no
// overflow. False otherwise.
static bool readProcessId(const wchar_t*& c, DWORD& processId)
{
    uint64_t value = 0;
    const wchar_t* const start = c;
    for (; *c >= L'0' && *c <= L'9' && c - start < 10; ++c) {
        value = value * 10 + static_cast<uint64_t>(*c - L'0');
    }
    processId = static_cast<DWORD>(value);
    return c != start && *start != L'0' && value <= 0xFFFFFFFFu && !(*c >= L'0' && *c <= L'9');
}

// "onefile_<pid>_<6 digits>_<11 of the RANDOM alphabet>" or
// "onefile_<pid>_splash_feedback.tmp", exactly; anything else is not ours.
static LeftoverKind classifyName(const wchar_t* name, DWORD& processId)
{
    const wchar_t* const prefix = ONEFILE_WIDE(ONEFILE_RUN_NAME_PREFIX);
    if (wcsncmp(name, prefix, wcslen(prefix)) != 0) {
        return LeftoverKind::none;
    }
    const wchar_t* c = name + wcslen(prefix);
    if (!readProcessId(c, processId) || *c != L'_') {
        return LeftoverKind::none;
    }
    ++c;
    if (wcscmp(c, ONEFILE_WIDE(ONEFILE_FEEDBACK_NAME_SUFFIX)) == 0) {
        return LeftoverKind::feedbackFile;
    }
    const wchar_t* const random = c + microsecondsTextLength + 1;
    if (wcslen(c) != microsecondsTextLength + 1 + randomTextLength || random[-1] != L'_' ||
        wcsspn(c, decimalDigits) != microsecondsTextLength ||
        !consistsOf(random, randomTextLength, randomTextAlphabet)) {
        return LeftoverKind::none;
    }
    return LeftoverKind::targetDirectory;
}

static const wchar_t anyRunName[] = ONEFILE_WIDE(ONEFILE_RUN_NAME_PREFIX) L"*";

bool isFeedbackFileLive(ProcessState owner, uint64_t ownerBegan, uint64_t fileMade)
{
    return owner == ProcessState::cannotTell || (owner == ProcessState::running && ownerBegan <= fileMade);
}

ProcessState findProcessState(DWORD processId, uint64_t& began)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return GetLastError() == ERROR_INVALID_PARAMETER ? ProcessState::gone : ProcessState::cannotTell;
    }
    DWORD exitCode = 0;
    FILETIME created, ended, kernel, user;
    ProcessState owner = ProcessState::cannotTell;
    if (GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE) {
        owner = ProcessState::gone;
    } else if (GetProcessTimes(process, &created, &ended, &kernel, &user)) {
        owner = ProcessState::running;
        began = systemTimeOf(created);
    }
    CloseHandle(process);
    return owner;
}

// A feedback file's run, and a run folder's, is told by its process: alive
// and begun before the entry was made (wherever the run's folder is:
// --temp-dir and the cache put it elsewhere; the feedback file is always
// in TEMP).
static bool hasLiveRun(const WIN32_FIND_DATAW& entry, DWORD processId)
{
    uint64_t began = 0;
    const ProcessState owner = findProcessState(processId, began);
    return isFeedbackFileLive(owner, began, systemTimeOf(entry.ftCreationTime));
}

bool isStuckMarkStillValid(uint64_t markedAt, uint64_t now)
{
    return markedAt <= now && now - markedAt < stuckMemory;
}

// Whether an earlier sweep marked the run folder `path` as stuck, lately.
static bool isRememberedStuck(const wchar_t* path)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = findFirstEntry(path, stuckMarkerName, entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    return !(entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
           isStuckMarkStillValid(systemTimeOf(entry.ftLastWriteTime), readSystemTime());
}

// Marks the run folder `path` as stuck, anew: an old mark (or whatever lies
// at its name: a link is removed itself) goes first, and the mark is made
// new, never written through a name that exists.
static void rememberStuck(const wchar_t* path)
{
    wchar_t marker[pathCapacity];
    wchar_t longForm[longPathCapacity];
    if (!joinPath(marker, path, stuckMarkerName) || !toLongPathForm(marker, longForm)) {
        return;
    }
    DeleteFileW(longForm);
    writeNewFile(path, stuckMarkerName, "", 0);
}

struct Sweep {
    wchar_t directory[pathCapacity];
    const volatile LONG* stop;  // set by another thread to end the sweep
    int removed;
};

static bool removeLeftover(Sweep& sweep, const WIN32_FIND_DATAW& entry, LeftoverKind kind, DWORD processId)
{
    wchar_t path[pathCapacity];
    if (processId == GetCurrentProcessId() || !joinPath(path, sweep.directory, entry.cFileName)) {
        return false;
    }
    const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (kind == LeftoverKind::targetDirectory) {
        // A live run's folder is its application's: never touched, never
        // marked. Its process alive tells it even before the run holds its
        // new folder, when the hold proves nothing yet; the removal leaves a
        // held one alone. Only a dead run's leftover that cannot go (not
        // held, something in it in use) is remembered.
        if (!isDirectory || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || isRememberedStuck(path) ||
            hasLiveRun(entry, processId)) {
            return false;
        }
        const bool removed = removeUnusedTree(path, sweep.stop);
        if (!removed && *sweep.stop == 0 && !isHeldByAnotherRun(path)) {
            rememberStuck(path);
        }
        return removed;
    }
    return !isDirectory && !hasLiveRun(entry, processId) && removeFileInPlace(path);
}

// Whether `directory` holds a run's name with another process's id, other
// than a live run's folder. A thread costs a start milliseconds under Wine
// (every loaded DLL hears of it), and an upkeep worker more, so neither is
// made when there is nothing to look at: a long run beside many quick ones
// is the usual case.
static bool hasLeftoverCandidates(const wchar_t* directory)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = findFirstEntry(directory, anyRunName, entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool found = false;
    do {
        DWORD processId = 0;
        const LeftoverKind kind = classifyName(entry.cFileName, processId);
        wchar_t path[pathCapacity];
        found = kind != LeftoverKind::none && processId != GetCurrentProcessId() &&
                !(kind == LeftoverKind::targetDirectory ? joinPath(path, directory, entry.cFileName) &&
                                                              (isHeldByAnotherRun(path) || isRememberedStuck(path))
                                                        : hasLiveRun(entry, processId));
    } while (!found && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

static int sweepLeftovers(Sweep& sweep)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = findFirstEntry(sweep.directory, anyRunName, entry);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    do {
        DWORD processId = 0;
        const LeftoverKind kind = classifyName(entry.cFileName, processId);
        if (kind != LeftoverKind::none && removeLeftover(sweep, entry, kind, processId)) {
            ++sweep.removed;
        }
    } while (sweep.removed < sweepRemovalsPerStart && *sweep.stop == 0 && FindNextFileW(search, &entry));
    FindClose(search);
    return sweep.removed;
}

// A sweep of `parent` on the heap (its path buffer is large); null when it
// cannot be had.
static Sweep* makeSweep(const wchar_t* parent, const volatile LONG* stop)
{
    Sweep* const sweep = static_cast<Sweep*>(calloc(1, sizeof(Sweep)));
    size_t length = 0;
    if (sweep == nullptr || !appendWide(sweep->directory, pathCapacity, length, parent, wcslen(parent))) {
        free(sweep);
        return nullptr;
    }
    sweep->stop = stop;
    return sweep;
}

// The sweep, when no other start sweeps the same folder; -1 when one does.
static int sweepInTurn(Sweep& sweep)
{
    const HANDLE turn = takeUpkeepTurn(sweep.directory);
    if (turn == nullptr) {
        return -1;
    }
    const int removed = sweepLeftovers(sweep);
    giveUpUpkeepTurn(turn);
    return removed;
}

int sweepDeadRuns(const wchar_t* parent)
{
    static const volatile LONG never = 0;
    Sweep* const sweep = makeSweep(parent, &never);
    const int removed = sweep != nullptr ? sweepInTurn(*sweep) : 0;
    free(sweep);
    return removed;
}

static void sweepInBackground(void* sweep, const volatile LONG* stop)
{
    static_cast<Sweep*>(sweep)->stop = stop;
    holdUntilStopped("ONEFILE_TEST_HOLD_SWEEP", stop);
    const int removed = sweepInTurn(*static_cast<Sweep*>(sweep));
    if (removed < 0) {
        traceStep(L"sweep: another start sweeps %ls", static_cast<Sweep*>(sweep)->directory);
        return;
    }
    traceStep(L"sweep: %d leftovers of dead runs removed from %ls%ls", removed, static_cast<Sweep*>(sweep)->directory,
              *stop != 0 ? L" (stopped at the application's end)" : L"");
}

void startSweep(const wchar_t* parent)
{
    if (!hasLeftoverCandidates(parent)) {
        traceStep(L"sweep: nothing of another run in %ls", parent);
        return;
    }
    static const volatile LONG notYet = 0;
    Sweep* const sweep = makeSweep(parent, &notYet);
    if (sweep == nullptr || !startBackgroundWork(sweepInBackground, sweep, sweepDelayMilliseconds)) {
        free(sweep);
    }
}
