// The commands of onefile-pack, each returning the exit code.
#pragma once

int create(int argc, char** argv);
int build(int argc, char** argv);
int list(const char* path);
int verify(const char* path);
