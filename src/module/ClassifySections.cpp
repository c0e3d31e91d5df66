#include "module/ClassifySections.h"

#include "core/Output.h"
#include "module/ModuleState.h"
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
std::string_view errorName(ModuleContext& ctx, const Elf32_Shdr& s) { return sectionName(ctx, s); }

void printAddressError(ModuleContext& ctx, const char* format, uint32_t index, const Elf32_Shdr& s, uint32_t from, uint32_t to) {
    std::string_view name = errorName(ctx, s);
    printOut(format, ctx.settings.outputPath.c_str(), index, int(name.size()), name.data(), s.sh_addr, from, to);
}

void printClassLine(ModuleContext& ctx, const char* word, uint32_t index) {
    if (!ctx.settings.verbose) return;
    std::string_view name = sectionNameAt(ctx, index);
    printOut("Section %d: %s \"%.*s\"\n", index, word, int(name.size()), name.data());
}

void extendRegion(RegionExtent& region, const Elf32_Shdr& s) {
    if (s.sh_addr < region.base) region.base = s.sh_addr;
    if (s.sh_addralign > region.align) region.align = s.sh_addralign;
    const uint32_t end = s.sh_addr + s.sh_size;
    if (end > region.end) region.end = end;
}

void keepSection(ModuleContext& ctx, uint32_t index) {
    SectionIndexMap& map = ctx.module.indexMap;
    map.oldToNew[index] = int32_t(map.keptCount);
    map.newToOld[map.keptCount] = index;
    ++map.keptCount;
}

void resetRegions(ModuleContext& ctx) {
    RegionExtent* regions = ctx.module.regions;
    regions[TEXT] = {kCodeRangeStart, kCodeRangeStart, 4};
    regions[DATA] = {kDataRangeStart, kDataRangeStart, 4};
    regions[LOAD] = {0xFFFFFFFF, 0, 4};
    regions[TEMP] = {0xFFFFFFFF, 0, 4};
}

// One section through the classification rules. False after an address error.
bool classifySection(ModuleContext& ctx, uint32_t i) {
    ModuleState& module = ctx.module;
    Elf32_Shdr& s = *inputSectionHeader(ctx, i);
    SectionClass& cls = module.sectionClasses[i];
    module.indexMap.oldToNew[i] = -1;
    if (s.sh_size == 0) {
        cls = SectionClass::empty;
        printClassLine(ctx, "empty", i);
        return true;
    }
    if (s.sh_type == SHT_IMPORT_TABLE) {
        cls = SectionClass::imports;
        printClassLine(ctx, "imports", i);
        keepSection(ctx, i);
        ++module.indexMap.importSectionCount;
        return true;
    }
    if (s.sh_flags & SHF_ALLOC) {
        keepSection(ctx, i);
        if ((s.sh_flags & SHF_EXECINSTR) && s.sh_type != SHT_EXPORT_TABLE) {
            cls = SectionClass::text;
            printClassLine(ctx, "text", i);
            if (s.sh_addr < kCodeRangeStart || s.sh_addr > kCodeRangeEnd) {
                printAddressError(ctx, kTextError, i, s, kCodeRangeStart, kCodeRangeEnd);
                return false;
            }
            extendRegion(module.regions[TEXT], s);
        } else if (s.sh_addr >= kLoaderRangeStart) {
            cls = SectionClass::load;
            printClassLine(ctx, "load", i);
            if (s.sh_flags & SHF_WRITE) {
                printAddressError(ctx, kWritableError, i, s, kLoaderRangeStart, kLoaderRangeEnd);
                return false;
            }
            extendRegion(module.regions[LOAD], s);
        } else {
            cls = SectionClass::data;
            printClassLine(ctx, "data", i);
            if (s.sh_addr < kDataRangeStart) {
                printAddressError(ctx, kDataError, i, s, kDataRangeStart, kDataRangeEnd);
                return false;
            }
            extendRegion(module.regions[DATA], s);
        }
        return true;
    }
    if (ctx.symbols.sectionUses[i] != 0) {
        cls = SectionClass::temp;
        printClassLine(ctx, "temp", i);
        keepSection(ctx, i);
        RegionExtent& temp = module.regions[TEMP];
        temp.end = (temp.end + s.sh_size + 63) & ~63u;
        return true;
    }
    cls = SectionClass::omit;
    printClassLine(ctx, "OMIT", i);
    s = Elf32_Shdr{};
    return true;
}

