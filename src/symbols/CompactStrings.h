// The -old -s compaction of string tables to the import names.
#pragma once

#include <cstdint>

#include "elf/ElfFormat.h"

// One string of the table being compacted, in table order.
struct StringEntry {
    uint32_t start = 0;      // offset of its first byte in the input table
    uint32_t length = 0;     // bytes including the NUL (counted also when the table lacks it)
    uint32_t uses = 0;       // lookups that found it; non-zero keeps the string
    uint32_t newOffset = 0;  // offset in the compacted table; 0 when not kept
};

// Every non-empty SHT_STRTAB section in turn; 0, or the first failure (-1).
int compactStringTables();
// 0 (also when the table is left unchanged), or -1 after an allocation failure.
int compactStringTable(Elf32_Shdr& table, uint32_t index);
// The entry starting at `offset` gains a use; its newOffset, or 0 after the
// "not found" warning when no string starts there.
uint32_t lookupStringOffset(StringEntry* entries, uint32_t count, uint32_t offset);
