// The FileInfo record.
#pragma once

#include "module/ModuleState.h"

#include <cstdint>
#include <vector>

constexpr uint32_t kFileInfoMagic = 0xB71E0402;
constexpr uint32_t kFileInfoFixedSize = 0x60;

// Reads TARN_ROOT; prints the error and returns -1 when it is not set.
int readTarnRoot(ModuleContext& ctx);
// The filepath padding from TARN_ROOT, with its -v line.
void computeFilepathPadding(ModuleContext& ctx);
// Takes the SDK tags out of the list, sizes, allocates and fills the record.
int buildFileInfo(ModuleContext& ctx);
// The record as written: all FileInfo size bytes, fields big-endian.
std::vector<uint8_t> fileInfoBytesForFile(ModuleContext& ctx);
