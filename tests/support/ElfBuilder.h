// A builder of ELF32 images for tests: any sections, symbol tables,
// relocation sections (RELA and REL) and program headers, in either byte
// order, valid or deliberately malformed.
//
// Usage:
//
//   ElfBuilder b;                         // big-endian PowerPC executable
//   uint32_t text = b.addSection({.name = ".text", .type = SHT_PROGBITS,
//                                 .flags = SHF_ALLOC | SHF_EXECINSTR,
//                                 .addr = 0x02000000, .data = b.words({0x4E800020}),
//                                 .addralign = 4});
//   uint32_t symtab = b.addSymbolTable({{.name = "main", .value = 0x02000000, .size = 4,
//                                        .info = symbolInfo(STB_GLOBAL, STT_FUNC),
//                                        .shndx = uint16_t(text)}});
//   b.addRela(text, {{.r_offset = 0x02000000, .symbol = 1, .type = R_PPC_REL24}}, symtab);
//   b.force.e_shnum = 500;                // any e_* field can be forced
//   std::vector<uint8_t> bytes = b.build();
//   b.patch32(bytes, b.layout().sectionHeaderField(text, offsetof(Elf32_Shdr, sh_size)), 7);
//
// Layout of build(): the ELF header (52 bytes), the program headers right
// behind it (when there are any), the section contents in index order, each
// aligned to its sh_addralign (NOBITS sections and sections without data take
// no room), then the section header table aligned to 4, then zero padding up
// to minimumSize. Section 0 is always the null section. Unless
// withSectionNames is false, a ".shstrtab" section is appended behind every
// section that was added (its index is layout().shstrndx).
//
// Forced values (TestSection::forceOffset/forceSize/forceName,
// TestSymbol::forceName, the fields of `force`) only change what the headers
// say, never the layout: a section with a forced sh_offset still has its data
// written in its normal place. So a test can build once, look at layout(),
// set forced values relative to it and build again with the same layout.
//
// Symbol tables and relocation sections are kept as records and encoded in
// the builder's byte order when build() runs, so `bigEndian` may be changed at
// any time before build(). Raw `data` bytes are written as given.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "elf/ElfFormat.h"

// One symbol of a table made by addSymbolTable. The name is put into the
// table's string table (an empty name gets st_name 0) unless forceName is set.
struct TestSymbol {
    std::string name{};
    uint32_t value = 0;
    uint32_t size = 0;
    uint8_t info = 0;   // see symbolInfo()
    uint8_t other = 0;
    uint16_t shndx = 0;
    std::optional<uint32_t> forceName{};  // st_name written as is
};

inline uint8_t symbolInfo(uint8_t binding, uint8_t type) { return uint8_t((binding << 4) | (type & 0xF)); }

// One SHT_RELA entry; r_info = symbol << 8 | type (or forceInfo as is).
struct TestRela {
    uint32_t r_offset = 0;
    uint32_t symbol = 0;
    uint32_t type = 0;
    int32_t r_addend = 0;
    std::optional<uint32_t> forceInfo{};
};

// One SHT_REL entry.
struct TestRel {
    uint32_t r_offset = 0;
    uint32_t symbol = 0;
    uint32_t type = 0;
    std::optional<uint32_t> forceInfo{};
};

// One section. `data` holds the contents exactly as they go into the file;
// `size` is used instead when data is empty: the sh_size of a NOBITS section
// (which takes no room), or of a section of that many zero bytes (which take
// room in the file unless `unplaced` is set).
struct TestSection {
    std::string name{};
    uint32_t type = SHT_PROGBITS;
    uint32_t flags = 0;
    uint32_t addr = 0;
    std::vector<uint8_t> data{};
    uint32_t size = 0;          // sh_size when data is empty
    bool unplaced = false;      // with empty data: no bytes are written for `size`
    uint32_t link = 0;
    uint32_t info = 0;
    uint32_t addralign = 1;
    uint32_t entsize = 0;
    std::optional<uint32_t> forceOffset{};  // sh_offset written as is
    std::optional<uint32_t> forceSize{};    // sh_size written as is
    std::optional<uint32_t> forceName{};    // sh_name written as is

