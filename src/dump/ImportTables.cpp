#include "dump/ImportTables.h"

#include <zlib.h>

#include <cstring>

namespace {

std::string stringAt(ByteSpan table, uint32_t offset) {
    if (offset >= table.size()) return "";
    const uint8_t* start = table.data() + offset;
    const void* nul = memchr(start, 0, table.size() - offset);
    const size_t length = nul ? size_t(static_cast<const uint8_t*>(nul) - start) : table.size() - offset;
    return std::string(reinterpret_cast<const char*>(start), length);
}

}  // namespace

std::vector<ModuleSymbol> readSymbols(const ModuleImage& m) {
    std::vector<ModuleSymbol> symbols;
    for (const ModuleSection& table : m.sections) {
        if (table.index == 0 || table.header.sh_type != SHT_SYMTAB) continue;
        const ByteSpan entries = sectionContents(m, table);
        ByteSpan names;
        if (table.header.sh_link < m.sections.size()) names = sectionContents(m, m.sections[table.header.sh_link]);
        symbols.reserve(entries.size() / sizeof(Elf32_Sym));
        for (size_t at = 0; at + sizeof(Elf32_Sym) <= entries.size(); at += sizeof(Elf32_Sym)) {
            const uint8_t* p = entries.data() + at;
            ModuleSymbol s;
            s.index = uint32_t(at / sizeof(Elf32_Sym));
            s.name = stringAt(names, moduleWord(m, p));
            s.value = moduleWord(m, p + 4);
            s.size = moduleWord(m, p + 8);
            s.info = p[12];
            s.other = p[13];
            s.shndx = moduleHalf(m, p + 14);
            symbols.push_back(std::move(s));
        }
        break;
    }
    return symbols;
}

std::vector<ImportTable> readImportTables(const ModuleImage& m, const std::vector<ModuleSymbol>& symbols) {
    // The tables in section order, and each symbol handed to its table in
    // one walk over the symbols.
    std::vector<ImportTable> tables;
    std::vector<int32_t> tableOf(m.sections.size(), -1);
    for (const ModuleSection& s : m.sections) {
        if (s.index == 0 || s.header.sh_type != SHT_IMPORT_TABLE || s.header.sh_size == 0) continue;
        ImportTable t;
        t.section = s.index;
        const ByteSpan contents = sectionContents(m, s);
        if (contents.size() >= 8) {
            t.headerKnown = true;
            t.count = moduleWord(m, contents.data());
            t.signature = moduleWord(m, contents.data() + 4);
            t.moduleName = stringAt(contents, 8);
            t.nameTerminated = contents.size() > 8 && 8 + t.moduleName.size() < contents.size();
        }
        tableOf[s.index] = int32_t(tables.size());
        tables.push_back(std::move(t));
    }
    // The signature runs over each imported name with its NUL, in symbol
    // table order, then over 14 zero bytes.
    std::vector<uLong> crcs(tables.size(), crc32(0, nullptr, 0));
    for (const ModuleSymbol& symbol : symbols) {
        if (symbol.index == 0 || symbol.shndx >= tableOf.size() || tableOf[symbol.shndx] < 0) continue;
        ImportTable& t = tables[size_t(tableOf[symbol.shndx])];
        if ((symbol.info & 0xF) == STT_SECTION) {
            t.hasSectionSymbol = true;
            continue;
        }
        uLong& crc = crcs[size_t(tableOf[symbol.shndx])];
        crc = crc32(crc, reinterpret_cast<const Bytef*>(symbol.name.c_str()), uInt(symbol.name.size() + 1));
        t.imports.push_back(&symbol);
    }
    static const uint8_t zeros[14] = {};
    for (size_t k = 0; k < tables.size(); ++k) {
        tables[k].computedSignature = uint32_t(crc32(crcs[k], zeros, sizeof zeros));
        tables[k].computedCount = uint32_t(tables[k].imports.size());
    }
    return tables;
}
