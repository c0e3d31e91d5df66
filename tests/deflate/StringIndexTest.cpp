// The key-chain search of levels 7 to 9 (with level 6's walk along zlib's
// chain beside it) against zlib's compress2: inputs
// built so that the one thing that decides the match lies at a boundary of
// zlib's search (its candidate count, its distance limit) or on a key chain
// crowded with strings of other hash buckets.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "deflate/Deflate.h"
#include "deflate/DeflateOracle.h"
#include "deflate/StringIndex.h"

namespace {

void expectSameAsZlib(const Bytes& in, const std::string& label) {
    for (int level = 6; level <= 9; ++level)
        EXPECT_EQ(ourStream(in, level), zlibStream(in, level)) << label << " level " << level;
}

void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// Random filler: no match of 3 bytes or more, in all likelihood.
Bytes filler(size_t size, uint32_t seed) { return randomBytes(size, 256, seed); }

// Zeros that make the block worth compressing: a block of random filler
// alone would be stored, whatever the parse found.
Bytes lead() { return Bytes(4000, 0); }

// A long string once, then `shorter` strings sharing only its first `shared`
// bytes, then the long string again: zlib finds the long match only while it
// is among the candidates it examines, the newest first.
Bytes longMatchBehind(size_t shorter, size_t shared, uint32_t seed) {
    const Bytes target = randomBytes(40, 256, seed);
    Bytes in = lead();
    append(in, filler(64, seed + 1));
    append(in, target);
    for (size_t k = 0; k < shorter; ++k) {
        append(in, filler(5, seed + 2 + uint32_t(k)));
        Bytes copy(target.begin(), target.begin() + long(shared));
        copy.push_back(uint8_t(target[shared] ^ (1 + k % 255)));
        append(in, copy);
    }
    append(in, filler(7, seed + 99999));
    append(in, target);
    append(in, filler(16, seed + 100000));
    return in;
}

TEST(StringIndex, TheCandidateCountEndsTheSearchWhereZlibsDoes) {
    // Level 6 examines 128 candidates, 7 256, 8 1024, 9 4096 (a quarter
    // once the held match is 8 or 32 bytes long); the long match lies just
    // inside and just past each count. Shared prefixes of 3, 5, 6, 7 and 9
    // bytes put the short strings on each key's chain.
    for (const size_t count : {31u, 32u, 33u, 127u, 128u, 129u, 255u, 256u, 257u, 1023u, 1024u, 1025u})
        for (const size_t shared : {3u, 5u, 6u, 7u, 9u})
            expectSameAsZlib(longMatchBehind(count, shared, uint32_t(count * 16 + shared)),
                             "long match behind " + std::to_string(count) + " sharing " + std::to_string(shared));
    expectSameAsZlib(longMatchBehind(4095, 4, 7), "behind 4095");
    expectSameAsZlib(longMatchBehind(4097, 4, 8), "behind 4097");
}

TEST(StringIndex, OnlyTheFirstCandidateMayLieAtTheLargestDistance) {
    // zlib takes a match exactly 32506 bytes back only from the newest
    // entry of its chain; an older entry at that distance is past its limit.
    const Bytes target = randomBytes(60, 256, 41);
    const size_t reach = 32768 - 262;
    for (const bool nearerEntry : {false, true}) {
        for (const long shift : {-1L, 0L, 1L}) {
            Bytes in = lead();
            append(in, filler(3000, 42));
            const size_t first = in.size();
            append(in, target);
            Bytes rest = filler(size_t(long(reach) + shift) - target.size(), 43);
            if (nearerEntry) std::copy(target.begin(), target.begin() + 12, rest.begin() + 20000);
            append(in, rest);
            ASSERT_EQ(in.size() - first, size_t(long(reach) + shift));
            append(in, target);
            append(in, filler(300, 44));
            expectSameAsZlib(in, std::string(nearerEntry ? "with" : "without") + " a nearer entry, shift " +
                                     std::to_string(shift));
        }
    }
}

// Three-byte strings whose first key hashes like `like`'s but whose zlib
// hash differs: on the first key's chain they are strangers.
std::vector<Bytes> strangersOf(const Bytes& like, size_t count) {
    const unsigned wanted = keyHash(keyOf(keyBytes(like.data(), 3), kKeyLength[0]));
    std::vector<Bytes> found;
    for (uint32_t v = 1; v < (1u << 24) && found.size() < count; ++v) {
        const Bytes s = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
        if (keyHash(keyOf(keyBytes(s.data(), 3), kKeyLength[0])) == wanted && hashAt(s.data()) != hashAt(like.data()))
            found.push_back(s);
    }
    return found;
}

TEST(StringIndex, StrangersOnAKeyChainHandTheSearchToZlibsChain) {
    // Hundreds of strings of other zlib buckets on the searched string's key
    // chain, before and after its own entries: the search passes a bounded
    // number of them and goes on along zlib's chain, with the same result.
    const Bytes target = randomBytes(30, 256, 51);
    const size_t total = 500;   // of the 511 there are
    const std::vector<Bytes> strangers = strangersOf(target, total);
    ASSERT_EQ(strangers.size(), total);
    for (const size_t before : {size_t(0), size_t(100), size_t(300), total}) {
        Bytes in = lead();
        append(in, filler(50, 52));
        append(in, target);
        for (size_t k = 0; k < total - before; ++k) append(in, strangers[k]), append(in, filler(2, 53 + uint32_t(k)));
        Bytes prefix(target.begin(), target.begin() + 4);
        append(in, prefix);   // an entry of zlib's chain among the strangers
        for (size_t k = total - before; k < total; ++k) append(in, strangers[k]), append(in, filler(2, 900 + uint32_t(k)));
        append(in, target);
        append(in, filler(40, 54));
        expectSameAsZlib(in, "strangers after the entry: " + std::to_string(before));
    }
}

TEST(StringIndex, KeysNearTheEndOfTheInput) {
    // Strings with fewer than 8 bytes left are on the shorter keys' chains
    // only; the last matches reach the input's end.
    for (size_t tail = 3; tail <= 12; ++tail) {
        Bytes in = wordText(5000, uint32_t(tail));
        Bytes end(in.begin() + 1000, in.begin() + 1000 + long(tail));
        append(in, end);
        expectSameAsZlib(in, "tail " + std::to_string(tail));
    }
}

}  // namespace
