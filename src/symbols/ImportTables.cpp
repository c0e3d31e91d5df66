#include "symbols/ImportTables.h"

#include <zlib.h>

#include <cstring>
#include <vector>

#include "driver/Output.h"
#include "driver/ToolState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

int finaliseImportTable(uint32_t index, Elf32_Shdr& header, uint32_t address, const SymbolsBySection* groups) {
    uint32_t symbolCount = 0;
    Elf32_Sym* symbols = viewSymbols(symbolCount);
    // The symbols of the table, in symbol order.
    std::vector<uint32_t> own;
    if (groups && size_t(index) + 1 < groups->first.size()) {
        for (uint32_t k = groups->first[index]; k < groups->first[index + 1]; ++k)
            if (groups->order[k] < symbolCount && symbols[groups->order[k]].st_shndx == index)
                own.push_back(groups->order[k]);
    } else {
        for (uint32_t i = 1; i < symbolCount; ++i)
            if (symbols[i].st_shndx == index) own.push_back(i);
    }

    // The section symbol takes the table's address; the slots follow the
    // header words, or start at the table itself when there is no such symbol.
    uint32_t sectionSymbol = 0;
    for (uint32_t i : own) {
        if (symbolType(symbols[i]) == STT_SECTION) {
            sectionSymbol = i;
            break;
        }
    }
    uint32_t slotOffset = sectionSymbol != 0 ? 8 : 0;

    // One slot per import; the signature covers the imported names in order.
    const uint8_t zeros[14] = {};
    uLong signature = crc32(0L, Z_NULL, 0);
    uint32_t importCount = 0;
    for (uint32_t i : own) {
        Elf32_Sym& symbol = symbols[i];
        if (symbolType(symbol) == STT_SECTION) continue;
        std::string_view name = symbolName(symbol);
        if (!name.empty())
            signature = crc32(signature, reinterpret_cast<const Bytef*>(name.data()), uInt(name.size()));
        signature = crc32(signature, zeros, 1);
        slotOffset += 8;
        ++importCount;
    }
    signature = crc32(signature, zeros, sizeof zeros);

    // The table must hold its header words and the exporting module's name
    // with its NUL. Tested only here, where the words are written and the
    // name read, so that the name lookups above print their warnings first.
    const uint8_t* contents = sectionContents(index);
    uint32_t held = sectionContentsCapacity(index);
    if (held > header.sh_size) held = header.sh_size;
    const void* nul = contents && held > 8 ? std::memchr(contents + 8, 0, held - 8) : nullptr;
    if (!nul) {
        std::string_view name = sectionName(header);
        printOut("***Error: Import table section %d \"%.*s\" holds no NUL-terminated module name. Return -1.\n",
                 int(index), int(name.size()), name.data());
        return -1;
    }
    const uint64_t nameLength = uint64_t(static_cast<const uint8_t*>(nul) - (contents + 8));

    // Only a sound table gives its symbols their addresses.
    if (sectionSymbol != 0) symbols[sectionSymbol].st_value = address;
    uint32_t slot = sectionSymbol != 0 ? 8 : 0;
    for (uint32_t i : own) {
        if (symbolType(symbols[i]) == STT_SECTION) continue;
        symbols[i].st_value = address + slot;
        slot += 8;
    }

    // The table is at least as large as its header and the module name.
    uint32_t newSize = slotOffset;
    if (nameLength + 9 > newSize) newSize = uint32_t((nameLength + 16) & ~uint64_t(7));

    // A table that grows gets room of its own, zero beyond the input bytes.
    uint8_t* words = sectionContents(index);
    if (newSize > held) {
        std::vector<uint8_t> grown(newSize, 0);
        std::memcpy(grown.data(), contents, held);
        words = replaceSectionContents(index, std::move(grown));
    }
    const bool littleEndian = inputImage().littleEndian();
    writeWord(words, importCount, littleEndian);
    writeWord(words + 4, uint32_t(signature), littleEndian);

    header.sh_addr = address;
    header.sh_size = newSize;
    return 0;
}
