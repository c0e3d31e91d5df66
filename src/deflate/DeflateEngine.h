// The engine's state and zlib's lazy parser (levels 4 to 9), shared by the
// one-thread stream and the split one. The parser reports what it finds to
// a sink, which tallies the symbols and may stop it at any loop top.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "deflate/BlockEncoder.h"
#include "deflate/MatchFinder.h"
#include "deflate/SteppedChain.h"
#include "deflate/StringIndex.h"

constexpr uint32_t kStampLimit = 0xFFFFFFF0u;
// The longest stream whose positions can be stamped.
constexpr size_t kLongestStream = kStampLimit - kFirstStamp - 2;

// The state of one parse. Positions are input indices; zlib's window is
// followed through two of them: windowBase, the input index of its window
// start (it slides by 32 KiB), and windowEnd, the end of what it has read.
struct DeflateEngine {
    MatchFinder finder;
    // The lazy parser's own tables; a stream uses one of them at most. The
    // search reads them only at positions the stream has entered, except
    // the key chains' heads, which are cleared before they are used after
    // the stepped links (a stale head would only cost time: a key chain
    // passes strings of other buckets anyway).
    union {
        StringIndex index;              // key chains (levels 7 to 9)
        StepLinks steps[kWindowSize];   // stepped links (level 6)
    };
    bool indexHeadsValid = false;
    BlockEncoder encoder;
    uint32_t nextStamp = 0;   // 0: the tables have not been cleared yet

    const uint8_t* data = nullptr;
    size_t size = 0;
    LevelParams params{};
    uint32_t stamp = 0;
    size_t windowBase = 0;
    size_t windowEnd = 0;
    size_t blockStart = 0;
    // The caller's word to give the stream up, looked at once per block.
    const std::atomic<bool>* stop = nullptr;
    bool stopped = false;
};

const LevelParams& levelParams(int level);

// This thread's engine, its tables ready for a stream of size bytes at the
// level of `params` (or null when there is no memory for it).
DeflateEngine* acquireEngine(size_t size, const LevelParams& params);

// Enters the string at input index `index` (stamped position at) in the
// tables the level searches; returns the previous head of its zlib chain.
inline uint32_t enterString(DeflateEngine& s, size_t index, uint32_t at) {
    switch (s.params.search) {
    case ChainSearch::keyChains: return insertIndexed(s.finder, s.index, s.data, s.size, index, at);
    case ChainSearch::stepped: return insertStepped(s.finder, s.steps, hashAt(s.data + index), at);
    case ChainSearch::oneLink: break;
    }
    return insertString(s.finder, s.data, index, at);
}

// Enters the strings at input indices [from, to), as enterString does; the
// lazy parser enters those inside each match it takes.
inline void enterStrings(DeflateEngine& s, size_t from, size_t to) {
    MatchFinder& f = s.finder;
    switch (s.params.search) {
    case ChainSearch::keyChains:
        for (size_t p = from; p < to; ++p) insertIndexed(f, s.index, s.data, s.size, p, uint32_t(s.stamp + p));
        return;
    case ChainSearch::stepped:
        for (size_t p = from; p < to; ++p) insertStepped(f, s.steps, hashAt(s.data + p), uint32_t(s.stamp + p));
        return;
    case ChainSearch::oneLink:
        insertRun(f, s.data, from, to, s.stamp);
        return;
    }
}

// Where the lazy parser stands at the top of its loop: the position, and the
// match held back from the position before (matchAvailable), if any.
struct LazyState {
    size_t pos = 0;
    unsigned matchLength = kMinMatch - 1;
    uint32_t matchStart = 0;   // stamped
    bool matchAvailable = false;
};

// zlib's fill_window with all input at hand: it runs when fewer than
// kMinLookahead bytes are left, slides the window by 32 KiB once the
// position is 32 KiB + kMaxDistance into it, and reads up to its 64 KiB.
// Returns true when the window slid.
inline bool refillWindow(DeflateEngine& s, size_t pos) {
    const bool slide = pos - s.windowBase >= kWindowSize + kMaxDistance;
    if (slide) s.windowBase += kWindowSize;
    s.windowEnd = s.windowBase + 2 * kWindowSize < s.size ? s.windowBase + 2 * kWindowSize : s.size;
    return slide;
}

