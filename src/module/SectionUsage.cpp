#include "module/SectionUsage.h"

void applySectionUsage() {}
void countSectionUses() {}
void dropUnusedSections() {}
void compactSectionNames() {}
