// The last steps of the module build on a staged state: the output section
// table, the placement passes with their dump, CRCs and compression, the
// CRC and FileInfo headers, and the file image with its single write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <zlib.h>

#include <filesystem>
#include <random>

#include "driver/VerifyModule.h"
#include "elf/ElfReader.h"
#include "module/FileInfo.h"
#include "module/ModuleBuildSupport.h"
#include "module/PlaceSections.h"
#include "module/RegionLayout.h"
#include "module/SectionTable.h"
#include "module/WriteModule.h"
#include "support/ModuleChecker.h"
#include "symbols/SymbolTestInput.h"
#include "support/TestContext.h"

using namespace symtest;
namespace fs = std::filesystem;

namespace {

// Reads the built input and keeps the listed input sections (in input
// order) as the classification would; FileInfo is a zeroed 0x80-byte record
// with its constant fields, every region size 0.
::testing::AssertionResult stage(ElfBuilder& b, std::vector<uint8_t>& bytes, const std::vector<uint32_t>& kept) {
    if (b.minimumSize < 512) b.minimumSize = 512;
    bytes = b.build();
    ::testing::AssertionResult loaded = loadInput(bytes);
    if (!loaded) return loaded;
    ModuleState& module = ctx.module;
    const uint32_t shnum = ctx.input.image.sectionCount();
    module.indexMap.oldToNew.assign(shnum, -1);
    module.indexMap.oldToNew[0] = 0;
    module.indexMap.newToOld.assign(shnum, 0);
    module.indexMap.keptCount = 1;
    for (uint32_t old : kept) {
        module.indexMap.oldToNew[old] = int32_t(module.indexMap.keptCount);
        module.indexMap.newToOld[module.indexMap.keptCount++] = old;
    }
    FileInfoRecord& info = module.fileInfo;
    info.magic = kFileInfoMagic;
    info.pathOffset = 0x60;
    info.constant5078 = 0x5078;
    info.compressionLevel = uint32_t(-1);
    module.fileInfoSize = 0x80;
    info.bytes.assign(0x80, 0);
    ctx.settings.outputPath = testTempDir() + "/staged.qdl";
    return ::testing::AssertionSuccess();
}

struct Finished {
    int result = 0;
    std::string out;
    std::vector<uint8_t> module;
};

// The steps of this stage in their order, stopping at the first failure.
Finished finishBuild() {
    Finished f;
    beginOutputCapture(&f.out);
    f.result = buildSectionTable(ctx);
    if (f.result == 0) f.result = placeSections(ctx);
    if (f.result == 0) f.result = finishRegionSizes(ctx);
    if (f.result == 0) finishSpecialSections(ctx);
    AtomicFile written;
    if (f.result == 0) f.result = writeModuleFile(ctx, written);
    // The check of the written module is not part of this stage: the file
    // takes its name at once.
    if (f.result == 0) {
        EXPECT_EQ(atomicFileRename(written), 0);
    }
    endOutputCapture();
    f.module = readWholeFile(ctx.settings.outputPath);
    return f;
}

CheckedModule checked(const std::vector<uint8_t>& bytes) {
    CheckedModule module;
    module.regionsSetByHand = true;  // the tests stage FileInfo's sizes themselves
    for (const std::string& problem : checkModule(bytes, module)) ADD_FAILURE() << problem;
    return module;
}

uint32_t streamLength(const std::vector<uint8_t>& data, int level = -1) {
    uLongf length = compressBound(uLong(data.size()));
    std::vector<uint8_t> stream(length);
    EXPECT_EQ(compress2(stream.data(), &length, data.data(), uLong(data.size()), level), Z_OK);
    return uint32_t(length);
}

std::vector<uint8_t> counting(uint32_t size) {
    std::vector<uint8_t> data(size);
    for (uint32_t k = 0; k < size; ++k) data[k] = uint8_t(k + 1);
    return data;
}

std::vector<uint8_t> randomBytes(size_t size, unsigned seed) {
    std::vector<uint8_t> data(size);
    std::mt19937 random(seed);
    for (auto& b : data) b = uint8_t(random());
    return data;
}

// Sections of every group:
//   1 .text     code at 0x02000000, 16 bytes
//   2 .data     256 zero bytes at 0x10000000
//   3 .bss      NOBITS, 64 bytes at 0x10000100
//   4 .rodata   read-only, 20 bytes at 0x10000200
//   5 .fexports export table at 0xC0000000, 16 bytes
//   6 .symtab (null + main), 7 .strtab, 8 .rela.text, 9 .shstrtab
struct GroupsInput {
    ElfBuilder b;
    uint32_t text, data, bss, rodata, exports, symtab, strtab, rela, names;
};

GroupsInput groupsInput(bool bigEndian = true) {
    GroupsInput g;
    g.b.bigEndian = bigEndian;
    g.b.flags = 0x8000;
    g.b.entry = 0x02000004;
    g.text = g.b.addSection({.name = ".text", .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000000,
                             .data = g.b.words({0x38600000, 0x4E800020, 0x60000000, 0x60000000}), .addralign = 4});
    g.data = g.b.addSection({.name = ".data", .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000000,
                             .data = std::vector<uint8_t>(256, 0), .addralign = 8});
    g.bss = g.b.addSection(
        {.name = ".bss", .type = SHT_NOBITS, .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000100, .size = 64, .addralign = 8});
    g.rodata = g.b.addSection({.name = ".rodata", .flags = SHF_ALLOC, .addr = 0x10000200, .data = counting(20)});
    g.exports = g.b.addSection({.name = ".fexports", .type = SHT_EXPORT_TABLE, .flags = SHF_ALLOC, .addr = 0xC0000000,
                                .data = std::vector<uint8_t>(16, 0), .addralign = 4});
    g.symtab = g.b.addSymbolTable(
        {{.name = "main", .value = 0x02000000, .size = 8, .info = symbolInfo(STB_GLOBAL, STT_FUNC), .shndx = 1}});
    g.strtab = g.symtab + 1;
    g.rela = g.b.addRela(g.text, {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_ADDR32}}, g.symtab);
    g.names = g.rela + 1;
    return g;
}

