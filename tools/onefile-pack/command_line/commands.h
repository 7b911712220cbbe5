// The commands of onefile-pack, each returning the exit code.
#pragma once

#include <string>

int create(int argc, char** argv);
int build(int argc, char** argv);
int list(const char* path);
// Writes the files of the block in `path` below `folder`.
int extract(const char* path, const char* folder);
// Checks the block and the signature; `trusted` names a PEM file of roots
// to trust beside Debian's CA bundle, or is empty.
int verify(const char* path, const std::string& trusted);
