#include "importlib/ImportStub.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/Output.h"
#include "importlib/ImportLibState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

constexpr uint32_t kExportHeaderSize = 8;
constexpr uint32_t kExportEntrySize = 8;
constexpr uint32_t kRelaStride = 12;
constexpr uint32_t kNameOffsetMask = 0x7FFFFFFF;
constexpr uint32_t kTlsFlag = 0x80000000;
constexpr uint32_t kFirstSectionOffset = 64;
constexpr uint8_t kInfoFunction = 0x12;  // STB_GLOBAL, STT_FUNC
constexpr uint8_t kInfoObject = 0x11;    // STB_GLOBAL, STT_OBJECT
constexpr uint8_t kInfoTls = 0x16;       // STB_GLOBAL, STT_TLS

uint64_t align64(uint64_t value) { return (value + 63) & ~uint64_t(63); }

// One export table of the input, as far as the stub reads it.
struct ExportTable {
    uint32_t index = 0;
    const uint8_t* contents = nullptr;
    uint32_t capacity = 0;    // bytes of the contents that exist
    uint32_t entryBytes = 0;  // of those, the bytes within sh_size
    uint32_t count = 0;       // n
    uint32_t sh_addr = 0;

    // How many of the n entries the contents hold.
    uint32_t entriesHeld() const {
        return entryBytes < kExportHeaderSize ? 0 : (entryBytes - kExportHeaderSize) / kExportEntrySize;
    }
};

struct StubSymbol {
    uint32_t st_name = 0;
    uint32_t st_value = 0;
    uint8_t st_info = 0;
    uint16_t st_shndx = 0;
};

std::string_view nameOfSection(SymbolContext& ctx, uint32_t index) {
    const Elf32_Shdr* header = inputSectionHeader(ctx, index);
    return header ? sectionName(ctx, *header) : std::string_view();
}

void reportShortExportTable(SymbolContext& ctx, uint32_t index) {
    const std::string_view name = nameOfSection(ctx, index);
    printOut("***Error: export section \"%.*s\" (index %u) is too short for its entries. Return -1\n",
             int(name.size()), name.data(), index);
}

// Reads n from the table's first word. The entries are bounded where they
// are read, so that the count comparison of the data exports comes first.
bool loadExportTable(SymbolContext& ctx, uint32_t index, ExportTable& table) {
    table.index = index;
    if (index == 0) return true;
    const Elf32_Shdr* header = inputSectionHeader(ctx, index);
    table.contents = sectionContents(ctx, index);
    table.capacity = sectionContentsCapacity(ctx, index);
    table.entryBytes = std::min(table.capacity, header ? header->sh_size : 0);
    if (header && table.contents && table.capacity >= 4) {
        table.count = readBe32(table.contents);
        table.sh_addr = header->sh_addr;
        return true;
    }
    reportShortExportTable(ctx, index);
    return false;
}

void reportShortRelocations(SymbolContext& ctx, uint32_t index, uint32_t entries) {
    const std::string_view name = nameOfSection(ctx, index);
    printOut("***Error: relocation section \"%.*s\" (index %u) is too short for its %u entries. Return -1\n",
             int(name.size()), name.data(), index, entries);
}

// Entry k must lie inside the table before it is read.
bool holdsEntry(SymbolContext& ctx, const ExportTable& table, uint32_t k) {
    if (k < table.entriesHeld()) return true;
    reportShortExportTable(ctx, table.index);
    return false;
}

// The name of entry k: a NUL-terminated string that must lie inside the table.
bool exportName(SymbolContext& ctx, const ExportTable& table, uint32_t k, std::string_view& name) {
    const uint32_t word = readBe32(table.contents + kExportHeaderSize + uint64_t(kExportEntrySize) * k + 4);
    const uint32_t offset = word & kNameOffsetMask;
    if (offset < table.capacity) {
        const void* end = memchr(table.contents + offset, 0, table.capacity - offset);
        if (end) {
            name = std::string_view(reinterpret_cast<const char*>(table.contents + offset),
                                    size_t(static_cast<const uint8_t*>(end) - (table.contents + offset)));
            return true;
        }
    }
    const std::string_view section = nameOfSection(ctx, table.index);
    printOut("***Error: name of export %u in section \"%.*s\" (index %u) lies outside the section. Return -1\n", k,
             int(section.size()), section.data(), table.index);
    return false;
}

uint32_t exportFlags(const ExportTable& table, uint32_t k) {
    return readBe32(table.contents + kExportHeaderSize + uint64_t(kExportEntrySize) * k + 4);
}

void appendName(std::string& strings, std::string_view name) {
    strings.append(name);
    strings.push_back('\0');
}

