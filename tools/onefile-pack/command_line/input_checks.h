// What build and create check before anything is compressed, and the
// depfile they write for the build system.
#pragma once

#include "command_line/arguments.h"

// Everything a command can check before it compresses: the input folder,
// the output's place, the specs, the version texts, the signing inputs, the
// splash and the icon. Throws pack::Error naming what is wrong.
void checkInputs(const Arguments& arguments);
// A make rule for the output naming every input (arguments.depfile);
// throws pack::Error for a path the build's depfile cannot carry.
void writeDepfile(const Arguments& arguments, const pack::Payload& payload);
