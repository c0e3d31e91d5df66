#include "symbols/RebuildSymbols.h"

void rebuildSymbolTable() {}
void classifySectionsForSymbols() {}
void markRelocatedSymbols() {}
bool isPlainName(uint32_t) { return false; }
void assignNewSymbolId(uint32_t) {}
void buildNewSymbolTable() {}
void rewriteRelocationSymbols(uint32_t) {}
const char* symbolTypeName(uint8_t) { return "other"; }
const char* symbolBindingName(uint8_t) { return "other"; }
void dumpSymbolInfo(uint32_t) {}
void dumpPlannedSymbol(uint32_t, uint32_t) {}
void dumpPlannedSymbolTable() {}
