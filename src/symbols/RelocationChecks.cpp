#include "symbols/RelocationChecks.h"

#include "driver/Output.h"
#include "driver/ToolState.h"
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

}  // namespace

int checkRelocationSection(const Elf32_Shdr& relocationSection, uint32_t index) {
    const int i = int(index);
    const uint32_t targetIndex = relocationSection.sh_info;
    const Elf32_Shdr* target = sectionHeaderAt(targetIndex);
    if (!target) {
        printOut("***Error: Reloc sec %d patches section %d, which the ELF file does not have. Return -1.\n", i,
                 int(targetIndex));
        return -1;
    }
    const Name targetName = printable(sectionName(*target));

    // Export tables: the name and the size are checked whether or not the
    // table is allocated.
    const bool isExportTable = target->sh_type == SHT_EXPORT_TABLE;
    bool dataExports = false;
    const uint8_t* exportContents = nullptr;
    uint32_t exportCapacity = 0;
    if (isExportTable) {
        std::string_view name = sectionName(*target);
        if (name == ".dexports") {
            dataExports = true;
        } else if (name != ".fexports") {
            printOut("Section %d \"%.*s\" of ELF should be either \".fexports\" or \".dexports\". Return -1.\n",
                     int(targetIndex), targetName.length, targetName.text);
            return -1;
        }
        if (target->sh_size & 0x80000000u) {
            printOut("***Error: \"%.*s\" sec %d, is too large to load.  Section size is 0x%08X. Return -1.\n",
                     targetName.length, targetName.text, i, target->sh_size);
            return -1;
        }
        exportContents = sectionContents(targetIndex);
        exportCapacity = sectionContentsCapacity(targetIndex);
    }

    // Relocations of non-allocated sections are not examined.
    if (!(target->sh_flags & SHF_ALLOC)) return 0;

    const uint8_t* entries = sectionContents(index);
    uint32_t readable = sectionContentsCapacity(index);
    if (readable > relocationSection.sh_size) readable = relocationSection.sh_size;
    const uint32_t entryCount = entries ? readable / sizeof(Elf32_Rela) : 0;

    uint32_t symbolCount = 0;
    const Elf32_Sym* symbols = viewSymbols(symbolCount);
    const uint32_t sectionCount = inputImage().sectionCount();
    const ToolSettings& options = settings();
    const bool codeSection = (target->sh_flags & SHF_EXECINSTR) && !isExportTable &&
                             target->sh_type != SHT_IMPORT_TABLE;
    bool sdaError = false;

    for (uint32_t entryIndex = 0; entryIndex < entryCount; ++entryIndex) {
        const int j = int(entryIndex);
        const Elf32_Rela& rela = reinterpret_cast<const Elf32_Rela*>(entries)[entryIndex];
        const uint32_t type = relocationType(rela.r_info);
        if (type == R_PPC_NONE) continue;
        const uint32_t symbolIndex = relocationSymbol(rela.r_info);
        // A symbol index past the table is refused where the symbol is first
        // read, so that the rules that do not need it report first.
        const bool symbolKnown = symbolIndex < symbolCount;
        const Elf32_Sym& symbol = symbolKnown ? symbols[symbolIndex] : Elf32_Sym{};
        auto unknownSymbol = [&] {
            printOut("***Error: Reloc sec %d, entry %d names symbol %d, but the symbol table holds %d symbols. "
                     "Return -1.\n",
                     i, j, int(symbolIndex), int(symbolCount));
            return -1;
        };

        // A QDL may not use the small data areas. Reported for every entry,
        // the section fails at its end.
        if (options.checkNoSda && isSdaRelocation(type)) {
            printOut("***Error: QDL uses illegal SDA relocation %d.\n          Reloc sec %d, entry %d.\n", int(type), i,
                     j);
            if (!symbolKnown) return unknownSymbol();
            // Looked up between the two lines: its out-of-range warning prints there.
            const Name name = printable(symbolName(symbol));
            printOut("          Symbol \"%.*s\".\n", name.length, name.text);
            sdaError = true;
        }

        // An export entry must lie inside its table, with data behind it, and
        // name the right kind of symbol.
        if (isExportTable) {
            const uint32_t offset = rela.r_offset - target->sh_addr;
            const uint64_t end = uint64_t(offset) + 8;
            if (!exportContents || end >= target->sh_size || end > exportCapacity) {
                printOut("***Error: \"%.*s\" sec %d, can't get its data 0x%08X or a relocation offset 0x%08X is too "
                         "large for the section 0x%08X. Return -1.\n",
                         targetName.length, targetName.text, i, exportContents ? target->sh_offset : 0u,
                         uint32_t(end), target->sh_size);
                return -1;
            }
            if (!symbolKnown) return unknownSymbol();
            const uint32_t nameWord = readBe32(exportContents + (offset & ~7u) + 4);
            const uint8_t kind = symbolType(symbol);
            if (dataExports) {
                if (kind == STT_FUNC) {
                    const Name name = printable(symbolName(symbol));
                    printOut("***Error: \"%.*s\" sec %d, has reference to a code symbol \"%.*s\". Check that .def file "
                             "has this symbol after [CODE]. Return -1.\n",
                             targetName.length, targetName.text, i, name.length, name.text);
                    return -1;
                }
                if (kind == STT_TLS && !(nameWord & 0x80000000u)) {
                    const Name name = printable(symbolName(symbol));
                    printOut("***Error: Export symbol \"%.*s\" is unexpectedly a TLS symbol. Clobber and rebuild with "
                             "current qdlscan[32|64]. Return -1.\n",
                             name.length, name.text);
                    return -1;
                }
            } else if (kind == STT_OBJECT || kind == STT_TLS) {
                const Name name = printable(symbolName(symbol));
                printOut("***Error: \"%.*s\" sec %d, has reference to a data symbol \"%.*s\". Check that .def file has "
                         "this symbol after [DATA]. Return -1.\n",
                         targetName.length, targetName.text, i, name.length, name.text);
                return -1;
            }
        }

        // Code is not readable in a module: no 32-bit absolute references from it.
        if (codeSection && type == R_PPC_ADDR32 && !options.allowCode32) {
            if (!symbolKnown) return unknownSymbol();
            const Name name = printable(symbolName(symbol));
            printOut("***Error: \"%s\", 32-bit reference from code @ 0x%8.8x to 0x%8.8x (%.*s) is illegal (reloc # "
                     "%d)\n",
                     options.outputPath.c_str(), rela.r_offset, symbol.st_value + uint32_t(rela.r_addend), name.length,
                     name.text, j);
            printOut("***Error: are illegal (code is not readable).\n");
            return -1;
        }

        // Nothing in the module may refer to a section that is not loaded,
        // unless the reference is weak.
        if (!symbolKnown) return unknownSymbol();
        if (symbol.st_shndx < sectionCount) {
            const Elf32_Shdr* home = sectionHeaderAt(symbol.st_shndx);
            if (!isAllZeroHeader(home) && !(home->sh_flags & SHF_ALLOC) && symbolBinding(symbol) != STB_WEAK) {
                printOut("***Error: \"%s\", Relocation in sec %d, entry %d uses symbol '", options.outputPath.c_str(),
                         i, j);
                const Name name = printable(symbolName(symbol));
                const Name homeName = printable(sectionNameAt(symbol.st_shndx));
                printOut("%.*s' from non-allocated section '%.*s'.\n", name.length, name.text, homeName.length,
                         homeName.text);
                return -1;
            }
        }
    }
    return sdaError ? -1 : 0;
}

int checkAllRelocations() {
    const uint32_t count = inputImage().bytes ? inputImage().sectionCount() : 0;
    for (uint32_t i = 1; i < count; ++i) {
        const Elf32_Shdr* header = sectionHeaderAt(i);
        if (!header || header->sh_type != SHT_RELA || header->sh_size == 0) continue;
        int result = checkRelocationSection(*header, i);
        if (result != 0) return result;
    }
    return 0;
}
