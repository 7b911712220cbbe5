// Paths, environment and file system: the fatal error routines, bounded
// copies into fixed buffers, environment access, the executable's own path
// and final paths, path spec expansion, directory creation (the known
// directories, the private access, the run's held directories), the
// link-safe tree removal and the sweep's claiming removal, and run-time
// binding of system functions. Depends on nothing else of the bootstrap;
// every other folder depends on it.
#pragma once

#include <stdarg.h>
#include <windows.h>

#include "onefile_contract.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

// Capacities of the fixed wide buffers, in UTF-16 units with the terminator.
enum : size_t {
    pathCapacity = 4096,
    executablePathCapacity = 4097,
    recordNameCapacity = 1024,
    variableNameCapacity = 40,
    environmentValueCapacity = 32768,
};

// --- Fatal routines (fatal.cpp). None of them returns; each writes one
// line, runs the fatal cleanup once and ends the process with exit code 2,
// from any thread.
enum : UINT { fatalExitCode = 2, fatalSpecExitCode = 3 };
// `message` as it is, on standard output (the only one that uses it).
[[noreturn]] void fatalError(const char* message);
// "<message> ([Error <code>] <system's text>)" on standard error; the text
// is the system's English one, or "unknown error".
[[noreturn]] void fatalSystemError(const char* message, DWORD errorCode);
// "<message> '<path>' ([Error <code>] <text>)" on standard error.
[[noreturn]] void fatalFileError(const char* message, const wchar_t* path, DWORD errorCode);
// "Error, couldn't runtime expand spec '<spec>'." on standard error, then
// the abnormal end's exit code 3, without the fatal cleanup.
[[noreturn]] void fatalSpecExpansion(const wchar_t* spec);
// Ends the process where a value would break a fixed bound or a hard
// precondition: one line "Error, <reason>." on standard error, exit code 2.
[[noreturn]] void stopProcess(const char* reason);
// One line that is not the end of the process: on standard error, in the
// trace, and in a box when fatal lines nobody sees are shown and nobody
// sees standard error. The bootstrap's one routine for such lines.
void reportLine(const char* line);
void reportWideLine(const wchar_t* line);
// What every fatal stop but a failed expansion runs once, after its message
// and before the process ends: the driver undoes a half-made target with it.
// Null (the default) runs nothing.
void setFatalCleanup(void (*cleanup)());
// From now on a fatal line written to a standard handle that leads nowhere
// (none was handed over) is also shown in a message box, which the person
// who started the program closes.
void showFatalLinesNobodySees();

// --- Handles shared between threads (shared_handle.cpp).
// Calls `open` again, `pauseMilliseconds` apart and `attempts` times at
// most, while it fails with a sharing violation: another process (a
// scanner, another start's probe) has the entry open in a way that
// conflicts, and lets go in a moment. Its last result, with its error.
template <typename Open>
HANDLE openRetryingWhileShared(Open open, int attempts, DWORD pauseMilliseconds)
{
    HANDLE handle = open();
    for (int attempt = 1;
         handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION && attempt < attempts; ++attempt) {
        Sleep(pauseMilliseconds);
        handle = open();
    }
    return handle;
}

// Puts `value` into `slot` and returns what was there, in one step: of two
// threads that take a handle this way, only one gets it, so it is closed
// once.
HANDLE exchangeHandle(HANDLE volatile& slot, HANDLE value);

// Makes room for one more element of a growing array (`items`, `count` in
// use, `capacity`), doubling from 256; false, with the array as it was,
// when memory runs out. The one growth every list of the bootstrap shares.
template <typename Element>
bool reserveOneMore(Element*& items, size_t count, size_t& capacity)
{
    if (count < capacity) {
        return true;
    }
    const size_t grownCapacity = capacity == 0 ? 256 : capacity * 2;
    Element* const grown = static_cast<Element*>(realloc(items, grownCapacity * sizeof(Element)));
    if (grown == nullptr) {
        return false;
    }
    items = grown;
    capacity = grownCapacity;
    return true;
}

