// The default (-new) symbol table, rebuilt around "$TEXT", "$DATA" and "$UNDEF".
//
// Most relocations stop naming their own symbols: one against a symbol of a
// code section names "$TEXT" (symbol 1), one against a data symbol "$DATA"
// (symbol 2), each with the symbol's distance from the lowest used code or
// data section added to the addend, and one against an undefined symbol
// names "$UNDEF" (symbol 3). Only section symbols in use, exports,
// thread-local symbols, referenced imports and absolutes and (without -s)
// plainly named sized functions keep an entry, from index 4 on.
#pragma once

#include "symbols/SymbolState.h"

#include <cstdint>

// The whole rebuild: section roles, the symbol analysis, the numbering, the
// new tables, the rewritten relocations. Does nothing without a symbol table
// or with only the null symbol. 0; -1 after an "***Error: ..." line only when
// the rebuilt string table would not fit in 32 bits (nothing is changed then).
int rebuildSymbolTable(SymbolContext& ctx);

// Fills the section roles, textBase/dataBase and their sections.
void classifySectionsForSymbols(SymbolContext& ctx);
// Sets `referenced` and `export` of every symbol that relocations name.
void markRelocatedSymbols(SymbolContext& ctx);
// Fills the analysis fields and the pseudo-symbol choice of every symbol.
void analyseSymbols(SymbolContext& ctx);
// Numbers the symbols that keep an entry.
void numberKeptSymbols(SymbolContext& ctx);
// Name not empty, not starting with ".", without "..".
bool isPlainName(SymbolContext& ctx, uint32_t symbolIndex);
// Gives the symbol the next new index (once).
void assignNewSymbolId(SymbolContext& ctx, uint32_t symbolIndex);
// Builds both tables, prints the -v2/-v3 dumps, rewrites the relocations and
// installs the tables in place of the input's.
void buildNewSymbolTable(SymbolContext& ctx);
// Rewrites every relocation entry to name a rebuilt symbol.
void rewriteRelocationSymbols(SymbolContext& ctx, uint32_t inputSymbolCount);

const char* symbolTypeName(uint8_t info);
const char* symbolBindingName(uint8_t info);
void dumpSymbolInfo(SymbolContext& ctx, uint32_t symbolIndex);
void dumpPlannedSymbol(SymbolContext& ctx, uint32_t newIndex, uint32_t symbolIndex);
void dumpPlannedSymbolTable(SymbolContext& ctx);
// Entry `newIndex` of the rebuilt table while it is built.
void dumpNewSymbol(SymbolContext& ctx, uint32_t newIndex);
