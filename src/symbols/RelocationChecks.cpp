#include "symbols/RelocationChecks.h"

#include "core/Output.h"
#include "symbols/SymbolState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

// The small-data-area relocations that the loader refuses in a QDL.
bool isSdaRelocation(uint32_t type) {
    switch (type) {
        case R_PPC_EMB_SDAI16:
        case R_PPC_EMB_SDA2I16:
        case R_PPC_EMB_SDA2REL:
        case R_PPC_EMB_SDA21:
        case R_PPC_EMB_RELSDA:
        case R_PPC_DIAB_SDA21_LO:
        case R_PPC_DIAB_SDA21_HI:
        case R_PPC_DIAB_SDA21_HA:
        case R_PPC_DIAB_RELSDA_LO:
        case R_PPC_DIAB_RELSDA_HI:
        case R_PPC_DIAB_RELSDA_HA:
            return true;
        default:
            return false;
    }
}

bool isAllZeroHeader(const Elf32_Shdr* header) {
    return !header || (header->sh_name == 0 && header->sh_addr == 0 && header->sh_offset == 0 && header->sh_size == 0);
}

struct Name {
    int length;
    const char* text;
};
Name printable(std::string_view name) { return Name{int(name.size()), name.data()}; }

// What the rules need to know about the relocation section being checked.
struct SectionCheck {
    SymbolContext& ctx;
    int sectionIndex;
    uint32_t targetIndex;
    const Elf32_Shdr& target;
    Name targetName;
    bool isExportTable = false;
    bool dataExports = false;
    const uint8_t* exportContents = nullptr;
    uint32_t exportCapacity = 0;
    bool codeSection = false;
    const Elf32_Sym* symbols = nullptr;
    uint32_t symbolCount = 0;
    uint32_t sectionCount = 0;
    bool sdaError = false;
};

// One relocation entry and the symbol it names, when the table holds it.
struct EntryCheck {
    int entryIndex;
    const Elf32_Rela& rela;
    uint32_t type;
    uint32_t symbolIndex;
    bool symbolKnown;
    Elf32_Sym symbol;
};

// A symbol index past the table is refused where the symbol is first read,
// so that the rules that do not need it report first.
int refuseUnknownSymbol(const SectionCheck& section, const EntryCheck& entry) {
    printOut("***Error: Reloc sec %d, entry %d names symbol %d, but the symbol table holds %d symbols. "
             "Return -1.\n",
             section.sectionIndex, entry.entryIndex, int(entry.symbolIndex), int(section.symbolCount));
    return -1;
}

// Export tables: the name and the size are checked whether or not the table
// is allocated.
int checkExportTableHeader(SectionCheck& section) {
    std::string_view name = sectionName(section.ctx, section.target);
    if (name == ".dexports") {
        section.dataExports = true;
    } else if (name != ".fexports") {
        printOut("Section %d \"%.*s\" of ELF should be either \".fexports\" or \".dexports\". Return -1.\n",
                 int(section.targetIndex), section.targetName.length, section.targetName.text);
        return -1;
    }
    if (section.target.sh_size & 0x80000000u) {
        printOut("***Error: \"%.*s\" sec %d, is too large to load.  Section size is 0x%08X. Return -1.\n",
                 section.targetName.length, section.targetName.text, section.sectionIndex, section.target.sh_size);
        return -1;
    }
    section.exportContents = sectionContents(section.ctx, section.targetIndex);
    section.exportCapacity = sectionContentsCapacity(section.ctx, section.targetIndex);
    return 0;
}

// A QDL may not use the small data areas. Reported for every entry; the
// section fails at its end.
int checkSmallDataRule(SectionCheck& section, const EntryCheck& entry) {
    if (!section.ctx.settings.checkNoSda || !isSdaRelocation(entry.type)) return 0;
    printOut("***Error: QDL uses illegal SDA relocation %d.\n          Reloc sec %d, entry %d.\n", int(entry.type),
             section.sectionIndex, entry.entryIndex);
    if (!entry.symbolKnown) return refuseUnknownSymbol(section, entry);
    // Looked up between the two lines: its out-of-range warning prints there.
    const Name name = printable(symbolName(section.ctx, entry.symbol));
    printOut("          Symbol \"%.*s\".\n", name.length, name.text);
    section.sdaError = true;
    return 0;
}

