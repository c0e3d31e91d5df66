#include "symbols/SymbolAccess.h"

Elf32_Shdr* sectionHeaderAt(uint32_t) { return nullptr; }
Elf32_Shdr* findSymbolTable() { return nullptr; }
int bindSymbolTable() { return -1; }
std::string_view symbolName(const Elf32_Sym&) { return "<NULL>"; }
std::string_view sectionNameTable() { return {}; }
bool hasSectionNameTable() { return false; }
std::string_view sectionName(const Elf32_Shdr&) { return "<NULL>"; }
std::string_view sectionNameAt(uint32_t) { return {}; }
uint32_t findSectionByName(std::string_view) { return 0; }
void removeSymbolsOfSection(uint32_t) {}
