// qdldump's check on modules the built qdlgen writes: sound ones pass, and
// each kind of damage is found and named.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "dump/CheckModule.h"
#include "dump/DumpRun.h"
#include "dump/DumpSupport.h"
#include "dump/ImportTables.h"
#include "support/Fixtures.h"
#include "support/ModuleChecker.h"

using namespace dumptest;

namespace {

class ModuleCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite() { demo = new std::vector<uint8_t>(readWholeFile(convertExample() + "/demo.qdl")); }
    static void TearDownTestSuite() { delete demo; }

    // A fresh copy of the demo module, read.
    std::vector<uint8_t> bytes = *demo;
    ModuleImage read() {
        ModuleImage m;
        m.bytes = bytes;
        EXPECT_EQ(readModule(m), kDumpOk);
        return m;
    }
    static std::vector<uint8_t>* demo;
};
std::vector<uint8_t>* ModuleCheck::demo = nullptr;

}  // namespace

TEST_F(ModuleCheck, TheDemoModuleIsSoundAndItsSectionsAreRead) {
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(checkLines(bytes), std::vector<std::string>{});
    const ModuleImage m = read();
    const ModuleSection& text = sectionNamed(m, ".text");
    EXPECT_TRUE(text.compressed);  // the demo's code compresses
    EXPECT_EQ(text.region, Region::text);
    EXPECT_TRUE(text.crcChecked);
    EXPECT_EQ(sectionContents(m, text).size(), text.sizeWord);
    EXPECT_EQ(sectionNamed(m, ".data").region, Region::data);
    EXPECT_EQ(sectionNamed(m, ".fexports").region, Region::load);
    EXPECT_EQ(sectionNamed(m, ".rela.text").region, Region::temp);
    EXPECT_EQ(m.info.magic, kFileInfoMagic);
    EXPECT_EQ(m.info.tags.size(), 1u);
}

TEST_F(ModuleCheck, AFlippedByteInACompressedSectionIsNamed) {
    const ModuleImage m = read();
    const ModuleSection& text = sectionNamed(m, ".text");
    ASSERT_TRUE(text.compressed);
    bytes[text.header.sh_offset + text.header.sh_size / 2] ^= 0x20;
    EXPECT_TRUE(hasFinding(checkLines(bytes), "section 1 \".text\"", "")) << ::testing::PrintToString(checkLines(bytes));
}

TEST_F(ModuleCheck, AFlippedByteInAStoredSectionGivesItsCrc) {
    const ModuleImage m = read();
    const ModuleSection& data = sectionNamed(m, ".data");
    ASSERT_FALSE(data.compressed);
    bytes[data.header.sh_offset] ^= 1;
    const std::vector<std::string> lines = checkLines(bytes);
    EXPECT_TRUE(hasFinding(lines, "section 4 \".data\"", "CRC")) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
}

TEST_F(ModuleCheck, AFlippedByteInFileInfoGivesItsCrc) {
    const ModuleImage m = read();
    const ModuleSection& info = m.sections.back();
    bytes[info.header.sh_offset + 0x61] ^= 0x40;  // in the stored path
    const std::vector<std::string> lines = checkLines(bytes);
    EXPECT_TRUE(hasFinding(lines, sectionLabel(info), "CRC")) << ::testing::PrintToString(lines);
    bytes = *demo;
    bytes[info.header.sh_offset + 0x2F] ^= 0x01;  // the stack size: the CRC and nothing else
    EXPECT_EQ(checkLines(bytes).size(), 1u);
    bytes[info.header.sh_offset + 3] ^= 0x01;  // the magic
    EXPECT_TRUE(hasFinding(checkLines(bytes), "FileInfo", "magic"));
}

