// The FileInfo record.
#pragma once

#include <cstdint>
#include <vector>

constexpr uint32_t kFileInfoMagic = 0xB71E0402;
constexpr uint32_t kFileInfoFixedSize = 0x60;

// Reads TARN_ROOT; prints the error and returns -1 when it is not set.
int readTarnRoot();
// The filepath padding from TARN_ROOT, with its -v line.
void computeFilepathPadding();
// Takes the SDK tags out of the list, sizes, allocates and fills the record.
int buildFileInfo();
// The record as written: all FileInfo size bytes, fields big-endian.
std::vector<uint8_t> fileInfoBytesForFile();
