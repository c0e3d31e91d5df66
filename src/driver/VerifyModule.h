// The check of the written module's layout.
#pragma once

#include <cstdint>

// Takes the module's bytes as written: the headers are in the byte order
// that e_ident gives (big-endian unless it says little-endian).
// 0 when the layout is sound, -1 after printing the reason.
int verifyModuleLayout(const uint8_t* bytes, uint32_t count);
