#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <iterator>

#include "support/ElfBuilder.h"

namespace {

// Reads back what the builder wrote, independently of the tool's reader.
struct ReadBack {
    const std::vector<uint8_t>& b;
    bool be;
    uint32_t u32(size_t o) const { return be ? readBe32(&b[o]) : readLe32(&b[o]); }
    uint16_t u16(size_t o) const { return be ? uint16_t(b[o] << 8 | b[o + 1]) : uint16_t(b[o] | b[o + 1] << 8); }
    uint32_t shoff() const { return u32(32); }
    uint32_t sh(uint32_t i, size_t field) const { return u32(shoff() + 40 * i + field); }
    std::string name(uint32_t i) const {
        uint32_t names = sh(u16(50), offsetof(Elf32_Shdr, sh_offset));
        return std::string(reinterpret_cast<const char*>(&b[names + sh(i, 0)]));
    }
};

TEST(ElfBuilderTest, BasicInputReadsBackInBothByteOrders) {
    for (bool be : {true, false}) {
        BasicInput in = makeBasicInput(be);
        std::vector<uint8_t> bytes = in.builder.build();
        ReadBack r{bytes, be};
        ASSERT_GE(bytes.size(), 261u);
        EXPECT_EQ(bytes[0], 0x7F);
        EXPECT_EQ(bytes[EI_DATA], be ? 2 : 1);
        EXPECT_EQ(r.u16(18), 20);  // e_machine
        EXPECT_EQ(r.u32(20), 1u);  // e_version
        EXPECT_EQ(r.u16(40), 52);
        EXPECT_EQ(r.u16(44), 2);   // e_phnum
        EXPECT_EQ(r.u16(48), 9);   // e_shnum: null + 7 + .shstrtab
        EXPECT_EQ(r.u16(50), 8);
        EXPECT_EQ(r.u32(28), 52u);
        EXPECT_EQ(r.name(in.text), ".text");
        EXPECT_EQ(r.name(in.relaData), ".rela.data");
        EXPECT_EQ(r.name(8), ".shstrtab");
        EXPECT_EQ(r.sh(in.text, offsetof(Elf32_Shdr, sh_addr)), 0x02000000u);
        EXPECT_EQ(r.sh(in.bss, offsetof(Elf32_Shdr, sh_type)), SHT_NOBITS);
        EXPECT_EQ(r.sh(in.bss, offsetof(Elf32_Shdr, sh_size)), 16u);
        EXPECT_EQ(r.sh(in.relaText, offsetof(Elf32_Shdr, sh_link)), in.symtab);
        EXPECT_EQ(r.sh(in.relaText, offsetof(Elf32_Shdr, sh_info)), in.text);
        EXPECT_EQ(r.sh(in.symtab, offsetof(Elf32_Shdr, sh_link)), in.strtab);
        EXPECT_EQ(r.sh(in.symtab, offsetof(Elf32_Shdr, sh_size)), 64u);

        // Symbol 2 ("helper") and the .rela.text entry against it.
        uint32_t sym = r.sh(in.symtab, offsetof(Elf32_Shdr, sh_offset)) + 16 * in.symHelper;
        uint32_t strings = r.sh(in.strtab, offsetof(Elf32_Shdr, sh_offset));
        EXPECT_STREQ(reinterpret_cast<const char*>(&bytes[strings + r.u32(sym)]), "helper");
        EXPECT_EQ(r.u32(sym + 4), 0x02000008u);
        EXPECT_EQ(bytes[sym + 12], symbolInfo(STB_GLOBAL, STT_FUNC));
        EXPECT_EQ(r.u16(sym + 14), in.text);
        uint32_t rela = r.sh(in.relaText, offsetof(Elf32_Shdr, sh_offset));
        EXPECT_EQ(r.u32(rela), 0x02000000u);
        EXPECT_EQ(r.u32(rela + 4), (2u << 8) | R_PPC_REL24);

        // The data segment covers .data in the file and .bss in memory.
        uint32_t ph = r.u32(28) + 32;
        EXPECT_EQ(r.u32(ph + 4), r.sh(in.data, offsetof(Elf32_Shdr, sh_offset)));
        EXPECT_EQ(r.u32(ph + 16), 16u);
        EXPECT_EQ(r.u32(ph + 20), 32u);
        // Section contents are aligned and the section header table follows them.
        EXPECT_EQ(r.sh(in.text, offsetof(Elf32_Shdr, sh_offset)) % 4, 0u);
        EXPECT_EQ(r.shoff() + 40 * 9, bytes.size());
    }
}

TEST(ElfBuilderTest, ForcedValuesChangeHeadersButNotTheLayout) {
    BasicInput in = makeBasicInput();
    std::vector<uint8_t> plain = in.builder.build();
    ElfLayout before = in.builder.layout();

    ElfBuilder& b = in.builder;
    b.force.e_shnum = 0x1234;
    b.force.ei_class = 2;
    b.section(in.data).forceOffset = 3;
    b.section(in.data).forceSize = 0xFFFFFFF0;
    b.section(in.symtab).symbols[0].forceName = 0x777;
    b.minimumSize = 4096;
    std::vector<uint8_t> forced = b.build();
    ReadBack r{forced, true};
    EXPECT_EQ(b.layout().shoff, before.shoff);
    EXPECT_EQ(b.layout().sectionOffsets, before.sectionOffsets);
    EXPECT_EQ(forced.size(), 4096u);
    EXPECT_EQ(r.u16(48), 0x1234);
    EXPECT_EQ(forced[EI_CLASS], 2);
    EXPECT_EQ(r.sh(in.data, offsetof(Elf32_Shdr, sh_offset)), 3u);
    EXPECT_EQ(r.sh(in.data, offsetof(Elf32_Shdr, sh_size)), 0xFFFFFFF0u);
    EXPECT_EQ(r.u32(before.sectionOffsets[in.symtab] + 16), 0x777u);
    // The data is still written in its place.
    EXPECT_EQ(r.u32(before.sectionOffsets[in.data]), 0x02000000u);

    b.patch32(forced, b.layout().sectionHeaderField(in.text, offsetof(Elf32_Shdr, sh_type)), 0xABCD0001);
    EXPECT_EQ(r.sh(in.text, offsetof(Elf32_Shdr, sh_type)), 0xABCD0001u);
    EXPECT_EQ(b.read32(forced, b.layout().sectionHeaderField(in.text, offsetof(Elf32_Shdr, sh_type))),
              0xABCD0001u);
}

TEST(ElfBuilderTest, NoSectionNamesAndRelSectionsAndTempFiles) {
    ElfBuilder b;
    b.bigEndian = false;
    b.withSectionNames = false;
    uint32_t text = b.addSection({.name = ".text", .data = {1, 2, 3, 4, 5, 6, 7, 8}, .addralign = 8});
    uint32_t symtab = b.addSymbolTable({{.name = "", .shndx = 1}}, false);
    uint32_t rel = b.addRel(text, {{.r_offset = 4, .symbol = 0x123456, .type = 0}}, symtab);
    b.afterBuild = [](ElfBuilder& self, std::vector<uint8_t>& bytes) { self.patch8(bytes, 7, 0x5A); };
    std::vector<uint8_t> bytes = b.build();
    ReadBack r{bytes, false};
    EXPECT_EQ(r.u16(50), 0);
    EXPECT_EQ(r.u16(48), 5);
    EXPECT_EQ(r.u32(28), 0u);  // no program headers
    EXPECT_EQ(bytes[7], 0x5A);
    EXPECT_EQ(r.sh(text, 0), 0u);
    EXPECT_EQ(r.sh(text, offsetof(Elf32_Shdr, sh_offset)), 56u);
    EXPECT_EQ(r.sh(symtab, offsetof(Elf32_Shdr, sh_size)), 16u);  // no null symbol
    EXPECT_EQ(r.sh(symtab, offsetof(Elf32_Shdr, sh_info)), 1u);
    EXPECT_EQ(r.sh(rel, offsetof(Elf32_Shdr, sh_type)), SHT_REL);
    EXPECT_EQ(r.sh(rel, offsetof(Elf32_Shdr, sh_entsize)), 8u);
    uint32_t entry = r.sh(rel, offsetof(Elf32_Shdr, sh_offset));
    EXPECT_EQ(r.u32(entry + 4), 0x12345600u);

    std::string path = writeTempFile(bytes, "little.elf");
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(back, bytes);
    EXPECT_NE(path.find("/tmp/"), std::string::npos);
}

}  // namespace
