// Shared helpers of the symbol pass tests: the common sections and symbols
// (the loader and the capture are those of tests/support).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/Output.h"
#include "support/TestContext.h"
#include "elf/ElfReader.h"
#include "elf/SectionContents.h"
#include "support/ElfBuilder.h"

namespace symtest {

inline ::testing::AssertionResult loadInput(std::vector<uint8_t>& bytes) { return loadTestInput(bytes); }
using ::Captured;

inline TestSection progbits(const std::string& name, uint32_t flags, uint32_t addr, uint32_t size) {
    return TestSection{.name = name, .type = SHT_PROGBITS, .flags = flags, .addr = addr, .size = size, .addralign = 4};
}

inline TestSymbol symbol(const std::string& name, uint8_t binding, uint8_t type, uint16_t shndx,
                         uint32_t value = 0, uint32_t size = 0) {
    return TestSymbol{.name = name, .value = value, .size = size, .info = symbolInfo(binding, type), .shndx = shndx};
}

inline Elf32_Sym& symbolAt(uint32_t index) { return ctx.symbols.view.symbols[index]; }

inline std::string bytesAt(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace symtest
