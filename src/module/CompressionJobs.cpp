#include "module/CompressionJobs.h"

#include <cstdlib>
#include <thread>

#include "deflate/RunPieces.h"

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
    runPieces(count, jobCount(), work);
}
