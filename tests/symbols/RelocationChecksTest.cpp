#include <gtest/gtest.h>

#include "SymbolTestInput.h"
#include "symbols/RelocationChecks.h"
#include "symbols/SymbolAccess.h"

using namespace symtest;

namespace {

constexpr uint32_t kText = 0x02000000;
constexpr uint32_t kData = 0x10000000;
constexpr uint32_t kFexports = 0xC0000000;
constexpr uint32_t kDexports = 0xC0000100;

// Sections 1 .text, 2 .data, 3 .debug (not allocated), 4 .fimport_lib
// (executable import table), 5 .fexports, 6 .dexports, 7 ".exports" (an
// export table with a wrong name), 8 .symtab, 9 .strtab, then the
// relocation section under test (10).
enum : uint32_t { Text = 1, Data, Debug, Imports, Fexports, Dexports, BadExports, Symtab, Strtab, Rela };
// Symbols.
enum : uint32_t { TextFunc = 1, DataObj, DebugGlobal, DebugWeak, Undefined, Absolute, TlsVar };

struct RelocationInput {
    ElfBuilder builder;
    std::vector<uint8_t> bytes;

    RelocationInput(uint32_t target, std::vector<TestRela> relas) {
        ElfBuilder& b = builder;
        b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, kText, 0x40));
        b.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, kData, 0x40));
        b.addSection(progbits(".debug", 0, 0, 0x20));
        b.addSection({.name = ".fimport_lib", .type = SHT_IMPORT_TABLE, .flags = SHF_ALLOC | SHF_EXECINSTR,
                      .data = {0, 0, 0, 0, 0, 0, 0, 0, 'l', 'i', 'b', 0}, .addralign = 4});
        // Entries at 8 and 16, names from 24; the second word's bit 31 marks a
        // thread-local export.
        b.addSection({.name = ".fexports", .type = SHT_EXPORT_TABLE, .flags = SHF_ALLOC | SHF_EXECINSTR,
                      .addr = kFexports, .data = bigEndianWords({2, 0, 0, 24, 0, 28, 0x66756e00, 0x67000000}),
                      .addralign = 4});
        b.addSection({.name = ".dexports", .type = SHT_EXPORT_TABLE, .flags = SHF_ALLOC, .addr = kDexports,
                      .data = bigEndianWords({2, 0, 0, 0x80000018, 0, 0x1C, 0x74767200, 0x6F626A00}),
                      .addralign = 4});
        b.addSection({.name = ".exports", .type = SHT_EXPORT_TABLE, .flags = SHF_ALLOC, .addr = 0xC0000200,
                      .data = bigEndianWords({0, 0, 0, 0}), .addralign = 4});
        b.addSymbolTable({
            symbol("textFunc", STB_GLOBAL, STT_FUNC, Text, kText + 0x10, 4),
            symbol("dataObj", STB_GLOBAL, STT_OBJECT, Data, kData + 4, 4),
            symbol("debugGlobal", STB_GLOBAL, STT_NOTYPE, Debug),
            symbol("debugWeak", STB_WEAK, STT_NOTYPE, Debug),
            symbol("undefinedFunc", STB_GLOBAL, STT_NOTYPE, SHN_UNDEF),
            symbol("absSym", STB_GLOBAL, STT_NOTYPE, SHN_ABS, 0x1234),
            symbol("tlsVar", STB_GLOBAL, STT_TLS, Data, 8),
        });
        b.addRela(target, std::move(relas), Symtab);
        build();
    }

    void build() {
        pristine = builder.build();
        bytes = pristine;
    }
    // Reads the input afresh (the reader converts the bytes in place).
    ::testing::AssertionResult load() {
        bytes = pristine;
        return loadInput(bytes);
    }

    std::vector<uint8_t> pristine;
};

struct Checked {
    int result = 0;
    std::string text;
};

// Reads the input, binds its symbols and checks the relocation section.
Checked check(RelocationInput& input, bool checkNoSda = true, bool allowCode32 = false) {
    Checked checked;
    EXPECT_TRUE(input.load());
    EXPECT_EQ(bindSymbolTable(), 0);
    settings().outputPath = "/w/app.qdl";
    settings().checkNoSda = checkNoSda;
    settings().allowCode32 = allowCode32;
    Captured out;
    checked.result = checkRelocationSection(*sectionHeaderAt(Rela), Rela);
    checked.text = out.take();
    return checked;
}

