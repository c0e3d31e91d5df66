// Which sections the module needs, and the compacted section-name table.
#pragma once

// ".export" loses SHF_ALLOC, the use counts, the unused sections reported and
// their symbols wiped, the second count, the compacted name table.
void applySectionUsage();

void countSectionUses();
void dropUnusedSections();
void compactSectionNames();
