// Inputs with hostile sizes, counts and offsets end within seconds, with
// their code or with a module that an independent reader accepts.
#include <gtest/gtest.h>

#include <chrono>

#include "module/ModuleBuildSupport.h"

namespace {

// Seconds; generous so that a loaded machine does not fail it, and more so
// in unoptimised and sanitizer builds (a million symbols take about 8 s in a
// plain debug build).
#if defined(__SANITIZE_ADDRESS__)
constexpr double kTimeBound = 60.0;
#elif !defined(NDEBUG)
constexpr double kTimeBound = 30.0;
#else
constexpr double kTimeBound = 10.0;
#endif

struct TimedRun {
    BuildRun run;
    double seconds = 0;
};

TimedRun timedBuild(const std::vector<uint8_t>& input, std::vector<std::string> options = {}) {
    const auto start = std::chrono::steady_clock::now();
    TimedRun timed;
    timed.run = buildInProcess(input, std::move(options));
    timed.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return timed;
}

void expectSoundIfBuilt(const BuildRun& run) {
    if (run.result != 0) return;
    CheckedModule module;
    const std::vector<std::string> problems = checkModule(run.module, module);
    EXPECT_TRUE(problems.empty()) << problems.front();
}

}  // namespace

TEST(HostileSizes, SizesAndOffsetsNearTheTopOfTheAddressSpace) {
    BasicInput basic = makeBasicInput();
    basic.builder.sections[basic.data - 1].forceSize = 0xFFFFFFF0;
    TimedRun timed = timedBuild(basic.builder.build());
    EXPECT_EQ(uint32_t(timed.run.result), 0xBAD00025u);
    EXPECT_LT(timed.seconds, kTimeBound);

    BasicInput offset = makeBasicInput();
    offset.builder.sections[offset.data - 1].forceOffset = 0xFFFFFFF0;
    timed = timedBuild(offset.builder.build());
    EXPECT_EQ(uint32_t(timed.run.result), 0xBAD00025u);
    EXPECT_LT(timed.seconds, kTimeBound);

    BasicInput tables = makeBasicInput();
    tables.builder.force.e_shoff = 0xFFFFFF00;
    timed = timedBuild(tables.builder.build());
    EXPECT_EQ(uint32_t(timed.run.result), 0xBAD00020u);
    EXPECT_LT(timed.seconds, kTimeBound);
}

TEST(HostileSizes, SixtyFiveThousandSections) {
    BasicInput basic = makeBasicInput();
    for (int k = 0; k < 65000; ++k) {
        TestSection empty;
        empty.name = "s";
        empty.type = SHT_PROGBITS;
        basic.builder.addSection(empty);
    }
    const TimedRun timed = timedBuild(basic.builder.build());
    EXPECT_EQ(timed.run.result, 0) << timed.run.out.substr(0, 2000);
    expectSoundIfBuilt(timed.run);
    EXPECT_LT(timed.seconds, kTimeBound);
}

TEST(HostileSizes, AMillionRelocations) {
    BasicInput basic = makeBasicInput();
    std::vector<TestRela>& relas = basic.builder.sections[basic.relaData - 1].relas;
    relas.assign(1000000, {.r_offset = 0x10000000, .symbol = basic.symMain, .type = R_PPC_ADDR32});
    const TimedRun timed = timedBuild(basic.builder.build());
    EXPECT_EQ(timed.run.result, 0) << timed.run.out.substr(0, 2000);
    expectSoundIfBuilt(timed.run);
    EXPECT_LT(timed.seconds, kTimeBound);
}

