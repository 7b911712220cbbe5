// The manifest of a shared cache's version folder (manifest.cpp):
// written last into a staging folder, beside the payload's folder, and
// compared with that folder at every later start. Its first line
// "onefile-cache 2 <publish time>", then the payload's description, in UTF-16: sorted lines "F <size> <write time>
// <name>" and "D <name>", names relative, then the content hashes recorded while the files were written: sorted lines
// "H <16 hex digits of XXH64> <name>". The description is made and compared from directory listings only, one per
// directory; a reparse point anywhere fails both. The hashes are compared in the background (content.cpp). A manifest
// of the older format, without hashes, still names a version of ours, but fails the check: the version is built again
// once. So does one that is not whole (a hash line missing, doubled or cut, or text after them), as a short write or a
// hand would leave it: a file without its hash is never proven.
#include "cache_internal.h"

#include <assert.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

enum : size_t { manifestLimitBytes = 64u << 20 };

static const wchar_t manifestName[] = ONEFILE_WIDE(ONEFILE_CACHE_MANIFEST_NAME);
static const wchar_t manifestFormat[] = L"onefile-cache 2 ";
static const wchar_t olderManifestFormat[] = L"onefile-cache 1 ";
static const wchar_t recheckRecordPrefix[] = ONEFILE_WIDE(ONEFILE_CACHE_RECHECK_NAME);

// Whether the top-level entry is one of the cache's own files, which no
// listing shows: the manifest, and the content recheck's record with its
// companions. Only plain files: a link or a folder at such a name counts.
static bool isCacheOwnFile(const WIN32_FIND_DATAW& entry)
{
    if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    return wcscmp(entry.cFileName, manifestName) == 0 ||
           wcsncmp(entry.cFileName, recheckRecordPrefix, wcslen(recheckRecordPrefix)) == 0;
}

struct Lines {
    wchar_t** items;
    size_t count;
    size_t capacity;
    bool failed;
};

static void addLine(Lines& lines, const wchar_t* format, ...)
{
    wchar_t line[pathCapacity + 64];
    va_list arguments;
    va_start(arguments, format);
    const int length = _vsnwprintf(line, pathCapacity + 63, format, arguments);
    va_end(arguments);
    if (length < 0 || lines.failed) {
        lines.failed = true;
        return;
    }
    line[length] = L'\0';
    if (!reserveOneMore(lines.items, lines.count, lines.capacity)) {
        lines.failed = true;
        return;
    }
    wchar_t* const copy = _wcsdup(line);
    lines.failed = copy == nullptr;
    if (copy != nullptr) {
        lines.items[lines.count++] = copy;
    }
}

static void freeLines(Lines& lines)
{
    for (size_t i = 0; i < lines.count; ++i) {
        free(lines.items[i]);
    }
    free(lines.items);
    lines = Lines{};
}

static int compareLines(const void* a, const void* b)
{
    return wcscmp(*static_cast<wchar_t* const*>(a), *static_cast<wchar_t* const*>(b));
}

// The lines joined, each ended by a line feed, or null when memory runs
// out; to be freed.
static wchar_t* joinLines(const Lines& lines)
{
    size_t total = 1;
    for (size_t i = 0; i < lines.count; ++i) {
        total += wcslen(lines.items[i]) + 1;
    }
    wchar_t* const text = static_cast<wchar_t*>(malloc(total * sizeof(wchar_t)));
    if (text == nullptr) {
        return nullptr;
    }
    text[0] = L'\0';
    for (size_t i = 0, at = 0; i < lines.count; ++i) {
        const size_t length = wcslen(lines.items[i]);
        wmemcpy(text + at, lines.items[i], length);
        at += length;
        text[at++] = L'\n';
        text[at] = L'\0';
    }
    return text;
}

// The lines sorted and joined, or null when one could not be made or
// memory runs out; the lines are freed either way. To be freed.
static wchar_t* takeSortedText(Lines& lines)
{
    wchar_t* text = nullptr;
    if (!lines.failed) {
        qsort(lines.items, lines.count, sizeof(wchar_t*), compareLines);
        text = joinLines(lines);
    }
    freeLines(lines);
    return text;
}

