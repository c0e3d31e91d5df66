// The symbols of one block and their encoding: the choice between a stored,
// a fixed-code and a dynamic-code block, and the bits of each.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deflate/BitWriter.h"
#include "deflate/HuffmanTree.h"

// A block holds at most this many symbols (zlib's with memory level 8).
constexpr unsigned kBlockSymbols = 16383;

struct BlockEncoder {
    HuffmanTree literals;
    HuffmanTree distances;
    HuffmanTree codeLengths;
    TreeBuilder builder;
    // A literal byte b is stored as b; a match as distance << 8 | (length - 3).
    uint32_t symbols[kBlockSymbols];
    unsigned symbolCount = 0;
    BitWriter out;
    size_t capacity = 0;   // bytes the whole stream may take, trailer included
};

void startBlock(BlockEncoder& e);

// Adds a literal; returns true when the block is full.
inline bool addLiteral(BlockEncoder& e, uint8_t byte) {
    e.symbols[e.symbolCount++] = byte;
    ++e.literals.freq[byte];
    return e.symbolCount == kBlockSymbols;
}

// Adds a match of distance 1 ... 32768 and length 3 ... 258; returns true
// when the block is full.
inline bool addMatch(BlockEncoder& e, unsigned distance, unsigned length) {
    e.symbols[e.symbolCount++] = uint32_t(distance) << 8 | (length - 3);
    ++e.literals.freq[kDeflateTables.lengthCode[length - 3] + kEndOfBlock + 1];
    ++e.distances.freq[distanceCodeOf(distance - 1)];
    return e.symbolCount == kBlockSymbols;
}

// How a block is sent and how many bits it takes (header bits included).
struct BlockPlan {
    unsigned type = 0;        // 0 stored, 1 fixed codes, 2 dynamic codes
    int lastCodeLength = 0;   // dynamic: index in kBitLengthOrder of the last code length code sent
    uint64_t bodyBits = 0;    // fixed or dynamic: the bits after the 3 header bits
};

// Builds the block's trees and chooses its type as zlib does: stored only
// when storable and not longer than the smaller of the two others; fixed
// codes when not longer than dynamic ones.
BlockPlan planBlock(BlockEncoder& e, size_t storedLength, bool storable);

// The bit position after the block, sent from bit position start.
uint64_t blockEndBit(const BlockPlan& plan, uint64_t start, size_t storedLength, bool last);

// Sends the planned block into e.out and starts the next block.
void emitBlock(BlockEncoder& e, const BlockPlan& plan, const uint8_t* storedBytes, size_t storedLength, bool last);

// Ends the block: storedBytes are the block's input bytes when a stored
// block may be chosen (null when zlib no longer has them in its window).
// The last block is padded to a byte boundary. Returns false, writing
// nothing, when the stream so far, this block and a 4-byte trailer would
// not fit in the capacity. Starts the next block.
bool finishBlock(BlockEncoder& e, const uint8_t* storedBytes, size_t storedLength, bool last);
