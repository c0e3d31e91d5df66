// zlib's LZ77 dictionary, kept over the input where it lies: hash chains of
// 3-byte strings and the longest-match search, giving the same match as
// zlib's window-based search at every position.
//
// Positions are "stamped": input index + stamp, where each stream takes a
// stamp above every position of the streams before it. Entries left in the
// tables by an earlier stream are then below every valid candidate, so the
// tables need no clearing between streams. Stamps start at kFirstStamp,
// above the longest link, so that a position minus a link never wraps.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr unsigned kWindowSize = 32768;   // window bits 15
constexpr unsigned kHashSize = 32768;     // memory level 8: 15 hash bits
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;
constexpr unsigned kMaxDistance = kWindowSize - kMinLookahead;
constexpr unsigned kTooFar = 4096;   // a 3-byte match farther than this is not taken (lazy parser)
constexpr uint32_t kFirstStamp = 65536;

// How a level finds zlib's candidates; every form gives zlib's match.
enum class ChainSearch : uint8_t {
    oneLink,     // zlib's chain, a link per candidate
    stepped,     // zlib's chain, four links per read (SteppedChain.h)
    keyChains,   // chains of longer keys beside zlib's (StringIndex.h; lazy parser)
};

struct LevelParams {
    unsigned good;    // search a quarter of the chain once a match this long is held
    unsigned lazy;    // lazy parser: no search after a match this long; fast parser: longest match whose strings are entered
    unsigned nice;    // stop searching at a match this long
    unsigned chain;   // candidates examined at most
    bool lazyParser;
    ChainSearch search;
};

struct MatchFinder {
    uint32_t head[kHashSize];     // newest stamped position of each hash
    // By position mod 32 KiB: how far back the previous position of the same
    // hash lies, 65535 for "farther than any match reaches".
    uint16_t prev[kWindowSize];
};

// zlib's hash of the 3 bytes at p: 5 bits of shift over 15 bits, so it only
// depends on these bytes, and equal hashes with equal first two bytes imply
// an equal third byte.
inline unsigned hashAt(const uint8_t* p) {
    return ((unsigned(p[0]) << 10) ^ (unsigned(p[1]) << 5) ^ p[2]) & (kHashSize - 1);
}

// A chain link: the distance back to the previous entry, 65535 for "farther
// than any match reaches".
inline uint16_t chainLink(uint32_t back) { return uint16_t(back < 0xFFFF ? back : 0xFFFF); }

// Enters stamped position at, of zlib hash h, and returns the previous head
// of its chain.
inline uint32_t insertHashed(MatchFinder& f, unsigned h, uint32_t at) {
    const uint32_t previous = f.head[h];
    f.prev[at & (kWindowSize - 1)] = chainLink(at - previous);
    f.head[h] = at;
    return previous;
}

// Enters the string at data[index] (stamped position at) and returns the
// previous head of its chain.
inline uint32_t insertString(MatchFinder& f, const uint8_t* data, size_t index, uint32_t at) {
    return insertHashed(f, hashAt(data + index), at);
}

// The hash of the string one position on, rolled from `hash` as zlib
// rolls it: the oldest byte shifts out of the 15 bits, `next` comes in.
inline unsigned rollHash(unsigned hash, uint8_t next) { return ((hash << 5) ^ next) & (kHashSize - 1); }

