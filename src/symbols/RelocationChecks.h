// The loader's rules on relocations.
#pragma once

#include "symbols/SymbolState.h"

#include <cstdint>

#include "elf/ElfFormat.h"

int checkRelocationSection(SymbolContext& ctx, const Elf32_Shdr& relocationSection, uint32_t index);
int checkAllRelocations(SymbolContext& ctx);
