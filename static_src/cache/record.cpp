// The record of a version's content recheck, at the version's top: whether
// the last complete recheck proved every file, or found one it could not
// read (another process holding it without sharing). Content no recheck
// could prove is trusted for a few starts only: each takes one of a fixed
// number of slots, made new and never twice, so starts at the same moment
// cannot share one; when none is left, the start repairs the version or
// runs from a folder of its own. A proven recheck frees the slots.
#include "cache_internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum : DWORD { recordLimitBytes = 64 };

static const wchar_t recordName[] = ONEFILE_WIDE(ONEFILE_CACHE_RECHECK_NAME);

RecheckRecord parseRecheckRecord(const char* text, size_t length)
{
    if (length == 0) {
        return {RecheckState::none, 0};
    }
    static const char passed[] = "passed ";
    const size_t prefix = sizeof passed - 1;
    // Anything but a passed recheck's whole line proves nothing.
    if (length > prefix && length <= prefix + 21 && memcmp(text, passed, prefix) == 0 && text[length - 1] == '\n') {
        uint64_t time = 0;
        size_t at = prefix;
        for (; at < length - 1 && text[at] >= '0' && text[at] <= '9' && time <= UINT64_MAX / 10 - 1; ++at) {
            time = time * 10 + static_cast<uint64_t>(text[at] - '0');
        }
        if (at == length - 1 && at > prefix) {
            return {RecheckState::passed, time};
        }
    }
    return {RecheckState::unproven, 0};
}

RecheckRecord recordAfterRecheck(RecheckRecord before, RecheckResult result, uint64_t now)
{
    switch (result) {
    case RecheckResult::same:
        return {RecheckState::passed, now};
    case RecheckResult::unread:
        // The unproven time runs from the first recheck that could not read.
        return before.state == RecheckState::unproven ? before : RecheckRecord{RecheckState::unproven, 0};
    default:
        return before;  // stopped: no proof either way; differs: repaired anyway
    }
}

bool isRecheckDue(RecheckRecord record, uint64_t now)
{
    // A time from the future (the clock stepped back) proves nothing.
    return record.state != RecheckState::passed || record.time > now || now - record.time >= recheckWindow;
}

bool isVersionRecheckDue(const wchar_t* version)
{
    return isRecheckDue(readRecheckRecord(version), readSystemTime());
}

// `name` at the top of `version` in its long form; false when it does not fit.
static bool pathAtTop(const wchar_t* version, const wchar_t* name, wchar_t (&longForm)[longPathCapacity])
{
    wchar_t path[pathCapacity];
    return joinPath(path, version, name) && toLongPathForm(path, longForm);
}

RecheckRecord readRecheckRecord(const wchar_t* version)
{
    wchar_t longForm[longPathCapacity];
    const HANDLE file = pathAtTop(version, recordName, longForm)
                            ? CreateFileW(longForm, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                            : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        // No record: never rechecked since it was built, and hashed then.
        return {GetLastError() == ERROR_FILE_NOT_FOUND ? RecheckState::none : RecheckState::unproven, 0};
    }
    char text[recordLimitBytes];
    DWORD read = 0;
    const bool whole = ReadFile(file, text, sizeof text, &read, nullptr) && read < sizeof text;
    CloseHandle(file);
    return whole && read > 0 ? parseRecheckRecord(text, read) : RecheckRecord{RecheckState::unproven, 0};
}

void writeRecheckRecord(const wchar_t* version, RecheckRecord record)
{
    char text[recordLimitBytes];
    const int length = record.state == RecheckState::passed
                           ? snprintf(text, sizeof text, "passed %llu\n", static_cast<unsigned long long>(record.time))
                           : snprintf(text, sizeof text, "unproven\n");
    // Written aside and renamed over the record: a reader sees the old or
    // the new one whole, and a link at the record's name is replaced, never
    // written through.
    wchar_t aside[64];
    swprintf(aside, 64, L"%ls.%lu-%llx", recordName, static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long long>(drawRandomSeed()));
    wchar_t from[longPathCapacity];
    wchar_t to[longPathCapacity];
    if (!writeNewFile(version, aside, text, static_cast<DWORD>(length))) {
        return;
    }
    if (!pathAtTop(version, aside, from) || !pathAtTop(version, recordName, to) ||
        !MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(from);
    }
}

// The slot names: "<record>.start1", "<record>.start2", ...
static void nameSlot(wchar_t name[64], unsigned slot)
{
    swprintf(name, 64, L"%ls.start%u", recordName, slot);
}

bool takeUnprovenStartSlot(const wchar_t* version)
{
    for (unsigned slot = 1; slot <= unprovenStartsAllowed; ++slot) {
        wchar_t name[64];
        nameSlot(name, slot);
        if (writeNewFile(version, name, "", 0)) {
            return true;
        }
    }
    return false;
}

void freeUnprovenStartSlots(const wchar_t* version)
{
    for (unsigned slot = 1; slot <= unprovenStartsAllowed; ++slot) {
        wchar_t name[64];
        wchar_t longForm[longPathCapacity];
        nameSlot(name, slot);
        // A link at a slot's name is removed itself, never what it leads to.
        if (pathAtTop(version, name, longForm)) {
            DeleteFileW(longForm);
        }
    }
}
