#include "symbols/StripSymbols.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <string_view>
#include <vector>

#include "driver/Output.h"
#include "driver/ToolState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

// Whether the symbol looks for a home: it lies in an empty section and is
// neither a section nor a file symbol.
bool seeksHome(const Elf32_Sym& symbol, uint32_t sectionCount) {
    const uint32_t section = symbol.st_shndx;
    if (section == SHN_UNDEF || section >= sectionCount) return false;
    const Elf32_Shdr* header = sectionHeaderAt(section);
    if (!header || header->sh_size != 0) return false;
    const uint8_t type = symbolType(symbol);
    return type != STT_SECTION && type != STT_FILE;
}

// For each value, the first non-empty section in index order whose address
// range holds it, or `none`. Stripping changes no section, so all values
// are answered at once: the values in ascending order meet the ranges in
// order of their start, and a heap keeps the lowest index among the ranges
// begun and not yet ended.
std::vector<uint32_t> findHomeSections(const std::vector<uint32_t>& values, uint32_t sectionCount, uint32_t none) {
    struct Range {
        uint32_t start, end, index;
    };
    std::vector<Range> ranges;
    for (uint32_t j = 0; j < sectionCount; ++j) {
        const Elf32_Shdr* header = sectionHeaderAt(j);
        if (!header || header->sh_size == 0) continue;
        // The end is a 32-bit sum: a range that wraps holds no value.
        const uint32_t end = header->sh_addr + header->sh_size;
        if (header->sh_addr < end) ranges.push_back({header->sh_addr, end, j});
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
    std::vector<uint32_t> byValue(values.size());
    for (uint32_t k = 0; k < byValue.size(); ++k) byValue[k] = k;
    std::sort(byValue.begin(), byValue.end(), [&](uint32_t a, uint32_t b) { return values[a] < values[b]; });

    auto lowerIndexFirst = [](const Range& a, const Range& b) { return a.index > b.index; };
    std::priority_queue<Range, std::vector<Range>, decltype(lowerIndexFirst)> open(lowerIndexFirst);
    std::vector<uint32_t> homes(values.size(), none);
    size_t next = 0;
    for (uint32_t k : byValue) {
        const uint32_t value = values[k];
        while (next < ranges.size() && ranges[next].start <= value) open.push(ranges[next++]);
        // A range that ended below this value ends below every later one.
        while (!open.empty() && open.top().end <= value) open.pop();
        if (!open.empty()) homes[k] = open.top().index;
    }
    return homes;
}

// Zeroes the name's bytes in the string table (shared tails go with it) and
// then the symbol entry.
void stripSymbol(Elf32_Sym& symbol, std::string_view name) {
    const SymbolTableView& view = toolState().symbols.view;
    const uint32_t offset = symbol.st_name;
    if (view.stringTableHeader && !name.empty() && offset <= view.stringSize) {
        char* table = reinterpret_cast<char*>(sectionContents(view.stringTableIndex));
        const uint32_t readable = symbolStringsReadable();
        if (table && offset < readable) {
            const uint64_t length = name.size() < readable - offset ? name.size() : readable - offset;
            std::memset(table + offset, 0, size_t(length));
        }
    }
    std::memset(static_cast<void*>(&symbol), 0, sizeof symbol);
}

}  // namespace

int stripUnusedSymbols() {
    uint32_t symbolCount = 0;
    Elf32_Sym* symbols = viewSymbols(symbolCount);
    const uint32_t sectionCount = inputImage().bytes ? inputImage().sectionCount() : 0;
    const bool verbose = settings().verbose;

    std::vector<uint32_t> values;
    for (uint32_t i = 1; i < symbolCount; ++i)
        if (seeksHome(symbols[i], sectionCount)) values.push_back(symbols[i].st_value);
    const uint32_t none = sectionCount;
    const std::vector<uint32_t> homes = findHomeSections(values, sectionCount, none);

    size_t query = 0;
    for (uint32_t i = 1; i < symbolCount; ++i) {
        Elf32_Sym& symbol = symbols[i];
        const uint32_t section = symbol.st_shndx;
        if (section == SHN_UNDEF || section >= sectionCount) continue;
        const Elf32_Shdr* header = sectionHeaderAt(section);
        if (!header || header->sh_size != 0) continue;

        std::string_view name = symbolName(symbol);
        const uint8_t type = symbolType(symbol);
        if (type == STT_SECTION || type == STT_FILE) {
            stripSymbol(symbol, name);
            continue;
        }
        const uint32_t home = homes[query++];
        if (home != none) {
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
        stripSymbol(symbol, name);
    }
    return 0;
}