// The hash lines of what the extraction wrote, sorted and joined; null when
// the list is not whole or memory runs out. To be freed.
static wchar_t* joinHashLines(const ContentHashes& hashes)
{
    Lines lines = {};
    lines.failed = hashes.failed;
    for (size_t i = 0; i < hashes.count && !lines.failed; ++i) {
        addLine(lines, L"H %016llx %ls", static_cast<unsigned long long>(hashes.items[i].hash), hashes.items[i].name);
    }
    return takeSortedText(lines);
}

// `name` below `relative` (just `name` when `relative` is empty, the top)
// into `path`; false when it does not fit.
static bool joinBelow(wchar_t path[pathCapacity], const wchar_t* relative, const wchar_t* name)
{
    if (relative[0] != L'\0') {
        return joinPath(path, relative, name);
    }
    size_t length = 0;
    path[0] = L'\0';
    return appendWide(path, pathCapacity, length, name, wcslen(name));
}

// The line of one entry whose name relative to the top is `path`.
static void addEntryLine(Lines& lines, const WIN32_FIND_DATAW& entry, const wchar_t* path)
{
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        addLine(lines, L"D %ls", path);
        return;
    }
    const uint64_t size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    const uint64_t written = systemTimeOf(entry.ftLastWriteTime);
    addLine(lines, L"F %llu %llu %ls", static_cast<unsigned long long>(size), static_cast<unsigned long long>(written),
            path);
}

// Adds the lines of the entries of `folder`\`relative`.
static void describeDirectory(const wchar_t* folder, const wchar_t* relative, Lines& lines)
{
    wchar_t directory[pathCapacity];
    WIN32_FIND_DATAW entry;
    const bool atTop = relative[0] == L'\0';
    const HANDLE search = (atTop ? joinBelow(directory, L"", folder) : joinPath(directory, folder, relative))
                              ? findFirstEntry(directory, L"*", entry)
                              : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) {
        lines.failed = true;
        return;
    }
    do {
        const wchar_t* const name = entry.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) {
            continue;
        }
        wchar_t path[pathCapacity];
        // A link anywhere could lead the application out of the version.
        lines.failed = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !joinBelow(path, relative, name);
        if (!lines.failed) {
            addEntryLine(lines, entry, path);
        }
    } while (!lines.failed && FindNextFileW(search, &entry));
    FindClose(search);
}

// The description of the payload below the version `folder` as one text,
// or null when it holds a reparse point or cannot be listed; to be freed.
static wchar_t* describePayload(const wchar_t* version)
{
    wchar_t folder[pathCapacity];
    if (!joinPayloadFolder(version, folder)) {
        return nullptr;
    }
    Lines lines = {};
    // Each directory's line leads to its listing, in turn: no recursion, so
    // the depth of the tree costs no stack.
    describeDirectory(folder, L"", lines);
    for (size_t next = 0; next < lines.count && !lines.failed; ++next) {
        if (lines.items[next][0] == L'D') {
            describeDirectory(folder, lines.items[next] + 2, lines);
        }
    }
    return takeSortedText(lines);
}

wchar_t* composeCacheManifest(uint64_t publishTime, const wchar_t* description, const wchar_t* hashes)
{
    wchar_t header[64];
    const int headerLength =
        swprintf(header, 64, L"%ls%llu\n", manifestFormat, static_cast<unsigned long long>(publishTime));
    if (description == nullptr || hashes == nullptr || headerLength < 0) {
        return nullptr;
    }
    // A publish time of 0 reads as no manifest of ours.
    assert(publishTime != 0);
    const size_t descriptionLength = wcslen(description), hashesLength = wcslen(hashes);
    const size_t length = static_cast<size_t>(headerLength) + descriptionLength + hashesLength;
    wchar_t* const text = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (text == nullptr) {
        return nullptr;
    }
    wmemcpy(text, header, static_cast<size_t>(headerLength));
    wmemcpy(text + headerLength, description, descriptionLength);
    wmemcpy(text + headerLength + descriptionLength, hashes, hashesLength + 1);
    // Every file listed has its one hash, or no manifest: a file planted
    // while the version was unpacked would otherwise never be rechecked.
    if (!isWholeManifest(text)) {
        free(text);
        return nullptr;
    }
    return text;
}

