// Writes a deflate bit stream (least significant bit first) into a buffer
// whose room the caller has checked before each block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct BitWriter {
    uint8_t* out = nullptr;
    size_t pos = 0;        // whole bytes written
    uint64_t pending = 0;  // bits not yet written, from bit 0
    unsigned count = 0;    // number of those bits, below 32 between calls
};

inline void storeLe32(uint8_t* p, uint32_t value) {
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    memcpy(p, bytes, 4);
}

// Appends the low n bits of value (n at most 32, value without higher bits).
inline void putBits(BitWriter& w, uint32_t value, unsigned n) {
    w.pending |= uint64_t(value) << w.count;
    w.count += n;
    if (w.count >= 32) {
        storeLe32(w.out + w.pos, uint32_t(w.pending));
        w.pos += 4;
        w.pending >>= 32;
        w.count -= 32;
    }
}

// Pads with zero bits to the next byte boundary and writes what is pending.
inline void alignToByte(BitWriter& w) {
    while (w.count > 0) {
        w.out[w.pos++] = uint8_t(w.pending);
        w.pending >>= 8;
        w.count = w.count > 8 ? w.count - 8 : 0;
    }
    w.pending = 0;
}

// Writes the pending bits, the last byte partly filled, when nothing more
// is to be sent through w.
inline void flushPartial(BitWriter& w) {
    for (unsigned bits = w.count; bits > 0; bits = bits > 8 ? bits - 8 : 0) {
        w.out[w.pos++] = uint8_t(w.pending);
        w.pending >>= 8;
    }
    w.count = 0;
}

inline uint64_t bitsWritten(const BitWriter& w) { return uint64_t(w.pos) * 8 + w.count; }
