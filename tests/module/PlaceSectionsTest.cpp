// The module file: section table, placement passes, compression, CRCs.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "driver/ToolState.h"
#include "module/CompressionJobs.h"
#include "module/ModuleBuildSupport.h"
#include "module/PlaceSections.h"

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

TEST(PlaceSections, SmallSectionsAreNeverCompressedFrom32BytesTheyAreTried) {
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

TEST(PlaceSections, CompressedOnlyWhenStrictlySmaller) {
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

TEST(PlaceSections, IncompressibleSectionLargerThanItsSlackIsStored) {
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

TEST(PlaceSections, NoCompressionWithZx) {
    const BuildRun run = buildInProcess(inputWithData(4096), {"-zx"});
    ASSERT_EQ(run.result, 0) << run.out;
    const CheckedModule module = soundModule(run);
    for (size_t i = 1; i < module.sections.size(); ++i) EXPECT_EQ(module.sections[i].flags & SHF_DEFLATED, 0u) << i;
    EXPECT_EQ(module.fileInfoWord(0x44), 0xFFFFFFFFu);
}

TEST(PlaceSections, ReadOnlyDataGoesToDataWritableAndNobitsTakesNoBytes) {
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

TEST(PlaceSections, VerboseDumpOfThePlacement) {
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

TEST(PlaceSections, SectionNameTableIsCompressedWithTheLoadSections) {
    // A long name table: with the other tables it is moved into the loader range.
    BasicInput basic = makeBasicInput();
    for (int k = 0; k < 20; ++k) {
        TestSection extra;
        extra.name = ".data.a_rather_long_section_name_" + std::to_string(k);
        extra.flags = SHF_ALLOC | SHF_WRITE;
        extra.addr = 0x10010000 + 0x100 * k;
        extra.data.assign(8, uint8_t(k));
        basic.builder.addSection(extra);
    }
    const BuildRun run = buildInProcess(basic.builder.build(), {});
    ASSERT_EQ(run.result, 0) << run.out;
    const CheckedModule module = soundModule(run);
    const CheckedSection& names = module.sections[module.shstrndx];
    EXPECT_GE(names.addr, 0xC0000000u);
    EXPECT_NE(names.flags & SHF_DEFLATED, 0u);
}

TEST(PlaceSections, JobsCountFromTheEnvironment) {
    setenv("QDLGEN_JOBS", "1", 1);
    EXPECT_EQ(jobCount(), 1u);
    setenv("QDLGEN_JOBS", "0", 1);
    EXPECT_GE(jobCount(), 1u);
    setenv("QDLGEN_JOBS", "1000000", 1);
    EXPECT_LE(jobCount(), std::max(1u, std::thread::hardware_concurrency()));
    unsetenv("QDLGEN_JOBS");
    std::vector<int> seen(1000, 0);
    runConcurrently(seen.size(), [&](size_t k) { seen[k] += 1; });
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 1000);
}

TEST(PlaceSections, SymbolsAndRelocationsBackInTheFileByteOrder) {
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
