// Chains of longer strings beside zlib's chains, so that the lazy parser's
// search skips the candidates that cannot beat the match it holds.
//
// zlib's search walks the chain of a 3-byte hash (newest first), examines at
// most `chain` of its entries, and keeps the first candidate that is longer
// than the best so far. A candidate that can beat a match of length L shares
// the first L + 1 bytes of the searched string, so it lies on the chain of
// any key of at most L + 1 bytes of that string, in the same order. The
// search therefore walks the chain of the longest key that is not longer
// than the best match, and learns where zlib would have stopped from ranks:
// each position's number within its zlib hash bucket, so that the entry
// that zlib examines as its n-th candidate from position `at` is the one
// whose rank is n below at's rank.
#pragma once

#include <cstddef>
#include <cstdint>

#include "deflate/MatchFinder.h"

constexpr unsigned kIndexKeys = 3;
constexpr unsigned kKeyLength[kIndexKeys] = {3, 6, 8};   // bytes; 8 at most
constexpr unsigned kKeyHashBits = 15;

// By position mod 32 KiB.
struct PositionLinks {
    uint16_t rank;                // number within its zlib hash bucket (mod 65536)
    uint16_t back[kIndexKeys];    // distance to the previous position of the same key; 65535 for none in reach
};

struct StringIndex {
    uint16_t count[kHashSize];                       // entries so far of each zlib hash (mod 65536)
    uint32_t head[kIndexKeys][1u << kKeyHashBits];   // newest stamped position of each key hash
    PositionLinks links[kWindowSize];
};

// Up to 8 bytes at p (of which `available` exist) as a number, the first
// byte lowest, whichever way the host orders bytes.
inline uint64_t keyBytes(const uint8_t* p, size_t available) {
    uint64_t v = 0;
    if (available >= 8) {
        v = load64(p);
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
        return v;
    }
    for (unsigned i = 0; i < available; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
}

// The key of `length` bytes out of keyBytes.
inline uint64_t keyOf(uint64_t bytes, unsigned length) {
    return length == 8 ? bytes : bytes & ((uint64_t(1) << (8 * length)) - 1);
}

inline unsigned keyHash(uint64_t value) {
    return unsigned((value * 0x9E3779B97F4A7C15ull) >> (64 - kKeyHashBits));
}

// Enters the string at data[index] (stamped position at) in zlib's hash
// table and in the key chains; returns the previous head of its zlib chain.
inline uint32_t insertIndexed(MatchFinder& f, StringIndex& x, const uint8_t* data, size_t size, size_t index,
                              uint32_t at) {
    const unsigned h = hashAt(data + index);
    const uint32_t previous = insertHashed(f, h, at);
    PositionLinks& links = x.links[at & (kWindowSize - 1)];
    links.rank = ++x.count[h];
    const size_t available = size - index;
    const uint64_t bytes = keyBytes(data + index, available);
    for (unsigned k = 0; k < kIndexKeys; ++k) {
        if (available < kKeyLength[k]) {
            links.back[k] = 0xFFFF;
            continue;
        }
        uint32_t& keyHead = x.head[k][keyHash(keyOf(bytes, kKeyLength[k]))];
        links.back[k] = chainLink(at - keyHead);
        keyHead = at;
    }
    return previous;
}

// The key chain to walk while the best match is `length` long.
inline unsigned keyFor(unsigned length) {
    unsigned k = 0;
    for (unsigned i = 1; i < kIndexKeys; ++i)
        if (kKeyLength[i] <= length) k = i;
    return k;
}

// zlib's longest_match with the key chains: the same result as
// longestMatch from `head`, the newest entry of zlib's chain before `at`
// (which the caller has checked to be a valid candidate).
//
// A key chain also holds strings of other zlib buckets whose key hashes
// alike; ranks say nothing of them. So that they cannot make a search
// longer than zlib's, the walk passes at most `chain` of them and then
// hands over to zlib's own walk after the last entry of zlib's chain it
// examined (the entries between cannot beat the best match: they do not
// share its key).
inline unsigned longestMatchIndexed(const MatchFinder& f, const StringIndex& x, const LevelParams& params,
                                    const MatchSearch& search, uint32_t at, uint32_t head, unsigned bestLength,
                                    unsigned lookahead, uint32_t& matchStart) {
    const SearchLimits limits = searchLimits(params, search, at, bestLength, lookahead);
    if (bestLength >= limits.maxLength) return limits.maxLength;
    // The farthest position examined: zlib's window start is never a
    // candidate, and a match reaches kMaxDistance back only from zlib's
    // first candidate (the entries after it must lie nearer).
    const uint32_t edge = at - kMaxDistance;
    const uint32_t farthest = at - search.windowBase > kMaxDistance ? edge : search.windowBase + 1;
    const uint8_t* scan = bytesAt(search, at);
    const uint16_t scanStart = load16(scan);
    const uint8_t scanThird = scan[2];
    uint16_t scanEnd = load16(scan + bestLength - 1);
    const PositionLinks* links = x.links;
    const uint16_t rankAt = links[at & (kWindowSize - 1)].rank;
    unsigned key = keyFor(bestLength);
    unsigned strangers = limits.chain;
    uint32_t lastEntry = 0;   // 0: none yet
    unsigned lastIndex = 0;
    uint32_t cur = at;
    unsigned back = links[at & (kWindowSize - 1)].back[key];
    // 65535 never reaches the farthest position.
    while (back <= cur - farthest) {
        cur -= back;
        const PositionLinks& l = links[cur & (kWindowSize - 1)];
        const uint8_t* match = bytesAt(search, cur);
        if (load16(match) == scanStart && match[2] == scanThird) {
            // An entry of zlib's chain: past its last candidate, stop.
            const unsigned index = uint16_t(rankAt - l.rank);
            if (index > limits.chain || (cur == edge && index != 1)) break;
            lastEntry = cur;
            lastIndex = index;
            if (load16(match + bestLength - 1) == scanEnd) {
                if (takeLonger(scan, match, 3, limits, cur, bestLength, matchStart, scanEnd)) break;
                // After a longer match this entry shares the new key, so its
                // link leads on.
                key = keyFor(bestLength);
            }
        } else if (--strangers == 0) {
            if (lastEntry == 0) return walkChain(f, search, limits, at, head, limits.chain, bestLength, matchStart);
            const unsigned next = f.prev[lastEntry & (kWindowSize - 1)];
            if (next >= lastEntry - limits.limit || lastIndex >= limits.chain) break;
            return walkChain(f, search, limits, at, lastEntry - next, limits.chain - lastIndex, bestLength, matchStart);
        }
        back = l.back[key];
    }
    return bestLength;
}
