// Finalisation of import table sections at their module addresses.
#pragma once

#include "symbols/SymbolState.h"

#include <cstdint>

#include "elf/ElfFormat.h"

// Numbers the import slots of section `index`, writes its count and
// signature, sets its address and final size. 0, or -1 after an error line
// when the table holds no NUL-terminated module name.
// With `groups` (the symbols grouped by section before any table was
// finalised) only the symbols of that section are visited.
struct SymbolsBySection;
int finaliseImportTable(SymbolContext& ctx, uint32_t index, Elf32_Shdr& header, uint32_t address,
                        const SymbolsBySection* groups = nullptr);
