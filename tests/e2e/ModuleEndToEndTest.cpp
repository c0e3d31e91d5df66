// The tool run as a build system runs it, on real GNU-linked inputs; every
// module is checked by the independent reader of the test tree.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e/EndToEndSupport.h"
#include "support/ElfBuilder.h"
#include "support/ModuleChecker.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

const std::string kSource = QDLGEN_SOURCE_DIR;

std::string copyExample(const std::string& directory) {
    const std::string path = directory + "/demo.elf";
    fs::copy_file(kSource + "/examples/demo.elf", path, fs::copy_options::overwrite_existing);
    return path;
}

CheckedModule checkedModule(const std::string& path) {
    CheckedModule module;
    const std::vector<std::string> problems = checkModule(readWholeFile(path), module);
    for (const std::string& problem : problems) ADD_FAILURE() << path << ": " << problem;
    return module;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

}  // namespace

TEST(ModuleEndToEnd, BundledExampleGivesSoundModuleAndLibrary) {
    const std::string dir = testTempDir();
    const std::string input = copyExample(dir);
    const ToolRun run = runQdlgen(dir, "-v demo.elf");
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.errors, "");
    EXPECT_NE(run.output.find("exec: " + kSource + "/examples/ghs/ax -ts \"" + dir + "/demo.a\""), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("--TEXT------------------\n"), std::string::npos);

    const CheckedModule module = checkedModule(dir + "/demo.qdl");
    EXPECT_EQ(module.fileInfoWord(0x50), 211u);  // SDK version from the tags file
    EXPECT_EQ(module.fileInfoWord(0x54), 7u);    // SDK revision
    EXPECT_EQ(module.fileInfoWord(0x30), 0x60u);
    EXPECT_EQ(module.fileInfoWord(0x2C), 0x10000u);  // default stack
    EXPECT_EQ(module.fileInfoWord(0x38), 0x8000u);   // default heap
    EXPECT_EQ(module.fileInfoWord(0x44), 0xFFFFFFFFu);
    EXPECT_EQ(module.fileInfoWord(0x34), 0u);  // a QDL without flags
    const std::string path(reinterpret_cast<const char*>(&module.fileInfo[0x60]));
    EXPECT_EQ(path, dir + "/demo.qdl");
    const uint32_t tags = module.fileInfoWord(0x3C);
    ASSERT_NE(tags, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&module.fileInfo[tags])), "DEMO_TAG");

    // Code and data inflate back to the input's bytes.
    const std::vector<uint8_t> elf = readWholeFile(input);
    for (const char* name : {".text", ".rodata"}) {
        const int index = module.findSection(name);
        ASSERT_GT(index, 0) << name;
        EXPECT_EQ(module.sections[index].contents, elfSectionBytes(elf, name)) << name;
    }
    // Each of the two calls to the other module reserves a trampoline.
    EXPECT_NE(run.output.find("for 2 TRAMPOLINES"), std::string::npos) << run.output;

    if (haveCrossToolchain()) {
        EXPECT_EQ(runCommand(dir, "powerpc-linux-gnu-readelf -h -S demo.qdl").exitStatus, 0);
        const ToolRun members = runCommand(dir, "powerpc-linux-gnu-ar t demo.a");
        EXPECT_EQ(members.exitStatus, 0);
        EXPECT_EQ(members.output, "demo.qdl.o\n");
        const ToolRun symbols = runCommand(dir, "powerpc-linux-gnu-nm demo.a");
        EXPECT_NE(symbols.output.find("demo_square"), std::string::npos) << symbols.output;
        EXPECT_NE(symbols.output.find("squares"), std::string::npos) << symbols.output;
    }
}

TEST(ModuleEndToEnd, UncompressedAndCompressedModulesHoldTheSameSections) {
    const std::string dir = testTempDir();
    copyExample(dir);
    ASSERT_EQ(runQdlgen(dir, "-nolib -zx demo.elf").exitStatus, 0);
    fs::rename(dir + "/demo.qdl", dir + "/plain.qdl");
    ASSERT_EQ(runQdlgen(dir, "-nolib -z9 demo.elf").exitStatus, 0);
    const CheckedModule plain = checkedModule(dir + "/plain.qdl");
    const CheckedModule packed = checkedModule(dir + "/demo.qdl");
    ASSERT_EQ(plain.sections.size(), packed.sections.size());
    bool anyCompressed = false;
    for (size_t i = 1; i + 2 < plain.sections.size(); ++i) {
        EXPECT_EQ(plain.sections[i].flags & 0x08000000, 0u) << i;
        anyCompressed |= (packed.sections[i].flags & 0x08000000) != 0;
        EXPECT_EQ(plain.sections[i].contents, packed.sections[i].contents) << i;
        EXPECT_EQ(plain.crcs[i], packed.crcs[i]) << i;
    }
    EXPECT_TRUE(anyCompressed);
    EXPECT_EQ(packed.fileInfoWord(0x44), 9u);
}