Checked check(uint32_t target, std::vector<TestRela> relas, bool checkNoSda = true, bool allowCode32 = false) {
    RelocationInput input(target, std::move(relas));
    return check(input, checkNoSda, allowCode32);
}

std::string sdaError(uint32_t type, uint32_t entry, const std::string& name) {
    return "***Error: QDL uses illegal SDA relocation " + std::to_string(type) +
           ".\n          Reloc sec 10, entry " + std::to_string(entry) + ".\n          Symbol \"" + name + "\".\n";
}

const std::string kNonAllocatedDebugGlobal =
    "***Error: \"/w/app.qdl\", Relocation in sec 10, entry 0 uses symbol 'debugGlobal' from non-allocated section "
    "'.debug'.\n";

TEST(RelocationChecksTest, EverySmallDataAreaTypeIsRefusedInAQdl) {
    for (uint32_t type : {106u, 107u, 108u, 109u, 116u, 180u, 181u, 182u, 183u, 184u, 185u}) {
        Checked c = check(Data, {{.r_offset = kData, .symbol = DataObj, .type = type}});
        EXPECT_EQ(c.result, -1) << type;
        EXPECT_EQ(c.text, sdaError(type, 0, "dataObj"));
    }
}

TEST(RelocationChecksTest, NeighbouringEmbeddedTypesPass) {
    for (uint32_t type : {101u, 102u, 103u, 104u, 105u, 110u, 111u, 112u, 113u, 114u, 115u, 117u, 179u, 186u}) {
        Checked c = check(Data, {{.r_offset = kData, .symbol = DataObj, .type = type}});
        EXPECT_EQ(c.result, 0) << type;
        EXPECT_EQ(c.text, "");
    }
}

TEST(RelocationChecksTest, SmallDataAreaTypesPassInAQdx) {
    Checked c = check(Data, {{.r_offset = kData, .symbol = DataObj, .type = R_PPC_EMB_SDA21}}, false);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");
}

TEST(RelocationChecksTest, EverySmallDataAreaErrorOfASectionIsPrintedBeforeItFails) {
    Checked c = check(Data, {{.r_offset = kData, .symbol = DataObj, .type = R_PPC_EMB_SDAI16},
                             {.r_offset = kData + 4, .symbol = DataObj, .type = R_PPC_ADDR32},
                             {.r_offset = kData + 8, .symbol = Undefined, .type = R_PPC_EMB_SDA21},
                             {.r_offset = kData + 12, .symbol = DataObj, .type = R_PPC_NONE},
                             {.r_offset = kData + 16, .symbol = TextFunc, .type = R_PPC_DIAB_RELSDA_HA}});
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, sdaError(106, 0, "dataObj") + sdaError(109, 2, "undefinedFunc") + sdaError(185, 4, "textFunc"));
}

TEST(RelocationChecksTest, AnEntryBreakingSeveralRulesReportsTheSdaErrorAndThenTheFirstFatalOne) {
    // Entry 0 is an SDA relocation against a symbol of a non-allocated
    // section; entry 1 would be another SDA error but is not reached.
    Checked c = check(Text, {{.r_offset = kText, .symbol = DebugGlobal, .type = R_PPC_EMB_SDA21},
                             {.r_offset = kText + 4, .symbol = DataObj, .type = R_PPC_EMB_SDA21}});
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, sdaError(109, 0, "debugGlobal") + kNonAllocatedDebugGlobal);

    // An SDA error in one entry and a fatal one in the next.
    c = check(Text, {{.r_offset = kText, .symbol = DataObj, .type = R_PPC_EMB_SDA2I16},
                     {.r_offset = kText + 8, .symbol = DataObj, .type = R_PPC_ADDR32, .r_addend = 2},
                     {.r_offset = kText + 12, .symbol = DataObj, .type = R_PPC_EMB_SDA21}});
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, sdaError(107, 0, "dataObj") +
                          "***Error: \"/w/app.qdl\", 32-bit reference from code @ 0x02000008 to 0x10000006 (dataObj) "
                          "is illegal (reloc # 1)\n***Error: are illegal (code is not readable).\n");
}

TEST(RelocationChecksTest, RelocationsOfNonAllocatedSectionsAreNotExamined) {
    Checked c = check(Debug, {{.r_offset = 0, .symbol = DebugGlobal, .type = R_PPC_EMB_SDA21},
                              {.r_offset = 4, .symbol = DataObj, .type = R_PPC_ADDR32}});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");
}

