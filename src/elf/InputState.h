// The input image of a run and the section contents that passes have given
// room of their own; the context of the ELF passes.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/Context.h"
#include "core/MappedFile.h"
#include "elf/ElfImage.h"

// Releases the input mapping with the context that holds it.
struct MappingRelease {
    void operator()(MappedFile* mapping) const { releaseMappedFile(mapping); }
};

// The small-data-area bases the loader sets up: the values of _SDA_BASE_ and
// _SDA2_BASE_, each kDefaultSdaBase when the input does not define it.
constexpr uint32_t kDefaultSdaBase = 0x8000;
struct SmallDataBases {
    uint32_t sdaBase = 0;
    uint32_t sda2Base = 0;
};

struct InputState {
    // Held until the module is published; the image's bytes lie in it.
    std::unique_ptr<MappedFile, MappingRelease> inputMapping;
    bool hasImage = false;
    ElfImage image;
    SmallDataBases smallData;
    // Contents that replace a section's mapped bytes (rebuilt tables that do
    // not fit in the input section, import tables that grow). The module file
    // is written from these buffers.
    std::unordered_map<uint32_t, std::vector<uint8_t>> ownContents;
};

struct ElfContext : Context {
    InputState input;
};
