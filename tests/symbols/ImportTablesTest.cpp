#include <gtest/gtest.h>

#include "SymbolTestInput.h"
#include "symbols/ImportTables.h"
#include "symbols/SymbolAccess.h"

using namespace symtest;

namespace {

constexpr uint32_t kAddress = 0xC0000040;

// Bitwise CRC-32 (reflected, polynomial 0xEDB88320), independent of zlib.
uint32_t referenceCrc(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// The signature of a table importing `names`.
uint32_t signatureOf(const std::vector<std::string>& names) {
    std::string fed;
    for (const std::string& n : names) fed += n + '\0';
    return referenceCrc(fed + std::string(14, '\0'));
}

std::vector<uint8_t> tableContents(const std::string& moduleName, bool terminated = true) {
    // Eight bytes of whatever the stub held there, then the name.
    std::vector<uint8_t> data(8 + moduleName.size() + (terminated ? 1 : 0), 0);
    std::fill(data.begin(), data.begin() + 8, 0xEE);
    std::copy(moduleName.begin(), moduleName.end(), data.begin() + 8);
    return data;
}

// 1 .fimport_<name> (import table), 2 a data section right behind it in
// the file, filled with 0xFF, then the symbol table (3, strings 4).
struct ImportInput {
    ElfBuilder builder;
    std::vector<uint8_t> bytes;
    static constexpr uint32_t table = 1;

    ImportInput(std::vector<uint8_t> contents, std::vector<TestSymbol> symbols, bool bigEndian = true) {
        builder.bigEndian = bigEndian;
        builder.addSection({.name = ".fimport_mod", .type = SHT_IMPORT_TABLE, .flags = SHF_ALLOC | SHF_EXECINSTR,
                            .data = std::move(contents), .addralign = 1});
        builder.addSection({.name = ".after", .type = SHT_PROGBITS, .flags = SHF_ALLOC | SHF_WRITE,
                            .addr = 0x10000000, .data = std::vector<uint8_t>(16, 0xFF), .addralign = 1});
        builder.addSymbolTable(std::move(symbols));
        bytes = builder.build();
    }
};

TestSymbol sectionSymbol() { return symbol("", STB_LOCAL, STT_SECTION, ImportInput::table); }
TestSymbol import(const std::string& name) { return symbol(name, STB_GLOBAL, STT_NOTYPE, ImportInput::table); }

struct Finalised {
    int result = 0;
    std::string text;
};

Finalised finalise(ImportInput& input) {
    Finalised f;
    EXPECT_TRUE(loadInput(input.bytes));
    EXPECT_EQ(bindSymbolTable(), 0);
    Captured out;
    f.result = finaliseImportTable(ImportInput::table, *sectionHeaderAt(ImportInput::table), kAddress);
    f.text = out.take();
    return f;
}

TEST(ImportTablesTest, OneImportWithASectionSymbolAndAShortModuleName) {
    ImportInput input(tableContents("app.q"), {sectionSymbol(), import("foo")});
    Finalised f = finalise(input);
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.text, "");
    const Elf32_Shdr* header = sectionHeaderAt(ImportInput::table);
    EXPECT_EQ(header->sh_addr, kAddress);
    EXPECT_EQ(header->sh_size, 16u);
    EXPECT_EQ(symbolAt(1).st_value, kAddress);
    EXPECT_EQ(symbolAt(2).st_value, kAddress + 8);
    const uint8_t* contents = sectionContents(ImportInput::table);
    EXPECT_EQ(readBe32(contents), 1u);
    EXPECT_EQ(readBe32(contents + 4), signatureOf({"foo"}));
    EXPECT_EQ(bytesAt(contents + 8, 6), std::string("app.q\0", 6));
}

TEST(ImportTablesTest, ALongModuleNameSetsTheSizeAndTheGrownBytesAreZero) {
    const std::string name = "a_twenty_byte_module";  // 20 bytes
    ImportInput input(tableContents(name), {sectionSymbol(), import("foo")});
    const uint32_t after = input.builder.layout().sectionOffsets[2];
    ASSERT_EQ(after, input.builder.layout().sectionOffsets[1] + 29);  // the 0xFF bytes follow directly
    Finalised f = finalise(input);
    ASSERT_EQ(f.result, 0);
    const Elf32_Shdr* header = sectionHeaderAt(ImportInput::table);
    EXPECT_EQ(header->sh_size, 32u);  // (20 + 16) rounded down to 8
    ASSERT_GE(sectionContentsCapacity(ImportInput::table), 32u);
    const uint8_t* contents = sectionContents(ImportInput::table);
    EXPECT_EQ(bytesAt(contents + 8, 24), name + std::string(4, '\0'));
    EXPECT_EQ(readBe32(contents), 1u);
    EXPECT_EQ(readBe32(contents + 4), signatureOf({"foo"}));
    // The input's own bytes behind the table are untouched.
    EXPECT_EQ(inputImage().bytes[after], 0xFF);
}

TEST(ImportTablesTest, WithoutASectionSymbolTheSlotsStartAtTheTable) {
    ImportInput input(tableContents("app.q"),
                      {import("first"), symbol("other", STB_GLOBAL, STT_NOTYPE, 2, 0x10000000), import("second"),
                       import("third")});
    Finalised f = finalise(input);
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(symbolAt(1).st_value, kAddress);
    EXPECT_EQ(symbolAt(2).st_value, 0x10000000u);  // not in the table: untouched
    EXPECT_EQ(symbolAt(3).st_value, kAddress + 8);
    EXPECT_EQ(symbolAt(4).st_value, kAddress + 16);
    EXPECT_EQ(sectionHeaderAt(ImportInput::table)->sh_size, 24u);
    const uint8_t* contents = sectionContents(ImportInput::table);
    EXPECT_EQ(readBe32(contents), 3u);
    EXPECT_EQ(readBe32(contents + 4), signatureOf({"first", "second", "third"}));
}

TEST(ImportTablesTest, OnlyTheFirstSectionSymbolTakesTheAddress) {
    TestSymbol second = sectionSymbol();
    second.value = 0x77;
    ImportInput input(tableContents("m"), {import("a"), sectionSymbol(), second, import("b")});
    Finalised f = finalise(input);
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(symbolAt(1).st_value, kAddress + 8);
    EXPECT_EQ(symbolAt(2).st_value, kAddress);
    EXPECT_EQ(symbolAt(3).st_value, 0x77u);
    EXPECT_EQ(symbolAt(4).st_value, kAddress + 16);
    EXPECT_EQ(sectionHeaderAt(ImportInput::table)->sh_size, 24u);
    EXPECT_EQ(readBe32(sectionContents(ImportInput::table) + 4), signatureOf({"a", "b"}));
}

TEST(ImportTablesTest, AnEmptyNameStillFeedsItsNul) {
    ImportInput input(tableContents("m"), {import("a"), import("x"), import("b")});
    ASSERT_TRUE(loadInput(input.bytes));
    ASSERT_EQ(bindSymbolTable(), 0);
    symbolAt(2).st_name = toolState().symbols.view.stringSize;  // at the very end: the empty name
    ASSERT_EQ(finaliseImportTable(ImportInput::table, *sectionHeaderAt(ImportInput::table), kAddress), 0);
    EXPECT_EQ(readBe32(sectionContents(ImportInput::table) + 4), signatureOf({"a", "", "b"}));
}

TEST(ImportTablesTest, ATableWithoutImportsHoldsItsHeaderAndName) {
    ImportInput input(tableContents("app.qdl"), {sectionSymbol()});
    Finalised f = finalise(input);
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(sectionHeaderAt(ImportInput::table)->sh_size, 16u);
    EXPECT_EQ(readBe32(sectionContents(ImportInput::table)), 0u);
    EXPECT_EQ(readBe32(sectionContents(ImportInput::table) + 4), signatureOf({}));
}

TEST(ImportTablesTest, LittleEndianImagesGetLittleEndianWords) {
    ImportInput input(tableContents("app.q"), {sectionSymbol(), import("foo"), import("bar")}, false);
    Finalised f = finalise(input);
    ASSERT_EQ(f.result, 0);
    const uint8_t* contents = sectionContents(ImportInput::table);
    EXPECT_EQ(readLe32(contents), 2u);
    EXPECT_EQ(readLe32(contents + 4), signatureOf({"foo", "bar"}));
    EXPECT_EQ(sectionHeaderAt(ImportInput::table)->sh_size, 24u);
}

TEST(ImportTablesTest, ATableWithoutATerminatedModuleNameIsRefused) {
    const std::string refused =
        "***Error: Import table section 1 \".fimport_mod\" holds no NUL-terminated module name. Return -1.\n";
    for (std::vector<uint8_t> contents : {tableContents("app.q", false), std::vector<uint8_t>(8, 0xEE)}) {
        ImportInput input(contents, {sectionSymbol(), import("foo")});
        Finalised f = finalise(input);
        EXPECT_EQ(f.result, -1);
        EXPECT_EQ(f.text, refused);
        // Nothing was changed.
        EXPECT_EQ(sectionHeaderAt(ImportInput::table)->sh_addr, 0u);
        EXPECT_EQ(sectionHeaderAt(ImportInput::table)->sh_size, contents.size());
        EXPECT_EQ(symbolAt(2).st_value, 0u);
        EXPECT_EQ(sectionContents(ImportInput::table)[0], 0xEE);
    }
}

TEST(ImportTablesTest, NameWarningsOfTheImportsPrintBeforeAnUnterminatedNameIsRefused) {
    // The imported names are looked up before the table's own name is read.
    ImportInput input(tableContents("app.q", false), {sectionSymbol(), import("foo")});
    ASSERT_TRUE(loadInput(input.bytes));
    ASSERT_EQ(bindSymbolTable(), 0);
    const uint32_t outside = toolState().symbols.view.stringSize + 5;
    symbolAt(2).st_name = outside;
    Captured out;
    EXPECT_EQ(finaliseImportTable(ImportInput::table, *sectionHeaderAt(ImportInput::table), kAddress), -1);
    EXPECT_EQ(out.take(), "pSym->st_name is out of range (" + std::to_string(outside) +
                              ")\n***Error: Import table section 1 \".fimport_mod\" holds no NUL-terminated module "
                              "name. Return -1.\n");
    EXPECT_EQ(symbolAt(2).st_value, 0u);
}

}  // namespace
