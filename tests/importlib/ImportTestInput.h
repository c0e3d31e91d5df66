// Inputs with export tables for the import library tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/TestContext.h"
#include "elf/ElfReader.h"
#include "support/ElfBuilder.h"

namespace importtest {

struct Export {
    std::string name;
    bool tlsFlag = false;
};

// An export table's contents (always big-endian): n, the signature, the
// entries and the names behind them.
inline std::vector<uint8_t> exportTable(uint32_t signature, const std::vector<Export>& exports,
                                        uint32_t firstAddress = 0x02000000) {
    std::vector<uint32_t> words{uint32_t(exports.size()), signature};
    uint32_t nameOffset = 8 + 8 * uint32_t(exports.size());
    for (size_t k = 0; k < exports.size(); ++k) {
        words.push_back(firstAddress + 16 * uint32_t(k));
        words.push_back(nameOffset | (exports[k].tlsFlag ? 0x80000000u : 0));
        nameOffset += uint32_t(exports[k].name.size()) + 1;
    }
    std::vector<uint8_t> bytes = bigEndianWords(words);
    for (const Export& e : exports) {
        bytes.insert(bytes.end(), e.name.begin(), e.name.end());
        bytes.push_back(0);
    }
    return bytes;
}

constexpr uint32_t kFunctionTableAddress = 0xC0000000;
constexpr uint32_t kDataTableAddress = 0xC0001000;

inline uint32_t addFunctionExports(ElfBuilder& b, const std::vector<uint8_t>& contents,
                                   const std::string& name = ".fexports") {
    return b.addSection({.name = name, .type = SHT_EXPORT_TABLE, .flags = SHF_ALLOC | SHF_EXECINSTR,
                         .addr = kFunctionTableAddress, .data = contents, .addralign = 4});
}

inline uint32_t addDataExports(ElfBuilder& b, const std::vector<uint8_t>& contents,
                               const std::string& name = ".dexports") {
    return b.addSection({.name = name, .type = SHT_EXPORT_TABLE, .flags = SHF_ALLOC, .addr = kDataTableAddress,
                         .data = contents, .addralign = 4});
}

// One relocation per data export, at the address word of entry k.
inline std::vector<TestRela> dataExportRelocations(const std::vector<uint8_t>& types) {
    std::vector<TestRela> relas;
    for (size_t k = 0; k < types.size(); ++k)
        relas.push_back({.r_offset = kDataTableAddress + 8 + 8 * uint32_t(k), .symbol = 1, .type = types[k]});
    return relas;
}

// Reads `bytes` as the input; small inputs are padded with zeroes to the
// reader's minimum file size first.
inline ::testing::AssertionResult loadInput(std::vector<uint8_t>& bytes) {
    if (bytes.size() < 1024) bytes.resize(1024, 0);
    return loadTestInput(bytes);
}

using ::ScopedEnv;

// Bytes of a 32-bit or 16-bit word in either order, for expected images.
inline void put32(std::vector<uint8_t>& v, size_t at, uint32_t x, bool little = false) {
    for (int i = 0; i < 4; ++i) v[at + (little ? i : 3 - i)] = uint8_t(x >> (8 * i));
}
inline void put16(std::vector<uint8_t>& v, size_t at, uint16_t x, bool little = false) {
    v[at + (little ? 0 : 1)] = uint8_t(x);
    v[at + (little ? 1 : 0)] = uint8_t(x >> 8);
}
inline void putText(std::vector<uint8_t>& v, size_t at, const std::string& text) {
    std::copy(text.begin(), text.end(), v.begin() + ptrdiff_t(at));
}

}  // namespace importtest
