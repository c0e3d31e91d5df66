#include "elf/ElfReader.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <random>

#include "core/Output.h"
#include "support/TestContext.h"
#include "support/ElfBuilder.h"

namespace {

constexpr uint32_t kShSize = offsetof(Elf32_Shdr, sh_size);
constexpr uint32_t kShFlags = offsetof(Elf32_Shdr, sh_flags);

uint32_t readBytes(std::vector<uint8_t>& bytes, ElfImage* image = nullptr) {
    ElfImage local;
    return readElfImage(bytes.data(), uint32_t(bytes.size()), image ? image : &local);
}

class ElfReaderTest : public ::testing::Test {
protected:
    void SetUp() override { resetTestContext(); }
    void TearDown() override { resetTestContext(); }
};

// One change to the basic input and the code the reader must give for it.
// `change` sees the layout of the unchanged input.
struct Case {
    const char* what;
    std::function<void(BasicInput&, const ElfLayout&)> change;
    uint32_t code;
};

uint32_t readChanged(const Case& c, bool bigEndian) {
    BasicInput in = makeBasicInput(bigEndian);
    in.builder.build();
    const ElfLayout layout = in.builder.layout();
    c.change(in, layout);
    std::vector<uint8_t> bytes = in.builder.build();
    // The check that converts nothing (the one the written module gets)
    // gives the same code and leaves every byte as it was.
    const std::vector<uint8_t> original = bytes;
    const uint32_t checked = checkElfImage(bytes.data(), uint32_t(bytes.size()));
    EXPECT_TRUE(bytes == original) << c.what;
    const uint32_t code = readBytes(bytes);
    EXPECT_EQ(checked, code) << c.what << (bigEndian ? " (big-endian)" : " (little-endian)");
    return code;
}

void expectCodes(const std::vector<Case>& cases) {
    for (bool bigEndian : {true, false})
        for (const Case& c : cases) {
            resetTestContext();
            EXPECT_EQ(readChanged(c, bigEndian), c.code)
                << c.what << (bigEndian ? " (big-endian)" : " (little-endian)") << std::hex << " want 0x" << c.code;
        }
}

// Patches the built bytes at a fixed offset; `value` may depend on the size.
std::function<void(ElfBuilder&, std::vector<uint8_t>&)> patch32At(size_t offset,
                                                                  std::function<uint32_t(size_t)> value) {
    return [=](ElfBuilder& b, std::vector<uint8_t>& bytes) { b.patch32(bytes, offset, value(bytes.size())); };
}

// A section whose symbols are not checked (SHF_DEFLATED), for relocation
// sections to link to: its leading word is the stored size of the table.
uint32_t addDeflatedSymtab(BasicInput& in, uint32_t entsize, uint32_t storedSize) {
    return in.builder.addSection({.name = ".symtab.z",
                                  .type = SHT_SYMTAB,
                                  .flags = SHF_DEFLATED,
                                  .data = in.builder.words({storedSize, 0, 0, 0}),
                                  .link = in.strtab,
                                  .addralign = 4,
                                  .entsize = entsize});
}

Elf32_Phdr phdr(uint32_t type, uint32_t offset, uint32_t filesz) {
    Elf32_Phdr p{};
    p.p_type = type;
    p.p_offset = offset;
    p.p_filesz = filesz;
    p.p_memsz = filesz;
    return p;
}

// Moves the table of `entries` entries of `oldStride` bytes at the offset in
// the header word at `offsetField` to the end of the file with `newStride`.
std::function<void(ElfBuilder&, std::vector<uint8_t>&)> restride(size_t offsetField, uint32_t entries,
                                                                  uint32_t oldStride, uint32_t newStride) {
    return [=](ElfBuilder& b, std::vector<uint8_t>& bytes) {
        const uint32_t from = b.read32(bytes, offsetField);
        const size_t at = bytes.size();
        bytes.resize(at + size_t(entries) * newStride, 0);
        for (size_t i = 0; i < entries; ++i)
            std::copy_n(bytes.begin() + from + oldStride * i, oldStride, bytes.begin() + at + newStride * i);
        b.patch32(bytes, offsetField, uint32_t(at));
    };
}

// Adds a program header at the offset of .data plus `delta` (adding one
// moves the sections, so the offset is taken from a new layout).
void addPhdrAtData(BasicInput& in, uint32_t type, int32_t delta, uint32_t filesz) {
    uint32_t k = in.builder.addProgramHeader(phdr(type, 0, filesz));
    in.builder.build();
    in.builder.segments[k].header.p_offset = in.builder.layout().sectionOffsets[in.data] + delta;
}

uint32_t addRelToText(BasicInput& in, TestRel rel) { return in.builder.addRel(in.text, {rel}, in.symtab); }

TEST_F(ElfReaderTest, BasicInputIsAccepted) {
    for (bool bigEndian : {true, false}) {
        BasicInput in = makeBasicInput(bigEndian);
        std::vector<uint8_t> bytes = in.builder.build();
        ElfImage image;
        ASSERT_EQ(readBytes(bytes, &image), 0u);
        EXPECT_EQ(image.bytes, bytes.data());
        EXPECT_EQ(image.byteCount, bytes.size());
        EXPECT_EQ(image.headerSize, 52u);
        EXPECT_EQ(image.sectionHeaders, bytes.data() + in.builder.layout().shoff);
        EXPECT_EQ(image.sectionHeaderSize, 40u);
        EXPECT_EQ(image.programHeaders, bytes.data() + 52);
        EXPECT_EQ(image.programHeaderSize, 32u);
        EXPECT_EQ(image.littleEndian(), !bigEndian);
    }
}

TEST_F(ElfReaderTest, HeaderChecks) {
    expectCodes({
        {"259 bytes", [](BasicInput& in, const ElfLayout&) {
             in.builder.afterBuild = [](ElfBuilder&, std::vector<uint8_t>& b) { b.resize(259); };
         }, 0xBAD00018},
        {"260 bytes with a 52-byte header", [](BasicInput& in, const ElfLayout&) {
             in.builder.afterBuild = [](ElfBuilder&, std::vector<uint8_t>& b) { b.resize(260); };
         }, 0xBAD0001E},
        {"magic 0", [](BasicInput& in, const ElfLayout&) { in.builder.force.ei_mag0 = 0x7E; }, 0xBAD00019},
        {"magic 3", [](BasicInput& in, const ElfLayout&) { in.builder.force.ei_mag3 = 'f'; }, 0xBAD00019},
        {"class 2", [](BasicInput& in, const ElfLayout&) { in.builder.force.ei_class = 2; }, 0xBAD0001A},
        {"class 0", [](BasicInput& in, const ElfLayout&) { in.builder.force.ei_class = 0; }, 0xBAD0001A},
        {"ident version 2", [](BasicInput& in, const ElfLayout&) { in.builder.force.ei_version = 2; }, 0xBAD0001B},
        {"ident version 0", [](BasicInput& in, const ElfLayout&) { in.builder.force.ei_version = 0; }, 0},
        {"machine 0", [](BasicInput& in, const ElfLayout&) { in.builder.machine = 0; }, 0xBAD0001C},
        {"machine 0x1234", [](BasicInput& in, const ElfLayout&) { in.builder.machine = 0x1234; }, 0},
        {"any e_type", [](BasicInput& in, const ElfLayout&) { in.builder.type = 0xFEFE; }, 0},
        {"e_version 0", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_version = 0; }, 0xBAD0001D},
        {"e_version 2", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_version = 2; }, 0xBAD0001D},
        {"e_ehsize 1", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_ehsize = 1; }, 0xBAD0002C},
        {"e_ehsize 51", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_ehsize = 51; }, 0xBAD0002C},
        {"e_ehsize 0 means 52", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_ehsize = 0; }, 0},
        {"e_ehsize 53 puts e_phoff inside the header",
         [](BasicInput& in, const ElfLayout&) { in.builder.force.e_ehsize = 53; }, 0xBAD0001F},
        {"e_ehsize = count - 208", [](BasicInput& in, const ElfLayout&) {
             in.builder.afterBuild = [](ElfBuilder& b, std::vector<uint8_t>& bytes) {
                 b.patch16(bytes, 40, uint16_t(bytes.size() - 208));
             };
         }, 0xBAD0001E},
        {"e_ehsize = count - 209", [](BasicInput& in, const ElfLayout&) {
             in.builder.afterBuild = [](ElfBuilder& b, std::vector<uint8_t>& bytes) {
                 b.patch16(bytes, 40, uint16_t(bytes.size() - 209));
             };
         }, 0xBAD0001F},
        {"e_phoff = count", [](BasicInput& in, const ElfLayout&) {
             in.builder.afterBuild = patch32At(28, [](size_t n) { return uint32_t(n); });
         }, 0xBAD0001F},
        {"e_phoff 0xFFFFFFFF", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_phoff = 0xFFFFFFFF; },
         0xBAD0001F},
        {"e_shoff = count", [](BasicInput& in, const ElfLayout&) {
             in.builder.afterBuild = patch32At(32, [](size_t n) { return uint32_t(n); });
         }, 0xBAD00020},
        {"e_shoff 51", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_shoff = 51; }, 0xBAD00020},
        {"e_shstrndx = e_shnum", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_shstrndx = 9; },
         0xBAD00021},
        {"e_shstrndx 0", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_shstrndx = 0; }, 0},
        {"program headers past the end", [](BasicInput& in, const ElfLayout&) {
             in.builder.afterBuild = patch32At(28, [](size_t n) { return uint32_t(n - 63); });
         }, 0xBAD00022},
        {"e_phnum 0xFFFF", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_phnum = 0xFFFF; }, 0xBAD00022},
        {"e_phentsize 0xFFFF", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_phentsize = 0xFFFF; },
         0xBAD00022},
        {"e_phentsize 0 means 32", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_phentsize = 0; }, 0},
        {"e_shnum 0xFFFF with a short file", [](BasicInput& in, const ElfLayout&) {
             in.builder.force.e_shnum = 0xFFFF;
         }, 0xBAD00023},
        {"e_shentsize 0xFFFF", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_shentsize = 0xFFFF; },
         0xBAD00023},
        {"e_shentsize 0 means 40", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_shentsize = 0; }, 0},
        {"section header table one byte short", [](BasicInput& in, const ElfLayout&) {
             in.builder.afterBuild = [](ElfBuilder&, std::vector<uint8_t>& b) { b.pop_back(); };
         }, 0xBAD00023},
    });
}

