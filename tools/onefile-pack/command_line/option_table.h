// Every option of onefile-pack, once: the parser reads it, and the usage
// text, the manual page and the README's table of options are all made
// from it (make_docs prints the last two), so none of them can drift.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct Arguments;

// Which commands take an option.
enum class OptionScope { createAndBuild, buildOnly, verifyOnly, general, cmakeOnly };

struct OptionRow {
    const char* name;   // the long name without "--" ("o" for -o); "" for a CMake keyword alone
    const char* value;  // the value's placeholder, "" for a flag
    OptionScope scope;
    const char* keyword;  // onefile_add_executable's keyword as the README shows it (markdown), or ""
    const char* summary;  // one sentence, for --help and the README's table
    const char* detail;   // what the manual page says beyond it, or ""
    void (*apply)(Arguments& arguments, const char* value);  // null when the parser does not read it
};

const std::vector<OptionRow>& optionRows();

// "--name VALUE", or "-o APP.exe".
std::string spellOption(const OptionRow& row);

// The usage of every command, and one command's (false for an unknown one).
void printUsage(std::FILE* stream);
bool printCommandUsage(const std::string& command, std::FILE* stream);

// The manual page onefile-pack(1), in roff, for `version`.
std::string renderManPage(const std::string& version);
// The README's table of options, in markdown, its heading row included.
std::string renderOptionTable();
