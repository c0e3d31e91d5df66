// Which file spans (sections, program header images) start inside a later
// span of the same table, found in O(n log n) by a sweep from the last span
// down instead of testing every pair.
#pragma once

#include <cstdint>
#include <vector>

struct FileSpan {
    uint32_t offset = 0;
    uint32_t size = 0;
    bool placed = false;  // takes part in the test (placed, non-empty)
};

// For each span i, whether some later placed span j (j > i) holds its start:
// offset(j) <= offset(i) < offset(j) + size(j), with the end as a 32-bit sum,
// so a span whose end wraps past 0xFFFFFFFF holds no offset at all. A span
// that is not placed is never tested (false) and holds nothing.
std::vector<bool> startsInsideLaterSpan(const std::vector<FileSpan>& spans);
