#include "support/ElfBuilder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

void put16(std::vector<uint8_t>& b, size_t off, uint16_t v, bool be) {
    if (off + 2 > b.size()) return;
    if (be) {
        b[off] = uint8_t(v >> 8);
        b[off + 1] = uint8_t(v);
    } else {
        b[off] = uint8_t(v);
        b[off + 1] = uint8_t(v >> 8);
    }
}

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v, bool be) {
    if (off + 4 > b.size()) return;
    if (be)
        writeBe32(&b[off], v);
    else
        writeLe32(&b[off], v);
}

void append32(std::vector<uint8_t>& b, uint32_t v, bool be) {
    b.resize(b.size() + 4);
    put32(b, b.size() - 4, v, be);
}

void append16(std::vector<uint8_t>& b, uint16_t v, bool be) {
    b.resize(b.size() + 2);
    put16(b, b.size() - 2, v, be);
}

size_t alignUp(size_t v, uint32_t align) {
    // Hostile alignments (0, huge or not a power of two) lay out unaligned.
    if (align <= 1 || align > 0x1000 || (align & (align - 1)) != 0) return v;
    return (v + align - 1) & ~size_t(align - 1);
}

bool takesRoom(const TestSection& s, size_t contentSize) { return s.type != SHT_NOBITS && contentSize > 0; }

}  // namespace

uint32_t ElfBuilder::addSection(TestSection section) {
    sections.push_back(std::move(section));
    return uint32_t(sections.size());
}

TestSection& ElfBuilder::section(uint32_t index) { return sections.at(index - 1); }

uint32_t ElfBuilder::addSymbolTable(std::vector<TestSymbol> symbols, bool withNullSymbol, const std::string& name,
                                    const std::string& stringsName) {
    uint32_t firstGlobal = withNullSymbol ? 1 : 0;
    for (const TestSymbol& s : symbols) {
        if (symbolBinding(Elf32_Sym{0, 0, 0, s.info, 0, 0}) != STB_LOCAL) break;
        ++firstGlobal;
    }
    TestSection table;
    table.name = name;
    table.type = SHT_SYMTAB;
    table.addralign = 4;
    table.entsize = 16;
    table.info = firstGlobal;
    table.generated = TestSection::Generated::Symbols;
    table.symbols = std::move(symbols);
    table.withNullSymbol = withNullSymbol;
    uint32_t tableIndex = addSection(std::move(table));
    TestSection strings;
    strings.name = stringsName;
    strings.type = SHT_STRTAB;
    strings.generated = TestSection::Generated::Strings;
    strings.stringsOf = tableIndex;
    uint32_t stringsIndex = addSection(std::move(strings));
    section(tableIndex).link = stringsIndex;
    return tableIndex;
}

uint32_t ElfBuilder::addRela(uint32_t target, std::vector<TestRela> relas, uint32_t symtab) {
    TestSection s;
    s.name = ".rela" + (target >= 1 && target <= sections.size() ? section(target).name : std::string());
    s.type = SHT_RELA;
    s.addralign = 4;
    s.entsize = 12;
    s.link = symtab;
    s.info = target;
    s.generated = TestSection::Generated::Rela;
    s.relas = std::move(relas);
    return addSection(std::move(s));
}

uint32_t ElfBuilder::addRel(uint32_t target, std::vector<TestRel> rels, uint32_t symtab) {
    TestSection s;
    s.name = ".rel" + (target >= 1 && target <= sections.size() ? section(target).name : std::string());
    s.type = SHT_REL;
    s.addralign = 4;
    s.entsize = 8;
    s.link = symtab;
    s.info = target;
    s.generated = TestSection::Generated::Rel;
    s.rels = std::move(rels);
    return addSection(std::move(s));
}

uint32_t ElfBuilder::addProgramHeader(Elf32_Phdr header) {
    segments.push_back(Segment{header, -1, -1});
    return uint32_t(segments.size() - 1);
}

uint32_t ElfBuilder::addSegment(uint32_t segmentType, uint32_t first, uint32_t last, uint32_t segmentFlags,
                                uint32_t align) {
    Elf32_Phdr h{};
    h.p_type = segmentType;
    h.p_flags = segmentFlags;
    h.p_align = align;
    segments.push_back(Segment{h, int32_t(first), int32_t(last)});
    return uint32_t(segments.size() - 1);
}

