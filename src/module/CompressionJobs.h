// Running independent pieces of work side by side.
#pragma once

#include <cstddef>
#include <functional>

// How many threads the tool uses: the hardware threads, lowered by the
// environment variable QDLGEN_JOBS when it holds a smaller positive number.
// 1 means strictly sequential.
unsigned jobCount();

// Calls work(0) ... work(count - 1), each exactly once, on up to jobCount()
// threads, and returns when all are done. With one job, or one piece of
// work, everything runs on the calling thread in index order.
void runConcurrently(size_t count, const std::function<void(size_t)>& work);