TEST_F(ElfReaderTest, FilesOfTwoGibibytesAndMoreAreRefusedByTheSignedHeaderTest) {
    // The header test compares signed 32-bit values: from 0x800000D0 bytes
    // on, count - 208 is negative. Only the header is read before it.
    BasicInput in = makeBasicInput();
    std::vector<uint8_t> bytes = in.builder.build();
    for (uint32_t count : {0x800000D0u, 0x80001000u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> copy = bytes;
        ElfImage image;
        EXPECT_EQ(readElfImage(copy.data(), count, &image), 0xBAD0001Eu) << count;
    }
}

TEST_F(ElfReaderTest, HeaderOnlyFiles) {
    // Without tables 261 bytes are enough; 260 are not.
    for (size_t size : {260u, 261u}) {
        ElfBuilder b;
        b.withSectionNames = false;
        b.force.e_shoff = 0;
        b.force.e_shnum = 0;
        b.minimumSize = 300;
        std::vector<uint8_t> bytes = b.build();
        bytes.resize(size);
        EXPECT_EQ(readBytes(bytes), size == 261 ? 0u : 0xBAD0001Eu);
    }
}

TEST_F(ElfReaderTest, SectionPlacementChecks) {
    expectCodes({
        {"a section in the ELF header", [](BasicInput& in, const ElfLayout&) { in.builder.section(1).forceOffset = 51; },
         0xBAD00024},
        {"a section in the program headers", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.text).forceOffset = l.phoff + 63;
         }, 0xBAD00026},
        {"a section at the start of the program headers", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.data).forceOffset = l.phoff;
         }, 0xBAD00026},
        {"a section in the section headers", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.data).forceOffset = l.shoff + 9 * 40 - 16;
         }, 0xBAD00027},
        {"a section at the section headers", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.text).forceOffset = l.shoff;
         }, 0xBAD00027},
        {"a section behind the section headers", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.text).forceOffset = l.shoff + 9 * 40;
         }, 0xBAD00025},
        {"a section inside a later one", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.text).forceOffset = l.sectionOffsets[2] + 4;
         }, 0xBAD00028},
        {"a section at the start of a later one", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.text).forceOffset = l.sectionOffsets[2];
         }, 0xBAD00028},
        {"a section at the end of a later one", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.data).forceSize = 12;
             in.builder.section(in.text).forceOffset = l.sectionOffsets[2] + 12;
         }, 0},
        {"a section inside an earlier one", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.data).forceOffset = l.sectionOffsets[1] + 4;
         }, 0},
        {"a NOBITS section anywhere", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.bss).forceOffset = 0xFFFFFFFF;
             in.builder.section(in.bss).forceSize = 0xFFFFFFFF;
         }, 0},
        {"an empty section anywhere", [](BasicInput& in, const ElfLayout&) {
             in.builder.addSection({.name = ".empty", .unplaced = true, .forceOffset = 3});
             in.builder.addSection({.name = ".empty2", .unplaced = true, .forceOffset = 0xFFFFFFFF});
         }, 0},
        {"a section past the end", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.data).forceSize = 0x01000000;
         }, 0xBAD00025},
        {"a section whose end wraps", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.data).forceSize = 0xFFFFFFFF - l.sectionOffsets[2] + 0x11;
         }, 0xBAD00025},
        {"a section ending at the end of the file", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.data).forceSize = uint32_t(l.fileSize - l.sectionOffsets[2]);
         }, 0},
        {"a section ending one byte past the file", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.data).forceSize = uint32_t(l.fileSize - l.sectionOffsets[2] + 1);
         }, 0xBAD00025},
    });
}