// Writes in the stub's byte order.
struct StubWriter {
    uint8_t* base;
    bool little;
    void put32(uint64_t at, uint32_t v) const { writeWord(base + at, v, little); }
    void put16(uint64_t at, uint16_t v) const {
        if (little) {
            base[at] = uint8_t(v);
            base[at + 1] = uint8_t(v >> 8);
        } else {
            writeBe16(base + at, v);
        }
    }
};

struct StubSectionHeader {
    uint32_t sh_name = 0, sh_type = 0, sh_flags = 0, sh_size = 0, sh_link = 0, sh_info = 0, sh_addralign = 0,
             sh_entsize = 0;
    uint64_t sh_offset = 0;
};

// The relocation section of the data exports, one entry per export in entry
// order; index 0 when the input has none.
struct DataExportRelocations {
    uint32_t index = 0;
    const uint8_t* bytes = nullptr;
    uint32_t capacity = 0;
};

// The section must hold as many entries as the data export table has.
bool loadDataExportRelocations(SymbolContext& ctx, uint32_t index, uint32_t dataCount,
                               DataExportRelocations& relocations) {
    relocations.index = index;
    if (index == 0) return true;
    const Elf32_Shdr* header = inputSectionHeader(ctx, index);
    const uint32_t size = header ? header->sh_size : 0;
    const uint32_t entrySize = header && header->sh_entsize ? header->sh_entsize : kRelaStride;
    const uint32_t count = size / entrySize;
    if (count != dataCount) {
        printOut("***Error: numDataExports (%d) != numRelaDataExports (%d). Return -1\n", int(dataCount),
                 int(count));
        return false;
    }
    relocations.bytes = sectionContents(ctx, index);
    relocations.capacity = relocations.bytes ? sectionContentsCapacity(ctx, index) : 0;
    return true;
}

// The stub's symbols and their names, in symbol order.
struct StubSymbols {
    std::string strings = std::string(1, '\0');
    std::vector<StubSymbol> symbols = std::vector<StubSymbol>(1);

    void add(std::string_view name, uint32_t value, uint8_t info, uint16_t section) {
        symbols.push_back({uint32_t(strings.size()), value, info, section});
        appendName(strings, name);
    }
};

uint32_t entryValue(uint32_t k) { return kExportHeaderSize + kExportEntrySize * k; }

// The symbol kind of data export k: its relocation must patch entry k, and a
// TLS relocation needs the entry's TLS flag.
bool dataExportInfo(SymbolContext& ctx, const ExportTable& data, const DataExportRelocations& relocations,
                    uint32_t k, std::string_view name, uint8_t& info) {
    info = kInfoObject;
    if (relocations.index == 0) return true;
    if (!relocations.bytes || uint64_t(kRelaStride) * (k + 1) > relocations.capacity) {
        reportShortRelocations(ctx, relocations.index, data.count);
        return false;
    }
    Elf32_Rela rela;
    memcpy(&rela, relocations.bytes + uint64_t(kRelaStride) * k, sizeof rela);
    if (rela.r_offset - data.sh_addr != entryValue(k)) {
        printOut("***Error: mismatched relocations and .dexports section. Return -1\n");
        return false;
    }
    if (relocationType(rela.r_info) != R_PPC_DTPREL32) return true;
    if (!(exportFlags(data, k) & kTlsFlag)) {
        const std::string nameText(name);
        printOut("***Error: Export symbol \"%s\" is unexpectedly a TLS symbol. Clobber and rebuild with "
                 "current qdlscan[32|64]. Return -1.\n",
                 nameText.c_str());
        return false;
    }
    info = kInfoTls;
    return true;
}

// Every function export, then every data export, becomes a symbol.
bool collectStubSymbols(SymbolContext& ctx, const ExportTable& functions, const ExportTable& data,
                        const DataExportRelocations& relocations, uint16_t functionSection, uint16_t dataSection,
                        StubSymbols& out) {
    out.symbols.reserve(size_t(1) + std::min(functions.count, functions.entriesHeld()) +
                        std::min(data.count, data.entriesHeld()));
    for (uint32_t k = 0; k < functions.count; ++k) {
        std::string_view name;
        if (!holdsEntry(ctx, functions, k) || !exportName(ctx, functions, k, name)) return false;
        out.add(name, entryValue(k), kInfoFunction, functionSection);
    }
    for (uint32_t k = 0; k < data.count; ++k) {
        std::string_view name;
        if (!holdsEntry(ctx, data, k) || !exportName(ctx, data, k, name)) return false;
        uint8_t info = kInfoObject;
        if (!dataExportInfo(ctx, data, relocations, k, name, info)) return false;
        out.add(name, entryValue(k), info, dataSection);
    }
    return true;
}

