// The sections worked on from the start of the build: which ones may be,
// that the work gives placement's own results, that a build with it writes
// the module a strictly sequential build writes, and that dropped work
// stops.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <random>
#include <thread>

#include "deflate/Deflate.h"
#include "deflate/RunPieces.h"
#include "module/CompressionJobs.h"
#include "core/Output.h"
#include "elf/ElfReader.h"
#include "elf/SectionContents.h"
#include "module/EarlySections.h"
#include "module/ModuleBuildSupport.h"
#include "support/TestContext.h"
#include "support/ElfBuilder.h"
#include "support/Fixtures.h"

namespace {

// Bytes that compress to about half: runs of words and noise.
std::vector<uint8_t> halfCompressible(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (size_t k = 0; k < size; ++k) bytes[k] = (k / 64) % 2 ? uint8_t(random()) : uint8_t(k / 7);
    return bytes;
}

TestSection progbits(const std::string& name, uint32_t flags, std::vector<uint8_t> data) {
    TestSection s;
    s.name = name;
    s.flags = flags;
    s.addr = flags & SHF_ALLOC ? 0x10100000 : 0;
    s.data = std::move(data);
    return s;
}

void waitForCompression(EarlySection& e) {
    for (EarlyState state = e.state.load(); state != EarlyState::done; state = e.state.load()) e.state.wait(state);
}

}  // namespace

TEST(EarlySections, OnlyLargeAllocatedSectionsThatNoPassReaches) {
    ElfBuilder b;
    const uint32_t bigger = b.addSection(progbits(".bigger", SHF_ALLOC, std::vector<uint8_t>(3000, 1)));
    const uint32_t big = b.addSection(progbits(".big", SHF_ALLOC | SHF_WRITE, std::vector<uint8_t>(2000, 2)));
    b.addSection(progbits(".small", SHF_ALLOC, std::vector<uint8_t>(500, 3)));
    const uint32_t unallocated = b.addSection(progbits(".comment", 0, std::vector<uint8_t>(4000, 4)));
    // Another section names it as its link, as a symbol table names its strings.
    const uint32_t linked = b.addSection(progbits(".linked", SHF_ALLOC, std::vector<uint8_t>(2500, 5)));
    TestSection note = progbits(".note", 0, std::vector<uint8_t>(16, 6));
    note.type = 7;   // SHT_NOTE
    note.link = linked;
    b.addSection(note);
    TestSection bss;
    bss.name = ".bss";
    bss.type = SHT_NOBITS;
    bss.flags = SHF_ALLOC | SHF_WRITE;
    bss.size = 5000;
    b.addSection(bss);
    const uint32_t over = b.addSection(progbits(".over", SHF_ALLOC, std::vector<uint8_t>(2200, 7)));
    TestSection exports = progbits(".dexports", SHF_ALLOC, std::vector<uint8_t>(1500, 0));
    exports.type = SHT_EXPORT_TABLE;
    b.addSection(exports);
    std::vector<uint8_t> bytes = b.build();
    // .over shares bytes with .comment.
    b.section(over).forceOffset = b.layout().sectionOffsets[unallocated] + 100;
    bytes = b.build();
    ASSERT_TRUE(loadTestInput(bytes));

    EXPECT_EQ(earlyCandidates(ctx, 1000), (std::vector<uint32_t>{bigger, big}));
    // Without .comment in the way, .over is one; a smaller floor lets .small in.
    b.section(over).forceOffset.reset();
    bytes = b.build();
    ASSERT_TRUE(loadTestInput(bytes));
    EXPECT_EQ(earlyCandidates(ctx, 400), (std::vector<uint32_t>{bigger, over, big, bigger + 2}));

    // The section header table inside a section's bytes: the reader converts
    // those headers in place, so none is chosen before the tables are read.
    bytes = b.build();   // the reader turned the last one's tables in place
    const ElfLayout l = b.layout();
    const uint32_t table = l.sectionOffsets[over] + 200;
    std::copy_n(bytes.begin() + l.shoff, l.shnum * 40, bytes.begin() + table);
    b.patch32(bytes, offsetof(Elf32_Ehdr, e_shoff), table);
    ASSERT_TRUE(loadTestInput(bytes));
    EXPECT_TRUE(earlyCandidates(ctx, 400).empty());
}

