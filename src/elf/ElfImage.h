// The image model: the mapped bytes of an ELF file after the reader has
// validated it and converted its tables to host byte order in place.
#pragma once

#include <cstdint>
#include <string_view>

#include "elf/ElfFormat.h"

struct ElfImage {
    uint8_t* bytes = nullptr;       // first byte of the file view; the ELF header lies here
    uint32_t byteCount = 0;         // low 32 bits of the file size
    uint32_t headerSize = 0;        // e_ehsize, or 52 when it is 0
    uint8_t* sectionHeaders = nullptr;  // bytes + e_shoff
    uint32_t sectionHeaderSize = 0;     // e_shentsize, or 40 when it is 0
    uint8_t* programHeaders = nullptr;  // bytes + e_phoff
    uint32_t programHeaderSize = 0;     // e_phentsize, or 32 when it is 0
    // The reader emptied a relocation section for the null section whose
    // first entry was zero (-warnemptyrela reports it).
    bool emptyRelaSeen = false;

    Elf32_Ehdr& header() const { return *reinterpret_cast<Elf32_Ehdr*>(bytes); }
    bool littleEndian() const { return bytes[EI_DATA] == ELFDATA2LSB; }
    uint32_t sectionCount() const { return header().e_shnum; }
};
