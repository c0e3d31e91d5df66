// The -old -s compaction of string tables to the import names.
#pragma once

#include "symbols/SymbolState.h"

#include <cstdint>
#include <vector>

#include "elf/ElfFormat.h"

// One string of the table being compacted, in table order.
struct StringEntry {
    uint32_t start = 0;      // offset of its first byte in the input table
    uint32_t length = 0;     // bytes including the NUL (counted also when the table lacks it)
    uint32_t uses = 0;       // lookups that found it; non-zero keeps the string
    uint32_t newOffset = 0;  // offset in the compacted table; 0 when not kept
};

// For every string table, the sections that use it: the non-empty SHT_RELA
// sections whose symbol table links to it and the non-empty SHT_SYMTAB
// sections that link to it, each in index order. Compaction changes none of
// these links or sizes, so they are found once for all the tables.
struct StringTableUsers {
    std::vector<std::vector<uint32_t>> relocations;
    std::vector<std::vector<uint32_t>> symbolTables;
};
StringTableUsers findStringTableUsers(SymbolContext& ctx);

// Every non-empty SHT_STRTAB section in turn; 0, or the first failure (-1).
int compactStringTables(SymbolContext& ctx);
// 0 (also when the table is left unchanged), or -1 after an allocation
// failure. Without `users` the sections are searched for the table's users.
int compactStringTable(SymbolContext& ctx, Elf32_Shdr& table, uint32_t index, const StringTableUsers* users = nullptr);
// The entry starting at `offset` gains a use; its newOffset, or 0 after the
// "not found" warning when no string starts there.
uint32_t lookupStringOffset(StringEntry* entries, uint32_t count, uint32_t offset);
