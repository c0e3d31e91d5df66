// Our deflate engine against zlib's compress2: the same bytes for every
// input and level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "deflate/Deflate.h"
#include "deflate/DeflateOracle.h"
#include "support/Fixtures.h"

namespace {

// Compares at every level; reports the first differing byte.
void expectSameAsZlib(const Bytes& in, const std::string& label, int firstLevel = 1, int lastLevel = 9) {
    for (int level = firstLevel; level <= lastLevel; ++level) {
        const Bytes expected = zlibStream(in, level);
        int status = 0;
        const Bytes ours = ourStream(in, level, &status);
        ASSERT_EQ(status, deflateOk) << label << " level " << level;
        if (ours == expected) continue;
        const auto diff = std::mismatch(ours.begin(), ours.end(), expected.begin(), expected.end());
        ADD_FAILURE() << label << " (" << in.size() << " bytes) level " << level << ": " << ours.size() << " bytes, zlib "
                      << expected.size() << ", first difference at " << (diff.first - ours.begin());
        return;
    }
}

TEST(Deflate, TinyInputs) {
    expectSameAsZlib({}, "empty");
    for (size_t size = 1; size <= 8; ++size) {
        expectSameAsZlib(randomBytes(size, 256, uint32_t(size)), "random");
        expectSameAsZlib(Bytes(size, 'x'), "one byte value");
    }
}

TEST(Deflate, ZerosAndRunsOfManyLengths) {
    for (size_t size : {31, 255, 256, 257, 258, 259, 260, 261, 262, 263, 264, 516, 517, 518, 4096, 32767, 32768, 32769,
                        65273, 65274, 65275, 65536, 65537, 98304, 200000})
        expectSameAsZlib(Bytes(size, 0), "zeros " + std::to_string(size));
    for (unsigned maxRun : {3u, 8u, 40u, 300u, 700u}) expectSameAsZlib(runs(90000, maxRun, maxRun), "runs " + std::to_string(maxRun));
}

TEST(Deflate, RandomTextAndTables) {
    expectSameAsZlib(randomBytes(70000, 256, 1), "random");
    expectSameAsZlib(randomBytes(70000, 2, 2), "two values");
    expectSameAsZlib(randomBytes(70000, 5, 3), "five values");
    expectSameAsZlib(wordText(150000, 4), "text");
    Bytes table;
    for (uint32_t k = 0; k < 40000; ++k) {
        const uint32_t v = 0x10000000 + k * 12;
        table.insert(table.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    }
    expectSameAsZlib(table, "rising words");
}

TEST(Deflate, PeriodicDataAroundMatchAndWindowLimits) {
    // Periods around the longest match, the 3-byte "too far" distance, the
    // farthest distance zlib searches (32 KiB - 262) and the window.
    for (size_t period : {1, 2, 3, 257, 258, 259, 4095, 4096, 4097, 32505, 32506, 32507, 32767, 32768, 32769}) {
        const size_t size = std::min<size_t>(3 * period + 5000, 140000);
        expectSameAsZlib(periodic(period, size, uint32_t(period), 0), "period " + std::to_string(period));
        expectSameAsZlib(periodic(period, size, uint32_t(period), 97), "period with changes " + std::to_string(period));
    }
}

TEST(Deflate, RepeatsAtDistancesAroundTheLimits) {
    // A random string repeated once at a chosen distance in random filler:
    // found only when the distance is within reach.
    for (size_t distance : {4095, 4096, 4097, 32505, 32506, 32507, 32508, 32767, 32768}) {
        for (size_t length : {3, 4, 5, 300}) {
            Bytes in = randomBytes(distance + length + 700, 256, uint32_t(distance * 7 + length));
            for (size_t start : {size_t(100), size_t(2)})
                std::copy_n(in.begin() + start, length, in.begin() + start + distance);
            expectSameAsZlib(in, "distance " + std::to_string(distance) + " length " + std::to_string(length));
        }
    }
    // Many 3- to 5-byte copies from far back (the "too far" rule) in blocks
    // that cost about as much as stored ones and span window slides.
    for (unsigned percent : {30u, 60u, 90u})
        for (unsigned distance : {4000u, 4200u, 30000u})
            expectSameAsZlib(shortCopies(200000, distance, percent, percent + distance),
                             "short copies " + std::to_string(percent) + "% within " + std::to_string(distance));
}

TEST(Deflate, SizesAroundBlockCutsAndWindowSlides) {
    // Random bytes give one literal per byte: blocks of 16383 bytes.
    for (size_t size : {16382, 16383, 16384, 16385, 32766, 32767, 32768})
        expectSameAsZlib(randomBytes(size, 256, uint32_t(size)), "random " + std::to_string(size));
    // Around the first slides (at 65274 bytes in, then every 32 KiB) and the
    // window size, in text whose matches run up to the end.
    for (size_t base : {65536u, 98304u, 131072u}) {
        for (long delta : {-263, -262, -259, -258, -3, -1, 0, 1, 2, 262}) {
            const size_t size = size_t(long(base) + delta);
            expectSameAsZlib(wordText(size, uint32_t(size)), "text " + std::to_string(size), 5, 7);
        }
    }
    expectSameAsZlib(wordText(65274, 9), "text 65274");
    expectSameAsZlib(wordText(65275, 9), "text 65275");
}

TEST(Deflate, StringAtTheWindowStartWhenItSlides) {
    // zlib slides its window once the position is 65274 bytes into it, here
    // at position 65274 itself, the input ending within the lookahead; the
    // string at the new window start (32768) then no longer counts, though
    // it lies exactly at the farthest distance searched. It must be the
    // newest of its hash chain: no string in between has its hash. Bytes of
    // 64 values keep the blocks compressed, so the parse shows.
    auto hash = [](const uint8_t* p) { return ((p[0] << 10) ^ (p[1] << 5) ^ p[2]) & 0x7FFF; };
    for (size_t size : {65400, 65530}) {
        Bytes in = randomBytes(size, 64, uint32_t(size));
        std::copy_n(in.begin() + 32768, 20, in.begin() + 65274);
        const int planted = hash(&in[32768]);
        std::mt19937 rng(1);
        for (size_t k = 32769; k < 65274; ++k)
            while (hash(&in[k]) == planted) in[k + 2] = uint8_t(rng() % 64);
        expectSameAsZlib(in, "string at the slide " + std::to_string(size));
    }
}

TEST(Deflate, DeepTreesAreLimited) {
    for (unsigned symbols : {16u, 20u, 24u}) {
        expectSameAsZlib(fibonacciLiterals(symbols, symbols), "fibonacci " + std::to_string(symbols));
    }
    // Few distinct byte values with skewed counts: code length trees at
    // their 7-bit limit.
    Bytes skewed;
    std::mt19937 rng(5);
    for (int k = 0; k < 60000; ++k) skewed.push_back(uint8_t(std::countr_zero(uint32_t(rng() | 0x80000000u)) * 9));
    expectSameAsZlib(skewed, "skewed");
}

TEST(Deflate, LongMatchesAtTheVeryEnd) {
    const Bytes head = randomBytes(3000, 256, 77);
    for (size_t tail : {1, 2, 3, 4, 5, 6, 100, 257, 258, 259, 260, 261, 262, 263, 600}) {
        Bytes in = head;
        // The end repeats the start, so the last match reaches the end of
        // the input; also once as a near-copy of an earlier repeat.
        for (size_t k = 0; k < tail; ++k) in.push_back(head[k % head.size()]);
        expectSameAsZlib(in, "tail " + std::to_string(tail));
        Bytes twice = in;
        twice.insert(twice.end(), head.begin(), head.begin() + long(std::min(tail, head.size())));
        expectSameAsZlib(twice, "tail twice " + std::to_string(tail));
    }
}

TEST(Deflate, EverySectionOfEveryFixture) {
    if (!haveFixture("lib.elf")) GTEST_SKIP() << "no cross toolchain";
    size_t sections = 0;
    for (const char* name : {"lib.elf", "bigdata.elf", "debug.elf", "qdx.elf", "plain.elf", "lib_le.elf", "tls.elf"}) {
        std::ifstream file(fixturePath(name), std::ios::binary);
        const Bytes image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        ASSERT_GE(image.size(), 52u) << name;
        const bool big = image[5] == 2;
        auto word = [&](size_t at, int width) {
            uint32_t v = 0;
            for (int k = 0; k < width; ++k) v |= uint32_t(image[at + k]) << (big ? 8 * (width - 1 - k) : 8 * k);
            return v;
        };
        const uint32_t shoff = word(32, 4), shnum = word(48, 2);
        ASSERT_LE(uint64_t(shoff) + 40 * shnum, image.size()) << name;
        for (uint32_t i = 1; i < shnum; ++i) {
            const size_t h = shoff + 40 * i;
            const uint32_t type = word(h + 4, 4), offset = word(h + 16, 4), size = word(h + 20, 4);
            if (type == 8 || size == 0 || uint64_t(offset) + size > image.size()) continue;
            const Bytes contents(image.begin() + offset, image.begin() + offset + size);
            expectSameAsZlib(contents, std::string(name) + " section " + std::to_string(i));
            ++sections;
        }
        expectSameAsZlib(image, std::string(name) + " whole file");
    }
    EXPECT_GT(sections, 40u);
}

TEST(Deflate, StopsWhenTheStreamCannotFit) {
    const Bytes text = wordText(50000, 3);
    for (int level : {1, 6, 9}) {
        const Bytes expected = zlibStream(text, level);
        Bytes out(expected.size());
        size_t length = 0;
        ASSERT_EQ(compressZlib(text.data(), text.size(), level, out.data(), out.size(), length), deflateOk);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + long(length)), expected);
        // One byte less: the trailer or the last block no longer fits.
        Bytes shorter(expected.size() - 1, 0xEE);
        EXPECT_EQ(compressZlib(text.data(), text.size(), level, shorter.data(), shorter.size(), length), deflateNotSmaller);
    }
    // Incompressible data stops at the first block that does not fit, and
    // the engine stays usable.
    const Bytes noise = randomBytes(300000, 256, 8);
    Bytes out(noise.size() - 5);
    size_t length = 0;
    EXPECT_EQ(compressZlib(noise.data(), noise.size(), 6, out.data(), out.size(), length), deflateNotSmaller);
    EXPECT_EQ(compressZlib(noise.data(), 10, 6, out.data(), 7, length), deflateNotSmaller);
    expectSameAsZlib(text, "after a stop", 6, 6);
}