std::vector<uint8_t> ElfBuilder::build() {
    const bool be = bigEndian;
    // The working list: null section, the added ones, then .shstrtab.
    std::vector<TestSection> all;
    all.push_back(TestSection{.type = SHT_NULL, .addralign = 0});
    all.insert(all.end(), sections.begin(), sections.end());
    uint32_t shstrndx = 0;
    if (withSectionNames) {
        TestSection names;
        names.name = ".shstrtab";
        names.type = SHT_STRTAB;
        shstrndx = uint32_t(all.size());
        all.push_back(std::move(names));
    }
    const uint32_t n = uint32_t(all.size());

    // String tables of the symbol tables, and the symbols' st_name.
    std::map<uint32_t, std::vector<uint32_t>> symbolNames;
    std::vector<std::vector<uint8_t>> contents(n);
    for (uint32_t i = 1; i < n; ++i) {
        TestSection& s = all[i];
        if (s.generated != TestSection::Generated::Strings) continue;
        std::vector<uint8_t>& out = contents[i];
        out.push_back(0);
        std::vector<uint32_t> offsets;
        if (s.stringsOf >= 1 && s.stringsOf < n) {
            for (const TestSymbol& sym : all[s.stringsOf].symbols) {
                if (sym.name.empty()) {
                    offsets.push_back(0);
                    continue;
                }
                offsets.push_back(uint32_t(out.size()));
                out.insert(out.end(), sym.name.begin(), sym.name.end());
                out.push_back(0);
            }
        }
        symbolNames[s.stringsOf] = std::move(offsets);
    }
    for (uint32_t i = 1; i < n; ++i) {
        TestSection& s = all[i];
        std::vector<uint8_t>& out = contents[i];
        switch (s.generated) {
        case TestSection::Generated::Raw:
            out = s.data;
            break;
        case TestSection::Generated::Strings:
            break;
        case TestSection::Generated::Symbols: {
            if (s.withNullSymbol) out.resize(16, 0);
            auto names = symbolNames.find(i);
            for (size_t k = 0; k < s.symbols.size(); ++k) {
                const TestSymbol& sym = s.symbols[k];
                uint32_t name = 0;
                if (sym.forceName)
                    name = *sym.forceName;
                else if (names != symbolNames.end() && k < names->second.size())
                    name = names->second[k];
                append32(out, name, be);
                append32(out, sym.value, be);
                append32(out, sym.size, be);
                out.push_back(sym.info);
                out.push_back(sym.other);
                append16(out, sym.shndx, be);
            }
            break;
        }
        case TestSection::Generated::Rela:
            for (const TestRela& r : s.relas) {
                append32(out, r.r_offset, be);
                append32(out, r.forceInfo ? *r.forceInfo : (r.symbol << 8) | (r.type & 0xFF), be);
                append32(out, uint32_t(r.r_addend), be);
            }
            break;
        case TestSection::Generated::Rel:
            for (const TestRel& r : s.rels) {
                append32(out, r.r_offset, be);
                append32(out, r.forceInfo ? *r.forceInfo : (r.symbol << 8) | (r.type & 0xFF), be);
            }
            break;
        }
    }
    // Section names.
    std::vector<uint32_t> nameOffsets(n, 0);
    if (withSectionNames) {
        std::vector<uint8_t>& out = contents[shstrndx];
        out.push_back(0);
        for (uint32_t i = 1; i < n; ++i) {
            if (all[i].name.empty()) continue;
            nameOffsets[i] = uint32_t(out.size());
            out.insert(out.end(), all[i].name.begin(), all[i].name.end());
            out.push_back(0);
        }
    }

    // Layout.
    ElfLayout lay;
    lay.shnum = n;
    lay.shstrndx = shstrndx;
    lay.sectionOffsets.assign(n, 0);
    lay.sectionSizes.assign(n, 0);
    lay.sectionNames = nameOffsets;
    size_t offset = 52;
    if (!segments.empty()) {
        lay.phoff = 52;
        offset += 32 * segments.size();
    }
    std::vector<bool> placed(n, false);
    for (uint32_t i = 1; i < n; ++i) {
        const TestSection& s = all[i];
        // A raw section without data stands for `size` bytes (the names
        // section is filled above).
        bool sized = s.generated == TestSection::Generated::Raw && s.data.empty() && i != shstrndx;
        uint32_t size = sized ? s.size : uint32_t(contents[i].size());
        if (sized && s.type != SHT_NOBITS && !s.unplaced) contents[i].assign(size, 0);
        lay.sectionSizes[i] = size;
        offset = alignUp(offset, s.addralign);
        lay.sectionOffsets[i] = uint32_t(offset);
        if (takesRoom(s, contents[i].size())) {
            placed[i] = true;
            offset += contents[i].size();
        }
    }
    offset = alignUp(offset, 4);
    lay.shoff = uint32_t(offset);
    offset += 40 * size_t(n);
    lay.fileSize = std::max(offset, minimumSize);

    std::vector<uint8_t> b(lay.fileSize, 0);
    for (uint32_t i = 1; i < n; ++i)
        if (placed[i]) std::copy(contents[i].begin(), contents[i].end(), b.begin() + lay.sectionOffsets[i]);

    // ELF header.
    b[0] = force.ei_mag0.value_or(0x7F);
    b[1] = force.ei_mag1.value_or('E');
    b[2] = force.ei_mag2.value_or('L');
    b[3] = force.ei_mag3.value_or('F');
    b[EI_CLASS] = force.ei_class.value_or(ELFCLASS32);
    b[EI_DATA] = force.ei_data.value_or(be ? ELFDATA2MSB : ELFDATA2LSB);
    b[EI_VERSION] = force.ei_version.value_or(1);
    put16(b, 16, force.e_type.value_or(type), be);
    put16(b, 18, force.e_machine.value_or(machine), be);
    put32(b, 20, force.e_version.value_or(1), be);
    put32(b, 24, force.e_entry.value_or(entry), be);
    put32(b, 28, force.e_phoff.value_or(lay.phoff), be);
    put32(b, 32, force.e_shoff.value_or(lay.shoff), be);
    put32(b, 36, force.e_flags.value_or(flags), be);
    put16(b, 40, force.e_ehsize.value_or(52), be);
    put16(b, 42, force.e_phentsize.value_or(32), be);
    put16(b, 44, force.e_phnum.value_or(uint16_t(segments.size())), be);
    put16(b, 46, force.e_shentsize.value_or(40), be);
    put16(b, 48, force.e_shnum.value_or(uint16_t(n)), be);
    put16(b, 50, force.e_shstrndx.value_or(uint16_t(shstrndx)), be);

    // Section headers.
    for (uint32_t i = 1; i < n; ++i) {
        const TestSection& s = all[i];
        size_t h = lay.shoff + 40 * size_t(i);
        put32(b, h + 0, s.forceName.value_or(nameOffsets[i]), be);
        put32(b, h + 4, s.type, be);
        put32(b, h + 8, s.flags, be);
        put32(b, h + 12, s.addr, be);
        put32(b, h + 16, s.forceOffset.value_or(lay.sectionOffsets[i]), be);
        put32(b, h + 20, s.forceSize.value_or(lay.sectionSizes[i]), be);
        put32(b, h + 24, s.link, be);
        put32(b, h + 28, s.info, be);
        put32(b, h + 32, s.addralign, be);
        put32(b, h + 36, s.entsize, be);
    }

    // Program headers.
    for (size_t k = 0; k < segments.size(); ++k) {
        Elf32_Phdr p = segments[k].header;
        int32_t first = segments[k].first, last = segments[k].last;
        if (first >= 1 && last >= first && uint32_t(last) < n) {
            p.p_offset = lay.sectionOffsets[first];
            p.p_vaddr = p.p_paddr = all[first].addr;
            uint32_t fileEnd = p.p_offset, memEnd = p.p_vaddr;
            for (int32_t i = first; i <= last; ++i) {
                if (placed[i]) fileEnd = std::max(fileEnd, lay.sectionOffsets[i] + lay.sectionSizes[i]);
                memEnd = std::max(memEnd, all[i].addr + lay.sectionSizes[i]);
            }
            p.p_filesz = fileEnd - p.p_offset;
            p.p_memsz = memEnd - p.p_vaddr;
        }
        size_t h = lay.phoff + 32 * k;
        put32(b, h + 0, p.p_type, be);
        put32(b, h + 4, p.p_offset, be);
        put32(b, h + 8, p.p_vaddr, be);
        put32(b, h + 12, p.p_paddr, be);
        put32(b, h + 16, p.p_filesz, be);
        put32(b, h + 20, p.p_memsz, be);
        put32(b, h + 24, p.p_flags, be);
        put32(b, h + 28, p.p_align, be);
    }

    lastLayout = std::move(lay);
    if (afterBuild) afterBuild(*this, b);
    return b;
}