// The stub's sections: the import tables, then .symtab, .strtab and
// .secstrtab, each on a 64-byte boundary after the ELF header, then the
// section header table.
struct StubLayout {
    uint32_t count = 0;
    std::vector<StubSectionHeader> headers;
    std::string sectionNames = std::string(1, '\0');
    uint32_t symtabIndex = 0, strtabIndex = 0, secstrtabIndex = 0;
    uint64_t shoff = 0, total = 0;
};

uint64_t importTableSize(uint32_t entries, uint64_t moduleNameLength) {
    return std::max<uint64_t>(8 * uint64_t(entries) + 8, moduleNameLength + 9);
}

StubSectionHeader& nextHeader(StubLayout& layout, uint32_t& next, std::string_view name) {
    StubSectionHeader& h = layout.headers[next++];
    h.sh_name = uint32_t(layout.sectionNames.size());
    layout.sectionNames += name;
    return h;
}

void addImportSection(StubLayout& layout, uint32_t& next, const std::string& moduleName, char kind,
                      uint32_t flags, uint32_t entries) {
    StubSectionHeader& h = nextHeader(layout, next, ".?import_" + moduleName);
    h.sh_type = SHT_IMPORT_TABLE;
    h.sh_flags = flags;
    h.sh_size = uint32_t(importTableSize(entries, moduleName.size()));
    h.sh_info = uint32_t(moduleName.size());
    h.sh_addralign = 4;
    layout.sectionNames[h.sh_name + 1] = kind;
    layout.sectionNames.push_back('\0');
}

void layOutSections(StubLayout& layout, const ExportTable& functions, const ExportTable& data,
                    const std::string& moduleName, const StubSymbols& symbols) {
    const bool hasFunctions = functions.index != 0;
    const bool hasData = data.index != 0;
    const uint32_t N = 4 + (hasFunctions ? 1 : 0) + (hasData ? 1 : 0);
    layout.count = N;
    layout.headers.resize(N);
    uint32_t next = 1;
    if (hasFunctions) addImportSection(layout, next, moduleName, 'f', SHF_ALLOC | SHF_EXECINSTR, functions.count);
    if (hasData) addImportSection(layout, next, moduleName, 'd', SHF_WRITE | SHF_ALLOC, data.count);

    layout.symtabIndex = next;
    StubSectionHeader& symtab = nextHeader(layout, next, std::string_view(".symtab\0", 8));
    symtab.sh_type = SHT_SYMTAB;
    symtab.sh_size = uint32_t(16 * uint64_t(symbols.symbols.size()));
    symtab.sh_link = N - 2;
    symtab.sh_info = 1;
    symtab.sh_addralign = 16;
    symtab.sh_entsize = 16;

    layout.strtabIndex = next;
    StubSectionHeader& strtab = nextHeader(layout, next, std::string_view(".strtab\0", 8));
    strtab.sh_type = SHT_STRTAB;
    strtab.sh_size = uint32_t(symbols.strings.size());
    strtab.sh_addralign = 1;

    layout.secstrtabIndex = next;
    StubSectionHeader& secstrtab = nextHeader(layout, next, std::string_view(".secstrtab\0", 11));
    secstrtab.sh_type = SHT_STRTAB;
    secstrtab.sh_size = uint32_t(layout.sectionNames.size());
    secstrtab.sh_addralign = 1;
}

// The sizes are bounded by the input file, but their sum may still be too
// large for an archive member.
bool placeSections(StubLayout& layout, const ExportTable& functions, const ExportTable& data,
                   uint64_t moduleNameLength, const StubSymbols& symbols) {
    const uint64_t importBytes = (functions.index != 0 ? importTableSize(functions.count, moduleNameLength) : 0) +
                                 (data.index != 0 ? importTableSize(data.count, moduleNameLength) : 0);
    const uint64_t roughTotal = importBytes + 16 * uint64_t(symbols.symbols.size()) + symbols.strings.size() +
                                layout.sectionNames.size() + 40 * uint64_t(layout.count) + 64 * 8;
    if (roughTotal > 0x7FFFFFFF) {
        printOut("***Error: Out of memory. Return -1\n");
        return false;
    }
    uint64_t offset = kFirstSectionOffset;
    for (uint32_t i = 1; i < layout.count; ++i) {
        layout.headers[i].sh_offset = offset;
        offset = align64(offset + layout.headers[i].sh_size);
    }
    layout.shoff = offset;
    layout.total = align64(layout.shoff + 40 * uint64_t(layout.count));
    return true;
}

