#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/Output.h"
#include "elf/SectionContents.h"
#include "importlib/ImportStub.h"
#include "importlib/ImportTestInput.h"

namespace {

using namespace importtest;

struct StubRun {
    int result = 0;
    ImportStub stub;
    std::string out;
};

StubRun buildStub(uint32_t functions, uint32_t data, uint32_t relocations, const std::string& moduleName) {
    StubRun run;
    beginOutputCapture(&run.out);
    run.result = buildImportStub(functions, data, relocations, moduleName, run.stub);
    endOutputCapture();
    return run;
}

// Reads the stub's fields in its byte order.
struct StubView {
    const std::vector<uint8_t>& image;
    bool little;
    uint32_t word(size_t at) const { return readWord(image.data() + at, little); }
    uint16_t half(size_t at) const {
        return little ? uint16_t(image[at] | (image[at + 1] << 8)) : readBe16(image.data() + at);
    }
    uint32_t shoff() const { return word(32); }
    uint32_t section(uint32_t i, size_t field) const { return word(shoff() + 40 * i + field); }
    std::string text(size_t at, size_t n) const { return std::string(image.begin() + ptrdiff_t(at), image.begin() + ptrdiff_t(at + n)); }
};

constexpr size_t kName = 0, kType = 4, kFlags = 8, kOffset = 16, kSize = 20, kLink = 24, kInfo = 28, kAlign = 32,
                 kEntsize = 36;

TEST(ImportStubTest, TwoFunctionExportsByteForByte) {
    ElfBuilder b;
    const uint32_t fexports = addFunctionExports(b, exportTable(0xA1B2C3D4, {{"foo"}, {"bar"}}));
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    StubRun run = buildStub(fexports, 0, 0, "mylib.qdl");
    ASSERT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");

    std::vector<uint8_t> e(576, 0);
    putText(e, 0, "\x7F" "ELF");
    e[4] = 1;
    e[5] = 2;
    e[6] = 1;
    put16(e, 16, 1);
    put16(e, 18, 20);
    put32(e, 20, 1);
    put32(e, 32, 320);
    put16(e, 40, 52);
    put16(e, 42, 32);
    put16(e, 46, 40);
    put16(e, 48, 5);
    put16(e, 50, 4);
    // .fimport_mylib.qdl: the table's header words, then the module name
    put32(e, 64, 2);
    put32(e, 68, 0xA1B2C3D4);
    putText(e, 72, "mylib.qdl");
    // .symtab
    put32(e, 128 + 16, 1);
    put32(e, 128 + 20, 8);
    e[128 + 28] = 0x12;
    put16(e, 128 + 30, 1);
    put32(e, 128 + 32, 5);
    put32(e, 128 + 36, 16);
    e[128 + 44] = 0x12;
    put16(e, 128 + 46, 1);
    // .strtab, .secstrtab
    putText(e, 192, std::string("\0foo\0bar\0", 9));
    putText(e, 256, std::string("\0.fimport_mylib.qdl\0.symtab\0.strtab\0.secstrtab\0", 47));
    // section headers
    const uint32_t headers[4][10] = {
        {1, SHT_IMPORT_TABLE, 6, 0, 64, 24, 0, 9, 4, 0},
        {20, SHT_SYMTAB, 0, 0, 128, 48, 3, 1, 16, 16},
        {28, SHT_STRTAB, 0, 0, 192, 9, 0, 0, 1, 0},
        {36, SHT_STRTAB, 0, 0, 256, 47, 0, 0, 1, 0},
    };
    for (size_t i = 0; i < 4; ++i)
        for (size_t f = 0; f < 10; ++f) put32(e, 320 + 40 * (i + 1) + 4 * f, headers[i][f]);

    ASSERT_EQ(run.stub.image.size(), e.size());
    for (size_t i = 0; i < e.size(); ++i) EXPECT_EQ(run.stub.image[i], e[i]) << "byte " << i;
    EXPECT_EQ(run.stub.sectionCount, 5u);
    EXPECT_EQ(run.stub.shoff, 320u);
    EXPECT_EQ(run.stub.sections[1].writtenLength, 17u);
}

TEST(ImportStubTest, OnlyDataExports) {
    ElfBuilder b;
    const uint32_t dexports = addDataExports(b, exportTable(0x11, {{"counter"}, {"table"}}));
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    StubRun run = buildStub(0, dexports, 0, "m.qdx");
    ASSERT_EQ(run.result, 0);
    StubView v{run.stub.image, false};
    EXPECT_EQ(v.half(48), 5u);
    EXPECT_EQ(v.half(50), 4u);
    EXPECT_EQ(v.section(1, kType), SHT_IMPORT_TABLE);
    EXPECT_EQ(v.section(1, kFlags), 3u);
    EXPECT_EQ(v.section(1, kOffset), 64u);
    EXPECT_EQ(v.section(1, kSize), 24u);
    EXPECT_EQ(v.section(1, kInfo), 5u);
    EXPECT_EQ(v.section(2, kType), SHT_SYMTAB);
    EXPECT_EQ(v.section(2, kLink), 3u);
    EXPECT_EQ(v.text(v.section(4, kOffset), v.section(4, kSize)),
              std::string("\0.dimport_m.qdx\0.symtab\0.strtab\0.secstrtab\0", 43));
    const uint32_t symtab = v.section(2, kOffset);
    for (uint32_t k = 1; k <= 2; ++k) {
        EXPECT_EQ(run.stub.image[symtab + 16 * k + 12], 0x11) << k;  // STT_OBJECT without relocations
        EXPECT_EQ(v.half(symtab + 16 * k + 14), 1u) << k;
        EXPECT_EQ(v.word(symtab + 16 * k + 4), 8u * k) << k;
    }
}

TEST(ImportStubTest, BothKinds) {
    ElfBuilder b;
    const uint32_t fexports = addFunctionExports(b, exportTable(0x22, {{"f1"}}));
    const uint32_t dexports = addDataExports(b, exportTable(0x33, {{"d1"}, {"d2"}}));
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    StubRun run = buildStub(fexports, dexports, 0, "both.qdl");
    ASSERT_EQ(run.result, 0);
    StubView v{run.stub.image, false};
    EXPECT_EQ(v.half(48), 6u);
    EXPECT_EQ(v.half(50), 5u);
    EXPECT_EQ(v.section(1, kName), 1u);
    EXPECT_EQ(v.section(1, kFlags), 6u);
    EXPECT_EQ(v.section(2, kName), 1u + 8 + 10);
    EXPECT_EQ(v.section(2, kFlags), 3u);
    EXPECT_EQ(v.section(2, kOffset), 128u);
    EXPECT_EQ(v.section(3, kType), SHT_SYMTAB);
    EXPECT_EQ(v.section(3, kSize), 64u);
    EXPECT_EQ(v.section(3, kLink), 4u);
    EXPECT_EQ(v.section(4, kType), SHT_STRTAB);
    EXPECT_EQ(v.section(4, kSize), 10u);
    EXPECT_EQ(v.section(5, kSize), 1u + 2 * 18 + 27);
    EXPECT_EQ(v.text(v.section(2, kOffset), 17), std::string("\0\0\0\x02\0\0\0\x33" "both.qdl", 16) + '\0');
    const uint32_t symtab = v.section(3, kOffset);
    EXPECT_EQ(v.half(symtab + 16 + 14), 1u);
    EXPECT_EQ(run.stub.image[symtab + 16 + 12], 0x12);
    EXPECT_EQ(v.half(symtab + 32 + 14), 2u);
    EXPECT_EQ(v.half(symtab + 48 + 14), 2u);
    EXPECT_EQ(v.word(symtab + 48 + 4), 16u);  // d2: the second slot of its own table
    EXPECT_EQ(v.text(v.section(4, kOffset) + v.word(symtab + 48), 3), std::string("d2\0", 3));
}

TEST(ImportStubTest, EmptyTableStillGivesItsImportSection) {
    ElfBuilder b;
    const uint32_t fexports = addFunctionExports(b, exportTable(0x44, {}));
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    StubRun run = buildStub(fexports, 0, 0, "mylib.qdl");
    ASSERT_EQ(run.result, 0);
    StubView v{run.stub.image, false};
    EXPECT_EQ(v.section(1, kSize), 18u);
    EXPECT_EQ(v.section(2, kSize), 16u);  // the null symbol only
    EXPECT_EQ(v.section(3, kSize), 1u);
}

TEST(ImportStubTest, LongModuleNameWidensTheImportSection) {
    ElfBuilder b;
    const uint32_t fexports = addFunctionExports(b, exportTable(0x55, {{"only"}}));
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    StubRun run = buildStub(fexports, 0, 0, "abcdefghijklmnop.qdl");
    ASSERT_EQ(run.result, 0);
    StubView v{run.stub.image, false};
    EXPECT_EQ(v.section(1, kSize), 29u);
    EXPECT_EQ(v.section(1, kInfo), 20u);
    EXPECT_EQ(v.text(64 + 8, 21), std::string("abcdefghijklmnop.qdl") + '\0');
}

struct DataInput {
    ElfBuilder b;
    uint32_t dexports = 0, rela = 0;
    std::vector<uint8_t> bytes;
};

void makeDataInput(DataInput& in, const std::vector<Export>& exports, const std::vector<TestRela>& relas,
                   bool bigEndian = true, uint32_t relaEntsize = 12) {
    in.b.bigEndian = bigEndian;
    in.dexports = addDataExports(in.b, exportTable(0x66, exports));
    const uint32_t symtab = in.b.addSymbolTable({{.name = "target", .info = symbolInfo(STB_GLOBAL, STT_OBJECT)}});
    in.rela = in.b.addRela(in.dexports, relas, symtab);
    in.b.section(in.rela).entsize = relaEntsize;
    in.bytes = in.b.build();
}

TEST(ImportStubTest, RelocationCountMustMatchTheDataExports) {
    DataInput in;
    makeDataInput(in, {{"a"}, {"b"}, {"c"}}, dataExportRelocations({1, 1, 1}), true, 0);  // 36 bytes, entsize 0
    ASSERT_TRUE(loadInput(in.bytes));
    StubRun run = buildStub(0, in.dexports, in.rela, "m.qdl");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "");

