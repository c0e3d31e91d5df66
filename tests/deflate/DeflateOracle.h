// Helpers of the deflate tests: zlib's compress2 as the oracle, and inputs
// built to reach the corners of zlib's parser and block encoder.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "deflate/Deflate.h"

using Bytes = std::vector<uint8_t>;

inline Bytes zlibStream(const Bytes& in, int level) {
    uLongf length = compressBound(uLong(in.size()));
    Bytes out(length);
    if (compress2(out.data(), &length, in.data(), uLong(in.size()), level) != Z_OK) return {};
    out.resize(length);
    return out;
}

// Our stream with room for whatever zlib could write; empty unless the
// engine returns deflateOk (its status, when asked, in *status).
inline Bytes ourStream(const Bytes& in, int level, int* status = nullptr) {
    Bytes out(in.size() + in.size() / 8 + 64);
    size_t length = 0;
    const int result = compressZlib(in.data(), in.size(), level, out.data(), out.size(), length);
    if (status) *status = result;
    out.resize(result == deflateOk ? length : 0);
    return out;
}

// Random bytes drawn from a small alphabet (alphabet 256: incompressible).
inline Bytes randomBytes(size_t size, unsigned alphabet, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (uint8_t& b : out) b = uint8_t(rng() % alphabet);
    return out;
}

inline Bytes wordText(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"module", "loader", "section", "symbol", "table", "region", "the", "of",
                                         "relocation", "import", "export", "a", "heap", "stack", "\n", "value"};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        const std::string word = kWords[rng() % 16];
        out.insert(out.end(), word.begin(), word.end());
        out.push_back(' ');
    }
    out.resize(size);
    return out;
}

// A random pattern of the given period repeated to size bytes, with an
// occasional changed byte so that matches end.
inline Bytes periodic(size_t period, size_t size, uint32_t seed, unsigned changeEvery) {
    std::mt19937 rng(seed);
    Bytes pattern = randomBytes(period, 256, seed);
    Bytes out(size);
    for (size_t k = 0; k < size; ++k) out[k] = pattern[k % period];
    if (changeEvery)
        for (size_t k = changeEvery; k < size; k += changeEvery + rng() % changeEvery) out[k] ^= uint8_t(1 + rng() % 255);
    return out;
}

// Runs of one byte value with random lengths up to maxRun.
inline Bytes runs(size_t size, unsigned maxRun, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) out.insert(out.end(), 1 + rng() % maxRun, uint8_t(rng() % 4));
    out.resize(size);
    return out;
}

// Random bytes in which a share of the positions copy a short string from a
// random distance up to maxDistance back: matches of length 3 to 5 with
// far distances, so that compressed blocks cost about as much as stored ones
// and span more than 32 KiB of input.
inline Bytes shortCopies(size_t size, unsigned maxDistance, unsigned copyPercent, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        if (out.size() > maxDistance && rng() % 100 < copyPercent) {
            const size_t from = out.size() - 1 - rng() % maxDistance;
            const unsigned length = 3 + rng() % 3;
            for (unsigned k = 0; k < length; ++k) out.push_back(out[from + k]);
        } else {
            out.push_back(uint8_t(rng()));
        }
    }
    out.resize(size);
    return out;
}

// Symbols with Fibonacci frequencies in random order: Huffman trees deeper
// than 15 (and code length trees deeper than 7) before limiting.
inline Bytes fibonacciLiterals(unsigned symbols, uint32_t seed) {
    Bytes out;
    uint32_t a = 1, b = 1;
    for (unsigned s = 0; s < symbols; ++s) {
        out.insert(out.end(), a, uint8_t(s * 7 + 1));
        const uint32_t next = a + b;
        a = b;
        b = next;
    }
    std::mt19937 rng(seed);
    std::shuffle(out.begin(), out.end(), rng);
    return out;
}
