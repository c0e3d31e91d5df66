// TLS layout, trampolines, zero-filled code, region sizes, limits and padding.
#pragma once

#include <cstdint>

int checkTlsLayout();
int reserveTrampolines();
int checkZeroFilledCode();
int finishRegionSizes();
// True when the check failed.
bool checkRegionLimit(uint32_t alignment, int32_t limit, const char* regionName, const char* optionName, int32_t size);