    DataInput fewer;
    makeDataInput(fewer, {{"a"}, {"b"}, {"c"}}, dataExportRelocations({1, 1}));
    ASSERT_TRUE(loadInput(fewer.bytes));
    run = buildStub(0, fewer.dexports, fewer.rela, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "***Error: numDataExports (3) != numRelaDataExports (2). Return -1\n");
    EXPECT_TRUE(run.stub.image.empty());
}

TEST(ImportStubTest, CountComparisonComesBeforeTheEntriesAreBounded) {
    // Header words written little-endian: n reads as 0x02000000, far more
    // entries than the table holds; the counts are compared first.
    DataInput in;
    in.b.bigEndian = false;
    std::vector<uint8_t> table = exportTable(0x66, {{"a"}, {"b"}});
    std::swap(table[0], table[3]);
    std::swap(table[1], table[2]);
    in.dexports = addDataExports(in.b, table);
    const uint32_t symtab = in.b.addSymbolTable({{.name = "target", .info = symbolInfo(STB_GLOBAL, STT_OBJECT)}});
    in.rela = in.b.addRela(in.dexports, dataExportRelocations({1, 1}), symtab);
    in.bytes = in.b.build();
    ASSERT_TRUE(loadInput(in.bytes));
    StubRun run = buildStub(0, in.dexports, in.rela, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "***Error: numDataExports (33554432) != numRelaDataExports (2). Return -1\n");

    // n = 3, but the table ends inside entry 2, where the names lie: entry 0
    // is checked against its relocation before the missing entry is reached.
    std::vector<uint8_t> shortTable = bigEndianWords({3, 0x66, 0xC0000000, 24, 0xC0000010, 26});
    for (char c : std::string("a\0b\0", 4)) shortTable.push_back(uint8_t(c));
    for (bool mismatched : {true, false}) {
        std::vector<TestRela> relas = dataExportRelocations({1, 1, 1});
        if (mismatched) relas[0].r_offset += 4;
        DataInput shortInput;
        shortInput.dexports = addDataExports(shortInput.b, shortTable);
        const uint32_t symbols =
            shortInput.b.addSymbolTable({{.name = "target", .info = symbolInfo(STB_GLOBAL, STT_OBJECT)}});
        shortInput.rela = shortInput.b.addRela(shortInput.dexports, relas, symbols);
        shortInput.bytes = shortInput.b.build();
        ASSERT_TRUE(loadInput(shortInput.bytes));
        run = buildStub(0, shortInput.dexports, shortInput.rela, "m.qdl");
        EXPECT_EQ(run.result, -1);
        EXPECT_EQ(run.out, mismatched
                               ? "***Error: mismatched relocations and .dexports section. Return -1\n"
                               : "***Error: export section \".dexports\" (index 1) is too short for its entries. "
                                 "Return -1\n");
    }
}