TEST_F(ElfReaderTest, ProgramHeaderChecks) {
    expectCodes({
        {"equal program headers", [](BasicInput& in, const ElfLayout&) { in.builder.addSegment(PT_LOAD, 2, 3, 6); },
         0xBAD00032},
        {"a program header inside a later one", [](BasicInput& in, const ElfLayout&) {
             addPhdrAtData(in, PT_LOAD, -4, 8);
         }, 0xBAD00032},
        {"a program header inside an earlier one", [](BasicInput& in, const ElfLayout&) {
             addPhdrAtData(in, PT_LOAD, 4, 8);
         }, 0},
        {"program header 0 is not tested", [](BasicInput& in, const ElfLayout& l) {
             in.builder.segments[0].first = -1;
             in.builder.segments[0].header = phdr(PT_LOAD, l.sectionOffsets[2], 0xFFFFFFFF);
         }, 0},
        {"PT_NULL and empty headers are exempt", [](BasicInput& in, const ElfLayout&) {
             addPhdrAtData(in, PT_NULL, 0, 8);
             addPhdrAtData(in, PT_LOAD, 0, 0);
             in.builder.addProgramHeader(phdr(PT_NULL, 0xFFFFFFF0, 0x100));
         }, 0},
        {"a program header past the end", [](BasicInput& in, const ElfLayout&) {
             in.builder.segments[1].first = -1;
             in.builder.segments[1].header = phdr(PT_LOAD, 0x100, 0x100000);
         }, 0xBAD00029},
        {"a program header whose end wraps", [](BasicInput& in, const ElfLayout&) {
             in.builder.segments[1].first = -1;
             in.builder.segments[1].header = phdr(PT_LOAD, 0x100, 0xFFFFFF01);
         }, 0xBAD00029},
        {"sections are checked before program headers", [](BasicInput& in, const ElfLayout&) {
             in.builder.addSegment(PT_LOAD, 2, 3, 6);
             in.builder.build();
             in.builder.section(in.text).forceOffset = in.builder.layout().sectionOffsets[2];
         }, 0xBAD00028},
        {"overlaps are checked before extents", [](BasicInput& in, const ElfLayout&) {
             in.builder.addSegment(PT_LOAD, 2, 3, 6);
             in.builder.section(in.data).forceSize = 0x01000000;
         }, 0xBAD00032},
    });
}

TEST_F(ElfReaderTest, SectionNameChecks) {
    expectCodes({
        {"names section not STRTAB", [](BasicInput& in, const ElfLayout&) { in.builder.force.e_shstrndx = 1; },
         0xBAD0002A},
        {"name offset = names size", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.bss).forceName = l.sectionSizes[8];
         }, 0xBAD0002B},
        {"name offset = names size - 1", [](BasicInput& in, const ElfLayout& l) {
             in.builder.section(in.bss).forceName = l.sectionSizes[8] - 1;
         }, 0},
        {"deflated names: the stored size counts", [](BasicInput& in, const ElfLayout& l) {
             in.builder.afterBuild = [l](ElfBuilder& b, std::vector<uint8_t>& bytes) {
                 b.patch32(bytes, l.sectionHeaderField(8, kShFlags), SHF_DEFLATED);
                 b.patch32(bytes, l.sectionOffsets[8], 5);  // in the file's byte order
             };
         }, 0xBAD0002B},
        {"deflated names: a large stored size", [](BasicInput& in, const ElfLayout& l) {
             in.builder.afterBuild = [l](ElfBuilder& b, std::vector<uint8_t>& bytes) {
                 b.patch32(bytes, l.sectionHeaderField(8, kShFlags), SHF_DEFLATED);
                 b.patch32(bytes, l.sectionOffsets[8], 0x10000);
             };
         }, 0},
    });
}

TEST_F(ElfReaderTest, SymbolTableChecks) {
    auto sym = [](BasicInput& in, uint32_t k) -> TestSymbol& { return in.builder.section(in.symtab).symbols[k - 1]; };
    expectCodes({
        {"sh_link = e_shnum", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.symtab).link = 9; },
         0xBAD00001},
        {"sh_link to PROGBITS", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.symtab).link = 1; },
         0xBAD00002},
        {"sh_link 0: names unchecked", [&](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.symtab).link = 0;
             sym(in, 1).forceName = 0xFFFFFFFF;
         }, 0},
        {"sh_entsize 15", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.symtab).entsize = 15; },
         0xBAD0002D},
        {"sh_entsize 0 means 16", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.symtab).entsize = 0; },
         0},
        {"fewer bytes than a symbol", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.symtab).forceSize = 15;
         }, 0xBAD00003},
        {"an empty symbol table", [](BasicInput& in, const ElfLayout&) {
             in.builder.addSection({.name = ".symtab0", .type = SHT_SYMTAB, .link = 99, .entsize = 3});
         }, 0},
        {"st_name = string table size", [&](BasicInput& in, const ElfLayout& l) {
             sym(in, 3).forceName = l.sectionSizes[7];
         }, 0xBAD00004},
        {"st_shndx = e_shnum", [&](BasicInput& in, const ElfLayout&) { sym(in, 1).shndx = 9; }, 0xBAD00005},
        {"reserved st_shndx exempt", [&](BasicInput& in, const ElfLayout&) {
             sym(in, 1).shndx = SHN_ABS;
             sym(in, 2).shndx = 0xFF00;
             sym(in, 3).shndx = 0;
             sym(in, 3).value = 0xFFFFFFFF;
         }, 0},
        {"section and file symbols exempt", [&](BasicInput& in, const ElfLayout&) {
             sym(in, 1).shndx = 300;
             sym(in, 1).info = symbolInfo(STB_LOCAL, STT_SECTION);
             sym(in, 2).shndx = 300;
             sym(in, 2).info = symbolInfo(STB_LOCAL, STT_FILE);
         }, 0},
        {"object in an allocated NULL section", [&](BasicInput& in, const ElfLayout&) {
             uint32_t odd = in.builder.addSection({.name = ".odd", .type = SHT_NULL, .flags = SHF_ALLOC, .size = 16});
             sym(in, 3).shndx = uint16_t(odd);
         }, 0xBAD00006},
        {"function in an allocated NULL section", [&](BasicInput& in, const ElfLayout&) {
             uint32_t odd = in.builder.addSection({.name = ".odd", .type = SHT_NULL, .flags = SHF_ALLOC, .size = 16});
             sym(in, 1).shndx = uint16_t(odd);
         }, 0xBAD00008},
        {"object in a non-allocated NULL section", [&](BasicInput& in, const ElfLayout&) {
             uint32_t odd = in.builder.addSection({.name = ".odd", .type = SHT_NULL, .size = 16});
             sym(in, 3).shndx = uint16_t(odd);
         }, 0},
        {"object below its section", [&](BasicInput& in, const ElfLayout&) { sym(in, 3).value = 0x0FFFFFFF; },
         0xBAD00007},
        {"object ending past its section", [&](BasicInput& in, const ElfLayout&) { sym(in, 3).value = 0x1000000D; },
         0xBAD00007},
        {"object at the end of its section", [&](BasicInput& in, const ElfLayout&) {
             sym(in, 3).value = 0x10000010;
             sym(in, 3).size = 0;
         }, 0},
        {"object whose end wraps past its section", [&](BasicInput& in, const ElfLayout&) {
             sym(in, 3).value = 0x10000004;
             sym(in, 3).size = 0xFFFFFFF0;
         },
         0xBAD00007},
        {"object whose end wraps into its section (a 32-bit sum)", [&](BasicInput& in, const ElfLayout&) {
             sym(in, 3).value = 0x10000004;
             sym(in, 3).size = 0xFFFFFFFF;
         },
         0},
        {"object in a non-allocated section", [&](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.data).flags = SHF_WRITE;
             sym(in, 3).value = 0;
         }, 0},
        {"function past its section", [&](BasicInput& in, const ElfLayout&) { sym(in, 2).size = 9; }, 0xBAD00009},
        {"function below its section", [&](BasicInput& in, const ElfLayout&) { sym(in, 1).value = 0x01FFFFFC; },
         0xBAD00009},
        {"function whose end wraps into its section (a 32-bit sum)",
         [&](BasicInput& in, const ElfLayout&) { sym(in, 2).size = 0xFFFFFFF9; }, 0},
        {"function whose end wraps past its section",
         [&](BasicInput& in, const ElfLayout&) { sym(in, 2).size = 0xFFFFFFF8 - 16; }, 0xBAD00009},
        {"other types are not placed", [&](BasicInput& in, const ElfLayout&) {
             sym(in, 2).info = symbolInfo(STB_GLOBAL, STT_NOTYPE);
             sym(in, 2).value = 0;
         }, 0},
        {"deflated symbol tables are not checked", [](BasicInput& in, const ElfLayout&) {
             in.builder.addSection({.name = ".z", .type = SHT_SYMTAB, .flags = SHF_DEFLATED, .data = {1, 2, 3},
                                    .link = 999, .entsize = 1});
         }, 0},
    });
}

