#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/Output.h"
#include "support/TestContext.h"
#include "elf/ElfReader.h"
#include "elf/SectionContents.h"
#include "support/ElfBuilder.h"
#include "symbols/RebuildSymbols.h"
#include "symbols/SymbolAccess.h"

namespace {

constexpr uint32_t kTextAddr = 0x02000000;
constexpr uint32_t kDataAddr = 0x10000000;
constexpr uint8_t R_PPC_ADDR16_LO = 4;
constexpr uint8_t R_PPC_ADDR16_HA = 6;

TestSection textSection(uint32_t addr = kTextAddr, uint32_t size = 0x100) {
    return TestSection{.name = ".text", .type = SHT_PROGBITS, .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = addr,
                       .size = size, .addralign = 4};
}

TestSection dataSection(uint32_t addr = kDataAddr, uint32_t size = 0x40, const std::string& name = ".data") {
    return TestSection{.name = name, .type = SHT_PROGBITS, .flags = SHF_ALLOC | SHF_WRITE, .addr = addr,
                       .size = size, .addralign = 4};
}

TestSymbol func(const std::string& name, uint32_t value, uint32_t size, uint16_t shndx) {
    return TestSymbol{.name = name, .value = value, .size = size, .info = symbolInfo(STB_GLOBAL, STT_FUNC),
                      .shndx = shndx};
}

TestSymbol object(const std::string& name, uint32_t value, uint32_t size, uint16_t shndx) {
    return TestSymbol{.name = name, .value = value, .size = size, .info = symbolInfo(STB_GLOBAL, STT_OBJECT),
                      .shndx = shndx};
}

TestSymbol undefined(const std::string& name) {
    return TestSymbol{.name = name, .info = symbolInfo(STB_GLOBAL, STT_NOTYPE)};
}

TestSymbol sectionSymbol(uint32_t value, uint16_t shndx) {
    return TestSymbol{.value = value, .info = symbolInfo(STB_LOCAL, STT_SECTION), .shndx = shndx};
}

// Reads the image and binds its symbol table as the module build does. The
// use counts: every allocated non-empty section, the symbol and string
// tables and the section-name table.
::testing::AssertionResult loadImage(std::vector<uint8_t>& bytes) {
    resetTestContext();
    uint32_t result = readElfImage(bytes.data(), uint32_t(bytes.size()), &ctx.input.image);
    if (result != 0) return ::testing::AssertionFailure() << "reader result 0x" << std::hex << result;
    ctx.input.hasImage = true;
    if (bindSymbolTable(ctx) != 0) return ::testing::AssertionFailure() << "no symbol table";
    const SymbolTableView& view = ctx.symbols.view;
    uint32_t count = ctx.input.image.sectionCount();
    auto& uses = ctx.symbols.sectionUses;
    uses.assign(count, 0);
    for (uint32_t i = 1; i < count; ++i) {
        const Elf32_Shdr* header = inputSectionHeader(ctx, i);
        if (header->sh_size != 0 && (header->sh_flags & SHF_ALLOC)) uses[i] = 1;
    }
    uses[view.symbolTableIndex] = 1;
    uses[view.stringTableIndex] = 1;
    if (ctx.input.image.header().e_shstrndx != 0) uses[ctx.input.image.header().e_shstrndx] = 1;
    return ::testing::AssertionSuccess();
}

// Runs the rebuild and returns what it printed.
std::string rebuildCaptured() {
    std::string out;
    beginOutputCapture(&out);
    int result = rebuildSymbolTable(ctx);
    endOutputCapture();
    EXPECT_EQ(result, 0);
    return out;
}

const SymbolTableView& tables() { return ctx.symbols.view; }
const Elf32_Sym& newSymbol(uint32_t index) { return tables().symbols[index]; }
std::string newName(uint32_t index) {
    const Elf32_Sym& symbol = newSymbol(index);
    if (symbol.st_name >= tables().stringSize) return "<out of range>";
    return std::string(tables().strings + symbol.st_name, strnlen(tables().strings + symbol.st_name,
                                                                   tables().stringSize - symbol.st_name));
}

Elf32_Rela relocation(uint32_t section, uint32_t entry) {
    Elf32_Rela rela{};
    EXPECT_GE(sectionContentsCapacity(ctx, section), (entry + 1) * 12);
    std::memcpy(&rela, sectionContents(ctx, section) + entry * 12, 12);
    return rela;
}

const SymbolInfo& infoOf(uint32_t inputIndex) { return ctx.symbols.symbolInfos.at(inputIndex); }

// Layout used by most cases: 1 .text, 2 .data, 3 .symtab, 4 .strtab,
// 5 .rela.text.
struct CodeAndData {
    ElfBuilder builder;
    uint32_t text = 0, data = 0, symtab = 0, relaText = 0;
    std::vector<uint8_t> bytes;

