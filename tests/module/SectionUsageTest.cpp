// Which sections a module needs: use counts, unused sections and their
// symbols, ".export" and the compacted section-name table.
#include <gtest/gtest.h>

#include "module/ModuleBuildSupport.h"
#include "module/SectionUsage.h"
#include "symbols/SymbolAccess.h"
#include "symbols/SymbolTestInput.h"
#include "support/TestContext.h"

using namespace symtest;

namespace {

// The reader refuses files shorter than 260 bytes: pad the small inputs.
std::vector<uint8_t> built(ElfBuilder& b) {
    if (b.minimumSize < 512) b.minimumSize = 512;
    return b.build();
}

// 1 .text (code), 2 .debug_info (not allocated), 3 .symtab, 4 .strtab,
// 5 .rela.text, 6 .rela.debug_info, 7 .comment, 8 .shstrtab.
struct UsageInput {
    ElfBuilder builder;
    std::vector<uint8_t> bytes;
    uint32_t text = 0, debug = 0, relaText = 0, relaDebug = 0, symtab = 0, comment = 0;
    UsageInput() {
        text = builder.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
        debug = builder.addSection(progbits(".debug_info", 0, 0, 0x40));
        symtab = builder.addSymbolTable({symbol("main", STB_GLOBAL, STT_FUNC, uint16_t(text), 0x02000000),
                                         symbol("dbg", STB_GLOBAL, STT_OBJECT, uint16_t(debug), 0),
                                         symbol("dbg2", STB_LOCAL, STT_OBJECT, uint16_t(debug), 8)});
        relaText = builder.addRela(text, {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_ADDR32}}, symtab);
        relaDebug = builder.addRela(debug, {{.r_offset = 0, .symbol = 1, .type = R_PPC_ADDR32}}, symtab);
        comment = builder.addSection(progbits(".comment", 0, 0, 0x10));
    }
    void load() {
        bytes = built(builder);
        ASSERT_TRUE(loadInput(bytes));
        ASSERT_EQ(bindSymbolTable(ctx), 0);
    }
};

std::string namesTable() {
    const uint16_t index = ctx.input.image.header().e_shstrndx;
    return bytesAt(sectionContents(ctx, index), sectionHeaderAt(ctx, index)->sh_size);
}

TEST(SectionUsage, CountsFollowRelocationsOfAllocatedSections) {
    UsageInput input;
    input.load();
    countSectionUses(ctx);
    const std::vector<uint32_t>& uses = ctx.symbols.sectionUses;
    ASSERT_EQ(uses.size(), ctx.input.image.sectionCount());
    EXPECT_EQ(uses[input.text], 2u);       // allocated, and the target of main in .rela.text
    EXPECT_EQ(uses[input.relaText], 1u);
    EXPECT_EQ(uses[input.symtab], 1u);
    EXPECT_EQ(uses[input.symtab + 1], 1u);  // its string table
    EXPECT_EQ(uses[input.debug], 0u);
    EXPECT_EQ(uses[input.relaDebug], 0u);   // patches a section that is not allocated
    EXPECT_EQ(uses[input.comment], 0u);
    EXPECT_EQ(uses[ctx.input.image.header().e_shstrndx], 1u);
}

TEST(SectionUsage, NoneRelocationsAndTheNullSymbolCountNothing) {
    ElfBuilder b;
    const uint32_t text = b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    const uint32_t note = b.addSection(progbits(".note", 0, 0, 0x10));
    const uint32_t symtab = b.addSymbolTable({symbol("n", STB_GLOBAL, STT_OBJECT, uint16_t(note))});
    b.addRela(text,
              {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_NONE},
               {.r_offset = 0x02000004, .symbol = 0, .type = R_PPC_ADDR32}},
              symtab);
    std::vector<uint8_t> bytes = built(b);
    ASSERT_TRUE(loadInput(bytes));
    ASSERT_EQ(bindSymbolTable(ctx), 0);
    countSectionUses(ctx);
    const std::vector<uint32_t>& uses = ctx.symbols.sectionUses;
    EXPECT_EQ(uses[note], 0u);
    EXPECT_EQ(uses[0], 0u);
    EXPECT_EQ(uses[text], 1u);
    EXPECT_EQ(uses[symtab], 1u);
    EXPECT_EQ(uses[symtab + 1], 1u);
}

