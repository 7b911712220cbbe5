// Runs one bootstrap routine named on the command line, so that tests can
// watch routines that end the process: their streams and exit codes.
#include "OnefileSplashScreen/splash.h"
#include "child_process/child_process.h"
#include "driver/driver.h"
#include "paths/paths.h"
#include "run_folder/run_folder.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static void printWide(const wchar_t* text)
{
    char utf8[3 * pathCapacity * 4];
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    fputs(length > 0 ? utf8 : "(unprintable)", stdout);
}

static char* narrow(const wchar_t* text)
{
    static char buffer[4096];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return buffer;
}

static int usage()
{
    fputs("usage: onefile_probe ROUTINE [ARGUMENTS]\n", stderr);
    return 64;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return usage();
    const wchar_t* routine = argv[1];
    if (wcscmp(routine, L"fatal-error") == 0 && argc == 3) {
        fatalError(narrow(argv[2]));
    }
    if (wcscmp(routine, L"fatal-system-error") == 0 && argc == 4) {
        fatalSystemError(narrow(argv[2]), wcstoul(argv[3], nullptr, 0));
    }
    if (wcscmp(routine, L"fatal-spec") == 0 && argc == 3) {
        fatalSpecExpansion(argv[2]);
    }
    if (wcscmp(routine, L"expand") == 0 && argc == 4) {
        static wchar_t output[2 * pathCapacity];
        const bool expanded = expandPathSpec(output, argv[2], wcstoul(argv[3], nullptr, 10));
        fputs(expanded ? "true " : "false ", stdout);
        printWide(output);
        return 0;
    }
    if (wcscmp(routine, L"expand-without-argv0") == 0 && argc == 3) {
        static wchar_t output[pathCapacity];
        __argc = 0;
        expandPathSpec(output, argv[2], pathCapacity);
        return 0;
    }
    if (wcscmp(routine, L"overlong-command-line") == 0 && argc == 2) {
        // Two arguments that together pass the command line's capacity.
        static wchar_t line[40100];
        wcscpy(line, L"app.exe ");
        wmemset(line + 8, L'x', 40000);
        wcscpy(childExecutablePath, L"C:\\app.exe");
        buildChildCommandLine(line);
        return 0;
    }
    if (wcscmp(routine, L"sweep") == 0 && argc == 3) {
        printf("%d\n", sweepDeadRuns(argv[2]));
        return 0;
    }
    if (wcscmp(routine, L"print-arguments") == 0) {
        // What a plain program built with this toolchain receives: one
        // line per argument after the routine's name, its UTF-8 in hex.
        for (int i = 2; i < argc; ++i) {
            for (const char* c = narrow(argv[i]); *c != '\0'; ++c) printf("%02x", static_cast<unsigned char>(*c));
            putchar('\n');
        }
        return 0;
    }
    if (wcscmp(routine, L"wait-then-exit") == 0 && argc == 4) {
        // Until the test deletes the file; bounded so a dead test leaves no process.
        for (int i = 0; i < 12000 && GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
        return static_cast<int>(wcstoul(argv[3], nullptr, 0));
    }
    if (wcscmp(routine, L"cleanup") == 0 && argc == 3) {
        static TargetFolder target = {{}, true};
        copyWideBounded(target.path, pathCapacity, argv[2], "the directory does not fit");
        publishCleanupTarget(&target);
        cleanupChildAndTarget();
        return 0;
    }
    if (wcscmp(routine, L"remove-tree") == 0 && argc == 3) {
        return removeDirectoryTree(argv[2]) ? 0 : 1;
    }
    if (wcscmp(routine, L"create-target") == 0 && argc == 3) {
        createTargetDirectory(argv[2]);
        return GetFileAttributesW(argv[2]) & FILE_ATTRIBUTE_DIRECTORY ? 0 : 1;
    }
    if (wcscmp(routine, L"feedback-file") == 0 && argc == 2) {
        createSplashFeedbackFile();
        printWide(splashFeedbackPath);
        return splashFeedbackPending ? 0 : 1;
    }
    if (wcscmp(routine, L"env-get") == 0 && argc == 3) {
        wchar_t* value = getEnvVar(narrow(argv[2]));
        printWide(value != nullptr ? value : L"(null)");
        return 0;
    }
    if (wcscmp(routine, L"shorten") == 0 && argc == 4) {
        static wchar_t path[2 * pathCapacity];
        wcsncpy(path, argv[2], 2 * pathCapacity - 1);
        shortenPathDirectories(path, wcstoul(argv[3], nullptr, 10));
        printWide(path);
        return 0;
    }
    if (wcscmp(routine, L"executable-path") == 0 && argc == 2) {
        const wchar_t* plain = getExecutablePath();
        const wchar_t* resolved = getResolvedExecutablePath();
        // A second call must hand out the cached buffers unchanged.
        const bool cached = getExecutablePath() == plain && getResolvedExecutablePath() == resolved;
        printWide(plain);
        fputs("\n", stdout);
        printWide(resolved);
        fputs(cached ? "\ncached\n" : "\nnot cached\n", stdout);
        return 0;
    }
    if (wcscmp(routine, L"ensure-parents") == 0 && argc == 3) {
        ensureParentDirectories(argv[2]);
        return 0;
    }
    return usage();
}