    CodeAndData(std::vector<TestSymbol> symbols, std::vector<TestRela> relas) {
        text = builder.addSection(textSection());
        data = builder.addSection(dataSection());
        symtab = builder.addSymbolTable(std::move(symbols));
        relaText = builder.addRela(text, std::move(relas), symtab);
        bytes = builder.build();
    }
};

TEST(RebuildSymbolsTest, PlainSizedFunctionKeptUnlessStripped) {
    for (bool strip : {false, true}) {
        SCOPED_TRACE(strip ? "-s" : "no -s");
        CodeAndData in({func("main", kTextAddr + 0x10, 0x40, 1)},
                       {{.r_offset = kTextAddr + 0x80, .symbol = 1, .type = R_PPC_REL24, .r_addend = 0}});
        ASSERT_TRUE(loadImage(in.bytes));
        ctx.settings.stripSymbolStrings = strip;
        EXPECT_EQ(rebuildCaptured(), "");
        Elf32_Rela rela = relocation(in.relaText, 0);
        EXPECT_EQ(rela.r_info, (1u << 8) | R_PPC_REL24);
        EXPECT_EQ(rela.r_addend, 0x10);
        if (strip) {
            EXPECT_EQ(tables().symbolCount, 4u);
            EXPECT_EQ(infoOf(1).func, 0);
            EXPECT_EQ(infoOf(1).new_id, 0u);
            EXPECT_EQ(tables().stringSize, 20u);
        } else {
            ASSERT_EQ(tables().symbolCount, 5u);
            EXPECT_EQ(newName(4), "main");
            EXPECT_EQ(newSymbol(4).st_name, 20u);
            EXPECT_EQ(newSymbol(4).st_value, kTextAddr + 0x10);
            EXPECT_EQ(newSymbol(4).st_size, 0x40u);
            EXPECT_EQ(newSymbol(4).st_info, symbolInfo(STB_GLOBAL, STT_FUNC));
            EXPECT_EQ(newSymbol(4).st_shndx, 1);
            EXPECT_EQ(tables().stringSize, 25u);
        }
        EXPECT_EQ(tables().symbolTableHeader->sh_size, tables().symbolCount * 16);
        EXPECT_EQ(tables().stringTableHeader->sh_size, tables().stringSize);
    }
}

TEST(RebuildSymbolsTest, NamesWithLeadingDotOrDoubleDotAreDropped) {
    CodeAndData in({func(".hidden", kTextAddr + 0x20, 8, 1), func("a..b", kTextAddr + 0x30, 8, 1),
                    func("a.b", kTextAddr + 0x40, 8, 1), func("unsized", kTextAddr + 0x50, 0, 1),
                    func("", kTextAddr + 0x60, 8, 1)},
                   {{.r_offset = kTextAddr, .symbol = 1, .type = R_PPC_REL24},
                    {.r_offset = kTextAddr + 4, .symbol = 2, .type = R_PPC_REL24, .r_addend = 4},
                    {.r_offset = kTextAddr + 8, .symbol = 4, .type = R_PPC_REL24}});
    ASSERT_TRUE(loadImage(in.bytes));
    EXPECT_FALSE(isPlainName(ctx, 1));
    EXPECT_FALSE(isPlainName(ctx, 2));
    EXPECT_TRUE(isPlainName(ctx, 3));
    EXPECT_FALSE(isPlainName(ctx, 5));
    EXPECT_EQ(rebuildCaptured(), "");
    // Only "a.b" (a single dot inside) is plainly named.
    ASSERT_EQ(tables().symbolCount, 5u);
    EXPECT_EQ(newName(4), "a.b");
    EXPECT_EQ(relocation(in.relaText, 0).r_info, (1u << 8) | R_PPC_REL24);
    EXPECT_EQ(relocation(in.relaText, 0).r_addend, 0x20);
    EXPECT_EQ(relocation(in.relaText, 1).r_info, (1u << 8) | R_PPC_REL24);
    EXPECT_EQ(relocation(in.relaText, 1).r_addend, 0x34);
    EXPECT_EQ(relocation(in.relaText, 2).r_addend, 0x50);
}

TEST(RebuildSymbolsTest, DataUndefinedAndAddendWrapAround) {
    CodeAndData in({object("counter", kDataAddr + 0x10, 4, 2), undefined("elsewhere"),
                    object("far", kDataAddr + 0x20, 4, 2)},
                   {{.r_offset = kTextAddr, .symbol = 1, .type = R_PPC_ADDR16_HA, .r_addend = 4},
                    {.r_offset = kTextAddr + 4, .symbol = 2, .type = R_PPC_REL24, .r_addend = 12},
                    {.r_offset = kTextAddr + 8, .symbol = 3, .type = R_PPC_ADDR16_LO, .r_addend = 0x7FFFFFF0},
                    {.r_offset = kTextAddr + 12, .symbol = 3, .type = R_PPC_NONE, .r_addend = 1},
                    {.r_offset = kTextAddr + 16, .symbol = 0, .type = R_PPC_ADDR16_LO, .r_addend = 2}});
    ASSERT_TRUE(loadImage(in.bytes));
    EXPECT_EQ(rebuildCaptured(), "");
    EXPECT_EQ(tables().symbolCount, 4u);  // nothing but the pseudo-symbols
    Elf32_Rela data = relocation(in.relaText, 0);
    EXPECT_EQ(data.r_info, (2u << 8) | R_PPC_ADDR16_HA);
    EXPECT_EQ(data.r_addend, 0x14);
    Elf32_Rela call = relocation(in.relaText, 1);
    EXPECT_EQ(call.r_info, (3u << 8) | R_PPC_REL24);
    EXPECT_EQ(call.r_addend, 12);
    Elf32_Rela wrapped = relocation(in.relaText, 2);
    EXPECT_EQ(wrapped.r_info, (2u << 8) | R_PPC_ADDR16_LO);
    EXPECT_EQ(uint32_t(wrapped.r_addend), 0x80000010u);
    // Type 0 and symbol 0 stay as they are.
    EXPECT_EQ(relocation(in.relaText, 3).r_info, (3u << 8) | R_PPC_NONE);
    EXPECT_EQ(relocation(in.relaText, 3).r_addend, 1);
    EXPECT_EQ(relocation(in.relaText, 4).r_info, uint32_t(R_PPC_ADDR16_LO));
    EXPECT_EQ(relocation(in.relaText, 4).r_addend, 2);

    // The pseudo-symbols and their names.
    EXPECT_EQ(newName(1), "$TEXT");
    EXPECT_EQ(newName(2), "$DATA");
    EXPECT_EQ(newName(3), "$UNDEF");
    EXPECT_EQ(newSymbol(1).st_value, kTextAddr);
    EXPECT_EQ(newSymbol(1).st_info, 3);
    EXPECT_EQ(newSymbol(1).st_shndx, in.text);
    EXPECT_EQ(newSymbol(2).st_value, kDataAddr);
    EXPECT_EQ(newSymbol(2).st_shndx, in.data);
    EXPECT_EQ(newSymbol(3).st_value, 0u);
    EXPECT_EQ(newSymbol(3).st_info, 0x11);
    EXPECT_EQ(newSymbol(3).st_shndx, 0);
    const uint8_t expectedStrings[20] = {0, '$', 'T', 'E', 'X', 'T', 0, '$', 'D', 'A',
                                         'T', 'A', 0, '$', 'U', 'N', 'D', 'E', 'F', 0};
    ASSERT_EQ(tables().stringSize, 20u);
    EXPECT_EQ(std::memcmp(tables().strings, expectedStrings, 20), 0);
}

TEST(RebuildSymbolsTest, ReferencedImportKeptUnreferencedDropped) {
    ElfBuilder b;
    uint32_t text = b.addSection(textSection());
    uint32_t imports = b.addSection(TestSection{.name = ".fimport_other", .type = SHT_IMPORT_TABLE,
                                                .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = kTextAddr + 0x100,
                                                .size = 0x18, .addralign = 8});
    uint32_t symtab = b.addSymbolTable({func("used_import", kTextAddr + 0x108, 0, uint16_t(imports)),
                                        func("unused_import", kTextAddr + 0x110, 0, uint16_t(imports))});
    uint32_t rela = b.addRela(text, {{.r_offset = kTextAddr, .symbol = 1, .type = R_PPC_REL24, .r_addend = 0}},
                              symtab);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    EXPECT_EQ(rebuildCaptured(), "");
    ASSERT_EQ(tables().symbolCount, 5u);
    EXPECT_EQ(newName(4), "used_import");
    EXPECT_EQ(newSymbol(4).st_shndx, imports);
    EXPECT_EQ(relocation(rela, 0).r_info, (4u << 8) | R_PPC_REL24);
    EXPECT_EQ(relocation(rela, 0).r_addend, 0);
    EXPECT_EQ(infoOf(2).import, 1);
    EXPECT_EQ(infoOf(2).new_id, 0u);
    // No used data section: "$DATA" stands for section -1 at 0xFFFFFFFF.
    EXPECT_EQ(ctx.symbols.dataBaseSection, -1);
    EXPECT_EQ(newSymbol(2).st_value, 0xFFFFFFFFu);
    EXPECT_EQ(newSymbol(2).st_shndx, 0xFFFF);
}

TEST(RebuildSymbolsTest, SectionSymbolsKeptOnlyWhenReferenced) {
    ElfBuilder b;
    uint32_t text = b.addSection(textSection());
    uint32_t data = b.addSection(dataSection());
    uint32_t rodata = b.addSection(TestSection{.name = ".rodata", .type = SHT_PROGBITS, .flags = SHF_ALLOC,
                                               .addr = kDataAddr + 0x40, .size = 0x10, .addralign = 4});
    uint32_t symtab = b.addSymbolTable({sectionSymbol(kTextAddr, uint16_t(text)),
                                        sectionSymbol(kDataAddr, uint16_t(data)),
                                        sectionSymbol(kDataAddr + 0x40, uint16_t(rodata))});
    uint32_t rela = b.addRela(text, {{.r_offset = kTextAddr, .symbol = 3, .type = R_PPC_ADDR16_LO, .r_addend = 8}},
                              symtab);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    EXPECT_EQ(rebuildCaptured(), "");
    ASSERT_EQ(tables().symbolCount, 5u);
    EXPECT_EQ(newSymbol(4).st_shndx, rodata);
    EXPECT_EQ(newSymbol(4).st_info, symbolInfo(STB_LOCAL, STT_SECTION));
    EXPECT_EQ(newSymbol(4).st_name, 20u);  // the empty name, one NUL
    EXPECT_EQ(tables().stringSize, 21u);
    EXPECT_EQ(relocation(rela, 0).r_info, (4u << 8) | R_PPC_ADDR16_LO);
    EXPECT_EQ(relocation(rela, 0).r_addend, 8);
    EXPECT_EQ(infoOf(1).empty, 1);
    EXPECT_EQ(infoOf(1).new_id, 0u);
}

TEST(RebuildSymbolsTest, OnlyTheNullSymbolLeavesTheImageUntouched) {
    ElfBuilder b;
    uint32_t text = b.addSection(textSection());
    uint32_t symtab = b.addSymbolTable({});
    b.addRela(text, {{.r_offset = kTextAddr, .symbol = 0, .type = R_PPC_ADDR16_LO}}, symtab);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    ctx.settings.verbose2 = ctx.settings.verbose3 = true;
    std::vector<uint8_t> before = bytes;
    EXPECT_EQ(rebuildCaptured(), "");
    EXPECT_EQ(bytes, before);
    EXPECT_EQ(tables().symbolCount, 1u);
    EXPECT_TRUE(ctx.input.ownContents.empty());
}

TEST(RebuildSymbolsTest, ExportFlagFollowsTheLastNamingEntry) {
    ElfBuilder b;
    uint32_t text = b.addSection(textSection());
    uint32_t data = b.addSection(dataSection());
    uint32_t exports = b.addSection(TestSection{.name = ".dexports", .type = SHT_EXPORT_TABLE, .flags = SHF_ALLOC,
                                                .addr = 0xC0000000, .size = 0x40, .addralign = 4});
    uint32_t symtab = b.addSymbolTable({object("first_exported", kDataAddr, 4, uint16_t(data)),
                                        object("last_exported", kDataAddr + 4, 4, uint16_t(data)),
                                        object("export_only", kDataAddr + 8, 4, uint16_t(data))});
    // Relocation sections in index order: .rela.text, .rela.dexports, .rela.data.
    b.addRela(text, {{.r_offset = kTextAddr, .symbol = 2, .type = R_PPC_ADDR16_LO}}, symtab);
    uint32_t relaExports = b.addRela(exports,
                                     {{.r_offset = 0xC0000008, .symbol = 1, .type = R_PPC_ADDR32},
                                      {.r_offset = 0xC0000010, .symbol = 2, .type = R_PPC_ADDR32},
                                      {.r_offset = 0xC0000018, .symbol = 3, .type = R_PPC_ADDR32}},
                                     symtab);
    b.addRela(data, {{.r_offset = kDataAddr + 0x20, .symbol = 1, .type = R_PPC_ADDR32}}, symtab);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    EXPECT_EQ(rebuildCaptured(), "");
    EXPECT_EQ(infoOf(1).export_, 0);
    EXPECT_EQ(infoOf(2).export_, 1);
    EXPECT_EQ(infoOf(3).export_, 1);
    ASSERT_EQ(tables().symbolCount, 6u);
    EXPECT_EQ(newName(4), "last_exported");
    EXPECT_EQ(newName(5), "export_only");
    // Exported data still goes through "$DATA" in relocations.
    EXPECT_EQ(relocation(relaExports, 1).r_info, (2u << 8) | R_PPC_ADDR32);
    EXPECT_EQ(relocation(relaExports, 1).r_addend, 4);
}

TEST(RebuildSymbolsTest, ThreadLocalAndAbsoluteSymbols) {
    ElfBuilder b;
    uint32_t text = b.addSection(textSection());
    uint32_t tdata = b.addSection(TestSection{.name = ".tdata", .type = SHT_PROGBITS,
                                              .flags = SHF_ALLOC | SHF_WRITE | SHF_TLS_DATA, .addr = kDataAddr,
                                              .size = 0x10, .addralign = 4});
    uint32_t symtab = b.addSymbolTable(
        {TestSymbol{.name = "tls_var", .value = 4, .size = 4, .info = symbolInfo(STB_GLOBAL, STT_TLS),
                    .shndx = uint16_t(tdata)},
         TestSymbol{.name = "abs_used", .value = 0x1234, .info = symbolInfo(STB_GLOBAL, STT_NOTYPE),
                    .shndx = SHN_ABS},
         TestSymbol{.name = "abs_unused", .value = 0x5678, .info = symbolInfo(STB_GLOBAL, STT_NOTYPE),
                    .shndx = SHN_ABS},
         TestSymbol{.name = "file.c", .info = symbolInfo(STB_LOCAL, STT_FILE), .shndx = SHN_ABS}});
    uint32_t rela = b.addRela(text,
                              {{.r_offset = kTextAddr, .symbol = 1, .type = R_PPC_DTPREL32, .r_addend = 2},
                               {.r_offset = kTextAddr + 4, .symbol = 2, .type = R_PPC_ADDR16_LO, .r_addend = 3}},
                              symtab);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    EXPECT_EQ(rebuildCaptured(), "");
    // The thread-local section counts as data but is no base for "$DATA".
    EXPECT_EQ(ctx.symbols.sectionRoles[tdata].kind, 1u);
    EXPECT_EQ(ctx.symbols.sectionRoles[tdata].isTls, 1);
    ASSERT_EQ(tables().symbolCount, 6u);
    EXPECT_EQ(newName(4), "tls_var");
    EXPECT_EQ(newName(5), "abs_used");
    EXPECT_EQ(newSymbol(5).st_shndx, SHN_ABS);
    EXPECT_EQ(relocation(rela, 0).r_info, (4u << 8) | R_PPC_DTPREL32);
    EXPECT_EQ(relocation(rela, 0).r_addend, 2);
    EXPECT_EQ(relocation(rela, 1).r_info, (5u << 8) | R_PPC_ADDR16_LO);
    EXPECT_EQ(relocation(rela, 1).r_addend, 3);
}

TEST(RebuildSymbolsTest, LowestUsedSectionsAreTheBases) {
    ElfBuilder b;
    uint32_t unusedText = b.addSection(textSection(kTextAddr, 0));  // empty: never used
    uint32_t text2 = b.addSection(textSection(kTextAddr + 0x200, 0x10));
    uint32_t text1 = b.addSection(textSection(kTextAddr + 0x100, 0x10));
    uint32_t textSame = b.addSection(textSection(kTextAddr + 0x100, 0x10));
    uint32_t data = b.addSection(dataSection(kDataAddr + 0x80, 0x10));
    uint32_t exports = b.addSection(TestSection{.name = ".fexports", .type = SHT_EXPORT_TABLE,
                                                .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = kTextAddr + 0x300,
                                                .size = 0x10, .addralign = 4});
    uint32_t other = b.addSection(dataSection(0x00001000, 0x10, ".other"));
    b.addSymbolTable({func("f", kTextAddr + 0x200, 4, uint16_t(text2))});
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    classifySectionsForSymbols(ctx);
    const SymbolState& state = ctx.symbols;
    EXPECT_EQ(state.textBase, kTextAddr + 0x100);
    EXPECT_EQ(state.textBaseSection, int32_t(text1));
    EXPECT_EQ(state.dataBase, kDataAddr + 0x80);
    EXPECT_EQ(state.dataBaseSection, int32_t(data));
    EXPECT_EQ(state.sectionRoles[unusedText].kind, 0u);
    EXPECT_EQ(state.sectionRoles[textSame].kind, 0u);
    // An export table takes its kind from its address like any other section.
    EXPECT_EQ(state.sectionRoles[exports].isExport, 1);
    EXPECT_EQ(state.sectionRoles[exports].kind, 0u);
    EXPECT_EQ(state.sectionRoles[other].kind, 3u);
    EXPECT_EQ(state.sectionRoles[0].kind, 0u);
}

TEST(RebuildSymbolsTest, RenumberingTheSameSymbolIsReported) {
    CodeAndData in({func("main", kTextAddr, 8, 1)}, {{.r_offset = kTextAddr, .symbol = 1, .type = R_PPC_REL24}});
    ASSERT_TRUE(loadImage(in.bytes));
    EXPECT_EQ(rebuildCaptured(), "");
    std::string out;
    beginOutputCapture(&out);
    assignNewSymbolId(ctx, 1);
    endOutputCapture();
    EXPECT_EQ(out, "ERROR: sym 1 already has new symid 4 wanted to number 5\n");
    EXPECT_EQ(infoOf(1).new_id, 4u);
    EXPECT_EQ(ctx.symbols.nextNewSymbolId, 5u);
}

TEST(RebuildSymbolsTest, NamesOfBindingsAndTypes) {
    EXPECT_STREQ(symbolBindingName(0x00), "local");
    EXPECT_STREQ(symbolBindingName(0x1F), "global");
    EXPECT_STREQ(symbolBindingName(0x20), "weak");
    EXPECT_STREQ(symbolBindingName(0x30), "other");
    EXPECT_STREQ(symbolBindingName(0xF0), "other");
    const char* types[16] = {"none",  "data",  "code",  "sect",  "file",  "other", "tlsdata", "other",
                             "other", "other", "other", "other", "other", "other", "other",   "other"};
    for (uint8_t t = 0; t < 16; ++t) EXPECT_STREQ(symbolTypeName(uint8_t(0x10 | t)), types[t]) << int(t);
}

// The -v2 and -v3 dumps, character for character.
TEST(RebuildSymbolsTest, VerboseDumpsHaveTheirExactFormats) {
    CodeAndData in({sectionSymbol(kDataAddr, 2), func("main", kTextAddr + 0x10, 0x40, 1),
                    object("counter", kDataAddr + 0x10, 4, 2), undefined("ext")},
                   {{.r_offset = kTextAddr, .symbol = 4, .type = R_PPC_REL24},
                    {.r_offset = kTextAddr + 6, .symbol = 3, .type = R_PPC_ADDR16_HA, .r_addend = 4},
                    {.r_offset = kTextAddr + 10, .symbol = 1, .type = R_PPC_ADDR16_LO, .r_addend = 8},
                    {.r_offset = kTextAddr + 0x20, .symbol = 2, .type = R_PPC_REL24}});
    const std::vector<uint8_t> pristine = in.bytes;
    ASSERT_TRUE(loadImage(in.bytes));
    ctx.settings.verbose2 = true;
    std::string v2 = rebuildCaptured();
    const std::string newTable =
        "\nNEW SYMBOL TABLE 6 symbols symtab size = 96 strtab size = 26\n"
        "\nNEW SYMBOL TABLE\n"
        "   1: 0x02000000 local  sect  .text     (1) $TEXT\n"
        "   2: 0x10000000 local  sect  .data     (2) $DATA\n"
        "   3: 0x00000000 global data            (0) $UNDEF\n"
        "   4: 0x10000000 local  sect  .data     (2) \n"
        "   5: 0x02000010 global code  .text     (1) main size = 64\n";
    EXPECT_EQ(v2, newTable);

    in.bytes = pristine;
    ASSERT_TRUE(loadImage(in.bytes));
    ctx.settings.verbose2 = ctx.settings.verbose3 = true;
    std::string v3 = rebuildCaptured();
    EXPECT_EQ(v3, newTable +
                      "\n\nPLANED SYMBOL TABLE\n"
                      "   1: 0x02000000 local  sect  .text     (1) $TEXT\n"
                      "   2: 0x10000000 local  sect  .data     (2) $DATA\n"
                      "   4|   1: 0x10000000 local  sect  .data     (2) \n"
                      "        1: export:0 import:0 func:0 code:0 data:0 sect:1 referenced:1 undef:0 new_id:4 "
                      "use_id:0 offset:0x00000000\n"
                      "   5|   2: 0x02000010 global code  .text     (1) $TEXT+0x00000010 main size = 64\n"
                      "        2: export:0 import:0 func:1 code:1 data:0 sect:0 referenced:1 undef:0 new_id:5 "
                      "use_id:1 offset:0x00000010\n");

    // The planned lines of dropped symbols, taken right after the analysis.
    in.bytes = pristine;
    ASSERT_TRUE(loadImage(in.bytes));
    SymbolState& state = ctx.symbols;
    classifySectionsForSymbols(ctx);
    state.inputSymbolCount = tables().symbolCount;
    state.symbolInfos.assign(state.inputSymbolCount, SymbolInfo{});
    markRelocatedSymbols(ctx);
    analyseSymbols(ctx);
    std::string planned;
    beginOutputCapture(&planned);
    dumpPlannedSymbol(ctx, 0, 3);
    dumpPlannedSymbol(ctx, 0, 4);
    endOutputCapture();
    EXPECT_EQ(planned,
              "   0|   3: 0x10000010 global data  .data     (2) $DATA+0x00000010 counter size = 4\n"
              "        3: export:0 import:0 func:0 code:0 data:1 sect:0 referenced:1 undef:0 new_id:0 use_id:2 "
              "offset:0x00000010\n"
              "   0|   4: 0x00000000 global none            (0) $UNDEF+0x00000000 ext\n"
              "        4: export:0 import:0 func:0 code:0 data:0 sect:0 referenced:1 undef:1 new_id:0 use_id:3 "
              "offset:0x00000000\n");

    // -v3 alone prints nothing.
    CodeAndData again({func("main", kTextAddr + 0x10, 0x40, 1)}, {});
    ASSERT_TRUE(loadImage(again.bytes));
    ctx.settings.verbose3 = true;
    EXPECT_EQ(rebuildCaptured(), "");
}

TEST(RebuildSymbolsTest, HeaderLineCountsFourPlusKeptEntries) {
    std::vector<TestSymbol> symbols;
    for (int k = 0; k < 7; ++k) symbols.push_back(func("f" + std::to_string(k), kTextAddr + 8 * k, 8, 1));
    CodeAndData in(symbols, {});
    ASSERT_TRUE(loadImage(in.bytes));
    ctx.settings.verbose2 = true;
    std::string out = rebuildCaptured();
    EXPECT_EQ(out.substr(0, out.find("\n", 1) + 1),
              "\nNEW SYMBOL TABLE 11 symbols symtab size = 176 strtab size = 41\n");
}

TEST(RebuildSymbolsTest, RelocationOfAnUnkeptUnreplacedSymbolWarnsAlways) {
    ElfBuilder b;
    uint32_t text = b.addSection(textSection());
    uint32_t other = b.addSection(dataSection(0x00001000, 0x10, ".other"));
    uint32_t symtab = b.addSymbolTable({object("orphan", 0x00001004, 4, uint16_t(other))});
    uint32_t rela = b.addRela(text, {{.r_offset = kTextAddr + 4, .symbol = 1, .type = R_PPC_ADDR16_LO,
                                      .r_addend = 6}},
                              symtab);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    EXPECT_EQ(rebuildCaptured(),
              "   0|   1: 0x00001004 global data  .other    (2) orphan size = 4\n"
              "        1: export:0 import:0 func:0 code:0 data:0 sect:0 referenced:1 undef:0 new_id:0 use_id:0 "
              "offset:0x00000000\n");
    EXPECT_EQ(relocation(rela, 0).r_info, uint32_t(R_PPC_ADDR16_LO));
    EXPECT_EQ(relocation(rela, 0).r_addend, 6);
}

// Rebuilt tables that do not fit in the input's sections get contents of
// their own; nothing past the input sections changes.
TEST(RebuildSymbolsTest, TablesLargerThanTheInputSectionsGetTheirOwnContents) {
    ElfBuilder b;
    uint32_t text = b.addSection(textSection());
    std::vector<TestSymbol> symbols{func("abcdefgh", kTextAddr, 4, uint16_t(text))};
    // Every further name is a tail of the first one.
    for (uint32_t k = 1; k < 6; ++k) {
        TestSymbol s = func("", kTextAddr + 4 * k, 4, uint16_t(text));
        s.forceName = 1 + k;
        symbols.push_back(s);
    }
    uint32_t symtab = b.addSymbolTable(symbols);
    uint32_t strtab = symtab + 1;
    uint32_t rela = b.addRela(text, {{.r_offset = kTextAddr, .symbol = 6, .type = R_PPC_REL24}}, symtab);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    ASSERT_EQ(tables().stringSize, 10u);
    ASSERT_EQ(tables().symbolCount, 7u);
    std::vector<uint8_t> before = bytes;

    EXPECT_EQ(rebuildCaptured(), "");
    ASSERT_EQ(tables().symbolCount, 10u);
    const char* names[] = {"abcdefgh", "bcdefgh", "cdefgh", "defgh", "efgh", "fgh"};
    uint32_t size = 20;
    for (uint32_t k = 0; k < 6; ++k) {
        EXPECT_EQ(newName(4 + k), names[k]);
        EXPECT_EQ(newSymbol(4 + k).st_value, kTextAddr + 4 * k);
        size += uint32_t(std::strlen(names[k])) + 1;
    }
    EXPECT_EQ(tables().stringSize, size);
    EXPECT_EQ(inputSectionHeader(ctx, symtab)->sh_size, 160u);
    EXPECT_EQ(inputSectionHeader(ctx, strtab)->sh_size, size);
    // The view and the section contents agree.
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(tables().symbols), sectionContents(ctx, symtab));
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(tables().strings), sectionContents(ctx, strtab));
    EXPECT_EQ(sectionContentsCapacity(ctx, symtab), 160u);
    EXPECT_EQ(sectionContentsCapacity(ctx, strtab), size);
    EXPECT_EQ(relocation(rela, 0).r_info, (1u << 8) | R_PPC_REL24);
    EXPECT_EQ(relocation(rela, 0).r_addend, 20);
    // Nothing of the mapped input changed but the one relocation entry and
    // the section headers.
    const uint32_t relaOffset = b.layout().sectionOffsets[rela];
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + relaOffset, before.begin()));
    EXPECT_TRUE(std::equal(bytes.begin() + relaOffset + 12, bytes.begin() + b.layout().shoff,
                           before.begin() + relaOffset + 12));
}

