#include "module/CompressionJobs.h"

#include <atomic>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

unsigned jobCount() {
    unsigned jobs = std::thread::hardware_concurrency();
    if (jobs == 0) jobs = 1;
    if (const char* text = getenv("QDLGEN_JOBS")) {
        char* end = nullptr;
        long wanted = strtol(text, &end, 10);
        if (end != text && *end == '\0' && wanted > 0 && unsigned(wanted) < jobs) jobs = unsigned(wanted);
    }
    return jobs;
}

void runConcurrently(size_t count, const std::function<void(size_t)>& work) {
    size_t threads = jobCount();
    if (threads > count) threads = count;
    if (threads <= 1) {
        for (size_t k = 0; k < count; ++k) work(k);
        return;
    }
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t k = next++; k < count; k = next++) work(k);
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    // A thread that cannot be started leaves its share to the others: every
    // worker takes the next piece until none is left.
    for (size_t t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(worker);
        } catch (const std::system_error&) {
            break;
        }
    }
    worker();
    for (std::thread& thread : pool) thread.join();
}
