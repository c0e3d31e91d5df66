#include "module/CompressionJobs.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <queue>
#include <thread>

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

namespace {

// Sharing a section among threads costs about a tenth more work.
constexpr uint64_t kSharedWorkTenths = 11;

// How long the side-by-side phase takes: the large jobs dealt out largest
// first to the least-loaded thread, the small ones (total `smallTotal`, the
// largest `smallLargest`) poured in where the threads have least.
uint64_t sideBySideTime(const std::vector<uint64_t>& large, uint64_t smallTotal, uint64_t smallLargest,
                        unsigned threads) {
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> loads;
    for (unsigned t = 0; t < threads; ++t) loads.push(0);
    for (uint64_t cost : large) {
        const uint64_t least = loads.top();
        loads.pop();
        loads.push(least + cost);
    }
    std::vector<uint64_t> sorted;
    while (!loads.empty()) {
        sorted.push_back(loads.top());
        loads.pop();
    }
    // Fill the lowest threads up, level by level, until the small work is gone.
    uint64_t level = sorted[0], left = smallTotal;
    size_t filled = 1;
    while (left > 0) {
        const uint64_t nextLevel = filled < sorted.size() ? sorted[filled] : UINT64_MAX;
        const uint64_t room = nextLevel == UINT64_MAX ? UINT64_MAX : (nextLevel - level) * filled;
        if (left <= room) {
            level += (left + filled - 1) / filled;
            left = 0;
        } else {
            left -= room;
            level = nextLevel;
            ++filled;
        }
    }
    return std::max({sorted.back(), level, smallLargest});
}

}  // namespace

JobPlan planSectionJobs(const std::vector<SectionJob>& jobs, unsigned threads) {
    std::vector<size_t> order(jobs.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return jobs[a].cost > jobs[b].cost; });
    JobPlan plan;
    std::vector<size_t> splittable;
    uint64_t smallTotal = 0, smallLargest = 0;
    for (size_t k : order) {
        if (threads > 1 && jobs[k].splittable) {
            splittable.push_back(k);
        } else {
            smallTotal += jobs[k].cost;
            smallLargest = std::max(smallLargest, jobs[k].cost);
        }
    }
    // The candidates: the j largest splittable jobs shared, or all but the j
    // largest; the one that ends first wins, ties going to less sharing.
    const size_t m = splittable.size();
    auto estimate = [&](const std::vector<bool>& shared, uint64_t& sharedWork) {
        std::vector<uint64_t> large;
        sharedWork = 0;
        for (size_t i = 0; i < m; ++i) {
            if (shared[i]) sharedWork += jobs[splittable[i]].cost;
            else large.push_back(jobs[splittable[i]].cost);
        }
        return sharedWork * kSharedWorkTenths / 10 / threads + sideBySideTime(large, smallTotal, smallLargest, threads);
    };
    std::vector<bool> best(m, false);
    uint64_t bestWork = 0;
    uint64_t bestTime = m ? estimate(best, bestWork) : 0;
    for (size_t j = 1; j <= m; ++j) {
        for (bool largestShared : {true, false}) {
            std::vector<bool> shared(m);
            for (size_t i = 0; i < m; ++i) shared[i] = (i < j) == largestShared;
            uint64_t work = 0;
            const uint64_t time = estimate(shared, work);
            if (time < bestTime || (time == bestTime && work < bestWork)) {
                best = shared;
                bestTime = time;
                bestWork = work;
            }
        }
    }
    std::vector<bool> isShared(jobs.size(), false);
    for (size_t i = 0; i < m; ++i) isShared[splittable[i]] = best[i];
    for (size_t k : order) (isShared[k] ? plan.shared : plan.sideBySide).push_back(k);
    return plan;
}
