#include "deflate/RunPieces.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace {

std::atomic<int> gStartableThreads{-1};

// Whether one more thread may be started (always, outside tests).
bool mayStartThread() {
    const int startable = gStartableThreads.load();
    if (startable == 0) return false;
    if (startable > 0) gStartableThreads.store(startable - 1);
    return true;
}

}  // namespace

void runPieces(size_t count, unsigned threads, const std::function<void(size_t)>& work) {
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t k = next++; k < count; k = next++) work(k);
    };
    std::vector<std::thread> pool;
    const size_t wanted = std::min<size_t>(threads, count);
    for (size_t t = 1; t < wanted && mayStartThread(); ++t) {
        try {
            pool.emplace_back(worker);
        } catch (const std::system_error&) {
            break;
        }
    }
    worker();
    for (std::thread& thread : pool) thread.join();
}

bool startThread(std::thread& thread, std::function<void()> work) {
    if (!mayStartThread()) return false;
    try {
        thread = std::thread(std::move(work));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void setStartableThreadsForTesting(int startableThreads) { gStartableThreads.store(startableThreads); }
