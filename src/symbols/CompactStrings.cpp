#include "symbols/CompactStrings.h"

int compactStringTables() { return 0; }
int compactStringTable(Elf32_Shdr&, uint32_t) { return 0; }
uint32_t lookupStringOffset(std::vector<StringEntry>&, uint32_t) { return 0; }
