// The directories a run creates below its target. Each is created new,
// with the private access, and held open without delete sharing until the
// run lets go of them, so that no other process can remove or rename it and
// put a link in its place. A set of their paths tells "made by this run"
// from "was already there", which is never taken over.
#include "paths.h"

#include <assert.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

struct HeldDirectory {
    wchar_t* path;  // null: a free slot
    HANDLE handle;
};

// Open addressing with linear probing; the capacity is a power of two and
// at most half of it is used, so every probe ends at a free slot.
struct HeldDirectorySet {
    HeldDirectory* slots;
    size_t capacity;
    size_t count;
};

HeldDirectorySet heldDirectories;

size_t hashPath(const wchar_t* path, size_t length)
{
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<uint16_t>(path[i])) * 1099511628211ull;
    }
    return static_cast<size_t>(hash);
}

HeldDirectory* findSlot(HeldDirectory* slots, size_t capacity, const wchar_t* path, size_t length)
{
    assert(capacity > 0 && (capacity & (capacity - 1)) == 0 && "a power of two, never full");
    for (size_t i = hashPath(path, length) & (capacity - 1);; i = (i + 1) & (capacity - 1)) {
        const wchar_t* const held = slots[i].path;
        if (held == nullptr || (wcsncmp(held, path, length) == 0 && held[length] == L'\0')) {
            return &slots[i];
        }
    }
}

bool growHeldDirectories()
{
    HeldDirectorySet& set = heldDirectories;
    const size_t capacity = set.capacity == 0 ? 64 : set.capacity * 2;
    HeldDirectory* const slots = static_cast<HeldDirectory*>(calloc(capacity, sizeof(HeldDirectory)));
    if (slots == nullptr) {
        return false;
    }
    for (size_t i = 0; i < set.capacity; ++i) {
        if (const wchar_t* const path = set.slots[i].path) {
            *findSlot(slots, capacity, path, wcslen(path)) = set.slots[i];
        }
    }
    free(set.slots);
    set.slots = slots;
    set.capacity = capacity;
    return true;
}

}  // namespace

HANDLE openDirectoryHold(const wchar_t* path)
{
    wchar_t longForm[longPathCapacity];
    const wchar_t* const opened = toLongPathForm(path, longForm) ? longForm : path;
    // Read access is what blocks: a handle with attribute access only does
    // not keep others from deleting or renaming the directory.
    return CreateFileW(opened, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool isHeldDirectory(const wchar_t* path)
{
    const HeldDirectorySet& set = heldDirectories;
    return set.count > 0 && findSlot(set.slots, set.capacity, path, wcslen(path))->path != nullptr;
}

bool createHeldDirectory(const wchar_t* path)
{
    HeldDirectorySet& set = heldDirectories;
    if (2 * (set.count + 1) > set.capacity && !growHeldDirectories()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    wchar_t* const copy = _wcsdup(path);
    if (copy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    wchar_t longForm[longPathCapacity];
    const wchar_t* const created = toLongPathForm(path, longForm) ? longForm : path;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (CreateDirectoryW(created, privateDirectoryAttributes())) {
        handle = openDirectoryHold(path);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        free(copy);
        SetLastError(error);
        return false;
    }
    *findSlot(set.slots, set.capacity, copy, wcslen(copy)) = HeldDirectory{copy, handle};
    ++set.count;
    return true;
}

void releaseHeldDirectories()
{
    HeldDirectorySet& set = heldDirectories;
    for (size_t i = 0; i < set.capacity; ++i) {
        if (set.slots[i].path != nullptr) {
            CloseHandle(set.slots[i].handle);
            free(set.slots[i].path);
        }
    }
    free(set.slots);
    set = HeldDirectorySet{};
}
