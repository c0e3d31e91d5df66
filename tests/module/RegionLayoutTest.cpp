// TLS layout, trampolines, zero-filled code, region limits and padding.
#include <gtest/gtest.h>

#include "module/RegionLayout.h"
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

TestSection tlsSection(const std::string& name, uint32_t addr, uint32_t size, uint32_t align) {
    TestSection s = progbits(name, SHF_ALLOC | SHF_WRITE | SHF_TLS_DATA, addr, size);
    s.addralign = align;
    return s;
}

int tlsCheck(ElfBuilder& b, std::vector<uint8_t>& bytes, std::string& text) {
    bytes = built(b);
    const ::testing::AssertionResult loaded = loadInput(bytes);
    EXPECT_TRUE(loaded);
    if (!loaded) return -2;
    Captured out;
    const int result = checkTlsLayout(ctx);
    text = out.take();
    return result;
}

Elf32_Phdr tlsHeader(uint32_t vaddr, uint32_t memsz, uint32_t align) {
    Elf32_Phdr p{};
    p.p_type = PT_TLS;
    p.p_vaddr = vaddr;
    p.p_memsz = memsz;
    p.p_align = align;
    return p;
}

TEST(TlsLayout, AlignmentEightGivesThree) {
    ElfBuilder b;
    b.addSection(tlsSection(".tdata", 0x10000000, 0x10, 8));
    b.addSection(tlsSection(".tbss", 0x10000010, 0x20, 4));
    b.addProgramHeader(tlsHeader(0x10000000, 0x30, 8));
    std::vector<uint8_t> bytes;
    std::string text;
    EXPECT_EQ(tlsCheck(b, bytes, text), 0);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(ctx.module.hasTls);
    EXPECT_EQ(ctx.module.tlsAlignLog2, 3);
}

TEST(TlsLayout, AlignmentZeroSetsTheFlagOnly) {
    ElfBuilder b;
    b.addSection(tlsSection(".tdata", 0x10000000, 0x10, 0));
    b.addProgramHeader(tlsHeader(0x10000000, 0x10, 0));
    std::vector<uint8_t> bytes;
    std::string text;
    EXPECT_EQ(tlsCheck(b, bytes, text), 0);
    EXPECT_TRUE(ctx.module.hasTls);
    EXPECT_EQ(ctx.module.tlsAlignLog2, 0);
}

TEST(TlsLayout, NoTlsHeaderMeansNoTls) {
    ElfBuilder b;
    b.addSection(tlsSection(".tdata", 0x10000000, 0x10, 8));
    std::vector<uint8_t> bytes;
    std::string text;
    EXPECT_EQ(tlsCheck(b, bytes, text), 0);
    EXPECT_FALSE(ctx.module.hasTls);
    EXPECT_EQ(ctx.module.tlsAlignLog2, 0);
}

TEST(TlsLayout, HeaderWithoutTlsSectionsMismatches) {
    ElfBuilder b;
    b.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000000, 0x10));
    b.addProgramHeader(tlsHeader(0x10000000, 0x10, 4));
    std::vector<uint8_t> bytes;
    std::string text;
    EXPECT_EQ(tlsCheck(b, bytes, text), -1);
    EXPECT_EQ(text, "***Error: TLS Program Header does not match TLS sections.\n");
    EXPECT_FALSE(ctx.module.hasTls);
}

TEST(TlsLayout, AlignmentNotAPowerOfTwo) {
    ElfBuilder b;
    b.addSection(tlsSection(".tdata", 0x10000000, 0x18, 12));
    b.addProgramHeader(tlsHeader(0x10000000, 0x18, 12));
    std::vector<uint8_t> bytes;
    std::string text;
    EXPECT_EQ(tlsCheck(b, bytes, text), -1);
    EXPECT_EQ(text, "***Error: TLS Program Header alignment is not a power of two.\n");
}

