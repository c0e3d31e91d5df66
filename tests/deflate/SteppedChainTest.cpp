// The stepped links of level 6: the walk that reads four links at a
// time against zlib's one-link walk over the same strings, and the engine's
// tables shared by the stepped links and the key chains when one thread
// compresses at several levels.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "deflate/Deflate.h"
#include "deflate/DeflateOracle.h"
#include "deflate/SteppedChain.h"

namespace {

struct Tables {
    MatchFinder single{};
    MatchFinder stepped{};
    StepLinks steps[kWindowSize]{};
};

// Enters every string of `in` (stamped from `stamp`) in both tables and, at
// each position, runs both searches from every held length in `held` with
// `params`; the two must agree on the length and the candidate.
void expectSameWalk(Tables& t, const Bytes& in, uint32_t stamp, size_t windowBase, const LevelParams& params,
                    std::initializer_list<unsigned> held, const std::string& label) {
    const MatchSearch search{in.data(), stamp, uint32_t(stamp + windowBase)};
    unsigned mismatches = 0;
    for (size_t pos = 0; pos + kMinMatch <= in.size() && mismatches < 5; ++pos) {
        const uint32_t at = uint32_t(stamp + pos);
        const uint32_t head = insertString(t.single, in.data(), pos, at);
        ASSERT_EQ(insertStepped(t.stepped, t.steps, hashAt(in.data() + pos), at), head) << label << " at " << pos;
        if (pos < windowBase || head <= search.windowBase || at - head > kMaxDistance) continue;
        const unsigned lookahead = unsigned(std::min<size_t>(in.size() - pos, 2 * kMaxMatch));
        for (const unsigned bestLength : held) {
            uint32_t singleStart = 0, steppedStart = 0;
            const unsigned a = longestMatch(t.single, params, search, at, head, bestLength, lookahead, singleStart);
            const unsigned b = longestMatchStepped(t.steps, params, search, at, head, bestLength, lookahead, steppedStart);
            if (a != b || (a > bestLength && a < lookahead && singleStart != steppedStart)) {
                ++mismatches;
                ADD_FAILURE() << label << " at " << pos << " holding " << bestLength << ": zlib's walk " << a << " from "
                              << at - singleStart << " back, stepped " << b << " from " << at - steppedStart << " back";
            }
        }
    }
}

LevelParams params(unsigned good, unsigned nice, unsigned chain) { return {good, 16, nice, chain, true, ChainSearch::stepped}; }

TEST(SteppedChain, TheWalkEndsWhereZlibsDoes) {
    // Few distinct bytes make long chains, so every search runs into its
    // candidate count, which the counts below place at each of the four
    // links of a record; the input is longer than the window, so the
    // distance limit cuts chains too. A quarter of the count applies from
    // the good length on, and the nice length ends a search early.
    auto tables = std::make_unique<Tables>();
    uint32_t stamp = kFirstStamp;
    for (const unsigned alphabet : {2u, 3u, 5u}) {
        const Bytes in = randomBytes(5000, alphabet, alphabet);
        for (const unsigned chain : {1u, 2u, 3u, 4u, 5u, 7u, 9u, 33u}) {
            for (const LevelParams& p : {params(8, 258, chain), params(3, 6, chain)}) {
                expectSameWalk(*tables, in, stamp, 0, p, {2, 3, 5, 20},
                               "alphabet " + std::to_string(alphabet) + " chain " + std::to_string(chain) + " good " +
                                   std::to_string(p.good) + " nice " + std::to_string(p.nice));
                stamp += uint32_t(in.size()) + 1;
            }
        }
    }
    const Bytes longer = randomBytes(40000, 3, 9);
    expectSameWalk(*tables, longer, stamp, 0, params(8, 258, 128), {2}, "past the window, chain 128");
}

TEST(SteppedChain, EntriesOfEarlierStreamsAndBeforeTheWindowAreNeverCandidates) {
    // The tables keep the strings of the stream before, numbered below this
    // one, and the search starts its window partway in: links into either
    // are out of reach, also as the sums the stepped links keep.
    auto tables = std::make_unique<Tables>();
    const Bytes before = randomBytes(30000, 2, 7);
    const Bytes in = randomBytes(30000, 2, 8);
    expectSameWalk(*tables, before, kFirstStamp, 0, params(8, 258, 128), {2}, "earlier stream");
    expectSameWalk(*tables, in, kFirstStamp + 30001, 0, params(8, 258, 128), {2, 4}, "next stream");
    expectSameWalk(*tables, in, kFirstStamp + 60002, 20000, params(8, 258, 128), {2, 4}, "window from 20000");
}

TEST(SteppedChain, OneThreadAlternatesBetweenSteppedLinksAndKeyChains) {
    // The stepped links and the key chains share their memory: a key-chain
    // stream after a stepped one finds links where its heads were, and a
    // stepped stream after a key-chain one finds key-chain records where its
    // links are. Every stream must still give zlib's bytes, also with stamps
    // near the values that links take when they are read as heads.
    const Bytes text = wordText(60000, 21);
    const Bytes few = randomBytes(60000, 4, 22);
    for (const uint32_t stamp : {kFirstStamp, 0x00030000u, 0x00100000u}) {
        setDeflateStampForTesting(stamp);
        for (const int level : {6, 9, 4, 8, 6, 7, 5, 9, 1, 9}) {
            EXPECT_EQ(ourStream(text, level), zlibStream(text, level)) << "text at level " << level << " stamp " << stamp;
            EXPECT_EQ(ourStream(few, level), zlibStream(few, level)) << "four bytes at level " << level << " stamp " << stamp;
        }
    }
}

}  // namespace
