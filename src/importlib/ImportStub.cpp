#include "importlib/ImportStub.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "driver/Output.h"
#include "driver/ToolState.h"
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

std::string_view nameOfSection(uint32_t index) {
    const Elf32_Shdr* header = inputSectionHeader(index);
    return header ? sectionName(*header) : std::string_view();
}

void reportShortExportTable(uint32_t index) {
    const std::string_view name = nameOfSection(index);
    printOut("***Error: export section \"%.*s\" (index %u) is too short for its entries. Return -1\n",
             int(name.size()), name.data(), index);
}

// Reads n from the table's first word. The entries are bounded where they
// are read, so that the count comparison of the data exports comes first.
bool loadExportTable(uint32_t index, ExportTable& table) {
    table.index = index;
    if (index == 0) return true;
    const Elf32_Shdr* header = inputSectionHeader(index);
    table.contents = sectionContents(index);
    table.capacity = sectionContentsCapacity(index);
    table.entryBytes = std::min(table.capacity, header ? header->sh_size : 0);
    if (header && table.contents && table.capacity >= 4) {
        table.count = readBe32(table.contents);
        table.sh_addr = header->sh_addr;
        return true;
    }
    reportShortExportTable(index);
    return false;
}

void reportShortRelocations(uint32_t index, uint32_t entries) {
    const std::string_view name = nameOfSection(index);
    printOut("***Error: relocation section \"%.*s\" (index %u) is too short for its %u entries. Return -1\n",
             int(name.size()), name.data(), index, entries);
}

// Entry k must lie inside the table before it is read.
bool holdsEntry(const ExportTable& table, uint32_t k) {
    if (k < table.entriesHeld()) return true;
    reportShortExportTable(table.index);
    return false;
}

// The name of entry k: a NUL-terminated string that must lie inside the table.
bool exportName(const ExportTable& table, uint32_t k, std::string_view& name) {
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
    const std::string_view section = nameOfSection(table.index);
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

}  // namespace