    // Set by the helpers: the contents are generated at build time from
    // these records instead of `data` (set `generated` back to Raw to write
    // `data` instead).
    enum class Generated { Raw, Symbols, Rela, Rel, Strings };
    Generated generated = Generated::Raw;
    std::vector<TestSymbol> symbols{};     // Symbols
    bool withNullSymbol = true;          // Symbols: a zero symbol 0 is written before `symbols`
    std::vector<TestRela> relas{};         // Rela
    std::vector<TestRel> rels{};           // Rel
    uint32_t stringsOf = 0;              // Strings: the names of the symbol table at this index
};

// Header values written as they are, after layout. Unset fields get their
// natural values (offsets and counts from the layout, sizes 52/32/40).
struct ForcedHeader {
    std::optional<uint8_t> ei_mag0{}, ei_mag1{}, ei_mag2{}, ei_mag3{};
    std::optional<uint8_t> ei_class{};    // default ELFCLASS32
    std::optional<uint8_t> ei_data{};   // default 2 (big-endian) or 1
    std::optional<uint8_t> ei_version{};  // default 1
    std::optional<uint16_t> e_type{};
    std::optional<uint16_t> e_machine{};
    std::optional<uint32_t> e_version{};
    std::optional<uint32_t> e_entry{};
    std::optional<uint32_t> e_phoff{};
    std::optional<uint32_t> e_shoff{};
    std::optional<uint32_t> e_flags{};
    std::optional<uint16_t> e_ehsize{};
    std::optional<uint16_t> e_phentsize{};
    std::optional<uint16_t> e_phnum{};
    std::optional<uint16_t> e_shentsize{};
    std::optional<uint16_t> e_shnum{};
    std::optional<uint16_t> e_shstrndx{};
};

// Where build() put things (file offsets).
struct ElfLayout {
    uint32_t phoff = 0;                    // 0 when there are no program headers
    uint32_t shoff = 0;
    uint32_t shnum = 0;                    // sections written, including 0 and .shstrtab
    uint32_t shstrndx = 0;                 // 0 without section names
    std::vector<uint32_t> sectionOffsets{};  // where each section's data was written
    std::vector<uint32_t> sectionSizes{};  // sh_size as laid out (before forceSize)
    std::vector<uint32_t> sectionNames{};  // sh_name as laid out (before forceName)
    size_t fileSize = 0;

    // Offset of section header `index` (40-byte stride) plus `field`, e.g.
    // offsetof(Elf32_Shdr, sh_size).
    uint32_t sectionHeaderField(uint32_t index, uint32_t field = 0) const { return shoff + index * 40 + field; }
    uint32_t programHeaderField(uint32_t index, uint32_t field = 0) const { return phoff + index * 32 + field; }
};

struct ElfBuilder {
    bool bigEndian = true;
    uint16_t type = 2;      // e_type: ET_EXEC
    uint16_t machine = 20;  // e_machine: EM_PPC
    uint32_t entry = 0;
    uint32_t flags = 0;     // e_flags
    bool withSectionNames = true;  // false: no .shstrtab, e_shstrndx 0, every sh_name 0
    size_t minimumSize = 0;        // the file is padded with zeroes to at least this size
    ForcedHeader force;
    // Run at the end of build() on the finished bytes, e.g. to corrupt them.
    std::function<void(ElfBuilder&, std::vector<uint8_t>&)> afterBuild;

    // Adds a section and returns its index (1 for the first).
    uint32_t addSection(TestSection section);
    // The section at `index` (1..), to change it before build().
    TestSection& section(uint32_t index);
    uint32_t sectionCount() const { return uint32_t(sections.size()) + 1; }  // with section 0, without .shstrtab

