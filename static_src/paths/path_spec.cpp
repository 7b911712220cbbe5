#include "paths.h"

#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

const wchar_t randomTextAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
const wchar_t decimalDigits[] = L"0123456789";

bool consistsOf(const wchar_t* text, size_t length, const wchar_t* alphabet)
{
    return text != nullptr && wcslen(text) == length && wcsspn(text, alphabet) == length;
}

// The output under construction: the caller's buffer, its capacity and the
// characters written so far. The buffer holds a terminated string after
// every step, so a failed expansion leaves what was expanded before.
struct Expansion {
    wchar_t* output;
    size_t capacity;
    size_t length;
};

static void insertValue(Expansion& out, const wchar_t* value)
{
    if (!appendWide(out.output, out.capacity, out.length, value, wcslen(value))) {
        stopProcess("a path placeholder's value does not fit its buffer");
    }
}

static void removeTrailingBackslashes(Expansion& out)
{
    while (out.length > 0 && out.output[out.length - 1] == L'\\') {
        out.output[--out.length] = L'\0';
    }
}

static void widenAscii(const char* text, wchar_t* wide)
{
    while ((*wide++ = static_cast<unsigned char>(*text++)) != L'\0') {
    }
}

// A value shared by a family of processes: taken from the environment when
// an earlier expansion (here or in a parent) stored it, else made and stored.
static void insertSharedValue(Expansion& out, const char* variable, void (*make)(wchar_t* text))
{
    if (wchar_t* stored = getEnvVar(variable)) {
        insertValue(out, stored);
        free(stored);
        return;
    }
    wchar_t made[32];
    make(made);
    setEnvVar(variable, made);
    insertValue(out, made);
}

uint64_t systemTimeOf(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t readSystemTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return systemTimeOf(now);
}

static int64_t readFileTime()
{
    return static_cast<int64_t>(readSystemTime());
}

static void makeRandomText(wchar_t* text)
{
    encodeRandomText(drawRandomSeed(), text);
}
static void makeMicroseconds(wchar_t* text)
{
    formatMicrosecondsOfSecond(readFileTime(), text);
}
static void makeFileTime(wchar_t* text)
{
    formatFileTime(readFileTime(), text);
}

uint32_t drawRandomSeed()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const uint64_t c = static_cast<uint64_t>(counter.QuadPart);
    const uint64_t a = reinterpret_cast<uintptr_t>(&counter);
    uint32_t seed = static_cast<uint32_t>(c >> 32) ^ static_cast<uint32_t>(c) ^ static_cast<uint32_t>(a >> 32) ^
                    static_cast<uint32_t>(a) ^ GetCurrentProcessId();
    return seed == 0 ? 1 : seed;
}

void encodeRandomText(uint32_t seed, wchar_t text[randomTextLength + 1])
{
    uint8_t b[8];
    uint32_t s = seed;
    for (uint8_t& byte : b) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        byte = static_cast<uint8_t>(s);
    }
    // Base64url of the 64 bits without padding: 6 + 6 + 6 + 6 per three bytes.
    const int sextets[randomTextLength] = {
        b[0] >> 2,
        ((b[0] & 3) << 4) | (b[1] >> 4),
        ((b[1] & 15) << 2) | (b[2] >> 6),
        b[2] & 63,
        b[3] >> 2,
        ((b[3] & 3) << 4) | (b[4] >> 4),
        ((b[4] & 15) << 2) | (b[5] >> 6),
        b[5] & 63,
        b[6] >> 2,
        ((b[6] & 3) << 4) | (b[7] >> 4),
        (b[7] & 15) << 2,
    };
    for (size_t i = 0; i < randomTextLength; ++i) {
        text[i] = randomTextAlphabet[sextets[i]];
    }
    text[randomTextLength] = L'\0';
}

void formatMicrosecondsOfSecond(int64_t fileTime, wchar_t text[8])
{
    char narrow[16];
    snprintf(narrow, sizeof narrow, "%06ld", static_cast<long>((fileTime / 10) % 1000000));
    widenAscii(narrow, text);
}

void formatFileTime(int64_t fileTime, wchar_t text[24])
{
    char narrow[24];
    snprintf(narrow, sizeof narrow, "%lld", static_cast<long long>(fileTime));
    widenAscii(narrow, text);
}

static void insertProcessId(Expansion& out)
{
    if (wchar_t* parent = getEnvVar(ONEFILE_VARIABLE_PARENT)) {
        for (const wchar_t* c = parent; *c != L'\0'; ++c) {
            if (!iswctype(*c, _DIGIT)) {
                stopProcess(ONEFILE_VARIABLE_PARENT " holds a character that is not a digit");
            }
        }
        insertValue(out, parent);
        free(parent);
        return;
    }
    char digits[128];
    snprintf(digits, sizeof digits, "%ld", static_cast<long>(GetCurrentProcessId()));
    for (const char* digit = digits; *digit != '\0'; ++digit) {
        const char single[2] = {*digit, '\0'};
        wchar_t wide[2];
        if (mbstowcs(wide, single, 2) != 1) {
            stopProcess("a digit of the process number does not convert");
        }
        wide[1] = L'\0';
        insertValue(out, wide);
    }
}