void writeElfHeader(const StubWriter& w, const ElfImage& input, const StubLayout& layout) {
    uint8_t* image = w.base;
    image[0] = 0x7F;
    image[1] = 'E';
    image[2] = 'L';
    image[3] = 'F';
    image[EI_CLASS] = ELFCLASS32;
    image[EI_DATA] = input.bytes[EI_DATA];
    image[EI_VERSION] = 1;
    w.put16(16, ET_REL);
    w.put16(18, input.header().e_machine);
    w.put32(20, 1);
    w.put32(32, uint32_t(layout.shoff));
    w.put16(40, 52);
    w.put16(42, 32);
    w.put16(46, 40);
    w.put16(48, uint16_t(layout.count));
    w.put16(50, uint16_t(layout.count - 1));
}

// Writes the section headers and records for the archive writer how much of
// each section holds data.
void writeSectionHeaders(const StubWriter& w, const StubLayout& layout, ImportStub& stub) {
    for (uint32_t i = 1; i < layout.count; ++i) {
        const StubSectionHeader& h = layout.headers[i];
        const uint64_t at = layout.shoff + 40 * uint64_t(i);
        w.put32(at + 0, h.sh_name);
        w.put32(at + 4, h.sh_type);
        w.put32(at + 8, h.sh_flags);
        w.put32(at + 16, uint32_t(h.sh_offset));
        w.put32(at + 20, h.sh_size);
        w.put32(at + 24, h.sh_link);
        w.put32(at + 28, h.sh_info);
        w.put32(at + 32, h.sh_addralign);
        w.put32(at + 36, h.sh_entsize);
        stub.sections[i] = {uint32_t(h.sh_offset), h.sh_size, h.sh_size};
    }
}

// An import table holds the export table's header words as they stand, then
// the module name; the rest stays zero.
void writeImportSection(const StubLayout& layout, uint32_t index, const ExportTable& table,
                        const std::string& moduleName, ImportStub& stub) {
    uint8_t* at = stub.image.data() + layout.headers[index].sh_offset;
    memcpy(at, table.contents, kExportHeaderSize);
    memcpy(at + kExportHeaderSize, moduleName.data(), moduleName.size());
    stub.sections[index].writtenLength = uint32_t(kExportHeaderSize + uint64_t(moduleName.size()));
}

void writeSymbolTables(const StubWriter& w, const StubLayout& layout, const StubSymbols& symbols) {
    const uint64_t symtabAt = layout.headers[layout.symtabIndex].sh_offset;
    for (size_t k = 1; k < symbols.symbols.size(); ++k) {
        const StubSymbol& s = symbols.symbols[k];
        const uint64_t at = symtabAt + 16 * uint64_t(k);
        w.put32(at + 0, s.st_name);
        w.put32(at + 4, s.st_value);
        w.base[at + 12] = s.st_info;
        w.put16(at + 14, s.st_shndx);
    }
    memcpy(w.base + layout.headers[layout.strtabIndex].sh_offset, symbols.strings.data(), symbols.strings.size());
    memcpy(w.base + layout.headers[layout.secstrtabIndex].sh_offset, layout.sectionNames.data(),
           layout.sectionNames.size());
}

}  // namespace

int buildImportStub(SymbolContext& ctx, uint32_t functionExports, uint32_t dataExports, uint32_t dataExportRelocations,
                    const std::string& moduleName, ImportStub& stub) {
    stub = ImportStub{};
    const ElfImage& input = ctx.input.image;
    if (!input.bytes) return -1;

    ExportTable functions, data;
    if (!loadExportTable(ctx, functionExports, functions)) return -1;
    if (!loadExportTable(ctx, dataExports, data)) return -1;
    DataExportRelocations relocations;
    if (!loadDataExportRelocations(ctx, dataExportRelocations, data.count, relocations)) return -1;

    const uint16_t functionSection = 1;
    const uint16_t dataSection = functionExports != 0 ? 2 : 1;
    StubSymbols symbols;
    if (!collectStubSymbols(ctx, functions, data, relocations, functionSection, dataSection, symbols)) return -1;

    // The import tables copy the export tables' header words.
    for (const ExportTable* table : {&functions, &data})
        if (table->index != 0 && table->capacity < kExportHeaderSize) {
            reportShortExportTable(ctx, table->index);
            return -1;
        }

    StubLayout layout;
    layOutSections(layout, functions, data, moduleName, symbols);
    if (!placeSections(layout, functions, data, moduleName.size(), symbols)) return -1;

    stub.image.assign(size_t(layout.total), 0);
    stub.littleEndian = input.littleEndian();
    stub.sectionCount = layout.count;
    stub.shoff = uint32_t(layout.shoff);
    stub.sections.resize(layout.count);
    const StubWriter w{stub.image.data(), stub.littleEndian};
    writeElfHeader(w, input, layout);
    writeSectionHeaders(w, layout, stub);
    if (functionExports != 0) writeImportSection(layout, functionSection, functions, moduleName, stub);
    if (dataExports != 0) writeImportSection(layout, dataSection, data, moduleName, stub);
    writeSymbolTables(w, layout, symbols);
    return 0;
}
