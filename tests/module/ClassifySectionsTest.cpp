// Classification of sections into regions, the address errors, the moved
// tables, the import placement and the region bases.
#include <gtest/gtest.h>

#include <cstdarg>

#include "module/ClassifySections.h"
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

const char* const kPath = "/w/app.qdl";

struct Classified {
    int result = 0;
    std::string text;
};

// Reads the built input, counts the uses and classifies it.
Classified classify(ElfBuilder& b, std::vector<uint8_t>& bytes, bool verbose = true) {
    bytes = built(b);
    Classified c;
    c.result = -2;
    const ::testing::AssertionResult loaded = loadInput(bytes);
    EXPECT_TRUE(loaded);
    if (!loaded) return c;
    if (findSymbolTable(ctx)) {
        EXPECT_EQ(bindSymbolTable(ctx), 0);
    }
    ctx.settings.verbose = verbose;
    ctx.settings.outputPath = kPath;
    countSectionUses(ctx);
    Captured out;
    c.result = classifySections(ctx);
    c.text = out.take();
    return c;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...) {
    char text[512];
    va_list args;
    va_start(args, f);
    vsnprintf(text, sizeof text, f, args);
    va_end(args);
    return text;
}

const RegionExtent& region(int r) { return ctx.module.regions[r]; }

TEST(ClassifySections, EveryRuleWithItsLineAndIndex) {
    ElfBuilder b;
    b.addSection(progbits(".empty", SHF_ALLOC, 0x10000000, 0));                              // 1
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000100, 0x40));            // 2
    b.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000040, 0x80));                // 3
    b.addSection(progbits(".rodata_hi", SHF_ALLOC, 0xC0001000, 0x20));                       // 4
    b.addSection(progbits(".comment", 0, 0, 0x10));                                          // 5
    TestSection exports = progbits(".fexports", SHF_ALLOC | SHF_EXECINSTR, 0x10000100, 0x10); // 6
    exports.type = SHT_EXPORT_TABLE;
    b.addSection(exports);
    const uint32_t symtab = b.addSymbolTable({symbol("main", STB_GLOBAL, STT_FUNC, 2, 0x02000100)});  // 7, 8
    b.addRela(2, {{.r_offset = 0x02000100, .symbol = 1, .type = R_PPC_ADDR32}}, symtab);              // 9
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes);
    ASSERT_EQ(c.result, 0) << c.text;
    EXPECT_EQ(sectionHeaderAt(ctx, 7)->sh_addr, 0xC0001020u);
    const Elf32_Shdr& symbols = *sectionHeaderAt(ctx, 7);
    const Elf32_Shdr& strings = *sectionHeaderAt(ctx, 8);
    const Elf32_Shdr& names = *sectionHeaderAt(ctx, 10);
    EXPECT_EQ(strings.sh_addr, (0xC0001040u + strings.sh_addralign - 1) & ~(strings.sh_addralign - 1));
    EXPECT_EQ(names.sh_addr, strings.sh_addr + strings.sh_size);
    const std::string expected =
        format("Moved symbolTable table from 0x00000000 to 0x%08X\n", symbols.sh_addr) +
        format("Moved stringTable table from 0x00000000 to 0x%08X\n", strings.sh_addr) +
        format("Moved stringTable table from 0x00000000 to 0x%08X\n", names.sh_addr) +
        "Section 1: empty \".empty\"\n"
        "Section 2: text \".text\"\n"
        "Section 3: data \".data\"\n"
        "Section 4: load \".rodata_hi\"\n"
        "Section 5: OMIT \".comment\"\n"
        "Section 6: data \".fexports\"\n"
        "Section 7: load \".symtab\"\n"
        "Section 8: load \".strtab\"\n"
        "Section 9: temp \".rela.text\"\n"
        "Section 10: load \".shstrtab\"\n";
    EXPECT_EQ(c.text, expected);

    const ModuleState& m = ctx.module;
    EXPECT_EQ(m.indexMap.keptCount, 9u);
    EXPECT_EQ(m.indexMap.oldToNew, (std::vector<int32_t>{0, -1, 1, 2, 3, -1, 4, 5, 6, 7, 8}));
    EXPECT_EQ(std::vector<uint32_t>(m.indexMap.newToOld.begin(), m.indexMap.newToOld.begin() + 9),
              (std::vector<uint32_t>{0, 2, 3, 4, 6, 7, 8, 9, 10}));
    EXPECT_EQ(m.sectionClasses[5], SectionClass::omit);
    EXPECT_EQ(m.sectionClasses[9], SectionClass::temp);
    static const Elf32_Shdr zero{};
    EXPECT_EQ(std::memcmp(sectionHeaderAt(ctx, 5), &zero, sizeof zero), 0);
    EXPECT_EQ(sectionHeaderAt(ctx, 1)->sh_flags, uint32_t(SHF_ALLOC));  // empty: left as it was

    EXPECT_EQ(region(TEXT).base, 0x02000000u);
    EXPECT_EQ(region(TEXT).end, 0x02000140u);
    EXPECT_EQ(region(DATA).base, 0x10000000u);
    EXPECT_EQ(region(DATA).end, 0x10000110u);
    EXPECT_EQ(region(LOAD).base, 0xC0001000u);
    EXPECT_EQ(region(LOAD).end, sectionHeaderAt(ctx, 10)->sh_addr + sectionHeaderAt(ctx, 10)->sh_size);
    EXPECT_EQ(region(TEMP).base, 0u);
    EXPECT_EQ(region(TEMP).end, 64u);  // 12 bytes rounded up
}

