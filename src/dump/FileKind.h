// What a file given to qdldump is, by its first bytes.
#pragma once

#include <string>

#include "dump/ModuleImage.h"

enum class FileKind { module, otherElf, library, other };

FileKind fileKind(ByteSpan bytes);

// "an import library (ar archive)", "an ELF file that is not a module
// (e_type 0x0002, OS/ABI 0)", ... for messages saying what a file is not.
std::string describeFile(ByteSpan bytes);

// Reads a whole file; false with a message in `error` when it cannot.
bool readInputFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