TEST(EarlySections, TheWorkerGivesWhatPlacementWouldWorkOut) {
    if (jobCount() <= 1) GTEST_SKIP() << "one hardware thread: nothing starts early";
    // CRCs of one piece, of whole pieces and of pieces and a rest.
    BasicInput basic = makeBasicInput();
    std::vector<TestSection> sections;
    std::vector<uint32_t> indexes;
    for (size_t size : {size_t(300000), size_t(2) << 20, (size_t(2) << 20) + 12345}) {
        TestSection data = progbits(".big" + std::to_string(size), SHF_ALLOC | SHF_WRITE,
                                    halfCompressible(size, unsigned(size)));
        data.addr = 0x10100000 + 0x400000 * uint32_t(sections.size());
        indexes.push_back(basic.builder.addSection(data));
        sections.push_back(std::move(data));
    }
    const std::vector<uint8_t> input = basic.builder.build();
    for (bool compress : {true, false}) {
        std::vector<uint8_t> bytes = input;   // the reader turns its tables in place
        ASSERT_TRUE(loadTestInput(bytes));
        ctx.settings.compress = compress;
        ctx.settings.compressionLevel = 1;
        startEarlySections(ctx);
        ASSERT_TRUE(ctx.module.early);
        ASSERT_EQ(ctx.module.early->sections.size(), 3u);
        // Asked at once, the caller takes pieces beside the worker.
        for (size_t k = 0; k < 3; ++k) {
            uint32_t crc = 0;
            const std::vector<uint8_t>& data = sections[k].data;
            ASSERT_TRUE(earlyCrc(ctx, indexes[k], sectionContents(ctx, indexes[k]), uint32_t(data.size()), crc));
            EXPECT_EQ(crc, uint32_t(crc32(0, data.data(), uInt(data.size())))) << k;
        }
        EarlySection& e = ctx.module.early->sections.back();   // the smallest
        EXPECT_EQ(e.inputIndex, indexes[0]);
        EXPECT_TRUE(earlyCrcDone(e));
        if (compress) {
            waitForCompression(e);
            const CompressedSection own = compressSection(e.data, e.size, 1);
            ASSERT_TRUE(own.deflated);
            EXPECT_TRUE(e.compressed.deflated);
            EXPECT_EQ(std::vector<uint8_t>(e.compressed.stored.begin(), e.compressed.stored.end()),
                      std::vector<uint8_t>(own.stored.begin(), own.stored.end()));
        }
        // Only the bytes and the size it worked on get its results.
        closeEarlySections(ctx);
        uint32_t crc = 0;
        EXPECT_FALSE(earlyCrc(ctx, e.inputIndex, e.data + 1, e.size, crc));
        EXPECT_FALSE(earlyCrc(ctx, e.inputIndex, e.data, e.size - 1, crc));
        EXPECT_EQ(earlyCompressed(ctx, e.inputIndex, e.data + 1, e.size, true), nullptr);
        EXPECT_EQ(earlyCompressed(ctx, e.inputIndex, e.data, e.size - 1, true), nullptr);
        EXPECT_EQ(earlyCompressed(ctx, e.inputIndex, e.data, e.size, true), compress ? &e : nullptr);
        dropEarlySections(ctx);
        EXPECT_FALSE(ctx.module.early);
    }
}

