// The placement of sections: the groups in their order, 64-byte boundaries,
// compression and when it pays, the placement dump, CRCs; through whole
// in-process builds and on a staged state.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "driver/VerifyModule.h"
#include "elf/ElfReader.h"
#include "deflate/RunPieces.h"
#include "module/CompressionJobs.h"
#include "module/ModuleBuildSupport.h"
#include "module/PlaceSections.h"
#include "module/StagedModule.h"
#include "support/TestContext.h"
#include "symbols/SymbolTestInput.h"

using namespace symtest;
using namespace moduletest;

namespace {

// The basic input with one more allocated data section of `size` bytes.
std::vector<uint8_t> inputWithData(uint32_t size, uint8_t fill = 0, uint32_t flags = SHF_ALLOC | SHF_WRITE,
                                   uint32_t addr = 0x10001000) {
    BasicInput basic = makeBasicInput();
    TestSection extra;
    extra.name = ".extra";
    extra.flags = flags;
    extra.addr = addr;
    extra.data.assign(size, fill);
    extra.addralign = 4;
    basic.builder.addSection(extra);
    return basic.builder.build();
}

// Adds an allocated, writable data section.
void addDataSection(BasicInput& basic, const std::string& name, uint32_t addr, std::vector<uint8_t> data) {
    TestSection extra;
    extra.name = name;
    extra.flags = SHF_ALLOC | SHF_WRITE;
    extra.addr = addr;
    extra.addralign = 4;
    extra.data = std::move(data);
    basic.builder.addSection(extra);
}

const CheckedSection* sectionNamed(const CheckedModule& module, const std::string& name) {
    const int index = module.findSection(name);
    return index > 0 ? &module.sections[index] : nullptr;
}

CheckedModule soundModule(const BuildRun& run) {
    CheckedModule module;
    for (const std::string& problem : checkModule(run.module, module)) ADD_FAILURE() << problem;
    return module;
}

}  // namespace

TEST(SectionPlacement, SmallSectionsAreNeverCompressedFrom32BytesTheyAreTried) {
    BuildRun small = buildInProcess(inputWithData(31), {});
    ASSERT_EQ(small.result, 0) << small.out;
    EXPECT_EQ(sectionNamed(soundModule(small), ".extra")->flags & SHF_DEFLATED, 0u);

    BuildRun tried = buildInProcess(inputWithData(32), {});
    ASSERT_EQ(tried.result, 0) << tried.out;
    const CheckedModule module = soundModule(tried);
    const CheckedSection* extra = sectionNamed(module, ".extra");
    ASSERT_NE(extra, nullptr);
    // 32 zero bytes deflate to 10 bytes: 4 + 10 < 32.
    EXPECT_NE(extra->flags & SHF_DEFLATED, 0u);
    EXPECT_EQ(extra->contents, std::vector<uint8_t>(32, 0));
}

TEST(SectionPlacement, CompressedOnlyWhenStrictlySmaller) {
    // Find a section whose stream plus its size word is exactly as long as it is.
    std::mt19937 random(7);
    for (uint32_t size = 32; size < 200; ++size) {
        std::vector<uint8_t> data(size);
        for (auto& b : data) b = uint8_t(random() % 3);
        uLongf length = compressBound(size);
        std::vector<uint8_t> stream(length);
        ASSERT_EQ(compress2(stream.data(), &length, data.data(), size, -1), Z_OK);
        CompressedSection result = compressSection(data.data(), size, -1);
        ASSERT_EQ(result.status, Z_OK);
        EXPECT_EQ(result.deflated, length + 4 < size) << size;
        if (result.deflated) {
            ASSERT_EQ(result.stored.size(), length + 4);
            EXPECT_EQ(readBe32(result.stored.data()), size);
            EXPECT_TRUE(std::equal(stream.begin(), stream.begin() + long(length), result.stored.begin() + 4));
        }
    }
}

TEST(SectionPlacement, IncompressibleSectionLargerThanItsSlackIsStored) {
    // Several megabytes of random bytes need more than size + 1024 bytes of
    // stream: the section is stored as it is, as with -zx.
    std::vector<uint8_t> data(4u << 20);
    std::mt19937 random(1);
    for (auto& b : data) b = uint8_t(random());
    const CompressedSection compressed = compressSection(data.data(), uint32_t(data.size()), 1);
    EXPECT_EQ(compressed.status, Z_OK);
    EXPECT_FALSE(compressed.deflated);

    BasicInput basic = makeBasicInput();
    TestSection noise;
    noise.name = ".noise";
    noise.flags = SHF_ALLOC;
    noise.addr = 0x10100000;
    noise.data = data;
    basic.builder.addSection(noise);
    const BuildRun run = buildInProcess(basic.builder.build(), {});
    ASSERT_EQ(run.result, 0) << run.out;
    EXPECT_FALSE(contains(run.out, "***Error during compression")) << run.out;
    const CheckedModule module = soundModule(run);
    const int index = module.findSection(".noise");
    ASSERT_GT(index, 0);
    EXPECT_EQ(module.sections[index].flags & SHF_DEFLATED, 0u);
    EXPECT_EQ(module.sections[index].contents, data);
}