TEST(ImportStubTest, RelocationMustPatchItsOwnEntry) {
    std::vector<TestRela> relas = dataExportRelocations({1, 1});
    relas[1].r_offset += 4;  // the name word instead of the address word
    DataInput in;
    makeDataInput(in, {{"a"}, {"b"}}, relas);
    ASSERT_TRUE(loadInput(in.bytes));
    StubRun run = buildStub(0, in.dexports, in.rela, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "***Error: mismatched relocations and .dexports section. Return -1\n");
}

TEST(ImportStubTest, ThreadLocalDataExports) {
    DataInput in;
    makeDataInput(in, {{"tlsvar", true}, {"flagged", true}, {"plain"}},
                  dataExportRelocations({R_PPC_DTPREL32, R_PPC_ADDR32, R_PPC_ADDR32}));
    ASSERT_TRUE(loadInput(in.bytes));
    StubRun run = buildStub(0, in.dexports, in.rela, "m.qdl");
    ASSERT_EQ(run.result, 0);
    StubView v{run.stub.image, false};
    const uint32_t symtab = v.section(2, kOffset);
    EXPECT_EQ(run.stub.image[symtab + 16 + 12], 0x16);  // STT_TLS
    EXPECT_EQ(run.stub.image[symtab + 32 + 12], 0x11);  // flag set, but no TLS relocation
    EXPECT_EQ(run.stub.image[symtab + 48 + 12], 0x11);

    DataInput unflagged;
    makeDataInput(unflagged, {{"ok"}, {"sneaky"}}, dataExportRelocations({R_PPC_ADDR32, R_PPC_DTPREL32}));
    ASSERT_TRUE(loadInput(unflagged.bytes));
    run = buildStub(0, unflagged.dexports, unflagged.rela, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out,
              "***Error: Export symbol \"sneaky\" is unexpectedly a TLS symbol. Clobber and rebuild with current "
              "qdlscan[32|64]. Return -1.\n");
}

