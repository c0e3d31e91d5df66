// zlib's hash chains with four links per position, for level 6, whose
// walks are long.
//
// zlib's walk follows one link per candidate, and each link is a read that
// depends on the one before, so the walk waits on memory once per candidate.
// Here each position keeps the distances back to the previous four entries
// of its chain, all read at once: the walk still examines every candidate in
// zlib's order, but waits once per four. The record of the position entered
// before gives the new record at no extra read.
#pragma once

#include <cstdint>

#include "deflate/MatchFinder.h"

constexpr unsigned kLinkSteps = 4;

// By position mod 32 KiB: the distances back to the previous kLinkSteps
// positions of the same hash, nearest first, each 65535 for "farther than
// any match reaches". They grow along the record, so once one is out of
// reach the rest are too.
struct StepLinks {
    uint16_t back[kLinkSteps];
};

// Enters stamped position at, of zlib hash h, and returns the previous head
// of its chain. The previous head's record still holds its own links while
// it lies within the window; when it does not, every sum is out of reach.
inline uint32_t insertStepped(MatchFinder& f, StepLinks* steps, unsigned h, uint32_t at) {
    const uint32_t previous = f.head[h];
    const uint32_t back = at - previous;
    const StepLinks& before = steps[previous & (kWindowSize - 1)];
    StepLinks links;
    links.back[0] = chainLink(back);
    for (unsigned k = 1; k < kLinkSteps; ++k) links.back[k] = chainLink(back + before.back[k - 1]);
    steps[at & (kWindowSize - 1)] = links;
    f.head[h] = at;
    return previous;
}

// zlib's chain walk over the stepped links: the same candidates in the same
// order as walkChain, and the same result. The four candidates of a record
// are known at once, so their bytes are read side by side.
[[gnu::noinline]] inline unsigned walkSteps(const StepLinks* steps, const MatchSearch& search,
                                            const SearchLimits& limits, uint32_t at, uint32_t cur,
                                            unsigned bestLength, uint32_t& matchStart) {
    const uint8_t* scan = bytesAt(search, at);
    const uint16_t scanStart = load16(scan);
    uint16_t scanEnd = load16(scan + bestLength - 1);
    unsigned chain = limits.chain;
    const size_t limit = limits.limit;
    uintptr_t ends = candidateEnds(search, bestLength);
    size_t c = cur;
    for (;;) {
        const StepLinks links = steps[c & (kWindowSize - 1)];
        size_t candidate = c;
#pragma GCC unroll 4
        for (unsigned k = 0; k < kLinkSteps; ++k) {
            if (load16(reinterpret_cast<const uint8_t*>(ends + candidate)) == scanEnd) [[unlikely]] {
                const uint8_t* match = bytesAt(search, uint32_t(candidate));
                if (load16(match) == scanStart &&
                    takeLonger(scan, match, 2, limits, uint32_t(candidate), bestLength, matchStart, scanEnd))
                    return bestLength;
                ends = candidateEnds(search, bestLength);
            }
            // The next candidate must lie above the limit (no wrap: stamps
            // start above every link).
            candidate = c - links.back[k];
            if (candidate <= limit || --chain == 0) [[unlikely]]
                return bestLength;
        }
        c = candidate;
    }
}

// longestMatch over the stepped links.
inline unsigned longestMatchStepped(const StepLinks* steps, const LevelParams& params, const MatchSearch& search,
                                    uint32_t at, uint32_t cur, unsigned bestLength, unsigned lookahead,
                                    uint32_t& matchStart) {
    const SearchLimits limits = searchLimits(params, search, at, bestLength, lookahead);
    if (bestLength >= limits.maxLength) return limits.maxLength;
    return walkSteps(steps, search, limits, at, cur, bestLength, matchStart);
}