TEST(ClassifySections, WithoutVerboseNothingButErrorsIsPrinted) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    b.addSymbolTable({});
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes, false);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");
}

TEST(ClassifySections, TextOutsideTheCodeRangeStopsClassification) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x10000000, 0x40));
    b.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000000, 0x40));
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes);
    EXPECT_EQ(c.result, -1);
    EXPECT_TRUE(contains(c.text,
                         "Section 1: text \".text\"\n*** Error: \"/w/app.qdl\", Section 1 \".text\" is text but its "
                         "(QDL adjusted) address (0x10000000) is outside the allowed code range (from 0x02000000 to "
                         "(0x0FFFFFFF)).\n"))
        << c.text;
    EXPECT_FALSE(contains(c.text, "Section 2:"));
}

TEST(ClassifySections, DataBelowTheDataRangeAndInTheCodeRange) {
    ElfBuilder b;
    b.addSection(progbits(".rodata", SHF_ALLOC, 0x02000000, 0x40));
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes, false);
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text,
              "*** Error: \"/w/app.qdl\", Section 1 \".rodata\" is data but its (QDL adjusted) address (0x02000000) is "
              "outside the allowed data range (from 0x10000000 to (0xBFFFFFFF)). Check the .ld and .map file for "
              "potential overflow.\n");
}

TEST(ClassifySections, ExportWithExecuteBelowTheDataRangeIsADataError) {
    ElfBuilder b;
    TestSection exports = progbits(".fexports", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x10);
    exports.type = SHT_EXPORT_TABLE;
    b.addSection(exports);
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes);
    EXPECT_EQ(c.result, -1);
    EXPECT_TRUE(contains(c.text, "Section 1: data \".fexports\"\n*** Error: \"/w/app.qdl\", Section 1 \".fexports\" "
                                 "is data but"));
}

TEST(ClassifySections, WritableLoaderSectionIsReportedTwice) {
    ElfBuilder b;
    b.addSection(progbits(".hi", SHF_ALLOC | SHF_WRITE, 0xC0000000, 0x40));
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes, false);
    const std::string message =
        "*** Error: \"/w/app.qdl\", Section 1 \".hi\" is writable but its (QDL adjusted) address (0xC0000000) is in "
        "the loader range (from 0xC0000000 to (0xFFFFFFFF)).\n";
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, message + message);
}

TEST(ClassifySections, ThreeSeparateTablesGiveThreeMovedLines) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    const uint32_t symtab = b.addSymbolTable({symbol("a", STB_GLOBAL, STT_FUNC, 1, 0x02000000)});
    b.section(symtab).addralign = 12;   // not a power of two: placed with alignment 1
    b.section(symtab + 1).addralign = 0;
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes);
    ASSERT_EQ(c.result, 0);
    const Elf32_Shdr& s = *sectionHeaderAt(ctx, symtab);
    const Elf32_Shdr& strings = *sectionHeaderAt(ctx, symtab + 1);
    const Elf32_Shdr& names = *sectionHeaderAt(ctx, ctx.input.image.header().e_shstrndx);
    EXPECT_EQ(s.sh_addr, 0xC0000000u);  // nothing else lies in the loader range
    EXPECT_EQ(strings.sh_addr, 0xC0000000u + s.sh_size);
    EXPECT_EQ(names.sh_addr, strings.sh_addr + strings.sh_size);
    EXPECT_TRUE(s.sh_flags & SHF_ALLOC);
    EXPECT_TRUE(names.sh_flags & SHF_ALLOC);
    EXPECT_TRUE(contains(c.text, format("Moved symbolTable table from 0x00000000 to 0xC0000000\n"
                                        "Moved stringTable table from 0x00000000 to 0x%08X\n"
                                        "Moved stringTable table from 0x00000000 to 0x%08X\n",
                                        strings.sh_addr, names.sh_addr)))
        << c.text;
}