// --- Bounded copies into fixed buffers (wide_buffer.cpp).
// Appends `count` units of `text` to the `length` units already in a buffer
// of `capacity`, keeping the terminator; false, with nothing written, when
// they do not fit. The one bound check every append shares.
bool appendWide(wchar_t* buffer, size_t capacity, size_t& length, const wchar_t* text, size_t count);
// These stop the process, naming `what`, instead of writing past `capacity`.
void copyWideBounded(wchar_t* destination, size_t capacity, const wchar_t* source, const char* what);
void appendWideBounded(wchar_t* destination, size_t capacity, const wchar_t* source, const char* what);
// `folder`\`name` into `path`; false when it does not fit.
bool joinPath(wchar_t path[pathCapacity], const wchar_t* folder, const wchar_t* name);
// The last backslash at index 1 or later, or null: the first character is
// never taken as a separator.
wchar_t* findLastSeparator(wchar_t* path);

// --- Environment (environment.cpp). Copies are the caller's, freed with free().
wchar_t* getEnvVarWide(const wchar_t* name);
wchar_t* getEnvVar(const char* name);
BOOL setEnvVar(const char* name, const wchar_t* value);

// --- Executable path (executable_path.cpp).
extern wchar_t resolvedExecutablePath[executablePathCapacity];
extern wchar_t plainExecutablePath[executablePathCapacity];
void shortenPathDirectories(wchar_t* path, size_t capacity);
// Final path of an existing file, long-path prefixes removed, directories in
// short form; false when the final path does not fit `capacity` (at most
// executablePathCapacity). A file that cannot be opened keeps its path.
bool normaliseFinalPath(wchar_t* path, size_t capacity);
// The final path of an open handle in the "\\?\" form, as the system gives
// it: its length, or 0 on failure or when it does not fit `capacity`.
DWORD readFinalPath(HANDLE handle, wchar_t* buffer, size_t capacity);
// An absolute path ("C:\x", "\\server\share\x" or already "\\?\...") in
// the "\\?\" form that lifts the 260-character limit, the one way every
// path is lengthened; false for a relative path or one that does not fit.
enum : size_t { longPathCapacity = pathCapacity + 8 };
bool toLongPathForm(const wchar_t* path, wchar_t (&buffer)[longPathCapacity]);
// Whether `path` is absolute as toLongPathForm takes it: a drive's ("C:\")
// or a share's ("\\server", "\\?\"); anything else, a Unix path among them,
// is no place Windows calls can be trusted to find.
bool isAbsoluteWindowsPath(const wchar_t* path);
// Starts a listing of the entries of `directory` whose names match `name`
// (wildcards allowed), by its long form; INVALID_HANDLE_VALUE when there
// are none or it cannot be listed. FindNextFileW and FindClose go on.
HANDLE findFirstEntry(const wchar_t* directory, const wchar_t* name, WIN32_FIND_DATAW& entry);

// The executable's module file name, read once and cached in
// plainExecutablePath. Ends the process when it needs 4097 units or more.
const wchar_t* getExecutablePath();
// Its final path (links resolved, directories in short form), cached in
// resolvedExecutablePath; ends the process when that does not fit.
const wchar_t* getResolvedExecutablePath();

// --- Trace (trace.cpp): one line per step of a start, opt-in.
// Reads MERLOX_ONEFILE_TRACE and MERLOX_ONEFILE_TRACE_FILE once, on the main
// thread before any other thread starts.
void openTrace();
// Says why the trace file was refused, if it was, as every line of the
// bootstrap is said (reportWideLine): by the start that owns the run only,
// so that its child does not say it too.
void reportTraceRefusal();
bool isTracing();
// "onefile[<pid>] <ms since openTrace> ms: <step>" and a line end, from any
// thread; nothing when the trace is off. `format` is a swprintf format.
void traceStep(const wchar_t* format, ...);
void traceStepWith(const wchar_t* format, va_list arguments);
// Whether a trace file with these attributes (INVALID_FILE_ATTRIBUTES: none
// yet) whose first `length` bytes are `head` may be appended to: no folder,
// link or read-only file, and empty or a trace of ours.
bool isTraceFileUsable(DWORD attributes, const char* head, size_t length);