TEST_F(ElfReaderTest, RelaChecks) {
    auto rela = [](BasicInput& in) -> TestRela& { return in.builder.section(in.relaText).relas[0]; };
    expectCodes({
        {"sh_entsize 11", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.relaText).entsize = 11; },
         0xBAD0002E},
        {"sh_entsize 0 means 12", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.relaText).entsize = 0; },
         0},
        {"fewer bytes than an entry", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.relaText).forceSize = 11;
         }, 0xBAD0000A},
        {"sh_link = e_shnum", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.relaText).link = 9; },
         0xBAD0000B},
        {"sh_link 0: not checked", [&](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.relaText).link = 0;
             in.builder.section(in.relaText).info = 99;
             rela(in).symbol = 0xFFFFFF;
         }, 0},
        {"sh_link to STRTAB", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.relaText).link = 7; },
         0xBAD0000C},
        {"symbol table with sh_entsize 8", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.relaText).link = addDeflatedSymtab(in, 8, 64);
         }, 0xBAD0002F},
        {"deflated symbol table: stored size too small", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.relaText).link = addDeflatedSymtab(in, 16, 32);
         }, 0xBAD0000F},
        {"deflated symbol table: stored size enough", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.relaText).link = addDeflatedSymtab(in, 16, 48);
         }, 0},
        {"sh_info = e_shnum", [](BasicInput& in, const ElfLayout&) { in.builder.section(in.relaText).info = 9; },
         0xBAD0000D},
        {"symbol index = symbol count", [&](BasicInput& in, const ElfLayout&) { rela(in).symbol = 4; }, 0xBAD0000F},
        {"symbol index = symbol count - 1", [&](BasicInput& in, const ElfLayout&) { rela(in).symbol = 3; }, 0},
        {"type 0 with a huge symbol index", [&](BasicInput& in, const ElfLayout&) {
             rela(in).type = 0;
             rela(in).symbol = 0xFFFFFF;
         }, 0},
        {"null target, first entry not zero", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.relaText).info = 0;
         }, 0xBAD0000E},
        {"null target, zero first entry", [](BasicInput& in, const ElfLayout&) {
             in.builder.addRela(0, {{}, {.r_offset = 1, .symbol = 0xFFFFFF, .type = 1}}, in.symtab);
         }, 0},
        {"null target, entry size not a multiple of 4", [](BasicInput& in, const ElfLayout&) {
             uint32_t r = in.builder.addRela(0, {{}}, in.symtab);
             in.builder.section(r).generated = TestSection::Generated::Raw;
             in.builder.section(r).data.assign(14, 0);
             in.builder.section(r).entsize = 14;
         }, 0xBAD0000E},
        {"null target, byte-aligned entry of 14 zero bytes", [](BasicInput& in, const ElfLayout&) {
             uint32_t r = in.builder.addRela(0, {{}}, in.symtab);
             in.builder.section(r).generated = TestSection::Generated::Raw;
             in.builder.section(r).data.assign(14, 0);
             in.builder.section(r).entsize = 14;
             in.builder.section(r).addralign = 2;
         }, 0},
        {"null target, last byte of the first entry", [](BasicInput& in, const ElfLayout&) {
             uint32_t r = in.builder.addRela(0, {{}}, in.symtab);
             in.builder.section(r).generated = TestSection::Generated::Raw;
             in.builder.section(r).data = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
             in.builder.section(r).addralign = 1;
         }, 0xBAD0000E},
        {"deflated relocations are not checked", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.relaText).flags = SHF_DEFLATED;
             in.builder.section(in.relaText).link = 99;
         }, 0},
        {"symbols are checked before relocations", [&](BasicInput& in, const ElfLayout&) {
             rela(in).symbol = 4;
             in.builder.section(in.symtab).symbols[2].shndx = 50;
         }, 0xBAD00005},
    });
}

