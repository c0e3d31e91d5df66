#include <gtest/gtest.h>

#include "SymbolTestInput.h"
#include "symbols/SymbolAccess.h"
#include "support/TestContext.h"

using namespace symtest;

namespace {

// 1 .text, 2 .data, 3 .comment (not allocated), 4 .symtab, 5 .strtab, 6 .shstrtab.
enum : uint16_t { Text = 1, Data, Comment, Symtab, Strtab, Names };

struct AccessInput {
    ElfBuilder builder;
    std::vector<uint8_t> bytes;
    explicit AccessInput(bool withNames = true) {
        builder.withSectionNames = withNames;
        builder.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x20));
        builder.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000000, 0x20));
        builder.addSection(progbits(".comment", 0, 0, 0x10));
        builder.addSymbolTable({symbol("alpha", STB_GLOBAL, STT_FUNC, Text, 0x02000000, 4),
                                symbol("beta", STB_LOCAL, STT_NOTYPE, Comment, 0),
                                symbol("gamma", STB_GLOBAL, STT_OBJECT, Data, 0x10000000, 4),
                                symbol("delta", STB_WEAK, STT_NOTYPE, Comment, 8)});
        bytes = builder.build();
    }
};

TEST(SymbolAccessTest, BindingFillsTheView) {
    AccessInput input;
    ASSERT_TRUE(loadInput(input.bytes));
    ASSERT_EQ(bindSymbolTable(ctx), 0);
    const SymbolTableView& view = ctx.symbols.view;
    EXPECT_EQ(view.symbolTableIndex, uint32_t(Symtab));
    EXPECT_EQ(view.stringTableIndex, uint32_t(Strtab));
    EXPECT_EQ(view.symbolCount, 5u);
    EXPECT_EQ(view.stringSize, 24u);  // NUL alpha beta gamma delta
    EXPECT_EQ(view.symbols, reinterpret_cast<Elf32_Sym*>(sectionContents(ctx, Symtab)));
    EXPECT_EQ(symbolName(ctx, symbolAt(3)), "gamma");
    EXPECT_EQ(symbolName(ctx, symbolAt(0)), "");
}

TEST(SymbolAccessTest, InputsWithoutUsableSymbolTablesAreRefused) {
    ElfBuilder bare;
    bare.minimumSize = 512;
    bare.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x20));
    std::vector<uint8_t> bytes = bare.build();
    ASSERT_TRUE(loadInput(bytes));
    ctx.settings.inputPath = "/w/app.elf";
    {
        Captured out;
        EXPECT_EQ(findSymbolTable(ctx), nullptr);
        EXPECT_EQ(bindSymbolTable(ctx), -1);
        EXPECT_EQ(out.take(), "***Error: ELF file \"/w/app.elf\" has no symbol table. Return -1.\n");
    }

    AccessInput unlinked;
    unlinked.builder.section(Symtab).link = 0;
    unlinked.bytes = unlinked.builder.build();
    ASSERT_TRUE(loadInput(unlinked.bytes));
    ctx.settings.inputPath = "/w/app.elf";
    Captured out;
    EXPECT_EQ(bindSymbolTable(ctx), -1);
    EXPECT_EQ(out.take(),
              "***Error: The symbol table (section 4) of ELF file \"/w/app.elf\" names no string table. Return -1.\n");
}

TEST(SymbolAccessTest, TheFirstSymbolTableIsTheOne) {
    AccessInput input;
    input.builder.addSymbolTable({symbol("other", STB_GLOBAL, STT_NOTYPE, 0)}, true, ".symtab2", ".strtab2");
    input.bytes = input.builder.build();
    ASSERT_TRUE(loadInput(input.bytes));
    EXPECT_EQ(findSymbolTable(ctx), sectionHeaderAt(ctx, Symtab));
    EXPECT_EQ(ctx.symbols.view.symbolTableIndex, uint32_t(Symtab));
}

