// The -old -s compaction of string tables to the import names.
#pragma once

#include <cstdint>
#include <vector>

#include "elf/ElfFormat.h"

struct StringEntry {
    uint32_t start = 0;
    uint32_t length = 0;  // including the NUL
    uint32_t uses = 0;
    uint32_t newOffset = 0;
};

int compactStringTables();
int compactStringTable(Elf32_Shdr& table, uint32_t index);
uint32_t lookupStringOffset(std::vector<StringEntry>& entries, uint32_t offset);