TEST_F(ModuleCheck, AWrongSizeWordIsNamed) {
    const ModuleImage m = read();
    const ModuleSection& text = sectionNamed(m, ".text");
    putBe32(bytes, text.header.sh_offset, text.sizeWord - 4);
    EXPECT_TRUE(hasFinding(checkLines(bytes), "section 1 \".text\"", "more than its size word"));
    putBe32(bytes, text.header.sh_offset, text.sizeWord + 4);
    EXPECT_TRUE(hasFinding(checkLines(bytes), "section 1 \".text\"", "its size word says"));
    putBe32(bytes, text.header.sh_offset, 0xFFFFFFF0);  // far beyond what the stream could hold
    EXPECT_TRUE(hasFinding(checkLines(bytes), "section 1 \".text\"", "can inflate to"));
}

TEST_F(ModuleCheck, ASectionMovedOutOfItsRegionIsNamed) {
    // .data's bytes copied behind the TEMP sections at the end of the file.
    const ModuleImage m = read();
    const ModuleSection& data = sectionNamed(m, ".data");
    const size_t moved = bytes.size();
    bytes.resize(moved + 64);
    std::copy_n(bytes.begin() + data.header.sh_offset, data.header.sh_size, bytes.begin() + moved);
    putBe32(bytes, 0x40 + data.index * 40 + 16, uint32_t(moved));
    const std::vector<std::string> lines = checkLines(bytes);
    EXPECT_TRUE(hasFinding(lines, "section 4 \".data\"", "out of the DATA, LOAD, TEXT, TEMP order"))
        << ::testing::PrintToString(lines);
}

TEST_F(ModuleCheck, OverlapsGapsAndTheFileEndAreNamed) {
    const ModuleImage m = read();
    const ModuleSection& rodata = sectionNamed(m, ".rodata");
    const ModuleSection& data = sectionNamed(m, ".data");
    putBe32(bytes, 0x40 + data.index * 40 + 16, rodata.header.sh_offset);
    EXPECT_TRUE(hasFinding(checkLines(bytes), "section 4 \".data\"", "overlap section 3 \".rodata\""));
    bytes = *demo;
    putBe32(bytes, 0x40 + data.index * 40 + 16, data.header.sh_offset + 8);
    EXPECT_TRUE(hasFinding(checkLines(bytes), "section 4 \".data\"", "not on a 64-byte boundary"));
    bytes = *demo;
    bytes.resize(bytes.size() + 64);
    EXPECT_TRUE(hasFinding(checkLines(bytes), "file", "length"));
    bytes.resize(bytes.size() - 128);
    const std::vector<std::string> lines = checkLines(bytes);
    EXPECT_TRUE(hasFinding(lines, "section", "run past the end of the file")) << ::testing::PrintToString(lines);
}

TEST_F(ModuleCheck, FileInfoRegionsMustCoverTheirSections) {
    const ModuleImage m = read();
    const uint32_t info = m.sections.back().header.sh_offset;
    auto setField = [&](uint32_t at, uint32_t value) {
        putBe32(bytes, info + at, value);
        // Keep the FileInfo CRC right, so that only the region rule speaks.
        const uint32_t crcAt = 0x40 + 40 * uint32_t(m.sections.size()) + 4 * uint32_t(m.sections.size() - 1);
        putBe32(bytes, crcAt, uint32_t(crc32(0, bytes.data() + info, uInt(m.sections.back().header.sh_size))));
    };
    setField(0x0C, 4);  // DATA size: .data ends at 0x10000030
    EXPECT_EQ(checkLines(bytes), std::vector<std::string>{"FileInfo DATA: size 0x00000004 does not cover its sections (0x10000000 to 0x10000030)"});
    bytes = *demo;
    setField(0x08, 4);  // TEXT alignment below .text's 32
    EXPECT_TRUE(hasFinding(checkLines(bytes), "FileInfo TEXT", "alignment 4 is below the 32 of section 1"));
    bytes = *demo;
    setField(0x1C, 0);  // TEMP size
    EXPECT_TRUE(hasFinding(checkLines(bytes), "FileInfo TEMP", "is below"));
}

