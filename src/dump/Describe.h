// Names and figures shared by the dump, the JSON document and the diff.
#pragma once

#include <string>

#include "dump/ModuleImage.h"

std::string sectionTypeName(uint32_t type);
// W, A, X, I (info link), T (thread-local) and Z (compressed) for the flags set, "-" for none.
std::string sectionFlagLetters(uint32_t flags);
// "QDX" or "QDL" by the FileInfo flag.
const char* moduleKindName(const ModuleImage& module);
// Uncompressed over stored size, as a percentage of the uncompressed size
// that the stored bytes take.
double storedRatio(uint64_t memory, uint64_t stored);

struct ModuleTotals {
    uint64_t memoryBytes = 0;  // uncompressed bytes of the sections with contents
    uint64_t storedBytes = 0;  // what they take in the file
};
ModuleTotals moduleTotals(const ModuleImage& module);

// One FileInfo field with its name, for the dump, JSON and the diff.
struct FileInfoField {
    const char* name;
    uint32_t value;
};
std::vector<FileInfoField> fileInfoFields(const FileInfoRecord& info);
// "QDX, TLS" ... for the flags word.
std::string fileInfoFlagNames(uint32_t flags);