bool writeCacheManifest(const wchar_t* folder, const ContentHashes& contentHashes)
{
    wchar_t* const description = describePayload(folder);
    wchar_t* const hashes = joinHashLines(contentHashes);
    wchar_t* const text = composeCacheManifest(readSystemTime(), description, hashes);
    free(description);
    free(hashes);
    wchar_t path[pathCapacity];
    wchar_t longForm[longPathCapacity];
    if (text == nullptr || !joinPath(path, folder, manifestName) || !toLongPathForm(path, longForm)) {
        free(text);
        return false;
    }
    const HANDLE file = CreateFileW(longForm, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    const DWORD bytes = static_cast<DWORD>(wcslen(text) * sizeof(wchar_t));
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, text, bytes, &written, nullptr) && written == bytes;
    if (file != INVALID_HANDLE_VALUE && !CloseHandle(file)) {
        ok = false;
    }
    free(text);
    return ok;
}

wchar_t* readCacheManifest(const wchar_t* folder)
{
    wchar_t path[pathCapacity];
    wchar_t longForm[longPathCapacity];
    if (!joinPath(path, folder, manifestName) || !toLongPathForm(path, longForm)) {
        return nullptr;
    }
    const HANDLE file = CreateFileW(longForm, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    LARGE_INTEGER size = {};
    wchar_t* text = nullptr;
    DWORD read = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart < static_cast<LONGLONG>(manifestLimitBytes) &&
        size.QuadPart % sizeof(wchar_t) == 0) {
        text = static_cast<wchar_t*>(malloc(static_cast<size_t>(size.QuadPart) + sizeof(wchar_t)));
        if (text != nullptr &&
            (!ReadFile(file, text, static_cast<DWORD>(size.QuadPart), &read, nullptr) || read != size.QuadPart)) {
            free(text);
            text = nullptr;
        }
        if (text != nullptr) {
            text[size.QuadPart / sizeof(wchar_t)] = L'\0';
        }
    }
    CloseHandle(file);
    return text;
}

uint64_t manifestPublishTime(const wchar_t* manifest)
{
    static const wchar_t* const formats[] = {manifestFormat, olderManifestFormat};
    for (const wchar_t* format : formats) {
        const size_t prefix = wcslen(format);
        if (manifest != nullptr && wcsncmp(manifest, format, prefix) == 0) {
            return static_cast<uint64_t>(_wcstoui64(manifest + prefix, nullptr, 10));
        }
    }
    return 0;
}

// The description's lines of a manifest of the current format (after its
// first line), or null; `length` gets their length, up to the hashes.
static const wchar_t* findDescription(const wchar_t* manifest, size_t& length)
{
    if (wcsncmp(manifest, manifestFormat, wcslen(manifestFormat)) != 0 || manifestPublishTime(manifest) == 0) {
        return nullptr;
    }
    const wchar_t* const body = wcschr(manifest, L'\n');
    if (body == nullptr) {
        return nullptr;
    }
    const wchar_t* const hashes = findContentHashes(manifest);
    length = static_cast<size_t>(hashes - (body + 1));
    return body + 1;
}

const wchar_t* findContentHashes(const wchar_t* manifest)
{
    const wchar_t* const body = wcschr(manifest, L'\n');
    if (body == nullptr) {
        return manifest + wcslen(manifest);
    }
    if (body[1] == L'H') {
        return body + 1;
    }
    const wchar_t* const hashes = wcsstr(body, L"\nH ");
    return hashes != nullptr ? hashes + 1 : body + wcslen(body);
}

bool readContentHashLine(const wchar_t*& cursor, uint64_t& contentHash, wchar_t name[pathCapacity])
{
    const size_t length = wcscspn(cursor, L"\n");
    const wchar_t* const line = cursor;
    cursor += length + (cursor[length] == L'\n');
    enum : size_t { nameAt = 2 + 16 + 1 };
    if (length <= nameAt || length - nameAt >= pathCapacity || wcsncmp(line, L"H ", 2) != 0 ||
        wcsspn(line + 2, L"0123456789abcdef") != 16 || line[nameAt - 1] != L' ') {
        return false;
    }
    contentHash = _wcstoui64(line + 2, nullptr, 16);
    wmemcpy(name, line + nameAt, length - nameAt);
    name[length - nameAt] = L'\0';
    return true;
}

