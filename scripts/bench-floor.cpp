// Sequential floor for the module writer: reads a written module, takes back
// the bytes of every placed section of 32 bytes or more (inflating the
// compressed ones), then times crc32 + compress2 over them one after another.
// Usage: bench-floor MODULE LEVEL RUNS [CONCAT_OUT]
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BenchSections.h"

using bench::readAll;

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::vector<uint8_t> m = readAll(argv[1]);
    const int level = std::atoi(argv[2]);
    const int runs = std::max(1, std::atoi(argv[3]));
    if (m.size() < 64) return 3;
    const bool le = m[5] == 1;
    auto u16 = [&](size_t o) -> uint32_t { return le ? m[o] | m[o + 1] << 8 : m[o] << 8 | m[o + 1]; };
    auto u32 = [&](size_t o) -> uint32_t {
        return le ? uint32_t(m[o]) | m[o + 1] << 8 | m[o + 2] << 16 | uint32_t(m[o + 3]) << 24
                  : uint32_t(m[o]) << 24 | m[o + 1] << 16 | m[o + 2] << 8 | m[o + 3];
    };
    const uint32_t shoff = u32(0x20), shnum = u16(0x30);
    std::vector<std::vector<uint8_t>> secs;
    size_t mismatches = 0;
    std::vector<std::vector<uint8_t>> stored;  // the tool's compressed streams, for comparison
    for (uint32_t i = 1; i + 2 < shnum; ++i) {
        const size_t h = shoff + 40ull * i;
        if (h + 40 > m.size()) return 4;
        const uint32_t type = u32(h + 4), flags = u32(h + 8), off = u32(h + 16), size = u32(h + 20);
        if (type == 8 || off == 0 || size == 0 || uint64_t(off) + size > m.size()) continue;
        const uint8_t* p = m.data() + off;
        if (flags & 0x08000000u) {
            const uint32_t raw = uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
            std::vector<uint8_t> out(raw);
            uLongf len = raw;
            if (uncompress(out.data(), &len, p + 4, size - 4) != Z_OK || len != raw) return 5;
            secs.push_back(std::move(out));
            stored.emplace_back(p + 4, p + size);
        } else if (size >= 32) {
            secs.emplace_back(p, p + size);
            stored.emplace_back();
        }
    }
    uint64_t total = 0, packed = 0;
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        packed = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t k = 0; k < secs.size(); ++k) {
            const auto& s = secs[k];
            volatile uLong crc = crc32(0, s.data(), uInt(s.size()));
            (void)crc;
            std::vector<uint8_t> out(s.size() + 1024);
            uLongf len = out.size();
            if (compress2(out.data(), &len, s.data(), uLong(s.size()), level) != Z_OK) return 6;
            packed += 4 + len;
            if (r == 0 && !stored[k].empty() && (stored[k].size() != len || std::memcmp(stored[k].data(), out.data(), len)))
                ++mismatches;
        }
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    for (const auto& s : secs) total += s.size();
    std::sort(times.begin(), times.end());
    if (argc > 4) {
        FILE* f = std::fopen(argv[4], "wb");
        if (!f) return 7;
        for (const auto& s : secs) std::fwrite(s.data(), 1, s.size(), f);
        std::fclose(f);
    }
    std::printf("sections %zu bytes %llu packed %llu median %.4f min %.4f mismatches %zu zlib %s\n", secs.size(),
                (unsigned long long)total, (unsigned long long)packed, times[times.size() / 2], times[0], mismatches,
                zlibVersion());
    return 0;
}
