// Which sections the module needs, and the compacted section-name table.
#pragma once

#include "module/ModuleState.h"

// ".export" loses SHF_ALLOC, the use counts, the unused sections reported and
// their symbols wiped, the second count, the compacted name table.
void applySectionUsage(ModuleContext& ctx);

void countSectionUses(ModuleContext& ctx);
void dropUnusedSections(ModuleContext& ctx);
void compactSectionNames(ModuleContext& ctx);
