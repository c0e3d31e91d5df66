// Fuzzes the ELF reader alone: any bytes, validated and converted in place.
#include <cstdint>
#include <cstring>
#include <vector>

#include "elf/ElfReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    // An exactly sized copy, so that any read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    ElfImage image;
    readElfImage(bytes.data(), uint32_t(bytes.size()), &image);
    return 0;
}
