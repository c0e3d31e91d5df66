#include "module/SectionUsage.h"

#include <cstring>
#include <string>

#include "core/Output.h"
#include "module/ModuleState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

uint32_t sectionCount(ModuleContext& ctx) { return ctx.input.image.sectionCount(); }

void countUse(std::vector<uint32_t>& uses, uint32_t index) {
    if (index < uses.size()) ++uses[index];
}

// A relocation section of an allocated section: it, its symbol table, the
// sections its symbols lie in and the symbol table's string table are used.
void countRelocationUses(ModuleContext& ctx, std::vector<uint32_t>& uses, uint32_t index, const Elf32_Shdr& relocations) {
    const uint32_t n = sectionCount(ctx);
    countUse(uses, index);
    countUse(uses, relocations.sh_link);
    // The symbols of the bound table, as far as its contents reach.
    uint32_t symbolCount = 0;
    const Elf32_Sym* symbols = viewSymbols(ctx, symbolCount);
    const EntrySpan<Elf32_Rela> entries = relocationEntries(ctx, index);
    if (symbols && symbolCount >= 2) {
        for (uint32_t k = 0; k < entries.count; ++k) {
            const Elf32_Rela& entry = entries[k];
            const uint32_t symbol = relocationSymbol(entry.r_info);
            if (relocationType(entry.r_info) == 0 || symbol == 0 || symbol >= symbolCount) continue;
            const uint16_t shndx = symbols[symbol].st_shndx;
            if (shndx < n) countUse(uses, shndx);
        }
    }
    if (const Elf32_Shdr* symbolTable = inputSectionHeader(ctx, relocations.sh_link)) countUse(uses, symbolTable->sh_link);
}

void clearSectionNames(ModuleContext& ctx) {
    for (uint32_t i = 1; i < sectionCount(ctx); ++i) inputSectionHeader(ctx, i)->sh_name = 0;
}

// A section's name, bounded by the name table (empty without one).
std::string_view boundedSectionName(ModuleContext& ctx, uint32_t index) { return sectionNameAt(ctx, index); }

}  // namespace

void countSectionUses(ModuleContext& ctx) {
    const uint32_t n = sectionCount(ctx);
    std::vector<uint32_t>& uses = ctx.symbols.sectionUses;
    uses.assign(n, 0);
    for (uint32_t i = 1; i < n; ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(ctx, i);
        if (s.sh_size == 0) continue;
        if (s.sh_type == SHT_RELA) {
            const Elf32_Shdr* target = inputSectionHeader(ctx, s.sh_info);
            if (target && (target->sh_flags & SHF_ALLOC)) countRelocationUses(ctx, uses, i, s);
        } else if (s.sh_flags & SHF_ALLOC) {
            countUse(uses, i);
        }
    }
    const uint16_t names = ctx.input.image.header().e_shstrndx;
    if (names != 0)
        countUse(uses, names);
    else
        clearSectionNames(ctx);
}

void dropUnusedSections(ModuleContext& ctx) {
    const uint32_t n = sectionCount(ctx);
    const std::vector<uint32_t>& uses = ctx.symbols.sectionUses;
    const SymbolsBySection groups = groupSymbolsBySection(ctx, n);
    for (uint32_t i = 1; i < n; ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(ctx, i);
        if (s.sh_size == 0 || uses[i] != 0 || (s.sh_flags & SHF_ALLOC)) continue;
        if (ctx.settings.verbose) {
            std::string_view name = sectionNameAt(ctx, i);
            printOut("Section %d unused \"%.*s\".\n", i, int(name.size()), name.data());
        }
        removeSymbolsOfSection(ctx, i, groups);
    }
}

void compactSectionNames(ModuleContext& ctx) {
    const uint16_t namesIndex = ctx.input.image.header().e_shstrndx;
    if (namesIndex == 0) return;
    Elf32_Shdr* names = inputSectionHeader(ctx, namesIndex);
    if (!names) return;
    const uint32_t n = sectionCount(ctx);
    const std::vector<uint32_t>& uses = ctx.symbols.sectionUses;
    uint64_t newSize = 1;
    for (uint32_t i = 1; i < n; ++i)
        if (uses[i]) newSize += boundedSectionName(ctx, i).size() + 1;
    if (newSize >= names->sh_size) return;
    // The new table is built aside first: the names it copies lie in the old one.
    std::string table(size_t(newSize), '\0');
    size_t position = 1;
    std::vector<uint32_t> newNames(n, 0);
    for (uint32_t i = 1; i < n; ++i) {
        if (!uses[i]) continue;
        std::string_view name = boundedSectionName(ctx, i);
        newNames[i] = uint32_t(position);
        if (!name.empty()) memcpy(&table[position], name.data(), name.size());
        position += name.size() + 1;
    }
    uint8_t* contents = sectionContents(ctx, namesIndex);
    if (!contents || sectionContentsCapacity(ctx, namesIndex) < newSize) return;
    memcpy(contents, table.data(), table.size());
    for (uint32_t i = 1; i < n; ++i)
        if (uses[i]) inputSectionHeader(ctx, i)->sh_name = newNames[i];
    names->sh_size = uint32_t(newSize);
}

void applySectionUsage(ModuleContext& ctx) {
    if (uint32_t exportSection = findSectionByName(ctx, ".export")) inputSectionHeader(ctx, exportSection)->sh_flags &= ~SHF_ALLOC;
    countSectionUses(ctx);
    dropUnusedSections(ctx);
    countSectionUses(ctx);
    compactSectionNames(ctx);
}