TEST(SymbolAccessTest, SymbolNamesStayInsideTheStringTable) {
    AccessInput input;
    ASSERT_TRUE(loadInput(input.bytes));
    ASSERT_EQ(bindSymbolTable(ctx), 0);
    SymbolTableView& view = ctx.symbols.view;
    Elf32_Sym probe{};
    Captured out;
    probe.st_name = 24;  // equal to the size: accepted, the empty name
    EXPECT_EQ(symbolName(ctx, probe), "");
    EXPECT_EQ(out.text, "");
    probe.st_name = 25;
    EXPECT_EQ(symbolName(ctx, probe), "");
    EXPECT_EQ(out.text, "pSym->st_name is out of range (25)\n");

    // A name that runs into the end of the table ends there.
    view.stringSize = 9;  // "\0alpha\0be"
    probe.st_name = 7;
    EXPECT_EQ(symbolName(ctx, probe), "be");
    EXPECT_EQ(out.take(), "pSym->st_name is out of range (25)\n");

    view.stringTableHeader = nullptr;
    EXPECT_EQ(symbolName(ctx, probe), "<NULL>");
}

TEST(SymbolAccessTest, SectionLookups) {
    AccessInput input;
    ASSERT_TRUE(loadInput(input.bytes));
    EXPECT_TRUE(hasSectionNameTable(ctx));
    EXPECT_EQ(sectionName(ctx, *sectionHeaderAt(ctx, Data)), ".data");
    EXPECT_EQ(sectionNameAt(ctx, Comment), ".comment");
    EXPECT_EQ(sectionNameAt(ctx, 0xFF01), "");
    EXPECT_EQ(sectionHeaderAt(ctx, 0xFF01), nullptr);
    EXPECT_EQ(sectionHeaderAt(ctx, ctx.input.image.sectionCount()), nullptr);
    EXPECT_EQ(findSectionByName(ctx, ".data"), uint32_t(Data));
    EXPECT_EQ(findSectionByName(ctx, ".shstrtab"), uint32_t(Names));
    EXPECT_EQ(findSectionByName(ctx, ".dat"), 0u);
    EXPECT_EQ(findSectionByName(ctx, ".DATA"), 0u);
    EXPECT_EQ(findSectionByName(ctx, ""), 0u);

    AccessInput unnamed(false);
    ASSERT_TRUE(loadInput(unnamed.bytes));
    EXPECT_FALSE(hasSectionNameTable(ctx));
    EXPECT_EQ(sectionName(ctx, *sectionHeaderAt(ctx, Data)), "<NULL>");
    EXPECT_EQ(sectionNameAt(ctx, Data), "");
    EXPECT_EQ(findSectionByName(ctx, ".data"), 0u);
}

TEST(SymbolAccessTest, TheSectionNameTableKeepsTheBytesItFirstHad) {
    AccessInput input;
    ASSERT_TRUE(loadInput(input.bytes));
    EXPECT_EQ(sectionNameAt(ctx, Comment), ".comment");
    // The table shrinks in place: a section that still points behind the
    // new end reads what stands there.
    sectionHeaderAt(ctx, Names)->sh_size = 8;
    EXPECT_EQ(sectionNameAt(ctx, Comment), ".comment");
}

TEST(SymbolAccessTest, RemovingTheSymbolsOfASection) {
    AccessInput input;
    ASSERT_TRUE(loadInput(input.bytes));
    ASSERT_EQ(bindSymbolTable(ctx), 0);
    const std::string strings = bytesAt(sectionContents(ctx, Strtab), 24);
    ctx.settings.verbose = true;
    Captured out;
    removeSymbolsOfSection(ctx, Comment);
    EXPECT_EQ(out.take(), "  Unused Symbol \"beta\"\n  Unused Symbol \"delta\"\n");
    const Elf32_Sym zero{};
    EXPECT_EQ(std::memcmp(&symbolAt(2), &zero, 16), 0);
    EXPECT_EQ(std::memcmp(&symbolAt(4), &zero, 16), 0);
    EXPECT_EQ(symbolName(ctx, symbolAt(3)), "gamma");
    EXPECT_EQ(symbolAt(1).st_shndx, Text);
    EXPECT_EQ(bytesAt(sectionContents(ctx, Strtab), 24), strings);  // the names stay

    ctx.settings.verbose = false;
    Captured quiet;
    removeSymbolsOfSection(ctx, Data);
    EXPECT_EQ(quiet.take(), "");
    EXPECT_EQ(std::memcmp(&symbolAt(3), &zero, 16), 0);
}

}  // namespace