TEST(ImportStubTest, LittleEndianInputGivesALittleEndianStub) {
    DataInput in;
    in.b.bigEndian = false;
    const uint32_t fexports = addFunctionExports(in.b, exportTable(0x01020304, {{"go"}}));
    makeDataInput(in, {{"tv", true}}, dataExportRelocations({R_PPC_DTPREL32}), false);
    ASSERT_TRUE(loadInput(in.bytes));
    StubRun run = buildStub(fexports, in.dexports, in.rela, "le.qdl");
    ASSERT_EQ(run.result, 0);
    const std::vector<uint8_t>& image = run.stub.image;
    EXPECT_EQ(image[5], 1);
    StubView v{image, true};
    EXPECT_EQ(v.half(16), 1u);
    EXPECT_EQ(v.half(18), 20u);
    EXPECT_EQ(v.half(48), 6u);
    EXPECT_EQ(v.section(1, kType), SHT_IMPORT_TABLE);
    EXPECT_EQ(v.section(1, kOffset), 64u);
    // The import tables' header words stay as the export tables hold them.
    EXPECT_EQ(v.text(64, 8), std::string("\0\0\0\x01\x01\x02\x03\x04", 8));
    EXPECT_EQ(v.text(v.section(2, kOffset), 8), std::string("\0\0\0\x01\0\0\0\x66", 8));
    const uint32_t symtab = v.section(3, kOffset);
    EXPECT_EQ(v.word(symtab + 32 + 4), 8u);
    EXPECT_EQ(v.half(symtab + 32 + 14), 2u);
    EXPECT_EQ(image[symtab + 32 + 12], 0x16);
}

