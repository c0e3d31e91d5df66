#include "deflate/Deflate.h"

#include <cstring>
#include <memory>
#include <new>

#include "deflate/DeflateEngine.h"

namespace {

// zlib's table of good/lazy/nice/chain per level.
// The last column is ours: how the level finds zlib's candidates. Level 6
// walks zlib's chain: on code, whose candidates mostly share their first
// bytes, the key chains saved less than entering every string in them cost.
// Its walks are long enough for the stepped links to pay for their larger
// records; those of levels 1 to 5 are not.
constexpr ChainSearch kOne = ChainSearch::oneLink, kStepped = ChainSearch::stepped, kKeys = ChainSearch::keyChains;
constexpr LevelParams kLevels[10] = {
    {0, 0, 0, 0, false, kOne},           {4, 4, 8, 4, false, kOne},          {4, 5, 16, 8, false, kOne},
    {4, 6, 32, 32, false, kOne},         {4, 4, 16, 16, true, kOne},         {8, 16, 32, 32, true, kOne},
    {8, 16, 128, 128, true, kStepped},   {8, 32, 128, 256, true, kKeys},     {32, 128, 258, 1024, true, kKeys},
    {32, 258, 258, 4096, true, kKeys},
};

thread_local std::unique_ptr<DeflateEngine> tCachedEngine;

inline MatchSearch searchOf(const DeflateEngine& s) {
    return {s.data, s.stamp, uint32_t(s.stamp + s.windowBase)};
}

// Ends the block at blockEnd. The block's bytes can be stored only while
// zlib still has them in its window. False ends the stream: it cannot fit,
// or the caller gave it up.
inline bool endBlock(DeflateEngine& s, size_t blockEnd, bool last) {
    if (s.stop && s.stop->load(std::memory_order_relaxed)) {
        s.stopped = true;
        return false;
    }
    const uint8_t* stored = s.blockStart >= s.windowBase ? s.data + s.blockStart : nullptr;
    const bool fits = finishBlock(s.encoder, stored, blockEnd - s.blockStart, last);
    s.blockStart = blockEnd;
    return fits;
}

// Levels 1 to 3 (zlib's deflate_fast): a match is taken at once; the strings
// inside it are entered only when it is at most params.lazy long.
bool parseFast(DeflateEngine& s) {
    MatchFinder& f = s.finder;
    BlockEncoder& e = s.encoder;
    const uint8_t* data = s.data;
    size_t pos = 0;
    uint32_t matchStart = 0;
    for (;;) {
        if (s.windowEnd - pos < kMinLookahead) {
            refillWindow(s, pos);
            if (s.windowEnd == pos) break;
        }
        const unsigned lookahead = unsigned(s.windowEnd - pos);
        const uint32_t at = uint32_t(s.stamp + pos);
        const uint32_t base = uint32_t(s.stamp + s.windowBase);
        unsigned matchLength = 0;
        if (lookahead >= kMinMatch) {
            const uint32_t head = insertString(f, data, pos, at);
            if (head > base && at - head <= kMaxDistance)
                matchLength = longestMatch(f, s.params, searchOf(s), at, head, kMinMatch - 1, lookahead, matchStart);
        }
        bool full;
        if (matchLength >= kMinMatch) {
            full = addMatch(e, at - matchStart, matchLength);
            if (matchLength <= s.params.lazy && lookahead - matchLength >= kMinMatch) {
                insertRun(f, data, pos + 1, pos + matchLength, s.stamp);
            }
            pos += matchLength;
        } else {
            full = addLiteral(e, data[pos]);
            ++pos;
        }
        if (full && !endBlock(s, pos, false)) return false;
    }
    return endBlock(s, pos, true);
}

// Tallies the lazy parser's symbols into blocks as they come.
struct StreamSink {
    DeflateEngine& s;
    bool stopAt(const LazyState&) { return false; }
    void slid(size_t) {}
    bool literal(uint8_t byte, size_t end) { return !addLiteral(s.encoder, byte) || endBlock(s, end, false); }
    bool match(unsigned distance, unsigned length, size_t end) {
        return !addMatch(s.encoder, distance, length) || endBlock(s, end, false);
    }
};

// Levels 4 to 9.
bool parseLazyStream(DeflateEngine& s) {
    LazyState state;
    StreamSink sink{s};
    if (parseLazy(s, state, sink) == ParseEnd::full) return false;
    if (state.matchAvailable) addLiteral(s.encoder, s.data[state.pos - 1]);
    return endBlock(s, state.pos, true);
}

// The two header bytes: method 8 with a 32 KiB window, zlib's level class,
// and the check bits that make the pair a multiple of 31.
unsigned zlibHeader(int level) {
    const unsigned levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    unsigned header = (8 + (7 << 4)) << 8 | levelClass << 6;
    return header + 31 - header % 31;
}

}  // namespace

const LevelParams& levelParams(int level) { return kLevels[level]; }

DeflateEngine* acquireEngine(size_t size, const LevelParams& params) {
    if (!tCachedEngine) {
        tCachedEngine.reset(new (std::nothrow) DeflateEngine);
        if (!tCachedEngine) return nullptr;
    }
    DeflateEngine& s = *tCachedEngine;
    if (s.nextStamp == 0 || uint64_t(s.nextStamp) + size + 1 > kStampLimit) {
        memset(s.finder.head, 0, sizeof(s.finder.head));
        s.indexHeadsValid = false;
        s.nextStamp = kFirstStamp;
    }
    s.params = params;
    // The stepped links share their memory with the key chains' heads.
    if (params.search == ChainSearch::stepped) s.indexHeadsValid = false;
    if (params.search == ChainSearch::keyChains && !s.indexHeadsValid) {
        memset(s.index.head, 0, sizeof(s.index.head));
        s.indexHeadsValid = true;
    }
    s.stamp = s.nextStamp;
    s.nextStamp += uint32_t(size) + 1;
    return &s;
}


int compressZlib(const uint8_t* data, size_t size, int level, uint8_t* out, size_t capacity, size_t& length,
                 const std::atomic<bool>* stop) {
    if (level == -1) level = 6;
    if (level < 1 || level > 9) return deflateBadLevel;
    if (size > kLongestStream) return deflateTooLarge;
    if (capacity < 2 + 2 + 4) return deflateNotSmaller;   // header, the shortest block, trailer
    DeflateEngine* engine = acquireEngine(size, kLevels[level]);
    if (!engine) return deflateNoMemory;
    DeflateEngine& s = *engine;
    s.data = data;
    s.size = size;
    s.windowBase = 0;
    s.windowEnd = 0;
    s.blockStart = 0;
    s.stop = stop;
    s.stopped = false;

    const unsigned header = zlibHeader(level);
    out[0] = uint8_t(header >> 8);
    out[1] = uint8_t(header);
    BlockEncoder& e = s.encoder;
    e.out = BitWriter{out, 2, 0, 0};
    e.capacity = capacity;
    startBlock(e);
    const bool fits = s.params.lazyParser ? parseLazyStream(s) : parseFast(s);
    if (!fits) return s.stopped ? deflateStopped : deflateNotSmaller;

    const uint32_t adler = adler32Update(1, data, size);
    const uint8_t trailer[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
    memcpy(out + e.out.pos, trailer, 4);
    length = e.out.pos + 4;
    return deflateOk;
}

void setDeflateStampForTesting(uint32_t stamp) {
    if (acquireEngine(0, kLevels[6])) tCachedEngine->nextStamp = stamp;
}
