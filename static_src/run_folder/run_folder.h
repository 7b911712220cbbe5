// The run's own folder: where it goes (the parent spec the executable was
// built with: "{TEMP}" unless --temp-dir gave another) and its expansion on
// both roads alike; its creation, new and private, and its proof of life;
// the refusal of a start that cannot fit; the sweep of what dead runs left
// in the same parent, as background work while the application runs.
// Depends only on paths.
#pragma once

#include "paths/paths.h"

// --- Place (run_folder.cpp).
// The run folder's whole spec into `spec`: the executable's parent spec
// (only {TEMP}, {HOME}, {CACHE_DIR} and {PROGRAM_DIR}: the packer refuses
// the rest), "\" and the run's own name (ONEFILE_RUN_NAME_SPEC). Stops the
// process when it does not fit 4096 units.
void composeRunFolderSpec(const wchar_t* parentSpec, wchar_t spec[pathCapacity]);
// Expands the run folder's spec below `parentSpec` into `output`
// (`capacity` units with the terminator). {PROGRAM_DIR} is the folder of
// this process's module file, so the parent and its child, whose argument 0
// differ, find one folder. False when a part cannot be expanded or the
// result does not fit.
bool expandRunFolder(const wchar_t* parentSpec, wchar_t* output, size_t capacity);
// The same for any folder spec of the executable's (the cache's root).
bool expandFolderSpec(const wchar_t* spec, wchar_t* output, size_t capacity);
// The parent of `folder` into `parent`; empty when it has none.
void findRunFolderParent(const wchar_t* folder, wchar_t parent[pathCapacity]);

// --- Creation and proof of life (run_folder.cpp).
// Creates `folder`, which must be new (its missing parents are made
// too, private): one that exists may hold whatever someone planted there,
// so it ends the process (one line, exit code 2), never taken over.
void createNewRunFolder(const wchar_t* folder);
// The proof of life: `folder` held open, refusing deletion, from
// right after its creation until the cleanup begins; another start's sweep
// takes a folder it cannot open for deletion as alive. Ends the process
// when the folder cannot be held. Main thread.
void holdRunFolder(const wchar_t* folder);
// Takes `hold` (of the shared cache's version folder) as the run's own.
void adoptRunFolderHold(HANDLE hold);
// Lets go of the hold, once, from any thread.
void releaseRunFolderHold();
// Ends the process (one line naming the folder asked, exit code 2) when
// `needed` bytes do not fit in the free space of the volume of `parent`,
// or of its nearest folder that exists: nothing is written then.
void refuseRunThatCannotFit(const wchar_t* parent, uint64_t needed);

// A new file `name` in `folder` holding `length` bytes of `text`, for the
// marks and records kept beside a run's files: made new, never written
// through a name that exists (a link among them). False when the name
// exists or the file cannot be written whole.
bool writeNewFile(const wchar_t* folder, const wchar_t* name, const char* text, DWORD length);

// --- Background work (background.cpp): one piece of work at a time on a
// thread of its own, begun after a delay, while the application runs.
// Starts `work`, which looks at `*stop` between its steps; false when no
// thread can be made. `argument` (malloc'd, or null) is the work's until
// stopBackgroundWork frees it.
bool startBackgroundWork(void (*work)(void* argument, const volatile LONG* stop), void* argument,
                         DWORD delayMilliseconds);
// Ends the work (the sweep or the cache's upkeep) at its next step, waits
// for that and frees its argument; nothing when none runs. Any thread, any
// number of times: the cleanup's first step.
void stopBackgroundWork();
// Whether the work stopBackgroundWork ended had not finished (or not begun):
// an application that returns at once ends it before its delay is over.
bool wasBackgroundWorkCutShort();

// One start at a time works on a folder's leftovers (the runs' parent, or
// a cache's name folder): a named mutex per folder and user, which only the
// user and the system can open. The turn, or null when another start has
// it (that one does the work; this one leaves at once) or when the name is
// an object a stranger made (traced; nobody's work then).
enum { upkeepTurnNameCapacity = 320 };
bool nameUpkeepTurn(const wchar_t* folder, wchar_t name[upkeepTurnNameCapacity]);
enum class UpkeepTurnState { taken, busy, stranger };
// The turn's state from whether its mutex could be created or opened, and
// the result of waiting for it without delay.
UpkeepTurnState judgeUpkeepTurn(bool opened, DWORD waited);
HANDLE takeUpkeepTurn(const wchar_t* folder);
void giveUpUpkeepTurn(HANDLE turn);

// --- Sweep of dead runs (sweep.cpp).
// Removes what earlier runs that can no longer clean up (killed, crashed)
// left directly in `parent`: run folders and splash feedback files by their
// exact names, without a proof of life and unused, at most 8 per call. A
// run folder that could not go is marked stuck inside ("onefile-sweep.stuck")
// and not walked again for 10 minutes. Never fails; returns how many went,
// or -1 when another start sweeps `parent` at the moment.
int sweepDeadRuns(const wchar_t* parent);
// Whether a stuck mark made at `markedAt` still holds at `now` (system
// times; a mark from the future, after the clock stepped back, does not).
bool isStuckMarkStillValid(uint64_t markedAt, uint64_t now);
// A splash feedback file's run is live while its process runs and began no
// later than the file was made (a process at a reused id began later);
// when that cannot be asked, the file counts as live. Times are system
// times.
enum class ProcessState { gone, running, cannotTell };
bool isFeedbackFileLive(ProcessState owner, uint64_t ownerBegan, uint64_t fileMade);
// What can be learnt of the process `processId`: whether it runs (`began`
// set to when it began), is gone, or cannot be asked (access denied, its
// times unreadable), which every caller takes as running.
ProcessState findProcessState(DWORD processId, uint64_t& began);
// The same as background work, half a second after it is called; nothing
// when `parent` holds no run's name of another process. stopBackgroundWork
// ends it.
void startSweep(const wchar_t* parent);
