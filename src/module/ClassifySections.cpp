#include "module/ClassifySections.h"

#include "driver/Output.h"
#include "driver/ToolState.h"
#include "elf/SectionContents.h"
#include "symbols/ImportTables.h"
#include "symbols/SymbolAccess.h"

namespace {

const char* const kTextError =
    "*** Error: \"%s\", Section %d \"%.*s\" is text but its (QDL adjusted) address (0x%08X) is outside the allowed "
    "code range (from 0x%08X to (0x%08X)).\n";
const char* const kWritableError =
    "*** Error: \"%s\", Section %d \"%.*s\" is writable but its (QDL adjusted) address (0x%08X) is in the loader "
    "range (from 0x%08X to (0x%08X)).\n";
const char* const kDataError =
    "*** Error: \"%s\", Section %d \"%.*s\" is data but its (QDL adjusted) address (0x%08X) is outside the allowed "
    "data range (from 0x%08X to (0x%08X)). Check the .ld and .map file for potential overflow.\n";

// Name of a section in the address errors: "<NULL>" without a name table.
std::string_view errorName(const Elf32_Shdr& s) { return sectionName(s); }

void printAddressError(const char* format, uint32_t index, const Elf32_Shdr& s, uint32_t from, uint32_t to) {
    std::string_view name = errorName(s);
    printOut(format, settings().outputPath.c_str(), index, int(name.size()), name.data(), s.sh_addr, from, to);
}

void printClassLine(const char* word, uint32_t index) {
    if (!settings().verbose) return;
    std::string_view name = sectionNameAt(index);
    printOut("Section %d: %s \"%.*s\"\n", index, word, int(name.size()), name.data());
}

void extendRegion(RegionExtent& region, const Elf32_Shdr& s) {
    if (s.sh_addr < region.base) region.base = s.sh_addr;
    if (s.sh_addralign > region.align) region.align = s.sh_addralign;
    const uint32_t end = s.sh_addr + s.sh_size;
    if (end > region.end) region.end = end;
}

void keepSection(uint32_t index) {
    SectionIndexMap& map = toolState().module.indexMap;
    map.oldToNew[index] = int32_t(map.keptCount);
    map.newToOld[map.keptCount] = index;
    ++map.keptCount;
}

void resetRegions() {
    RegionExtent* regions = toolState().module.regions;
    regions[TEXT] = {kCodeRangeStart, kCodeRangeStart, 4};
    regions[DATA] = {kDataRangeStart, kDataRangeStart, 4};
    regions[LOAD] = {0xFFFFFFFF, 0, 4};
    regions[TEMP] = {0xFFFFFFFF, 0, 4};
}

// One section through the classification rules. False after an address error.
bool classifySection(uint32_t i) {
    ModuleState& module = toolState().module;
    Elf32_Shdr& s = *inputSectionHeader(i);
    SectionClass& cls = module.sectionClasses[i];
    module.indexMap.oldToNew[i] = -1;
    if (s.sh_size == 0) {
        cls = SectionClass::empty;
        printClassLine("empty", i);
        return true;
    }
    if (s.sh_type == SHT_IMPORT_TABLE) {
        cls = SectionClass::imports;
        printClassLine("imports", i);
        keepSection(i);
        ++module.indexMap.importSectionCount;
        return true;
    }
    if (s.sh_flags & SHF_ALLOC) {
        keepSection(i);
        if ((s.sh_flags & SHF_EXECINSTR) && s.sh_type != SHT_EXPORT_TABLE) {
            cls = SectionClass::text;
            printClassLine("text", i);
            if (s.sh_addr < kCodeRangeStart || s.sh_addr > kCodeRangeEnd) {
                printAddressError(kTextError, i, s, kCodeRangeStart, kCodeRangeEnd);
                return false;
            }
            extendRegion(module.regions[TEXT], s);
        } else if (s.sh_addr >= kLoaderRangeStart) {
            cls = SectionClass::load;
            printClassLine("load", i);
            if (s.sh_flags & SHF_WRITE) {
                printAddressError(kWritableError, i, s, kLoaderRangeStart, kLoaderRangeEnd);
                return false;
            }
            extendRegion(module.regions[LOAD], s);
        } else {
            cls = SectionClass::data;
            printClassLine("data", i);
            if (s.sh_addr < kDataRangeStart) {
                printAddressError(kDataError, i, s, kDataRangeStart, kDataRangeEnd);
                return false;
            }
            extendRegion(module.regions[DATA], s);
        }
        return true;
    }
    if (module.sectionUses[i] != 0) {
        cls = SectionClass::temp;
        printClassLine("temp", i);
        keepSection(i);
        RegionExtent& temp = module.regions[TEMP];
        temp.end = (temp.end + s.sh_size + 63) & ~63u;
        return true;
    }
    cls = SectionClass::omit;
    printClassLine("OMIT", i);
    s = Elf32_Shdr{};
    return true;
}

// Whether the contents of an import table share bytes with the symbol table's.
bool importTablesOverlapSymbols() {
    const SymbolTableView& view = toolState().symbols.view;
    const uint8_t* symbols = sectionContents(view.symbolTableIndex);
    if (!view.symbolTableHeader || !symbols) return false;
    const uint8_t* symbolsEnd = symbols + sectionContentsCapacity(view.symbolTableIndex);
    for (uint32_t i = 1; i < inputImage().sectionCount(); ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(i);
        if (s.sh_size == 0 || s.sh_type != SHT_IMPORT_TABLE) continue;
        const uint8_t* table = sectionContents(i);
        if (table && table < symbolsEnd && symbols < table + sectionContentsCapacity(i)) return true;
    }
    return false;
}

// Import tables go on 64-byte boundaries behind everything in the loader range.
int placeImportTables() {
    ModuleState& module = toolState().module;
    RegionExtent& load = module.regions[LOAD];
    if (load.base == 0xFFFFFFFF) {
        load.base = kLoaderRangeStart;
        load.end = kLoaderRangeStart;
        load.align = 64;
    }
    uint32_t cursor = load.end;
    // Finalising a table changes only its symbols' values, so the symbols
    // are grouped by section once for all the tables; unless a table's
    // header words lie over the symbol table, where writing them can change
    // the symbols of the tables after it.
    const bool grouped = !importTablesOverlapSymbols();
    const SymbolsBySection groups = grouped ? groupSymbolsBySection(inputImage().sectionCount()) : SymbolsBySection{};
    for (uint32_t i = 1; i < inputImage().sectionCount(); ++i) {
        Elf32_Shdr& s = *inputSectionHeader(i);
        if (s.sh_size == 0 || s.sh_type != SHT_IMPORT_TABLE) continue;
        cursor = (cursor + 63) & ~63u;
        if (finaliseImportTable(i, s, cursor, grouped ? &groups : nullptr) != 0) return -1;
        s.sh_flags &= ~SHF_WRITE;
        cursor += s.sh_size;
        load.end = cursor;
    }
    return 0;
}

void alignRegionBases() {
    RegionExtent* regions = toolState().module.regions;
    for (int r = TEXT; r <= TEMP; ++r) {
        RegionExtent& region = regions[r];
        if (region.base == 0xFFFFFFFF) {
            region.base = 0;
            continue;
        }
        const uint32_t align = region.align ? region.align : 1;
        if (region.base % align != 0) {
            printOut("WARN: Realigning region %d base.\n", r);
            region.base = (region.base / align) * align;
        }
    }
}

}  // namespace