TEST(EarlySections, BuildsWriteTheSequentialModule) {
    // Large sections of code, read-only and writable data beside the
    // tables the passes rewrite; at the default level, 1, 9 and -zx the
    // module is the one a build on one thread (where nothing starts early)
    // writes.
    BasicInput basic = makeBasicInput();
    TestSection code = progbits(".text.big", SHF_ALLOC | SHF_EXECINSTR, halfCompressible(200000, 2));
    code.addr = 0x02100000;
    basic.builder.addSection(code);
    TestSection rodata = progbits(".rodata.big", SHF_ALLOC, halfCompressible(400000, 3));
    rodata.addr = 0x10200000;
    basic.builder.addSection(rodata);
    TestSection data = progbits(".data.big", SHF_ALLOC | SHF_WRITE, halfCompressible(2500000, 4));
    data.addr = 0x10400000;
    const uint32_t dataIndex = basic.builder.addSection(data);
    // A relocation table large enough to start early if its type were not
    // looked at: the passes turn its entries in place.
    std::vector<TestRela> relas;
    for (uint32_t k = 0; k < 8000; ++k) relas.push_back({.r_offset = 0x10400000 + 8 * k, .symbol = basic.symDataWord, .type = 1});
    basic.builder.addRela(dataIndex, std::move(relas), basic.symtab);
    // A symbol table and strings large enough to start early if nothing
    // named them as links: the -old flow strips them in place.
    for (uint32_t k = 0; k < 5000; ++k)
        basic.builder.section(basic.symtab).symbols.push_back(
            {.name = "unused_" + std::to_string(k), .value = 0x10400000 + k, .info = symbolInfo(STB_GLOBAL, STT_OBJECT),
             .shndx = uint16_t(dataIndex)});
    const std::vector<uint8_t> input = basic.builder.build();
    for (std::vector<std::string> options : {std::vector<std::string>{"-z6"}, {"-z1"}, {"-z9"}, {"-zx"}, {"-old", "-s"}}) {
        const std::string level = options[0];
        BuildRun sequential;
        {
            ScopedEnv jobs("QDLGEN_JOBS", "1");
            sequential = buildInProcess(input, options);
        }
        ASSERT_EQ(sequential.result, 0) << level << sequential.out;
        // As the threads happen to run, and with every early result taken.
        for (bool finish : {false, true}) {
            setEarlySectionsForTesting(finish, finish ? 1 : 0);
            const BuildRun early = buildInProcess(input, options);
            setEarlySectionsForTesting(false, 0);
            ASSERT_EQ(early.result, 0) << level << early.out;
            EXPECT_EQ(early.out, sequential.out) << level << finish;
            EXPECT_EQ(early.module, sequential.module) << level << finish;
        }
    }
}

TEST(EarlySections, GnuLinkedModulesAreTheSequentialOnes) {
    // Every allocated section of the linked fixtures worked on before the
    // passes run, against a build on one thread.
    if (!haveFixture("lib.elf")) GTEST_SKIP() << "no cross toolchain";
    if (jobCount() <= 1) GTEST_SKIP() << "one hardware thread: nothing starts early";
    for (const char* name : {"lib.elf", "bigdata.elf", "debug.elf", "qdx.elf", "plain.elf", "lib_le.elf", "tls.elf"}) {
        const std::vector<uint8_t> input = readWholeFile(fixturePath(name));
        ASSERT_FALSE(input.empty()) << name;
        for (std::vector<std::string> options : {std::vector<std::string>{}, {"-old", "-s"}, {"-zx"}}) {
            BuildRun sequential;
            {
                ScopedEnv jobs("QDLGEN_JOBS", "1");
                sequential = buildInProcess(input, options);
            }
            setEarlySectionsForTesting(true, 1);
            const BuildRun early = buildInProcess(input, options);
            setEarlySectionsForTesting(false, 0);
            EXPECT_EQ(early.result, sequential.result) << name;
            EXPECT_EQ(early.out, sequential.out) << name;
            EXPECT_TRUE(early.module == sequential.module) << name << " " << options.size();
        }
    }
}

