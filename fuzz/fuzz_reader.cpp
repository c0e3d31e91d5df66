// Fuzzes the ELF reader alone: any bytes, validated and converted in place,
// and checked without conversion (which must write nothing).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "elf/ElfReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    // Exactly sized copies, so that any read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    checkElfImage(bytes.data(), uint32_t(bytes.size()));
    if (size != 0 && memcmp(bytes.data(), data, size) != 0) abort();
    ElfImage image;
    readElfImage(bytes.data(), uint32_t(bytes.size()), &image);
    return 0;
}
