// File offsets, the four placement passes, CRCs and compression.
#pragma once

#include <atomic>
#include <cstdint>

#include "module/ModuleState.h"

// Compresses one section's bytes: a self-contained step (bytes in, stored
// bytes out) so that sections can be compressed side by side.
struct CompressedSection {
    int status = 0;               // the engine's status, in zlib's values; 0 is success
    bool allocationFailed = false;  // no memory for the work buffers
    bool deflated = false;        // the stored form is the compressed one
    StoredBytes stored;           // 4-byte big-endian size word + zlib stream, when deflated
};
// threads > 1 shares one section's compression among that many threads,
// with the same bytes. With `stop` (one thread only), the work is given up
// once it becomes true (status deflateStopped).
CompressedSection compressSection(const uint8_t* data, uint32_t size, int level, unsigned threads = 1,
                                  const std::atomic<bool>* stop = nullptr);

int placeSections(ModuleContext& ctx);
void finishSpecialSections(ModuleContext& ctx);
