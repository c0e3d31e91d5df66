#include "symbols/SymbolAccess.h"

#include <cstring>

#include "core/Output.h"
#include "symbols/SymbolState.h"
#include "elf/SectionContents.h"

namespace {

SymbolTableView& view(SymbolContext& ctx) { return ctx.symbols.view; }

// The string that starts `offset` bytes into a table of `size` readable
// bytes: up to its NUL, or to the end of the table when it has none.
std::string_view boundedString(const char* table, uint32_t size, uint32_t offset) {
    if (!table || offset >= size) return {};
    const char* start = table + offset;
    uint32_t left = size - offset;
    const void* nul = std::memchr(start, 0, left);
    return std::string_view(start, nul ? size_t(static_cast<const char*>(nul) - start) : size_t(left));
}

}  // namespace

Elf32_Shdr* findSymbolTable(SymbolContext& ctx) {
    SymbolTableView& v = view(ctx);
    v.symbolTableHeader = nullptr;
    v.symbolTableIndex = 0;
    const uint32_t count = ctx.input.image.bytes ? ctx.input.image.sectionCount() : 0;
    for (uint32_t i = 1; i < count; ++i) {
        Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        if (header && header->sh_type == SHT_SYMTAB) {
            v.symbolTableHeader = header;
            v.symbolTableIndex = i;
            break;
        }
    }
    return v.symbolTableHeader;
}

int bindSymbolTable(SymbolContext& ctx) {
    SymbolTableView& v = view(ctx);
    Elf32_Shdr* symbols = findSymbolTable(ctx);
    const std::string& file = ctx.settings.inputPath;
    if (!symbols) {
        printOut("***Error: ELF file \"%s\" has no symbol table. Return -1.\n", file.c_str());
        return -1;
    }
    const uint32_t link = symbols->sh_link;
    Elf32_Shdr* strings = link != 0 ? sectionHeaderAt(ctx, link) : nullptr;
    if (!strings || strings->sh_type != SHT_STRTAB) {
        printOut("***Error: The symbol table (section %d) of ELF file \"%s\" names no string table. Return -1.\n",
                 int(v.symbolTableIndex), file.c_str());
        return -1;
    }
    v.stringTableHeader = strings;
    v.stringTableIndex = link;
    v.symbols = reinterpret_cast<Elf32_Sym*>(sectionContents(ctx, v.symbolTableIndex));
    uint32_t capacity = sectionContentsCapacity(ctx, v.symbolTableIndex);
    uint32_t size = symbols->sh_size < capacity ? symbols->sh_size : capacity;
    v.symbolCount = v.symbols ? size >> 4 : 0;
    v.strings = reinterpret_cast<const char*>(sectionContents(ctx, link));
    v.stringSize = strings->sh_size;
    v.boundStrings = sectionContents(ctx, link);
    v.boundStringsReadable = sectionContentsCapacity(ctx, link);
    return 0;
}

uint32_t symbolStringsReadable(SymbolContext& ctx) {
    const SymbolTableView& v = view(ctx);
    if (!v.stringTableHeader) return 0;
    uint32_t readable = sectionContentsCapacity(ctx, v.stringTableIndex);
    if (sectionContents(ctx, v.stringTableIndex) == v.boundStrings && v.boundStringsReadable > readable)
        readable = v.boundStringsReadable;
    return readable;
}

Elf32_Sym* viewSymbols(SymbolContext& ctx, uint32_t& count) {
    SymbolTableView& v = view(ctx);
    count = 0;
    if (!v.symbolTableHeader) return nullptr;
    // The table may have been given room of its own since it was bound.
    auto* symbols = reinterpret_cast<Elf32_Sym*>(sectionContents(ctx, v.symbolTableIndex));
    if (!symbols) return nullptr;
    v.symbols = symbols;
    uint32_t fit = sectionContentsCapacity(ctx, v.symbolTableIndex) >> 4;
    count = v.symbolCount < fit ? v.symbolCount : fit;
    return symbols;
}

std::string_view symbolName(SymbolContext& ctx, const Elf32_Sym& symbol) {
    SymbolTableView& v = view(ctx);
    if (!v.stringTableHeader) return "<NULL>";
    const uint32_t offset = symbol.st_name;
    if (offset > v.stringSize) {
        printOut("pSym->st_name is out of range (%d)\n", int(offset));
        return {};
    }
    const char* table = reinterpret_cast<const char*>(sectionContents(ctx, v.stringTableIndex));
    uint32_t readable = symbolStringsReadable(ctx);
    if (readable > v.stringSize) readable = v.stringSize;
    return boundedString(table, readable, offset);
}

