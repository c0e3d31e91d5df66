// Fuzzes our deflate engine against zlib's compress2. The first byte picks
// the level; the second, when its top bit is set, tiles the rest of the
// input (each copy with one byte changed) to up to 128 times its length (at most 256 KiB), so
// that inputs reach the window slides and long matches. Our stream must
// equal zlib's byte for byte, inflate back to the input, and fail to fit in
// one byte less.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "deflate/Deflate.h"

namespace {

std::vector<uint8_t> expand(const uint8_t* data, size_t size, uint8_t mode) {
    std::vector<uint8_t> in(data, data + size);
    if (!(mode & 0x80) || size == 0) return in;
    const size_t copies = 1 + (mode & 0x7F);
    in.reserve(size * copies);
    for (size_t c = 1; c < copies && in.size() < (1u << 18); ++c) {
        const size_t at = in.size();
        in.insert(in.end(), data, data + size);
        in[at + (c * 7919) % size] ^= uint8_t(c);
    }
    return in;
}

void fail(const char* what, int level, size_t size) {
    fprintf(stderr, "deflate difference: %s (level %d, %zu bytes)\n", what, level, size);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int level = data[0] % 10 == 0 ? -1 : data[0] % 10;
    const std::vector<uint8_t> in = expand(data + 2, size - 2, data[1]);

    uLongf zlibLength = compressBound(uLong(in.size()));
    std::vector<uint8_t> expected(zlibLength);
    if (compress2(expected.data(), &zlibLength, in.data(), uLong(in.size()), level) != Z_OK) fail("zlib failed", level, in.size());

    // Exactly the room of zlib's stream, so that any write past it is caught.
    std::vector<uint8_t> ours(zlibLength);
    size_t length = 0;
    if (compressZlib(in.data(), in.size(), level, ours.data(), ours.size(), length) != deflateOk)
        fail("no stream in zlib's room", level, in.size());
    if (length != zlibLength || memcmp(ours.data(), expected.data(), length) != 0) fail("other bytes", level, in.size());

    std::vector<uint8_t> back(in.size() + 1);
    uLongf backLength = uLongf(back.size());
    if (uncompress(back.data(), &backLength, ours.data(), uLong(length)) != Z_OK || backLength != in.size() ||
        (backLength && memcmp(back.data(), in.data(), backLength) != 0))
        fail("does not inflate to the input", level, in.size());

    std::vector<uint8_t> shorter(zlibLength - 1);
    if (compressZlib(in.data(), in.size(), level, shorter.data(), shorter.size(), length) != deflateNotSmaller)
        fail("a stream in one byte less", level, in.size());
    return 0;
}
