// TLS layout, trampolines, zero-filled code, region sizes, limits and padding.
#pragma once

#include "module/ModuleState.h"

#include <cstdint>

int checkTlsLayout(ModuleContext& ctx);
int reserveTrampolines(ModuleContext& ctx);
int checkZeroFilledCode(ModuleContext& ctx);
int finishRegionSizes(ModuleContext& ctx);
// True when the check failed.
bool checkRegionLimit(ModuleContext& ctx, uint32_t alignment, int32_t limit, const char* regionName, const char* optionName, int32_t size);
