// The symbol-table view and the lookups built on it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "elf/ElfFormat.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolState.h"

// Header of the section that a symbol's st_shndx or a link names: indexes
// above 0xFF00 are the special ones and name no section (nullptr), whatever
// e_shnum says; otherwise inputSectionHeader.
inline Elf32_Shdr* sectionHeaderAt(SymbolContext& ctx, uint32_t index) {
    return index > SHN_LORESERVE ? nullptr : inputSectionHeader(ctx, index);
}

// First SHT_SYMTAB section from index 1 on, remembered as the symbol table header.
Elf32_Shdr* findSymbolTable(SymbolContext& ctx);

// Fills the symbol-table view. 0, or -1 after an "***Error: ..." line when
// the input has no symbol table or its symbol table names no string table.
int bindSymbolTable(SymbolContext& ctx);

// The symbols of the view as they stand now, with the number of entries that
// may be read there: the view's symbol count, bounded by the contents of the
// symbol table section. nullptr and 0 when no table is bound.
Elf32_Sym* viewSymbols(SymbolContext& ctx, uint32_t& count);

// How many bytes of the bound string table's contents may be read or
// rewritten in place: its contents' capacity, or, while they are still the
// bytes it was bound with, as many as it held then.
uint32_t symbolStringsReadable(SymbolContext& ctx);

// Name of a symbol ("<NULL>" without a string table). An st_name beyond the
// string size prints the out-of-range warning and yields the empty name; the
// name never reaches outside the string table (it ends at its NUL or at the
// end of the table).
std::string_view symbolName(SymbolContext& ctx, const Elf32_Sym& symbol);

// The section-name table bytes (cached), or an empty view when there is none.
std::string_view sectionNameTable(SymbolContext& ctx);
bool hasSectionNameTable(SymbolContext& ctx);
// Name of a section header; "<NULL>" without a section-name table.
std::string_view sectionName(SymbolContext& ctx, const Elf32_Shdr& header);
// Name of the section at `index`; empty when index > 0xFF00 or there is no table.
std::string_view sectionNameAt(SymbolContext& ctx, uint32_t index);
// First section 1 .. e_shnum-1 with that name, or 0.
uint32_t findSectionByName(SymbolContext& ctx, std::string_view name);
// Zeroes every symbol of section `index` (printing each under -v).
void removeSymbolsOfSection(SymbolContext& ctx, uint32_t index);

// The symbols of the bound table grouped by st_shndx, each group in symbol
// order: the symbols of section s are order[first[s]] .. order[first[s + 1] - 1]
// (sections below `sectionCount`). Lets the symbols of many sections be
// removed in one walk over the table instead of one walk per section.
struct SymbolsBySection {
    std::vector<uint32_t> first;
    std::vector<uint32_t> order;
};
SymbolsBySection groupSymbolsBySection(SymbolContext& ctx, uint32_t sectionCount);
// removeSymbolsOfSection for a table grouped before any of its symbols changed.
void removeSymbolsOfSection(SymbolContext& ctx, uint32_t index, const SymbolsBySection& groups);
