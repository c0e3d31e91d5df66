// Section usage, classification into regions, TLS, trampolines and region
// sizes, seen through whole in-process builds.
#include <gtest/gtest.h>

#include "module/ModuleBuildSupport.h"

namespace {

uint32_t addSection(BasicInput& basic, const std::string& name, uint32_t type, uint32_t flags, uint32_t addr,
                    uint32_t size, uint32_t align = 4) {
    TestSection s;
    s.name = name;
    s.type = type;
    s.flags = flags;
    s.addr = addr;
    if (type == SHT_NOBITS)
        s.size = size;
    else
        s.data.assign(size, 0x5A);
    s.addralign = align;
    return basic.builder.addSection(s);
}

std::string line(const char* format, int index, const char* name) {
    char text[256];
    snprintf(text, sizeof text, format, index, name);
    return text;
}

}  // namespace

TEST(RegionRules, UnusedDebugSectionsAreReportedAndOmitted) {
    BasicInput basic = makeBasicInput();
    const uint32_t debug = addSection(basic, ".debug_info", SHT_PROGBITS, 0, 0, 64);
    basic.builder.addRela(debug, {{.r_offset = 0, .symbol = basic.symMain, .type = R_PPC_ADDR32}}, basic.symtab);
    const BuildRun run = buildInProcess(basic.builder.build(), {"-v"});
    ASSERT_EQ(run.result, 0) << run.out;
    EXPECT_TRUE(contains(run.out, line("Section %d unused \"%s\".\n", int(debug), ".debug_info"))) << run.out;
    // Its old name offset now points into the compacted table: only the class is checked.
    EXPECT_TRUE(contains(run.out, line("Section %d: OMIT%s", int(debug), ""))) << run.out;
    CheckedModule module;
    ASSERT_TRUE(checkModule(run.module, module).empty());
    EXPECT_EQ(module.findSection(".debug_info"), -1);
    EXPECT_EQ(module.findSection(".rela.debug_info"), -1);
    // The compacted name table holds the kept names only.
    const std::vector<uint8_t>& names = module.sections[module.shstrndx].contents;
    EXPECT_EQ(std::string(names.begin(), names.end()).find("debug"), std::string::npos);
}

TEST(RegionRules, TablesMoveBehindTheLoaderRange) {
    const BuildRun run = buildInProcess(makeBasicInput().builder.build(), {"-v"});
    ASSERT_EQ(run.result, 0) << run.out;
    EXPECT_TRUE(contains(run.out, "Moved symbolTable table from 0x00000000 to 0xC0000000\n")) << run.out;
    // Three separate tables: three lines, the name table also as a string table.
    size_t moved = 0;
    for (size_t at = run.out.find("Moved "); at != std::string::npos; at = run.out.find("Moved ", at + 1)) ++moved;
    EXPECT_EQ(moved, 3u);
    EXPECT_TRUE(contains(run.out, "Moved stringTable table from 0x00000000 to 0xC00000"));
}

TEST(RegionRules, WritableLoaderSectionIsReportedTwiceAndFails) {
    BasicInput basic = makeBasicInput();
    const uint32_t bad = addSection(basic, ".ldata", SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, 0xC0000000, 16);
    const BuildRun run = buildInProcess(basic.builder.build(), {});
    EXPECT_EQ(run.result, -1);
    const std::string message = "*** Error: \"" + run.modulePath + "\", Section " + std::to_string(bad) +
                                " \".ldata\" is writable but its (QDL adjusted) address (0xC0000000) is in the loader "
                                "range (from 0xC0000000 to (0xFFFFFFFF)).\n";
    const size_t first = run.out.find(message);
    ASSERT_NE(first, std::string::npos) << run.out;
    EXPECT_NE(run.out.find(message, first + 1), std::string::npos) << run.out;
}

TEST(RegionRules, AddressRangeErrors) {
    BasicInput text = makeBasicInput();
    const uint32_t code = addSection(text, ".text2", SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, 0x10000000, 16);
    BuildRun run = buildInProcess(text.builder.build(), {});
    EXPECT_EQ(run.result, -1);
    EXPECT_TRUE(contains(run.out, "Section " + std::to_string(code) +
                                      " \".text2\" is text but its (QDL adjusted) address (0x10000000) is outside the "
                                      "allowed code range (from 0x02000000 to (0x0FFFFFFF)).\n"))
        << run.out;

    BasicInput data = makeBasicInput();
    const uint32_t low = addSection(data, ".lowdata", SHT_PROGBITS, SHF_ALLOC, 0x02100000, 16);
    run = buildInProcess(data.builder.build(), {});
    EXPECT_EQ(run.result, -1);
    EXPECT_TRUE(contains(run.out, "Section " + std::to_string(low) +
                                      " \".lowdata\" is data but its (QDL adjusted) address (0x02100000) is outside the "
                                      "allowed data range (from 0x10000000 to (0xBFFFFFFF)). Check the .ld and .map "
                                      "file for potential overflow.\n"))
        << run.out;
}

TEST(RegionRules, LoadBaseIsRealignedDown) {
    BasicInput basic = makeBasicInput();
    addSection(basic, ".ltable", SHT_PROGBITS, SHF_ALLOC, 0xC0000010, 16, 64);
    const BuildRun run = buildInProcess(basic.builder.build(), {});
    ASSERT_EQ(run.result, 0) << run.out;
    EXPECT_TRUE(contains(run.out, "WARN: Realigning region 2 base.\n")) << run.out;
}

