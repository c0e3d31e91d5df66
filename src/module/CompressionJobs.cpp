#include "module/CompressionJobs.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>
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

JobPlan planSectionJobs(const std::vector<SectionJob>& jobs, unsigned threads) {
    std::vector<size_t> order(jobs.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return jobs[a].cost > jobs[b].cost; });
    JobPlan plan;
    if (threads <= 1) {
        plan.sideBySide = order;
        return plan;
    }
    uint64_t total = 0;
    for (const SectionJob& job : jobs) total += job.cost;
    const uint64_t evenShare = (total + threads - 1) / threads;
    std::vector<uint64_t> load(threads, 0);
    for (size_t k : order) {
        uint64_t& least = *std::min_element(load.begin(), load.end());
        if (jobs[k].splittable && least + jobs[k].cost > evenShare) {
            plan.shared.push_back(k);
        } else {
            least += jobs[k].cost;
            plan.sideBySide.push_back(k);
        }
    }
    return plan;
}
