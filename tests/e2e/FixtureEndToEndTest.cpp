// The built tool run on every module input that the GNU PowerPC toolchain
// linked at build time, each written module checked by the independent
// reader of the test tree, and a second module linked against the first
// one's import library.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <set>

#include "e2e/EndToEndSupport.h"
#include "support/ElfBuilder.h"
#include "support/Fixtures.h"
#include "support/ModuleChecker.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

constexpr uint32_t kImportTable = 0x80000002;
constexpr uint32_t kDeflated = 0x08000000;
constexpr uint32_t kTextBase = 0x02000000;
constexpr uint32_t kDataBase = 0x10000000;

struct Converted {
    std::string dir;
    std::string module;  // path of the written module
    ToolRun run;
    CheckedModule checked;
};

// Copies the fixture into a fresh directory and converts it there.
Converted convertFixture(const char* fixture, const std::string& arguments = "") {
    Converted c;
    c.dir = testTempDir();
    const std::string stem = fs::path(fixture).stem().string();
    fs::copy_file(fixturePath(fixture), c.dir + "/" + fixture, fs::copy_options::overwrite_existing);
    c.run = runQdlgen(c.dir, arguments + (arguments.empty() ? "" : " ") + fixture);
    c.module = c.dir + "/" + stem + (fs::exists(c.dir + "/" + stem + ".qdx") ? ".qdx" : ".qdl");
    if (c.run.exitStatus != 0) return c;
    const std::vector<uint8_t> bytes = readWholeFile(c.module);
    for (const std::string& problem : checkModule(bytes, c.checked)) ADD_FAILURE() << c.module << ": " << problem;
    EXPECT_EQ(c.checked.fileLength, c.checked.expectedLength) << c.module << ": the file does not end behind its last section";
    for (const std::string& problem : compareWithInput(c.checked, readWholeFile(c.dir + "/" + fixture)))
        ADD_FAILURE() << c.module << ": " << problem;
    return c;
}

uint32_t be32(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
}

bool isTable(const CheckedSection& s) { return s.type == 0x80000001 || s.type == kImportTable; }

// The end address of the TEXT or DATA region as the module's own section
// headers give it: the largest address + uncompressed size of its sections.
uint32_t regionEnd(const CheckedModule& m, bool text) {
    uint32_t end = text ? kTextBase : kDataBase;
    for (size_t i = 1; i + 2 < m.sections.size(); ++i) {
        const CheckedSection& s = m.sections[i];
        if (!(s.flags & 2) || isTable(s)) continue;
        const bool exec = s.flags & 4;
        if (text != exec) continue;
        if (!text && (s.addr < kDataBase || s.addr >= 0xC0000000)) continue;
        const uint32_t size = s.type == 8 ? s.size : uint32_t(s.contents.size());
        end = std::max(end, s.addr + size);
    }
    return end;
}

// The REL24 calls from code to undefined symbols or to symbols of import
// tables: each needs a trampoline.
int callsNeedingTrampolines(const CheckedModule& m) {
    const std::vector<CheckedSymbol> symbols = m.symbols();
    int count = 0;
    for (size_t i = 1; i + 2 < m.sections.size(); ++i) {
        const CheckedSection& rela = m.sections[i];
        if (rela.type != 4 || rela.info >= m.sections.size() || !(m.sections[rela.info].flags & 4)) continue;
        for (const CheckedRelocation& r : m.relocations(i)) {
            if (r.type() != 10 || r.symbol() >= symbols.size()) continue;
            const uint16_t shndx = symbols[r.symbol()].shndx;
            if (shndx == rela.info || shndx > 0xFF00) continue;
            if (shndx == 0 || (shndx < m.sections.size() && m.sections[shndx].type == kImportTable)) ++count;
        }
    }
    return count;
}

// The TEXT size the loader must reserve: the code span rounded out to 16
// bytes plus one 16-byte trampoline per call into another module.
void expectTextSize(const CheckedModule& m, int calls) {
    const uint32_t end = regionEnd(m, true);
    if (end == kTextBase) {
        EXPECT_EQ(m.info.textSize, 0u);
        return;
    }
    EXPECT_EQ(m.info.textSize, ((end + 15) & ~15u) - kTextBase + 16u * uint32_t(calls));
    EXPECT_EQ(m.info.trampAdj, 0u);
}

