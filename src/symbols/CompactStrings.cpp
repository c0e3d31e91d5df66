#include "symbols/CompactStrings.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/Output.h"
#include "symbols/SymbolState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

// Whether a symbol that a relocation names is an import: undefined and not
// weak, in an import table section, or at a special index.
bool isImportSymbol(SymbolContext& ctx, const Elf32_Sym& symbol) {
    const uint32_t section = symbol.st_shndx;
    if (section == SHN_UNDEF) return symbolBinding(symbol) != STB_WEAK;
    if (section >= SHN_LORESERVE) return true;
    const Elf32_Shdr* header = sectionHeaderAt(ctx, section);
    return header && header->sh_type == SHT_IMPORT_TABLE;
}

}  // namespace

StringTableUsers findStringTableUsers(SymbolContext& ctx) {
    StringTableUsers users;
    const uint32_t count = ctx.input.image.bytes ? ctx.input.image.sectionCount() : 0;
    users.relocations.resize(count);
    users.symbolTables.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        if (!header || header->sh_size == 0) continue;
        if (header->sh_type == SHT_RELA) {
            const Elf32_Shdr* symbols = sectionHeaderAt(ctx, header->sh_link);
            if (symbols && symbols->sh_link < count) users.relocations[symbols->sh_link].push_back(i);
        } else if (header->sh_type == SHT_SYMTAB && header->sh_link < count) {
            users.symbolTables[header->sh_link].push_back(i);
        }
    }
    return users;
}

uint32_t lookupStringOffset(StringEntry* entries, uint32_t count, uint32_t offset) {
    if (!entries || count == 0) return 0;
    uint32_t lo = 0;
    uint32_t hi = count;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (entries[mid].start == offset) {
            ++entries[mid].uses;
            return entries[mid].newOffset;
        }
        if (offset < entries[mid].start)
            hi = mid;
        else
            lo = mid + 1;
    }
    printOut("!!WARN: String not found!\n");
    return 0;
}

