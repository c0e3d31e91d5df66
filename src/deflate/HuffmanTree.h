// Huffman code construction as zlib does it: the same heap order and tie
// rule, the same bit length limiting, the same canonical codes. Any other
// valid construction would give other trees and so other bytes.
#pragma once

#include <cstdint>

#include "deflate/DeflateTables.h"

constexpr unsigned kTreeNodes = 2 * kLiteralCodes + 1;

// One alphabet's tree for one block: frequencies in, lengths and codes out.
struct HuffmanTree {
    uint32_t freq[kTreeNodes];
    uint16_t parent[kTreeNodes];
    uint16_t length[kTreeNodes];
    uint16_t code[kTreeNodes];   // bit-reversed, ready to send
    int maxCode = -1;            // largest code with a non-zero frequency
};

// What differs between the literal/length, distance and code length trees.
struct TreeKind {
    const uint8_t* staticLength;   // the fixed code's lengths, or null
    const uint8_t* extraBits;      // extra bits of codes from extraBase on
    unsigned extraBase;
    unsigned elements;
    unsigned maxLength;
};

// Scratch space of the construction and the block's running costs in bits.
struct TreeBuilder {
    int heap[kTreeNodes];
    int heapLength = 0;
    int heapMax = 0;
    uint8_t depth[kTreeNodes];
    uint16_t lengthCount[kMaxCodeBits + 1];
    uint64_t optimalBits = 0;   // dynamic block body, later with its trees
    uint64_t staticBits = 0;    // fixed-code block body
};

// Builds tree from its frequencies (which it may change: an alphabet with
// fewer than two used codes gets codes of frequency 1 added) and adds the
// block's cost under it to the builder's counts.
void buildHuffmanTree(HuffmanTree& tree, const TreeKind& kind, TreeBuilder& builder);

// Counts the code length symbols (with their run-length codes 16, 17, 18)
// that describe tree's lengths into lengthTree's frequencies.
// Walks tree's code lengths as the run-length code of a dynamic block's
// header sends them: emit(symbol, extraBits, extra) for every code-length
// symbol in order (16 repeats the previous length 3-6 times, 17 and 18 give
// runs of 3-10 and 11-138 zeros). Counting and sending take the same runs.
template <typename Emit>
void forEachCodeLengthSymbol(const HuffmanTree& tree, Emit emit) {
    const int maxCode = tree.maxCode;
    auto lengthAt = [&](int n) { return n > maxCode ? 0xFFFF : int(tree.length[n]); };
    int previous = -1;
    int next = lengthAt(0);
    int count = 0;
    int maxCount = next == 0 ? 138 : 7;
    int minCount = next == 0 ? 3 : 4;
    for (int n = 0; n <= maxCode; ++n) {
        const int current = next;
        next = lengthAt(n + 1);
        if (++count < maxCount && current == next) continue;
        if (count < minCount) {
            do emit(current, 0, 0);
            while (--count != 0);
        } else if (current != 0) {
            if (current != previous) {
                emit(current, 0, 0);
                --count;
            }
            emit(16, 2, count - 3);
        } else if (count <= 10) {
            emit(17, 3, count - 3);
        } else {
            emit(18, 7, count - 11);
        }
        count = 0;
        previous = current;
        if (next == 0) maxCount = 138, minCount = 3;
        else if (current == next) maxCount = 6, minCount = 3;
        else maxCount = 7, minCount = 4;
    }
}

void countCodeLengths(const HuffmanTree& tree, HuffmanTree& lengthTree);

extern const TreeKind kLiteralTreeKind;
extern const TreeKind kDistanceTreeKind;
extern const TreeKind kCodeLengthTreeKind;
