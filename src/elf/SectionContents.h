// Access to the contents of the input's sections. Every pass reads and
// writes section contents through these, never through sh_offset directly,
// so that a section given room of its own is seen the same way everywhere
// and no pass reads outside the mapped file.
#pragma once

#include "elf/InputState.h"

#include <cstdint>
#include <vector>

#include "elf/ElfFormat.h"

// Header of input section `index` (standard 40-byte stride); nullptr when
// index is not below e_shnum.
Elf32_Shdr* inputSectionHeader(ElfContext& ctx, uint32_t index);

// The contents of input section `index`: its own buffer when a pass gave it
// one, else the mapped bytes at sh_offset when sh_offset lies inside the
// file; nullptr otherwise (no such section, or an offset outside the file).
// Whatever the section's type, the mapped bytes are what the file holds there.
uint8_t* sectionContents(ElfContext& ctx, uint32_t index);

// How many bytes may be read or written at sectionContents(index): the size
// of its own buffer, or, for the mapped bytes, the smaller of the section's
// current sh_size and the bytes left in the file from sh_offset; 0 when there
// are no contents. Readers treat bytes beyond the capacity as zero.
uint32_t sectionContentsCapacity(ElfContext& ctx, uint32_t index);

// Gives section `index` a buffer of its own that replaces the mapped bytes
// for every later pass and for the module file; returns its first byte.
uint8_t* replaceSectionContents(ElfContext& ctx, uint32_t index, std::vector<uint8_t> buffer);

// Gives every section whose bytes in the file overlap the ELF header, the
// program header table or the section header table a copy of those bytes of
// its own, so that the passes that rewrite contents (name and string table
// compaction, the rebuilt symbol table, the return to the file's byte order)
// never rewrite a header. Sections of a sound input overlap none of them.
void detachSectionsOverHeaders(ElfContext& ctx);