// Many kept symbols sharing one long name would need a string table beyond
// 32 bits: the rebuild refuses and leaves the input as it was.
TEST(RebuildSymbolsTest, StringTableBeyondThirtyTwoBitsIsRefused) {
    ElfBuilder b;
    uint32_t text = b.addSection(textSection(kTextAddr, 0x10));
    std::vector<TestSymbol> symbols{func(std::string(0x10000, 'x'), kTextAddr, 4, uint16_t(text))};
    TestSymbol same = symbols[0];
    same.name.clear();
    same.forceName = 1;
    symbols.resize(0x10001, same);
    uint32_t symtab = b.addSymbolTable(symbols);
    b.addRela(text, {{.r_offset = kTextAddr, .symbol = 1, .type = R_PPC_REL24}}, symtab);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadImage(bytes));
    std::vector<uint8_t> before = bytes;
    std::string out;
    beginOutputCapture(&out);
    EXPECT_EQ(rebuildSymbolTable(ctx), -1);
    endOutputCapture();
    EXPECT_EQ(out, "***Error: the rebuilt string table of section 3 \".strtab\" would take 0x100020015 bytes. Return -1.\n");
    EXPECT_EQ(bytes, before);
    EXPECT_EQ(tables().symbolCount, 0x10002u);
    EXPECT_TRUE(ctx.input.ownContents.empty());
}