bool hasSectionNameTable(SymbolContext& ctx) {
    const ElfImage& image = ctx.input.image;
    if (!image.bytes) return false;
    const uint32_t index = image.header().e_shstrndx;
    return index != 0 && index <= SHN_LORESERVE && index < image.sectionCount();
}

std::string_view sectionNameTable(SymbolContext& ctx) {
    if (!hasSectionNameTable(ctx)) return {};
    SymbolTableView& v = view(ctx);
    const uint32_t index = ctx.input.image.header().e_shstrndx;
    const char* table = reinterpret_cast<const char*>(sectionContents(ctx, index));
    const uint32_t readable = sectionContentsCapacity(ctx, index);
    // The table is found once and kept. When it is later compacted in place
    // (its sh_size shrinks), the bytes it first had are still there, so names
    // that omitted sections still point at read the same as before.
    if (!v.sectionNamesLoaded || v.sectionNames != table) {
        v.sectionNamesLoaded = true;
        v.sectionNames = table;
        v.sectionNamesSize = readable;
    } else if (readable > v.sectionNamesSize) {
        v.sectionNamesSize = readable;
    }
    if (!table) return {};
    return std::string_view(table, v.sectionNamesSize);
}

std::string_view sectionName(SymbolContext& ctx, const Elf32_Shdr& header) {
    if (!hasSectionNameTable(ctx)) return "<NULL>";
    std::string_view table = sectionNameTable(ctx);
    return boundedString(table.data(), uint32_t(table.size()), header.sh_name);
}

std::string_view sectionNameAt(SymbolContext& ctx, uint32_t index) {
    if (index > SHN_LORESERVE || !hasSectionNameTable(ctx)) return {};
    const Elf32_Shdr* header = sectionHeaderAt(ctx, index);
    if (!header) return {};
    return sectionName(ctx, *header);
}

uint32_t findSectionByName(SymbolContext& ctx, std::string_view name) {
    const uint32_t count = ctx.input.image.bytes ? ctx.input.image.sectionCount() : 0;
    for (uint32_t i = 1; i < count; ++i) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        if (header && sectionName(ctx, *header) == name) return i;
    }
    return 0;
}

namespace {

void removeSymbol(SymbolContext& ctx, Elf32_Sym& symbol) {
    if (ctx.settings.verbose) {
        std::string_view name = symbolName(ctx, symbol);
        printOut("  Unused Symbol \"%.*s\"\n", int(name.size()), name.data());
    }
    std::memset(static_cast<void*>(&symbol), 0, sizeof symbol);
}

}  // namespace

void removeSymbolsOfSection(SymbolContext& ctx, uint32_t index) {
    uint32_t count = 0;
    Elf32_Sym* symbols = viewSymbols(ctx, count);
    for (uint32_t i = 1; i < count; ++i)
        if (symbols[i].st_shndx == index) removeSymbol(ctx, symbols[i]);
}

SymbolsBySection groupSymbolsBySection(SymbolContext& ctx, uint32_t sectionCount) {
    SymbolsBySection groups;
    groups.first.assign(size_t(sectionCount) + 1, 0);
    uint32_t count = 0;
    const Elf32_Sym* symbols = viewSymbols(ctx, count);
    // A counting sort by section index, stable, so each group keeps symbol order.
    for (uint32_t i = 1; i < count; ++i)
        if (symbols[i].st_shndx < sectionCount) ++groups.first[symbols[i].st_shndx + 1];
    for (uint32_t s = 0; s < sectionCount; ++s) groups.first[s + 1] += groups.first[s];
    groups.order.resize(groups.first[sectionCount]);
    std::vector<uint32_t> next(groups.first.begin(), groups.first.end() - 1);
    for (uint32_t i = 1; i < count; ++i)
        if (symbols[i].st_shndx < sectionCount) groups.order[next[symbols[i].st_shndx]++] = i;
    return groups;
}

void removeSymbolsOfSection(SymbolContext& ctx, uint32_t index, const SymbolsBySection& groups) {
    if (size_t(index) + 1 >= groups.first.size()) return;
    uint32_t count = 0;
    Elf32_Sym* symbols = viewSymbols(ctx, count);
    for (uint32_t k = groups.first[index]; k < groups.first[index + 1]; ++k) {
        const uint32_t i = groups.order[k];
        if (i < count && symbols[i].st_shndx == index) removeSymbol(ctx, symbols[i]);
    }
}