TEST(ModuleEndToEnd, ThreadCountDoesNotChangeTheModule) {
    // Several large sections, so that the threads really share the work.
    BasicInput basic = makeBasicInput();
    for (int k = 0; k < 6; ++k) {
        std::vector<uint8_t> data(150000 + 7919 * k);
        for (size_t b = 0; b < data.size(); ++b) data[b] = uint8_t((b * (k + 3)) ^ (b >> 7));
        basic.builder.sections[basic.data - 1].data.insert(basic.builder.sections[basic.data - 1].data.end(),
                                                           data.begin(), data.begin() + 1000);
        TestSection extra;
        extra.name = ".rodata" + std::to_string(k);
        extra.flags = SHF_ALLOC;
        extra.addr = 0x10100000 + 0x100000 * k;
        extra.data = data;
        extra.addralign = 8;
        basic.builder.addSection(extra);
    }
    const std::string dir = testTempDir();
    const std::string input = writeTempFile(basic.builder.build(), "big.elf");
    ASSERT_EQ(runQdlgen(dir, "-nolib -v big.elf", {{"QDLGEN_JOBS", "1"}}).exitStatus, 0);
    const std::vector<uint8_t> sequential = readWholeFile(dir + "/big.qdl");
    const ToolRun sequentialRun = runQdlgen(dir, "-nolib -v big.elf", {{"QDLGEN_JOBS", "1"}});
    const ToolRun parallelRun = runQdlgen(dir, "-nolib -v big.elf", {{"QDLGEN_JOBS", "4"}});
    ASSERT_EQ(parallelRun.exitStatus, 0) << parallelRun.output;
    EXPECT_EQ(readWholeFile(dir + "/big.qdl"), sequential);
    EXPECT_EQ(parallelRun.output, sequentialRun.output);
    checkedModule(dir + "/big.qdl");
}

TEST(ModuleEndToEnd, LargeSectionsSharedAmongThreadsGiveTheSameModule) {
    // Sections of 2 MiB and more may be shared by all the threads: on two
    // threads the larger one here is (it does not fit beside the other), its
    // CRC in pieces too, also when nothing is compressed.
    BasicInput basic = makeBasicInput();
    for (int k = 0; k < 2; ++k) {
        std::vector<uint8_t> data((3u << 20) - 500000 * k);
        uint32_t state = 12345 + k;
        for (size_t b = 0; b < data.size(); ++b) {
            state = state * 1103515245u + 12345u;
            data[b] = (state >> 16) % 7 ? uint8_t(b / 64) : uint8_t(state >> 24);
        }
        TestSection big;
        big.name = ".big" + std::to_string(k);
        big.flags = SHF_ALLOC;
        big.addr = 0x10400000 + 0x400000 * k;
        big.data = data;
        basic.builder.addSection(big);
    }
    const std::string dir = testTempDir();
    writeTempFile(basic.builder.build(), "big.elf");
    for (const std::string options : {"-nolib -v -z9 big.elf", "-nolib -v -zx big.elf"}) {
        const ToolRun sequentialRun = runQdlgen(dir, options, {{"QDLGEN_JOBS", "1"}});
        ASSERT_EQ(sequentialRun.exitStatus, 0) << sequentialRun.output;
        const std::vector<uint8_t> sequential = readWholeFile(dir + "/big.qdl");
        checkedModule(dir + "/big.qdl");
        for (const char* jobs : {"2", "3", "8"}) {
            const ToolRun run = runQdlgen(dir, options, {{"QDLGEN_JOBS", jobs}});
            ASSERT_EQ(run.exitStatus, 0) << run.output;
            EXPECT_TRUE(readWholeFile(dir + "/big.qdl") == sequential) << options << " " << jobs;
            EXPECT_EQ(run.output, sequentialRun.output) << options << " " << jobs;
        }
    }
}