void ElfBuilder::patch8(std::vector<uint8_t>& bytes, size_t offset, uint8_t value) const {
    if (offset < bytes.size()) bytes[offset] = value;
}
void ElfBuilder::patch16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) const {
    put16(bytes, offset, value, bigEndian);
}
void ElfBuilder::patch32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) const {
    put32(bytes, offset, value, bigEndian);
}
uint32_t ElfBuilder::read32(const std::vector<uint8_t>& bytes, size_t offset) const {
    if (offset + 4 > bytes.size()) return 0;
    return bigEndian ? readBe32(&bytes[offset]) : readLe32(&bytes[offset]);
}
uint16_t ElfBuilder::read16(const std::vector<uint8_t>& bytes, size_t offset) const {
    if (offset + 2 > bytes.size()) return 0;
    return bigEndian ? uint16_t((bytes[offset] << 8) | bytes[offset + 1])
                     : uint16_t(bytes[offset] | (bytes[offset + 1] << 8));
}

std::vector<uint8_t> ElfBuilder::words(const std::vector<uint32_t>& values) const {
    std::vector<uint8_t> out;
    for (uint32_t v : values) append32(out, v, bigEndian);
    return out;
}

std::vector<uint8_t> bigEndianWords(const std::vector<uint32_t>& values) {
    std::vector<uint8_t> out;
    for (uint32_t v : values) append32(out, v, true);
    return out;
}