void expectReadelfAccepts(const std::string& dir, const std::string& module) {
    const ToolRun readelf = runCommand(dir, "powerpc-linux-gnu-readelf -h -S " + shellQuote(module));
    EXPECT_EQ(readelf.exitStatus, 0) << readelf.errors;
    EXPECT_EQ(readelf.errors, "") << module;
    EXPECT_NE(readelf.output.find("PowerPC"), std::string::npos) << readelf.output;
}

// The symbols of a big-endian ELF file (its .symtab with .strtab), by name.
std::map<std::string, CheckedSymbol> bigEndianSymbols(const std::vector<uint8_t>& elf) {
    const std::vector<uint8_t> table = elfSectionBytes(elf, ".symtab");
    const std::vector<uint8_t> strings = elfSectionBytes(elf, ".strtab");
    std::map<std::string, CheckedSymbol> symbols;
    for (size_t at = 16; at + 16 <= table.size(); at += 16) {
        CheckedSymbol s;
        for (size_t k = be32(table, at); k < strings.size() && strings[k]; ++k) s.name += char(strings[k]);
        s.value = be32(table, at + 4);
        s.size = be32(table, at + 8);
        s.info = table[at + 12];
        s.other = table[at + 13];
        s.shndx = uint16_t(table[at + 14] << 8 | table[at + 15]);
        symbols[s.name] = s;
    }
    return symbols;
}

struct ProgramHeader {
    uint32_t type = 0, offset = 0, vaddr = 0, paddr = 0, filesz = 0, memsz = 0, flags = 0, align = 0;
};

// The first program header of `type` of a big-endian ELF file.
bool findProgramHeader(const std::vector<uint8_t>& elf, uint32_t type, ProgramHeader& found) {
    if (elf.size() < 52) return false;
    const uint32_t phoff = be32(elf, 28);
    const uint32_t count = uint32_t(elf[44]) << 8 | elf[45];
    for (uint32_t i = 0; i < count && uint64_t(phoff) + 32 * (i + 1) <= elf.size(); ++i) {
        const size_t at = phoff + 32 * size_t(i);
        if (be32(elf, at) != type) continue;
        found = {be32(elf, at), be32(elf, at + 4), be32(elf, at + 8), be32(elf, at + 12),
                 be32(elf, at + 16), be32(elf, at + 20), be32(elf, at + 24), be32(elf, at + 28)};
        return true;
    }
    return false;
}

class FixtureEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveFixture("lib.elf")) GTEST_SKIP() << "the fixtures were not built (no GNU PowerPC toolchain)";
    }
};

}  // namespace