// A section reaching past 4 GiB is named itself; the region's size, which
// the builder sums modulo 2^32 as well, is not blamed for it.
TEST_F(ModuleCheck, ASectionPastTheAddressSpaceIsNamedOnItsOwn) {
    const ModuleImage m = read();
    const uint32_t header = 0x40 + 40 * sectionNamed(m, ".data").index;
    putBe32(bytes, header + 4, SHT_NOBITS);
    putBe32(bytes, header + 16, 0);            // sh_offset
    putBe32(bytes, header + 20, 0xF0000000);   // sh_size: 0x1000002C + this passes 4 GiB
    const std::vector<std::string> lines = checkLines(bytes);
    EXPECT_TRUE(hasFinding(lines, "section 4 \".data\"", "address 0x1000002C and size 0xF0000000 run past the end of the 32-bit address space"))
        << ::testing::PrintToString(lines);
    EXPECT_FALSE(hasFinding(lines, "FileInfo DATA", "does not cover")) << ::testing::PrintToString(lines);
}

TEST_F(ModuleCheck, HeaderFieldsOfTheModuleFormat) {
    bytes[7] = 0;  // EI_OSABI
    bytes[17] = 0x02;  // e_type 0xFE02
    const std::vector<std::string> lines = checkLines(bytes);
    EXPECT_TRUE(hasFinding(lines, "ELF header", "EI_OSABI"));
    EXPECT_TRUE(hasFinding(lines, "ELF header", "e_type is 0x0000FE02"));
}

// Cut-off and hostile headers never crash the reader; each gives a message.
TEST_F(ModuleCheck, HostileSizesAndOffsetsAreBounded) {
    const size_t full = bytes.size();
    for (size_t length : {size_t(0), size_t(3), size_t(51), size_t(52), size_t(0x40), size_t(0x100), full / 2, full - 1}) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + length);
        EXPECT_FALSE(checkLines(cut).empty()) << length;
    }
    bytes[48] = 0xFF;  // e_shnum 0xFF..: the table runs past the end
    EXPECT_TRUE(hasFinding(checkLines(bytes), "section table", "run past the end of the file"));
    bytes = *demo;
    for (size_t i = 1; i < 14; ++i) putBe32(bytes, 0x40 + i * 40 + 20, 0xFFFFFFC0);  // every sh_size
    EXPECT_FALSE(checkLines(bytes).empty());
    bytes = *demo;
    for (size_t i = 1; i < 14; ++i) putBe32(bytes, 0x40 + i * 40 + 16, 0xFFFFFFC0);  // every sh_offset
    EXPECT_FALSE(checkLines(bytes).empty());
}

// A compressed section that claims to inflate to a great deal: the budget of
// the whole file bounds what is inflated, whatever the headers say.
TEST_F(ModuleCheck, InflationIsBoundedByTheFile) {
    std::vector<uint8_t> zeros(4 << 20), stream(compressBound(uLong(zeros.size())));
    uLongf length = uLongf(stream.size());
    ASSERT_EQ(compress2(stream.data(), &length, zeros.data(), uLong(zeros.size()), 9), Z_OK);
    // Point 13 sections at one 4 MB stream: only part of it may be inflated.
    const size_t at = bytes.size();
    bytes.resize(at + 4 + length);
    putBe32(bytes, at, uint32_t(zeros.size()));
    std::copy_n(stream.begin(), length, bytes.begin() + at + 4);
    for (uint32_t i = 1; i <= 11; ++i) {
        putBe32(bytes, 0x40 + i * 40 + 8, SHF_ALLOC | SHF_DEFLATED);
        putBe32(bytes, 0x40 + i * 40 + 16, uint32_t(at));
        putBe32(bytes, 0x40 + i * 40 + 20, uint32_t(4 + length));
    }
    ModuleImage hostile;
    hostile.bytes = bytes;
    ASSERT_EQ(readModule(hostile), kDumpOk);
    size_t inflated = 0;
    for (const ModuleSection& s : hostile.sections) inflated += s.inflated.size();
    EXPECT_LE(inflated, bytes.size() * 1032 + (1 << 20));
    EXPECT_TRUE(hasFinding(checkLines(bytes), "section", "more than the file can hold"));
}