TEST(SectionPlacement, NoCompressionWithZx) {
    const BuildRun run = buildInProcess(inputWithData(4096), {"-zx"});
    ASSERT_EQ(run.result, 0) << run.out;
    const CheckedModule module = soundModule(run);
    for (size_t i = 1; i < module.sections.size(); ++i) EXPECT_EQ(module.sections[i].flags & SHF_DEFLATED, 0u) << i;
    EXPECT_EQ(module.fileInfoWord(0x44), 0xFFFFFFFFu);
}

TEST(SectionPlacement, ReadOnlyDataGoesToDataWritableAndNobitsTakesNoBytes) {
    const BuildRun run = buildInProcess(inputWithData(64, 1, SHF_ALLOC), {"-v"});
    ASSERT_EQ(run.result, 0) << run.out;
    const CheckedModule module = soundModule(run);
    const CheckedSection* extra = sectionNamed(module, ".extra");
    ASSERT_NE(extra, nullptr);
    EXPECT_NE(extra->flags & SHF_WRITE, 0u);
    const int bss = module.findSection(".bss");
    ASSERT_GT(bss, 0);
    EXPECT_EQ(module.sections[bss].offset, 0u);
    EXPECT_EQ(module.crcs[bss], 0u);
    char line[128];
    snprintf(line, sizeof line, "%02d: t00000008 a10000010 m00000010 z-------- offset -------- a.w.\n", bss);
    EXPECT_TRUE(contains(run.out, line)) << run.out;
}

TEST(SectionPlacement, VerboseDumpOfThePlacement) {
    const BuildRun run = buildInProcess(makeBasicInput().builder.build(), {"-v", "-zx"});
    ASSERT_EQ(run.result, 0) << run.out;
    const CheckedModule module = soundModule(run);
    const size_t n = module.sections.size();
    // The groups in their order, each section line with its letters.
    const size_t data = run.out.find("--DATA------------------\n");
    const size_t load = run.out.find("--LOAD------------------\n");
    const size_t text = run.out.find("--TEXT------------------\n");
    const size_t temp = run.out.find("--TEMP------------------\n");
    const size_t crcs = run.out.find("--CRCS------------------\n");
    const size_t info = run.out.find("--FILEINFO--------------\n");
    ASSERT_NE(data, std::string::npos);
    EXPECT_LT(data, load);
    EXPECT_LT(load, text);
    EXPECT_LT(text, temp);
    EXPECT_LT(temp, crcs);
    EXPECT_LT(crcs, info);
    char expected[160];
    const CheckedSection& crc = module.sections[n - 2];
    snprintf(expected, sizeof expected, "%02zu: t80000003 a00000000 m%08X z%08X offset %08X ....\n", n - 2, crc.size,
             crc.size, crc.offset);
    EXPECT_TRUE(contains(run.out, expected)) << run.out;
    const int textIndex = module.findSection(".text");
    const CheckedSection& code = module.sections[textIndex];
    snprintf(expected, sizeof expected, "%02d: t00000001 a02000000 m00000010 z00000010 offset %08X ax..\n", textIndex,
             code.offset);
    EXPECT_TRUE(contains(run.out, expected)) << run.out;
    snprintf(expected, sizeof expected, "%08X-%08X, size 00000040, mem %08X\nTrampAdj 00000000\n", code.offset,
             code.offset + 64, module.fileInfoWord(0x04));
    EXPECT_TRUE(contains(run.out, expected)) << run.out;
    // The CRCs section follows the section header table; FileInfo the next 64-byte boundary.
    EXPECT_EQ(crc.offset, 0x40 + 40 * n);
    EXPECT_EQ(module.sections[n - 1].offset, (0x40 + 44 * n + 63) & ~size_t(63));
}

TEST(SectionPlacement, SectionNameTableIsCompressedWithTheLoadSections) {
    // A long name table: with the other tables it is moved into the loader range.
    BasicInput basic = makeBasicInput();
    for (int k = 0; k < 20; ++k)
        addDataSection(basic, ".data.a_rather_long_section_name_" + std::to_string(k), 0x10010000 + 0x100 * k,
                       std::vector<uint8_t>(8, uint8_t(k)));
    const BuildRun run = buildInProcess(basic.builder.build(), {});
    ASSERT_EQ(run.result, 0) << run.out;
    const CheckedModule module = soundModule(run);
    const CheckedSection& names = module.sections[module.shstrndx];
    EXPECT_GE(names.addr, 0xC0000000u);
    EXPECT_NE(names.flags & SHF_DEFLATED, 0u);
}

