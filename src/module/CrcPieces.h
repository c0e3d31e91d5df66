// A section's CRC taken in pieces of 1 MiB, on whatever threads take them,
// and joined in order: the same value as one pass over the bytes. Placement
// and the early section work share the pieces' bounds and the join.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>

constexpr uint32_t kCrcPiece = 1u << 20;

inline uint32_t crcPieceCount(uint32_t size) { return uint32_t((uint64_t(size) + kCrcPiece - 1) / kCrcPiece); }

inline uint32_t crcPieceLength(uint32_t size, uint32_t piece) {
    return std::min(kCrcPiece, size - piece * kCrcPiece);
}

// The CRC of piece `piece` of the `size` bytes at data.
inline uint32_t crcOfPiece(const uint8_t* data, uint32_t size, uint32_t piece) {
    return uint32_t(crc32(0, data + size_t(piece) * kCrcPiece, crcPieceLength(size, piece)));
}

// The CRC of `size` bytes from the CRCs of their pieces, in order.
inline uint32_t joinPieceCrcs(const uint32_t* crcs, uint32_t size) {
    uint32_t crc = crcs[0];
    for (uint32_t k = 1; k < crcPieceCount(size); ++k)
        crc = uint32_t(crc32_combine(crc, crcs[k], z_off_t(crcPieceLength(size, k))));
    return crc;
}
