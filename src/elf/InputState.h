// The input image of a run and the section contents that passes have given
// room of their own.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "elf/ElfImage.h"

struct MappedFile;

struct InputState {
    MappedFile* inputMapping = nullptr;  // held for the whole run
    bool hasImage = false;
    ElfImage image;
    // Contents that replace a section's mapped bytes (rebuilt tables that do
    // not fit in the input section, import tables that grow). The module file
    // is written from these buffers.
    std::unordered_map<uint32_t, std::vector<uint8_t>> ownContents;
};