void findLoadRangeEnd() {
    RegionExtent& load = toolState().module.regions[LOAD];
    load = {kLoaderRangeStart, kLoaderRangeStart, 4};
    for (uint32_t i = 1; i < inputImage().sectionCount(); ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(i);
        if (s.sh_size == 0 || !(s.sh_flags & SHF_ALLOC) || s.sh_addr < kLoaderRangeStart) continue;
        if (s.sh_flags & SHF_WRITE) {
            printAddressError(kWritableError, i, s, kLoaderRangeStart, kLoaderRangeEnd);
            return;
        }
        if (s.sh_addralign > load.align) load.align = s.sh_addralign;
        const uint32_t end = s.sh_addr + s.sh_size;
        if (end > load.end) load.end = end;
    }
}

void moveTableToLoadRange(Elf32_Shdr& header) {
    if (header.sh_flags & SHF_ALLOC) return;
    header.sh_flags |= SHF_ALLOC;
    uint32_t align = header.sh_addralign;
    if (align == 0 || (align & (align - 1)) != 0) align = 1;
    RegionExtent& load = toolState().module.regions[LOAD];
    const uint32_t address = (load.end + align - 1) & ~(align - 1);
    if (settings().verbose)
        printOut("Moved %s table from 0x%08X to 0x%08X\n", header.sh_type == SHT_STRTAB ? "stringTable" : "symbolTable",
                 header.sh_addr, address);
    header.sh_addr = address;
    load.end = address + header.sh_size;
}

int classifySections() {
    ModuleState& module = toolState().module;
    const uint32_t n = inputImage().sectionCount();

    findLoadRangeEnd();
    if (Elf32_Shdr* symbolTable = findSymbolTable()) {
        moveTableToLoadRange(*symbolTable);
        if (symbolTable->sh_link != 0)
            if (Elf32_Shdr* strings = inputSectionHeader(symbolTable->sh_link)) moveTableToLoadRange(*strings);
    }
    if (uint16_t names = inputImage().header().e_shstrndx)
        if (Elf32_Shdr* nameTable = inputSectionHeader(names)) moveTableToLoadRange(*nameTable);

    resetRegions();
    module.indexMap = SectionIndexMap{};
    module.indexMap.oldToNew.assign(n ? n : 1, -1);
    module.indexMap.newToOld.assign(n ? n : 1, 0);
    module.indexMap.oldToNew[0] = 0;
    module.sectionClasses.assign(n ? n : 1, SectionClass::empty);
    if (module.sectionUses.size() < n) module.sectionUses.resize(n, 0);

    for (uint32_t i = 1; i < n; ++i)
        if (!classifySection(i)) return -1;
    if (module.indexMap.importSectionCount != 0 && placeImportTables() != 0) return -1;
    alignRegionBases();
    return 0;
}
