// PE files made by hand for the packer's reader: small well-formed ones
// for its tests, and crafted ones whose tables multiply the work (for the
// refusal tests and the packer benchmark).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A PE32+ DLL: one section at RVA 0x1000 holding `section`, and data
// directories (index, RVA, size) pointing into it. `paddingSections` empty
// sections at high addresses come first in the section table, so that a
// reader that scans the table per lookup pays for each of them.
std::vector<uint8_t> handMadeDll(const std::vector<uint8_t>& section,
                                 const std::vector<std::array<uint32_t, 3>>& directories, uint16_t paddingSections = 0);

// How the descriptors of sharedThunksDll import.
enum class SharedThunks { named, ordinals, delayedOrdinals };

// `descriptors` import (or delay-load) descriptors that all share one table
// of `thunks` entries: a few hundred kilobytes that name descriptors *
// thunks imports (each `function`, when named).
std::vector<uint8_t> sharedThunksDll(uint32_t descriptors, uint32_t thunks, SharedThunks kind = SharedThunks::named,
                                     const std::string& function = "f");

// A DLL exporting run_code and `count` names "f<i>".
std::vector<uint8_t> manyExportsDll(uint32_t count, uint16_t paddingSections = 0);

// A DLL exporting run_code that imports from `dll` the names "f0" to
// "f<count - 1>" (then `extra`, when not empty), spread over `descriptors`
// descriptors.
std::vector<uint8_t> importsOfAllDll(const std::string& dll, uint32_t count, uint32_t descriptors,
                                     const std::string& extra = "", uint16_t paddingSections = 0);

// A DLL exporting run_code whose delay-load directory imports `function`
// from `dll`.
std::vector<uint8_t> delayImportingDll(const std::string& dll, const std::string& function);