std::string testTempDir() {
    std::string dir = "/tmp/qdlgen-tests-" + std::to_string(getpid());
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info) {
        std::string leaf = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : leaf)
            if (c == '/') c = '_';
        dir += "/" + leaf;
    }
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    return dir;
}

std::string writeTempFile(const std::vector<uint8_t>& bytes, const std::string& name) {
    std::string path = testTempDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

namespace {
// Removes the temporary files of this test process when every test passed;
// with QDLGEN_KEEP_TEMP set, or after a failure, they are kept for a look.
struct TempDirCleanup : ::testing::Environment {
    void TearDown() override {
        if (getenv("QDLGEN_KEEP_TEMP")) return;
        if (!::testing::UnitTest::GetInstance()->Passed()) return;
        std::error_code ignored;
        std::filesystem::remove_all("/tmp/qdlgen-tests-" + std::to_string(getpid()), ignored);
    }
};
[[maybe_unused]] ::testing::Environment* const tempDirCleanup =
    ::testing::AddGlobalTestEnvironment(new TempDirCleanup);
}  // namespace

BasicInput makeBasicInput(bool bigEndian) {
    BasicInput in;
    ElfBuilder& b = in.builder;
    b.bigEndian = bigEndian;
    b.entry = 0x02000000;
    in.text = b.addSection({.name = ".text",
                            .type = SHT_PROGBITS,
                            .flags = SHF_ALLOC | SHF_EXECINSTR,
                            .addr = 0x02000000,
                            // main: bl helper; blr   helper: li r3,0; blr
                            .data = b.words({0x48000009, 0x4E800020, 0x38600000, 0x4E800020}),
                            .addralign = 4});
    in.data = b.addSection({.name = ".data",
                            .type = SHT_PROGBITS,
                            .flags = SHF_ALLOC | SHF_WRITE,
                            .addr = 0x10000000,
                            .data = b.words({0x02000000, 0, 0, 0}),
                            .addralign = 4});
    in.bss = b.addSection({.name = ".bss",
                           .type = SHT_NOBITS,
                           .flags = SHF_ALLOC | SHF_WRITE,
                           .addr = 0x10000010,
                           .size = 16,
                           .addralign = 4});
    // The relocation sections come before the symbol table, as in linker
    // output with kept relocations; their sh_link is set below.
    in.relaText = b.addRela(in.text, {{.r_offset = 0x02000000, .symbol = 2, .type = R_PPC_REL24}}, 0);
    in.relaData = b.addRela(in.data, {{.r_offset = 0x10000000, .symbol = 1, .type = R_PPC_ADDR32}}, 0);
    in.symtab = b.addSymbolTable({
        {.name = "main", .value = 0x02000000, .size = 8, .info = symbolInfo(STB_GLOBAL, STT_FUNC),
         .shndx = uint16_t(in.text)},
        {.name = "helper", .value = 0x02000008, .size = 8, .info = symbolInfo(STB_GLOBAL, STT_FUNC),
         .shndx = uint16_t(in.text)},
        {.name = "dataWord", .value = 0x10000000, .size = 4, .info = symbolInfo(STB_GLOBAL, STT_OBJECT),
         .shndx = uint16_t(in.data)},
    });
    in.strtab = in.symtab + 1;
    b.section(in.relaText).link = in.symtab;
    b.section(in.relaData).link = in.symtab;
    b.addSegment(PT_LOAD, in.text, in.text, 5);
    b.addSegment(PT_LOAD, in.data, in.bss, 6);
    return in;
}
