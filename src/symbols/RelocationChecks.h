// The loader's rules on relocations.
#pragma once

#include <cstdint>

#include "elf/ElfFormat.h"

int checkRelocationSection(const Elf32_Shdr& relocationSection, uint32_t index);
int checkAllRelocations();