TEST(ClassifySections, SharedStringAndNameTableMovesOnce) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    const uint32_t symtab = b.addSymbolTable({symbol("a", STB_GLOBAL, STT_FUNC, 1, 0x02000000)});
    std::vector<uint8_t> bytes = built(b);
    b.section(symtab).link = b.layout().shstrndx;  // the names table holds the symbol names too
    const Classified c = classify(b, bytes);
    ASSERT_EQ(c.result, 0) << c.text;
    const size_t first = c.text.find("Moved symbolTable");
    const size_t second = c.text.find("Moved stringTable");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(c.text.find("Moved", second + 1), std::string::npos);
}

TEST(ClassifySections, TablesFollowTheLoaderRangeEndWithTheirOwnAlignment) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    b.addSection(progbits(".hi", SHF_ALLOC, 0xC0000000, 3));  // the loader range ends at 0xC0000003
    const uint32_t symtab = b.addSymbolTable({symbol("a", STB_GLOBAL, STT_FUNC, 1, 0x02000000)});
    b.section(symtab).addralign = 12;     // not a power of two: 1
    b.section(symtab + 1).addralign = 0;  // 0: 1
    std::vector<uint8_t> bytes = built(b);
    const uint32_t names = b.layout().shstrndx;
    b.afterBuild = [names](ElfBuilder& builder, std::vector<uint8_t>& file) {
        // The name table asks for 16: it is rounded up behind the string table.
        builder.patch32(file, builder.layout().sectionHeaderField(names, offsetof(Elf32_Shdr, sh_addralign)), 16);
    };
    const Classified c = classify(b, bytes);
    ASSERT_EQ(c.result, 0) << c.text;
    const Elf32_Shdr& s = *sectionHeaderAt(ctx, symtab);
    const Elf32_Shdr& strings = *sectionHeaderAt(ctx, symtab + 1);
    EXPECT_EQ(s.sh_addr, 0xC0000003u);
    EXPECT_EQ(strings.sh_addr, 0xC0000003u + s.sh_size);
    const uint32_t namesAddress = (strings.sh_addr + strings.sh_size + 15) & ~15u;
    EXPECT_EQ(sectionHeaderAt(ctx, names)->sh_addr, namesAddress);
    EXPECT_EQ(c.text.substr(0, c.text.find("Section 1:")),
              format("Moved symbolTable table from 0x00000000 to 0xC0000003\n"
                     "Moved stringTable table from 0x00000000 to 0x%08X\n"
                     "Moved stringTable table from 0x00000000 to 0x%08X\n",
                     strings.sh_addr, namesAddress));
    EXPECT_EQ(region(LOAD).base, 0xC0000000u);
    EXPECT_EQ(region(LOAD).end, namesAddress + sectionHeaderAt(ctx, names)->sh_size);
    EXPECT_EQ(region(LOAD).align, 16u);
}

TEST(ClassifySections, OnlyTheUnallocatedTableMoves) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    const uint32_t symtab = b.addSymbolTable({symbol("a", STB_GLOBAL, STT_FUNC, 1, 0x02000000)});
    b.section(symtab).flags = SHF_ALLOC;
    b.section(symtab).addr = 0xC0000100;
    std::vector<uint8_t> bytes = built(b);
    b.section(symtab).link = b.layout().shstrndx;  // one string table for symbols and section names
    const Classified c = classify(b, bytes);
    ASSERT_EQ(c.result, 0) << c.text;
    const uint32_t end = 0xC0000100u + sectionHeaderAt(ctx, symtab)->sh_size;
    EXPECT_EQ(c.text.substr(0, c.text.find("Section 1:")),
              format("Moved stringTable table from 0x00000000 to 0x%08X\n", end));
}

TEST(ClassifySections, AllocatedSymbolTableStaysWhereItIs) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    const uint32_t symtab = b.addSymbolTable({});
    b.section(symtab).flags = SHF_ALLOC;
    b.section(symtab).addr = 0xC0000100;
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes);
    ASSERT_EQ(c.result, 0);
    EXPECT_FALSE(contains(c.text, "Moved symbolTable"));
    EXPECT_EQ(sectionHeaderAt(ctx, symtab)->sh_addr, 0xC0000100u);
    // The string table goes behind it.
    EXPECT_GE(sectionHeaderAt(ctx, symtab + 1)->sh_addr, 0xC0000100u + sectionHeaderAt(ctx, symtab)->sh_size);
}

