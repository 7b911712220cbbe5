// The run's own folder: where it goes (the parent spec the executable was
// built with: "{TEMP}" unless --temp-dir gave another), its expansion on
// both roads alike. Depends only on paths.
#pragma once

#include "paths/paths.h"

// Set by the build beside the attached data: the parent spec in UTF-16,
// ended by a 0 unit. Only {TEMP}, {HOME}, {CACHE_DIR} and {PROGRAM_DIR}
// (the packer refuses the rest).
extern "C" const wchar_t onefileRunParentSpec[];

// The run folder's whole spec: the parent spec, "\" and the run's own name
// ("onefile_{PID}_{TIME_US}_{RANDOM}"), for messages. Stops the process when
// it does not fit 4096 units.
const wchar_t* runFolderSpec();
// Expands the run folder's spec into `output` (`capacity` units with the
// terminator). {PROGRAM_DIR} is the folder of this process's module file,
// so the parent and its child, whose argument 0 differ, find one folder.
// False when a part cannot be expanded or the result does not fit.
bool expandRunFolder(wchar_t* output, size_t capacity);