TEST_F(ElfReaderTest, RelChecks) {
    expectCodes({
        {"a valid REL section", [](BasicInput& in, const ElfLayout&) {
             addRelToText(in, {.r_offset = 15, .symbol = 3, .type = R_PPC_ADDR32});
         }, 0},
        {"sh_entsize 7", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(addRelToText(in, {.r_offset = 4})).entsize = 7;
         }, 0xBAD00030},
        {"fewer bytes than an entry", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(addRelToText(in, {.r_offset = 4})).forceSize = 7;
         }, 0xBAD00011},
        {"sh_link = e_shnum", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(addRelToText(in, {.r_offset = 4})).link = 10;
         }, 0xBAD00012},
        {"sh_link 0", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(addRelToText(in, {.r_offset = 4})).link = 0;
         }, 0xBAD00013},
        {"sh_link to PROGBITS", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(addRelToText(in, {.r_offset = 4})).link = in.text;
         }, 0xBAD00013},
        {"symbol table with sh_entsize 8", [](BasicInput& in, const ElfLayout&) {
             uint32_t r = addRelToText(in, {.r_offset = 4});
             in.builder.section(r).link = addDeflatedSymtab(in, 8, 64);
         }, 0xBAD00031},
        {"deflated symbol table: its sh_size counts", [](BasicInput& in, const ElfLayout&) {
             uint32_t r = addRelToText(in, {.r_offset = 4, .symbol = 0});
             in.builder.section(r).link = addDeflatedSymtab(in, 16, 0x1000);  // 16 bytes: one symbol
         }, 0},
        {"deflated symbol table: its sh_size counts (2)", [](BasicInput& in, const ElfLayout&) {
             uint32_t r = addRelToText(in, {.r_offset = 4, .symbol = 1});
             in.builder.section(r).link = addDeflatedSymtab(in, 16, 0x1000);
         }, 0xBAD00016},
        {"sh_info = e_shnum", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(addRelToText(in, {.r_offset = 4})).info = 10;
         }, 0xBAD00014},
        {"symbol index = symbol count", [](BasicInput& in, const ElfLayout&) {
             addRelToText(in, {.r_offset = 4, .symbol = 4, .type = R_PPC_ADDR32});
         }, 0xBAD00016},
        {"type 0 with a huge symbol index", [](BasicInput& in, const ElfLayout&) {
             addRelToText(in, {.r_offset = 4, .symbol = 0xFFFFFF, .type = 0});
         }, 0xBAD00016},
        {"r_offset = target size", [](BasicInput& in, const ElfLayout&) {
             addRelToText(in, {.r_offset = 16, .symbol = 1, .type = R_PPC_ADDR32});
         }, 0xBAD00017},
        {"null target, first entry not zero", [](BasicInput& in, const ElfLayout&) {
             in.builder.addRel(0, {{.r_offset = 0, .symbol = 0, .type = 1}}, in.symtab);
         }, 0xBAD00015},
        {"null target, zero first entry", [](BasicInput& in, const ElfLayout&) {
             in.builder.addRel(0, {{}, {.r_offset = 99, .symbol = 99, .type = 1}}, in.symtab);
         }, 0},
        {"null target, entry size 10", [](BasicInput& in, const ElfLayout&) {
             uint32_t r = in.builder.addRel(0, {{}}, in.symtab);
             in.builder.section(r).generated = TestSection::Generated::Raw;
             in.builder.section(r).data.assign(10, 0);
             in.builder.section(r).entsize = 10;
         }, 0xBAD00015},
    });
}

TEST_F(ElfReaderTest, HostileTablesAreRefusedWithoutReadingOutside) {
    expectCodes({
        // A narrow stride whose last entry would reach past the file.
        {"section headers of 1 byte at the end", [](BasicInput& in, const ElfLayout&) {
             in.builder.force.e_shentsize = 1;
             in.builder.afterBuild = patch32At(32, [](size_t n) { return uint32_t(n - 9); });
         }, 0xBAD00023},
        {"program headers of 1 byte at the end", [](BasicInput& in, const ElfLayout&) {
             in.builder.force.e_phentsize = 1;
             in.builder.afterBuild = patch32At(28, [](size_t n) { return uint32_t(n - 2); });
         }, 0xBAD00022},
        {"a symbol table running past the end", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.symtab).forceSize = 0xFFFFFFF0;
         }, 0xBAD00025},
        {"a relocation section running past the end", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.relaText).forceSize = 0xFFFFFFFC;
         }, 0xBAD00025},
        {"section and program header offsets near 4 GiB", [](BasicInput& in, const ElfLayout&) {
             in.builder.section(in.text).forceOffset = 0xFFFFFFFC;
         }, 0xBAD00025},
    });
}

TEST_F(ElfReaderTest, OwnTableBoundsComeAfterTheHeaderAndSectionStartTests) {
    // The program header table is first read when its entries are converted,
    // after the section starts are tested; an input those tests refuse keeps
    // their code.
    expectCodes({
        {"program header table at 0 beyond the file, section header table too long", [](BasicInput& in,
                                                                                         const ElfLayout&) {
             in.builder.force.e_phoff = 0;
             in.builder.force.e_phnum = 42298;
             in.builder.force.e_phentsize = 32767;
             in.builder.force.e_shoff = 64;
             in.builder.force.e_shnum = 29625;
             in.builder.force.e_shentsize = 8606;
         }, 0xBAD00023},
        {"program headers at 0 and a section in the ELF header", [](BasicInput& in, const ElfLayout&) {
             in.builder.force.e_phoff = 0;
             in.builder.force.e_phnum = 1;
             in.builder.section(1).forceOffset = 51;
         }, 0xBAD00024},
        {"program headers of 1 byte at the end and a section in the ELF header", [](BasicInput& in,
                                                                                     const ElfLayout&) {
             in.builder.force.e_phentsize = 1;
             in.builder.section(1).forceOffset = 51;
             in.builder.afterBuild = patch32At(28, [](size_t n) { return uint32_t(n - 2); });
         }, 0xBAD00024},
    });
}

TEST_F(ElfReaderTest, TablesAtOffsetZero) {
    // Section headers at offset 0 would lie on the ELF header; converting
    // them would overwrite it.
    BasicInput in = makeBasicInput();
    in.builder.force.e_shoff = 0;
    std::vector<uint8_t> bytes = in.builder.build();
    EXPECT_EQ(readBytes(bytes), 0xBAD00020u);
    in.builder.force = {};
    in.builder.force.e_phoff = 0;
    bytes = in.builder.build();
    EXPECT_EQ(readBytes(bytes), 0xBAD0001Fu);
    // With e_phnum 0 an offset of 0 is no table.
    in.builder.force.e_phnum = 0;
    bytes = in.builder.build();
    EXPECT_EQ(readBytes(bytes), 0u);
}

