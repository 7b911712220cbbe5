// Removing what earlier runs left in the temporary directory when they were
// killed or crashed and could not clean up: their target directories and
// splash feedback files. Only names this bootstrap makes are touched, only
// when the run that made them has certainly ended, with the same link-safe
// removal as the cleanup, one attempt each, and never failing the start.
#include "child_process.h"

#include <wchar.h>

enum : int {
    // A start after a thousand crashes stays fast: the rest go next time.
    sweepRemovalsPerStart = 8,
    sweepCandidatesPerStart = 64,
};

enum class LeftoverKind { none, targetDirectory, feedbackFile };

// Reads a decimal process id; false when there is none or it overflows.
static bool readProcessId(const wchar_t*& c, DWORD& processId)
{
    uint64_t value = 0;
    const wchar_t* const start = c;
    for (; *c >= L'0' && *c <= L'9' && c - start < 10; ++c) {
        value = value * 10 + static_cast<uint64_t>(*c - L'0');
    }
    processId = static_cast<DWORD>(value);
    return c != start && value <= 0xFFFFFFFFu && !(*c >= L'0' && *c <= L'9');
}

// "onefile_<pid>_<6 digits>_<11 of the RANDOM alphabet>" or
// "onefile_<pid>_splash_feedback.tmp", exactly; anything else is not ours.
static LeftoverKind classifyName(const wchar_t* name, DWORD& processId)
{
    if (wcsncmp(name, L"onefile_", 8) != 0) {
        return LeftoverKind::none;
    }
    const wchar_t* c = name + 8;
    if (!readProcessId(c, processId) || *c != L'_') {
        return LeftoverKind::none;
    }
    ++c;
    if (wcscmp(c, L"splash_feedback.tmp") == 0) {
        return LeftoverKind::feedbackFile;
    }
    const wchar_t* const random = c + microsecondsTextLength + 1;
    if (wcslen(c) != microsecondsTextLength + 1 + randomTextLength || random[-1] != L'_' ||
        wcsspn(c, decimalDigits) != microsecondsTextLength || !consistsOf(random, randomTextLength, randomTextAlphabet)) {
        return LeftoverKind::none;
    }
    return LeftoverKind::targetDirectory;
}

// Dead: no process has the id, or the one that has it started after the
// leftover was made (the id was reused), or it has ended. Anything unclear,
// access denied among it, counts as alive.
static bool isRunDead(DWORD processId, const FILETIME& made)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return GetLastError() == ERROR_INVALID_PARAMETER;
    }
    FILETIME started, ended, kernel, user;
    DWORD exitCode = 0;
    const bool younger = GetProcessTimes(process, &started, &ended, &kernel, &user) &&
                         CompareFileTime(&started, &made) > 0;
    const bool hasEnded = GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE;
    CloseHandle(process);
    return younger || hasEnded;
}

static bool removeLeftover(const wchar_t* directory, const WIN32_FIND_DATAW& entry, LeftoverKind kind)
{
    wchar_t path[pathCapacity];
    size_t length = 0;
    if (!appendWide(path, pathCapacity, length, directory, wcslen(directory)) ||
        !appendWide(path, pathCapacity, length, L"\\", 1) ||
        !appendWide(path, pathCapacity, length, entry.cFileName, wcslen(entry.cFileName))) {
        return false;
    }
    const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (kind == LeftoverKind::targetDirectory) {
        return isDirectory && removeDirectoryTree(path);
    }
    return !isDirectory && removeFileInPlace(path);
}

int sweepDeadRuns(const wchar_t* temporaryDirectory)
{
    wchar_t pattern[pathCapacity];
    size_t length = 0;
    if (!appendWide(pattern, pathCapacity, length, temporaryDirectory, wcslen(temporaryDirectory)) ||
        !appendWide(pattern, pathCapacity, length, L"\\onefile_*", 10)) {
        return 0;
    }
    WIN32_FIND_DATAW entry;
    const HANDLE search =
        FindFirstFileExW(pattern, FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int removed = 0;
    int candidates = 0;
    do {
        DWORD processId = 0;
        const LeftoverKind kind = classifyName(entry.cFileName, processId);
        if (kind == LeftoverKind::none || ++candidates > sweepCandidatesPerStart) {
            continue;
        }
        if (isRunDead(processId, entry.ftCreationTime) && removeLeftover(temporaryDirectory, entry, kind)) {
            ++removed;
        }
    } while (removed < sweepRemovalsPerStart && candidates < sweepCandidatesPerStart && FindNextFileW(search, &entry));
    FindClose(search);
    return removed;
}