// Enters the strings at data[from] ... data[to - 1], each of which has
// three bytes, with their hashes rolled one from the other.
inline void insertRun(MatchFinder& f, const uint8_t* data, size_t from, size_t to, uint32_t stamp) {
    if (from >= to) return;
    unsigned h = hashAt(data + from);
    for (size_t p = from;;) {
        insertHashed(f, h, uint32_t(stamp + p));
        if (++p == to) return;
        h = rollHash(h, data[p + 2]);
    }
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

// Number of equal leading bytes of a and b, at most limit.
inline unsigned commonLength(const uint8_t* a, const uint8_t* b, unsigned limit) {
    unsigned n = 0;
    for (; n + 8 <= limit; n += 8) {
        const uint64_t diff = load64(a + n) ^ load64(b + n);
        if (diff) {
            if constexpr (std::endian::native == std::endian::little) return n + unsigned(std::countr_zero(diff)) / 8;
            else return n + unsigned(std::countl_zero(diff)) / 8;
        }
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

// What the search needs to know besides the tables.
struct MatchSearch {
    const uint8_t* data;   // input; stamped position c is data[c - stamp]
    uint32_t stamp;
    uint32_t windowBase;   // stamped position of zlib's window start: never a candidate
};

// The bounds of one search from `at`, as zlib sets them.
struct SearchLimits {
    unsigned maxLength;   // the lookahead, at most 258
    unsigned chain;       // candidates examined at most
    unsigned nice;        // stop at a match this long
    uint32_t limit;       // candidates after the first lie above it
};

inline SearchLimits searchLimits(const LevelParams& params, const MatchSearch& search, uint32_t at, unsigned bestLength,
                                 unsigned lookahead) {
    SearchLimits limits;
    limits.maxLength = lookahead < kMaxMatch ? lookahead : kMaxMatch;
    limits.chain = bestLength >= params.good ? params.chain >> 2 : params.chain;
    limits.nice = params.nice < lookahead ? params.nice : lookahead;
    limits.limit = at - search.windowBase > kMaxDistance ? at - kMaxDistance : search.windowBase;
    return limits;
}

// Stamped position c lies at origin + c (integer arithmetic: origin itself
// may point before the input).
inline const uint8_t* bytesAt(const MatchSearch& search, uint32_t c) {
    return reinterpret_cast<const uint8_t*>(uintptr_t(search.data) - search.stamp + c);
}

// Where candidate c's bytes at bestLength - 1 lie: at the result + c.
inline uintptr_t candidateEnds(const MatchSearch& search, unsigned bestLength) {
    return uintptr_t(search.data) - search.stamp + bestLength - 1;
}

// A candidate whose first `known` bytes equal the searched string's: taken
// when it is longer than the best match so far. Returns true when it
// reaches the nice length, which ends the search.
inline bool takeLonger(const uint8_t* scan, const uint8_t* match, unsigned known, const SearchLimits& limits,
                       uint32_t cur, unsigned& bestLength, uint32_t& matchStart, uint16_t& scanEnd) {
    const unsigned length = known + commonLength(scan + known, match + known, limits.maxLength - known);
    if (length <= bestLength) return false;
    matchStart = cur;
    bestLength = length;
    if (length >= limits.nice) return true;
    scanEnd = load16(scan + bestLength - 1);
    return false;
}

// zlib's chain walk: examines at most `chain` candidates from cur (a valid
// one) and returns the longest match longer than bestLength, setting
// matchStart, or bestLength when none is.
//
// Most candidates fail the first check, so the loop is kept to what that
// takes: the bytes at bestLength - 1 are read at a fixed offset from the
// candidate's stamped position, and the next candidate is found by a
// subtraction that cannot wrap (stamps start at kFirstStamp, above every
// link).
inline unsigned walkChain(const MatchFinder& f, const MatchSearch& search, const SearchLimits& limits, uint32_t at,
                          uint32_t cur, unsigned chain, unsigned bestLength, uint32_t& matchStart) {
    const uint8_t* scan = bytesAt(search, at);
    const uint16_t scanStart = load16(scan);
    uint16_t scanEnd = load16(scan + bestLength - 1);
    const uint16_t* prev = f.prev;
    const size_t limit = limits.limit;
    uintptr_t ends = candidateEnds(search, bestLength);
    // 64 bits, so that it indexes without being widened at every step.
    size_t c = cur;
    for (;;) {
        const size_t next = c - prev[c & (kWindowSize - 1)];
        if (load16(reinterpret_cast<const uint8_t*>(ends + c)) == scanEnd) [[unlikely]] {
            const uint8_t* match = bytesAt(search, uint32_t(c));
            if (load16(match) == scanStart && takeLonger(scan, match, 2, limits, uint32_t(c), bestLength, matchStart, scanEnd))
                break;
            ends = candidateEnds(search, bestLength);
        }
        // The next candidate must lie above the limit.
        if (next <= limit || --chain == 0) [[unlikely]]
            break;
        c = next;
    }
    return bestLength;
}

// zlib's longest_match: walks the chain from cur (a valid candidate) and
// returns the longest match longer than bestLength, setting matchStart, or
// bestLength (capped at lookahead) when none is. Bytes past the input never
// match: zlib's window holds stale bytes there, but a match that reaches the
// end of the input ends the search (nice length is capped at the lookahead)
// or cannot beat the match the lazy parser already holds, so they never
// change the result.
inline unsigned longestMatch(const MatchFinder& f, const LevelParams& params, const MatchSearch& search, uint32_t at,
                             uint32_t cur, unsigned bestLength, unsigned lookahead, uint32_t& matchStart) {
    const SearchLimits limits = searchLimits(params, search, at, bestLength, lookahead);
    if (bestLength >= limits.maxLength) return limits.maxLength;
    return walkChain(f, search, limits, at, cur, limits.chain, bestLength, matchStart);
}
