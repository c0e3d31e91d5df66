#include "elf/StartOverlap.h"

#include <algorithm>

std::vector<bool> startsInsideLaterSpan(const std::vector<FileSpan>& spans) {
    const size_t n = spans.size();
    std::vector<bool> inside(n, false);

    // The distinct start offsets of the spans that can hold anything.
    std::vector<uint32_t> starts;
    starts.reserve(n);
    for (const FileSpan& s : spans)
        if (s.placed) starts.push_back(s.offset);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());

    // A Fenwick tree over the sorted starts keeping, for every prefix of
    // starts, the largest end of the spans seen so far (0: none). Walking
    // from the last span down, the tree holds exactly the later spans when
    // span i is tested; i's start lies in one of them exactly when the
    // largest end among those starting at or before it lies beyond it.
    std::vector<uint32_t> largestEnd(starts.size() + 1, 0);
    for (size_t i = n; i-- > 0;) {
        const FileSpan& s = spans[i];
        if (!s.placed) continue;
        size_t count = size_t(std::upper_bound(starts.begin(), starts.end(), s.offset) - starts.begin());
        uint32_t best = 0;
        for (size_t k = count; k > 0; k &= k - 1) best = std::max(best, largestEnd[k]);
        inside[i] = best > s.offset;

        uint64_t end = uint64_t(s.offset) + s.size;
        if (end > 0xFFFFFFFFull || s.size == 0) continue;  // holds no offset
        size_t rank = size_t(std::lower_bound(starts.begin(), starts.end(), s.offset) - starts.begin()) + 1;
        for (size_t k = rank; k < largestEnd.size(); k += k & (~k + 1))
            largestEnd[k] = std::max(largestEnd[k], uint32_t(end));
    }
    return inside;
}
