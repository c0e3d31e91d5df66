#include "deflate/DeflateTables.h"

namespace {

constexpr DeflateTables makeTables() {
    DeflateTables t;
    // Lengths 3 ... 258: 8 codes without extra bits, then 4 codes for each
    // extra bit count 1 ... 5; length 258 has a code of its own (285).
    unsigned length = 0;
    for (unsigned code = 0; code < kLengthCodes - 1; ++code) {
        const unsigned extra = code < 8 ? 0 : (code - 4) / 4;
        t.lengthExtra[code] = uint8_t(extra);
        t.lengthBase[code] = uint16_t(length);
        for (unsigned k = 0; k < (1u << extra); ++k) t.lengthCode[length++] = uint8_t(code);
    }
    t.lengthExtra[kLengthCodes - 1] = 0;
    t.lengthBase[kLengthCodes - 1] = 255;
    t.lengthCode[255] = kLengthCodes - 1;

    // Distances 1 ... 32768: 4 codes without extra bits, then 2 codes for
    // each extra bit count 1 ... 13. Below 256 the table is indexed by the
    // distance - 1, above by (distance - 1) >> 7.
    unsigned distance = 0;
    for (unsigned code = 0; code < kDistanceCodes; ++code) {
        const unsigned extra = code < 4 ? 0 : (code - 2) / 2;
        t.distanceExtra[code] = uint8_t(extra);
        t.distanceBase[code] = uint16_t(distance);
        for (unsigned k = 0; k < (1u << extra); ++k, ++distance) {
            if (distance < 256) t.distanceCode[distance] = uint8_t(code);
            else if ((distance & 127) == 0) t.distanceCode[256 + (distance >> 7)] = uint8_t(code);
        }
    }

    // The fixed literal/length code: 0-143 8 bits, 144-255 9, 256-279 7, 280-287 8.
    unsigned count[kMaxCodeBits + 1] = {};
    for (unsigned n = 0; n < kStaticLiteralCodes; ++n) {
        const unsigned bits = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
        t.staticLiteralLength[n] = uint8_t(bits);
        ++count[bits];
    }
    unsigned next[kMaxCodeBits + 1] = {};
    unsigned code = 0;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    for (unsigned n = 0; n < kStaticLiteralCodes; ++n) {
        const unsigned bits = t.staticLiteralLength[n];
        t.staticLiteralCode[n] = uint16_t(reverseBits(next[bits]++, bits));
    }
    for (unsigned n = 0; n < kDistanceCodes; ++n) t.staticDistanceCode[n] = uint16_t(reverseBits(n, 5));
    return t;
}

}  // namespace

constinit const DeflateTables kDeflateTables = makeTables();