int compactStringTable(SymbolContext& ctx, Elf32_Shdr& table, uint32_t index, const StringTableUsers* users) {
    StringTableUsers own;
    if (!users) {
        own = findStringTableUsers(ctx);
        users = &own;
    }
    static const std::vector<uint32_t> none;
    const std::vector<uint32_t>& relocationSections = index < users->relocations.size() ? users->relocations[index] : none;
    const std::vector<uint32_t>& symbolSections = index < users->symbolTables.size() ? users->symbolTables[index] : none;

    const uint32_t size = table.sh_size;
    uint8_t* bytes = sectionContents(ctx, index);
    // A table whose bytes are not all there is left as it is.
    if (!bytes || size == 0 || sectionContentsCapacity(ctx, index) < size) return 0;

    // 1. One entry per string; trailing bytes without a NUL form one more.
    uint32_t stringCount = 0;
    for (uint32_t at = 0; at < size; ++at)
        if (bytes[at] == 0) ++stringCount;
    if (bytes[size - 1] != 0) ++stringCount;
    std::unique_ptr<StringEntry[]> entries(new (std::nothrow) StringEntry[stringCount]);
    if (!entries) {
        printOut("***Error: Mem alloc failure.\n");
        return -1;
    }
    uint32_t filled = 0;
    for (uint32_t at = 0; at < size;) {
        const void* nul = std::memchr(bytes + at, 0, size - at);
        const uint32_t end = nul ? uint32_t(static_cast<const uint8_t*>(nul) - bytes) : size;
        entries[filled].start = at;
        entries[filled].length = end - at + 1;
        ++filled;
        at = end + 1;
    }

    const ElfImage& image = ctx.input.image;
    const uint32_t sectionCount = image.sectionCount();
    const bool isSectionNames = index == image.header().e_shstrndx;

    // 2. The section-name table keeps every section name.
    if (isSectionNames) {
        for (uint32_t i = 0; i < sectionCount; ++i) {
            const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
            if (header && header->sh_name != 0) lookupStringOffset(entries.get(), filled, header->sh_name);
        }
    }
    // The names of the imports that relocations use survive.
    for (uint32_t i : relocationSections) {
        const EntrySpan<Elf32_Rela> relocations = tableEntries<Elf32_Rela>(ctx, i);
        const EntrySpan<Elf32_Sym> symbols = tableEntries<Elf32_Sym>(ctx, sectionHeaderAt(ctx, i)->sh_link);
        for (uint32_t j = 0; j < relocations.count; ++j) {
            const Elf32_Rela& rela = relocations[j];
            if (relocationType(rela.r_info) == R_PPC_NONE) continue;
            const uint32_t named = relocationSymbol(rela.r_info);
            if (named >= symbols.count) continue;
            const Elf32_Sym& symbol = symbols[named];
            if (isImportSymbol(ctx, symbol)) lookupStringOffset(entries.get(), filled, symbol.st_name);
        }
    }

    // 3.-5. Compact only a table that is mostly unused.
    uint64_t used = 1;
    for (uint32_t e = 0; e < filled; ++e)
        if (entries[e].uses != 0) used += entries[e].length;
    const uint32_t percent = uint32_t(used * 100 / size);
    if (percent > 90) return 0;

    // 6.
    if (ctx.settings.verbose) {
        if (percent == 0)
            printOut("< 1%% of stringtable used for import symbols.\n");
        else
            printOut("%d%% of stringtable used for import symbols.\n", int(percent));
    }

    // The new size is the next multiple of 4 above the used bytes; a table
    // that would not shrink stays as it is, since it has to fit where it is.
    const uint64_t newSize = (used + 4) & ~uint64_t(3);
    if (newSize > size) return 0;

    // 7.-8. The kept strings, in table order, behind the NUL at offset 0.
    std::unique_ptr<uint8_t[]> compacted(new (std::nothrow) uint8_t[newSize]());
    if (!compacted) {
        printOut("***Error Mem alloc failure.\n");
        return -1;
    }
    uint32_t position = 1;
    for (uint32_t e = 0; e < filled; ++e) {
        StringEntry& string = entries[e];
        if (string.uses == 0) continue;
        string.newOffset = position;
        const uint32_t present = size - string.start < string.length ? size - string.start : string.length;
        std::memcpy(compacted.get() + position, bytes + string.start, present);
        position += string.length;
    }

    // 9. Section names.
    if (isSectionNames) {
        for (uint32_t i = 0; i < sectionCount; ++i) {
            Elf32_Shdr* header = sectionHeaderAt(ctx, i);
            if (header && header->sh_name != 0)
                header->sh_name = lookupStringOffset(entries.get(), filled, header->sh_name);
        }
    }
    // 10. Symbol names of every symbol table that uses this table.
    for (uint32_t i : symbolSections) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        const uint32_t symbolCount = header->sh_size / (header->sh_entsize ? header->sh_entsize : 16);
        if (symbolCount < 2) continue;
        const EntrySpan<Elf32_Sym> symbols = tableEntries<Elf32_Sym>(ctx, i);
        for (uint32_t s = 0; s < symbols.count; ++s) {
            Elf32_Sym& symbol = symbols[s];
            if (symbol.st_name != 0) symbol.st_name = lookupStringOffset(entries.get(), filled, symbol.st_name);
        }
    }

    // 11.
    std::memcpy(bytes, compacted.get(), size_t(newSize));
    table.sh_size = uint32_t(newSize);
    return 0;
}

int compactStringTables(SymbolContext& ctx) {
    const uint32_t count = ctx.input.image.bytes ? ctx.input.image.sectionCount() : 0;
    const StringTableUsers users = findStringTableUsers(ctx);
    for (uint32_t i = 0; i < count; ++i) {
        Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        if (!header || header->sh_type != SHT_STRTAB || header->sh_size == 0) continue;
        int result = compactStringTable(ctx, *header, i, &users);
        if (result != 0) return result;
    }
    return 0;
}