TEST(ModuleEndToEnd, IncompressibleSectionIsStoredAsItIs) {
    // 8 MiB of random bytes: the stream would not fit in the section's size
    // + 1024 bytes, so the section is stored, as with -zx.
    BasicInput basic = makeBasicInput();
    TestSection packed;
    packed.name = ".packed";
    packed.flags = SHF_ALLOC;
    packed.addr = 0x10400000;
    packed.data.resize(8 << 20);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint8_t& byte : packed.data) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        byte = uint8_t(state >> 56);
    }
    packed.addralign = 16;
    basic.builder.addSection(packed);
    const std::string dir = testTempDir();
    writeTempFile(basic.builder.build(), "packed.elf");

    const ToolRun stored = runQdlgen(dir, "-nolib -zx packed.elf");
    ASSERT_EQ(stored.exitStatus, 0) << stored.output;
    const std::vector<uint8_t> storedFile = readWholeFile(dir + "/packed.qdl");
    const ToolRun run = runQdlgen(dir, "-nolib packed.elf");
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output.find("rror"), std::string::npos) << run.output;
    const std::vector<uint8_t> file = readWholeFile(dir + "/packed.qdl");

    const CheckedModule module = checkedModule(dir + "/packed.qdl");
    const int index = module.findSection(".packed");
    ASSERT_GT(index, 0);
    const CheckedSection& section = module.sections[index];
    EXPECT_EQ(section.flags & 0x08000000, 0u);
    EXPECT_EQ(section.size, packed.data.size());
    EXPECT_EQ(section.contents, packed.data);
    EXPECT_EQ(module.crcs[index], uint32_t(crc32(0, packed.data.data(), uInt(packed.data.size()))));

    CheckedModule storedModule;
    ASSERT_TRUE(checkModule(storedFile, storedModule).empty());
    const CheckedSection& storedSection = storedModule.sections[storedModule.findSection(".packed")];
    ASSERT_LE(uint64_t(section.offset) + section.size, file.size());
    ASSERT_LE(uint64_t(storedSection.offset) + storedSection.size, storedFile.size());
    EXPECT_TRUE(std::equal(file.begin() + section.offset, file.begin() + section.offset + section.size,
                           storedFile.begin() + storedSection.offset));
}

TEST(ModuleEndToEnd, FailedWriteLeavesNoPartialFile) {
    const std::string dir = testTempDir();
    copyExample(dir);
    // A directory stands where the module should go: it cannot be opened for writing.
    fs::create_directory(dir + "/demo.qdl");
    writeText(dir + "/demo.qdl/keep", "older");
    const ToolRun run = runQdlgen(dir, "-nolib demo.elf");
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_NE(run.output.find("***Error: Could not open outfile file for writing.\n"), std::string::npos)
        << run.output;
    EXPECT_TRUE(fs::is_directory(dir + "/demo.qdl"));
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST(ModuleEndToEnd, FailedRunKeepsAnOlderModule) {
    const std::string dir = testTempDir();
    copyExample(dir);
    ASSERT_EQ(runQdlgen(dir, "-nolib demo.elf").exitStatus, 0);
    const std::vector<uint8_t> older = readWholeFile(dir + "/demo.qdl");
    // A region limit that is too small ends the build before anything is written.
    const ToolRun run = runQdlgen(dir, "-nolib -sizedata 64 -sizetext 64 -sizeload 64 -sizetemp 64 demo.elf");
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_NE(run.output.find("is larger then limit from"), std::string::npos) << run.output;
    EXPECT_EQ(readWholeFile(dir + "/demo.qdl"), older);
}

TEST(ModuleEndToEnd, SecondModuleLinksAgainstTheImportLibrary) {
    if (!haveCrossToolchain()) GTEST_SKIP() << "no PowerPC cross toolchain";
    const std::string dir = testTempDir();
    copyExample(dir);
    ASSERT_EQ(runQdlgen(dir, "demo.elf").exitStatus, 0);

    writeText(dir + "/user.c",
              "extern int demo_square(int);\n"
              "extern const int squares[8];\n"
              "int user_main(int x) { return demo_square(x) + demo_square(x + 1) + squares[2]; }\n");
    writeText(dir + "/user.ld",
              "ENTRY(user_main)\nSECTIONS\n{\n  . = 0x02000000;\n  .text : { *(.text .text.*) }\n"
              "  . = 0x10000000;\n  .data : { *(.data .data.* .rodata .rodata.*) }\n"
              "  /DISCARD/ : { *(.comment) *(.note.*) *(.eh_frame) *(.gnu.attributes) }\n}\n");
    ASSERT_EQ(runCommand(dir, "powerpc-linux-gnu-gcc -O2 -fno-pic -mno-sdata -ffreestanding -c user.c -o user.o")
                  .exitStatus,
              0);
    const ToolRun link = runCommand(dir, "powerpc-linux-gnu-ld --emit-relocs -z noexecstack -T user.ld user.o demo.a -o user.elf");
    ASSERT_EQ(link.exitStatus, 0) << link.errors;

    const ToolRun run = runQdlgen(dir, "-v -nolib user.elf");
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_NE(run.output.find("for 2 TRAMPOLINES"), std::string::npos) << run.output;
    const CheckedModule module = checkedModule(dir + "/user.qdl");

    const int functions = module.findSection(".fimport_demo.qdl");
    ASSERT_GT(functions, 0);
    const CheckedSection& table = module.sections[functions];
    EXPECT_EQ(table.addr % 64, 0u);
    EXPECT_GE(table.addr, 0xC0000000u);
    EXPECT_EQ(table.flags & 1, 0u);  // no longer writable
    ASSERT_GE(table.contents.size(), 8u);
    const uint32_t count = uint32_t(table.contents[0]) << 24 | table.contents[1] << 16 | table.contents[2] << 8 |
                           table.contents[3];
    const uint32_t signature = uint32_t(table.contents[4]) << 24 | table.contents[5] << 16 | table.contents[6] << 8 |
                               table.contents[7];
    EXPECT_EQ(count, 1u);
    const char names[] = "demo_square\0\0\0\0\0\0\0\0\0\0\0\0\0\0";
    EXPECT_EQ(signature, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(names), 12 + 14)));
    // The module name "demo.qdl" needs more than the one slot: (8 + 16) & ~7.
    EXPECT_EQ(table.size, 24u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&table.contents[8])), "demo.qdl");

    const int data = module.findSection(".dimport_demo.qdl");
    ASSERT_GT(data, 0);
    EXPECT_GE(module.sections[data].addr, table.addr + table.size);
    EXPECT_EQ(module.sections[data].addr % 64, 0u);
}