// The region sizes and alignments of the groups input.
void setGroupSizes() {
    ModuleState& module = ctx.module;
    module.fileInfo.dataSize = 0x240;
    module.fileInfo.loadSize = 0x10;
    module.fileInfo.textSize = 0x40;
    module.fileInfo.tempSize = 0x140;
    module.fileInfo.trampAdj = 0x20;
    module.regions[DATA].align = 8;
    module.regions[LOAD].align = 4;
    module.regions[TEXT].align = 16;
}

std::vector<uint8_t> sliceOf(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    return std::vector<uint8_t>(bytes.begin() + long(offset), bytes.begin() + long(offset + length));
}

}  // namespace

TEST(ModuleFile, NoKeptSectionGivesTheThreeEntryTable) {
    for (bool bigEndian : {true, false}) {
        BasicInput basic = makeBasicInput(bigEndian);
        basic.builder.withSectionNames = false;
        basic.builder.flags = 0x12345678;
        basic.builder.entry = 0x02000008;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(stage(basic.builder, bytes, {}));
        ctx.settings.verbose = true;
        ctx.module.fileInfoSize = 150;
        ctx.module.fileInfo.bytes.assign(150, 0);
        const Finished f = finishBuild();
        ASSERT_EQ(f.result, 0) << f.out;
        EXPECT_EQ(f.out,
                  "--CRCS------------------\n"
                  "01: t80000003 a00000000 m0000000C z0000000C offset 000000B8 ....\n"
                  "--FILEINFO--------------\n"
                  "02: t80000004 a00000000 m00000096 z00000096 offset 00000100 ....\n");
        // 0x100 + 150 rounded up to 64.
        ASSERT_EQ(f.module.size(), 0x1C0u);
        const CheckedModule module = checked(f.module);
        const std::vector<uint8_t>& m = f.module;
        auto u16 = [&](size_t at) { return uint16_t(bigEndian ? readBe16(&m[at]) : m[at] | m[at + 1] << 8); };
        auto u32 = [&](size_t at) { return bigEndian ? readBe32(&m[at]) : readLe32(&m[at]); };
        EXPECT_EQ(sliceOf(m, 0, 7), sliceOf(bytes, 0, 7));  // magic, class, data, version
        EXPECT_EQ(m[7], 0xB7);
        EXPECT_EQ(m[8], 0x1E);
        EXPECT_EQ(u16(0x10), 0xFE01);
        EXPECT_EQ(u16(0x12), EM_PPC);
        EXPECT_EQ(u32(0x14), 1u);
        EXPECT_EQ(u32(0x18), 0x02000008u);
        EXPECT_EQ(u32(0x1C), 0u);
        EXPECT_EQ(u32(0x20), 0x40u);
        EXPECT_EQ(u32(0x24), 0u);
        EXPECT_EQ(u16(0x28), 0x34);
        EXPECT_EQ(u16(0x2A), 0);
        EXPECT_EQ(u16(0x2C), 0);
        EXPECT_EQ(u16(0x2E), 40);
        EXPECT_EQ(u16(0x30), 3);
        EXPECT_EQ(u16(0x32), 0);
        // The CRCs section right behind the table, FileInfo on the next boundary.
        EXPECT_EQ(u32(0x68 + 4), SHT_SECTION_CRCS);
        EXPECT_EQ(u32(0x68 + 16), 0xB8u);
        EXPECT_EQ(u32(0x68 + 20), 12u);
        EXPECT_EQ(u32(0x68 + 32), 4u);
        EXPECT_EQ(u32(0x68 + 36), 4u);
        EXPECT_EQ(u32(0x90 + 4), SHT_FILE_INFO);
        EXPECT_EQ(u32(0x90 + 16), 0x100u);
        EXPECT_EQ(u32(0x90 + 20), 150u);
        EXPECT_EQ(u32(0x90 + 32), 4u);
        EXPECT_EQ(u32(0x90 + 36), 0u);
        // CRC words big-endian whatever the byte order: 0, 0, then FileInfo's.
        const std::vector<uint8_t> info = sliceOf(m, 0x100, 150);
        EXPECT_EQ(info, fileInfoBytesForFile(ctx));
        EXPECT_EQ(readBe32(&m[0xB8]), 0u);
        EXPECT_EQ(readBe32(&m[0xBC]), 0u);
        EXPECT_EQ(readBe32(&m[0xC0]), uint32_t(crc32(0, info.data(), 150)));
        // With nothing placed, alignments of the passes that did not run are 4.
        EXPECT_EQ(readBe32(&info[0x08]), 4u);
        EXPECT_EQ(readBe32(&info[0x10]), 4u);
        EXPECT_EQ(readBe32(&info[0x18]), 4u);
        EXPECT_EQ(module.expectedLength, m.size());
    }
}

