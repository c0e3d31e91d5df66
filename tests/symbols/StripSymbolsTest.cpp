#include <gtest/gtest.h>

#include <random>

#include "SymbolTestInput.h"
#include "symbols/StripSymbols.h"
#include "symbols/SymbolAccess.h"
#include "support/TestContext.h"

using namespace symtest;

namespace {

// 1 .sdata (empty, at 0x10000100), 2 .data 0x10000000..0x10000100,
// 3 .bss2 0x10000080..0x10000180 (overlaps .data in memory), 4 .comment
// (not allocated, at address 0, 0x40 bytes), then the symbol table (5,
// strings 6).
enum : uint16_t { Sdata = 1, Data, Bss2, Comment };

struct StripInput {
    ElfBuilder builder;
    std::vector<uint8_t> bytes;
    explicit StripInput(std::vector<TestSymbol> symbols) {
        builder.addSection({.name = ".sdata", .type = SHT_PROGBITS, .flags = SHF_ALLOC | SHF_WRITE,
                            .addr = 0x10000100, .addralign = 4});
        builder.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000000, 0x100));
        builder.addSection({.name = ".bss2", .type = SHT_NOBITS, .flags = SHF_ALLOC | SHF_WRITE,
                            .addr = 0x10000080, .size = 0x100, .addralign = 4});
        builder.addSection(progbits(".comment", 0, 0, 0x40));
        builder.addSymbolTable(std::move(symbols));
        bytes = builder.build();
    }
};

TestSymbol inSdata(const std::string& name, uint32_t value, uint8_t type = STT_NOTYPE) {
    return symbol(name, STB_GLOBAL, type, Sdata, value);
}

std::string strip(StripInput& input, bool verbose) {
    EXPECT_TRUE(loadInput(input.bytes));
    EXPECT_EQ(bindSymbolTable(ctx), 0);
    ctx.settings.verbose = verbose;
    Captured out;
    EXPECT_EQ(stripUnusedSymbols(ctx), 0);
    return out.take();
}

bool isZero(const Elf32_Sym& s) {
    static const Elf32_Sym zero{};
    return std::memcmp(&s, &zero, sizeof s) == 0;
}

const char* nameBytes(uint32_t offset) { return ctx.symbols.view.strings + offset; }

TEST(StripSymbolsTest, ASymbolOfAnEmptySectionMovesToTheFirstSectionHoldingIt) {
    StripInput input({inSdata("inBoth", 0x100000A0), inSdata("atDataStart", 0x10000000),
                      inSdata("lowValue", 0x10), inSdata("inBss2Only", 0x10000100)});
    EXPECT_EQ(strip(input, true), "");
    EXPECT_EQ(symbolAt(1).st_shndx, Data);     // .data and .bss2 hold it: the lower index
    EXPECT_EQ(symbolAt(2).st_shndx, Data);
    EXPECT_EQ(symbolAt(3).st_shndx, Comment);  // non-allocated sections take part
    EXPECT_EQ(symbolAt(4).st_shndx, Bss2);     // .data ends where it starts
    EXPECT_EQ(symbolAt(4).st_value, 0x10000100u);
}

TEST(StripSymbolsTest, ASymbolWithoutAHomeIsStrippedAndItsNameBlanked) {
    StripInput input({inSdata("atBss2End", 0x10000180), inSdata("kept", 0x10000004)});
    const uint32_t nameOffset = 1;  // first name of the table
    EXPECT_EQ(strip(input, true), "INFO: Unused symbol \"atBss2End\" was stripped\n");
    EXPECT_TRUE(isZero(symbolAt(1)));
    EXPECT_EQ(std::string(nameBytes(nameOffset), 10), std::string(10, '\0'));
    EXPECT_STREQ(nameBytes(11), "kept");
    EXPECT_EQ(symbolAt(2).st_shndx, Data);

    // Without -v the same happens silently.
    StripInput quiet({inSdata("atBss2End", 0x10000180)});
    EXPECT_EQ(strip(quiet, false), "");
    EXPECT_TRUE(isZero(symbolAt(1)));
    EXPECT_EQ(nameBytes(1)[0], '\0');
}

TEST(StripSymbolsTest, SectionAndFileSymbolsAreStrippedSilently) {
    StripInput input({inSdata("sect", 0x10000000, STT_SECTION), inSdata("file.c", 0x10000000, STT_FILE)});
    EXPECT_EQ(strip(input, true), "");
    EXPECT_TRUE(isZero(symbolAt(1)));
    EXPECT_TRUE(isZero(symbolAt(2)));
    EXPECT_EQ(nameBytes(1)[0], '\0');
    EXPECT_EQ(nameBytes(6)[0], '\0');
}