// --- File identity (file_identity.cpp).
// Whether the open handle is the file `identity` was read from (with
// GetFileInformationByHandle): the same volume and index.
bool hasIdentity(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& identity);
// Whether two open handles name the same file.
bool isSameFile(HANDLE one, HANDLE other);
// Whether the open `handle` is `path` itself, directly in its parent (whose
// own path may go through links): not what a link planted at the name
// leads to. False when it cannot be told.
bool isOpenedInPlace(HANDLE handle, const wchar_t* path);
// The system's name of an open file or folder (its path on its volume),
// into `name`; false when it cannot be told.
bool readOpenedName(HANDLE handle, wchar_t name[pathCapacity]);
// Whether the open `handle` is `relative` below the folder the system
// names `folderName` (as readOpenedName gives it), with no link on the
// way; false when it cannot be told.
bool isOpenedBelow(HANDLE handle, const wchar_t* folderName, const wchar_t* relative);
// Gives the file or folder open as `entry` (with DELETE access) the new
// name `newPath`, never replacing one: what was opened moves, not what a
// link at its name leads to.
bool renameOpenedEntry(HANDLE entry, const wchar_t* newPath);
// Deletes the file at `path` when it is still the file `made` was read
// from, in its place (not what a link at the name leads to); whether it
// did.
bool removeFileIfStillMade(const wchar_t* path, const BY_HANDLE_FILE_INFORMATION& made);

// --- Path spec expansion (path_spec.cpp).
// The folder a start works in (its run folder, a staging folder or the
// shared cache's version) and whether this start removes it at its end:
// decided once per road by the driver and passed to each step; the cleanup
// sees it as child_process publishes it.
struct TargetFolder {
    wchar_t path[pathCapacity];
    bool removedAtEnd;
};
// Expands `spec`'s {NAME} placeholders into `output` (at most `capacity`
// units with the terminator; nothing is ever written past it). False for
// an unknown placeholder, a value that cannot be had or a result that does
// not fit; `output` is then unspecified. PID, TIME_US, RANDOM and TIME take
// the run's shared values from the environment, drawing and storing them
// there the first time. Ends the process when MERLOX_ONEFILE_PARENT holds
// something that is not a number.
bool expandPathSpec(wchar_t* output, const wchar_t* spec, size_t capacity);
// The pieces behind RANDOM, TIME_US and TIME, callable with given inputs.
enum : size_t { randomTextLength = ONEFILE_RANDOM_LENGTH };
extern const wchar_t randomTextAlphabet[];
enum : size_t { microsecondsTextLength = ONEFILE_TIME_US_DIGITS };
extern const wchar_t decimalDigits[];
// Whether `text` is exactly `length` characters, all from `alphabet`; the
// form checks of the values a run's names are made of.
bool consistsOf(const wchar_t* text, size_t length, const wchar_t* alphabet);
uint32_t drawRandomSeed();
void encodeRandomText(uint32_t seed, wchar_t text[randomTextLength + 1]);
void formatMicrosecondsOfSecond(int64_t fileTime, wchar_t text[8]);
void formatFileTime(int64_t fileTime, wchar_t text[24]);
// A FILETIME as one number (100 ns units since 1601), and the system time
// now as one.
uint64_t systemTimeOf(const FILETIME& time);
uint64_t readSystemTime();

// --- Directory creation (directories.cpp).
// The directories known to exist (the home directory first, then each one
// ensured or created); main thread only. Past 1024 entries nothing more is
// recorded and a directory is just asked for again.
enum : int { knownDirectoriesCapacity = 1024 };
extern wchar_t* knownDirectories[knownDirectoriesCapacity];
extern int knownDirectoryCount;
// Makes `path` exist: true when it is known, is a bare drive, or is created
// (with the private access) or found existing now. Only the target's
// ancestors go this way: below the target every name must be new.
bool ensureDirectory(const wchar_t* path);
// Creates a directory that must not exist yet and records it as known;
// false (GetLastError tells why, ERROR_ALREADY_EXISTS among it) otherwise.
bool createNewDirectory(const wchar_t* path);
// Ensures every ancestor of `path`, from the first that exists down. Failures
// are not reported: creating the path itself fails after them.
void ensureParentDirectories(const wchar_t* path);