TEST(ModuleFile, PlacementDumpOfEveryGroup) {
    GroupsInput g = groupsInput();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(stage(g.b, bytes, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_EQ(g.b.layout().sectionSizes[g.strtab], 6u);
    ASSERT_EQ(g.b.layout().sectionSizes[g.names], 0x49u);
    const std::vector<uint8_t> pristine = [&] {
        ElfBuilder copy = g.b;
        return copy.build();
    }();
    setGroupSizes();
    ctx.settings.verbose = true;
    ctx.settings.compress = false;
    const Finished f = finishBuild();
    ASSERT_EQ(f.result, 0) << f.out;
    EXPECT_EQ(f.out,
              "--DATA------------------\n"
              "02: t00000001 a10000000 m00000100 z00000100 offset 00000300 a.w.\n"
              "03: t00000008 a10000100 m00000040 z-------- offset -------- a.w.\n"
              "04: t00000001 a10000200 m00000014 z00000014 offset 00000400 a.w.\n"
              "00000300-00000440, size 00000140, mem 00000240\n"
              "--LOAD------------------\n"
              "05: t80000001 aC0000000 m00000010 z00000010 offset 00000440 a...\n"
              "00000440-00000480, size 00000040, mem 00000010\n"
              "--TEXT------------------\n"
              "01: t00000001 a02000000 m00000010 z00000010 offset 00000480 ax..\n"
              "00000480-000004C0, size 00000040, mem 00000040\n"
              "TrampAdj 00000020\n"
              "--TEMP------------------\n"
              "06: t00000002 a00000000 m00000020 z00000020 offset 000004C0 ....\n"
              "07: t00000003 a00000000 m00000006 z00000006 offset 00000500 ....\n"
              "08: t00000004 a00000000 m0000000C z0000000C offset 00000540 ....\n"
              "09: t00000003 a00000000 m00000049 z00000049 offset 00000580 ....\n"
              "000004C0-00000600, size 00000140, mem 00000140\n"
              "--CRCS------------------\n"
              "10: t80000003 a00000000 m00000030 z00000030 offset 00000220 ....\n"
              "--FILEINFO--------------\n"
              "11: t80000004 a00000000 m00000080 z00000080 offset 00000280 ....\n");
    EXPECT_EQ(ctx.module.tempStoredTotal, 0x20u + 6 + 0xC + 0x49);
    ASSERT_EQ(f.module.size(), 0x600u);
    const CheckedModule module = checked(f.module);
    EXPECT_EQ(module.shstrndx, 9);
    EXPECT_EQ(module.sections[3].offset, 0u);  // NOBITS written with offset 0
    EXPECT_EQ(module.crcs[3], 0u);
    EXPECT_EQ(module.sections[4].flags, SHF_ALLOC | SHF_WRITE);  // read-only data made writable
    EXPECT_EQ(module.sections[5].flags, SHF_ALLOC);              // LOAD keeps its flags
    EXPECT_EQ(module.info.dataAlign, 8u);
    EXPECT_EQ(module.info.loadAlign, 4u);
    EXPECT_EQ(module.info.textAlign, 16u);
    // Symbols and relocations back in the file's byte order, converted once:
    // the same bytes as the input's.
    const ElfLayout& layout = g.b.layout();
    EXPECT_EQ(sliceOf(f.module, 0x4C0, 0x20), sliceOf(pristine, layout.sectionOffsets[g.symtab], 0x20));
    EXPECT_EQ(sliceOf(f.module, 0x540, 0xC), sliceOf(pristine, layout.sectionOffsets[g.rela], 0xC));
    EXPECT_EQ(module.sections[8].link, 6u);
    EXPECT_EQ(module.sections[8].info, 1u);
    // All gaps are zero.
    for (size_t at = 0x440 + 16; at < 0x480; ++at) ASSERT_EQ(f.module[at], 0) << at;
}

TEST(ModuleFile, CompressedSectionLinesAndTheNameTableInTemp) {
    GroupsInput g = groupsInput();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(stage(g.b, bytes, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    setGroupSizes();
    ctx.settings.verbose = true;
    const Finished f = finishBuild();
    ASSERT_EQ(f.result, 0) << f.out;
    const uint32_t stored = 4 + streamLength(std::vector<uint8_t>(256, 0));
    ASSERT_LT(stored, 64u);
    char line[100];
    snprintf(line, sizeof line, "02: t00000001 a10000000 m00000100 z%08X offset 00000300 a.wz\n", stored);
    EXPECT_TRUE(contains(f.out, line)) << f.out;
    // The section behind it starts on the next 64-byte boundary.
    EXPECT_TRUE(contains(f.out, "03: t00000008 a10000100 m00000040 z-------- offset -------- a.w.\n"
                                "04: t00000001 a10000200 m00000014 z00000014 offset 00000340 a.w.\n"))
        << f.out;
    // The section-name table is stored as it is in the TEMP pass, large and
    // compressible as it is; the strings table beside it is not 32 bytes.
    EXPECT_TRUE(contains(f.out, "09: t00000003 a00000000 m00000049 z00000049 offset"));
    const CheckedModule module = checked(f.module);
    EXPECT_NE(module.sections[2].flags & SHF_DEFLATED, 0u);
    EXPECT_EQ(module.sections[2].size, stored);
    EXPECT_EQ(module.sections[2].contents, std::vector<uint8_t>(256, 0));
    EXPECT_EQ(module.crcs[2], uint32_t(crc32(0, module.sections[2].contents.data(), 256)));
    EXPECT_EQ(module.sections[9].flags & SHF_DEFLATED, 0u);
    EXPECT_EQ(module.info.compressionLevel, 0xFFFFFFFFu);
}

TEST(ModuleFile, NameTableIsCompressedInLoadButNeverInTemp) {
    for (bool inLoad : {false, true}) {
        ElfBuilder b;
        b.addSection({.name = ".text", .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000000,
                      .data = b.words({0x4E800020}), .addralign = 4});
        b.addSection({.name = ".note." + std::string(300, 'n'), .data = std::vector<uint8_t>(400, 0)});
        const uint32_t symtab = b.addSymbolTable({});
        b.addRela(1, {{.r_offset = 0x02000000, .symbol = 0, .type = R_PPC_NONE}}, symtab);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(stage(b, bytes, {1, 2, 3, 4, 5, 6}));
        const uint32_t names = 6;
        ASSERT_EQ(ctx.input.image.header().e_shstrndx, names);
        ModuleState& module = ctx.module;
        module.fileInfo.textSize = 0x10;
        module.fileInfo.tempSize = 0x1000;
        if (inLoad) {
            inputSectionHeader(ctx, names)->sh_flags |= SHF_ALLOC;
            inputSectionHeader(ctx, names)->sh_addr = 0xC0000000;
            module.fileInfo.loadSize = 0x400;
        }
        const Finished f = finishBuild();
        ASSERT_EQ(f.result, 0) << f.out;
        const CheckedModule written = checked(f.module);
        EXPECT_EQ(written.sections[names].flags & SHF_DEFLATED, inLoad ? SHF_DEFLATED : 0u) << inLoad;
        EXPECT_NE(written.sections[2].flags & SHF_DEFLATED, 0u);  // the other TEMP section is compressed
        EXPECT_EQ(written.sections[names].contents,
                  sliceOf(bytes, b.layout().sectionOffsets[names], b.layout().sectionSizes[names]));
    }
}

TEST(ModuleFile, EmptyDataRegionStillPlacesTheLoadGroup) {
    GroupsInput g = groupsInput();
    std::vector<uint8_t> bytes;
    // No data sections: text, the export table and the TEMP tables.
    ASSERT_TRUE(stage(g.b, bytes, {g.text, g.exports, g.symtab, g.strtab, g.rela, g.names}));
    setGroupSizes();
    ctx.module.fileInfo.dataSize = 0;
    ctx.settings.verbose = true;
    ctx.settings.compress = false;
    const Finished f = finishBuild();
    ASSERT_EQ(f.result, 0) << f.out;
    // N = 9: CRCs at 0x1A8, FileInfo at 0x200, the groups from 0x280.
    EXPECT_EQ(f.out.find("--DATA"), std::string::npos) << f.out;
    EXPECT_EQ(f.out.rfind("--LOAD------------------\n"
                          "02: t80000001 aC0000000 m00000010 z00000010 offset 00000280 a...\n"
                          "00000280-000002C0, size 00000040, mem 00000010\n",
                          0),
              0u)
        << f.out;
    const CheckedModule module = checked(f.module);
    EXPECT_EQ(module.info.dataAlign, 4u);
    EXPECT_EQ(module.info.loadAlign, 4u);
    // The re-read check of the driver accepts the module.
    std::vector<uint8_t> copy = f.module;
    ElfImage image;
    ASSERT_EQ(readElfImage(copy.data(), uint32_t(copy.size()), &image), 0u);
    std::string out;
    beginOutputCapture(&out);
    EXPECT_EQ(verifyModuleLayout(copy.data(), uint32_t(copy.size())), 0);
    endOutputCapture();
    EXPECT_EQ(out, "");
}

TEST(ModuleFile, PassesThatDoNotRunSetAlignmentFourAndTempTakesTheRest) {
    GroupsInput g = groupsInput();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(stage(g.b, bytes, {g.text, g.rodata, g.exports, g.symtab}));
    setGroupSizes();
    ModuleState& module = ctx.module;
    module.fileInfo.dataSize = 0;
    module.fileInfo.loadSize = 0;
    ctx.settings.compress = false;
    const Finished f = finishBuild();
    ASSERT_EQ(f.result, 0) << f.out;
    EXPECT_EQ(module.fileInfo.dataAlign, 4u);
    EXPECT_EQ(module.fileInfo.loadAlign, 4u);
    EXPECT_EQ(module.fileInfo.textAlign, 16u);
    // TEXT first, then TEMP takes what no pass placed, in index order.
    const Elf32_Shdr* out = module.outputSections.data();
    EXPECT_EQ(out[1].sh_offset, 0x200u);  // .text; N = 7, FileInfo at 0x180
    EXPECT_EQ(out[2].sh_offset, 0x240u);  // .rodata, without the DATA write flag
    EXPECT_EQ(out[2].sh_flags, SHF_ALLOC);
    EXPECT_EQ(out[3].sh_offset, 0x280u);  // .fexports
    EXPECT_EQ(out[4].sh_offset, 0x2C0u);  // .symtab
    EXPECT_EQ(module.tempStoredTotal, 20u + 16 + 32);
    EXPECT_EQ(f.module.size(), 0x300u);
}

TEST(ModuleFile, CompressedOnlyWhenTheStreamAndSizeWordAreStrictlySmaller) {
    // A section whose stream plus the 4-byte size word is exactly its size.
    bool found = false;
    for (uint32_t size = 48; size < 400 && !found; ++size) {
        for (uint32_t noisy = 0; noisy < size && !found; ++noisy) {
            std::vector<uint8_t> data = randomBytes(size, size);
            std::fill(data.begin() + noisy, data.end(), 0);
            if (streamLength(data) + 4 != size) continue;
            found = true;
            const CompressedSection result = compressSection(data.data(), size, -1);
            EXPECT_EQ(result.status, Z_OK);
            EXPECT_FALSE(result.deflated);
            EXPECT_TRUE(result.stored.empty());
            // One byte more of zeros and it pays.
            data.push_back(0);
            const CompressedSection longer = compressSection(data.data(), size + 1, -1);
            if (streamLength(data) + 4 < size + 1) {
                EXPECT_TRUE(longer.deflated);
                ASSERT_EQ(longer.stored.size(), streamLength(data) + 4);
                EXPECT_EQ(readBe32(longer.stored.data()), size + 1);
            }
        }
    }
    EXPECT_TRUE(found);
}

TEST(ModuleFile, IncompressibleSectionsAreStoredWhateverTheThreadCount) {
    // Two incompressible sections of 4 MB around compressible ones: at level
    // 1 their streams need more than size + 1024 bytes, so they are stored as
    // they are, and the module and its dump are the same for every thread
    // count.
    const std::vector<uint8_t> noise = randomBytes(4u << 20, 3);
    std::string firstOut;
    std::vector<uint8_t> firstModule;
    for (const char* jobs : {"1", "2", "8"}) {
        ElfBuilder b;
        b.addSection({.name = ".text", .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000000,
                      .data = b.words({0x4E800020}), .addralign = 4});
        b.addSection({.name = ".small", .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000000,
                      .data = std::vector<uint8_t>(64, 0)});
        b.addSection({.name = ".noise1", .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10001000, .data = noise});
        b.addSection({.name = ".zeros", .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10800000,
                      .data = std::vector<uint8_t>(4096, 0)});
        b.addSection({.name = ".noise2", .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x11000000, .data = noise});
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(stage(b, bytes, {1, 2, 3, 4, 5, b.sectionCount()}));
        ctx.module.fileInfo.dataSize = 0x01400000;
        ctx.module.fileInfo.textSize = 0x10;
        ctx.settings.verbose = true;
        ctx.settings.compressionLevel = 1;
        setenv("QDLGEN_JOBS", jobs, 1);
        const Finished f = finishBuild();
        unsetenv("QDLGEN_JOBS");
        ASSERT_EQ(f.result, 0) << jobs << f.out;
        const uint32_t small = 4 + streamLength(std::vector<uint8_t>(64, 0), 1);
        char expected[200];
        snprintf(expected, sizeof expected,
                 "--DATA------------------\n"
                 "02: t00000001 a10000000 m00000040 z%08X offset 00000280 a.wz\n"
                 "03: t00000001 a10001000 m00400000 z00400000 offset 000002C0 a.w.\n",
                 small);
        EXPECT_TRUE(f.out.starts_with(expected)) << jobs << f.out;
        const CheckedModule module = checked(f.module);
        EXPECT_EQ(module.sections[3].contents, noise);
        EXPECT_EQ(module.sections[5].contents, noise);
        EXPECT_EQ(module.sections[5].flags & SHF_DEFLATED, 0u);
        EXPECT_NE(module.sections[4].flags & SHF_DEFLATED, 0u);
        if (firstModule.empty()) {
            firstModule = f.module;
            firstOut = f.out;
        } else {
            EXPECT_EQ(f.module, firstModule) << jobs;
            EXPECT_EQ(f.out, firstOut) << jobs;
        }
    }
}

TEST(ModuleFile, AnyZlibFailureStatusIsTheResult) {
    GroupsInput g = groupsInput();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(stage(g.b, bytes, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    setGroupSizes();
    ctx.settings.compressionLevel = 10;  // zlib refuses the level
    const Finished f = finishBuild();
    EXPECT_EQ(f.result, Z_STREAM_ERROR);
    EXPECT_EQ(f.out, "***Error during compression FFFFFFFE\n");
    EXPECT_TRUE(f.module.empty());
}

TEST(ModuleFile, BytesBeyondASectionsContentsAreZero) {
    for (bool compress : {false, true}) {
        GroupsInput g = groupsInput();
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(stage(g.b, bytes, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
        setGroupSizes();
        ctx.settings.compress = compress;
        // Contents of their own, shorter than the section: the rest reads as zero.
        std::vector<uint8_t> own = {0xAA, 0xBB, 0xCC};
        replaceSectionContents(ctx, g.data, own);
        // A section whose size reaches past the end of the input file.
        Elf32_Shdr* text = inputSectionHeader(ctx, g.text);
        text->sh_size = uint32_t(bytes.size()) - text->sh_offset + 40;
        ctx.module.fileInfo.textSize = text->sh_size;
        const Finished f = finishBuild();
        ASSERT_EQ(f.result, 0) << f.out;
        const CheckedModule module = checked(f.module);
        std::vector<uint8_t> expected(256, 0);
        std::copy(own.begin(), own.end(), expected.begin());
        EXPECT_EQ(module.sections[2].contents, expected);
        EXPECT_EQ(module.crcs[2], uint32_t(crc32(0, expected.data(), 256)));
        std::vector<uint8_t> code = sliceOf(bytes, text->sh_offset, bytes.size() - text->sh_offset);
        code.resize(code.size() + 40, 0);
        EXPECT_EQ(module.sections[1].contents, code);
    }
}

TEST(ModuleFile, NobitsOutsideTheDataGroupIsNeverCompressed) {
    ElfBuilder b;
    b.addSection({.name = ".text", .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000000,
                  .data = b.words({0x4E800020}), .addralign = 4});
    const uint32_t scratch = b.addSection({.name = ".scratch", .type = SHT_NOBITS, .size = 0x1000});
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(stage(b, bytes, {1, scratch, b.sectionCount()}));
    ctx.module.fileInfo.textSize = 0x10;
    ctx.module.fileInfo.tempSize = 0x1000;
    ctx.settings.verbose = true;
    const Finished f = finishBuild();
    ASSERT_EQ(f.result, 0) << f.out;
    EXPECT_TRUE(contains(f.out, "02: t00000008 a00000000 m00001000 z00001000 offset 00000240 ....\n")) << f.out;
    const CheckedModule module = checked(f.module);
    EXPECT_EQ(module.sections[2].flags, 0u);
    EXPECT_EQ(module.sections[2].size, 0x1000u);
    EXPECT_EQ(module.sections[2].offset, 0u);
    EXPECT_EQ(module.crcs[2], 0u);
}

TEST(ModuleFile, SectionTableRemapsIndicesAndRestoresTheFileByteOrder) {
    for (bool bigEndian : {true, false}) {
        ElfBuilder b;
        b.bigEndian = bigEndian;
        const uint32_t text = b.addSection({.name = ".text", .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000000,
                                            .data = b.words({0x4E800020, 0}), .addralign = 4});
        const uint32_t gone = b.addSection(
            {.name = ".gone", .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000000, .data = b.words({1}), .addralign = 4});
        const uint32_t data = b.addSection(
            {.name = ".data", .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000100, .data = b.words({2, 3}), .addralign = 4});
        const uint32_t symtab = b.addSymbolTable({
            {.name = "main", .value = 0x02000000, .size = 4, .info = symbolInfo(STB_GLOBAL, STT_FUNC), .shndx = uint16_t(text)},
            {.name = "lost", .value = 0x10000000, .size = 4, .info = symbolInfo(STB_GLOBAL, STT_OBJECT), .shndx = uint16_t(gone)},
            {.name = "word", .value = 0x10000100, .size = 4, .info = symbolInfo(STB_GLOBAL, STT_OBJECT), .shndx = uint16_t(data)},
            {.name = "limit", .value = 0x1234, .info = symbolInfo(STB_GLOBAL, STT_NOTYPE), .shndx = SHN_ABS},
        });
        const uint32_t strtab = symtab + 1;
        const uint32_t rela = b.addRela(data, {{.r_offset = 0x10000100, .symbol = 1, .type = R_PPC_ADDR32, .r_addend = 8}}, symtab);
        const uint32_t rel = b.addRel(data, {{.r_offset = 4, .symbol = 3, .type = R_PPC_ADDR32}}, symtab);
        b.section(rel).flags = SHF_ALLOC;
        b.section(rel).addr = 0x10000200;
        const uint32_t names = rel + 1;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(stage(b, bytes, {text, data, symtab, strtab, rela, rel, names}));
        const ElfLayout layout = b.layout();
        ElfBuilder copy = b;
        const std::vector<uint8_t> pristine = copy.build();
        ASSERT_EQ(buildSectionTable(ctx), 0);
        const ModuleState& module = ctx.module;
        ASSERT_EQ(module.outputSections.size(), 10u);
        EXPECT_EQ(module.outputShstrndx, 7);
        // Symbol table: its string table's new index; relocations: the new
        // symbol table and target; the REL section's links stay as they are.
        EXPECT_EQ(module.outputSections[3].sh_link, 4u);
        EXPECT_EQ(module.outputSections[5].sh_link, 3u);
        EXPECT_EQ(module.outputSections[5].sh_info, 2u);
        EXPECT_EQ(module.outputSections[6].sh_link, symtab);
        EXPECT_EQ(module.outputSections[6].sh_info, data);
        for (uint32_t i = 1; i <= 7; ++i) EXPECT_EQ(module.outputSections[i].sh_offset, 0u) << i;
        // Symbols in the file's byte order with their sections renumbered; a
        // dropped section gives 0xFFFF, a reserved index stays.
        const uint8_t* symbols = sectionContents(ctx, symtab);
        auto half = [&](const uint8_t* p) { return bigEndian ? readBe16(p) : uint16_t(p[0] | p[1] << 8); };
        EXPECT_EQ(half(symbols + 16 * 1 + 14), 1);
        EXPECT_EQ(half(symbols + 16 * 2 + 14), 0xFFFF);
        EXPECT_EQ(half(symbols + 16 * 3 + 14), 2);
        EXPECT_EQ(half(symbols + 16 * 4 + 14), SHN_ABS);
        for (uint32_t k = 0; k < 5; ++k) {
            std::vector<uint8_t> expected = sliceOf(pristine, layout.sectionOffsets[symtab] + 16 * k, 14);
            EXPECT_EQ(std::vector<uint8_t>(symbols + 16 * k, symbols + 16 * k + 14), expected) << k;
        }
        // Relocation entries of both kinds as the input file holds them.
        EXPECT_EQ(std::vector<uint8_t>(sectionContents(ctx, rela), sectionContents(ctx, rela) + 12),
                  sliceOf(pristine, layout.sectionOffsets[rela], 12));
        EXPECT_EQ(std::vector<uint8_t>(sectionContents(ctx, rel), sectionContents(ctx, rel) + 8),
                  sliceOf(pristine, layout.sectionOffsets[rel], 8));
    }
}

TEST(ModuleFile, ThreadCountDoesNotChangeTheModuleOrTheDump) {
    ElfBuilder b;
    b.addSection({.name = ".text", .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000000,
                  .data = randomBytes(300000, 9), .addralign = 64});
    std::vector<uint32_t> kept = {1};
    for (uint32_t k = 0; k < 24; ++k) {
        std::vector<uint8_t> data = randomBytes(1000 + 37000 * (k % 5), k);
        for (size_t at = 0; at < data.size(); ++at)
            if ((at / (k + 1)) % 3) data[at] = uint8_t(at >> 4);
        const bool load = k % 4 == 3;
        kept.push_back(b.addSection({.name = ".s" + std::to_string(k), .flags = k % 6 == 5 ? 0u : SHF_ALLOC,
                                     .addr = (load ? 0xC0000000 : 0x10000000) + 0x100000 * k, .data = data}));
    }
    kept.push_back(b.sectionCount());  // the section-name table
    std::vector<uint8_t> sequential, sequentialOut;
    for (const char* jobs : std::initializer_list<const char*>{"1", nullptr, "3"}) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(stage(b, bytes, kept));
        setGroupSizes();
        ctx.module.fileInfo.textSize = 300000;
        ctx.settings.verbose = true;
        if (jobs)
            setenv("QDLGEN_JOBS", jobs, 1);
        else
            unsetenv("QDLGEN_JOBS");
        const Finished f = finishBuild();
        unsetenv("QDLGEN_JOBS");
        ASSERT_EQ(f.result, 0) << f.out;
        checked(f.module);
        if (sequential.empty()) {
            sequential = f.module;
            sequentialOut.assign(f.out.begin(), f.out.end());
            continue;
        }
        EXPECT_TRUE(f.module == sequential) << (jobs ? jobs : "default");
        EXPECT_EQ(f.out, std::string(sequentialOut.begin(), sequentialOut.end()));
    }
}

TEST(ModuleFile, FailedWriteLeavesTheOlderModuleByteForByte) {
    GroupsInput g = groupsInput();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(stage(g.b, bytes, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    setGroupSizes();
    const std::vector<uint8_t> older = randomBytes(3000, 5);
    const std::string path = writeTempFile(older, "staged.qdl");
    ASSERT_EQ(path, ctx.settings.outputPath);
    // The file size limit stops the write part way through.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 512;
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const Finished f = finishBuild();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.out, "***Error: Failed writing output file.\n");
    EXPECT_EQ(readWholeFile(path), older);
    for (const auto& entry : fs::directory_iterator(testTempDir()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST(ModuleFile, OutputThatCannotBeCreated) {
    GroupsInput g = groupsInput();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(stage(g.b, bytes, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    setGroupSizes();
    ctx.settings.outputPath = testTempDir() + "/missing/dir/app.qdl";
    const Finished f = finishBuild();
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.out, "***Error: Could not open outfile file for writing.\n");
    EXPECT_FALSE(fs::exists(testTempDir() + "/missing"));
}

TEST(ModuleFile, HeaderGivesTheTablesEntrySizeWhenTheInputLeftItZero) {
    for (bool bigEndian : {true, false}) {
        BasicInput basic = makeBasicInput(bigEndian);
        basic.builder.force.e_shentsize = 0;  // 0 means 40 to the reader
        const BuildRun run = buildInProcess(basic.builder.build(), {});
        ASSERT_EQ(run.result, 0) << run.out;
        ASSERT_GT(run.module.size(), 0x30u);
        const uint16_t entrySize = bigEndian ? uint16_t(run.module[0x2E] << 8 | run.module[0x2F])
                                             : uint16_t(run.module[0x2F] << 8 | run.module[0x2E]);
        EXPECT_EQ(entrySize, 40) << bigEndian;
        CheckedModule module;
        const std::vector<std::string> problems = checkModule(run.module, module);
        EXPECT_TRUE(problems.empty()) << problems.front();
    }
}