TEST(RelocationChecksTest, ThirtyTwoBitReferencesFromCode) {
    const std::string refused =
        "***Error: \"/w/app.qdl\", 32-bit reference from code @ 0x02000004 to 0x02000014 (textFunc) is illegal "
        "(reloc # 1)\n***Error: are illegal (code is not readable).\n";
    std::vector<TestRela> relas = {{.r_offset = kText, .symbol = TextFunc, .type = R_PPC_REL24},
                                   {.r_offset = kText + 4, .symbol = TextFunc, .type = R_PPC_ADDR32, .r_addend = 4},
                                   {.r_offset = kText + 8, .symbol = TextFunc, .type = R_PPC_ADDR32}};
    Checked c = check(Text, relas);
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, refused);

    // -x32 lets them through.
    c = check(Text, relas, true, true);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");

    // Into data, and into an executable import table, they are allowed.
    c = check(Data, {{.r_offset = kData, .symbol = TextFunc, .type = R_PPC_ADDR32}});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");
    c = check(Imports, {{.r_offset = 0, .symbol = TextFunc, .type = R_PPC_ADDR32}});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");
}

TEST(RelocationChecksTest, SymbolsOfNonAllocatedSections) {
    Checked c = check(Text, {{.r_offset = kText, .symbol = DebugGlobal, .type = R_PPC_REL24}});
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, kNonAllocatedDebugGlobal);

    // A weak one, an undefined one and an absolute one pass.
    c = check(Text, {{.r_offset = kText, .symbol = DebugWeak, .type = R_PPC_REL24},
                     {.r_offset = kText + 4, .symbol = Undefined, .type = R_PPC_REL24},
                     {.r_offset = kText + 8, .symbol = Absolute, .type = R_PPC_REL24},
                     {.r_offset = kText + 12, .symbol = 0, .type = R_PPC_REL24}});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");
}

TEST(RelocationChecksTest, ASectionWhoseHeaderIsAllZeroCountsAsUndefined) {
    RelocationInput input(Text, {{.r_offset = kText, .symbol = DebugGlobal, .type = R_PPC_REL24}});
    ASSERT_TRUE(input.load());
    Elf32_Shdr* debug = sectionHeaderAt(Debug);
    debug->sh_name = debug->sh_addr = debug->sh_offset = debug->sh_size = 0;
    debug->sh_type = SHT_PROGBITS;
    ASSERT_EQ(bindSymbolTable(), 0);
    Captured out;
    EXPECT_EQ(checkRelocationSection(*sectionHeaderAt(Rela), Rela), 0);
    EXPECT_EQ(out.take(), "");
}

TEST(RelocationChecksTest, ExportTableNamesAndSizesAreCheckedEvenWhenNotAllocated) {
    RelocationInput input(BadExports, {{.r_offset = 0xC0000208, .symbol = TextFunc, .type = R_PPC_ADDR32}});
    Checked c = check(input);
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text,
              "Section 7 \".exports\" of ELF should be either \".fexports\" or \".dexports\". Return -1.\n");

    ASSERT_TRUE(input.load());
    sectionHeaderAt(BadExports)->sh_flags = 0;
    ASSERT_EQ(bindSymbolTable(), 0);
    {
        Captured out;
        EXPECT_EQ(checkRelocationSection(*sectionHeaderAt(Rela), Rela), -1);
        EXPECT_EQ(out.take(), c.text);
    }

    RelocationInput large(Fexports, {{.r_offset = kFexports + 8, .symbol = TextFunc, .type = R_PPC_ADDR32}});
    ASSERT_TRUE(large.load());
    sectionHeaderAt(Fexports)->sh_flags = 0;
    sectionHeaderAt(Fexports)->sh_size = 0x80000000;
    ASSERT_EQ(bindSymbolTable(), 0);
    Captured out;
    EXPECT_EQ(checkRelocationSection(*sectionHeaderAt(Rela), Rela), -1);
    EXPECT_EQ(out.take(),
              "***Error: \".fexports\" sec 10, is too large to load.  Section size is 0x80000000. Return -1.\n");
}