TEST(TlsLayout, ProgramHeadersOutsideTheFileAreSkipped) {
    ElfBuilder b;
    b.addSection(progbits(".data", SHF_ALLOC | SHF_WRITE, 0x10000000, 0x10));
    b.addProgramHeader(tlsHeader(0x10000000, 0x10, 4));
    b.force.e_phnum = 2000;  // far beyond the file's end
    std::vector<uint8_t> bytes;
    std::string text;
    bytes = built(b);
    resetTestContext();
    // The reader may refuse such a table; the check must stay in bounds either way.
    if (readElfImage(bytes.data(), uint32_t(bytes.size()), &ctx.input.image) == 0) {
        ctx.input.hasImage = true;
        Captured out;
        checkTlsLayout(ctx);
    }
    SUCCEED();
}

// 1 .text at 0x02000000 (0x40 bytes), 2 .imp (import table), 3 .text2,
// then the symbol table: 1 ext (undefined), 2 imp (in the import table),
// 3 local (in .text), 4 other (in .text2).
struct TrampolineInput {
    ElfBuilder builder;
    std::vector<uint8_t> bytes;
    uint32_t symtab = 0;
    TrampolineInput() {
        builder.withSectionNames = false;
        builder.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
        builder.addSection({.name = ".imp", .type = SHT_IMPORT_TABLE, .flags = SHF_ALLOC, .size = 16});
        builder.addSection(progbits(".text2", SHF_ALLOC | SHF_EXECINSTR, 0x02000040, 0x40));
        symtab = builder.addSymbolTable({symbol("ext", STB_GLOBAL, STT_FUNC, 0),
                                         symbol("imp", STB_GLOBAL, STT_FUNC, 2),
                                         symbol("local", STB_GLOBAL, STT_FUNC, 1, 0x02000000),
                                         symbol("other", STB_GLOBAL, STT_FUNC, 3, 0x02000040)});
    }
    int run(RegionExtent text, bool verbose, std::string& printed) {
        bytes = built(builder);
        const ::testing::AssertionResult loaded = loadInput(bytes);
        EXPECT_TRUE(loaded);
        if (!loaded || bindSymbolTable(ctx) != 0) return -2;
        ctx.settings.verbose = verbose;
        ctx.module.regions[TEXT] = text;
        Captured out;
        const int result = reserveTrampolines(ctx);
        printed = out.take();
        return result;
    }
};

TEST(Trampolines, CallsToImportsAndUndefinedSymbolsGoAboveTheCode) {
    TrampolineInput input;
    input.builder.addRela(1,
                          {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_REL24},
                           {.r_offset = 0x02000004, .symbol = 2, .type = R_PPC_REL24},
                           {.r_offset = 0x02000008, .symbol = 3, .type = R_PPC_REL24},   // own section
                           {.r_offset = 0x0200000C, .symbol = 4, .type = R_PPC_REL24},   // another code section
                           {.r_offset = 0x02000010, .symbol = 1, .type = R_PPC_ADDR32}}, // not a call
                          input.symtab);
    std::string text;
    ASSERT_EQ(input.run({0x02000000, 0x02000078, 4}, true, text), 0);
    const FileInfoRecord& info = ctx.module.fileInfo;
    EXPECT_EQ(info.textSize, 0x80u + 32);
    EXPECT_EQ(info.trampAdj, 0u);
    EXPECT_EQ(info.textGrowth, 0x80u + 32 - 0x78);
    EXPECT_EQ(ctx.module.trampolineCount, 2u);
    EXPECT_EQ(text, "TEXT ADJUSTED from 0x00000078 to 0x000000a0 for 2 TRAMPOLINES\nTEXT TRAMP ADDITION is 40\n");
}

