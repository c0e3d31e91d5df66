#include "deflate/HuffmanTree.h"

namespace {

constexpr int kSmallest = 1;

constexpr uint8_t kLengthExtraBits[kLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint8_t kDistanceExtraBits[kDistanceCodes] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kStaticDistanceLength[kDistanceCodes] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
                                                           5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};

// Node a sorts before node b: lower frequency, and at equal frequency the
// shallower subtree (or, at equal depth too, a).
bool sortsBefore(const HuffmanTree& tree, const TreeBuilder& b, int a, int other) {
    return tree.freq[a] < tree.freq[other] || (tree.freq[a] == tree.freq[other] && b.depth[a] <= b.depth[other]);
}

void siftDown(const HuffmanTree& tree, TreeBuilder& b, int k) {
    const int v = b.heap[k];
    int child = k << 1;
    while (child <= b.heapLength) {
        if (child < b.heapLength && sortsBefore(tree, b, b.heap[child + 1], b.heap[child])) ++child;
        if (sortsBefore(tree, b, v, b.heap[child])) break;
        b.heap[k] = b.heap[child];
        k = child;
        child <<= 1;
    }
    b.heap[k] = v;
}

// Code lengths from the tree's shape, limited to kind.maxLength: an overflow
// moves leaves down from the deepest level below the limit, and the lengths
// are then dealt out again, longest to the least frequent.
void assignLengths(HuffmanTree& tree, const TreeKind& kind, TreeBuilder& b) {
    for (uint16_t& count : b.lengthCount) count = 0;
    const int maxLength = int(kind.maxLength);
    tree.length[b.heap[b.heapMax]] = 0;  // the root
    int overflow = 0;
    int h = b.heapMax + 1;
    for (; h < int(kTreeNodes); ++h) {
        const int n = b.heap[h];
        int bits = tree.length[tree.parent[n]] + 1;
        if (bits > maxLength) {
            bits = maxLength;
            ++overflow;
        }
        tree.length[n] = uint16_t(bits);
        if (n > tree.maxCode) continue;  // an inner node
        ++b.lengthCount[bits];
        const unsigned extra = unsigned(n) >= kind.extraBase ? kind.extraBits[n - kind.extraBase] : 0;
        const uint32_t f = tree.freq[n];
        b.optimalBits += uint64_t(f) * (unsigned(bits) + extra);
        if (kind.staticLength) b.staticBits += uint64_t(f) * (kind.staticLength[n] + extra);
    }
    if (overflow == 0) return;

    do {
        int bits = maxLength - 1;
        while (b.lengthCount[bits] == 0) --bits;
        --b.lengthCount[bits];
        b.lengthCount[bits + 1] += 2;
        --b.lengthCount[maxLength];
        overflow -= 2;
    } while (overflow > 0);

    for (int bits = maxLength; bits != 0; --bits) {
        for (int left = b.lengthCount[bits]; left != 0;) {
            const int m = b.heap[--h];
            if (m > tree.maxCode) continue;
            if (tree.length[m] != bits) {
                b.optimalBits += (uint64_t(bits) - tree.length[m]) * tree.freq[m];
                tree.length[m] = uint16_t(bits);
            }
            --left;
        }
    }
}

void assignCodes(HuffmanTree& tree, const uint16_t* lengthCount) {
    unsigned next[kMaxCodeBits + 1];
    unsigned code = 0;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + lengthCount[bits - 1]) << 1;
        next[bits] = code;
    }
    for (int n = 0; n <= tree.maxCode; ++n) {
        const unsigned len = tree.length[n];
        if (len == 0) continue;
        tree.code[n] = uint16_t(reverseBits(next[len]++, len));
    }
}

}  // namespace

const TreeKind kLiteralTreeKind = {kDeflateTables.staticLiteralLength.data(), kLengthExtraBits, kEndOfBlock + 1,
                                   kLiteralCodes, kMaxCodeBits};
const TreeKind kDistanceTreeKind = {kStaticDistanceLength, kDistanceExtraBits, 0, kDistanceCodes, kMaxCodeBits};
const TreeKind kCodeLengthTreeKind = {nullptr, kBitLengthExtra, 0, kBitLengthCodes, kMaxBitLengthBits};

void buildHuffmanTree(HuffmanTree& tree, const TreeKind& kind, TreeBuilder& b) {
    b.heapLength = 0;
    b.heapMax = int(kTreeNodes);
    int maxCode = -1;
    for (int n = 0; n < int(kind.elements); ++n) {
        if (tree.freq[n] != 0) {
            b.heap[++b.heapLength] = maxCode = n;
            b.depth[n] = 0;
        } else {
            tree.length[n] = 0;
        }
    }
    // The format needs at least one distance code, and every code at least
    // one bit: with fewer than two used codes, codes 0 and 1 are added.
    while (b.heapLength < 2) {
        const int node = maxCode < 2 ? ++maxCode : 0;
        b.heap[++b.heapLength] = node;
        tree.freq[node] = 1;
        b.depth[node] = 0;
        --b.optimalBits;
        if (kind.staticLength) b.staticBits -= kind.staticLength[node];
    }
    tree.maxCode = maxCode;

    for (int n = b.heapLength / 2; n >= 1; --n) siftDown(tree, b, n);

    int node = int(kind.elements);
    do {
        const int n = b.heap[kSmallest];
        b.heap[kSmallest] = b.heap[b.heapLength--];
        siftDown(tree, b, kSmallest);
        const int m = b.heap[kSmallest];
        b.heap[--b.heapMax] = n;
        b.heap[--b.heapMax] = m;
        tree.freq[node] = tree.freq[n] + tree.freq[m];
        b.depth[node] = uint8_t((b.depth[n] >= b.depth[m] ? b.depth[n] : b.depth[m]) + 1);
        tree.parent[n] = tree.parent[m] = uint16_t(node);
        b.heap[kSmallest] = node++;
        siftDown(tree, b, kSmallest);
    } while (b.heapLength >= 2);
    b.heap[--b.heapMax] = b.heap[kSmallest];

    assignLengths(tree, kind, b);
    assignCodes(tree, b.lengthCount);
}

void countCodeLengths(const HuffmanTree& tree, HuffmanTree& lengthTree) {
    forEachCodeLengthSymbol(tree, [&](int symbol, int, int) { ++lengthTree.freq[symbol]; });
}
