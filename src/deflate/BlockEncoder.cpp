#include "deflate/BlockEncoder.h"

#include <cstring>

namespace {

enum BlockType : unsigned { storedBlock = 0, fixedBlock = 1, dynamicBlock = 2 };

void putCode(BitWriter& w, const HuffmanTree& tree, unsigned symbol) {
    putBits(w, tree.code[symbol], tree.length[symbol]);
}

// The run-length coded code lengths of tree, in the runs that
// countCodeLengths counted.
void sendCodeLengths(BitWriter& w, const HuffmanTree& tree, const HuffmanTree& lengthTree) {
    forEachCodeLengthSymbol(tree, [&](int symbol, int extraBits, int extra) {
        putCode(w, lengthTree, unsigned(symbol));
        if (extraBits != 0) putBits(w, unsigned(extra), unsigned(extraBits));
    });
}

void sendTrees(BlockEncoder& e, int lastCodeLength) {
    BitWriter& w = e.out;
    putBits(w, unsigned(e.literals.maxCode + 1 - 257), 5);
    putBits(w, unsigned(e.distances.maxCode + 1 - 1), 5);
    putBits(w, unsigned(lastCodeLength + 1 - 4), 4);
    for (int rank = 0; rank <= lastCodeLength; ++rank) putBits(w, e.codeLengths.length[kBitLengthOrder[rank]], 3);
    sendCodeLengths(w, e.literals, e.codeLengths);
    sendCodeLengths(w, e.distances, e.codeLengths);
}

template <bool Fixed>
void sendSymbols(BlockEncoder& e) {
    const DeflateTables& t = kDeflateTables;
    BitWriter& w = e.out;
    auto literal = [&](unsigned symbol) {
        if constexpr (Fixed) putBits(w, t.staticLiteralCode[symbol], t.staticLiteralLength[symbol]);
        else putCode(w, e.literals, symbol);
    };
    for (unsigned k = 0; k < e.symbolCount; ++k) {
        const uint32_t symbol = e.symbols[k];
        if (symbol < 256) {
            literal(symbol);
            continue;
        }
        const unsigned lengthMinus3 = symbol & 0xFF;
        const unsigned distance = (symbol >> 8) - 1;
        const unsigned lengthCode = t.lengthCode[lengthMinus3];
        literal(lengthCode + kEndOfBlock + 1);
        if (const unsigned extra = t.lengthExtra[lengthCode]) putBits(w, lengthMinus3 - t.lengthBase[lengthCode], extra);
        const unsigned distanceCode = distanceCodeOf(distance);
        if constexpr (Fixed) putBits(w, t.staticDistanceCode[distanceCode], 5);
        else putCode(w, e.distances, distanceCode);
        if (const unsigned extra = t.distanceExtra[distanceCode]) putBits(w, distance - t.distanceBase[distanceCode], extra);
    }
    literal(kEndOfBlock);
}

// The index in kBitLengthOrder of the last code length code to send (at
// least 3: four are always sent), after building the code length tree.
int buildCodeLengthTree(BlockEncoder& e) {
    countCodeLengths(e.literals, e.codeLengths);
    countCodeLengths(e.distances, e.codeLengths);
    buildHuffmanTree(e.codeLengths, kCodeLengthTreeKind, e.builder);
    int last = kBitLengthCodes - 1;
    for (; last >= 3; --last)
        if (e.codeLengths.length[kBitLengthOrder[last]] != 0) break;
    e.builder.optimalBits += 3 * (uint64_t(last) + 1) + 5 + 5 + 4;
    return last;
}

}  // namespace

void startBlock(BlockEncoder& e) {
    memset(e.literals.freq, 0, sizeof(uint32_t) * kLiteralCodes);
    memset(e.distances.freq, 0, sizeof(uint32_t) * kDistanceCodes);
    memset(e.codeLengths.freq, 0, sizeof(uint32_t) * kBitLengthCodes);
    e.literals.freq[kEndOfBlock] = 1;
    e.builder.optimalBits = 0;
    e.builder.staticBits = 0;
    e.symbolCount = 0;
}

BlockPlan planBlock(BlockEncoder& e, size_t storedLength, bool storable) {
    buildHuffmanTree(e.literals, kLiteralTreeKind, e.builder);
    buildHuffmanTree(e.distances, kDistanceTreeKind, e.builder);
    BlockPlan plan;
    plan.lastCodeLength = buildCodeLengthTree(e);
    // Block sizes in bytes as zlib compares them: 3 header bits, rounded up.
    uint64_t bestBytes = (e.builder.optimalBits + 3 + 7) >> 3;
    const uint64_t fixedBytes = (e.builder.staticBits + 3 + 7) >> 3;
    if (fixedBytes <= bestBytes) bestBytes = fixedBytes;
    plan.type = dynamicBlock;
    plan.bodyBits = e.builder.optimalBits;
    if (storedLength + 4 <= bestBytes && storable) {
        plan.type = storedBlock;
    } else if (fixedBytes == bestBytes) {
        plan.type = fixedBlock;
        plan.bodyBits = e.builder.staticBits;
    }
    return plan;
}

uint64_t blockEndBit(const BlockPlan& plan, uint64_t start, size_t storedLength, bool last) {
    uint64_t end = start + 3;
    if (plan.type == storedBlock) end = ((end + 7) & ~uint64_t(7)) + 32 + uint64_t(storedLength) * 8;
    else end += plan.bodyBits;
    if (last) end = (end + 7) & ~uint64_t(7);
    return end;
}

void emitBlock(BlockEncoder& e, const BlockPlan& plan, const uint8_t* storedBytes, size_t storedLength, bool last) {
    BitWriter& w = e.out;
    putBits(w, plan.type << 1 | (last ? 1 : 0), 3);
    if (plan.type == storedBlock) {
        alignToByte(w);
        const uint16_t length = uint16_t(storedLength);
        const uint8_t header[4] = {uint8_t(length), uint8_t(length >> 8), uint8_t(~length), uint8_t(~length >> 8)};
        memcpy(w.out + w.pos, header, 4);
        if (storedLength) memcpy(w.out + w.pos + 4, storedBytes, storedLength);
        w.pos += 4 + storedLength;
    } else if (plan.type == fixedBlock) {
        sendSymbols<true>(e);
    } else {
        sendTrees(e, plan.lastCodeLength);
        sendSymbols<false>(e);
    }
    if (last) alignToByte(w);
    startBlock(e);
}

bool finishBlock(BlockEncoder& e, const uint8_t* storedBytes, size_t storedLength, bool last) {
    const BlockPlan plan = planBlock(e, storedLength, storedBytes != nullptr);
    if (blockEndBit(plan, bitsWritten(e.out), storedLength, last) / 8 + 4 > e.capacity) return false;
    emitBlock(e, plan, storedBytes, storedLength, last);
    return true;
}