TEST_F(ElfReaderTest, BigEndianTablesAreConvertedInPlace) {
    BasicInput in = makeBasicInput();
    // A non-zero section 0 shows that entry 0 is left alone.
    in.builder.afterBuild = [](ElfBuilder& b, std::vector<uint8_t>& bytes) {
        b.patch32(bytes, b.layout().sectionHeaderField(0, offsetof(Elf32_Shdr, sh_addr)), 0x11223344);
    };
    std::vector<uint8_t> bytes = in.builder.build();
    const std::vector<uint8_t> original = bytes;
    const ElfLayout l = in.builder.layout();
    ElfImage image;
    ASSERT_EQ(readBytes(bytes, &image), 0u);

    const Elf32_Ehdr& h = image.header();
    EXPECT_EQ(h.e_machine, EM_PPC);
    EXPECT_EQ(h.e_shnum, 9);
    EXPECT_EQ(h.e_shoff, l.shoff);
    EXPECT_EQ(h.e_entry, 0x02000000u);
    auto shdr = [&](uint32_t i) { return reinterpret_cast<const Elf32_Shdr*>(image.sectionHeaders + 40 * i); };
    EXPECT_EQ(shdr(0)->sh_addr, 0x44332211u);
    EXPECT_EQ(shdr(in.text)->sh_addr, 0x02000000u);
    EXPECT_EQ(shdr(in.bss)->sh_type, SHT_NOBITS);
    EXPECT_EQ(shdr(in.relaData)->sh_info, in.data);
    auto phdr = reinterpret_cast<const Elf32_Phdr*>(image.programHeaders + 32);
    EXPECT_EQ(phdr->p_vaddr, 0x10000000u);
    EXPECT_EQ(phdr->p_memsz, 32u);
    auto symbol = reinterpret_cast<const Elf32_Sym*>(image.bytes + l.sectionOffsets[in.symtab] + 16 * in.symHelper);
    EXPECT_EQ(symbol->st_value, 0x02000008u);
    EXPECT_EQ(symbol->st_shndx, in.text);
    auto rela = reinterpret_cast<const Elf32_Rela*>(image.bytes + l.sectionOffsets[in.relaData]);
    EXPECT_EQ(rela->r_info, (1u << 8) | R_PPC_ADDR32);
    // Contents stay in file order: code, data and strings.
    for (uint32_t i : {in.text, in.data, in.strtab, 8u})
        EXPECT_TRUE(std::equal(original.begin() + l.sectionOffsets[i],
                               original.begin() + l.sectionOffsets[i] + l.sectionSizes[i],
                               bytes.begin() + l.sectionOffsets[i]))
            << "section " << i;
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 16),
              std::vector<uint8_t>(original.begin(), original.begin() + 16));
}

TEST_F(ElfReaderTest, EncodingBytesOtherThanOneAreBigEndian) {
    for (uint8_t encoding : {0, 2, 3, 0xFF}) {
        BasicInput in = makeBasicInput();
        in.builder.force.ei_data = encoding;
        std::vector<uint8_t> bytes = in.builder.build();
        ElfImage image;
        ASSERT_EQ(readBytes(bytes, &image), 0u) << int(encoding);
        EXPECT_EQ(image.header().e_shnum, 9);
        EXPECT_FALSE(image.littleEndian());
    }
}

TEST_F(ElfReaderTest, LittleEndianIsReadWithoutConversion) {
    BasicInput in = makeBasicInput(false);
    in.builder.addRela(0, {{}, {.r_offset = 5}}, in.symtab);  // emptied, the only change
    std::vector<uint8_t> bytes = in.builder.build();
    std::vector<uint8_t> original = bytes;
    ElfImage image;
    ASSERT_EQ(readBytes(bytes, &image), 0u);
    EXPECT_TRUE(image.littleEndian());
    // Only the emptied section's sh_size changed.
    uint32_t sizeAt = in.builder.layout().sectionHeaderField(8, kShSize);
    EXPECT_EQ(readLe32(&bytes[sizeAt]), 0u);
    writeLe32(&original[sizeAt], 0);
    EXPECT_EQ(bytes, original);
}

TEST_F(ElfReaderTest, NullTargetRelocationsAreEmptied) {
    for (bool bigEndian : {true, false}) {
        resetTestContext();
        BasicInput in = makeBasicInput(bigEndian);
        uint32_t rela = in.builder.addRela(0, {{}, {.r_offset = 7, .symbol = 1, .type = 1}}, in.symtab);
        uint32_t rel = in.builder.addRel(0, {{}, {.r_offset = 7, .symbol = 1, .type = 1}}, in.symtab);
        std::vector<uint8_t> bytes = in.builder.build();
        const ElfLayout l = in.builder.layout();
        const std::vector<uint8_t> original = bytes;
        ElfImage image;
        EXPECT_FALSE(image.emptyRelaSeen);
        ASSERT_EQ(readBytes(bytes, &image), 0u);
        EXPECT_TRUE(image.emptyRelaSeen);
        auto shdr = [&](uint32_t i) { return reinterpret_cast<const Elf32_Shdr*>(image.sectionHeaders + 40 * i); };
        EXPECT_EQ(shdr(rela)->sh_size, 0u);
        EXPECT_EQ(shdr(rel)->sh_size, 0u);
        EXPECT_EQ(shdr(rela)->sh_offset, l.sectionOffsets[rela]);
        // The entries themselves are left in file order.
        EXPECT_TRUE(std::equal(original.begin() + l.sectionOffsets[rela],
                               original.begin() + l.sectionOffsets[rel] + 16, bytes.begin() + l.sectionOffsets[rela]));
    }
}

TEST_F(ElfReaderTest, UncheckedRelocationSectionsStayInFileOrder) {
    BasicInput in = makeBasicInput();
    in.builder.section(in.relaText).link = 0;
    uint32_t deflated = in.builder.addRela(in.text, {{.r_offset = 0x12345678, .symbol = 1, .type = 1}}, in.symtab);
    in.builder.section(deflated).flags = SHF_DEFLATED;
    std::vector<uint8_t> bytes = in.builder.build();
    const ElfLayout l = in.builder.layout();
    ASSERT_EQ(readBytes(bytes), 0u);
    EXPECT_EQ(readBe32(&bytes[l.sectionOffsets[in.relaText]]), 0x02000000u);
    EXPECT_EQ(readBe32(&bytes[l.sectionOffsets[deflated]]), 0x12345678u);
    // The checked one is in host order.
    EXPECT_EQ(readLe32(&bytes[l.sectionOffsets[in.relaData]]), 0x10000000u);
}

// loadInputElf

struct Loaded {
    int result = 0;
    std::string printed;
};

Loaded load(ElfBuilder& b, std::vector<uint8_t>& bytes, const char* name = "app.elf") {
    bytes = b.build();
    Loaded out;
    beginOutputCapture(&out.printed);
    out.result = loadInputElf(ctx, int(strlen(name)), name, bytes.data(), uint32_t(bytes.size()));
    endOutputCapture();
    return out;
}

