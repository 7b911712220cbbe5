// A second reading of PE files and compiled resources, written apart from
// the packer's writer and sharing no code with it, so that a fault in one is
// not repeated by the other.
#pragma once

#include <map>
#include <string>
#include <vector>

// Every rule of the PE format the written executable must keep that this
// reading finds broken, one line each: sections ascending and contiguous,
// raw data file-aligned, the header sizes, the data directories inside
// their sections, the resource tree inside its section, the checksum.
std::vector<std::string> peRuleProblems(const std::string& file);

// Resources by "type/id/language" (numbers), their bytes: of a PE file's
// resource section, and of a resource compiler's .res file.
using ResourceMap = std::map<std::string, std::string>;
ResourceMap peResources(const std::string& file);
ResourceMap resFileResources(const std::string& file);
