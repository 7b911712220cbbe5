// The record of a version's content recheck, at the version's top: whether
// the last complete recheck proved every file, or found one it could not
// read (another process holding it without sharing). Content no recheck
// could prove is trusted for a few starts only, counted twice over: each
// takes one of a fixed number of slots, made new and never twice, so
// starts at the same moment cannot share one, and counts itself in the
// record, so removing the slots gives no start more. A version is
// published with an empty record: a missing one leaves no start. A proven
// recheck frees the slots.
#include "cache_internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum : DWORD { recordLimitBytes = 64 };

static const wchar_t recordName[] = ONEFILE_WIDE(ONEFILE_CACHE_RECHECK_NAME);

// The decimal number of text[from, to), when it is one below `limit`.
static bool readDecimal(const char* text, size_t from, size_t to, uint64_t limit, uint64_t& value)
{
    value = 0;
    for (size_t at = from; at < to; ++at) {
        if (text[at] < '0' || text[at] > '9' || value > (limit - 1) / 10) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
    }
    return to > from && value < limit;
}

RecheckRecord parseRecheckRecord(const char* text, size_t length)
{
    if (length == 0) {
        return {RecheckState::none, 0, 0};
    }
    static const char passed[] = "passed ";
    static const char unproven[] = "unproven ";
    // Anything but a whole line of either proves nothing and leaves nothing.
    if (text[length - 1] != '\n') {
        return spentRecord;
    }
    uint64_t value = 0;
    if (length > sizeof passed - 1 && memcmp(text, passed, sizeof passed - 1) == 0 &&
        readDecimal(text, sizeof passed - 1, length - 1, UINT64_MAX, value)) {
        return {RecheckState::passed, value, 0};
    }
    if (length > sizeof unproven - 1 && memcmp(text, unproven, sizeof unproven - 1) == 0 &&
        readDecimal(text, sizeof unproven - 1, length - 1, unprovenStartsAllowed + 1, value)) {
        return {RecheckState::unproven, 0, static_cast<unsigned>(value)};
    }
    return spentRecord;
}

RecheckRecord recordAfterRecheck(RecheckRecord before, RecheckResult result, uint64_t now)
{
    switch (result) {
    case RecheckResult::same:
        return {RecheckState::passed, now, 0};
    case RecheckResult::unread:
        // The starts are counted from the first recheck that could not read.
        return before.state == RecheckState::unproven ? before : RecheckRecord{RecheckState::unproven, 0, 0};
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
        return spentRecord;
    }
    char text[recordLimitBytes];
    DWORD read = 0;
    const bool whole = ReadFile(file, text, sizeof text, &read, nullptr) && read < sizeof text;
    CloseHandle(file);
    return whole ? parseRecheckRecord(text, read) : spentRecord;
}

void writeRecheckRecord(const wchar_t* version, RecheckRecord record)
{
    char text[recordLimitBytes];
    const int length = record.state == RecheckState::passed
                           ? snprintf(text, sizeof text, "passed %llu\n", static_cast<unsigned long long>(record.time))
                           : snprintf(text, sizeof text, "unproven %u\n", record.used);
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

bool writeFreshRecheckRecord(const wchar_t* staging)
{
    return writeNewFile(staging, recordName, "", 0);
}

// The slot names: "<record>.start1", "<record>.start2", ...
static void nameSlot(wchar_t name[64], unsigned slot)
{
    swprintf(name, 64, L"%ls.start%u", recordName, slot);
}

bool takeUnprovenStart(const wchar_t* version, RecheckRecord record)
{
    if (record.used >= unprovenStartsAllowed) {
        return false;
    }
    for (unsigned slot = 1; slot <= unprovenStartsAllowed; ++slot) {
        wchar_t name[64];
        nameSlot(name, slot);
        if (writeNewFile(version, name, "", 0)) {
            writeRecheckRecord(version, {RecheckState::unproven, 0, record.used + 1});
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
