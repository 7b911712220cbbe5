#include "run_folder.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

struct BackgroundWork {
    void (*work)(void* argument, const volatile LONG* stop);
    void* argument;
    DWORD delayMilliseconds;
    volatile LONG stop;
    HANDLE stopped;          // set with `stop`, for the thread's first wait
    volatile LONG finished;  // the work returned before any stop
};

// Whether the last work stopped was stopped before it finished: written by
// stopBackgroundWork, which owns the work then.
static volatile LONG lastWorkCutShort;

// The running work: made by startBackgroundWork, taken (exchanged for null)
// by stopBackgroundWork, which waits for the thread and frees both.
static HANDLE volatile backgroundThread;
static BackgroundWork* backgroundWork;

static DWORD WINAPI runBackgroundWork(void* parameter)
{
    BackgroundWork& background = *static_cast<BackgroundWork*>(parameter);
    // It yields to the application, whose start comes first.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
    if (WaitForSingleObject(background.stopped, background.delayMilliseconds) == WAIT_TIMEOUT) {
        background.work(background.argument, &background.stop);
        InterlockedExchange(&background.finished, background.stop == 0);
    }
    return 0;
}

bool startBackgroundWork(void (*work)(void* argument, const volatile LONG* stop), void* argument,
                         DWORD delayMilliseconds)
{
    BackgroundWork* const background = static_cast<BackgroundWork*>(calloc(1, sizeof(BackgroundWork)));
    if (background == nullptr || (background->stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr)) == nullptr) {
        free(background);
        return false;
    }
    background->work = work;
    background->argument = argument;
    background->delayMilliseconds = delayMilliseconds;
    backgroundWork = background;
    const HANDLE thread = CreateThread(nullptr, 0, runBackgroundWork, background, 0, nullptr);
    if (thread == nullptr) {
        backgroundWork = nullptr;
        CloseHandle(background->stopped);
        free(background);
        return false;
    }
    exchangeHandle(backgroundThread, thread);
    return true;
}

void stopBackgroundWork()
{
    const HANDLE thread = exchangeHandle(backgroundThread, nullptr);
    if (thread == nullptr) {
        return;
    }
    InterlockedExchange(&backgroundWork->stop, 1);
    SetEvent(backgroundWork->stopped);
    WaitForSingleObject(thread, INFINITE);
    InterlockedExchange(&lastWorkCutShort, backgroundWork->finished == 0);
    CloseHandle(thread);
    CloseHandle(backgroundWork->stopped);
    free(backgroundWork->argument);
    free(backgroundWork);
    backgroundWork = nullptr;
}

bool wasBackgroundWorkCutShort()
{
    return lastWorkCutShort != 0;
}

UpkeepTurnState judgeUpkeepTurn(bool opened, DWORD waited)
{
    if (!opened) {
        return UpkeepTurnState::stranger;
    }
    // A holder that died leaves the turn abandoned, which is free.
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED ? UpkeepTurnState::taken : UpkeepTurnState::busy;
}

bool nameUpkeepTurn(const wchar_t* folder, wchar_t name[upkeepTurnNameCapacity])
{
    // FNV-1a over the folder's name in lower case: one name per folder,
    // however a start spelt it.
    uint64_t hash = 14695981039346656037ull;
    for (const wchar_t* c = folder; *c != L'\0'; ++c) {
        hash = (hash ^ static_cast<uint64_t>(towlower(*c))) * 1099511628211ull;
    }
    wchar_t user[userSidCapacity];
    return readUserSidText(user) && swprintf(name, upkeepTurnNameCapacity, L"Local\\onefile-upkeep-%ls-%016llx", user,
                                             static_cast<unsigned long long>(hash)) > 0;
}

HANDLE takeUpkeepTurn(const wchar_t* folder)
{
    // The user's own name, with an object only the user and the system can
    // open: another user's object of that name (or one of another kind)
    // cannot be opened, and counts as a stranger's.
    wchar_t name[upkeepTurnNameCapacity];
    const HANDLE turn = nameUpkeepTurn(folder, name) ? CreateMutexW(privateObjectAttributes(), FALSE, name) : nullptr;
    const DWORD error = GetLastError();
    const DWORD waited = turn != nullptr ? WaitForSingleObject(turn, 0) : WAIT_FAILED;
    switch (judgeUpkeepTurn(turn != nullptr, waited)) {
    case UpkeepTurnState::taken:
        return turn;
    case UpkeepTurnState::stranger:
        traceStep(L"upkeep: the turn for %ls is an object a stranger made ([Error %lu]); left to it", folder, error);
        return nullptr;
    default:
        CloseHandle(turn);
        return nullptr;
    }
}

void giveUpUpkeepTurn(HANDLE turn)
{
    if (turn != nullptr) {
        ReleaseMutex(turn);
        CloseHandle(turn);
    }
}
