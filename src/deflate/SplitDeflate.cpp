// One stream's work shared by several threads, with the bytes of the
// one-thread engine.
//
// Parse: the input is cut into chunks at multiples of 32 KiB, where zlib's
// window base is known from the position alone. Each chunk is parsed from
// its start with the hash chains primed from the 32 KiB before it and no
// match held; at the start of each chunk the parser's state is recorded at
// every loop top. Then the parse of each chunk goes on past its end (with
// chains primed again) until it reaches a loop top where the next chunk's
// parser stood in the same state: from there on both make the same choices,
// so the one-thread parse is the first chunk's symbols, its run-on up to
// that point, the next chunk's symbols from there, and so on. A run-on that
// meets no recorded state takes the next chunk over and meets the one after.
//
// Blocks: zlib cuts a block after every 16383 symbols; the blocks are sized
// side by side, placed by their bit counts, and encoded side by side into
// their place; the check sums of the chunks are combined.
#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "deflate/Deflate.h"
#include "deflate/DeflateEngine.h"
#include "deflate/RunPieces.h"

namespace {

constexpr size_t kDefaultChunk = size_t(1) << 18;
constexpr size_t kRecordedLoopTops = 4096;   // positions at a chunk's start where a run-on can meet it
constexpr uint32_t kAdlerModulus = 65521;

std::atomic<size_t> gTestChunkSize{0};

struct Slide {
    size_t pos;    // loop top where the window slid
    size_t base;   // the window start from then on
};

// One piece of parse: a chunk's own parse or its run-on.
struct ParsePiece {
    std::vector<uint32_t> symbols;   // as BlockEncoder stores them
    std::vector<Slide> slides;
    LazyState state;                 // where it stopped; matchStart as a distance back
    size_t windowBase = 0;           // zlib's window start there
    ParseEnd end = ParseEnd::stopped;
    bool noMemory = false;
};

struct Chunk {
    size_t start = 0;
    size_t end = 0;
    ParsePiece own;
    std::vector<uint64_t> records;   // packed loop-top states from start on; 0: no loop top there
    std::vector<uint32_t> counts;    // symbols of `own` before each recorded loop top
    ParsePiece runOn;
    size_t metChunk = 0;             // the chunk whose recorded state the run-on met
    size_t metAt = 0;                // at this position
    uint32_t adler = 1;
};

struct SplitJob {
    const uint8_t* data;
    size_t size;
    LevelParams params;
    size_t chunkSize;
    std::vector<Chunk> chunks;
};

// Everything that decides what the parser does from a loop top on.
uint64_t packState(const LazyState& state, size_t windowBase, uint32_t stamp) {
    const uint64_t back = state.matchLength >= kMinMatch ? uint32_t(stamp + state.pos) - state.matchStart : 0;
    return uint64_t(1) << 63 | uint64_t(state.matchAvailable) << 62 | uint64_t(state.matchLength) << 53 | back << 37 |
           uint64_t(windowBase / kWindowSize);
}

// A chunk's own parse: records its first loop tops, stops at the first
// loop top at or past its end.
struct OwnSink {
    Chunk& chunk;
    const DeflateEngine& engine;
    bool stopAt(const LazyState& state) {
        if (state.pos >= chunk.end) return true;
        const size_t i = state.pos - chunk.start;
        if (i < chunk.records.size()) {
            chunk.records[i] = packState(state, engine.windowBase, engine.stamp);
            chunk.counts[i] = uint32_t(chunk.own.symbols.size());
        }
        return false;
    }
    void slid(size_t pos) { chunk.own.slides.push_back({pos, engine.windowBase}); }
    bool literal(uint8_t byte, size_t) {
        chunk.own.symbols.push_back(byte);
        return true;
    }
    bool match(unsigned distance, unsigned length, size_t) {
        chunk.own.symbols.push_back(uint32_t(distance) << 8 | (length - kMinMatch));
        return true;
    }
};

// A chunk's run-on: stops where a later chunk's parser stood in its state.
struct RunOnSink {
    SplitJob& job;
    size_t index;
    const DeflateEngine& engine;
    bool stopAt(const LazyState& state) {
        const size_t later = state.pos / job.chunkSize;
        if (later <= index || later >= job.chunks.size()) return false;
        const Chunk& next = job.chunks[later];
        const size_t i = state.pos - next.start;
        if (i >= next.records.size() || next.records[i] != packState(state, engine.windowBase, engine.stamp)) return false;
        Chunk& self = job.chunks[index];
        self.metChunk = later;
        self.metAt = state.pos;
        return true;
    }
    void slid(size_t pos) { job.chunks[index].runOn.slides.push_back({pos, engine.windowBase}); }
    bool literal(uint8_t byte, size_t) {
        job.chunks[index].runOn.symbols.push_back(byte);
        return true;
    }
    bool match(unsigned distance, unsigned length, size_t) {
        job.chunks[index].runOn.symbols.push_back(uint32_t(distance) << 8 | (length - kMinMatch));
        return true;
    }
};

// Readies this thread's engine to parse from `from` on, in the state the
// one-thread parse has there (window start windowBase, every string before
// `from` entered).
DeflateEngine* startPiece(const SplitJob& job, size_t from, size_t windowBase) {
    DeflateEngine* engine = acquireEngine(job.size, job.params);
    if (!engine) return nullptr;
    DeflateEngine& s = *engine;
    s.data = job.data;
    s.size = job.size;
    s.windowBase = windowBase;
    s.windowEnd = std::min(job.size, windowBase + 2 * kWindowSize);
    const size_t first = from > kWindowSize ? from - kWindowSize : 0;
    const size_t last = std::min(from, job.size >= kMinMatch ? job.size - kMinMatch + 1 : 0);
    for (size_t p = first; p < last; ++p) enterString(s, p, uint32_t(s.stamp + p));
    return engine;
}

// Stamped match start in the piece's engine, and back.
void restamp(LazyState& state, uint32_t stamp) { state.matchStart = uint32_t(stamp + state.pos) - state.matchStart; }
void unstamp(LazyState& state, uint32_t stamp) { state.matchStart = uint32_t(stamp + state.pos) - state.matchStart; }

void parseOwn(SplitJob& job, size_t index) {
    Chunk& chunk = job.chunks[index];
    chunk.adler = adler32Update(1, job.data + chunk.start, chunk.end - chunk.start);
    // The window start at a multiple of 32 KiB: zlib slides at the first
    // loop top 65274 bytes past its window start, and loop tops are at most
    // 257 bytes apart, so the slide before the chunk has happened.
    const size_t windowBase = chunk.start >= 2 * kWindowSize ? chunk.start - kWindowSize : 0;
    DeflateEngine* engine = startPiece(job, chunk.start, windowBase);
    if (!engine) {
        chunk.own.noMemory = true;
        return;
    }
    if (index > 0) {
        const size_t recorded = std::min(kRecordedLoopTops, chunk.end - chunk.start);
        chunk.records.assign(recorded, 0);
        chunk.counts.assign(recorded, 0);
    }
    chunk.own.symbols.reserve((chunk.end - chunk.start) / 2);
    LazyState state;
    state.pos = chunk.start;
    OwnSink sink{chunk, *engine};
    chunk.own.end = parseLazy(*engine, state, sink);
    unstamp(state, engine->stamp);
    chunk.own.state = state;
    chunk.own.windowBase = engine->windowBase;
}

void parseRunOn(SplitJob& job, size_t index) {
    Chunk& chunk = job.chunks[index];
    if (chunk.own.end != ParseEnd::stopped) return;
    DeflateEngine* engine = startPiece(job, chunk.own.state.pos, chunk.own.windowBase);
    if (!engine) {
        chunk.runOn.noMemory = true;
        return;
    }
    LazyState state = chunk.own.state;
    restamp(state, engine->stamp);
    RunOnSink sink{job, index, *engine};
    chunk.runOn.end = parseLazy(*engine, state, sink);
    unstamp(state, engine->stamp);
    chunk.runOn.state = state;
    chunk.runOn.windowBase = engine->windowBase;
}

// The joined symbol stream: pieces of the chunks' symbol lists in order.
struct Segment {
    const uint32_t* symbols;
    size_t count;
};

struct JoinedParse {
    std::vector<Segment> segments;
    std::vector<size_t> startIndex;   // global index of each segment's first symbol
    std::vector<Slide> slides;
    size_t total = 0;
    bool finalLiteral = false;        // the last symbol is the position held at the end of the input
    size_t finalWindowBase = 0;
    uint32_t finalByte = 0;
};

void addSegment(JoinedParse& j, const uint32_t* symbols, size_t count) {
    if (count == 0) return;
    j.segments.push_back({symbols, count});
    j.startIndex.push_back(j.total);
    j.total += count;
}

// Follows the run-ons from chunk 0 to the end of the input.
JoinedParse joinParse(const SplitJob& job) {
    JoinedParse j;
    size_t index = 0;
    size_t from = 0;        // first symbol of the chunk's own list to take
    size_t slidesAfter = 0;
    bool first = true;
    for (;;) {
        const Chunk& c = job.chunks[index];
        addSegment(j, c.own.symbols.data() + from, c.own.symbols.size() - from);
        for (const Slide& s : c.own.slides)
            if (first || s.pos > slidesAfter) j.slides.push_back(s);
        const ParsePiece* last = &c.own;
        if (c.own.end == ParseEnd::stopped) {
            addSegment(j, c.runOn.symbols.data(), c.runOn.symbols.size());
            j.slides.insert(j.slides.end(), c.runOn.slides.begin(), c.runOn.slides.end());
            last = &c.runOn;
        }
        if (last->end == ParseEnd::endOfInput) {
            j.finalLiteral = last->state.matchAvailable;
            j.finalWindowBase = last->windowBase;
            if (j.finalLiteral) j.finalByte = job.data[last->state.pos - 1];
            return j;
        }
        const Chunk& met = job.chunks[c.metChunk];
        from = met.counts[c.metAt - met.start];
        slidesAfter = c.metAt;
        first = false;
        index = c.metChunk;
    }
}

uint32_t symbolAt(const JoinedParse& j, size_t& segment, size_t& offset) {
    while (offset >= j.segments[segment].count) {
        offset -= j.segments[segment].count;
        ++segment;
    }
    return j.segments[segment].symbols[offset];
}

unsigned coveredBytes(uint32_t symbol) { return symbol < 256 ? 1 : (symbol & 0xFF) + kMinMatch; }

struct BlockCut {
    size_t firstSymbol = 0;
    size_t symbolCount = 0;
    size_t inputStart = 0;
    size_t inputLength = 0;
    size_t lastLoopTop = 0;   // where the block was ended (decides whether it may be stored)
    bool last = false;
    BlockPlan plan;
    uint64_t startBit = 0;
};

// Where the symbols of global index `index` lie among the segments.
void locate(const JoinedParse& j, size_t index, size_t& segment, size_t& offset) {
    segment = size_t(std::upper_bound(j.startIndex.begin(), j.startIndex.end(), index) - j.startIndex.begin()) - 1;
    offset = index - j.startIndex[segment];
}

thread_local std::unique_ptr<BlockEncoder> tBlockEncoder;

BlockEncoder* blockEncoder() {
    if (!tBlockEncoder) tBlockEncoder.reset(new (std::nothrow) BlockEncoder);
    return tBlockEncoder.get();
}

// Tallies the block's symbols (the final literal too) into e.
void tallyBlock(const JoinedParse& j, const BlockCut& cut, BlockEncoder& e) {
    startBlock(e);
    if (cut.symbolCount == 0) return;
    size_t segment = 0, offset = 0;
    const size_t fromSegments = std::min(cut.symbolCount, j.total - cut.firstSymbol);
    if (fromSegments) locate(j, cut.firstSymbol, segment, offset);
    for (size_t k = 0; k < fromSegments; ++k, ++offset) {
        const uint32_t symbol = symbolAt(j, segment, offset);
        if (symbol < 256) addLiteral(e, uint8_t(symbol));
        else addMatch(e, symbol >> 8, (symbol & 0xFF) + kMinMatch);
    }
    if (fromSegments < cut.symbolCount) addLiteral(e, uint8_t(j.finalByte));
}

size_t windowBaseAt(const JoinedParse& j, size_t loopTop) {
    const auto after = std::upper_bound(j.slides.begin(), j.slides.end(), loopTop,
                                        [](size_t pos, const Slide& s) { return pos < s.pos; });
    return after == j.slides.begin() ? 0 : (after - 1)->base;
}

// The timed pieces run one after another on the calling thread, so the
// process's CPU time is theirs; it is disturbed less than wall time by other
// work on a shared machine.
struct Clock {
    static double now() { return double(std::clock()) / CLOCKS_PER_SEC; }
};

double since(double t0) { return Clock::now() - t0; }

// Runs a phase: side by side, or timed piece by piece.
void runPhase(size_t count, unsigned threads, std::vector<double>* times, const std::function<void(size_t)>& work) {
    if (!times) return runPieces(count, threads, work);
    times->assign(count, 0);
    for (size_t k = 0; k < count; ++k) {
        const auto t0 = Clock::now();
        work(k);
        (*times)[k] = since(t0);
    }
}

uint32_t combineAdler(uint32_t first, uint32_t second, size_t secondLength) {
    const uint64_t n = secondLength % kAdlerModulus;
    const uint64_t a1 = first & 0xFFFF, b1 = first >> 16, a2 = second & 0xFFFF, b2 = second >> 16;
    const uint64_t a = (a1 + a2 + kAdlerModulus - 1) % kAdlerModulus;
    const uint64_t b = (b1 + b2 + n * (a1 + kAdlerModulus - 1)) % kAdlerModulus;
    return uint32_t(b << 16 | a);
}

int compressSplit(const uint8_t* data, size_t size, int level, uint8_t* out, size_t capacity, size_t& length,
                  unsigned threads, DeflateSplitTimes* times) {
    SplitJob job{data, size, levelParams(level), gTestChunkSize.load() ? gTestChunkSize.load() : kDefaultChunk, {}};
    const size_t chunkCount = (size + job.chunkSize - 1) / job.chunkSize;
    job.chunks.resize(chunkCount);
    for (size_t k = 0; k < chunkCount; ++k) {
        job.chunks[k].start = k * job.chunkSize;
        job.chunks[k].end = std::min(size, (k + 1) * job.chunkSize);
    }
    runPhase(chunkCount, threads, times ? &times->parse : nullptr, [&](size_t k) { parseOwn(job, k); });
    runPhase(chunkCount, threads, times ? &times->join : nullptr, [&](size_t k) { parseRunOn(job, k); });
    for (const Chunk& c : job.chunks)
        if (c.own.noMemory || c.runOn.noMemory) return deflateNoMemory;

    auto t0 = Clock::now();
    const JoinedParse joined = joinParse(job);
    // zlib ends a block after every 16383rd symbol tallied in its loop; the
    // position held at the end is tallied after the loop and ends no block.
    const size_t inLoop = joined.total;
    const size_t symbols = inLoop + (joined.finalLiteral ? 1 : 0);
    const size_t cuts = inLoop / kBlockSymbols;
    std::vector<BlockCut> blocks(cuts + 1);
    for (size_t b = 0; b <= cuts; ++b) {
        blocks[b].firstSymbol = b * kBlockSymbols;
        blocks[b].symbolCount = b < cuts ? kBlockSymbols : symbols - cuts * kBlockSymbols;
        blocks[b].last = b == cuts;
    }
    double sequential = since(t0);

    // Input bytes of each block, then where each starts and where it ends.
    runPhase(blocks.size(), threads, times ? &times->spans : nullptr, [&](size_t b) {
        BlockCut& cut = blocks[b];
        size_t segment = 0, offset = 0, bytes = 0;
        unsigned lastBytes = 0;
        const size_t fromSegments = std::min(cut.symbolCount, joined.total - cut.firstSymbol);
        if (fromSegments) locate(joined, cut.firstSymbol, segment, offset);
        for (size_t k = 0; k < fromSegments; ++k, ++offset) {
            lastBytes = coveredBytes(symbolAt(joined, segment, offset));
            bytes += lastBytes;
        }
        if (fromSegments < cut.symbolCount) bytes += 1;
        cut.inputLength = bytes;
        cut.lastLoopTop = bytes - lastBytes + 1;   // relative to the block start until placed
    });
    t0 = Clock::now();
    size_t inputPos = 0;
    for (BlockCut& cut : blocks) {
        cut.inputStart = inputPos;
        cut.lastLoopTop += inputPos;
        inputPos += cut.inputLength;
    }
    sequential += since(t0);

    bool noMemory = false;
    runPhase(blocks.size(), threads, times ? &times->plan : nullptr, [&](size_t b) {
        BlockCut& cut = blocks[b];
        BlockEncoder* e = blockEncoder();
        if (!e) {
            noMemory = true;
            return;
        }
        tallyBlock(joined, cut, *e);
        const size_t windowBase = cut.last ? joined.finalWindowBase : windowBaseAt(joined, cut.lastLoopTop);
        cut.plan = planBlock(*e, cut.inputLength, cut.inputStart >= windowBase);
    });
    if (noMemory) return deflateNoMemory;

    t0 = Clock::now();
    uint64_t bit = 16;
    for (BlockCut& cut : blocks) {
        cut.startBit = bit;
        bit = blockEndBit(cut.plan, bit, cut.inputLength, cut.last);
    }
    const size_t streamBytes = size_t(bit / 8) + 4;
    sequential += since(t0);
    if (streamBytes > capacity) return deflateNotSmaller;

    // Each block is sent into a buffer of its own from its bit phase on; its
    // bytes after the first go straight to their place, the first byte, which
    // it may share with the block before, is merged in order afterwards.
    std::vector<uint8_t> firstBytes(blocks.size());
    runPhase(blocks.size(), threads, times ? &times->emit : nullptr, [&](size_t b) {
        const BlockCut& cut = blocks[b];
        BlockEncoder* e = blockEncoder();
        if (!e) {
            noMemory = true;
            return;
        }
        tallyBlock(joined, cut, *e);
        const size_t windowBase = cut.last ? joined.finalWindowBase : windowBaseAt(joined, cut.lastLoopTop);
        const BlockPlan plan = planBlock(*e, cut.inputLength, cut.inputStart >= windowBase);
        const uint64_t endBit = blockEndBit(plan, cut.startBit, cut.inputLength, cut.last);
        std::vector<uint8_t> buffer(size_t((endBit - (cut.startBit & ~uint64_t(7))) / 8) + 16);
        e->out = BitWriter{buffer.data(), 0, 0, unsigned(cut.startBit & 7)};
        emitBlock(*e, plan, data + cut.inputStart, cut.inputLength, cut.last);
        flushPartial(e->out);
        firstBytes[b] = buffer[0];
        if (e->out.pos > 1) memcpy(out + cut.startBit / 8 + 1, buffer.data() + 1, e->out.pos - 1);
    });
    if (noMemory) return deflateNoMemory;

    t0 = Clock::now();
    const unsigned header = (0x78u << 8) | (level < 6 ? 1u : level == 6 ? 2u : 3u) << 6;
    out[0] = uint8_t(header >> 8);
    out[1] = uint8_t(header + 31 - header % 31);
    for (size_t b = 0; b < blocks.size(); ++b) {
        uint8_t& target = out[blocks[b].startBit / 8];
        target = (blocks[b].startBit & 7) ? uint8_t(target | firstBytes[b]) : firstBytes[b];
    }
    uint32_t adler = 1;
    for (const Chunk& c : job.chunks) adler = combineAdler(adler, c.adler, c.end - c.start);
    const uint8_t trailer[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
    memcpy(out + bit / 8, trailer, 4);
    length = streamBytes;
    if (times) times->sequential = sequential + since(t0);
    return deflateOk;
}

}  // namespace

bool splitSharesLevel(int level) { return level == -1 || (level >= 4 && level <= 9); }

int compressZlibSplit(const uint8_t* data, size_t size, int level, uint8_t* out, size_t capacity, size_t& length,
                      unsigned threads) {
    const size_t chunk = gTestChunkSize.load() ? gTestChunkSize.load() : kDefaultChunk;
    if (!splitSharesLevel(level) || threads <= 1 || size <= chunk || size > kLongestStream)
        return compressZlib(data, size, level, out, capacity, length);
    if (level == -1) level = 6;
    if (capacity < 2 + 2 + 4) return deflateNotSmaller;
    return compressSplit(data, size, level, out, capacity, length, threads, nullptr);
}

int compressZlibSplitTimed(const uint8_t* data, size_t size, int level, uint8_t* out, size_t capacity, size_t& length,
                           DeflateSplitTimes& times) {
    if (level == -1) level = 6;
    if (level < 4 || level > 9 || size > kLongestStream) return deflateBadLevel;
    if (capacity < 2 + 2 + 4) return deflateNotSmaller;
    return compressSplit(data, size, level, out, capacity, length, 1, &times);
}

void setDeflateSplitForTesting(size_t chunkSize, int startableThreads) {
    gTestChunkSize.store(chunkSize);
    setStartableThreadsForTesting(startableThreads);
}
