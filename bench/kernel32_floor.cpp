// The floor of a start that shows no window: a windowed program that
// imports kernel32 alone, with no runtime, starts an empty child and waits
// for it. Nothing a bootstrap without a splash does can cost less.
//   kernel32_floor EMPTY_CHILD
#include <windows.h>

// The first argument after argument 0, its quotes taken off, in place.
static wchar_t* firstArgument(wchar_t* line)
{
    bool quoted = false;
    for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
        quoted = *line == L'"' ? !quoted : quoted;
    }
    for (; *line == L' ' || *line == L'\t'; ++line) {
    }
    if (*line == L'"') {
        wchar_t* end = ++line;
        for (; *end != L'\0' && *end != L'"'; ++end) {
        }
        *end = L'\0';
    }
    return line;
}

extern "C" void __stdcall kernel32FloorEntry()
{
    wchar_t* const child = firstArgument(GetCommandLineW());
    STARTUPINFOW startup;
    RtlSecureZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    wchar_t line[] = L"empty_child";
    if (!CreateProcessW(child, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ExitProcess(2);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    ExitProcess(code);
}
