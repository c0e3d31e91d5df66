// The operations of qdldump, one per mode; each prints through the run and
// returns the exit status.
#pragma once

#include <vector>

#include "dump/DumpRun.h"
#include "dump/ModuleImage.h"

int32_t checkMode(DumpRun& run, ByteSpan bytes);
int32_t dumpModuleMode(DumpRun& run, const ModuleImage& module);
int32_t jsonMode(DumpRun& run, const ModuleImage& module);
int32_t unpackMode(DumpRun& run, const ModuleImage& module);
int32_t extractMode(DumpRun& run, const ModuleImage& module);
int32_t diffMode(DumpRun& run, const ModuleImage& a, const ModuleImage& b);
int32_t libraryMode(DumpRun& run, ByteSpan bytes);

// Writes bytes to a file, printing the reason when it fails.
int32_t writeOutputFile(DumpRun& run, const std::string& path, const std::vector<uint8_t>& bytes);

// The unpacked ELF file; sections whose contents are unknown are written
// empty and listed in `missing`.
std::vector<uint8_t> unpackModule(const ModuleImage& module, std::vector<const ModuleSection*>& missing);
// A section by index (all digits) or name; null when there is none.
const ModuleSection* findModuleSection(const ModuleImage& module, const std::string& wanted);