TEST_F(FixtureEndToEnd, EveryFixtureGivesASoundModule) {
    struct Case {
        const char* fixture;
        const char* module;
        const char* library;  // nullptr: no export tables, no library
    };
    const Case cases[] = {
        {"lib.elf", "lib.qdl", "lib.a"},         {"bigdata.elf", "bigdata.qdl", "bigdata.a"},
        {"debug.elf", "debug.qdl", nullptr},     {"qdx.elf", "qdx.qdx", "qdx.a"},
        {"plain.elf", "plain.qdl", nullptr},     {"lib_le.elf", "lib_le.qdl", "lib_le.a"},
        {"tls.elf", "tls.qdl", "tls.a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        ASSERT_TRUE(haveFixture(c.fixture));
        const Converted run = convertFixture(c.fixture);
        ASSERT_EQ(run.run.exitStatus, 0) << run.run.output;
        EXPECT_EQ(run.run.errors, "");
        EXPECT_EQ(run.run.output.find("FAILED"), std::string::npos) << run.run.output;
        EXPECT_EQ(run.module, run.dir + "/" + c.module);
        EXPECT_EQ(run.checked.info.path, run.dir + "/" + c.module);
        expectReadelfAccepts(run.dir, c.module);
        expectTextSize(run.checked, callsNeedingTrampolines(run.checked));
        EXPECT_EQ(run.checked.info.dataSize, regionEnd(run.checked, false) - kDataBase);
        if (!c.library) {
            EXPECT_FALSE(fs::exists(run.dir + "/" + fs::path(c.fixture).stem().string() + ".a"));
            continue;
        }
        // GNU ar reads the library, and the stand-in archiver gave it its index.
        const ToolRun members = runCommand(run.dir, std::string("powerpc-linux-gnu-ar t ") + c.library);
        EXPECT_EQ(members.exitStatus, 0) << members.errors;
        EXPECT_EQ(members.output, std::string(c.module) + ".o\n");
        const ToolRun index = runCommand(run.dir, std::string("powerpc-linux-gnu-nm -s ") + c.library);
        EXPECT_EQ(index.exitStatus, 0) << index.errors;
        EXPECT_NE(index.output.find("Archive index:"), std::string::npos) << index.output;
    }
}

TEST_F(FixtureEndToEnd, LibraryFileInfoFields) {
    const Converted run = convertFixture("lib.elf", "-v");
    ASSERT_EQ(run.run.exitStatus, 0) << run.run.output;
    const DecodedFileInfo& info = run.checked.info;
    EXPECT_EQ(info.flags, 0u);  // a QDL, not dynamic-only, no TLS
    EXPECT_EQ(info.sdaBase, 0x8000u);
    EXPECT_EQ(info.sda2Base, 0x8000u);
    EXPECT_EQ(info.stackSize, 0x10000u);
    EXPECT_EQ(info.heapSize, 0x8000u);
    EXPECT_EQ(info.compressionLevel, 0xFFFFFFFFu);
    EXPECT_EQ(info.sdkVersion, 211u);
    EXPECT_EQ(info.sdkRevision, 7u);
    EXPECT_EQ(info.requestedSize, 0u);
    EXPECT_EQ(info.tlsAlignLog2, 0u);
    const std::vector<std::pair<std::string, std::string>> tags{{"DEMO_TAG", "sample"}};
    EXPECT_EQ(info.tags, tags);
    // 97 + the full path + the padding for TARN_ROOT + the tags (3 + 8 + 6 + 2).
    const std::string root = std::string(QDLGEN_SOURCE_DIR) + "/examples/sdk";
    const size_t padding = root.size() < 84 ? 84 - root.size() : 0;
    EXPECT_EQ(run.checked.fileInfo.size(), 97 + info.path.size() + padding + 19);

    // lib.c calls host_yield and host_print: every such call site reserves
    // a trampoline, and -v records the growth in FileInfo.
    const ToolRun relocs = runCommand(run.dir, "powerpc-linux-gnu-readelf -rW lib.elf");
    int inputCalls = 0;
    for (size_t at = relocs.output.find("R_PPC_REL24"); at != std::string::npos;
         at = relocs.output.find("R_PPC_REL24", at + 1)) {
        const std::string line = relocs.output.substr(at, relocs.output.find('\n', at) - at);
        if (line.find("host_") != std::string::npos) ++inputCalls;
    }
    ASSERT_GE(inputCalls, 2);
    EXPECT_EQ(callsNeedingTrampolines(run.checked), inputCalls);
    EXPECT_EQ(info.trampGrowth, 16u * uint32_t(inputCalls));
    EXPECT_NE(run.run.output.find("for " + std::to_string(inputCalls) + " TRAMPOLINES\n"), std::string::npos)
        << run.run.output;
    expectTextSize(run.checked, inputCalls);
    // Without -v the growth field stays 0 while the size keeps the room.
    const Converted quiet = convertFixture("lib.elf");
    ASSERT_EQ(quiet.run.exitStatus, 0);
    EXPECT_EQ(quiet.checked.info.trampGrowth, 0u);
    EXPECT_EQ(quiet.checked.info.textSize, info.textSize);
}

TEST_F(FixtureEndToEnd, LargeTableIsCompressedAndInflatesBack) {
    const Converted packed = convertFixture("bigdata.elf", "-nolib");
    ASSERT_EQ(packed.run.exitStatus, 0) << packed.run.output;
    const int rodata = packed.checked.findSection(".rodata");
    ASSERT_GT(rodata, 0);
    const CheckedSection& table = packed.checked.sections[rodata];
    EXPECT_TRUE(table.flags & kDeflated);
    EXPECT_EQ(table.contents.size(), 204800u);
    EXPECT_LT(table.size, 204800u / 10);
    EXPECT_EQ(be32(readWholeFile(packed.module), table.offset), 204800u);  // inflated size, big-endian
    EXPECT_TRUE(table.flags & 1);  // read-only data is written to DATA with SHF_WRITE
    EXPECT_LT(packed.checked.fileLength, 204800u / 4);

    const Converted stored = convertFixture("bigdata.elf", "-nolib -zx");
    ASSERT_EQ(stored.run.exitStatus, 0) << stored.run.output;
    ASSERT_EQ(stored.checked.sections.size(), packed.checked.sections.size());
    EXPECT_GT(stored.checked.fileLength, 204800u);
    for (size_t i = 1; i < stored.checked.sections.size(); ++i) {
        EXPECT_EQ(stored.checked.sections[i].flags & kDeflated, 0u) << i;
        EXPECT_EQ(stored.checked.sections[i].contents, packed.checked.sections[i].contents) << i;
        if (i + 1 < stored.checked.sections.size()) {
            EXPECT_EQ(stored.checked.crcs[i], packed.checked.crcs[i]) << i;
        }
    }
    // The compression level is recorded even when nothing is compressed.
    EXPECT_EQ(stored.checked.info.compressionLevel, 0xFFFFFFFFu);
    const Converted level = convertFixture("bigdata.elf", "-nolib -z1");
    ASSERT_EQ(level.run.exitStatus, 0);
    EXPECT_EQ(level.checked.info.compressionLevel, 1u);
    EXPECT_EQ(level.checked.sections[rodata].contents, table.contents);
}

TEST_F(FixtureEndToEnd, UnusedDebugSectionsAreDropped) {
    // Nothing in the module refers to the debug sections of a -g build: they
    // are reported unused and left out, with their relocation sections.
    const Converted run = convertFixture("debug.elf", "-nolib -v");
    ASSERT_EQ(run.run.exitStatus, 0) << run.run.output;
    EXPECT_NE(run.run.output.find(" unused \".debug_info\".\n"), std::string::npos) << run.run.output;
    EXPECT_NE(run.run.output.find(" unused \".rela.debug_info\".\n"), std::string::npos) << run.run.output;
    for (size_t i = 1; i + 2 < run.checked.sections.size(); ++i)
        EXPECT_NE(run.checked.sectionName(i).rfind(".debug", 0), 0u) << run.checked.sectionName(i);
    EXPECT_EQ(run.checked.findSection(".rela.debug_info"), -1);
    // The code's relocations stay, in TEMP behind the code.
    const int text = run.checked.findSection(".text");
    const int rela = run.checked.findSection(".rela.text");
    ASSERT_GT(text, 0);
    ASSERT_GT(rela, 0);
    EXPECT_GT(run.checked.sections[rela].offset, run.checked.sections[text].offset);
    EXPECT_EQ(run.checked.info.tempSize, (run.checked.sections[rela].contents.size() + 63) & ~size_t(63));
    expectReadelfAccepts(run.dir, "debug.qdl");
}

TEST_F(FixtureEndToEnd, SmallDataBaseMakesAQdx) {
    const Converted run = convertFixture("qdx.elf", "-v");
    ASSERT_EQ(run.run.exitStatus, 0) << run.run.output;
    EXPECT_EQ(run.module, run.dir + "/qdx.qdx");
    EXPECT_FALSE(fs::exists(run.dir + "/qdx.qdl"));
    const DecodedFileInfo& info = run.checked.info;
    EXPECT_EQ(info.flags, 2u);
    const int sdata = run.checked.findSection(".sdata");
    ASSERT_GT(sdata, 0);
    EXPECT_EQ(info.sdaBase, run.checked.sections[sdata].addr + 0x8000);
    EXPECT_GT(info.sdaBase, 0x8000u);
    EXPECT_EQ(info.sda2Base, 0x8000u);  // no _SDA2_BASE_
    // The small-data accesses were kept, and the stub names the QDX.
    bool sda21 = false;
    for (size_t i = 1; i < run.checked.sections.size(); ++i)
        for (const CheckedRelocation& r : run.checked.relocations(i)) sda21 |= r.type() == 109;
    EXPECT_TRUE(sda21);
    const ToolRun members = runCommand(run.dir, "powerpc-linux-gnu-ar t qdx.a");
    EXPECT_EQ(members.output, "qdx.qdx.o\n");
    const ToolRun sections = runCommand(run.dir, "powerpc-linux-gnu-readelf -S qdx.a");
    EXPECT_NE(sections.output.find(".fimport_qdx.qdx"), std::string::npos) << sections.output;
    EXPECT_NE(sections.output.find(".dimport_qdx.qdx"), std::string::npos) << sections.output;
}

TEST_F(FixtureEndToEnd, LittleEndianLibraryKeepsItsByteOrder) {
    const Converted run = convertFixture("lib_le.elf");
    ASSERT_EQ(run.run.exitStatus, 0) << run.run.output;
    EXPECT_TRUE(run.checked.littleEndian);
    EXPECT_EQ(run.checked.elfHeader[16], 0x01);  // e_type 0xFE01, little-endian
    EXPECT_EQ(run.checked.elfHeader[17], 0xFE);
    // FileInfo stays big-endian whatever the file's byte order.
    EXPECT_EQ(run.checked.info.magic, 0xB71E0402u);
    const ToolRun header = runCommand(run.dir, "powerpc-linux-gnu-readelf -h lib_le.a");
    EXPECT_NE(header.output.find("little endian"), std::string::npos) << header.output;
    // The import tables of the stub begin with the export tables' header
    // words as they stand: big-endian.
    const ToolRun dump = runCommand(run.dir, "powerpc-linux-gnu-readelf -x .fimport_lib_le.qdl lib_le.a");
    EXPECT_NE(dump.output.find("00000003 6c1b0101"), std::string::npos) << dump.output;
}

TEST_F(FixtureEndToEnd, SecondModuleImportsFromTheLibrary) {
    ASSERT_TRUE(haveFixture("user.o"));
    const Converted lib = convertFixture("lib.elf");
    ASSERT_EQ(lib.run.exitStatus, 0) << lib.run.output;
    const std::string& dir = lib.dir;
    fs::copy_file(fixturePath("user.o"), dir + "/user.o");
    fs::copy_file(fixturePath("module.ld"), dir + "/module.ld");
    const ToolRun link = runCommand(dir,
                                    "powerpc-linux-gnu-ld --emit-relocs -z noexecstack -n -e user_main -T module.ld "
                                    "user.o lib.a -o user.elf");
    ASSERT_EQ(link.exitStatus, 0) << link.errors;
    EXPECT_EQ(link.errors, "");

    const ToolRun run = runQdlgen(dir, "-v -nolib user.elf");
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    CheckedModule m;
    for (const std::string& problem : checkModule(readWholeFile(dir + "/user.qdl"), m)) ADD_FAILURE() << problem;
    for (const std::string& problem : compareWithInput(m, readWholeFile(dir + "/user.elf"))) ADD_FAILURE() << problem;
    expectReadelfAccepts(dir, "user.qdl");

    const std::vector<CheckedSymbol> symbols = m.symbols();
    struct Expected {
        const char* section;
        std::set<std::string> names;
    };
    const Expected tables[] = {{".fimport_lib.qdl", {"lib_add", "lib_prime", "lib_report"}},
                               {".dimport_lib.qdl", {"lib_counter"}}};
    uint32_t previousEnd = 0;
    for (const Expected& expected : tables) {
        SCOPED_TRACE(expected.section);
        const int index = m.findSection(expected.section);
        ASSERT_GT(index, 0);
        const CheckedSection& table = m.sections[index];
        EXPECT_EQ(table.type, kImportTable);
        EXPECT_GE(table.addr, 0xC0000000u);
        EXPECT_EQ(table.addr % 64, 0u);
        EXPECT_GE(table.addr, previousEnd);
        EXPECT_EQ(table.flags & 1, 0u);  // no longer writable
        previousEnd = table.addr + table.size;

        // Slots in symbol-table order, behind the section symbol when there is
        // one. Only the imports the module refers to keep their symbols: the
        // stub's lib_primes is linked in but not used.
        uint32_t slot = 0;
        for (const CheckedSymbol& s : symbols)
            if (s.shndx == index && (s.info & 0xF) == 3) {
                EXPECT_EQ(s.value, table.addr);
                slot = 8;
                break;
            }
        std::vector<uint8_t> signed_;
        std::set<std::string> names;
        uint32_t count = 0;
        for (const CheckedSymbol& s : symbols) {
            if (s.shndx != index || (s.info & 0xF) == 3) continue;
            EXPECT_EQ(s.value, table.addr + slot) << s.name;
            slot += 8;
            ++count;
            names.insert(s.name);
            signed_.insert(signed_.end(), s.name.begin(), s.name.end());
            signed_.push_back(0);
        }
        signed_.insert(signed_.end(), 14, 0);
        EXPECT_EQ(names, expected.names);
        ASSERT_GE(table.contents.size(), 9u);
        EXPECT_EQ(be32(table.contents, 0), count);
        EXPECT_EQ(be32(table.contents, 4), uint32_t(crc32(0, signed_.data(), uInt(signed_.size()))));
        const std::string moduleName(reinterpret_cast<const char*>(&table.contents[8]));
        EXPECT_EQ(moduleName, "lib.qdl");
        const uint32_t needed = moduleName.size() + 9 > slot ? (uint32_t(moduleName.size()) + 16) & ~7u : slot;
        EXPECT_EQ(table.size, needed);
    }

    // Each call into the library reserves a 16-byte trampoline.
    const int calls = callsNeedingTrampolines(m);
    EXPECT_EQ(calls, 3);
    expectTextSize(m, calls);
    EXPECT_EQ(m.info.trampGrowth, 16u * uint32_t(calls));
    EXPECT_NE(run.output.find("for " + std::to_string(calls) + " TRAMPOLINES\n"), std::string::npos) << run.output;
    // The data reference goes through the data import table.
    const int dimport = m.findSection(".dimport_lib.qdl");
    bool dataReference = false;
    for (size_t i = 1; i < m.sections.size(); ++i)
        for (const CheckedRelocation& r : m.relocations(i))
            if ((r.type() == 4 || r.type() == 6) && r.symbol() < symbols.size() && symbols[r.symbol()].shndx == dimport)
                dataReference = true;
    EXPECT_TRUE(dataReference);
}

TEST_F(FixtureEndToEnd, ThreadLocalDataModule) {
    ASSERT_TRUE(haveFixture("tls.elf"));
    const Converted run = convertFixture("tls.elf");
    ASSERT_EQ(run.run.exitStatus, 0) << run.run.output;
    EXPECT_EQ(run.run.output.find("FAILED"), std::string::npos) << run.run.output;
    const std::vector<uint8_t> input = readWholeFile(run.dir + "/tls.elf");
    const CheckedModule& m = run.checked;

    // The input as linked: a PT_TLS header over .tdata and .tbss, both with the
    // thread-local flag; tls_scratch is aligned to 16, so the TLS block is too.
    ProgramHeader tls;
    ASSERT_TRUE(findProgramHeader(input, 7, tls));
    EXPECT_EQ(tls.align, 16u);
    const int tdata = m.findSection(".tdata");
    const int tbss = m.findSection(".tbss");
    ASSERT_GT(tdata, 0);
    ASSERT_GT(tbss, 0);
    EXPECT_EQ(m.sections[tdata].addr, tls.vaddr);
    EXPECT_EQ(m.sections[tbss].addr + m.sections[tbss].size - tls.vaddr, tls.memsz);
    // The module's section headers keep the thread-local flag of the input.
    EXPECT_TRUE(m.sections[tdata].flags & 0x04000000u);
    EXPECT_TRUE(m.sections[tbss].flags & 0x04000000u);
    EXPECT_EQ(m.sections[tbss].type, 8u);

    // FileInfo: a QDL with TLS, and the TLS alignment as a power of two.
    EXPECT_EQ(m.info.flags, 8u);
    EXPECT_EQ(m.info.tlsAlignLog2, 4u);
    EXPECT_EQ(m.info.reserved, 0u);

    // The thread-local symbols keep their entries, with their values (offsets
    // in the TLS block), sizes and sections as linked; the relocations of the
    // code and of the data export table name them, not a pseudo-symbol.
    const std::map<std::string, CheckedSymbol> linked = bigEndianSymbols(input);
    const std::vector<CheckedSymbol> symbols = m.symbols();
    std::map<std::string, size_t> kept;
    for (size_t i = 4; i < symbols.size(); ++i) kept[symbols[i].name] = i;
    for (const char* name : {"tls_counter", "tls_scratch"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(kept.count(name));
        ASSERT_TRUE(linked.count(name));
        const CheckedSymbol& s = symbols[kept[name]];
        EXPECT_EQ(s.info, 0x16);
        EXPECT_EQ(s.value, linked.at(name).value);
        EXPECT_EQ(s.size, linked.at(name).size);
        EXPECT_EQ(m.sectionName(s.shndx), name == std::string("tls_counter") ? ".tdata" : ".tbss");
    }
    // The other data: the exported tls_total stays, the static buffer goes.
    EXPECT_TRUE(kept.count("tls_total"));
    EXPECT_FALSE(kept.count("tls_history"));
    int threadLocal = 0, dtprel = 0;
    for (size_t i = 1; i < m.sections.size(); ++i)
        for (const CheckedRelocation& r : m.relocations(i)) {
            if ((r.type() < 69 || r.type() > 72) && r.type() != 78) continue;  // TPREL16*, DTPREL32
            ++threadLocal;
            ASSERT_LT(r.symbol(), symbols.size());
            EXPECT_EQ(symbols[r.symbol()].info & 0xF, 6) << m.sectionName(i) << " " << r.offset;
            if (r.type() == 78) {
                EXPECT_EQ(m.sectionName(i), ".rela.dexports");
                EXPECT_EQ(symbols[r.symbol()].name, "tls_counter");
                ++dtprel;
            }
        }
    EXPECT_GE(threadLocal, 5);
    EXPECT_EQ(dtprel, 1);

    // The import library: the thread-local export is an STT_TLS symbol, the
    // plain data export an STT_OBJECT one, the function an STT_FUNC one.
    const ToolRun stub = runCommand(run.dir, "powerpc-linux-gnu-ar p tls.a tls.qdl.o");
    ASSERT_EQ(stub.exitStatus, 0) << stub.errors;
    const std::map<std::string, CheckedSymbol> imports =
        bigEndianSymbols(std::vector<uint8_t>(stub.output.begin(), stub.output.end()));
    ASSERT_EQ(imports.size(), 3u);
    ASSERT_TRUE(imports.count("tls_counter") && imports.count("tls_total") && imports.count("tls_step"));
    EXPECT_EQ(imports.at("tls_counter").info, 0x16);
    EXPECT_EQ(imports.at("tls_counter").value, 8u);
    EXPECT_EQ(imports.at("tls_total").info, 0x11);
    EXPECT_EQ(imports.at("tls_total").value, 16u);
    EXPECT_EQ(imports.at("tls_counter").shndx, imports.at("tls_total").shndx);
    EXPECT_EQ(imports.at("tls_step").info, 0x12);
}

TEST_F(FixtureEndToEnd, ThreadLocalLayoutRefusals) {
    const std::string mismatch = "***Error: TLS Program Header does not match TLS sections.\n";
    const std::string clearBit =
        "***Error: Export symbol \"tls_counter\" is unexpectedly a TLS symbol. Clobber and rebuild with current "
        "qdlscan[32|64]. Return -1.\n";
    struct Case {
        const char* fixture;
        const char* arguments;
        const std::string& message;
        std::set<std::string> files;  // the directory afterwards
    };
    const Case cases[] = {
        // tls_mixed: .tbss lacks the flag, so PT_TLS spans more than the
        // flagged .tdata. The library was written before the module failed.
        {"tls_mixed.elf", "", mismatch, {"tls_mixed.elf", "tls_mixed.a"}},
        {"tls_mixed.elf", "-nolib", mismatch, {"tls_mixed.elf"}},
        // tls_clear: the R_PPC_DTPREL32 export without its TLS bit, refused by
        // the import stub, and with -nolib by the relocation check.
        {"tls_clear.elf", "", clearBit, {"tls_clear.elf"}},
        {"tls_clear.elf", "-nolib", clearBit, {"tls_clear.elf"}},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " " + c.arguments);
        ASSERT_TRUE(haveFixture(c.fixture));
        const std::string dir = testTempDir() + "/" + std::to_string(++number);
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy_file(fixturePath(c.fixture), dir + "/" + c.fixture);
        const ToolRun run = runQdlgen(dir, std::string(c.arguments) + " " + c.fixture);
        EXPECT_EQ(run.exitStatus, 255);
        EXPECT_EQ(run.output, c.message + "\n\n" QDLGEN_TOOL_PATH " FAILED Error = -1\n");
        EXPECT_EQ(run.errors, "");
        std::set<std::string> files;
        for (const auto& entry : fs::directory_iterator(dir)) files.insert(entry.path().filename().string());
        EXPECT_EQ(files, c.files);
    }
}