// --- Private access (private_access.cpp).
// What every directory a run creates is made with: a protected DACL for the
// current user, SYSTEM and the Administrators only. Ends the process when
// it cannot be made.
SECURITY_ATTRIBUTES* privateDirectoryAttributes();
// The same for a named object (a mutex): only the current user and SYSTEM
// may open it. Null when it cannot be made.
SECURITY_ATTRIBUTES* privateObjectAttributes();
// The current user's SID as text ("S-1-5-21-..."); false when it cannot
// be read.
enum : size_t { userSidCapacity = 192 };
bool readUserSidText(wchar_t text[userSidCapacity]);
// One class of this process's token information into `buffer` (ntdll's
// own call); false when it cannot be read.
bool readProcessToken(TOKEN_INFORMATION_CLASS kind, void* buffer, DWORD size);

// --- Directories below the target (held_directories.cpp).
// Opens a directory for reading without delete sharing and without
// following a link: while the handle is open no other process can remove
// or rename it. INVALID_HANDLE_VALUE on failure.
HANDLE openDirectoryHold(const wchar_t* path);
// Whether this run created `path` with createHeldDirectory.
bool isHeldDirectory(const wchar_t* path);
// Creates a directory that must be new (GetLastError tells why not,
// ERROR_ALREADY_EXISTS among it) and holds it until releaseHeldDirectories.
bool createHeldDirectory(const wchar_t* path);
// Closes every held directory and forgets them; main thread only.
void releaseHeldDirectories();

// --- Tree removal (remove_tree.cpp).
// Removes `directory` and everything below it, bottom up. Never enters or
// follows a link or junction: it removes the link itself, and never deletes
// an entry whose final path is not the path it was reached by. True when
// the directory is gone (or was never there).
bool removeDirectoryTree(const wchar_t* directory);
// Deletes one file by the same rules: never what a link leads to.
bool removeFileInPlace(const wchar_t* path);
// Whether a listed name is "." or "..".
bool isDotEntry(const wchar_t* name);
// Whether a directory is held open by a holder that refuses its deletion:
// a live run's proof of life. True also when it cannot be checked.
bool isHeldByAnotherRun(const wchar_t* directory);
// The sweep's removal of a dead run's directory: nothing when it is held,
// or when any entry in it is open anywhere (each is first opened for
// deletion without sharing); then deleted through those handles. `*stop`
// set by another thread ends it at its next entry. True when it is gone.
// Paced by upkeepRestMilliseconds.
bool removeUnusedTree(const wchar_t* directory, const volatile LONG* stop);
// The upkeep's pace: under Wine one server thread serves every process's
// file calls, so a removal going flat out keeps everyone else's calls
// queued. After every batch of `upkeepBatchEntries` entries (claimed or
// deleted) that kept it busy `busyMicroseconds`, against the fastest batch
// of the same removal, it rests this long: a little when nobody is in its
// way, most of the time when others' calls slow its own; bounded, so a
// batch slowed by a busy machine never parks the work for long.
enum : unsigned { upkeepBatchEntries = 32 };
DWORD upkeepRestMilliseconds(uint64_t busyMicroseconds, uint64_t fastestMicroseconds);

// --- System functions bound at run time (system_functions.cpp).
// A function of a system DLL, loaded from the system directory only, so
// that the re-entry road loads nothing but kernel32 and the C runtime before
// the application's DLL, and no DLL planted beside the executable can stand
// in for a system one. Null when the DLL or the function is missing.
FARPROC findSystemFunction(const wchar_t* dll, const char* name);

template <typename Function>
bool bindSystemFunction(Function& pointer, const wchar_t* dll, const char* name)
{
    pointer = reinterpret_cast<Function>(reinterpret_cast<void*>(findSystemFunction(dll, name)));
    return pointer != nullptr;
}
