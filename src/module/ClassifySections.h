// Classification of sections into regions and the address-range rules.
#pragma once

#include "module/ModuleState.h"

#include "elf/ElfFormat.h"

// 0, or -1 after one of the address errors.
int classifySections(ModuleContext& ctx);
void findLoadRangeEnd(ModuleContext& ctx);
void moveTableToLoadRange(ModuleContext& ctx, Elf32_Shdr& header);