TEST(ImportStubTest, ExportTableTooShortForItsEntriesIsRefused) {
    // n = 3, but the table ends inside entry 2, where the names lie; a table
    // cut inside entry 1 instead fails on the name of entry 0, read first.
    std::vector<uint8_t> table = exportTable(0x77, {{"a"}, {"b"}});
    writeBe32(table.data(), 3);
    ElfBuilder b;
    const uint32_t fexports = addFunctionExports(b, table);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    StubRun run = buildStub(fexports, 0, 0, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "***Error: export section \".fexports\" (index 1) is too short for its entries. Return -1\n");

    // A count that would wrap a 32-bit sum.
    ElfBuilder huge;
    const uint32_t dexports = addDataExports(huge, bigEndianWords({0x20000000, 0, 0, 0}));
    bytes = huge.build();
    ASSERT_TRUE(loadInput(bytes));
    run = buildStub(0, dexports, 0, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "***Error: export section \".dexports\" (index 1) is too short for its entries. Return -1\n");

    // Fewer than the 8 header bytes.
    ElfBuilder tiny;
    const uint32_t small = addFunctionExports(tiny, {0, 0, 0, 0});
    bytes = tiny.build();
    ASSERT_TRUE(loadInput(bytes));
    run = buildStub(small, 0, 0, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out, "***Error: export section \".fexports\" (index 1) is too short for its entries. Return -1\n");
}

TEST(ImportStubTest, ExportNameOutsideItsTableIsRefused) {
    std::vector<uint8_t> table = exportTable(0x88, {{"a"}, {"b"}});
    writeBe32(table.data() + 20, 0x80000000u | uint32_t(table.size()));  // entry 1 points past the end
    ElfBuilder b;
    const uint32_t fexports = addFunctionExports(b, table);
    std::vector<uint8_t> bytes = b.build();
    ASSERT_TRUE(loadInput(bytes));
    StubRun run = buildStub(fexports, 0, 0, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out,
              "***Error: name of export 1 in section \".fexports\" (index 1) lies outside the section. Return -1\n");

    // The last name runs to the end of the section without its NUL.
    table = exportTable(0x88, {{"abc"}});
    table.pop_back();
    ElfBuilder unterminated;
    const uint32_t dexports = addDataExports(unterminated, table);
    bytes = unterminated.build();
    ASSERT_TRUE(loadInput(bytes));
    run = buildStub(0, dexports, 0, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out,
              "***Error: name of export 0 in section \".dexports\" (index 1) lies outside the section. Return -1\n");
}

TEST(ImportStubTest, RelocationsOutsideTheirSectionAreRefused) {
    DataInput in;
    makeDataInput(in, {{"a"}, {"b"}}, dataExportRelocations({1, 1}));
    ASSERT_TRUE(loadInput(in.bytes));
    // Narrow entries: two counted in 16 bytes, but stepping 12 bytes needs 24.
    inputSectionHeader(in.rela)->sh_size = 16;
    inputSectionHeader(in.rela)->sh_entsize = 8;
    StubRun run = buildStub(0, in.dexports, in.rela, "m.qdl");
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.out,
              "***Error: relocation section \".rela.dexports\" (index " + std::to_string(in.rela) +
                  ") is too short for its 2 entries. Return -1\n");
}

}  // namespace