TEST(EarlySections, TheCrcsStartWhenTheHeadersAreRead) {
    if (jobCount() <= 1) GTEST_SKIP() << "one hardware thread: nothing starts early";
    // The worker starts before the tables are converted; the compression
    // waits for the settings of the build.
    BasicInput basic = makeBasicInput();
    TestSection data = progbits(".big", SHF_ALLOC | SHF_WRITE, halfCompressible(3 << 20, 7));
    const uint32_t index = basic.builder.addSection(data);
    std::vector<uint8_t> bytes = basic.builder.build();
    resetTestContext();
    bool sawHeaders = false;
    ASSERT_EQ(loadInputElf(ctx, 1, "x", bytes.data(), uint32_t(bytes.size()), [&] {
                  EXPECT_FALSE(ctx.input.hasImage);
                  sawHeaders = true;
                  startEarlyCrcs(ctx);
              }),
              0);
    ASSERT_TRUE(sawHeaders);
    ASSERT_TRUE(ctx.module.early);
    EarlySection& e = ctx.module.early->sections[0];
    EXPECT_EQ(e.inputIndex, index);
    uint32_t crc = 0;
    ASSERT_TRUE(earlyCrc(ctx, index, sectionContents(ctx, index), e.size, crc));
    EXPECT_EQ(crc, uint32_t(crc32(0, data.data.data(), uInt(data.data.size()))));
    EXPECT_EQ(e.state.load(), EarlyState::waiting);
    // At the default level (-1 in the settings) as at the others.
    ctx.settings.compress = true;
    ctx.settings.compressionLevel = -1;
    startEarlySections(ctx);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (e.state.load() != EarlyState::done && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(e.state.load(), EarlyState::done);
    const CompressedSection own = compressSection(e.data, e.size, -1);
    EXPECT_TRUE(e.compressed.stored.size() == own.stored.size() &&
                std::equal(own.stored.begin(), own.stored.end(), e.compressed.stored.begin()));

    // Tables the reader refuses: the run ends, and the work with its
    // context.
    BasicInput broken = makeBasicInput();
    broken.builder.addSection(data);
    broken.builder.section(broken.symtab).entsize = 8;   // narrower than a symbol
    bytes = broken.builder.build();
    resetTestContext();
    std::string printed;
    beginOutputCapture(&printed);
    EXPECT_EQ(loadInputElf(ctx, 1, "x", bytes.data(), uint32_t(bytes.size()), [&] { startEarlyCrcs(ctx); }),
              int(0xBAD0002D));
    endOutputCapture();
    EXPECT_FALSE(ctx.input.hasImage);
    resetTestContext();
    EXPECT_FALSE(ctx.module.early);
}

TEST(EarlySections, TheInputOutlivesTheWorkOfARunThatEndsEarly) {
    // The tables are refused while the CRCs of a large section run; the
    // context is then taken down input first (as assigning a new one does).
    if (jobCount() <= 1) GTEST_SKIP() << "one hardware thread: nothing starts early";
    BasicInput basic = makeBasicInput();
    std::vector<uint8_t> big(48u << 20);
    for (size_t k = 0; k < big.size(); ++k) big[k] = uint8_t(k * 7 + (k >> 12));
    basic.builder.addSection(progbits(".big", SHF_ALLOC | SHF_WRITE, std::move(big)));
    basic.builder.section(basic.symtab).entsize = 8;   // narrower than a symbol
    const std::string path = writeTempFile(basic.builder.build(), "refused.elf");
    for (int round = 0; round < 3; ++round) {
        const ToolRun run = runCaptured({"-nolib", path});
        EXPECT_EQ(run.result, int(0xBAD0002D));
        resetTestContext();
    }
}

TEST(EarlySections, DroppedWorkStops) {
    // A stop given before the first block ends gives the stream up.
    const std::vector<uint8_t> text = halfCompressible(1 << 20, 5);
    std::vector<uint8_t> out(text.size());
    size_t length = 0;
    std::atomic<bool> stop{true};
    EXPECT_EQ(compressZlib(text.data(), text.size(), 9, out.data(), out.size(), length, &stop), deflateStopped);
    EXPECT_EQ(compressSection(text.data(), uint32_t(text.size()), 9, 1, &stop).status, deflateStopped);
    stop = false;
    EXPECT_EQ(compressZlib(text.data(), text.size(), 9, out.data(), out.size(), length, &stop), deflateOk);

    // A build that ends before placement drops the work, the running
    // compression included (it would take seconds at level 9 under the
    // sanitizers), and a thread that cannot be started leaves none.
    if (jobCount() <= 1) GTEST_SKIP() << "one hardware thread: nothing starts early";
    BasicInput basic = makeBasicInput();
    TestSection data = progbits(".big", SHF_ALLOC | SHF_WRITE, halfCompressible(8 << 20, 6));
    basic.builder.addSection(data);
    const std::vector<uint8_t> input = basic.builder.build();
    std::vector<uint8_t> bytes = input;
    ASSERT_TRUE(loadTestInput(bytes));
    ctx.settings.compressionLevel = 9;
    startEarlySections(ctx);
    ASSERT_TRUE(ctx.module.early);
    EarlySection& e = ctx.module.early->sections[0];
    for (EarlyState state = e.state.load(); state == EarlyState::waiting; state = e.state.load()) e.state.wait(state);
    dropEarlySections(ctx);
    EXPECT_FALSE(ctx.module.early);

    setStartableThreadsForTesting(0);
    bytes = input;
    ASSERT_TRUE(loadTestInput(bytes));
    startEarlySections(ctx);
    setStartableThreadsForTesting(-1);
    EXPECT_FALSE(ctx.module.early);
}
