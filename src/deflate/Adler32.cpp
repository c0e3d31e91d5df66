#include "deflate/Deflate.h"

namespace {

constexpr uint32_t kModulus = 65521;
// Bytes that can be summed before the sums must be reduced: the most for
// which b stays below 2^32 from sums just under the modulus.
constexpr size_t kRun = 5552;

}  // namespace

uint32_t adler32Update(uint32_t adler, const uint8_t* data, size_t size) {
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
    while (size > 0) {
        size_t run = size < kRun ? size : kRun;
        size -= run;
        for (; run >= 8; run -= 8, data += 8) {
            a += data[0]; b += a;
            a += data[1]; b += a;
            a += data[2]; b += a;
            a += data[3]; b += a;
            a += data[4]; b += a;
            a += data[5]; b += a;
            a += data[6]; b += a;
            a += data[7]; b += a;
        }
        for (; run > 0; --run) {
            a += *data++;
            b += a;
        }
        a %= kModulus;
        b %= kModulus;
    }
    return b << 16 | a;
}