TEST(Deflate, LevelsAndAdler) {
    const Bytes text = wordText(1000, 1);
    EXPECT_EQ(ourStream(text, -1), zlibStream(text, 6));
    Bytes out(2000);
    size_t length = 0;
    for (int level : {0, 10, -2})
        EXPECT_EQ(compressZlib(text.data(), text.size(), level, out.data(), out.size(), length), deflateBadLevel) << level;
    const Bytes big = randomBytes(1 << 20, 256, 6);
    EXPECT_EQ(adler32Update(1, big.data(), big.size()), adler32(1, big.data(), uInt(big.size())));
    EXPECT_EQ(adler32Update(adler32Update(1, big.data(), 1000), big.data() + 1000, big.size() - 1000),
              adler32(1, big.data(), uInt(big.size())));
}

TEST(Deflate, StreamsAfterTheTablesAreReset) {
    // Positions of earlier streams stay in the hash tables; a new stream
    // must not match against them, also when the position numbering starts
    // over and the tables are cleared.
    const Bytes text = wordText(40000, 11);
    const Bytes other = wordText(40000, 12);
    expectSameAsZlib(text, "first", 6, 6);
    setDeflateStampForTesting(0xFFFFFFF0u - 50000);
    expectSameAsZlib(other, "near the numbering limit", 6, 6);
    expectSameAsZlib(text, "after the tables were cleared", 6, 6);
    expectSameAsZlib(other, "again", 1, 9);
}

}  // namespace
