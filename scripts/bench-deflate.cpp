// Our deflate engine against zlib's compress2, one thread, on the sections
// of a written module (the compressed ones inflated back): for each level,
// both compress every section of 32 bytes or more, taking turns, several
// times; prints the medians, their ratio, and whether the bytes are equal.
// The engine runs as the tool runs it: a stream that cannot come out smaller
// than the section is given up early, where zlib's is written whole.
// Times are the calling thread's CPU time (CLOCK_THREAD_CPUTIME_ID), which
// other work on a shared machine disturbs less than wall time.
// Usage: bench-deflate MODULE RUNS
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BenchSections.h"
#include "deflate/Deflate.h"

namespace {

using Bytes = std::vector<uint8_t>;

using bench::readAll;
using bench::moduleSections;

double cpuNow() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::vector<Bytes> sections;
    if (!moduleSections(readAll(argv[1]), sections)) return 3;
    const int runs = std::max(1, std::atoi(argv[2]));
    size_t total = 0;
    for (const Bytes& s : sections) total += s.size();
    std::printf("%zu sections, %zu bytes, zlib %s, %d runs each\n", sections.size(), total, zlibVersion(), runs);
    std::printf("level  zlib s   ours s   zlib/ours  bytes  (thread CPU seconds)\n");
    std::vector<Bytes> zlibOut(sections.size()), ours(sections.size());
    for (int level = 1; level <= 9; ++level) {
        std::vector<double> zlibTimes, ourTimes;
        size_t different = 0;
        for (int r = 0; r < runs; ++r) {
            for (int turn = 0; turn < 2; ++turn) {
                const bool zlibTurn = (turn == 0) == (r % 2 == 0);
                const double t0 = cpuNow();
                for (size_t k = 0; k < sections.size(); ++k) {
                    const Bytes& s = sections[k];
                    if (zlibTurn) {
                        zlibOut[k].resize(s.size() + 1024);
                        uLongf len = uLongf(zlibOut[k].size());
                        if (compress2(zlibOut[k].data(), &len, s.data(), uLong(s.size()), level) != Z_OK) len = 0;
                        zlibOut[k].resize(len);
                    } else {
                        ours[k].resize(s.size() - 5);
                        size_t len = 0;
                        if (compressZlib(s.data(), s.size(), level, ours[k].data(), ours[k].size(), len) != deflateOk)
                            len = 0;
                        ours[k].resize(len);
                    }
                }
                (zlibTurn ? zlibTimes : ourTimes).push_back(cpuNow() - t0);
            }
            if (r == 0) {
                for (size_t k = 0; k < sections.size(); ++k) {
                    // Given up early exactly when zlib's stream would not be kept.
                    const bool kept = zlibOut[k].size() + 4 < sections[k].size();
                    if (kept ? ours[k] != zlibOut[k] : !ours[k].empty()) ++different;
                }
            }
        }
        const double z = median(zlibTimes), o = median(ourTimes);
        std::printf("%5d  %7.3f  %7.3f  %9.2f  %s\n", level, z, o, z / o,
                    different ? "DIFFERENT" : "equal");
    }
    return 0;
}