TEST(Trampolines, ReservedSymbolSectionsNeverCount) {
    TrampolineInput input;
    input.builder.section(input.symtab).symbols[0].shndx = SHN_ABS;
    input.builder.addRela(1, {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_REL24}}, input.symtab);
    std::string text;
    ASSERT_EQ(input.run({0x02000000, 0x02000080, 4}, false, text), 0);
    EXPECT_EQ(ctx.module.trampolineCount, 0u);
    EXPECT_EQ(ctx.module.fileInfo.textSize, 0x80u);
    EXPECT_EQ(ctx.module.fileInfo.textGrowth, 0u);  // written only under -v
    EXPECT_EQ(text, "");
}

TEST(Trampolines, FarCallSitesPutTheirTrampolineBelowTheBase) {
    TrampolineInput input;
    input.builder.addRela(1,
                          {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_REL24},
                           {.r_offset = 0x04000000, .symbol = 2, .type = R_PPC_REL24}},
                          input.symtab);
    std::string text;
    ASSERT_EQ(input.run({0x02000000, 0x04000010, 32}, false, text), 0);
    const FileInfoRecord& info = ctx.module.fileInfo;
    // Below: 0x01FFFFF0, rounded down to 32: 0x01FFFFE0. Above: 0x04000020.
    EXPECT_EQ(ctx.module.trampolineLow, 0x01FFFFF0u);
    EXPECT_EQ(ctx.module.trampolineHigh, 0x04000020u);
    EXPECT_EQ(info.textSize, 0x04000020u - 0x01FFFFE0u);
    EXPECT_EQ(info.trampAdj, 0x20u);
}

TEST(Trampolines, UnalignedBaseIsRoundedDownToTheTextAlignment) {
    TrampolineInput input;
    input.builder.addRela(1, {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_ADDR32}}, input.symtab);
    std::string text;
    ASSERT_EQ(input.run({0x02000018, 0x02000078, 32}, true, text), 0);
    const FileInfoRecord& info = ctx.module.fileInfo;
    // low 0x02000010, rounded down to 32: 0x02000000; high 0x02000080.
    EXPECT_EQ(info.textSize, 0x80u);
    EXPECT_EQ(info.trampAdj, 0x18u);
    EXPECT_EQ(text, "TEXT ADJUSTED from 0x00000060 to 0x00000080 for 0 TRAMPOLINES\nTEXT TRAMP ADDITION is 32\n");
}

TEST(Trampolines, ALaterCallSiteThatReachesTheTopStaysAbove) {
    TrampolineInput input;
    input.builder.addRela(1,
                          {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_REL24},   // too far: below
                           {.r_offset = 0x03FFFFF0, .symbol = 2, .type = R_PPC_REL24}},  // above
                          input.symtab);
    std::string text;
    ASSERT_EQ(input.run({0x02000000, 0x04000000, 4}, false, text), 0);
    EXPECT_EQ(ctx.module.trampolineLow, 0x01FFFFF0u);
    EXPECT_EQ(ctx.module.trampolineHigh, 0x04000010u);
    EXPECT_EQ(ctx.module.fileInfo.trampAdj, 0x10u);
    EXPECT_EQ(ctx.module.fileInfo.textSize, 0x02000020u);
}

TEST(Trampolines, OutOfReachBelowIsRefused) {
    TrampolineInput input;
    input.builder.addRela(1, {{.r_offset = 0x06000000, .symbol = 1, .type = R_PPC_REL24}}, input.symtab);
    std::string text;
    EXPECT_EQ(input.run({0x02000000, 0x08000000, 4}, false, text), -1);
    EXPECT_EQ(text, "***Error: Text is too big to permit a relative relocation to a trampoline to a target section!.\n");
}

TEST(Trampolines, EmptyTextHasNoSize) {
    TrampolineInput input;
    std::string text;
    ctx.module.fileInfo.textSize = 99;
    ASSERT_EQ(input.run({0x02000000, 0x02000000, 4}, true, text), 0);
    EXPECT_EQ(ctx.module.fileInfo.textSize, 0u);
    EXPECT_EQ(ctx.module.fileInfo.trampAdj, 0u);
    EXPECT_EQ(text, "");
}

