// The check of the written module's layout.
#pragma once

#include <cstdint>

// Takes the module's bytes after readElfImage (headers in host order).
// 0 when the layout is sound, -1 after printing the reason.
int verifyModuleLayout(const uint8_t* bytes, uint32_t count);
