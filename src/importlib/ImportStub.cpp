#include "importlib/ImportStub.h"

#include <cstring>

#include "driver/Output.h"
#include "driver/ToolState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

// One export table of the input, with its entries bounded by its contents.
struct ExportTable {
    uint32_t index = 0;
    const uint8_t* contents = nullptr;
    uint32_t readable = 0;
    uint32_t count = 0;
};

bool openExportTable(uint32_t index, ExportTable& table) {
    table.index = index;
    if (index == 0) return true;
    table.contents = sectionContents(index);
    const Elf32_Shdr* header = inputSectionHeader(index);
    table.readable = table.contents ? sectionContentsCapacity(index) : 0;
    if (header && header->sh_type == SHT_NOBITS) table.readable = 0;
    table.count = table.readable >= 4 ? readBe32(table.contents) : 0;
    if (table.readable < 8 || uint64_t(table.count) * 8 + 8 > table.readable) {
        std::string_view name = sectionNameAt(index);
        printOut("***Error: Export table section %d \"%.*s\" is too short for its %u entries. Return -1.\n", index,
                 int(name.size()), name.data(), table.count);
        return false;
    }
    return true;
}

uint32_t entryNameWord(const ExportTable& table, uint32_t k) { return readBe32(table.contents + 12 + size_t(k) * 8); }

// The name of export k: NUL-terminated inside its table.
bool exportName(const ExportTable& table, uint32_t k, std::string_view& name) {
    const uint32_t offset = entryNameWord(table, k) & 0x7FFFFFFF;
    const void* end = offset < table.readable ? memchr(table.contents + offset, 0, table.readable - offset) : nullptr;
    if (!end) {
        std::string_view section = sectionNameAt(table.index);
        printOut("***Error: Export %u of section %d \"%.*s\" has a name outside its table. Return -1.\n", k, table.index,
                 int(section.size()), section.data());
        return false;
    }
    name = std::string_view(reinterpret_cast<const char*>(table.contents + offset),
                            static_cast<const uint8_t*>(end) - (table.contents + offset));
    return true;
}

// Writes the stub's multi-byte fields in the input's byte order.
struct StubWriter {
    std::vector<uint8_t>& image;
    bool littleEndian;

    void put16(size_t at, uint16_t v) {
        if (littleEndian) {
            image[at] = uint8_t(v);
            image[at + 1] = uint8_t(v >> 8);
        } else {
            writeBe16(&image[at], v);
        }
    }
    void put32(size_t at, uint32_t v) { writeWord(&image[at], v, littleEndian); }
    void putBytes(size_t at, std::string_view bytes) { memcpy(&image[at], bytes.data(), bytes.size()); }

    void putSectionHeader(size_t at, const Elf32_Shdr& s) {
        const uint32_t fields[] = {s.sh_name, s.sh_type, s.sh_flags, s.sh_addr, s.sh_offset,
                                   s.sh_size, s.sh_link, s.sh_info, s.sh_addralign, s.sh_entsize};
        for (size_t k = 0; k < 10; ++k) put32(at + 4 * k, fields[k]);
    }
    void putSymbol(size_t at, uint32_t name, uint32_t value, uint8_t info, uint16_t shndx) {
        put32(at, name);
        put32(at + 4, value);
        put32(at + 8, 0);
        image[at + 12] = info;
        image[at + 13] = 0;
        put16(at + 14, shndx);
    }
};

struct StubSymbol {
    std::string_view name;
    uint32_t value = 0;
    uint8_t info = 0;
    uint16_t shndx = 0;
};