TEST(RelocationChecksTest, AnExportEntryNeedsDataBehindIt) {
    // d + 8 = sh_size: the last entry slot of the table.
    RelocationInput input(Fexports, {{.r_offset = kFexports + 8, .symbol = TextFunc, .type = R_PPC_ADDR32},
                                     {.r_offset = kFexports + 24, .symbol = TextFunc, .type = R_PPC_ADDR32}});
    Checked c = check(input);
    char expected[256];
    snprintf(expected, sizeof expected,
             "***Error: \".fexports\" sec 10, can't get its data 0x%08X or a relocation offset 0x00000020 is too "
             "large for the section 0x00000020. Return -1.\n",
             input.builder.layout().sectionOffsets[Fexports]);
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, expected);

    // An address below the table wraps to a large offset.
    c = check(Fexports, {{.r_offset = kFexports - 4, .symbol = TextFunc, .type = R_PPC_ADDR32}});
    EXPECT_EQ(c.result, -1);
    EXPECT_NE(c.text.find("relocation offset 0x00000004 is too large for the section 0x00000020"), std::string::npos);

    // Without contents the location is 0.
    RelocationInput missing(Fexports, {{.r_offset = kFexports + 8, .symbol = TextFunc, .type = R_PPC_ADDR32}});
    ASSERT_TRUE(missing.load());
    sectionHeaderAt(Fexports)->sh_offset = inputImage().byteCount;
    ASSERT_EQ(bindSymbolTable(), 0);
    Captured out;
    EXPECT_EQ(checkRelocationSection(*sectionHeaderAt(Rela), Rela), -1);
    EXPECT_EQ(out.take(),
              "***Error: \".fexports\" sec 10, can't get its data 0x00000000 or a relocation offset 0x00000010 is too "
              "large for the section 0x00000020. Return -1.\n");
}

TEST(RelocationChecksTest, FunctionExportsMustNameCode) {
    Checked c = check(Fexports, {{.r_offset = kFexports + 8, .symbol = TextFunc, .type = R_PPC_ADDR32},
                                 {.r_offset = kFexports + 16, .symbol = Undefined, .type = R_PPC_ADDR32}});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");

    for (uint32_t s : {uint32_t(DataObj), uint32_t(TlsVar)}) {
        c = check(Fexports, {{.r_offset = kFexports + 16, .symbol = s, .type = R_PPC_ADDR32}});
        std::string name = s == DataObj ? "dataObj" : "tlsVar";
        EXPECT_EQ(c.result, -1);
        EXPECT_EQ(c.text, "***Error: \".fexports\" sec 10, has reference to a data symbol \"" + name +
                              "\". Check that .def file has this symbol after [DATA]. Return -1.\n");
    }
}

TEST(RelocationChecksTest, DataExportsMustNameData) {
    // Entry 8 is marked thread-local, entry 16 is not.
    Checked c = check(Dexports, {{.r_offset = kDexports + 8, .symbol = TlsVar, .type = R_PPC_DTPREL32},
                                 {.r_offset = kDexports + 16, .symbol = DataObj, .type = R_PPC_ADDR32},
                                 {.r_offset = kDexports + 12, .symbol = TlsVar, .type = R_PPC_DTPREL32}});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "");

    c = check(Dexports, {{.r_offset = kDexports + 16, .symbol = TlsVar, .type = R_PPC_DTPREL32}});
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, "***Error: Export symbol \"tlsVar\" is unexpectedly a TLS symbol. Clobber and rebuild with "
                      "current qdlscan[32|64]. Return -1.\n");

    c = check(Dexports, {{.r_offset = kDexports + 8, .symbol = TextFunc, .type = R_PPC_ADDR32}});
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, "***Error: \".dexports\" sec 10, has reference to a code symbol \"textFunc\". Check that .def "
                      "file has this symbol after [CODE]. Return -1.\n");
}

TEST(RelocationChecksTest, ASymbolIndexBeyondTheBoundTableIsRefused) {
    RelocationInput input(Data, {{.r_offset = kData, .symbol = DataObj, .type = R_PPC_ADDR32}});
    ASSERT_TRUE(input.load());
    ASSERT_EQ(bindSymbolTable(), 0);
    auto* rela = reinterpret_cast<Elf32_Rela*>(sectionContents(Rela));
    rela->r_info = (8u << 8) | R_PPC_ADDR32;
    Captured out;
    EXPECT_EQ(checkRelocationSection(*sectionHeaderAt(Rela), Rela), -1);
    EXPECT_EQ(out.take(),
              "***Error: Reloc sec 10, entry 0 names symbol 8, but the symbol table holds 8 symbols. Return -1.\n");
}