// Every fixture converted, with and without compression: the check agrees
// with the test tree's own reader, which runs it too.
TEST(ModuleCheckFixtures, EveryFixtureModuleIsSound) {
    if (!haveFixture("lib.elf")) GTEST_SKIP() << "the fixtures were not built (no GNU PowerPC toolchain)";
    for (const char* fixture : {"lib.elf", "bigdata.elf", "debug.elf", "qdx.elf", "plain.elf", "lib_le.elf", "tls.elf"}) {
        for (const char* options : {"", "-zx -nolib", "-old -s -nolib"}) {
            SCOPED_TRACE(std::string(fixture) + " " + options);
            const std::string dir = convertFixture(fixture, options);
            const std::string stem = std::filesystem::path(fixture).stem().string();
            const std::string module = dir + "/" + stem + (std::string(fixture) == "qdx.elf" ? ".qdx" : ".qdl");
            EXPECT_EQ(checkLines(readWholeFile(module)), std::vector<std::string>{});
        }
    }
}

// A module linked against another module's import library: its import
// tables' counts and signatures are recomputed, and a wrong one is named.
TEST(ModuleCheckFixtures, ImportTableCountAndSignature) {
    if (!haveFixture("user.o")) GTEST_SKIP() << "the fixtures were not built (no GNU PowerPC toolchain)";
    const std::string dir = convertFixture("lib.elf");
    std::filesystem::copy_file(fixturePath("user.o"), dir + "/user.o");
    std::filesystem::copy_file(fixturePath("module.ld"), dir + "/module.ld");
    const e2e::ToolRun link = e2e::runCommand(
        dir, "powerpc-linux-gnu-ld --emit-relocs -z noexecstack -n -e user_main -T module.ld user.o lib.a -o user.elf");
    ASSERT_EQ(link.exitStatus, 0) << link.errors;
    ASSERT_EQ(e2e::runQdlgen(dir, "-nolib -zx user.elf").exitStatus, 0);
    std::vector<uint8_t> bytes = readWholeFile(dir + "/user.qdl");
    EXPECT_EQ(checkLines(bytes), std::vector<std::string>{});

    ModuleImage m;
    m.bytes = bytes;
    ASSERT_EQ(readModule(m), kDumpOk);
    const std::vector<ModuleSymbol> symbols = readSymbols(m);
    const std::vector<ImportTable> tables = readImportTables(m, symbols);
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].moduleName, "lib.qdl");
    EXPECT_EQ(tables[0].count, 3u);
    EXPECT_EQ(tables[0].computedSignature, tables[0].signature);
    EXPECT_EQ(tables[1].count, 1u);

    const ModuleSection& table = m.sections[tables[0].section];
    const std::string label = sectionLabel(table);
    putBe32(bytes, table.header.sh_offset, 2);  // the count (CRC fixed, so only the table rule speaks)
    const uint32_t n = uint32_t(m.sections.size());
    putBe32(bytes, 0x40 + 40 * n + 4 * table.index,
            uint32_t(crc32(0, bytes.data() + table.header.sh_offset, table.header.sh_size)));
    EXPECT_EQ(checkLines(bytes), std::vector<std::string>{label + ": import count 2 stored, 3 symbols lie in the table"});
    putBe32(bytes, table.header.sh_offset, 3);
    bytes[table.header.sh_offset + 7] ^= 1;  // the signature; now the CRC is wrong as well
    const std::vector<std::string> lines = checkLines(bytes);
    EXPECT_TRUE(hasFinding(lines, label, "import signature")) << ::testing::PrintToString(lines);
    EXPECT_TRUE(hasFinding(lines, label, "CRC")) << ::testing::PrintToString(lines);
}
