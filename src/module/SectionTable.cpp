#include "module/SectionTable.h"

int buildSectionTable() { return -1; }
