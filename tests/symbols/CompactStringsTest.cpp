#include <gtest/gtest.h>

#include "SymbolTestInput.h"
#include "symbols/CompactStrings.h"
#include "symbols/SymbolAccess.h"
#include "support/TestContext.h"

using namespace symtest;

namespace {

enum : uint16_t { Text = 1, Imports, Symtab, Strtab, RelaText };

std::vector<uint8_t> raw(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TestSymbol named(uint32_t nameOffset, uint8_t binding, uint16_t shndx, uint8_t type = STT_NOTYPE) {
    TestSymbol s = symbol("", binding, type, shndx, shndx == Text ? 0x02000000 : 0);
    s.forceName = nameOffset;
    return s;
}

// 1 .text, 2 .fimport_m (import table), 3 .symtab with the given string
// table bytes as 4 .strtab, 5 .rela.text with the given entries.
struct CompactInput {
    ElfBuilder builder;
    std::vector<uint8_t> bytes;
    CompactInput(const std::string& strings, std::vector<TestSymbol> symbols, std::vector<TestRela> relas) {
        builder.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
        builder.addSection({.name = ".fimport_m", .type = SHT_IMPORT_TABLE, .flags = SHF_ALLOC | SHF_EXECINSTR,
                            .data = raw(std::string(8, '\0') + "m" + '\0')});
        builder.addSymbolTable(std::move(symbols));
        builder.section(Strtab).generated = TestSection::Generated::Raw;
        builder.section(Strtab).data = raw(strings);
        builder.addRela(Text, std::move(relas), Symtab);
        bytes = builder.build();
    }
};

TestRela call(uint32_t symbolIndex, uint32_t type = R_PPC_REL24) {
    return TestRela{.r_offset = 0x02000000, .symbol = symbolIndex, .type = type};
}

std::string compact(CompactInput& input, bool verbose = true) {
    EXPECT_TRUE(loadInput(input.bytes));
    EXPECT_EQ(bindSymbolTable(ctx), 0);
    ctx.settings.verbose = verbose;
    Captured out;
    EXPECT_EQ(compactStringTable(ctx, *sectionHeaderAt(ctx, Strtab), Strtab), 0);
    return out.take();
}

std::string tableBytes() { return bytesAt(sectionContents(ctx, Strtab), sectionHeaderAt(ctx, Strtab)->sh_size); }

TEST(CompactStringsTest, LookupFindsOnlyTheFirstByteOfAString) {
    StringEntry entries[3] = {{0, 1, 0, 0}, {1, 4, 0, 1}, {5, 6, 0, 0}};
    Captured out;
    EXPECT_EQ(lookupStringOffset(entries, 3, 1), 1u);
    EXPECT_EQ(lookupStringOffset(entries, 3, 1), 1u);
    EXPECT_EQ(lookupStringOffset(entries, 3, 5), 0u);
    EXPECT_EQ(lookupStringOffset(entries, 3, 0), 0u);
    EXPECT_EQ(entries[0].uses, 1u);
    EXPECT_EQ(entries[1].uses, 2u);
    EXPECT_EQ(entries[2].uses, 1u);
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(lookupStringOffset(entries, 3, 2), 0u);
    EXPECT_EQ(lookupStringOffset(entries, 3, 11), 0u);
    EXPECT_EQ(out.text, "!!WARN: String not found!\n!!WARN: String not found!\n");
    EXPECT_EQ(lookupStringOffset(entries, 0, 1), 0u);
    EXPECT_EQ(lookupStringOffset(nullptr, 3, 1), 0u);
    EXPECT_EQ(out.take(), "!!WARN: String not found!\n!!WARN: String not found!\n");
}

TEST(CompactStringsTest, ATenPercentTableShrinksToItsImportNames) {
    // 1000 bytes: a 98-character import name (99 with its NUL), a 100-byte
    // name of a defined function, then filler strings.
    const std::string importName = "imp_" + std::string(94, 'x');
    std::string strings = std::string(1, '\0') + importName + '\0' + std::string(99, 'f') + '\0';
    while (strings.size() < 1000) strings += strings.size() % 10 == 9 ? '\0' : 'z';
    ASSERT_EQ(strings.size(), 1000u);
    CompactInput input(strings, {named(1, STB_GLOBAL, SHN_UNDEF), named(100, STB_GLOBAL, Text, STT_FUNC),
                                 named(200, STB_GLOBAL, Text, STT_FUNC)},
                       {call(1), call(2)});
    EXPECT_EQ(compact(input), "10% of stringtable used for import symbols.\n");
    EXPECT_EQ(sectionHeaderAt(ctx, Strtab)->sh_size, 104u);
    EXPECT_EQ(tableBytes(), std::string(1, '\0') + importName + std::string(5, '\0'));
    EXPECT_EQ(symbolAt(1).st_name, 1u);
    EXPECT_EQ(symbolAt(2).st_name, 0u);  // defined in code: loses its name although a relocation names it
    EXPECT_EQ(symbolAt(3).st_name, 0u);
}

TEST(CompactStringsTest, NinetyPercentIsCompactedAndNinetyOneIsNot) {
    // used = 1 + 89 = 90 of 100.
    std::string ninety = std::string(1, '\0') + std::string(88, 'a') + '\0' + "bcdefghij" + '\0';
    ASSERT_EQ(ninety.size(), 100u);
    CompactInput compacted(ninety, {named(1, STB_GLOBAL, SHN_UNDEF), named(90, STB_GLOBAL, Text)}, {call(1)});
    EXPECT_EQ(compact(compacted), "90% of stringtable used for import symbols.\n");
    EXPECT_EQ(sectionHeaderAt(ctx, Strtab)->sh_size, 92u);
    EXPECT_EQ(symbolAt(2).st_name, 0u);

    // used = 1 + 90 = 91 of 100.
    std::string ninetyOne = std::string(1, '\0') + std::string(89, 'a') + '\0' + "bcdefghi" + '\0';
    ASSERT_EQ(ninetyOne.size(), 100u);
    CompactInput unchanged(ninetyOne, {named(1, STB_GLOBAL, SHN_UNDEF), named(91, STB_GLOBAL, Text)}, {call(1)});
    EXPECT_EQ(compact(unchanged), "");
    EXPECT_EQ(sectionHeaderAt(ctx, Strtab)->sh_size, 100u);
    EXPECT_EQ(tableBytes(), ninetyOne);
    EXPECT_EQ(symbolAt(2).st_name, 91u);
}

TEST(CompactStringsTest, TheNewSizeIsTheNextMultipleOfFourAboveTheUsedBytes) {
    // used = 1 + 7 = 8 gives 12.
    CompactInput input(std::string(1, '\0') + "abcdef" + '\0' + "0123456789ab" + '\0',
                       {named(1, STB_GLOBAL, SHN_UNDEF), named(8, STB_GLOBAL, Text)}, {call(1)});
    EXPECT_EQ(compact(input), "38% of stringtable used for import symbols.\n");
    EXPECT_EQ(sectionHeaderAt(ctx, Strtab)->sh_size, 12u);
    EXPECT_EQ(tableBytes(), std::string(1, '\0') + "abcdef" + std::string(5, '\0'));
}

TEST(CompactStringsTest, ATableThatWouldGrowIsLeftUnchanged) {
    // used = 9 of 10 bytes would give 12.
    const std::string strings = std::string(1, '\0') + "abcdefg" + '\0' + '\0';
    CompactInput input(strings, {named(1, STB_GLOBAL, SHN_UNDEF)}, {call(1)});
    // The share is reported before the table is sized.
    EXPECT_EQ(compact(input), "90% of stringtable used for import symbols.\n");
    EXPECT_EQ(sectionHeaderAt(ctx, Strtab)->sh_size, 10u);
    EXPECT_EQ(tableBytes(), strings);
    EXPECT_EQ(symbolAt(1).st_name, 1u);
}

TEST(CompactStringsTest, WhichRelocatedSymbolsKeepTheirNames) {
    // Offsets: 1 weak, 6 strong, 13 abs, 17 imp, 21 unnamed, 29 type0, then filler.
    std::string strings = std::string(1, '\0') + "weak" + '\0' + "strong" + '\0' + "abs" + '\0' + "imp" + '\0' +
                          "unnamed" + '\0' + "type0" + '\0';
    strings += std::string(200, 'q') + '\0';
    CompactInput input(strings,
                       {named(1, STB_WEAK, SHN_UNDEF), named(6, STB_GLOBAL, SHN_UNDEF), named(13, STB_GLOBAL, SHN_ABS),
                        named(17, STB_GLOBAL, Imports), named(21, STB_GLOBAL, SHN_UNDEF),
                        named(29, STB_GLOBAL, SHN_UNDEF)},
                       {call(1), call(2), call(3), call(4), call(6, R_PPC_NONE)});
    EXPECT_EQ(compact(input, false), "");
    EXPECT_EQ(tableBytes(), std::string(1, '\0') + "strong" + '\0' + "abs" + '\0' + "imp" + std::string(5, '\0'));
    EXPECT_EQ(symbolAt(1).st_name, 0u);   // weak undefined
    EXPECT_EQ(symbolAt(2).st_name, 1u);   // undefined
    EXPECT_EQ(symbolAt(3).st_name, 8u);   // absolute
    EXPECT_EQ(symbolAt(4).st_name, 12u);  // in an import table
    EXPECT_EQ(symbolAt(5).st_name, 0u);   // no relocation names it
    EXPECT_EQ(symbolAt(6).st_name, 0u);   // only an R_PPC_NONE entry names it
}

TEST(CompactStringsTest, ANameInsideAnotherStringBecomesEmptyWithAWarning) {
    std::string strings = std::string(1, '\0') + "import" + '\0' + std::string(100, 'q') + '\0';
    CompactInput input(strings, {named(1, STB_GLOBAL, SHN_UNDEF), named(3, STB_GLOBAL, SHN_UNDEF)},
                       {call(1), call(2)});
    std::string printed = compact(input, false);
    // Once when the relocation is followed, once when the name is renumbered.
    EXPECT_EQ(printed, "!!WARN: String not found!\n!!WARN: String not found!\n");
    EXPECT_EQ(symbolAt(1).st_name, 1u);
    EXPECT_EQ(symbolAt(2).st_name, 0u);
    EXPECT_EQ(sectionHeaderAt(ctx, Strtab)->sh_size, 12u);
}

TEST(CompactStringsTest, RelocationsAreSteppedByTheirEntrySize) {
    std::string strings = std::string(1, '\0') + "one" + '\0' + "two" + '\0' + std::string(100, 'q') + '\0';
    CompactInput input(strings, {named(1, STB_GLOBAL, SHN_UNDEF), named(5, STB_GLOBAL, SHN_UNDEF)}, {});
    TestSection& rela = input.builder.section(RelaText);
    rela.generated = TestSection::Generated::Raw;
    rela.entsize = 16;
    rela.data = input.builder.words({0x02000000, (1u << 8) | R_PPC_REL24, 0, 0xAAAAAAAA,  //
                                     0x02000004, (2u << 8) | R_PPC_REL24, 0, 0xAAAAAAAA});
    input.bytes = input.builder.build();
    EXPECT_EQ(compact(input, false), "");
    EXPECT_EQ(tableBytes(), std::string(1, '\0') + "one" + '\0' + "two" + std::string(4, '\0'));
}

TEST(CompactStringsTest, EveryStringTableIsVisitedAndTheSectionNamesStay) {
    std::string strings = std::string(1, '\0') + "imp" + '\0' + std::string(100, 'q') + '\0';
    CompactInput input(strings, {named(1, STB_GLOBAL, SHN_UNDEF), named(5, STB_GLOBAL, Text)}, {call(1)});
    ASSERT_TRUE(loadInput(input.bytes));
    ASSERT_EQ(bindSymbolTable(ctx), 0);
    const uint32_t names = ctx.input.image.header().e_shstrndx;
    const std::string nameTable = bytesAt(sectionContents(ctx, names), sectionHeaderAt(ctx, names)->sh_size);
    ctx.settings.verbose = true;
    Captured out;
    EXPECT_EQ(compactStringTables(ctx), 0);
    EXPECT_EQ(out.take(), "4% of stringtable used for import symbols.\n");
    EXPECT_EQ(sectionHeaderAt(ctx, Strtab)->sh_size, 8u);
    EXPECT_EQ(bytesAt(sectionContents(ctx, names), sectionHeaderAt(ctx, names)->sh_size), nameTable);
    EXPECT_EQ(sectionName(ctx, *sectionHeaderAt(ctx, RelaText)), ".rela.text");
}

TEST(CompactStringsTest, AMostlyUnusedSectionNameTableKeepsEveryName) {
    CompactInput input(std::string(1, '\0') + "imp" + '\0', {named(1, STB_GLOBAL, SHN_UNDEF)}, {call(1)});
    // Give the section-name table 300 bytes of dead strings behind its names.
    const uint32_t names = input.builder.layout().shstrndx;
    ASSERT_TRUE(loadInput(input.bytes));
    const uint32_t used = sectionHeaderAt(ctx, names)->sh_size;
    std::vector<uint8_t> bigger(sectionContents(ctx, names), sectionContents(ctx, names) + used);
    bigger.resize(used + 300, 'd');
    bigger[used + 299] = 0;
    replaceSectionContents(ctx, names, bigger);
    sectionHeaderAt(ctx, names)->sh_size = used + 300;
    ASSERT_EQ(bindSymbolTable(ctx), 0);
    ctx.settings.verbose = true;
    Captured out;
    EXPECT_EQ(compactStringTable(ctx, *sectionHeaderAt(ctx, names), names), 0);
    const uint32_t percent = (1 + (used - 1)) * 100 / (used + 300);
    EXPECT_EQ(out.take(), std::to_string(percent) + "% of stringtable used for import symbols.\n");
    EXPECT_EQ(sectionHeaderAt(ctx, names)->sh_size, (used + 4) & ~3u);
    for (uint32_t i = 1; i < names; ++i) EXPECT_EQ(sectionName(ctx, *sectionHeaderAt(ctx, i)), input.builder.section(i).name);
    EXPECT_EQ(sectionName(ctx, *sectionHeaderAt(ctx, names)), ".shstrtab");
}

}  // namespace
