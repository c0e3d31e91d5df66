#include "module/RegionLayout.h"

int checkTlsLayout() { return 0; }
int reserveTrampolines() { return 0; }
int checkZeroFilledCode() { return 0; }
int finishRegionSizes() { return 0; }
bool checkRegionLimit(uint32_t, int32_t, const char*, const char*, int32_t) { return false; }
