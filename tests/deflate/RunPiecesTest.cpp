// The one thread runner: every piece exactly once, whatever the thread count
// and however many threads can really be started.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

#include "deflate/RunPieces.h"

namespace {

struct StartableThreads {
    explicit StartableThreads(int count) { setStartableThreadsForTesting(count); }
    ~StartableThreads() { setStartableThreadsForTesting(-1); }
};

std::vector<int> runAndCount(size_t pieces, unsigned threads) {
    std::vector<std::atomic<int>> seen(pieces);
    runPieces(pieces, threads, [&](size_t k) { seen[k].fetch_add(1); });
    std::vector<int> counts;
    for (const auto& s : seen) counts.push_back(s.load());
    return counts;
}

}  // namespace

TEST(RunPieces, EveryPieceOnceForAnyThreadCount) {
    for (unsigned threads : {1u, 2u, 3u, 8u, 16u}) {
        for (size_t pieces : {size_t(0), size_t(1), size_t(2), size_t(7), size_t(1000)}) {
            const std::vector<int> counts = runAndCount(pieces, threads);
            EXPECT_EQ(size_t(std::count(counts.begin(), counts.end(), 1)), pieces) << threads << " " << pieces;
        }
    }
}

TEST(RunPieces, OneThreadRunsInOrderOnTheCaller) {
    std::vector<size_t> order;
    const std::thread::id caller = std::this_thread::get_id();
    bool elsewhere = false;
    runPieces(50, 1, [&](size_t k) {
        order.push_back(k);
        elsewhere |= std::this_thread::get_id() != caller;
    });
    ASSERT_EQ(order.size(), 50u);
    for (size_t k = 0; k < order.size(); ++k) EXPECT_EQ(order[k], k);
    EXPECT_FALSE(elsewhere);
}

TEST(RunPieces, ThreadsThatCannotStartLeaveTheirShareToTheOthers) {
    for (int startable : {0, 1, 2}) {
        const StartableThreads limit(startable);
        std::mutex lock;
        std::set<std::thread::id> workers;
        std::vector<std::atomic<int>> seen(400);
        runPieces(seen.size(), 8, [&](size_t k) {
            seen[k].fetch_add(1);
            const std::lock_guard<std::mutex> hold(lock);
            workers.insert(std::this_thread::get_id());
        });
        for (const auto& s : seen) EXPECT_EQ(s.load(), 1) << startable;
        EXPECT_LE(workers.size(), size_t(startable) + 1) << startable;
        if (startable == 0) {
            EXPECT_EQ(workers, std::set<std::thread::id>{std::this_thread::get_id()});
        }
    }
}
