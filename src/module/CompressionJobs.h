// How many threads the tool uses, and how the sections' work is shared
// among them (the threads themselves are run by runPieces).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// How many threads the tool uses: the hardware threads, lowered by the
// environment variable QDLGEN_JOBS when it holds a smaller positive number.
// 1 means strictly sequential.
unsigned jobCount();

// One section's work as the planner sees it: its cost (in any unit shared by
// all sections) and whether all threads can share it.
struct SectionJob {
    uint64_t cost = 0;
    bool splittable = false;
};

// Which sections go side by side, one thread each (dealt out largest first
// to the thread with the least work, as the threads take them at run time),
// and which all threads share, one after another (the module runs them once
// the side-by-side ones are all taken). Sharing a section
// costs some work, so the plan estimates how long each candidate takes (the
// j largest splittable jobs shared, or all but the j largest, for every j)
// and keeps the quickest, ties going to less sharing. Both lists are indexes
// into `jobs`, largest first.
struct JobPlan {
    std::vector<size_t> shared;
    std::vector<size_t> sideBySide;
};
JobPlan planSectionJobs(const std::vector<SectionJob>& jobs, unsigned threads);