TEST(ZeroFilledCode, ExecutableNobitsIsRefused) {
    ElfBuilder b;
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    b.addSection({.name = ".zero", .type = SHT_NOBITS, .flags = SHF_ALLOC | SHF_EXECINSTR, .addr = 0x02000040,
                  .size = 0x40, .addralign = 4});
    std::vector<uint8_t> bytes = built(b);
    ASSERT_TRUE(loadInput(bytes));
    Captured out;
    EXPECT_EQ(checkZeroFilledCode(ctx), -1);
    EXPECT_EQ(out.take(), "*** Error: Placing a zero filled section '.zero'(2) in the code area is not allowed.\n");
}

TEST(ZeroFilledCode, ExportTablesAndDataPass) {
    ElfBuilder b;
    b.addSection({.name = ".bss", .type = SHT_NOBITS, .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000000,
                  .size = 0x40, .addralign = 4});
    b.addSection(progbits(".text", SHF_ALLOC | SHF_EXECINSTR, 0x02000000, 0x40));
    std::vector<uint8_t> bytes = built(b);
    ASSERT_TRUE(loadInput(bytes));
    Captured out;
    EXPECT_EQ(checkZeroFilledCode(ctx), 0);
    EXPECT_EQ(out.take(), "");
}

struct LimitCheck {
    bool failed = false;
    std::string text;
};

LimitCheck limit(uint32_t alignment, int32_t limitValue, int32_t size) {
    resetTestContext();
    ctx.settings.outputPath = "/w/app.qdl";
    LimitCheck c;
    Captured out;
    c.failed = checkRegionLimit(ctx, alignment, limitValue, "DATA", "-sizedata", size);
    c.text = out.take();
    return c;
}

TEST(RegionLimits, AlignedLimitWithRoom) {
    const LimitCheck c = limit(32, 4096, 1000);
    EXPECT_FALSE(c.failed);
    EXPECT_EQ(c.text, "");
}

TEST(RegionLimits, UnalignedLimitSuggestsTheNextMultiple) {
    const LimitCheck c = limit(32, 4100, 1000);
    EXPECT_TRUE(c.failed);
    EXPECT_EQ(c.text, "Error: \"/w/app.qdl\" -sizedata 4100 is not aligned to DATA segment 32 byte alignment (try 4128).\n");
}

TEST(RegionLimits, TooLarge) {
    const LimitCheck c = limit(32, 4096, 5000);
    EXPECT_TRUE(c.failed);
    EXPECT_EQ(c.text, "Error: /w/app.qdl has DATA size of 5000 is larger then limit from -sizedata 4096\n");
}

TEST(RegionLimits, UnalignedAndTooLargePrintsBoth) {
    const LimitCheck c = limit(32, 4100, 5000);
    EXPECT_TRUE(c.failed);
    EXPECT_EQ(c.text,
              "Error: \"/w/app.qdl\" -sizedata 4100 is not aligned to DATA segment 32 byte alignment (try 4128).\n"
              "Error: /w/app.qdl has DATA size of 5000 is larger then limit from -sizedata 4100\n");
}

TEST(RegionLimits, LimitEqualToTheSizeWarns) {
    const LimitCheck c = limit(32, 4096, 4096);
    EXPECT_FALSE(c.failed);
    EXPECT_EQ(c.text,
              "Warning: /w/app.qdl has DATA size of 4096 which leaves   0.00% (0 bytes) free\n"
              "Warning: /w/app.qdl based on -sizedata 4096\n");
}

TEST(RegionLimits, WithinOnePercentWarns) {
    const LimitCheck c = limit(4, 10100, 10000);
    EXPECT_FALSE(c.failed);
    EXPECT_EQ(c.text,
              "Warning: /w/app.qdl has DATA size of 10000 which leaves   1.00% (100 bytes) free\n"
              "Warning: /w/app.qdl based on -sizedata 10100\n");
}