TEST(SectionUsage, UnusedSectionsAreReportedAndLoseTheirSymbols) {
    UsageInput input;
    input.load();
    ctx.settings.verbose = true;
    Captured out;
    applySectionUsage(ctx);
    const std::string text = out.take();
    char expected[512];
    snprintf(expected, sizeof expected,
             "Section %u unused \".debug_info\".\n  Unused Symbol \"dbg\"\n  Unused Symbol \"dbg2\"\n"
             "Section %u unused \".rela.debug_info\".\nSection %u unused \".comment\".\n",
             input.debug, input.relaDebug, input.comment);
    EXPECT_EQ(text, expected);
    static const Elf32_Sym zero{};
    EXPECT_EQ(std::memcmp(&symbolAt(2), &zero, sizeof zero), 0);
    EXPECT_EQ(std::memcmp(&symbolAt(3), &zero, sizeof zero), 0);
    EXPECT_EQ(symbolAt(1).st_shndx, input.text);
}

TEST(SectionUsage, QuietWithoutVerbose) {
    UsageInput input;
    input.load();
    Captured out;
    applySectionUsage(ctx);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(symbolAt(2).st_name, 0u);  // wiped all the same
}

TEST(SectionUsage, CompactedNameTableHoldsExactlyTheUsedNames) {
    UsageInput input;
    input.load();
    applySectionUsage(ctx);
    const std::string names = namesTable();
    EXPECT_EQ(names, std::string("\0.text\0.symtab\0.strtab\0.rela.text\0.shstrtab\0", 44));
    EXPECT_EQ(sectionNameAt(ctx, input.text), ".text");
    EXPECT_EQ(sectionNameAt(ctx, input.relaText), ".rela.text");
    EXPECT_EQ(sectionNameAt(ctx, ctx.input.image.header().e_shstrndx), ".shstrtab");
}

TEST(SectionUsage, ExportLosesAllocAndIsUnused) {
    UsageInput input;
    const uint32_t exportSection = input.builder.addSection(progbits(".export", SHF_ALLOC, 0x10000000, 8));
    input.load();
    ctx.settings.verbose = true;
    Captured out;
    applySectionUsage(ctx);
    EXPECT_EQ(sectionHeaderAt(ctx, exportSection)->sh_flags & SHF_ALLOC, 0u);
    EXPECT_EQ(ctx.symbols.sectionUses[exportSection], 0u);
    EXPECT_NE(out.take().find("unused \".export\""), std::string::npos);
}

TEST(SectionUsage, ExportReferencedByAllocatedRelocationsStaysUsed) {
    ElfBuilder b;
    const uint32_t text = b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    const uint32_t exportSection = b.addSection(progbits(".export", SHF_ALLOC, 0x10000000, 8));
    const uint32_t symtab = b.addSymbolTable({symbol("x", STB_GLOBAL, STT_OBJECT, uint16_t(exportSection), 0x10000000)});
    b.addRela(text, {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_ADDR32}}, symtab);
    std::vector<uint8_t> bytes = built(b);
    ASSERT_TRUE(loadInput(bytes));
    ASSERT_EQ(bindSymbolTable(ctx), 0);
    applySectionUsage(ctx);
    EXPECT_EQ(sectionHeaderAt(ctx, exportSection)->sh_flags & SHF_ALLOC, 0u);
    EXPECT_EQ(ctx.symbols.sectionUses[exportSection], 1u);
    EXPECT_NE(symbolAt(1).st_name, 0u);
}

TEST(SectionUsage, TableThatWouldNotShrinkIsLeftUnchanged) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    b.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000000, 0x40));
    std::vector<uint8_t> bytes = built(b);
    ASSERT_TRUE(loadInput(bytes));
    const uint16_t index = ctx.input.image.header().e_shstrndx;
    const std::string before = namesTable();
    const uint32_t nameOfData = sectionHeaderAt(ctx, 2)->sh_name;
    applySectionUsage(ctx);
    EXPECT_EQ(namesTable(), before);
    EXPECT_EQ(sectionHeaderAt(ctx, index)->sh_size, before.size());
    EXPECT_EQ(sectionHeaderAt(ctx, 2)->sh_name, nameOfData);
}