TEST(RebuildSymbolsTest, SmallerTablesAreWrittenOverTheInputContents) {
    CodeAndData in({func("keep_me", kTextAddr, 4, 1), object("drop_me_with_a_long_name", kDataAddr, 4, 2),
                    object("another_dropped_object", kDataAddr + 4, 4, 2),
                    object("and_one_more_object", kDataAddr + 8, 4, 2)},
                   {});
    ASSERT_TRUE(loadImage(in.bytes));
    const uint8_t* symbolsBefore = sectionContents(ctx, in.symtab);
    const uint8_t* stringsBefore = sectionContents(ctx, in.symtab + 1);
    EXPECT_EQ(rebuildCaptured(), "");
    EXPECT_TRUE(ctx.input.ownContents.empty());
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(tables().symbols), symbolsBefore);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(tables().strings), stringsBefore);
    ASSERT_EQ(tables().symbolCount, 5u);
    EXPECT_EQ(newName(4), "keep_me");
    EXPECT_EQ(sectionContentsCapacity(ctx, in.symtab), 80u);
    EXPECT_EQ(sectionContentsCapacity(ctx, in.symtab + 1), 28u);
}

// A relocation section or a symbol table that claims more entries than its
// contents hold is read only as far as its contents go.
TEST(RebuildSymbolsTest, RelocationCountsAreBoundedByTheContents) {
    CodeAndData in({object("counter", kDataAddr + 8, 4, 2)},
                   {{.r_offset = kTextAddr, .symbol = 1, .type = R_PPC_ADDR16_LO, .r_addend = 1}});
    ASSERT_TRUE(loadImage(in.bytes));
    // Contents of their own, exactly as large as the entries they hold,
    // while the headers and the view claim far more.
    std::vector<uint8_t> entry(sectionContents(ctx, in.relaText), sectionContents(ctx, in.relaText) + 12);
    replaceSectionContents(ctx, in.relaText, entry);
    inputSectionHeader(ctx, in.relaText)->sh_size = 0xFFFFFFF0;
    std::vector<uint8_t> symbols(sectionContents(ctx, in.symtab), sectionContents(ctx, in.symtab) + 32);
    ctx.symbols.view.symbols = reinterpret_cast<Elf32_Sym*>(replaceSectionContents(ctx, in.symtab, symbols));
    inputSectionHeader(ctx, in.symtab)->sh_size = 0xFFFFFFF0;
    ctx.symbols.view.symbolCount = 0x0FFFFFFF;
    EXPECT_EQ(rebuildCaptured(), "");
    EXPECT_EQ(relocation(in.relaText, 0).r_info, (2u << 8) | R_PPC_ADDR16_LO);
    EXPECT_EQ(relocation(in.relaText, 0).r_addend, 9);
}