TEST(RegionLimits, AlignmentZeroAsksForNothing) {
    const LimitCheck c = limit(0, 4100, 1000);
    EXPECT_FALSE(c.failed);
    EXPECT_EQ(c.text, "");
}

TEST(RegionLimits, SizeZeroGivesNoWarning) {
    const LimitCheck c = limit(4, 0, 0);
    EXPECT_FALSE(c.failed);
    EXPECT_EQ(c.text, "");
}

void setSizes(uint32_t data, uint32_t load, uint32_t temp, uint32_t text) {
    FileInfoRecord& info = ctx.module.fileInfo;
    info.dataSize = data;
    info.loadSize = load;
    info.tempSize = temp;
    info.textSize = text;
    info.dataAlign = 32;
    info.loadAlign = 64;
    info.textAlign = 16;
}

TEST(RegionSizes, LoadGrowsByTheTrailerRoundedToItsAlignment) {
    resetTestContext();
    setSizes(0, 0x100, 0, 0);
    ctx.module.fileInfoSize = 96 + 70;
    ASSERT_EQ(finishRegionSizes(ctx), 0);
    EXPECT_EQ(ctx.module.fileInfo.trailerSize, 128u);
    EXPECT_EQ(ctx.module.fileInfo.loadSize, 0x180u);
}

TEST(RegionSizes, PadAllAddsThePercentageAndRounds) {
    resetTestContext();
    ctx.settings.padAllPercent = 10;
    setSizes(1000, 1000, 1000, 1000);
    ctx.module.fileInfoSize = 96;
    ASSERT_EQ(finishRegionSizes(ctx), 0);
    const FileInfoRecord& info = ctx.module.fileInfo;
    EXPECT_EQ(info.dataSize, 1120u);
    EXPECT_EQ(info.loadSize, 1152u);
    EXPECT_EQ(info.tempSize, 1152u);  // rounded to the LOAD alignment
    EXPECT_EQ(info.textSize, 1104u);
}

TEST(RegionSizes, LimitsReplaceTheSizesWhenAllPass) {
    resetTestContext();
    ctx.settings.outputPath = "/w/app.qdl";
    ctx.settings.paddingBySize = true;
    ctx.settings.sizeData = 4096;
    ctx.settings.sizeLoad = 8192;
    ctx.settings.sizeTemp = 4096;
    ctx.settings.sizeText = 8192;
    setSizes(1000, 1000, 50, 1000);
    ctx.module.tempStoredTotal = 100;
    ctx.module.fileInfoSize = 96;
    Captured out;
    ASSERT_EQ(finishRegionSizes(ctx), 0);
    EXPECT_EQ(out.take(), "");
    const FileInfoRecord& info = ctx.module.fileInfo;
    EXPECT_EQ(info.dataSize, 4096u);
    EXPECT_EQ(info.loadSize, 8192u);
    EXPECT_EQ(info.tempSize, 4096u);
    EXPECT_EQ(info.textSize, 8192u);
}

TEST(RegionSizes, TempIsCheckedAgainstItsStoredTotalInOrder) {
    resetTestContext();
    ctx.settings.outputPath = "/w/app.qdl";
    ctx.settings.paddingBySize = true;
    ctx.settings.sizeData = 4096;
    ctx.settings.sizeLoad = 8192;
    ctx.settings.sizeTemp = 64;
    ctx.settings.sizeText = 100;  // would fail too, but TEMP comes first
    setSizes(1000, 1000, 0, 1000);
    ctx.module.tempStoredTotal = 100;
    ctx.module.fileInfoSize = 96;
    Captured out;
    EXPECT_EQ(finishRegionSizes(ctx), -1);
    EXPECT_EQ(out.take(), "Error: /w/app.qdl has TEMP size of 100 is larger then limit from -sizetemp 64\n");
    EXPECT_EQ(ctx.module.fileInfo.dataSize, 1000u);
}

}  // namespace
