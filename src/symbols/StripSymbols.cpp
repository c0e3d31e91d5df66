#include "symbols/StripSymbols.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <string_view>
#include <vector>

#include "core/Output.h"
#include "symbols/SymbolState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

// Whether the symbol points into an empty section (not undefined, not a
// special index): the symbols this pass looks at.
bool inEmptySection(SymbolContext& ctx, const Elf32_Sym& symbol, uint32_t sectionCount) {
    const uint32_t section = symbol.st_shndx;
    if (section == SHN_UNDEF || section >= sectionCount) return false;
    const Elf32_Shdr* header = sectionHeaderAt(ctx, section);
    return header && header->sh_size == 0;
}

// Section and file symbols of empty sections are stripped without a search.
bool isSectionOrFile(const Elf32_Sym& symbol) {
    const uint8_t type = symbolType(symbol);
    return type == STT_SECTION || type == STT_FILE;
}

// First non-empty section, in index order, whose address range holds the
// value. The end is a 32-bit sum: a range that wraps holds no value.
bool findHomeSection(SymbolContext& ctx, uint32_t value, uint32_t sectionCount, uint32_t& home) {
    for (uint32_t j = 0; j < sectionCount; ++j) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, j);
        if (!header || header->sh_size == 0) continue;
        if (header->sh_addr <= value && value < uint32_t(header->sh_addr + header->sh_size)) {
            home = j;
            return true;
        }
    }
    return false;
}

// The homes of many values, found in one sweep instead of one walk over the
// sections per value: the values in ascending order meet the ranges in
// order of their start, and a heap keeps the lowest index among the ranges
// begun and not yet ended. Stripping changes no section header, so the
// answers hold for the whole pass.
struct HomeTable {
    std::vector<uint32_t> values;  // ascending, each once
    std::vector<uint32_t> homes;   // per value; `none` when no section holds it
    uint32_t none = 0;

    // The home of a value, from the table when it holds the value, else by
    // walking the sections.
    bool find(SymbolContext& ctx, uint32_t value, uint32_t sectionCount, uint32_t& home) const {
        auto at = std::lower_bound(values.begin(), values.end(), value);
        if (at == values.end() || *at != value) return findHomeSection(ctx, value, sectionCount, home);
        home = homes[size_t(at - values.begin())];
        return home != none;
    }
};

HomeTable findHomeSections(SymbolContext& ctx, std::vector<uint32_t> values, uint32_t sectionCount) {
    struct Range {
        uint32_t start, end, index;
    };
    std::vector<Range> ranges;
    for (uint32_t j = 0; j < sectionCount; ++j) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, j);
        if (!header || header->sh_size == 0) continue;
        const uint32_t end = header->sh_addr + header->sh_size;
        if (header->sh_addr < end) ranges.push_back({header->sh_addr, end, j});
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());

    HomeTable table;
    table.none = sectionCount;
    table.homes.assign(values.size(), table.none);
    auto lowerIndexFirst = [](const Range& a, const Range& b) { return a.index > b.index; };
    std::priority_queue<Range, std::vector<Range>, decltype(lowerIndexFirst)> open(lowerIndexFirst);
    size_t next = 0;
    for (size_t k = 0; k < values.size(); ++k) {
        const uint32_t value = values[k];
        while (next < ranges.size() && ranges[next].start <= value) open.push(ranges[next++]);
        // A range that ended below this value ends below every later one.
        while (!open.empty() && open.top().end <= value) open.pop();
        if (!open.empty()) table.homes[k] = open.top().index;
    }
    table.values = std::move(values);
    return table;
}

// Zeroes the name's bytes in the string table (shared tails go with it) and
// then the symbol entry.
void stripSymbol(SymbolContext& ctx, Elf32_Sym& symbol, std::string_view name) {
    const SymbolTableView& view = ctx.symbols.view;
    const uint32_t offset = symbol.st_name;
    if (view.stringTableHeader && !name.empty() && offset <= view.stringSize) {
        char* table = reinterpret_cast<char*>(sectionContents(ctx, view.stringTableIndex));
        const uint32_t readable = symbolStringsReadable(ctx);
        if (table && offset < readable) {
            const uint64_t length = name.size() < readable - offset ? name.size() : readable - offset;
            std::memset(table + offset, 0, size_t(length));
        }
    }
    std::memset(static_cast<void*>(&symbol), 0, sizeof symbol);
}

}  // namespace

int stripUnusedSymbols(SymbolContext& ctx) {
    uint32_t symbolCount = 0;
    Elf32_Sym* symbols = viewSymbols(ctx, symbolCount);
    const uint32_t sectionCount = ctx.input.image.bytes ? ctx.input.image.sectionCount() : 0;
    const bool verbose = ctx.settings.verbose;

    // The values looked for, as the symbols stand before the pass. Blanking a
    // name may rewrite later symbols when the string table overlaps the
    // symbol table; a value that is not in the table is looked up alone.
    std::vector<uint32_t> values;
    for (uint32_t i = 1; i < symbolCount; ++i)
        if (inEmptySection(ctx, symbols[i], sectionCount) && !isSectionOrFile(symbols[i]))
            values.push_back(symbols[i].st_value);
    const HomeTable homes = findHomeSections(ctx, std::move(values), sectionCount);

    for (uint32_t i = 1; i < symbolCount; ++i) {
        Elf32_Sym& symbol = symbols[i];
        if (!inEmptySection(ctx, symbol, sectionCount)) continue;

        std::string_view name = symbolName(ctx, symbol);
        if (isSectionOrFile(symbol)) {
            stripSymbol(ctx, symbol, name);
            continue;
        }
        uint32_t home = 0;
        if (homes.find(ctx, symbol.st_value, sectionCount, home)) {
            symbol.st_shndx = uint16_t(home);
            continue;
        }
        if (verbose) {
            if (name == "_SDA_BASE_" || name == "_SDA2_BASE_") {
                if (symbol.st_value != 0x8000)
                    printOut("INFO: Unused symbol \"%.*s\" stripped (0x%08X)\n", int(name.size()), name.data(),
                             symbol.st_value);
            } else {
                printOut("INFO: Unused symbol \"%.*s\" was stripped\n", int(name.size()), name.data());
            }
        }
        stripSymbol(ctx, symbol, name);
    }
    return 0;
}