TEST(SectionPlacement, JobsCountFromTheEnvironment) {
    setenv("QDLGEN_JOBS", "1", 1);
    EXPECT_EQ(jobCount(), 1u);
    setenv("QDLGEN_JOBS", "0", 1);
    EXPECT_GE(jobCount(), 1u);
    setenv("QDLGEN_JOBS", "1000000", 1);
    EXPECT_LE(jobCount(), std::max(1u, std::thread::hardware_concurrency()));
    unsetenv("QDLGEN_JOBS");
}

// The sections' jobs and the split of one section share one thread runner:
// when no thread can be started, the calling thread does all of it and the
// module is the same.
TEST(SectionPlacement, SameModuleWhenNoThreadCanStart) {
    BasicInput basic = makeBasicInput();
    // Six sections compressed side by side, and one large enough to be split.
    for (uint32_t k = 0; k < 7; ++k) {
        std::vector<uint8_t> data(k == 6 ? 0x240000 : 40000, uint8_t(k * 37));
        for (size_t b = 0; b < data.size(); b += 7) data[b] = uint8_t(b * 13 / (k + 1));
        addDataSection(basic, ".extra" + std::to_string(k), 0x10100000 + 0x400000 * k, std::move(data));
    }
    const std::vector<uint8_t> input = basic.builder.build();
    const BuildRun threaded = buildInProcess(input, {});
    ASSERT_EQ(threaded.result, 0) << threaded.out;
    setStartableThreadsForTesting(0);
    const BuildRun alone = buildInProcess(input, {});
    setStartableThreadsForTesting(-1);
    ASSERT_EQ(alone.result, 0) << alone.out;
    EXPECT_EQ(alone.out, threaded.out);
    EXPECT_EQ(alone.module, threaded.module);
}

TEST(SectionPlacement, SymbolsAndRelocationsBackInTheFileByteOrder) {
    for (bool bigEndian : {true, false}) {
        const BuildRun run = buildInProcess(makeBasicInput(bigEndian).builder.build(), {"-zx"});
        ASSERT_EQ(run.result, 0) << run.out;
        const CheckedModule module = soundModule(run);
        EXPECT_EQ(module.littleEndian, !bigEndian);
        const int relaText = module.findSection(".rela.text");
        ASSERT_GT(relaText, 0);
        const CheckedSection& rela = module.sections[relaText];
        EXPECT_EQ(rela.info, uint32_t(module.findSection(".text")));  // remapped target
        ASSERT_GE(rela.contents.size(), 12u);
        const uint8_t* entry = rela.contents.data();
        const uint32_t offset = bigEndian ? readBe32(entry) : readLe32(entry);
        EXPECT_EQ(offset, 0x02000000u);
        const uint32_t info = bigEndian ? readBe32(entry + 4) : readLe32(entry + 4);
        EXPECT_EQ(info & 0xFF, uint32_t(R_PPC_REL24));
    }
}

TEST(SectionPlacement, PlacementDumpOfEveryGroup) {
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

TEST(SectionPlacement, CompressedSectionLinesAndTheNameTableInTemp) {
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

TEST(SectionPlacement, NameTableIsCompressedInLoadButNeverInTemp) {
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

TEST(SectionPlacement, EmptyDataRegionStillPlacesTheLoadGroup) {
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
    ASSERT_EQ(checkElfImage(f.module.data(), uint32_t(f.module.size())), 0u);
    std::string out;
    beginOutputCapture(&out);
    EXPECT_EQ(verifyModuleLayout(f.module.data(), uint32_t(f.module.size())), 0);
    endOutputCapture();
    EXPECT_EQ(out, "");
}

TEST(SectionPlacement, PassesThatDoNotRunSetAlignmentFourAndTempTakesTheRest) {
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

TEST(SectionPlacement, CompressedOnlyWhenTheStreamAndSizeWordAreStrictlySmaller) {
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

TEST(SectionPlacement, IncompressibleSectionsAreStoredWhateverTheThreadCount) {
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

TEST(SectionPlacement, AnyZlibFailureStatusIsTheResult) {
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

TEST(SectionPlacement, BytesBeyondASectionsContentsAreZero) {
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

TEST(SectionPlacement, NobitsOutsideTheDataGroupIsNeverCompressed) {
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