TEST(ClassifySections, ImportTablesGoOnBoundariesBehindTheLoadSections) {
    ElfBuilder b;
    b.withSectionNames = false;
    auto importTable = [](const std::string& name) {
        std::vector<uint8_t> data(8 + name.size() + 1, 0xEE);
        std::copy(name.begin(), name.end(), data.begin() + 8);
        data.back() = 0;
        return TestSection{.name = ".fimport_" + name, .type = SHT_IMPORT_TABLE,
                           .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000000, .data = data, .addralign = 1};
    };
    b.addSection(importTable("one"));                                      // 1
    b.addSection(progbits(".hi", SHF_ALLOC, 0xC0000004, 0x21));            // 2
    b.addSection(importTable("second"));                                   // 3
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    const uint32_t symtab = b.addSymbolTable({});
    b.section(symtab).flags = SHF_ALLOC;  // keep the tables out of the way
    b.section(symtab).addr = 0xC0000004;
    b.section(symtab + 1).flags = SHF_ALLOC;
    b.section(symtab + 1).addr = 0xC0000004;
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes);
    ASSERT_EQ(c.result, 0) << c.text;
    EXPECT_TRUE(contains(c.text, "Section 1: imports \"\"\n"));
    const Elf32_Shdr& one = *sectionHeaderAt(ctx, 1);
    const Elf32_Shdr& second = *sectionHeaderAt(ctx, 3);
    EXPECT_EQ(one.sh_addr, 0xC0000040u);
    EXPECT_EQ(second.sh_addr, (0xC0000040u + one.sh_size + 63) & ~63u);
    EXPECT_EQ(one.sh_flags & SHF_WRITE, 0u);
    EXPECT_EQ(second.sh_flags & SHF_WRITE, 0u);
    EXPECT_EQ(ctx.module.indexMap.importSectionCount, 2u);
    EXPECT_EQ(region(LOAD).end, second.sh_addr + second.sh_size);
    EXPECT_EQ(region(LOAD).base, 0xC0000004u);  // imports do not lower it
}

TEST(ClassifySections, ImportsWithoutLoadSectionsStartTheLoaderRange) {
    ElfBuilder b;
    b.withSectionNames = false;
    std::vector<uint8_t> data(8, 0);
    data.push_back('m');
    data.push_back(0);
    b.addSection({.name = ".fimport_m", .type = SHT_IMPORT_TABLE, .flags = SHF_ALLOC, .data = data});
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes, false);
    ASSERT_EQ(c.result, 0) << c.text;
    EXPECT_EQ(sectionHeaderAt(ctx, 1)->sh_addr, 0xC0000000u);
    EXPECT_EQ(region(LOAD).base, 0xC0000000u);
    EXPECT_EQ(region(LOAD).align, 64u);
}

TEST(ClassifySections, UnterminatedImportTableEndsClassification) {
    ElfBuilder b;
    b.withSectionNames = false;
    b.addSection({.name = ".fimport_m", .type = SHT_IMPORT_TABLE, .flags = SHF_ALLOC,
                  .data = std::vector<uint8_t>(12, 'x')});
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes, false);
    EXPECT_EQ(c.result, -1);
    EXPECT_TRUE(contains(c.text, "***Error:"));
}

TEST(ClassifySections, LoadBaseOffItsAlignmentIsRealigned) {
    ElfBuilder b;
    b.addSection(progbits(".hi", SHF_ALLOC, 0xC0000010, 0x20));
    b.section(1).addralign = 64;
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes, false);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "WARN: Realigning region 2 base.\n");
    EXPECT_EQ(region(LOAD).base, 0xC0000000u);
    EXPECT_EQ(region(LOAD).align, 64u);
}

TEST(ClassifySections, EmptyRegionsKeepTheirDefaults) {
    ElfBuilder b;
    b.withSectionNames = false;
    b.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000000, 0x40));
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes, false);
    ASSERT_EQ(c.result, 0) << c.text;
    EXPECT_EQ(region(TEXT).base, 0x02000000u);
    EXPECT_EQ(region(TEXT).end, 0x02000000u);
    EXPECT_EQ(region(TEMP).base, 0u);
    EXPECT_EQ(region(TEMP).end, 0u);
    EXPECT_EQ(region(LOAD).base, 0u);
    EXPECT_EQ(region(LOAD).end, 0u);
}

TEST(ClassifySections, WithoutNameTableErrorsNameNullAndLinesNameNothing) {
    ElfBuilder b;
    b.withSectionNames = false;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x01000000, 0x40));
    std::vector<uint8_t> bytes;
    const Classified c = classify(b, bytes);
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text,
              "Section 1: text \"\"\n*** Error: \"/w/app.qdl\", Section 1 \"<NULL>\" is text but its (QDL adjusted) "
              "address (0x01000000) is outside the allowed code range (from 0x02000000 to (0x0FFFFFFF)).\n");
}

}  // namespace