// A name within the manifest's text: where it begins and its length.
struct NameSpan {
    const wchar_t* at;
    size_t length;
};

static int compareNames(const void* a, const void* b)
{
    const NameSpan& left = *static_cast<const NameSpan*>(a);
    const NameSpan& right = *static_cast<const NameSpan*>(b);
    const int order = wmemcmp(left.at, right.at, left.length < right.length ? left.length : right.length);
    return order != 0 ? order : left.length < right.length ? -1 : left.length > right.length ? 1 : 0;
}

// The names of the description's file lines ("F <size> <time> <name>"), in
// `names` (room for every line); false when a line has no name.
static bool collectListedFileNames(const wchar_t* description, size_t length, NameSpan* names, size_t& count)
{
    count = 0;
    for (const wchar_t *line = description, *end = description + length; line < end;) {
        const wchar_t* const feed = wmemchr(line, L'\n', static_cast<size_t>(end - line));
        const wchar_t* const lineEnd = feed != nullptr ? feed : end;
        if (*line == L'F') {
            const wchar_t* name = line;
            for (int spaces = 0; spaces < 3 && name != nullptr; ++spaces) {
                name = wmemchr(name + 1, L' ', static_cast<size_t>(lineEnd - name - 1));
            }
            if (name == nullptr || name + 1 >= lineEnd) {
                return false;
            }
            names[count++] = {name + 1, static_cast<size_t>(lineEnd - name - 1)};
        }
        line = lineEnd + 1;
    }
    return true;
}

// The names of the hash lines from `hashes` to the text's end; false when
// a line is not a whole hash line.
static bool collectHashedNames(const wchar_t* hashes, NameSpan* names, size_t capacity, size_t& count)
{
    count = 0;
    uint64_t contentHash = 0;
    wchar_t name[pathCapacity];
    for (const wchar_t* cursor = hashes; *cursor != L'\0';) {
        // Every line ended: a manifest cut within its last line is not whole.
        if (count == capacity || !readContentHashLine(cursor, contentHash, name) || cursor[-1] != L'\n') {
            return false;
        }
        const size_t nameLength = wcslen(name);
        names[count++] = {cursor - 1 - nameLength, nameLength};
    }
    return true;
}

bool isWholeManifest(const wchar_t* manifest)
{
    size_t descriptionLength = 0;
    const wchar_t* const description = manifest != nullptr ? findDescription(manifest, descriptionLength) : nullptr;
    if (description == nullptr) {
        return false;
    }
    // Every line is at least two units long: a bound on both lists.
    const size_t capacity = wcslen(manifest) / 2 + 1;
    NameSpan* const listed = static_cast<NameSpan*>(malloc(capacity * sizeof(NameSpan)));
    NameSpan* const hashed = static_cast<NameSpan*>(malloc(capacity * sizeof(NameSpan)));
    size_t listedCount = 0, hashedCount = 0;
    bool whole = listed != nullptr && hashed != nullptr &&
                 collectListedFileNames(description, descriptionLength, listed, listedCount) &&
                 collectHashedNames(description + descriptionLength, hashed, capacity, hashedCount) &&
                 listedCount == hashedCount;
    if (whole) {
        qsort(listed, listedCount, sizeof(NameSpan), compareNames);
        qsort(hashed, hashedCount, sizeof(NameSpan), compareNames);
        // The same names, each once: sorted alike, no neighbours equal.
        for (size_t i = 0; whole && i < listedCount; ++i) {
            whole =
                compareNames(&listed[i], &hashed[i]) == 0 && (i == 0 || compareNames(&hashed[i - 1], &hashed[i]) != 0);
        }
    }
    free(listed);
    free(hashed);
    return whole;
}