TEST(HostileSizes, AMillionSymbolsSharingOneName) {
    BasicInput basic = makeBasicInput();
    std::vector<TestSymbol>& symbols = basic.builder.sections[basic.symtab - 1].symbols;
    // Every symbol a sized, plainly named function: all keep an entry, each
    // with a copy of the one name the input stores once.
    for (int k = 0; k < 1000000; ++k)
        symbols.push_back({.value = 0x02000000, .size = 4, .info = symbolInfo(STB_GLOBAL, STT_FUNC),
                           .shndx = uint16_t(basic.text), .forceName = 1});
    const TimedRun timed = timedBuild(basic.builder.build());
    EXPECT_EQ(timed.run.result, 0) << timed.run.out.substr(0, 2000);
    expectSoundIfBuilt(timed.run);
    EXPECT_LT(timed.seconds, kTimeBound);
}

TEST(HostileSizes, IndicesAndNameOffsetsPointingAnywhere) {
    BasicInput names = makeBasicInput();
    names.builder.sections[names.symtab - 1].symbols[0].forceName = 0x7FFFFFFF;
    TimedRun timed = timedBuild(names.builder.build());
    EXPECT_EQ(uint32_t(timed.run.result), 0xBAD00004u);
    EXPECT_LT(timed.seconds, kTimeBound);

    BasicInput sections = makeBasicInput();
    sections.builder.sections[sections.symtab - 1].symbols[0].shndx = 0xFEFF;
    timed = timedBuild(sections.builder.build());
    EXPECT_EQ(uint32_t(timed.run.result), 0xBAD00005u);
    EXPECT_LT(timed.seconds, kTimeBound);

    BasicInput relocations = makeBasicInput();
    relocations.builder.sections[relocations.relaText - 1].relas[0].symbol = 0xFFFFFF;
    timed = timedBuild(relocations.builder.build());
    EXPECT_EQ(uint32_t(timed.run.result), 0xBAD0000Fu);
    EXPECT_LT(timed.seconds, kTimeBound);

    BasicInput links = makeBasicInput();
    links.builder.sections[links.relaText - 1].link = 0;  // left unchecked by the reader
    links.builder.sections[links.relaText - 1].relas[0].symbol = 0xFFFFFF;
    timed = timedBuild(links.builder.build());
    EXPECT_NE(timed.run.result, 0);
    EXPECT_LT(timed.seconds, kTimeBound);
}

TEST(HostileSizes, AMillionCallsIntoOtherModules) {
    // Every call to an undefined function reserves a 16-byte trampoline.
    BasicInput basic = makeBasicInput();
    std::vector<TestSymbol>& symbols = basic.builder.sections[basic.symtab - 1].symbols;
    symbols.push_back({.name = "elsewhere", .info = symbolInfo(STB_GLOBAL, STT_FUNC)});
    const uint32_t elsewhere = uint32_t(symbols.size());
    std::vector<TestRela>& relas = basic.builder.sections[basic.relaText - 1].relas;
    relas.assign(1000000, {.r_offset = 0x02000000, .symbol = elsewhere, .type = R_PPC_REL24});
    const TimedRun timed = timedBuild(basic.builder.build());
    ASSERT_EQ(timed.run.result, 0) << timed.run.out.substr(0, 2000);
    CheckedModule module;
    const std::vector<std::string> problems = checkModule(timed.run.module, module);
    ASSERT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(module.info.textSize, 0x10u + 1000000u * 16u);
    EXPECT_EQ(module.info.trampAdj, 0u);
    EXPECT_LT(timed.seconds, kTimeBound);
}

