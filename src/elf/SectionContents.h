// Access to the contents of the input's sections. Every pass reads and
// writes section contents through these, never through sh_offset directly,
// so that a section given room of its own is seen the same way everywhere
// and no pass reads outside the mapped file.
#pragma once

#include "elf/InputState.h"

#include <cstdint>
#include <vector>

#include "elf/ElfFormat.h"

// Header of input section `index`; nullptr when index is not below e_shnum
// or the header would lie outside the file. Every pass reaches section
// headers through this. The stride is the input's e_shentsize, which the
// reader holds to 40 before any pass runs (the reader's own checks look at
// the headers of an input with another stride before refusing it).
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

// The entries of a table section: sh_size / stride of them, as far as whole
// entries lie inside the section's contents (a section whose contents end
// early has fewer). Entry k starts k x stride bytes in.
template <class Entry>
struct EntrySpan {
    uint8_t* bytes = nullptr;
    uint32_t stride = sizeof(Entry);
    uint32_t count = 0;

    uint8_t* entryBytes(uint32_t k) const { return bytes + size_t(k) * stride; }
    Entry& operator[](uint32_t k) const { return *reinterpret_cast<Entry*>(entryBytes(k)); }
};

template <class Entry>
EntrySpan<Entry> sectionEntries(ElfContext& ctx, uint32_t index, uint32_t stride) {
    EntrySpan<Entry> span;
    span.stride = stride;
    const Elf32_Shdr* header = inputSectionHeader(ctx, index);
    uint8_t* bytes = sectionContents(ctx, index);
    if (!header || !bytes || stride == 0) return span;
    const uint32_t capacity = sectionContentsCapacity(ctx, index);
    const uint32_t fitting = capacity < sizeof(Entry) ? 0 : (capacity - uint32_t(sizeof(Entry))) / stride + 1;
    const uint32_t count = header->sh_size / stride;
    span.bytes = bytes;
    span.count = count < fitting ? count : fitting;
    return span;
}

// The entries of a SHT_RELA section as the loader reads them: 12 bytes
// apart, whatever sh_entsize says.
inline EntrySpan<Elf32_Rela> relocationEntries(ElfContext& ctx, uint32_t index) {
    return sectionEntries<Elf32_Rela>(ctx, index, sizeof(Elf32_Rela));
}

// The entries of a table section stepped by its sh_entsize (`standard` when
// that is 0), each `Entry` in size.
template <class Entry>
EntrySpan<Entry> tableEntries(ElfContext& ctx, uint32_t index) {
    const Elf32_Shdr* header = inputSectionHeader(ctx, index);
    const uint32_t stride = header && header->sh_entsize != 0 ? header->sh_entsize : uint32_t(sizeof(Entry));
    return sectionEntries<Entry>(ctx, index, stride);
}

// Gives section `index` a buffer of its own that replaces the mapped bytes
// for every later pass and for the module file; returns its first byte.
uint8_t* replaceSectionContents(ElfContext& ctx, uint32_t index, std::vector<uint8_t> buffer);

// Gives every section whose bytes in the file overlap the ELF header, the
// program header table or the section header table a copy of those bytes of
// its own, so that the passes that rewrite contents (name and string table
// compaction, the rebuilt symbol table, the return to the file's byte order)
// never rewrite a header. Sections of a sound input overlap none of them.
void detachSectionsOverHeaders(ElfContext& ctx);
