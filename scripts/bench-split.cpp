// The split engine on the sections of a written module: measured times with
// 1 and 2 threads, and the critical path of the work for 1 to 16 threads.
// The sections are planned as the tool plans them (planSectionJobs): the
// shared ones (of 2 MiB and more, where they do not fit beside the others)
// follow each other, the pieces of each phase going to the threads in order,
// each to the thread free first; the others are one piece each, side by side
// after them. The pieces are
// timed one after another on one core, in CPU seconds; the measured runs in
// wall seconds.
// Usage: bench-split MODULE LEVEL RUNS
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "BenchSections.h"
#include "deflate/Deflate.h"
#include "deflate/RunPieces.h"
#include "module/CompressionJobs.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kShared = 2u << 20;

using bench::readAll;
using bench::moduleSections;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The time `threads` threads take for pieces handed out in order, each to
// the thread that is free first.
double makespan(const std::vector<double>& pieces, unsigned threads) {
    std::vector<double> free(threads, 0);
    for (double p : pieces) *std::min_element(free.begin(), free.end()) += p;
    return *std::max_element(free.begin(), free.end());
}

// The tool's plan for `threads` threads: which sections all threads share
// and which go side by side (largest first).
JobPlan planFor(const std::vector<Bytes>& sections, unsigned threads) {
    std::vector<SectionJob> jobs;
    for (const Bytes& s : sections) jobs.push_back({s.size(), s.size() >= kShared});
    return planSectionJobs(jobs, threads);
}

// Every section as the tool compresses it on `threads` threads: the shared
// ones one after another, each split among all threads, then the others
// side by side; the streams (empty when given up) go to streams.
double compressAll(const std::vector<Bytes>& sections, int level, unsigned threads, std::vector<Bytes>& streams) {
    streams.assign(sections.size(), Bytes());
    for (size_t k = 0; k < sections.size(); ++k) streams[k].resize(sections[k].size() - 5);
    const JobPlan plan = planFor(sections, threads);
    auto compressOne = [&](size_t k, unsigned t) {
        const Bytes& s = sections[k];
        size_t length = 0;
        if (compressZlibSplit(s.data(), s.size(), level, streams[k].data(), streams[k].size(), length, t) != deflateOk)
            length = 0;
        streams[k].resize(length);
    };
    const double t0 = now();
    for (size_t k : plan.shared) compressOne(k, threads);
    runPieces(plan.sideBySide.size(), threads, [&](size_t i) { compressOne(plan.sideBySide[i], 1); });
    return now() - t0;
}

double cpuNow() { return double(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    std::vector<Bytes> sections;
    if (!moduleSections(readAll(argv[1]), sections)) return 3;
    const int level = std::atoi(argv[2]);
    const int runs = std::max(1, std::atoi(argv[3]));

    // Measured, one and two threads taking turns.
    std::vector<double> one, two;
    std::vector<Bytes> streamsOne, streamsTwo;
    bool same = true;
    for (int r = 0; r < runs; ++r) {
        one.push_back(compressAll(sections, level, 1, streamsOne));
        two.push_back(compressAll(sections, level, 2, streamsTwo));
        same = same && streamsOne == streamsTwo;
    }
    std::sort(one.begin(), one.end());
    std::sort(two.begin(), two.end());

    // Critical path: the pieces timed one after another on one core, each
    // section both whole and split, put together as the tool's plan for each
    // thread count would run them.
    const unsigned counts[] = {1, 2, 4, 8, 16};
    std::vector<std::vector<double>> paths(5);
    for (int r = 0; r < runs; ++r) {
        std::vector<double> whole(sections.size(), 0);
        std::vector<DeflateSplitTimes> split(sections.size());
        for (size_t k = 0; k < sections.size(); ++k) {
            const Bytes& s = sections[k];
            Bytes out(s.size() - 5);
            size_t length = 0;
            const double t0 = cpuNow();
            compressZlib(s.data(), s.size(), level, out.data(), out.size(), length);
            whole[k] = cpuNow() - t0;
            if (s.size() >= kShared)
                compressZlibSplitTimed(s.data(), s.size(), level, out.data(), out.size(), length, split[k]);
        }
        for (int c = 0; c < 5; ++c) {
            const unsigned t = counts[c];
            const JobPlan plan = planFor(sections, t);
            double path = 0;
            for (size_t k : plan.shared) {
                const DeflateSplitTimes& times = split[k];
                path += makespan(times.parse, t) + makespan(times.join, t) + makespan(times.spans, t) +
                        makespan(times.plan, t) + makespan(times.emit, t) + times.sequential;
            }
            std::vector<double> sideBySide;
            for (size_t k : plan.sideBySide) sideBySide.push_back(whole[k]);
            paths[c].push_back(path + makespan(sideBySide, t));
        }
    }
    size_t total = 0;
    for (const Bytes& s : sections) total += s.size();
    std::printf("%zu sections, %zu bytes, level %d, %d runs; streams of 1 and 2 threads %s\n", sections.size(), total,
                level, runs, same ? "equal" : "DIFFERENT");
    std::printf("measured: 1 thread %.3f s, 2 threads %.3f s (medians)\n", one[one.size() / 2], two[two.size() / 2]);
    for (int c = 0; c < 5; ++c) {
        std::sort(paths[c].begin(), paths[c].end());
        std::printf("critical path %2u threads: %.3f s (CPU)\n", counts[c], paths[c][paths[c].size() / 2]);
    }
    return 0;
}