TEST(HostileSizes, ManyUnusedSectionsAndManySymbols) {
    // Every unused section loses its symbols; the symbols are not walked
    // once per section.
    BasicInput basic = makeBasicInput();
    const uint32_t first = basic.builder.sectionCount();
    for (int k = 0; k < 60000; ++k) {
        TestSection unused;
        unused.name = "u";
        unused.type = SHT_PROGBITS;
        unused.data = {uint8_t(k)};
        basic.builder.addSection(unused);
    }
    std::vector<TestSymbol>& symbols = basic.builder.sections[basic.symtab - 1].symbols;
    for (int k = 0; k < 600000; ++k)
        symbols.push_back({.value = 0, .size = 0, .info = symbolInfo(STB_LOCAL, STT_NOTYPE),
                           .shndx = uint16_t(first + k % 60000), .forceName = 1});
    const TimedRun timed = timedBuild(basic.builder.build(), {"-v"});
    ASSERT_EQ(timed.run.result, 0) << timed.run.out.substr(0, 2000);
    expectSoundIfBuilt(timed.run);
    // Each unused section is reported with its ten symbols, in symbol order.
    const std::string last = "Section " + std::to_string(first + 59999) + " unused \"u\".\n";
    const size_t at = timed.run.out.find(last);
    ASSERT_NE(at, std::string::npos);
    const std::string name = "  Unused Symbol \"" + std::string("main") + "\"\n";
    size_t lines = 0;
    for (size_t p = at + last.size(); timed.run.out.compare(p, name.size(), name) == 0; p += name.size()) ++lines;
    EXPECT_EQ(lines, 10u);
    EXPECT_LT(timed.seconds, kTimeBound);
}

TEST(HostileSizes, ManyImportTablesAndManyHomelessSymbols) {
    // With -old every import table numbers its own symbols and every symbol
    // of an empty section looks for a section holding its value; neither
    // walks all symbols or all sections once per table or per symbol.
    BasicInput basic = makeBasicInput();
    const uint32_t empty = basic.builder.addSection(
        {.name = ".sdata", .type = SHT_PROGBITS, .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x10000100});
    const uint32_t firstTable = basic.builder.sectionCount();
    for (int k = 0; k < 30000; ++k)
        basic.builder.addSection({.name = ".fimport_m", .type = SHT_IMPORT_TABLE, .flags = SHF_ALLOC | SHF_EXECINSTR,
                                  .data = {0, 0, 0, 0, 0, 0, 0, 0, 'm', 0}});
    std::vector<TestSymbol>& symbols = basic.builder.sections[basic.symtab - 1].symbols;
    for (int k = 0; k < 30000; ++k)
        symbols.push_back({.info = symbolInfo(STB_GLOBAL, STT_FUNC), .shndx = uint16_t(firstTable + k), .forceName = 1});
    for (int k = 0; k < 500000; ++k)
        symbols.push_back({.value = 0x30000000, .info = symbolInfo(STB_GLOBAL, STT_OBJECT), .shndx = uint16_t(empty),
                           .forceName = 1});
    const TimedRun timed = timedBuild(basic.builder.build(), {"-old"});
    ASSERT_EQ(timed.run.result, 0) << timed.run.out.substr(0, 2000);
    CheckedModule module;
    const std::vector<std::string> problems = checkModule(timed.run.module, module);
    ASSERT_TRUE(problems.empty()) << problems.front();
    // Each table holds its one import; the homeless symbols are stripped.
    const std::vector<CheckedSymbol> kept = module.symbols();
    ASSERT_GT(kept.size(), 30000u + 500000u);
    const size_t firstImport = kept.size() - 530000;
    EXPECT_EQ(kept[firstImport].value, kept[firstImport + 1].value - 64);
    EXPECT_EQ(kept[firstImport + 30000].info, 0u);
    EXPECT_EQ(kept.back().info, 0u);
    EXPECT_LT(timed.seconds, kTimeBound);
}

TEST(HostileSizes, ManyStringTablesCompacted) {
    // -old -s compacts every string table; each looks only at the tables
    // and relocations that use it, not at every section again.
    BasicInput basic = makeBasicInput();
    for (int k = 0; k < 60000; ++k)
        basic.builder.addSection({.name = ".s", .type = SHT_STRTAB, .data = {0, 'a', 'b', 'c', 0}});
    const TimedRun timed = timedBuild(basic.builder.build(), {"-old", "-s", "-v"});
    ASSERT_EQ(timed.run.result, 0) << timed.run.out.substr(0, 2000);
    expectSoundIfBuilt(timed.run);
    EXPECT_LT(timed.seconds, kTimeBound);
}
