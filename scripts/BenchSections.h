// What the benchmark programs share: reading a file whole, and taking the
// placed sections of a written big-endian module back (the compressed ones
// inflated), every section of 32 bytes or more.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

inline Bytes readAll(const char* path) {
    Bytes v;
    FILE* f = std::fopen(path, "rb");
    if (!f) return v;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
    std::fclose(f);
    return v;
}

inline bool moduleSections(const Bytes& m, std::vector<Bytes>& sections) {
    auto u32 = [&](size_t o) { return uint32_t(m[o]) << 24 | m[o + 1] << 16 | m[o + 2] << 8 | m[o + 3]; };
    if (m.size() < 64) return false;
    const uint32_t shoff = u32(0x20), shnum = uint32_t(m[0x30]) << 8 | m[0x31];
    for (uint32_t i = 1; i + 2 < shnum; ++i) {
        const size_t h = shoff + 40ull * i;
        if (h + 40 > m.size()) return false;
        const uint32_t type = u32(h + 4), flags = u32(h + 8), off = u32(h + 16), size = u32(h + 20);
        if (type == 8 || off == 0 || size < 32 || uint64_t(off) + size > m.size()) continue;
        const uint8_t* p = m.data() + off;
        if (flags & 0x08000000u) {
            Bytes out(u32(off));
            uLongf len = uLongf(out.size());
            if (uncompress(out.data(), &len, p + 4, size - 4) != Z_OK || len != out.size()) return false;
            sections.push_back(std::move(out));
        } else {
            sections.emplace_back(p, p + size);
        }
    }
    return true;
}

}  // namespace bench