TEST(RegionRules, ZeroFilledCodeIsRefused) {
    BasicInput basic = makeBasicInput();
    const uint32_t zero = addSection(basic, ".tbss_code", SHT_NOBITS, SHF_ALLOC | SHF_EXECINSTR, 0x02001000, 32);
    const BuildRun run = buildInProcess(basic.builder.build(), {});
    EXPECT_EQ(run.result, -1);
    EXPECT_TRUE(contains(run.out, "*** Error: Placing a zero filled section '.tbss_code'(" + std::to_string(zero) +
                                      ") in the code area is not allowed.\n"))
        << run.out;
}

TEST(RegionRules, TlsHeaderMustMatchTheTlsSections) {
    BasicInput basic = makeBasicInput();
    const uint32_t tdata =
        addSection(basic, ".tdata", SHT_PROGBITS, SHF_ALLOC | SHF_WRITE | SHF_TLS_DATA, 0x10002000, 16, 8);
    Elf32_Phdr tls{};
    tls.p_type = PT_TLS;
    tls.p_vaddr = 0x10002000;
    tls.p_memsz = 16;
    tls.p_align = 8;
    basic.builder.addProgramHeader(tls);
    BuildRun run = buildInProcess(basic.builder.build(), {});
    ASSERT_EQ(run.result, 0) << run.out;
    CheckedModule module;
    ASSERT_TRUE(checkModule(run.module, module).empty());
    EXPECT_EQ(module.fileInfoWord(0x34) & 0x8, 0x8u);
    EXPECT_EQ(module.fileInfo[0x5B], 3);  // alignment 8 = 2^3

    basic.builder.segments.back().header.p_memsz = 32;
    (void)tdata;
    run = buildInProcess(basic.builder.build(), {});
    EXPECT_EQ(run.result, -1);
    EXPECT_TRUE(contains(run.out, "***Error: TLS Program Header does not match TLS sections.\n")) << run.out;
}

TEST(RegionRules, CallsToUndefinedFunctionsReserveTrampolines) {
    BasicInput basic = makeBasicInput();
    // A second call, to an undefined function, from the end of .text.
    basic.builder.sections[basic.symtab - 1].symbols.push_back(
        {.name = "elsewhere", .info = symbolInfo(STB_GLOBAL, STT_FUNC), .shndx = 0});
    basic.builder.sections[basic.relaText - 1].relas.push_back(
        {.r_offset = 0x0200000C, .symbol = 4, .type = R_PPC_REL24});
    const BuildRun run = buildInProcess(basic.builder.build(), {"-v"});
    ASSERT_EQ(run.result, 0) << run.out;
    // The call to helper stays inside .text and needs none.
    EXPECT_TRUE(contains(run.out, "TEXT ADJUSTED from 0x00000010 to 0x00000020 for 1 TRAMPOLINES\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "TEXT TRAMP ADDITION is 16\n")) << run.out;
    CheckedModule module;
    ASSERT_TRUE(checkModule(run.module, module).empty());
    EXPECT_EQ(module.fileInfoWord(0x04), 0x20u);
    EXPECT_EQ(module.fileInfoWord(0x48), 16u);
    EXPECT_EQ(module.fileInfoWord(0x20), 0u);
}

TEST(RegionRules, RegionLimitsAndPadding) {
    const std::vector<uint8_t> input = makeBasicInput().builder.build();
    BuildRun run = buildInProcess(input, {"-sizedata", "4102", "-sizetext", "4096", "-sizeload", "4096",
                                          "-sizetemp", "4096"});
    EXPECT_EQ(run.result, -1);
    EXPECT_TRUE(contains(run.out, "Error: \"" + run.modulePath +
                                      "\" -sizedata 4102 is not aligned to DATA segment 4 byte alignment (try 4104).\n"))
        << run.out;

    run = buildInProcess(input, {"-sizedata", "4096", "-sizetext", "4096", "-sizeload", "4096", "-sizetemp", "4096"});
    ASSERT_EQ(run.result, 0) << run.out;
    CheckedModule module;
    ASSERT_TRUE(checkModule(run.module, module).empty());
    for (uint32_t field : {0x04u, 0x0Cu, 0x14u, 0x1Cu}) EXPECT_EQ(module.fileInfoWord(field), 4096u) << field;

    run = buildInProcess(input, {"-sizedata", "16", "-sizetext", "4096", "-sizeload", "4096", "-sizetemp", "4096"});
    EXPECT_EQ(run.result, -1);
    EXPECT_TRUE(contains(run.out, "Error: " + run.modulePath + " has DATA size of 32 is larger then limit from -sizedata 16\n"))
        << run.out;

    run = buildInProcess(input, {"-padall", "10"});
    ASSERT_EQ(run.result, 0) << run.out;
    module = CheckedModule{};
    ASSERT_TRUE(checkModule(run.module, module).empty());
    // DATA is .data + .bss = 32 bytes: 32 + 3 = 35, rounded to the alignment 4: 36.
    EXPECT_EQ(module.fileInfoWord(0x0C), 36u);
}