// Whether the contents of an import table share bytes with the symbol table's.
bool importTablesOverlapSymbols(ModuleContext& ctx) {
    const SymbolTableView& view = ctx.symbols.view;
    const uint8_t* symbols = sectionContents(ctx, view.symbolTableIndex);
    if (!view.symbolTableHeader || !symbols) return false;
    const uint8_t* symbolsEnd = symbols + sectionContentsCapacity(ctx, view.symbolTableIndex);
    for (uint32_t i = 1; i < ctx.input.image.sectionCount(); ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(ctx, i);
        if (s.sh_size == 0 || s.sh_type != SHT_IMPORT_TABLE) continue;
        const uint8_t* table = sectionContents(ctx, i);
        if (table && table < symbolsEnd && symbols < table + sectionContentsCapacity(ctx, i)) return true;
    }
    return false;
}

// Import tables go on 64-byte boundaries behind everything in the loader range.
int placeImportTables(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
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
    const bool grouped = !importTablesOverlapSymbols(ctx);
    const SymbolsBySection groups = grouped ? groupSymbolsBySection(ctx, ctx.input.image.sectionCount()) : SymbolsBySection{};
    for (uint32_t i = 1; i < ctx.input.image.sectionCount(); ++i) {
        Elf32_Shdr& s = *inputSectionHeader(ctx, i);
        if (s.sh_size == 0 || s.sh_type != SHT_IMPORT_TABLE) continue;
        cursor = (cursor + 63) & ~63u;
        if (finaliseImportTable(ctx, i, s, cursor, grouped ? &groups : nullptr) != 0) return -1;
        s.sh_flags &= ~SHF_WRITE;
        cursor += s.sh_size;
        load.end = cursor;
    }
    return 0;
}

void alignRegionBases(ModuleContext& ctx) {
    RegionExtent* regions = ctx.module.regions;
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

void findLoadRangeEnd(ModuleContext& ctx) {
    RegionExtent& load = ctx.module.regions[LOAD];
    load = {kLoaderRangeStart, kLoaderRangeStart, 4};
    for (uint32_t i = 1; i < ctx.input.image.sectionCount(); ++i) {
        const Elf32_Shdr& s = *inputSectionHeader(ctx, i);
        if (s.sh_size == 0 || !(s.sh_flags & SHF_ALLOC) || s.sh_addr < kLoaderRangeStart) continue;
        if (s.sh_flags & SHF_WRITE) {
            printAddressError(ctx, kWritableError, i, s, kLoaderRangeStart, kLoaderRangeEnd);
            return;
        }
        if (s.sh_addralign > load.align) load.align = s.sh_addralign;
        const uint32_t end = s.sh_addr + s.sh_size;
        if (end > load.end) load.end = end;
    }
}

void moveTableToLoadRange(ModuleContext& ctx, Elf32_Shdr& header) {
    if (header.sh_flags & SHF_ALLOC) return;
    header.sh_flags |= SHF_ALLOC;
    uint32_t align = header.sh_addralign;
    if (align == 0 || (align & (align - 1)) != 0) align = 1;
    RegionExtent& load = ctx.module.regions[LOAD];
    const uint32_t address = (load.end + align - 1) & ~(align - 1);
    if (ctx.settings.verbose)
        printOut("Moved %s table from 0x%08X to 0x%08X\n", header.sh_type == SHT_STRTAB ? "stringTable" : "symbolTable",
                 header.sh_addr, address);
    header.sh_addr = address;
    load.end = address + header.sh_size;
}

int classifySections(ModuleContext& ctx) {
    ModuleState& module = ctx.module;
    const uint32_t n = ctx.input.image.sectionCount();

    findLoadRangeEnd(ctx);
    if (Elf32_Shdr* symbolTable = findSymbolTable(ctx)) {
        moveTableToLoadRange(ctx, *symbolTable);
        if (symbolTable->sh_link != 0)
            if (Elf32_Shdr* strings = inputSectionHeader(ctx, symbolTable->sh_link)) moveTableToLoadRange(ctx, *strings);
    }
    if (uint16_t names = ctx.input.image.header().e_shstrndx)
        if (Elf32_Shdr* nameTable = inputSectionHeader(ctx, names)) moveTableToLoadRange(ctx, *nameTable);

    resetRegions(ctx);
    module.indexMap = SectionIndexMap{};
    module.indexMap.oldToNew.assign(n ? n : 1, -1);
    module.indexMap.newToOld.assign(n ? n : 1, 0);
    module.indexMap.oldToNew[0] = 0;
    module.sectionClasses.assign(n ? n : 1, SectionClass::empty);
    if (ctx.symbols.sectionUses.size() < n) ctx.symbols.sectionUses.resize(n, 0);

    for (uint32_t i = 1; i < n; ++i)
        if (!classifySection(ctx, i)) return -1;
    if (module.indexMap.importSectionCount != 0 && placeImportTables(ctx) != 0) return -1;
    alignRegionBases(ctx);
    return 0;
}