enum class ParseEnd { endOfInput, stopped, full };

// zlib's deflate_slow: a match is held back one position and taken only when
// the match found there is not longer. The sink gets:
//   stopAt(state)            at every loop top (after the window is refilled): true stops the parse
//   slid(pos)                when the window slid at the loop top at pos
//   literal(byte, end)       a literal; end is the input position after it
//   match(distance, length, end)
// literal and match return false to end the parse (ParseEnd::full). At the
// end of the input the held position, if any, is left to the caller
// (state.matchAvailable).
template <class Sink>
ParseEnd parseLazy(DeflateEngine& s, LazyState& state, Sink& sink) {
    MatchFinder& f = s.finder;
    const uint8_t* data = s.data;
    size_t pos = state.pos;
    unsigned matchLength = state.matchLength;
    uint32_t matchStart = state.matchStart;
    bool matchAvailable = state.matchAvailable;
    auto save = [&] {
        state.pos = pos;
        state.matchLength = matchLength;
        state.matchStart = matchStart;
        state.matchAvailable = matchAvailable;
    };
    for (;;) {
        if (s.windowEnd - pos < kMinLookahead) {
            if (refillWindow(s, pos)) sink.slid(pos);
            if (s.windowEnd == pos) break;
        }
        if (sink.stopAt(LazyState{pos, matchLength, matchStart, matchAvailable})) {
            save();
            return ParseEnd::stopped;
        }
        const unsigned lookahead = unsigned(s.windowEnd - pos);
        const uint32_t at = uint32_t(s.stamp + pos);
        const uint32_t base = uint32_t(s.stamp + s.windowBase);
        uint32_t head = 0;
        if (lookahead >= kMinMatch) head = enterString(s, pos, at);

        const unsigned prevLength = matchLength;
        const uint32_t prevMatch = matchStart;
        matchLength = kMinMatch - 1;
        if (head > base && prevLength < s.params.lazy && at - head <= kMaxDistance) {
            const MatchSearch search{s.data, s.stamp, base};
            switch (s.params.search) {
            case ChainSearch::keyChains:
                matchLength = longestMatchIndexed(f, s.index, s.params, search, at, head, prevLength, lookahead, matchStart);
                break;
            case ChainSearch::stepped:
                matchLength = longestMatchStepped(s.steps, s.params, search, at, head, prevLength, lookahead, matchStart);
                break;
            case ChainSearch::oneLink:
                matchLength = longestMatch(f, s.params, search, at, head, prevLength, lookahead, matchStart);
                break;
            }
            if (matchLength == kMinMatch && at - matchStart > kTooFar) matchLength = kMinMatch - 1;
        }

        if (prevLength >= kMinMatch && matchLength <= prevLength) {
            // Take the held match; enter its strings, except those too close
            // to the end of the input to have three bytes.
            const size_t lastInsert = pos + lookahead - kMinMatch;
            const size_t matchEnd = pos + prevLength - 1;
            const size_t insertEnd = matchEnd - 1 < lastInsert ? matchEnd - 1 : lastInsert;
            enterStrings(s, pos + 1, insertEnd + 1);
            matchAvailable = false;
            matchLength = kMinMatch - 1;
            const bool go = sink.match(at - 1 - prevMatch, prevLength, matchEnd);
            pos = matchEnd;
            if (!go) {
                save();
                return ParseEnd::full;
            }
        } else if (matchAvailable) {
            if (!sink.literal(data[pos - 1], pos)) {
                ++pos;
                save();
                return ParseEnd::full;
            }
            ++pos;
        } else {
            matchAvailable = true;
            ++pos;
        }
    }
    save();
    return ParseEnd::endOfInput;
}