TEST(ModuleEndToEnd, OlderSymbolPathGivesSoundModules) {
    const std::string dir = testTempDir();
    copyExample(dir);
    ASSERT_EQ(runQdlgen(dir, "-nolib -old demo.elf").exitStatus, 0);
    const CheckedModule old = checkedModule(dir + "/demo.qdl");
    const int symtab = old.findSection(".symtab");
    ASSERT_GT(symtab, 0);
    // The input table keeps its size and numbering on this path.
    const std::vector<uint8_t> elf = readWholeFile(dir + "/demo.elf");
    EXPECT_EQ(old.sections[symtab].contents.size(), elfSectionBytes(elf, ".symtab").size());

    const ToolRun stripped = runQdlgen(dir, "-nolib -old -s -v demo.elf");
    ASSERT_EQ(stripped.exitStatus, 0) << stripped.output;
    EXPECT_NE(stripped.output.find("of stringtable used for import symbols.\n"), std::string::npos) << stripped.output;
    const CheckedModule module = checkedModule(dir + "/demo.qdl");
    const int strtab = module.findSection(".strtab");
    ASSERT_GT(strtab, 0);
    // Only the import name survives: the call to the other module.
    const std::vector<uint8_t>& strings = module.sections[strtab].contents;
    std::vector<std::string> names;
    std::string current;
    for (uint8_t c : strings) {
        if (c) {
            current += char(c);
        } else if (!current.empty()) {
            names.push_back(current);
            current.clear();
        }
    }
    EXPECT_EQ(names, std::vector<std::string>{"host_log"});
}

TEST(ModuleEndToEnd, ModuleRefusedByItsOwnCheckNeverTakesTheOutputName) {
    const std::string dir = testTempDir();
    BasicInput good = makeBasicInput();
    writeTempFile(good.builder.build(), "app.elf");
    ASSERT_EQ(runQdlgen(dir, "-nolib app.elf").exitStatus, 0);
    const std::vector<uint8_t> older = readWholeFile(dir + "/app.qdl");
    ASSERT_FALSE(older.empty());

    // A loader section of the CRC table's type: the module holds two CRC
    // tables, and the check of the written file refuses it.
    BasicInput bad = makeBasicInput();
    bad.builder.addSection({.name = ".crcs", .type = 0x80000003, .flags = SHF_ALLOC, .addr = 0xC0000000,
                            .data = bad.builder.words({1, 2}), .addralign = 4});
    writeTempFile(bad.builder.build(), "app.elf");
    for (bool withOlder : {true, false}) {
        if (!withOlder) fs::remove(dir + "/app.qdl");
        const ToolRun run = runQdlgen(dir, "-nolib app.elf");
        EXPECT_EQ(run.exitStatus, 255);
        EXPECT_NE(run.output.find("***Error: more than one crcs section in target file! return -1.\n"
                                  "***Error 0xFFFFFFFF reloading generated file \"" +
                                  fs::canonical(dir).string() + "/app.qdl\"\n"),
                  std::string::npos)
            << run.output;
        if (withOlder)
            EXPECT_EQ(readWholeFile(dir + "/app.qdl"), older);
        else
            EXPECT_FALSE(fs::exists(dir + "/app.qdl"));
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "app.elf" || name == "app.qdl") << name;
        }
    }
}