TEST(StripSymbolsTest, SmallDataBasesHaveTheirOwnWording) {
    StripInput input({inSdata("_SDA_BASE_", 0x8000), inSdata("_SDA2_BASE_", 0x20000000),
                      inSdata("_SDA_BASE_X", 0x8000)});
    EXPECT_EQ(strip(input, true),
              "INFO: Unused symbol \"_SDA2_BASE_\" stripped (0x20000000)\n"
              "INFO: Unused symbol \"_SDA_BASE_X\" was stripped\n");
    EXPECT_TRUE(isZero(symbolAt(1)));
    EXPECT_TRUE(isZero(symbolAt(2)));
    EXPECT_TRUE(isZero(symbolAt(3)));
}

TEST(StripSymbolsTest, BlankingANameAlsoBlanksTheNamesSharingItsBytes) {
    TestSymbol tail = inSdata("", 0x30000000);
    tail.forceName = 4;  // "bar", the tail of "foobar"
    StripInput input({symbol("foobar", STB_GLOBAL, STT_NOTYPE, Data, 0x10000000), tail});
    EXPECT_EQ(strip(input, true), "INFO: Unused symbol \"bar\" was stripped\n");
    EXPECT_STREQ(nameBytes(1), "foo");
    EXPECT_EQ(symbolAt(1).st_name, 1u);
    EXPECT_TRUE(isZero(symbolAt(2)));
}

TEST(StripSymbolsTest, UndefinedAndSpecialIndicesAreNeverTouched) {
    StripInput input({symbol("undef", STB_GLOBAL, STT_NOTYPE, SHN_UNDEF, 0x30000000),
                      symbol("abs", STB_GLOBAL, STT_NOTYPE, SHN_ABS, 0x30000000),
                      symbol("common", STB_GLOBAL, STT_OBJECT, SHN_COMMON, 0x30000000)});
    ASSERT_TRUE(loadInput(input.bytes));
    ASSERT_EQ(bindSymbolTable(ctx), 0);
    std::vector<uint8_t> before(sectionContents(ctx, 5), sectionContents(ctx, 5) + 64);
    ctx.settings.verbose = true;
    Captured out;
    EXPECT_EQ(stripUnusedSymbols(ctx), 0);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(std::vector<uint8_t>(sectionContents(ctx, 5), sectionContents(ctx, 5) + 64), before);
}

TEST(StripSymbolsTest, HomesOnRandomSectionTablesAreThoseOfAPlainScan) {
    // Random ranges, overlapping, empty, ending at the top or wrapping past
    // it, against values around them: every symbol ends in the first
    // non-empty section (index order) that holds its value, or is stripped.
    std::mt19937 random(7);
    auto below = [&](uint32_t bound) { return uint32_t(random() % bound); };
    for (int round = 0; round < 20; ++round) {
        ElfBuilder b;
        b.addSection({.name = ".empty", .type = SHT_PROGBITS, .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x1000});
        const uint32_t base = round % 2 ? 0xFFFFF000u : 0x1000u;
        for (int k = 0; k < 40; ++k) {
            const uint32_t size = below(4) == 0 ? 0 : below(5) == 0 ? 0xFFFFFFFF - below(0x2000) : below(0x600);
            b.addSection({.name = ".r", .type = SHT_NOBITS, .flags = SHF_ALLOC | SHF_WRITE,
                          .addr = base + below(0x1000), .size = size});
        }
        std::vector<TestSymbol> symbols;
        for (int k = 0; k < 300; ++k)
            symbols.push_back(symbol("s", STB_GLOBAL, STT_OBJECT, 1, base - 0x100 + below(0x1800)));
        b.addSymbolTable(std::move(symbols));
        std::vector<uint8_t> bytes = b.build();
        ASSERT_TRUE(loadInput(bytes));
        ASSERT_EQ(bindSymbolTable(ctx), 0);
        const uint32_t n = ctx.input.image.sectionCount();
        std::vector<uint32_t> expected;  // 0: stripped
        for (uint32_t i = 1; i <= 300; ++i) {
            const uint32_t value = symbolAt(i).st_value;
            uint32_t home = 0;
            for (uint32_t j = 0; j < n && home == 0; ++j) {
                const Elf32_Shdr* h = sectionHeaderAt(ctx, j);
                if (h->sh_size != 0 && h->sh_addr <= value && value < uint32_t(h->sh_addr + h->sh_size)) home = j;
            }
            expected.push_back(home);
        }
        Captured out;
        ASSERT_EQ(stripUnusedSymbols(ctx), 0);
        for (uint32_t i = 1; i <= 300; ++i) {
            if (expected[i - 1] == 0)
                EXPECT_TRUE(isZero(symbolAt(i))) << round << " " << i;
            else
                EXPECT_EQ(symbolAt(i).st_shndx, expected[i - 1]) << round << " " << i;
        }
    }
}

}  // namespace
