// The default (-new) symbol table, rebuilt around "$TEXT", "$DATA" and "$UNDEF".
#pragma once

#include <cstdint>

void rebuildSymbolTable();
void classifySectionsForSymbols();
void markRelocatedSymbols();
bool isPlainName(uint32_t symbolIndex);
void assignNewSymbolId(uint32_t symbolIndex);
void buildNewSymbolTable();
void rewriteRelocationSymbols(uint32_t inputSymbolCount);

const char* symbolTypeName(uint8_t info);
const char* symbolBindingName(uint8_t info);
void dumpSymbolInfo(uint32_t symbolIndex);
void dumpPlannedSymbol(uint32_t newIndex, uint32_t symbolIndex);
void dumpPlannedSymbolTable();