int buildImportStub(uint32_t functionExports, uint32_t dataExports, uint32_t dataExportRelocations,
                    const std::string& moduleName, ImportStub& stub) {
    stub = ImportStub{};
    const ElfImage& input = inputImage();
    if (!input.bytes) return -1;
    const bool little = input.littleEndian();

    ExportTable functions, data;
    if (!loadExportTable(functionExports, functions)) return -1;
    if (!loadExportTable(dataExports, data)) return -1;
    const bool hasFunctions = functionExports != 0;
    const bool hasData = dataExports != 0;
    const uint32_t nf = functions.count;
    const uint32_t nd = data.count;

    // The data exports' relocations, one per entry in entry order.
    const uint8_t* relocations = nullptr;
    uint32_t relocationCapacity = 0;
    if (dataExportRelocations != 0) {
        const Elf32_Shdr* header = inputSectionHeader(dataExportRelocations);
        const uint32_t size = header ? header->sh_size : 0;
        const uint32_t entrySize = header && header->sh_entsize ? header->sh_entsize : kRelaStride;
        const uint32_t count = size / entrySize;
        if (count != nd) {
            printOut("***Error: numDataExports (%d) != numRelaDataExports (%d). Return -1\n", int(nd), int(count));
            return -1;
        }
        relocations = sectionContents(dataExportRelocations);
        relocationCapacity = relocations ? sectionContentsCapacity(dataExportRelocations) : 0;
    }

    const uint16_t functionSection = 1;
    const uint16_t dataSection = hasFunctions ? 2 : 1;

    // The symbols and their names, in symbol order.
    std::string strings(1, '\0');
    std::vector<StubSymbol> symbols(1);
    symbols.reserve(size_t(1) + std::min(nf, functions.entriesHeld()) + std::min(nd, data.entriesHeld()));
    for (uint32_t k = 0; k < nf; ++k) {
        std::string_view name;
        if (!holdsEntry(functions, k) || !exportName(functions, k, name)) return -1;
        symbols.push_back({uint32_t(strings.size()), kExportHeaderSize + kExportEntrySize * k, kInfoFunction,
                           functionSection});
        appendName(strings, name);
    }
    for (uint32_t k = 0; k < nd; ++k) {
        std::string_view name;
        if (!holdsEntry(data, k) || !exportName(data, k, name)) return -1;
        uint8_t info = kInfoObject;
        if (dataExportRelocations != 0) {
            if (!relocations || uint64_t(kRelaStride) * (k + 1) > relocationCapacity) {
                reportShortRelocations(dataExportRelocations, nd);
                return -1;
            }
            Elf32_Rela rela;
            memcpy(&rela, relocations + uint64_t(kRelaStride) * k, sizeof rela);
            if (rela.r_offset - data.sh_addr != kExportHeaderSize + kExportEntrySize * k) {
                printOut("***Error: mismatched relocations and .dexports section. Return -1\n");
                return -1;
            }
            if (relocationType(rela.r_info) == R_PPC_DTPREL32) {
                if (!(exportFlags(data, k) & kTlsFlag)) {
                    const std::string nameText(name);
                    printOut("***Error: Export symbol \"%s\" is unexpectedly a TLS symbol. Clobber and rebuild with "
                             "current qdlscan[32|64]. Return -1.\n",
                             nameText.c_str());
                    return -1;
                }
                info = kInfoTls;
            }
        }
        symbols.push_back({uint32_t(strings.size()), kExportHeaderSize + kExportEntrySize * k, info, dataSection});
        appendName(strings, name);
    }

    // The import tables copy the export tables' header words.
    for (const ExportTable* table : {&functions, &data})
        if (table->index != 0 && table->capacity < kExportHeaderSize) {
            reportShortExportTable(table->index);
            return -1;
        }

    // Layout.
    const uint64_t L = moduleName.size();
    const uint32_t N = 4 + (hasFunctions ? 1 : 0) + (hasData ? 1 : 0);
    std::vector<StubSectionHeader> headers(N);
    std::string sectionNames(1, '\0');
    auto importSize = [&](uint32_t n) { return std::max<uint64_t>(8 * uint64_t(n) + 8, L + 9); };
    uint32_t next = 1;
    auto addImportSection = [&](char kind, uint32_t flags, uint32_t count) {
        StubSectionHeader& h = headers[next++];
        h.sh_name = uint32_t(sectionNames.size());
        h.sh_type = SHT_IMPORT_TABLE;
        h.sh_flags = flags;
        h.sh_size = uint32_t(importSize(count));
        h.sh_info = uint32_t(L);
        h.sh_addralign = 4;
        sectionNames += ".?import_" + moduleName;
        sectionNames[h.sh_name + 1] = kind;
        sectionNames.push_back('\0');
    };
    if (hasFunctions) addImportSection('f', SHF_ALLOC | SHF_EXECINSTR, nf);
    if (hasData) addImportSection('d', SHF_WRITE | SHF_ALLOC, nd);
    const uint32_t symtabIndex = next;
    {
        StubSectionHeader& h = headers[next++];
        h.sh_name = uint32_t(sectionNames.size());
        sectionNames += std::string_view(".symtab\0", 8);
        h.sh_type = SHT_SYMTAB;
        h.sh_size = uint32_t(16 * uint64_t(symbols.size()));
        h.sh_link = N - 2;
        h.sh_info = 1;
        h.sh_addralign = 16;
        h.sh_entsize = 16;
    }
    const uint32_t strtabIndex = next;
    {
        StubSectionHeader& h = headers[next++];
        h.sh_name = uint32_t(sectionNames.size());
        sectionNames += std::string_view(".strtab\0", 8);
        h.sh_type = SHT_STRTAB;
        h.sh_size = uint32_t(strings.size());
        h.sh_addralign = 1;
    }
    const uint32_t secstrtabIndex = next;
    {
        StubSectionHeader& h = headers[next++];
        h.sh_name = uint32_t(sectionNames.size());
        sectionNames += std::string_view(".secstrtab\0", 11);
        h.sh_type = SHT_STRTAB;
        h.sh_size = uint32_t(sectionNames.size());
        h.sh_addralign = 1;
    }

    // The sizes are bounded by the input file, but their sum may still be
    // too large for an archive member.
    const uint64_t importBytes = (hasFunctions ? importSize(nf) : 0) + (hasData ? importSize(nd) : 0);
    const uint64_t roughTotal =
        importBytes + 16 * uint64_t(symbols.size()) + strings.size() + sectionNames.size() + 40 * uint64_t(N) + 64 * 8;
    if (roughTotal > 0x7FFFFFFF) {
        printOut("***Error: Out of memory. Return -1\n");
        return -1;
    }
    uint64_t offset = kFirstSectionOffset;
    for (uint32_t i = 1; i < N; ++i) {
        headers[i].sh_offset = offset;
        offset = align64(offset + headers[i].sh_size);
    }
    const uint64_t shoff = offset;
    const uint64_t total = align64(shoff + 40 * uint64_t(N));

    stub.image.assign(size_t(total), 0);
    stub.littleEndian = little;
    stub.sectionCount = N;
    stub.shoff = uint32_t(shoff);
    stub.sections.resize(N);
    const StubWriter w{stub.image.data(), little};

    // ELF header.
    uint8_t* image = stub.image.data();
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
    w.put32(32, uint32_t(shoff));
    w.put16(40, 52);
    w.put16(42, 32);
    w.put16(46, 40);
    w.put16(48, uint16_t(N));
    w.put16(50, uint16_t(N - 1));

    // Section headers and the record of what the writer writes.
    for (uint32_t i = 1; i < N; ++i) {
        const StubSectionHeader& h = headers[i];
        const uint64_t at = shoff + 40 * uint64_t(i);
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

    // Import table sections: the export table's header words as they stand,
    // then the module name; the rest stays zero.
    auto fillImportSection = [&](uint32_t index, const ExportTable& table) {
        uint8_t* at = image + headers[index].sh_offset;
        memcpy(at, table.contents, kExportHeaderSize);
        memcpy(at + kExportHeaderSize, moduleName.data(), size_t(L));
        stub.sections[index].writtenLength = uint32_t(kExportHeaderSize + L);
    };
    if (hasFunctions) fillImportSection(functionSection, functions);
    if (hasData) fillImportSection(dataSection, data);

    const uint64_t symtabAt = headers[symtabIndex].sh_offset;
    for (size_t k = 1; k < symbols.size(); ++k) {
        const StubSymbol& s = symbols[k];
        const uint64_t at = symtabAt + 16 * uint64_t(k);
        w.put32(at + 0, s.st_name);
        w.put32(at + 4, s.st_value);
        image[at + 12] = s.st_info;
        w.put16(at + 14, s.st_shndx);
    }
    memcpy(image + headers[strtabIndex].sh_offset, strings.data(), strings.size());
    memcpy(image + headers[secstrtabIndex].sh_offset, sectionNames.data(), sectionNames.size());
    return 0;
}