// The data exports' symbol types, from their relocations. False after an error.
bool dataExportTypes(const ExportTable& data, uint32_t relocationIndex, std::vector<uint8_t>& types) {
    types.assign(data.count, 0x11);
    if (relocationIndex == 0) return true;
    const Elf32_Shdr& relocations = *inputSectionHeader(relocationIndex);
    const uint32_t entrySize = relocations.sh_entsize ? relocations.sh_entsize : 12;
    const uint32_t count = relocations.sh_size / entrySize;
    if (count != data.count) {
        printOut("***Error: numDataExports (%d) != numRelaDataExports (%d). Return -1\n", data.count, count);
        return false;
    }
    const uint8_t* entries = sectionContents(relocationIndex);
    const uint32_t readable = entries ? sectionContentsCapacity(relocationIndex) / 12 : 0;
    const uint32_t tableAddress = inputSectionHeader(data.index)->sh_addr;
    for (uint32_t k = 0; k < data.count; ++k) {
        Elf32_Rela entry{};
        if (k < readable) memcpy(&entry, entries + size_t(k) * 12, sizeof entry);
        if (k >= readable || entry.r_offset - tableAddress != 8 + 8 * k) {
            printOut("***Error: mismatched relocations and .dexports section. Return -1\n");
            return false;
        }
        if (relocationType(entry.r_info) != R_PPC_DTPREL32) continue;
        if (entryNameWord(data, k) & 0x80000000) {
            types[k] = 0x16;
            continue;
        }
        std::string_view name;
        if (!exportName(data, k, name)) return false;
        printOut("***Error: Export symbol \"%.*s\" is unexpectedly a TLS symbol. Clobber and rebuild with current "
                 "qdlscan[32|64]. Return -1.\n",
                 int(name.size()), name.data());
        return false;
    }
    return true;
}

}  // namespace

