// The last steps of the module build on a staged state: the output section
// table, the CRC and FileInfo headers, and the file image with its single
// write. The placement of sections is tested in SectionPlacementTest.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <zlib.h>

#include <filesystem>

#include "module/FileInfo.h"
#include "module/ModuleBuildSupport.h"
#include "module/SectionTable.h"
#include "module/StagedModule.h"
#include "module/WriteModule.h"
#include "support/ModuleChecker.h"
#include "symbols/SymbolTestInput.h"
#include "support/TestContext.h"

using namespace symtest;
using namespace moduletest;
namespace fs = std::filesystem;

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
