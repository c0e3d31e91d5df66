// The fixed tables of the deflate format (RFC 1951) that the engine uses.
#pragma once

#include <array>
#include <cstdint>

constexpr unsigned kLiteralCodes = 286;      // literals, end of block, lengths
constexpr unsigned kDistanceCodes = 30;
constexpr unsigned kBitLengthCodes = 19;
constexpr unsigned kLengthCodes = 29;
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kMaxBitLengthBits = 7;
constexpr unsigned kStaticLiteralCodes = 288;

struct DeflateTables {
    std::array<uint8_t, 256> lengthCode{};      // match length - 3 -> length code - 257
    std::array<uint16_t, kLengthCodes> lengthBase{};
    std::array<uint8_t, kLengthCodes> lengthExtra{};
    std::array<uint8_t, 512> distanceCode{};    // see distanceCodeOf
    std::array<uint16_t, kDistanceCodes> distanceBase{};
    std::array<uint8_t, kDistanceCodes> distanceExtra{};
    std::array<uint8_t, kStaticLiteralCodes> staticLiteralLength{};
    std::array<uint16_t, kStaticLiteralCodes> staticLiteralCode{};   // bit-reversed
    std::array<uint16_t, kDistanceCodes> staticDistanceCode{};       // bit-reversed, 5 bits
};

extern const DeflateTables kDeflateTables;

constexpr uint8_t kBitLengthExtra[kBitLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// The order in which the code lengths of the code length alphabet are sent.
constexpr uint8_t kBitLengthOrder[kBitLengthCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Distance code of a match distance minus one (0 ... 32767).
inline unsigned distanceCodeOf(unsigned distanceMinusOne) {
    return distanceMinusOne < 256 ? kDeflateTables.distanceCode[distanceMinusOne]
                                  : kDeflateTables.distanceCode[256 + (distanceMinusOne >> 7)];
}

// The low `bits` bits of code in reverse order: deflate sends Huffman codes
// from their most significant bit, into a stream filled from bit 0.
constexpr unsigned reverseBits(unsigned code, unsigned bits) {
    unsigned result = 0;
    for (unsigned k = 0; k < bits; ++k) {
        result = (result << 1) | (code & 1);
        code >>= 1;
    }
    return result;
}