int buildImportStub(uint32_t functionExports, uint32_t dataExports, uint32_t dataExportRelocations,
                    const std::string& moduleName, ImportStub& stub) {
    ExportTable functions;
    ExportTable data;
    if (!openExportTable(functionExports, functions) || !openExportTable(dataExports, data)) return -1;

    std::vector<uint8_t> dataTypes;
    if (dataExports && !dataExportTypes(data, dataExportRelocations, dataTypes)) return -1;

    // The symbols, function exports first.
    const uint16_t functionSection = 1;
    const uint16_t dataSection = functionExports ? 2 : 1;
    std::vector<StubSymbol> symbols;
    for (uint32_t k = 0; k < functions.count; ++k) {
        StubSymbol symbol;
        if (!exportName(functions, k, symbol.name)) return -1;
        symbol.value = 8 + 8 * k;
        symbol.info = 0x12;
        symbol.shndx = functionSection;
        symbols.push_back(symbol);
    }
    for (uint32_t k = 0; k < data.count; ++k) {
        StubSymbol symbol;
        if (!exportName(data, k, symbol.name)) return -1;
        symbol.value = 8 + 8 * k;
        symbol.info = dataTypes[k];
        symbol.shndx = dataSection;
        symbols.push_back(symbol);
    }

    // The layout.
    const uint32_t moduleNameLength = uint32_t(moduleName.size());
    struct Piece {
        std::string name;
        Elf32_Shdr header{};
        const ExportTable* table = nullptr;
    };
    std::vector<Piece> pieces(1);
    auto importSection = [&](char kind, const ExportTable& table, uint32_t flags) {
        Piece piece;
        piece.name = std::string(".?import_") + moduleName;
        piece.name[1] = kind;
        piece.header.sh_type = SHT_IMPORT_TABLE;
        piece.header.sh_flags = flags;
        const uint64_t slots = uint64_t(table.count) * 8 + 8;
        const uint64_t named = uint64_t(moduleNameLength) + 9;
        piece.header.sh_size = uint32_t(slots > named ? slots : named);
        piece.header.sh_info = moduleNameLength;
        piece.header.sh_addralign = 4;
        piece.table = &table;
        pieces.push_back(piece);
    };
    if (functionExports) importSection('f', functions, SHF_ALLOC | SHF_EXECINSTR);
    if (dataExports) importSection('d', data, SHF_WRITE | SHF_ALLOC);
    const uint32_t n = uint32_t(pieces.size()) + 3;

    uint64_t stringsSize = 1;
    for (const StubSymbol& symbol : symbols) stringsSize += symbol.name.size() + 1;
    Piece symtab;
    symtab.name = ".symtab";
    symtab.header.sh_type = SHT_SYMTAB;
    symtab.header.sh_size = 16 * (1 + uint32_t(symbols.size()));
    symtab.header.sh_link = n - 2;
    symtab.header.sh_info = 1;
    symtab.header.sh_addralign = 16;
    symtab.header.sh_entsize = 16;
    pieces.push_back(symtab);
    Piece strtab;
    strtab.name = ".strtab";
    strtab.header.sh_type = SHT_STRTAB;
    strtab.header.sh_size = uint32_t(stringsSize);
    strtab.header.sh_addralign = 1;
    pieces.push_back(strtab);
    Piece secstrtab;
    secstrtab.name = ".secstrtab";
    secstrtab.header.sh_type = SHT_STRTAB;
    secstrtab.header.sh_addralign = 1;
    pieces.push_back(secstrtab);

    std::string sectionNames(1, '\0');
    for (uint32_t i = 1; i < n; ++i) {
        pieces[i].header.sh_name = uint32_t(sectionNames.size());
        sectionNames += pieces[i].name;
        sectionNames += '\0';
    }
    pieces[n - 1].header.sh_size = uint32_t(sectionNames.size());

    uint64_t offset = 64;
    for (uint32_t i = 1; i < n; ++i) {
        pieces[i].header.sh_offset = uint32_t(offset);
        offset = (offset + pieces[i].header.sh_size + 63) & ~uint64_t(63);
    }
    const uint64_t sectionHeaders = offset;
    const uint64_t total = (sectionHeaders + 40 * n + 63) & ~uint64_t(63);
    if (total > 0x7FFFFFFF) {
        printOut("***Error: Out of memory. Return -1\n");
        return -1;
    }

    // The bytes.
    stub.image.assign(size_t(total), 0);
    const bool littleEndian = inputImage().littleEndian();
    StubWriter out{stub.image, littleEndian};
    const Elf32_Ehdr& input = inputImage().header();
    memcpy(&stub.image[0], "\x7F" "ELF", 4);
    stub.image[EI_CLASS] = ELFCLASS32;
    stub.image[EI_DATA] = inputImage().bytes[EI_DATA];
    stub.image[EI_VERSION] = 1;
    out.put16(16, ET_REL);
    out.put16(18, input.e_machine);
    out.put32(20, 1);
    out.put32(32, uint32_t(sectionHeaders));
    out.put16(40, 52);
    out.put16(42, 32);
    out.put16(46, 40);
    out.put16(48, uint16_t(n));
    out.put16(50, uint16_t(n - 1));

    for (uint32_t i = 1; i < n; ++i) {
        const Piece& piece = pieces[i];
        const size_t at = piece.header.sh_offset;
        if (piece.table) {
            memcpy(&stub.image[at], piece.table->contents, 8);
            out.putBytes(at + 8, moduleName);
        }
        out.putSectionHeader(size_t(sectionHeaders) + 40 * size_t(i), piece.header);
    }
    const size_t symbolsAt = pieces[n - 3].header.sh_offset;
    const size_t stringsAt = pieces[n - 2].header.sh_offset;
    uint32_t stringPosition = 1;
    for (size_t k = 0; k < symbols.size(); ++k) {
        const StubSymbol& symbol = symbols[k];
        out.putSymbol(symbolsAt + 16 * (k + 1), stringPosition, symbol.value, symbol.info, symbol.shndx);
        out.putBytes(stringsAt + stringPosition, symbol.name);
        stringPosition += uint32_t(symbol.name.size()) + 1;
    }
    out.putBytes(pieces[n - 1].header.sh_offset, sectionNames);
    return 0;
}