TEST_F(ElfReaderTest, LoadAttachesTheImageAndMakesAQdl) {
    BasicInput in = makeBasicInput();
    std::vector<uint8_t> bytes;
    Loaded r = load(in.builder, bytes);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.printed, "");
    EXPECT_TRUE(ctx.input.hasImage);
    EXPECT_EQ(ctx.input.image.bytes, bytes.data());
    EXPECT_EQ(ctx.input.image.byteCount, bytes.size());
    EXPECT_EQ(ctx.input.smallData.sdaBase, 0x8000u);
    EXPECT_EQ(ctx.input.smallData.sda2Base, 0x8000u);
    EXPECT_FALSE(ctx.settings.isQdx);
    EXPECT_TRUE(ctx.settings.checkNoSda);

    // A second input is refused silently.
    std::vector<uint8_t> again;
    Loaded second = load(in.builder, again);
    EXPECT_EQ(second.result, -1);
    EXPECT_EQ(second.printed, "");
    EXPECT_EQ(ctx.input.image.bytes, bytes.data());
}

TEST_F(ElfReaderTest, LoadReportsReaderCodes) {
    BasicInput in = makeBasicInput();
    in.builder.machine = 0;
    std::vector<uint8_t> bytes;
    Loaded r = load(in.builder, bytes, "dir/my app.elf");
    EXPECT_EQ(uint32_t(r.result), 0xBAD0001Cu);
    EXPECT_EQ(r.printed, "*** Error 0xBAD0001C parsing ELF file \"dir/my app.elf\"\n");
    EXPECT_FALSE(ctx.input.hasImage);
}

TEST_F(ElfReaderTest, LoadRefusesAFileWithoutSections) {
    ElfBuilder b;
    b.withSectionNames = false;
    b.force.e_shoff = 0;
    b.force.e_shnum = 0;
    b.minimumSize = 300;
    std::vector<uint8_t> bytes;
    Loaded r = load(b, bytes);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "*** Error ELF file \"app.elf\" has no sections. return -1.\n");
    EXPECT_TRUE(ctx.input.hasImage);
}

TEST_F(ElfReaderTest, LoadNeedsRelaForAllocatedProgbits) {
    const std::string message =
        "*** Error \"app.elf\" has no relocations.  Cannot make an QDL from it. Return -1\n";
    struct Variant {
        const char* what;
        std::function<void(BasicInput&)> change;
        bool accepted;
    };
    const std::vector<Variant> variants = {
        {"REL only", [](BasicInput& in) {
             in.builder.section(in.relaText).type = SHT_REL;
             in.builder.section(in.relaText).generated = TestSection::Generated::Raw;
             in.builder.section(in.relaText).data = in.builder.words({4, 0x101});
             in.builder.section(in.relaText).entsize = 8;
             in.builder.section(in.relaData).flags = SHF_DEFLATED;
             in.builder.section(in.relaData).type = SHT_REL;
         }, false},
        {"targets not allocated", [](BasicInput& in) {
             in.builder.section(in.text).flags = SHF_EXECINSTR;
             in.builder.section(in.data).flags = SHF_WRITE;
         }, false},
        {"targets not PROGBITS", [](BasicInput& in) {
             in.builder.section(in.relaText).info = in.bss;
             in.builder.section(in.relaData).info = in.symtab;
         }, false},
        {"one allocated PROGBITS target", [](BasicInput& in) { in.builder.section(in.text).flags = 0; }, true},
        {"an empty RELA section counts", [](BasicInput& in) {
             in.builder.section(in.relaText).info = in.bss;
             in.builder.section(in.relaData).info = in.bss;
             in.builder.addRela(in.text, {}, in.symtab);
         }, true},
        {"a deflated RELA section counts", [](BasicInput& in) {
             in.builder.section(in.relaText).flags = SHF_DEFLATED;
             in.builder.section(in.data).flags = 0;
         }, true},
    };
    for (const Variant& v : variants) {
        resetTestContext();
        BasicInput in = makeBasicInput();
        v.change(in);
        std::vector<uint8_t> bytes;
        Loaded r = load(in.builder, bytes);
        EXPECT_EQ(r.result, v.accepted ? 0 : -1) << v.what;
        EXPECT_EQ(r.printed, v.accepted ? "" : message) << v.what;
        EXPECT_TRUE(ctx.input.hasImage) << v.what;
    }
}

TEST_F(ElfReaderTest, SmallDataBasesDecideTheModuleKind) {
    struct Variant {
        std::vector<std::pair<std::string, uint32_t>> symbols;
        bool forceQdx;
        uint32_t sda, sda2;
        bool qdx;
    };
    const std::vector<Variant> variants = {
        {{}, false, 0x8000, 0x8000, false},
        {{{"_SDA_BASE_", 0x8000}}, false, 0x8000, 0x8000, false},
        {{{"_SDA_BASE_", 0x8004}}, false, 0x8004, 0x8000, true},
        {{{"_SDA2_BASE_", 0x8001}}, false, 0x8000, 0x8001, true},
        {{{"_SDA_BASE_", 0}}, false, 0x8000, 0x8000, false},
        {{{"_SDA_BASE_", 0x7000}, {"_SDA2_BASE_", 0x100}}, false, 0x7000, 0x100, false},
        {{{"_SDA_BASE_", 0x9000}, {"_SDA_BASE_", 0x10}}, false, 0x10, 0x8000, false},  // the later one holds
        {{{"_SDA_BASE", 0x9000}, {"_SDA_BASE_X", 0x9000}, {"x_SDA_BASE_", 0x9000}}, false, 0x8000, 0x8000, false},
        {{}, true, 0x8000, 0x8000, true},
    };
    for (const Variant& v : variants) {
        resetTestContext();
        ctx.settings.forceQdx = v.forceQdx;
        BasicInput in = makeBasicInput();
        for (const auto& [name, value] : v.symbols)
            in.builder.section(in.symtab).symbols.push_back(
                {.name = name, .value = value, .info = symbolInfo(STB_GLOBAL, STT_NOTYPE), .shndx = SHN_ABS});
        std::vector<uint8_t> bytes;
        Loaded r = load(in.builder, bytes);
        ASSERT_EQ(r.result, 0);
        EXPECT_EQ(ctx.input.smallData.sdaBase, v.sda);
        EXPECT_EQ(ctx.input.smallData.sda2Base, v.sda2);
        EXPECT_EQ(ctx.settings.isQdx, v.qdx);
        EXPECT_EQ(ctx.settings.checkNoSda, !v.qdx);
    }
}

