#include "symbols/StripSymbols.h"

#include <cstring>
#include <string_view>

#include "driver/Output.h"
#include "driver/ToolState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

// First non-empty section, in index order, whose address range holds the value.
bool findHomeSection(uint32_t value, uint32_t sectionCount, uint32_t& home) {
    for (uint32_t j = 0; j < sectionCount; ++j) {
        const Elf32_Shdr* header = sectionHeaderAt(j);
        if (!header || header->sh_size == 0) continue;
        if (header->sh_addr <= value && value < uint32_t(header->sh_addr + header->sh_size)) {
            home = j;
            return true;
        }
    }
    return false;
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
        uint32_t home = 0;
        if (findHomeSection(symbol.st_value, sectionCount, home)) {
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
