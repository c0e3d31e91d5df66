// Fuzzes the split deflate engine against the one-thread engine. Byte 0
// picks the level (4 to 9), byte 1 the chunk size (32 to 128 KiB), byte 2
// the thread count (1 to 8); the rest is tiled (each copy with one byte
// changed) to between 64 and 256 KiB, so that the input has several chunks.
// The two streams must be the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "deflate/Deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int level = 4 + data[0] % 6;
    const size_t chunk = 32768 * (1 + data[1] % 4);
    const unsigned threads = 1 + data[2] % 8;
    const uint8_t* body = data + 3;
    const size_t bodySize = size - 3;
    const size_t target = 65536 + size_t(data[3]) * 768;
    std::vector<uint8_t> in(body, body + bodySize);
    for (size_t c = 1; in.size() < target; ++c) {
        const size_t at = in.size();
        in.insert(in.end(), body, body + bodySize);
        in[at + (c * 7919) % bodySize] ^= uint8_t(c);
    }

    std::vector<uint8_t> expected(in.size() + in.size() / 8 + 64), ours(expected.size());
    size_t expectedLength = 0, length = 0;
    if (compressZlib(in.data(), in.size(), level, expected.data(), expected.size(), expectedLength) != deflateOk) abort();
    setDeflateSplitForTesting(chunk, -1);
    const int status = compressZlibSplit(in.data(), in.size(), level, ours.data(), ours.size(), length, threads);
    if (status != deflateOk || length != expectedLength || memcmp(ours.data(), expected.data(), length) != 0) {
        fprintf(stderr, "split difference: level %d chunk %zu threads %u, %zu bytes\n", level, chunk, threads, in.size());
        abort();
    }
    return 0;
}