// Data exports name data or TLS symbols, TLS ones only with the TLS flag in
// their name word; function exports name no data.
int checkExportSymbolKind(const SectionCheck& section, const EntryCheck& entry, uint32_t nameWord) {
    const Name& targetName = section.targetName;
    const int i = section.sectionIndex;
    const uint8_t kind = symbolType(entry.symbol);
    if (section.dataExports) {
        if (kind == STT_FUNC) {
            const Name name = printable(symbolName(section.ctx, entry.symbol));
            printOut("***Error: \"%.*s\" sec %d, has reference to a code symbol \"%.*s\". Check that .def file "
                     "has this symbol after [CODE]. Return -1.\n",
                     targetName.length, targetName.text, i, name.length, name.text);
            return -1;
        }
        if (kind == STT_TLS && !(nameWord & 0x80000000u)) {
            const Name name = printable(symbolName(section.ctx, entry.symbol));
            printOut("***Error: Export symbol \"%.*s\" is unexpectedly a TLS symbol. Clobber and rebuild with "
                     "current qdlscan[32|64]. Return -1.\n",
                     name.length, name.text);
            return -1;
        }
    } else if (kind == STT_OBJECT || kind == STT_TLS) {
        const Name name = printable(symbolName(section.ctx, entry.symbol));
        printOut("***Error: \"%.*s\" sec %d, has reference to a data symbol \"%.*s\". Check that .def file has "
                 "this symbol after [DATA]. Return -1.\n",
                 targetName.length, targetName.text, i, name.length, name.text);
        return -1;
    }
    return 0;
}

// An export entry must lie inside its table, with data behind it, and name
// the right kind of symbol.
int checkExportEntryRule(const SectionCheck& section, const EntryCheck& entry) {
    if (!section.isExportTable) return 0;
    const Elf32_Shdr& target = section.target;
    const Name& targetName = section.targetName;
    const int i = section.sectionIndex;
    const uint32_t offset = entry.rela.r_offset - target.sh_addr;
    const uint64_t end = uint64_t(offset) + 8;
    if (!section.exportContents || end >= target.sh_size || end > section.exportCapacity) {
        printOut("***Error: \"%.*s\" sec %d, can't get its data 0x%08X or a relocation offset 0x%08X is too "
                 "large for the section 0x%08X. Return -1.\n",
                 targetName.length, targetName.text, i, section.exportContents ? target.sh_offset : 0u,
                 uint32_t(end), target.sh_size);
        return -1;
    }
    if (!entry.symbolKnown) return refuseUnknownSymbol(section, entry);
    return checkExportSymbolKind(section, entry, readBe32(section.exportContents + (offset & ~7u) + 4));
}

// Code is not readable in a module: no 32-bit absolute references from it.
int checkCodeAddress32Rule(const SectionCheck& section, const EntryCheck& entry) {
    const ToolSettings& options = section.ctx.settings;
    if (!section.codeSection || entry.type != R_PPC_ADDR32 || options.allowCode32) return 0;
    if (!entry.symbolKnown) return refuseUnknownSymbol(section, entry);
    const Name name = printable(symbolName(section.ctx, entry.symbol));
    printOut("***Error: \"%s\", 32-bit reference from code @ 0x%8.8x to 0x%8.8x (%.*s) is illegal (reloc # "
             "%d)\n",
             options.outputPath.c_str(), entry.rela.r_offset, entry.symbol.st_value + uint32_t(entry.rela.r_addend),
             name.length, name.text, entry.entryIndex);
    printOut("***Error: are illegal (code is not readable).\n");
    return -1;
}