TEST(RelocationChecksTest, ASymbolIndexBeyondTheTableIsRefusedOnlyWhereTheSymbolIsRead) {
    // Entry 0 names symbol 8 of 8; the rules that do not read the symbol
    // report first.
    auto checkWithSymbolEight = [](uint32_t target, TestRela rela) {
        RelocationInput input(target, {rela});
        EXPECT_TRUE(input.load());
        EXPECT_EQ(bindSymbolTable(), 0);
        settings().outputPath = "/w/app.qdl";
        settings().checkNoSda = true;
        auto* entry = reinterpret_cast<Elf32_Rela*>(sectionContents(Rela));
        entry->r_info = (8u << 8) | relocationType(entry->r_info);
        Captured out;
        Checked checked;
        checked.result = checkRelocationSection(*sectionHeaderAt(Rela), Rela);
        checked.text = out.take();
        return checked;
    };
    const std::string unknown =
        "***Error: Reloc sec 10, entry 0 names symbol 8, but the symbol table holds 8 symbols. Return -1.\n";

    // The export entry's bounds are tested before its symbol is read.
    Checked c = checkWithSymbolEight(Fexports, {.r_offset = kFexports + 24, .symbol = TextFunc, .type = R_PPC_ADDR32});
    EXPECT_EQ(c.result, -1);
    EXPECT_NE(c.text.find("relocation offset 0x00000020 is too large for the section 0x00000020"), std::string::npos)
        << c.text;
    EXPECT_EQ(c.text.find("names symbol"), std::string::npos) << c.text;

    // The first line of the small-data error needs no symbol; its name does.
    c = checkWithSymbolEight(Data, {.r_offset = kData, .symbol = DataObj, .type = R_PPC_EMB_SDA21});
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, "***Error: QDL uses illegal SDA relocation 109.\n          Reloc sec 10, entry 0.\n" + unknown);

    // An ordinary entry reads its symbol for the non-allocated section rule.
    c = checkWithSymbolEight(Data, {.r_offset = kData, .symbol = DataObj, .type = R_PPC_ADDR32});
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, unknown);
}

TEST(RelocationChecksTest, AllSectionsAreCheckedUntilTheFirstFailure) {
    RelocationInput input(Data, {{.r_offset = kData, .symbol = DataObj, .type = R_PPC_EMB_SDA21}});
    input.builder.addRela(Text, {{.r_offset = kText, .symbol = DataObj, .type = R_PPC_EMB_SDA21}}, Symtab);
    input.build();
    ASSERT_TRUE(input.load());
    ASSERT_EQ(bindSymbolTable(), 0);
    settings().checkNoSda = true;
    {
        Captured out;
        EXPECT_EQ(checkAllRelocations(), -1);
        EXPECT_EQ(out.take(), sdaError(109, 0, "dataObj"));
    }
    settings().checkNoSda = false;
    Captured out;
    EXPECT_EQ(checkAllRelocations(), 0);
    EXPECT_EQ(out.take(), "");
}

}  // namespace

TEST(RelocationChecksTest, OutOfRangeNamesWarnBetweenTheLinesOfATwoPartMessage) {
    RelocationInput input(Text, {{.r_offset = kText, .symbol = DataObj, .type = R_PPC_EMB_SDA21},
                                 {.r_offset = kText + 4, .symbol = DebugGlobal, .type = R_PPC_REL24}});
    ASSERT_TRUE(input.load());
    ASSERT_EQ(bindSymbolTable(), 0);
    // Names beyond the string table, which the reader would have refused.
    SymbolTableView& view = toolState().symbols.view;
    view.symbols[DataObj].st_name = view.stringSize + 1;
    view.symbols[DebugGlobal].st_name = view.stringSize + 2;
    settings().outputPath = "/w/app.qdl";
    settings().checkNoSda = true;
    Captured out;
    EXPECT_EQ(checkRelocationSection(*sectionHeaderAt(Rela), Rela), -1);
    const std::string first = std::to_string(view.stringSize + 1), second = std::to_string(view.stringSize + 2);
    EXPECT_EQ(out.take(),
              "***Error: QDL uses illegal SDA relocation 109.\n          Reloc sec 10, entry 0.\n"
              "pSym->st_name is out of range (" + first + ")\n          Symbol \"\".\n"
              "***Error: \"/w/app.qdl\", Relocation in sec 10, entry 1 uses symbol '"
              "pSym->st_name is out of range (" + second + ")\n' from non-allocated section '.debug'.\n");
}
