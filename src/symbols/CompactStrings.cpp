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

namespace {

// The strings of a table, in table order: one entry per NUL-terminated
// string, and one more for trailing bytes without a NUL. Null after the
// allocation failure is reported.
std::unique_ptr<StringEntry[]> listStrings(const uint8_t* bytes, uint32_t size, uint32_t& filled) {
    uint32_t stringCount = 0;
    for (uint32_t at = 0; at < size; ++at)
        if (bytes[at] == 0) ++stringCount;
    if (bytes[size - 1] != 0) ++stringCount;
    std::unique_ptr<StringEntry[]> entries(new (std::nothrow) StringEntry[stringCount]);
    if (!entries) {
        printOut("***Error: Mem alloc failure.\n");
        return nullptr;
    }
    filled = 0;
    for (uint32_t at = 0; at < size;) {
        const void* nul = std::memchr(bytes + at, 0, size - at);
        const uint32_t end = nul ? uint32_t(static_cast<const uint8_t*>(nul) - bytes) : size;
        entries[filled].start = at;
        entries[filled].length = end - at + 1;
        ++filled;
        at = end + 1;
    }
    return entries;
}

// The strings that survive gain their uses: every section name when the
// table is the section-name table, and the names of the imports that
// relocations use.
void markKeptStrings(SymbolContext& ctx, StringEntry* entries, uint32_t filled, bool isSectionNames,
                     const std::vector<uint32_t>& relocationSections) {
    const uint32_t sectionCount = ctx.input.image.sectionCount();
    if (isSectionNames) {
        for (uint32_t i = 0; i < sectionCount; ++i) {
            const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
            if (header && header->sh_name != 0) lookupStringOffset(entries, filled, header->sh_name);
        }
    }
    for (uint32_t i : relocationSections) {
        const EntrySpan<Elf32_Rela> relocations = tableEntries<Elf32_Rela>(ctx, i);
        const EntrySpan<Elf32_Sym> symbols = tableEntries<Elf32_Sym>(ctx, sectionHeaderAt(ctx, i)->sh_link);
        for (uint32_t j = 0; j < relocations.count; ++j) {
            const Elf32_Rela& rela = relocations[j];
            if (relocationType(rela.r_info) == R_PPC_NONE) continue;
            const uint32_t named = relocationSymbol(rela.r_info);
            if (named >= symbols.count) continue;
            const Elf32_Sym& symbol = symbols[named];
            if (isImportSymbol(ctx, symbol)) lookupStringOffset(entries, filled, symbol.st_name);
        }
    }
}

// The kept strings, in table order, behind the NUL at offset 0, each given
// its new offset. Null after the allocation failure is reported.
std::unique_ptr<uint8_t[]> packKeptStrings(const uint8_t* bytes, uint32_t size, StringEntry* entries,
                                           uint32_t filled, uint64_t newSize) {
    std::unique_ptr<uint8_t[]> compacted(new (std::nothrow) uint8_t[newSize]());
    if (!compacted) {
        printOut("***Error Mem alloc failure.\n");
        return nullptr;
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
    return compacted;
}

// Section names (for the section-name table) and the symbol names of every
// symbol table that uses the table move to their new offsets.
void renameStringUsers(SymbolContext& ctx, StringEntry* entries, uint32_t filled, bool isSectionNames,
                       const std::vector<uint32_t>& symbolSections) {
    const uint32_t sectionCount = ctx.input.image.sectionCount();
    if (isSectionNames) {
        for (uint32_t i = 0; i < sectionCount; ++i) {
            Elf32_Shdr* header = sectionHeaderAt(ctx, i);
            if (header && header->sh_name != 0) header->sh_name = lookupStringOffset(entries, filled, header->sh_name);
        }
    }
    for (uint32_t i : symbolSections) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        const uint32_t symbolCount = header->sh_size / (header->sh_entsize ? header->sh_entsize : 16);
        if (symbolCount < 2) continue;
        const EntrySpan<Elf32_Sym> symbols = tableEntries<Elf32_Sym>(ctx, i);
        for (uint32_t s = 0; s < symbols.count; ++s) {
            Elf32_Sym& symbol = symbols[s];
            if (symbol.st_name != 0) symbol.st_name = lookupStringOffset(entries, filled, symbol.st_name);
        }
    }
}

}  // namespace

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

    uint32_t filled = 0;
    std::unique_ptr<StringEntry[]> entries = listStrings(bytes, size, filled);
    if (!entries) return -1;
    const bool isSectionNames = index == ctx.input.image.header().e_shstrndx;
    markKeptStrings(ctx, entries.get(), filled, isSectionNames, relocationSections);

    // Only a table that is mostly unused is compacted; -v reports the share
    // before the new size is known.
    uint64_t used = 1;
    for (uint32_t e = 0; e < filled; ++e)
        if (entries[e].uses != 0) used += entries[e].length;
    const uint32_t percent = uint32_t(used * 100 / size);
    if (percent > 90) return 0;
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

    std::unique_ptr<uint8_t[]> compacted = packKeptStrings(bytes, size, entries.get(), filled, newSize);
    if (!compacted) return -1;
    renameStringUsers(ctx, entries.get(), filled, isSectionNames, symbolSections);
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
