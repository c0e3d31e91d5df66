// Shared helpers of the symbol pass tests: an input image read from builder
// bytes, printed-text capture and the common sections.
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

// Resets the run and reads `bytes` (kept alive by the caller) as its input
// image, tables converted to host order.
inline ::testing::AssertionResult loadInput(std::vector<uint8_t>& bytes) {
    resetTestContext();
    uint32_t result = readElfImage(bytes.data(), uint32_t(bytes.size()), &ctx.input.image);
    if (result != 0) {
        char code[16];
        snprintf(code, sizeof code, "0x%08X", result);
        return ::testing::AssertionFailure() << "reader result " << code;
    }
    ctx.input.hasImage = true;
    return ::testing::AssertionSuccess();
}

// Collects everything printed while it lives.
struct Captured {
    std::string text;
    Captured() { beginOutputCapture(&text); }
    ~Captured() { endOutputCapture(); }
    std::string take() {
        endOutputCapture();
        return text;
    }
};

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