// The first line where `listed` (`listedLength` units) and `found` differ,
// for the trace: "the manifest lists '<line>', the folder has '<line>'".
static void describeFirstDifference(const wchar_t* listed, size_t listedLength, const wchar_t* found,
                                    wchar_t* difference, size_t capacity)
{
    const wchar_t* const listedEnd = listed + listedLength;
    const auto lineLength = [](const wchar_t* line, const wchar_t* end) {
        const wchar_t* const feed = wmemchr(line, L'\n', static_cast<size_t>(end - line));
        return static_cast<size_t>((feed != nullptr ? feed : end) - line);
    };
    const wchar_t* const foundEnd = found + wcslen(found);
    while (listed < listedEnd && found < foundEnd) {
        const size_t listedLine = lineLength(listed, listedEnd), foundLine = lineLength(found, foundEnd);
        if (listedLine != foundLine || wmemcmp(listed, found, listedLine) != 0) {
            break;
        }
        listed += listedLine + (listed + listedLine < listedEnd);
        found += foundLine + (found + foundLine < foundEnd);
    }
    swprintf(difference, capacity, L"the manifest lists '%.*ls', the folder has '%.*ls'",
             static_cast<int>(lineLength(listed, listedEnd)), listed, static_cast<int>(lineLength(found, foundEnd)),
             found);
}

// Whether a manifest can be compared with a folder at all: ours, of the
// current format and whole (`matches`); otherwise why not, into
// `difference`.
static ManifestMatch checkManifestItself(const wchar_t* manifest, wchar_t* difference, size_t capacity)
{
    size_t listedLength = 0;
    if (manifest == nullptr || findDescription(manifest, listedLength) == nullptr) {
        const bool older = manifestPublishTime(manifest) != 0;
        swprintf(difference, capacity, older ? L"its manifest has an older format" : L"no manifest of ours");
        return older ? ManifestMatch::olderFormat : ManifestMatch::notOurs;
    }
    if (!isWholeManifest(manifest)) {
        swprintf(difference, capacity, L"its manifest is not whole (a file's hash line is missing, doubled or cut)");
        return ManifestMatch::notWhole;
    }
    return ManifestMatch::matches;
}

// A comparable manifest's listing against a folder's `description`.
static ManifestMatch compareListing(const wchar_t* manifest, const wchar_t* description, wchar_t* difference,
                                    size_t capacity)
{
    if (description == nullptr) {
        swprintf(difference, capacity, L"the folder holds a reparse point or cannot be listed");
        return ManifestMatch::differs;
    }
    size_t listedLength = 0;
    const wchar_t* const listed = findDescription(manifest, listedLength);
    if (wcslen(description) == listedLength && wmemcmp(listed, description, listedLength) == 0) {
        return ManifestMatch::matches;
    }
    describeFirstDifference(listed, listedLength, description, difference, capacity);
    return ManifestMatch::differs;
}

ManifestMatch compareCacheManifest(const wchar_t* manifest, const wchar_t* description, wchar_t* difference,
                                   size_t capacity)
{
    const ManifestMatch itself = checkManifestItself(manifest, difference, capacity);
    return itself != ManifestMatch::matches ? itself : compareListing(manifest, description, difference, capacity);
}

// Whether the version's top holds the payload's folder and the cache's
// own files only; the first other entry into `difference` when not.
static bool holdsOnlyPayloadAndOwnFiles(const wchar_t* version, wchar_t* difference, size_t capacity)
{
    WIN32_FIND_DATAW entry;
    const HANDLE search = findFirstEntry(version, L"*", entry);
    if (search == INVALID_HANDLE_VALUE) {
        swprintf(difference, capacity, L"it cannot be listed");
        return false;
    }
    bool only = true;
    do {
        const wchar_t* const name = entry.cFileName;
        const bool payload = wcscmp(name, ONEFILE_WIDE(ONEFILE_CACHE_PAYLOAD_NAME)) == 0 &&
                             (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                             !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        only = payload || isCacheOwnFile(entry) || wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
        if (!only) {
            swprintf(difference, capacity, L"'%ls' lies beside the payload", name);
        }
    } while (only && FindNextFileW(search, &entry));
    FindClose(search);
    return only;
}

bool matchesCacheManifest(const wchar_t* folder, wchar_t* difference, size_t capacity)
{
    wchar_t* const manifest = readCacheManifest(folder);
    // The folder is listed only for a manifest that can match it, and the
    // manifest is checked once: every reusing start pays for it.
    bool matches = checkManifestItself(manifest, difference, capacity) == ManifestMatch::matches &&
                   holdsOnlyPayloadAndOwnFiles(folder, difference, capacity);
    if (matches) {
        wchar_t* const description = describePayload(folder);
        matches = compareListing(manifest, description, difference, capacity) == ManifestMatch::matches;
        free(description);
    }
    free(manifest);
    return matches;
}
