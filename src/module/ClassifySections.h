// Classification of sections into regions and the address-range rules.
#pragma once

#include "elf/ElfFormat.h"

// 0, or -1 after one of the address errors.
int classifySections();
void findLoadRangeEnd();
void moveTableToLoadRange(Elf32_Shdr& header);