    // Adds ".symtab" (entsize 16, addralign 4, sh_info = 1 + the number of
    // leading local symbols) and ".strtab" behind it; sh_link of the table
    // is the string table. Symbol 0 is the null symbol unless withNullSymbol
    // is false, so symbols[k] has index k + 1. Returns the index of .symtab
    // (the string table is that index + 1).
    uint32_t addSymbolTable(std::vector<TestSymbol> symbols, bool withNullSymbol = true,
                            const std::string& name = ".symtab", const std::string& stringsName = ".strtab");
    // Adds ".rela" + the target's name: SHT_RELA, entsize 12, addralign 4,
    // sh_link = symtab, sh_info = target. Returns its index.
    uint32_t addRela(uint32_t target, std::vector<TestRela> relas, uint32_t symtab);
    // Adds ".rel" + the target's name: SHT_REL, entsize 8, addralign 4.
    uint32_t addRel(uint32_t target, std::vector<TestRel> rels, uint32_t symtab);

    // Adds a program header, written as given (in the builder's byte order).
    uint32_t addProgramHeader(Elf32_Phdr header);
    // Adds a program header of `type` that covers sections first..last as
    // laid out: p_offset of first, p_filesz up to the end of last's data,
    // p_vaddr/p_paddr the sh_addr of first, p_memsz up to the end of last's
    // sh_addr + sh_size. Returns its index.
    uint32_t addSegment(uint32_t type, uint32_t first, uint32_t last, uint32_t segmentFlags = 5,
                        uint32_t align = 0x10000);

    // Lays everything out and returns the file's bytes.
    std::vector<uint8_t> build();
    // The layout of the last build().
    const ElfLayout& layout() const { return lastLayout; }

    // Writes into built bytes in the builder's byte order.
    void patch8(std::vector<uint8_t>& bytes, size_t offset, uint8_t value) const;
    void patch16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) const;
    void patch32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) const;
    uint32_t read32(const std::vector<uint8_t>& bytes, size_t offset) const;
    uint16_t read16(const std::vector<uint8_t>& bytes, size_t offset) const;

    // 32-bit words as bytes in the builder's byte order (for section data).
    std::vector<uint8_t> words(const std::vector<uint32_t>& values) const;

    std::vector<TestSection> sections{};  // index k holds section k + 1
    struct Segment {
        Elf32_Phdr header{};
        int32_t first = -1;  // with addSegment: the covered sections
        int32_t last = -1;
    };
    std::vector<Segment> segments{};

private:
    ElfLayout lastLayout;
};

// 32-bit words as big-endian bytes.
std::vector<uint8_t> bigEndianWords(const std::vector<uint32_t>& values);

// Writes `bytes` to `name` in a directory of the running test under /tmp
// (created as needed) and returns the file's path.
std::string writeTempFile(const std::vector<uint8_t>& bytes, const std::string& name);
// The directory of the running test (created as needed), ending without "/".
std::string testTempDir();

// A small valid input that the reader and the module builder accept: a
// big-endian PowerPC executable with
//   1 .text  at 0x02000000 (16 bytes: main: bl helper; blr; helper: li r3,0; blr)
//   2 .data  at 0x10000000 (16 bytes: the address of main, then zeroes)
//   3 .bss   at 0x10000010 (NOBITS, 16 bytes)
//   4 .rela.text (one R_PPC_REL24 at 0x02000000 against helper)
//   5 .rela.data (one R_PPC_ADDR32 at 0x10000000 against main)
//   6 .symtab, 7 .strtab, 8 .shstrtab
// symbols: 1 main (global func in .text, 8 bytes), 2 helper (global func,
// 8 bytes at 0x02000008), 3 dataWord (global object in .data, 4 bytes),
// and two PT_LOAD program headers (text R+X, data R+W). About 700 bytes.
struct BasicInput {
    ElfBuilder builder;
    uint32_t text = 1, data = 2, bss = 3, relaText = 4, relaData = 5, symtab = 6, strtab = 7;
    uint32_t symMain = 1, symHelper = 2, symDataWord = 3;
};
BasicInput makeBasicInput(bool bigEndian = true);
