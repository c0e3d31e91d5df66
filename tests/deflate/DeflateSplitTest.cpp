// One stream's compression shared by several threads: the same bytes as one
// thread for any thread count, chunk size, and threads that cannot start.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "deflate/Deflate.h"
#include "deflate/DeflateOracle.h"
#include "support/Fixtures.h"

namespace {

// Restores the default chunk size and thread starts after a test.
struct SplitSettings {
    SplitSettings(size_t chunk, int startable = -1) { setDeflateSplitForTesting(chunk, startable); }
    ~SplitSettings() { setDeflateSplitForTesting(0, -1); }
};

Bytes splitStream(const Bytes& in, int level, unsigned threads, size_t capacity = 0, int* status = nullptr) {
    Bytes out(capacity ? capacity : in.size() + in.size() / 8 + 64);
    size_t length = 0;
    const int result = compressZlibSplit(in.data(), in.size(), level, out.data(), out.size(), length, threads);
    if (status) *status = result;
    out.resize(result == deflateOk ? length : 0);
    return out;
}

void expectSameForAnyThreads(const Bytes& in, const std::string& label, std::initializer_list<int> levels) {
    for (int level : levels) {
        const Bytes expected = zlibStream(in, level);
        for (unsigned threads : {1u, 2u, 3u, 8u, 16u}) {
            int status = 0;
            const Bytes ours = splitStream(in, level, threads, 0, &status);
            ASSERT_EQ(status, deflateOk) << label << " level " << level << " threads " << threads;
            EXPECT_TRUE(ours == expected) << label << " (" << in.size() << " bytes) level " << level << " threads "
                                          << threads << ": " << ours.size() << " bytes, zlib " << expected.size();
        }
    }
}

TEST(DeflateSplit, SameBytesForAnyThreadCount) {
    const SplitSettings small(32768);
    expectSameForAnyThreads(wordText(300000, 1), "text", {4, 6, 9});
    expectSameForAnyThreads(randomBytes(200000, 4, 2), "four values", {5, 8});
    expectSameForAnyThreads(runs(250000, 300, 3), "runs", {6, 7});
    expectSameForAnyThreads(shortCopies(250000, 30000, 60, 4), "short copies", {4, 6});
    expectSameForAnyThreads(periodic(4097, 200000, 5, 97), "period 4097", {6, 9});
    expectSameForAnyThreads(randomBytes(150000, 256, 6), "random", {6});
    // Sizes around chunk and block boundaries.
    for (size_t size : {65535, 65536, 65537, 98304 + 300})
        expectSameForAnyThreads(wordText(size, uint32_t(size)), "text " + std::to_string(size), {6});
}

TEST(DeflateSplit, ChunksThatNeverJoin) {
    // Long matches of the same length one after another: a chunk's parse
    // can stay out of step with the parse before it, whose run-on then takes
    // the next chunks over (a 258-byte period never joins; zeros join once).
    const SplitSettings small(32768);
    expectSameForAnyThreads(Bytes(200000, 0), "zeros", {4, 6, 9});
    expectSameForAnyThreads(periodic(258, 200000, 7, 0), "period 258", {6});
}

TEST(DeflateSplit, SectionsSmallerThanAChunkAndOtherLevels) {
    const SplitSettings chunk(65536);
    expectSameForAnyThreads(wordText(1000, 8), "small", {6});
    expectSameForAnyThreads(wordText(65536, 9), "one chunk", {6});
    // Levels 1 to 3 keep one thread; the bytes are the same.
    const Bytes text = wordText(200000, 10);
    for (int level : {1, 2, 3}) EXPECT_EQ(splitStream(text, level, 4), zlibStream(text, level)) << level;
    EXPECT_EQ(splitStream(text, -1, 4), zlibStream(text, 6));
}

TEST(DeflateSplit, ThreadsThatCannotBeStarted) {
    const Bytes text = wordText(300000, 11);
    const Bytes expected = zlibStream(text, 6);
    for (int startable : {0, 1, 2}) {
        const SplitSettings limited(32768, startable);
        EXPECT_EQ(splitStream(text, 6, 8), expected) << startable;
    }
}

TEST(DeflateSplit, StopsWhenTheStreamCannotFit) {
    const SplitSettings small(32768);
    const Bytes text = wordText(200000, 12);
    const Bytes expected = zlibStream(text, 6);
    int status = 0;
    EXPECT_EQ(splitStream(text, 6, 2, expected.size(), &status), expected);
    EXPECT_TRUE(splitStream(text, 6, 2, expected.size() - 1, &status).empty());
    EXPECT_EQ(status, deflateNotSmaller);
    const Bytes noise = randomBytes(200000, 256, 13);
    splitStream(noise, 6, 2, noise.size() - 5, &status);
    EXPECT_EQ(status, deflateNotSmaller);
}

TEST(DeflateSplit, TimedPiecesGiveTheSameBytes) {
    const SplitSettings small(65536);
    const Bytes text = wordText(300000, 14);
    Bytes out(text.size());
    size_t length = 0;
    DeflateSplitTimes times;
    ASSERT_EQ(compressZlibSplitTimed(text.data(), text.size(), 6, out.data(), out.size(), length, times), deflateOk);
    out.resize(length);
    EXPECT_EQ(out, zlibStream(text, 6));
    EXPECT_EQ(times.parse.size(), 5u);   // 300000 bytes in 64 KiB chunks
    EXPECT_EQ(times.join.size(), 5u);
    EXPECT_EQ(times.plan.size(), times.emit.size());
    EXPECT_GE(times.plan.size(), 1u);
}

TEST(DeflateSplit, FixtureSections) {
    if (!haveFixture("bigdata.elf")) GTEST_SKIP() << "no cross toolchain";
    const SplitSettings small(32768);
    for (const char* name : {"bigdata.elf", "debug.elf"}) {
        std::ifstream file(fixturePath(name), std::ios::binary);
        const Bytes image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        expectSameForAnyThreads(image, name, {6, 9});
    }
}

}  // namespace