static bool insertProgramName(Expansion& out)
{
    if (__wargv == nullptr || __argc < 1 || __wargv[0] == nullptr) {
        stopProcess("the command line has no argument 0");
    }
    insertValue(out, __wargv[0]);
    return true;
}

// PROGRAM_BASE and PROGRAM_DIR: "{PROGRAM}" expanded in place, then cut.
static bool insertProgramPart(Expansion& out, bool directory)
{
    wchar_t* const inserted = out.output + out.length;
    if (!expandPathSpec(inserted, L"{PROGRAM}", out.capacity - out.length)) {
        return false;
    }
    size_t length = wcslen(inserted);
    if (directory) {
        if (wchar_t* separator = wcsrchr(inserted, L'\\')) {
            length = static_cast<size_t>(separator - inserted);
        }
    } else if (length >= 4 && _wcsicmp(inserted + length - 4, L".exe") == 0) {
        length -= 4;
    }
    inserted[length] = L'\0';
    out.length += length;
    return true;
}

// A directory the platform cannot give (GetTempPathW fails above 260
// characters on some systems) or that does not fit fails the expansion:
// inserting nothing would put the target at the root of the drive.
static bool insertTemporaryDirectory(Expansion& out)
{
    const DWORD room = static_cast<DWORD>(out.capacity - out.length);
    const DWORD length = GetTempPathW(room, out.output + out.length);
    if (length == 0 || length >= room) {
        out.output[out.length] = L'\0';
        return false;
    }
    out.length += length;
    removeTrailingBackslashes(out);
    return true;
}

static bool insertFolder(Expansion& out, int folder)
{
    decltype(&SHGetFolderPathW) getFolderPath;
    wchar_t path[MAX_PATH];
    if (!bindSystemFunction(getFolderPath, L"shell32.dll", "SHGetFolderPathW") ||
        getFolderPath(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
        return false;
    }
    insertValue(out, path);
    removeTrailingBackslashes(out);
    return true;
}

static bool insertPlaceholder(Expansion& out, const wchar_t* name)
{
    if (_wcsicmp(name, L"TEMP") == 0) return insertTemporaryDirectory(out);
    if (_wcsicmp(name, L"PROGRAM") == 0) return insertProgramName(out);
    if (_wcsicmp(name, L"PROGRAM_BASE") == 0) return insertProgramPart(out, false);
    if (_wcsicmp(name, L"PROGRAM_DIR") == 0) return insertProgramPart(out, true);
    if (_wcsicmp(name, L"PID") == 0) {
        insertProcessId(out);
        return true;
    }
    if (_wcsicmp(name, L"HOME") == 0) return insertFolder(out, CSIDL_PROFILE);
    if (_wcsicmp(name, L"CACHE_DIR") == 0) return insertFolder(out, CSIDL_LOCAL_APPDATA);
    if (_wcsicmp(name, L"RANDOM") == 0) {
        insertSharedValue(out, ONEFILE_VARIABLE_RANDOM, makeRandomText);
        return true;
    }
    if (_wcsicmp(name, L"TIME_US") == 0) {
        insertSharedValue(out, ONEFILE_VARIABLE_TIME_US, makeMicroseconds);
        return true;
    }
    if (_wcsicmp(name, L"TIME") == 0) {
        insertSharedValue(out, ONEFILE_VARIABLE_START, makeFileTime);
        return true;
    }
    return false;
}

bool expandPathSpec(wchar_t* output, const wchar_t* spec, size_t capacity)
{
    if (capacity == 0) {
        return false;
    }
    Expansion out{output, capacity, 0};
    output[0] = L'\0';
    wchar_t name[recordNameCapacity];
    size_t nameLength = 0;
    bool nameOpen = false;
    // A name longer than the buffer can match no placeholder; it is refused
    // when it closes.
    bool nameOverflowed = false;
    for (const wchar_t* c = spec; *c != L'\0'; ++c) {
        if (*c == L'{') {
            nameOpen = true;
            nameLength = 0;
            nameOverflowed = false;
        } else if (*c == L'}' && nameOpen) {
            name[nameLength] = L'\0';
            nameOpen = false;
            if (nameOverflowed || !insertPlaceholder(out, name)) {
                return false;
            }
        } else if (nameOpen) {
            if (nameLength + 1 < recordNameCapacity) {
                name[nameLength++] = *c;
            } else {
                nameOverflowed = true;
            }
        } else if (!appendWide(output, capacity, out.length, c, 1)) {
            return false;
        }
    }
    return true;
}