TEST_F(ElfReaderTest, SmallDataBasesAcrossSymbolTables) {
    BasicInput in = makeBasicInput(false);
    in.builder.section(in.symtab).symbols.push_back(
        {.name = "_SDA_BASE_", .value = 0x9000, .info = symbolInfo(STB_GLOBAL, STT_NOTYPE), .shndx = SHN_ABS});
    // A second table (linked to the same strings) overrides the first.
    uint32_t second = in.builder.addSection({.name = ".symtab2",
                                             .type = SHT_SYMTAB,
                                             .link = in.strtab,
                                             .addralign = 4,
                                             .entsize = 16,
                                             .generated = TestSection::Generated::Symbols});
    in.builder.section(second).symbols = {{.value = 0x100, .forceName = 0}};
    in.builder.afterBuild = [&in, second](ElfBuilder& b, std::vector<uint8_t>& bytes) {
        // Point the second table's symbol at the first table's name.
        uint32_t name = b.read32(bytes, b.layout().sectionOffsets[in.symtab] + 16 * 4);
        b.patch32(bytes, b.layout().sectionOffsets[second] + 16, name);
    };
    std::vector<uint8_t> bytes;
    ASSERT_EQ(load(in.builder, bytes).result, 0);
    EXPECT_EQ(ctx.input.smallData.sdaBase, 0x100u);
    EXPECT_FALSE(ctx.settings.isQdx);
}

TEST_F(ElfReaderTest, SmallDataNamesStayInsideTheirStringTable) {
    // "_SDA_BASE_" as the last bytes of the string table, without its NUL:
    // the name runs past the table and is no match.
    BasicInput in = makeBasicInput();
    uint32_t strings = in.builder.addSection({.name = ".strtab2", .type = SHT_STRTAB,
                                              .data = {0, '_', 'S', 'D', 'A', '_', 'B', 'A', 'S', 'E', '_'}});
    uint32_t table = in.builder.addSection({.name = ".symtab2",
                                            .type = SHT_SYMTAB,
                                            .link = strings,
                                            .addralign = 4,
                                            .entsize = 16,
                                            .generated = TestSection::Generated::Symbols});
    in.builder.section(table).symbols = {{.value = 0x9000, .shndx = SHN_ABS, .forceName = 1}};
    std::vector<uint8_t> bytes;
    ASSERT_EQ(load(in.builder, bytes).result, 0);
    EXPECT_EQ(ctx.input.smallData.sdaBase, 0x8000u);
    EXPECT_FALSE(ctx.settings.isQdx);

    // With the NUL it is a match.
    resetTestContext();
    in.builder.section(strings).data.push_back(0);
    ASSERT_EQ(load(in.builder, bytes).result, 0);
    EXPECT_EQ(ctx.input.smallData.sdaBase, 0x9000u);
    EXPECT_TRUE(ctx.settings.isQdx);
}

TEST_F(ElfReaderTest, LoadRefusesOtherTableStrides) {
    // Program headers of 48 bytes behind everything else: the reader walks
    // them, the later passes could not.
    BasicInput in = makeBasicInput();
    in.builder.force.e_phentsize = 48;
    in.builder.afterBuild = restride(28, 2, 32, 48);
    std::vector<uint8_t> bytes;
    Loaded r = load(in.builder, bytes);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed,
              "***Error: ELF file \"app.elf\" has program headers of 48 bytes; only 32 are supported. return -1.\n");
    EXPECT_TRUE(ctx.input.hasImage);

    // Without program headers their stride does not matter.
    resetTestContext();
    in.builder.segments.clear();
    in.builder.afterBuild = nullptr;
    EXPECT_EQ(load(in.builder, bytes).result, 0);

    // Section headers of 44 bytes.
    resetTestContext();
    BasicInput other = makeBasicInput(false);
    other.builder.force.e_shentsize = 44;
    other.builder.afterBuild = restride(32, 9, 40, 44);
    r = load(other.builder, bytes);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed,
              "***Error: ELF file \"app.elf\" has section headers of 44 bytes; only 40 are supported. return -1.\n");
}

// A 16-bit field of the ELF header in the byte order the file gives.
uint16_t headerHalf(const std::vector<uint8_t>& bytes, size_t offset) {
    const bool little = bytes[EI_DATA] == ELFDATA2LSB;
    return little ? uint16_t(bytes[offset] | bytes[offset + 1] << 8) : uint16_t(bytes[offset] << 8 | bytes[offset + 1]);
}

// Random corruptions of the headers and tables: every result is a code of
// the reader or -1, and (in the sanitizer build) nothing is read outside the
// exactly sized buffer.
TEST_F(ElfReaderTest, RandomCorruptionsGiveCodesWithoutReadingOutside) {
    std::mt19937 rng(4242);
    const uint32_t nasty[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF0, 0x10000, 40, 52, 0xFFFF};
    int compared = 0;
    for (bool bigEndian : {true, false}) {
        BasicInput in = makeBasicInput(bigEndian);
        const std::vector<uint8_t> clean = in.builder.build();
        const ElfLayout l = in.builder.layout();
        for (int round = 0; round < 3000; ++round) {
            resetTestContext();
            std::vector<uint8_t> bytes = clean;
            for (int k = 1 + rng() % 4; k > 0; --k) {
                // Aim at the header, the section headers or the tables.
                size_t at;
                switch (rng() % 3) {
                case 0: at = 16 + rng() % 36; break;
                case 1: at = l.shoff + rng() % (9 * 40); break;
                default: at = rng() % bytes.size(); break;
                }
                at &= ~size_t(1);
                if (rng() % 2 && at + 4 <= bytes.size())
                    in.builder.patch32(bytes, at, nasty[rng() % std::size(nasty)]);
                else
                    bytes[at] = uint8_t(rng());
            }
            if (rng() % 8 == 0)  // a shorter file, in a buffer of its own size
                bytes = std::vector<uint8_t>(bytes.begin(), bytes.begin() + 260 + rng() % (bytes.size() - 260));
            // Checked without conversion: nothing written, and the reader's
            // code unless entries of a header table overlap each other (a
            // stride narrower than an entry), which only converting in place
            // makes visible.
            std::vector<uint8_t> checkedBytes = bytes;
            const uint32_t checked = checkElfImage(checkedBytes.data(), uint32_t(checkedBytes.size()));
            EXPECT_TRUE(checkedBytes == bytes);
            std::vector<uint8_t> converted = bytes;
            ElfImage image;
            const uint32_t read = readElfImage(converted.data(), uint32_t(converted.size()), &image);
            const uint16_t phentsize = headerHalf(bytes, 42), phnum = headerHalf(bytes, 44);
            const uint16_t shentsize = headerHalf(bytes, 46);
            if ((shentsize == 0 || shentsize >= 40) && (phnum == 0 || phentsize == 0 || phentsize >= 32)) {
                EXPECT_EQ(checked, read) << std::hex << checked << " " << read;
                ++compared;
            }
            std::string printed;
            beginOutputCapture(&printed);
            int result = loadInputElf(ctx, 1, "x", bytes.data(), uint32_t(bytes.size()));
            endOutputCapture();
            const bool isCode = (uint32_t(result) & 0xFFFFFF00) == 0xBAD00000;
            EXPECT_TRUE(result == 0 || result == -1 || isCode) << std::hex << result;
        }
    }
    EXPECT_GT(compared, 5000);
}

}  // namespace