// Nothing in the module may refer to a section that is not loaded, unless
// the reference is weak.
int checkNonAllocatedRule(const SectionCheck& section, const EntryCheck& entry) {
    if (!entry.symbolKnown) return refuseUnknownSymbol(section, entry);
    const Elf32_Sym& symbol = entry.symbol;
    if (symbol.st_shndx >= section.sectionCount) return 0;
    const Elf32_Shdr* home = sectionHeaderAt(section.ctx, symbol.st_shndx);
    if (isAllZeroHeader(home) || (home->sh_flags & SHF_ALLOC) || symbolBinding(symbol) == STB_WEAK) return 0;
    printOut("***Error: \"%s\", Relocation in sec %d, entry %d uses symbol '",
             section.ctx.settings.outputPath.c_str(), section.sectionIndex, entry.entryIndex);
    const Name name = printable(symbolName(section.ctx, symbol));
    const Name homeName = printable(sectionNameAt(section.ctx, symbol.st_shndx));
    printOut("%.*s' from non-allocated section '%.*s'.\n", name.length, name.text, homeName.length, homeName.text);
    return -1;
}

// The rules in the order they report.
int checkEntry(SectionCheck& section, const EntryCheck& entry) {
    if (int result = checkSmallDataRule(section, entry)) return result;
    if (int result = checkExportEntryRule(section, entry)) return result;
    if (int result = checkCodeAddress32Rule(section, entry)) return result;
    return checkNonAllocatedRule(section, entry);
}

}  // namespace

int checkRelocationSection(SymbolContext& ctx, const Elf32_Shdr& relocationSection, uint32_t index) {
    const uint32_t targetIndex = relocationSection.sh_info;
    const Elf32_Shdr* target = sectionHeaderAt(ctx, targetIndex);
    if (!target) {
        printOut("***Error: Reloc sec %d patches section %d, which the ELF file does not have. Return -1.\n",
                 int(index), int(targetIndex));
        return -1;
    }
    SectionCheck section{ctx, int(index), targetIndex, *target, printable(sectionName(ctx, *target))};
    section.isExportTable = target->sh_type == SHT_EXPORT_TABLE;
    if (section.isExportTable) {
        if (int result = checkExportTableHeader(section)) return result;
    }

    // Relocations of non-allocated sections are not examined.
    if (!(target->sh_flags & SHF_ALLOC)) return 0;

    const EntrySpan<Elf32_Rela> entries = relocationEntries(ctx, index);
    section.symbols = viewSymbols(ctx, section.symbolCount);
    section.sectionCount = ctx.input.image.sectionCount();
    section.codeSection = (target->sh_flags & SHF_EXECINSTR) && !section.isExportTable &&
                          target->sh_type != SHT_IMPORT_TABLE;

    for (uint32_t entryIndex = 0; entryIndex < entries.count; ++entryIndex) {
        const Elf32_Rela& rela = entries[entryIndex];
        const uint32_t type = relocationType(rela.r_info);
        if (type == R_PPC_NONE) continue;
        const uint32_t symbolIndex = relocationSymbol(rela.r_info);
        const bool symbolKnown = symbolIndex < section.symbolCount;
        const EntryCheck entry{int(entryIndex), rela, type, symbolIndex, symbolKnown,
                               symbolKnown ? section.symbols[symbolIndex] : Elf32_Sym{}};
        if (int result = checkEntry(section, entry)) return result;
    }
    return section.sdaError ? -1 : 0;
}

int checkAllRelocations(SymbolContext& ctx) {
    const uint32_t count = ctx.input.image.bytes ? ctx.input.image.sectionCount() : 0;
    for (uint32_t i = 1; i < count; ++i) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        if (!header || header->sh_type != SHT_RELA || header->sh_size == 0) continue;
        int result = checkRelocationSection(ctx, *header, i);
        if (result != 0) return result;
    }
    return 0;
}
