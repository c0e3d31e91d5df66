#include "module/PlaceSections.h"

CompressedSection compressSection(const uint8_t*, uint32_t, int) { return {}; }
int placeSections() { return -1; }
void finishSpecialSections() {}