// The -v2 -v3 dump of a module input linked by the GNU toolchain
// (tests/fixtures/rebuild: sources, linker script and build script beside it).
std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

TEST(RebuildSymbolsGoldenTest, DumpOfALinkedModuleMatchesTheGoldenFile) {
    const std::string dir = std::string(QDLGEN_SOURCE_DIR) + "/tests/fixtures/rebuild/";
    std::vector<uint8_t> bytes = readFile(dir + "app.elf");
    ASSERT_FALSE(bytes.empty());
    std::vector<uint8_t> expectedBytes = readFile(dir + "app.rebuild.txt");
    std::string expected(expectedBytes.begin(), expectedBytes.end());

    // Every section of this input but the empty .bss is in use.
    ASSERT_TRUE(loadImage(bytes));
    ctx.settings.verbose2 = ctx.settings.verbose3 = true;
    std::string out = rebuildCaptured();

    std::vector<std::string> got = lines(out), want = lines(expected);
    for (size_t i = 0; i < std::max(got.size(), want.size()); ++i)
        EXPECT_EQ(i < got.size() ? got[i] : "<missing>", i < want.size() ? want[i] : "<missing>") << "line " << i + 1;
    EXPECT_EQ(out, expected);

    // Every relocation entry as rewritten: "sec <index>: <r_offset> <r_info>
    // <r_addend>". The call to the undefined function names "$UNDEF" (3), the
    // string literal reached through the .rodata section symbol names that
    // symbol's new entry (4), calls of the functions without plain names name
    // "$TEXT" (1) with their offsets.
    std::vector<uint8_t> relocationBytes = readFile(dir + "app.relocations.txt");
    std::string rewritten;
    for (uint32_t i = 1; i < ctx.input.image.sectionCount(); ++i) {
        const Elf32_Shdr* header = inputSectionHeader(ctx, i);
        if (header->sh_type != SHT_RELA) continue;
        for (uint32_t j = 0; j < header->sh_size / 12; ++j) {
            Elf32_Rela rela = relocation(i, j);
            char line[64];
            snprintf(line, sizeof line, "sec %u: %08x %08x %d\n", i, rela.r_offset, rela.r_info, rela.r_addend);
            rewritten += line;
        }
    }
    EXPECT_EQ(rewritten, std::string(relocationBytes.begin(), relocationBytes.end()));
}

}  // namespace