TEST(SectionUsage, WithoutNameTableEveryNameIsZero) {
    ElfBuilder b;
    b.withSectionNames = false;
    TestSection text = progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40);
    text.forceName = 5;
    b.addSection(text);
    TestSection debug = progbits(".debug", 0, 0, 0x40);
    debug.forceName = 9;
    b.addSection(debug);
    std::vector<uint8_t> bytes = built(b);
    ASSERT_TRUE(loadInput(bytes));
    ctx.settings.verbose = true;
    Captured out;
    applySectionUsage(ctx);
    EXPECT_EQ(sectionHeaderAt(ctx, 1)->sh_name, 0u);
    EXPECT_EQ(sectionHeaderAt(ctx, 2)->sh_name, 0u);
    EXPECT_EQ(out.take(), "Section 2 unused \"\".\n");
}

}  // namespace

TEST(SectionUsage, SymbolNamesBehindACompactedSharedTableStillRead) {
    // The symbol table's string table is also the section-name table, the
    // symbol names stored behind the section names. Compaction shrinks the
    // table to the section names; the symbol names behind it are still in
    // the input and keep their functions in the rebuilt table.
    const std::string sectionNames = std::string("\0.text\0.data\0.rela.text\0.symtab\0.names\0", 39);
    const std::vector<std::string> functions{"function_number_one", "function_number_two", "function_number_three"};
    std::string names = sectionNames;
    std::vector<uint32_t> functionNames;
    for (const std::string& name : functions) {
        functionNames.push_back(uint32_t(names.size()));
        names += name + '\0';
    }
    ElfBuilder b;
    b.withSectionNames = false;
    b.minimumSize = 512;
    const uint32_t text = b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x18));
    const uint32_t data = b.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000000, 0x10));
    const uint32_t relaText = b.addRela(text,
                                        {{.r_offset = 0x02000000, .symbol = 2, .type = R_PPC_REL24},
                                         {.r_offset = 0x02000008, .symbol = 3, .type = R_PPC_REL24}},
                                        0);
    TestSection symtab{.name = ".symtab", .type = SHT_SYMTAB, .link = 5, .info = 1, .addralign = 4, .entsize = 16};
    symtab.generated = TestSection::Generated::Symbols;
    for (size_t k = 0; k < functions.size(); ++k)
        symtab.symbols.push_back({.value = uint32_t(0x02000000 + 8 * k), .size = 8,
                                  .info = symbolInfo(STB_GLOBAL, STT_FUNC), .shndx = uint16_t(text),
                                  .forceName = functionNames[k]});
    const uint32_t symbols = b.addSection(symtab);
    const uint32_t table = b.addSection({.type = SHT_STRTAB, .data = std::vector<uint8_t>(names.begin(), names.end())});
    ASSERT_EQ(table, 5u);
    b.section(relaText).link = symbols;
    const uint32_t nameOffsets[] = {1, 7, 13, 24, 32};  // .text .data .rela.text .symtab .names
    const uint32_t order[] = {text, data, relaText, symbols, table};
    for (int k = 0; k < 5; ++k) b.section(order[k]).forceName = nameOffsets[k];
    b.force.e_shstrndx = uint16_t(table);

    const BuildRun run = buildInProcess(b.build(), {"-v2"});
    ASSERT_EQ(run.result, 0) << run.out;
    EXPECT_TRUE(contains(run.out, "NEW SYMBOL TABLE 7 symbols symtab size = 112 strtab size = 82\n")) << run.out;
    CheckedModule module;
    const std::vector<std::string> problems = checkModule(run.module, module);
    ASSERT_TRUE(problems.empty()) << problems.front();
    const std::vector<CheckedSymbol> kept = module.symbols();
    ASSERT_EQ(kept.size(), 7u);
    for (size_t k = 0; k < functions.size(); ++k) EXPECT_EQ(kept[4 + k].name, functions[k]);
}
