#include "symbols/RebuildSymbols.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "core/Output.h"
#include "symbols/SymbolState.h"
#include "elf/SectionContents.h"
#include "symbols/SymbolAccess.h"

namespace {

SymbolState& symState(SymbolContext& ctx) { return ctx.symbols; }
SymbolTableView& view(SymbolContext& ctx) { return ctx.symbols.view; }

uint32_t sectionCount(SymbolContext& ctx) {
    const ElfImage& image = ctx.input.image;
    return image.bytes ? image.sectionCount() : 0;
}

// Header of an existing section (index below e_shnum), else nullptr.
Elf32_Shdr* existingSection(SymbolContext& ctx, uint32_t index) {
    if (index == 0 || index >= sectionCount(ctx)) return nullptr;
    return sectionHeaderAt(ctx, index);
}

uint32_t sectionUses(SymbolContext& ctx, uint32_t index) {
    const auto& uses = ctx.symbols.sectionUses;
    return index < uses.size() ? uses[index] : 0;
}

// A name as the string table holds it: up to its NUL.
std::string_view upToNul(std::string_view name) {
    size_t end = name.find('\0');
    return end == std::string_view::npos ? name : name.substr(0, end);
}

std::string_view nameOfSymbol(SymbolContext& ctx, const Elf32_Sym& symbol) { return upToNul(symbolName(ctx, symbol)); }

// The name a dump shows for a section index: empty for indices above 0xFF00,
// for negative ones and for indices that name no section header.
std::string_view dumpSectionName(SymbolContext& ctx, int64_t index) {
    if (index < 0 || index > 0xFF00 || uint64_t(index) >= sectionCount(ctx)) return {};
    return upToNul(sectionNameAt(ctx, uint32_t(index)));
}

bool isRelocationSection(const Elf32_Shdr* header) {
    return header && header->sh_size != 0 && header->sh_type == SHT_RELA;
}

// The defining section of a symbol, when 0 < st_shndx < e_shnum.
const SectionRole* definingRole(SymbolContext& ctx, const Elf32_Sym& symbol) {
    const auto& roles = symState(ctx).sectionRoles;
    if (symbol.st_shndx == 0 || symbol.st_shndx >= sectionCount(ctx) || symbol.st_shndx >= roles.size())
        return nullptr;
    return &roles[symbol.st_shndx];
}

void printSectionPart(uint32_t value, uint8_t info, std::string_view section, int sectionIndex) {
    printOut(" 0x%8.8x %-6s %-5s %-10.*s(%d)", value, symbolBindingName(info), symbolTypeName(info),
             int(section.size()), section.data(), sectionIndex);
}

void printSizePart(uint32_t size) {
    if (size != 0)
        printOut(" size = %d\n", int(size));
    else
        printOut("\n");
}

// Writes the rebuilt symbol array over the input's or gives the symbol
// table room of its own when it does not fit there.
void installSymbols(SymbolContext& ctx, uint32_t sectionIndex, Elf32_Shdr& header, std::vector<Elf32_Sym>& symbols) {
    SymbolTableView& tables = view(ctx);
    uint64_t bytes = uint64_t(symbols.size()) * sizeof(Elf32_Sym);
    uint8_t* contents = sectionContents(ctx, sectionIndex);
    if (contents && bytes <= sectionContentsCapacity(ctx, sectionIndex)) {
        std::memcpy(contents, symbols.data(), size_t(bytes));
    } else {
        std::vector<uint8_t> own(static_cast<size_t>(bytes));
        std::memcpy(own.data(), symbols.data(), size_t(bytes));
        contents = replaceSectionContents(ctx, sectionIndex, std::move(own));
    }
    header.sh_size = uint32_t(bytes);
    tables.symbols = reinterpret_cast<Elf32_Sym*>(contents);
    tables.symbolCount = uint32_t(symbols.size());
}

void installStrings(SymbolContext& ctx, uint32_t sectionIndex, Elf32_Shdr& header, std::vector<uint8_t>& strings) {
    SymbolTableView& tables = view(ctx);
    uint8_t* contents = sectionContents(ctx, sectionIndex);
    if (contents && strings.size() <= symbolStringsReadable(ctx)) {
        std::memcpy(contents, strings.data(), strings.size());
    } else {
        contents = replaceSectionContents(ctx, sectionIndex, std::move(strings));
    }
    uint32_t size = uint32_t(symState(ctx).newStringTableSize);
    header.sh_size = size;
    tables.strings = reinterpret_cast<const char*>(contents);
    tables.stringSize = size;
}

}  // namespace

const char* symbolBindingName(uint8_t info) {
    switch (info >> 4) {
        case STB_LOCAL: return "local";
        case STB_GLOBAL: return "global";
        case STB_WEAK: return "weak";
        default: return "other";
    }
}

const char* symbolTypeName(uint8_t info) {
    switch (info & 0xF) {
        case STT_NOTYPE: return "none";
        case STT_OBJECT: return "data";
        case STT_FUNC: return "code";
        case STT_SECTION: return "sect";
        case STT_FILE: return "file";
        case STT_TLS: return "tlsdata";
        default: return "other";
    }
}

void classifySectionsForSymbols(SymbolContext& ctx) {
    SymbolState& state = symState(ctx);
    uint32_t count = sectionCount(ctx);
    state.sectionRoles.assign(count, SectionRole{});
    state.textBase = 0xFFFFFFFF;
    state.dataBase = 0xFFFFFFFF;
    state.textBaseSection = -1;
    state.dataBaseSection = -1;
    for (uint32_t i = 1; i < count; ++i) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        if (!header) continue;
        SectionRole& role = state.sectionRoles[i];
        if (header->sh_type == SHT_EXPORT_TABLE) role.isExport = 1;
        if (header->sh_type == SHT_IMPORT_TABLE) {
            role.isImport = 1;
            role.kind = 2;
        } else if (header->sh_flags & SHF_TLS_DATA) {
            role.isTls = 1;
            role.kind = 1;
        } else if (header->sh_addr >= kDataRangeStart && header->sh_addr <= kDataRangeEnd) {
            role.kind = 1;
            if (sectionUses(ctx, i) != 0 && header->sh_addr < state.dataBase) {
                state.dataBase = header->sh_addr;
                state.dataBaseSection = int32_t(i);
            }
        } else if (header->sh_addr >= kCodeRangeStart && header->sh_addr <= kCodeRangeEnd) {
            role.kind = 0;
            if (sectionUses(ctx, i) != 0 && header->sh_addr < state.textBase) {
                state.textBase = header->sh_addr;
                state.textBaseSection = int32_t(i);
            }
        } else {
            role.kind = 3;
        }
    }
}

void markRelocatedSymbols(SymbolContext& ctx) {
    SymbolState& state = symState(ctx);
    uint32_t symbolCount = state.inputSymbolCount;
    uint32_t count = sectionCount(ctx);
    for (uint32_t i = 1; i < count; ++i) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        if (!isRelocationSection(header)) continue;
        const Elf32_Shdr* target = existingSection(ctx, header->sh_info);
        uint8_t patchesExports = target && target->sh_type == SHT_EXPORT_TABLE ? 1 : 0;
        const EntrySpan<Elf32_Rela> rela = relocationEntries(ctx, i);
        for (uint32_t j = 0; j < rela.count; ++j) {
            uint32_t info = rela[j].r_info;
            uint32_t s = relocationSymbol(info);
            if (relocationType(info) == R_PPC_NONE || s == 0 || s >= symbolCount) continue;
            state.symbolInfos[s].referenced = 1;
            state.symbolInfos[s].export_ = patchesExports;
        }
    }
}

bool isPlainName(SymbolContext& ctx, uint32_t symbolIndex) {
    std::string_view name = nameOfSymbol(ctx, view(ctx).symbols[symbolIndex]);
    return !name.empty() && name[0] != '.' && name.find("..") == std::string_view::npos;
}

void analyseSymbols(SymbolContext& ctx) {
    SymbolState& state = symState(ctx);
    bool strip = ctx.settings.stripSymbolStrings;
    for (uint32_t i = 1; i < state.inputSymbolCount; ++i) {
        const Elf32_Sym& symbol = view(ctx).symbols[i];
        SymbolInfo& info = state.symbolInfos[i];
        const SectionRole* role = definingRole(ctx, symbol);
        info.empty = symbol.st_size == 0;
        info.absolute = symbol.st_shndx == SHN_ABS;
        info.undef = symbol.st_shndx == SHN_UNDEF || (role && role->isExport);
        switch (symbolType(symbol)) {
            case STT_FUNC:
                if (symbol.st_size != 0 && !strip && isPlainName(ctx, i)) info.func = 1;
                [[fallthrough]];
            case STT_NOTYPE:
            case STT_OBJECT:
            case STT_TLS:
                if (role) {
                    info.code = role->kind == 0;
                    info.data = role->kind == 1;
                    info.import = role->isImport;
                    info.tls = role->isTls;
                }
                break;
            case STT_SECTION:
                info.sect = 1;
                if (sectionUses(ctx, symbol.st_shndx) == 0) info.empty = 1;
                break;
            default:
                break;
        }
        if (info.import || info.tls) continue;
        if (info.code) {
            info.use_id = 1;
            info.offset = symbol.st_value - state.textBase;
        } else if (info.data) {
            info.use_id = 2;
            info.offset = symbol.st_value - state.dataBase;
        } else if (info.undef) {
            info.use_id = 3;
            info.offset = 0;
        } else if (info.sect && !info.empty) {
            if (symbol.st_value >= state.dataBase) {
                info.use_id = 2;
                info.offset = symbol.st_value - state.dataBase;
            } else if (symbol.st_value >= state.textBase) {
                info.use_id = 1;
                info.offset = symbol.st_value - state.textBase;
            }
        }
    }
}

void assignNewSymbolId(SymbolContext& ctx, uint32_t symbolIndex) {
    SymbolState& state = symState(ctx);
    SymbolInfo& info = state.symbolInfos[symbolIndex];
    if (info.new_id != 0) {
        printOut("ERROR: sym %d already has new symid %d wanted to number %d\n", int(symbolIndex), int(info.new_id),
                 int(state.nextNewSymbolId));
        return;
    }
    info.new_id = state.nextNewSymbolId++;
    info.nameLength = uint32_t(nameOfSymbol(ctx, view(ctx).symbols[symbolIndex]).size());
    state.newStringTableSize += uint64_t(info.nameLength) + 1;
}

void numberKeptSymbols(SymbolContext& ctx) {
    SymbolState& state = symState(ctx);
    state.nextNewSymbolId = 4;
    state.newStringTableSize = 20;
    for (uint32_t i = 1; i < state.inputSymbolCount; ++i) {
        const SymbolInfo& info = state.symbolInfos[i];
        bool keep = (info.sect && (!info.empty || info.referenced)) || info.export_ || info.tls ||
                    (info.referenced && (info.import || info.absolute)) || (info.func && !info.import);
        if (keep) assignNewSymbolId(ctx, i);
    }
}

void dumpSymbolInfo(SymbolContext& ctx, uint32_t symbolIndex) {
    const SymbolInfo& info = symState(ctx).symbolInfos[symbolIndex];
    printOut("     %4d: export:%d import:%d func:%d code:%d data:%d sect:%d referenced:%d undef:%d new_id:%d "
             "use_id:%d offset:0x%8.8x\n",
             int(symbolIndex), info.export_, info.import, info.func, info.code, info.data, info.sect,
             info.referenced, info.undef, int(info.new_id), int(info.use_id), info.offset);
}

void dumpPlannedSymbol(SymbolContext& ctx, uint32_t newIndex, uint32_t symbolIndex) {
    const Elf32_Sym& symbol = view(ctx).symbols[symbolIndex];
    const SymbolInfo& info = symState(ctx).symbolInfos[symbolIndex];
    printOut("%4d|%4d:", int(newIndex), int(symbolIndex));
    printSectionPart(symbol.st_value, symbol.st_info, dumpSectionName(ctx, symbol.st_shndx), symbol.st_shndx);
    switch (info.use_id) {
        case 1: printOut(" $TEXT+0x%8.8x", info.offset); break;
        case 2: printOut(" $DATA+0x%8.8x", info.offset); break;
        case 3: printOut(" $UNDEF+0x%8.8x", info.offset); break;
        default: break;
    }
    std::string_view name = nameOfSymbol(ctx, symbol);
    printOut(" %.*s", int(name.size()), name.data());
    printSizePart(symbol.st_size);
    dumpSymbolInfo(ctx, symbolIndex);
}

void dumpPlannedSymbolTable(SymbolContext& ctx) {
    SymbolState& state = symState(ctx);
    printOut("\n\nPLANED SYMBOL TABLE\n");
    std::string_view textName = dumpSectionName(ctx, state.textBaseSection);
    printOut("%4d: 0x%8.8x %-6s %-5s %-10.*s(%d) %s\n", 1, state.textBase, "local", "sect", int(textName.size()),
             textName.data(), state.textBaseSection, "$TEXT");
    std::string_view dataName = dumpSectionName(ctx, state.dataBaseSection);
    printOut("%4d: 0x%8.8x %-6s %-5s %-10.*s(%d) %s\n", 2, state.dataBase, "local", "sect", int(dataName.size()),
             dataName.data(), state.dataBaseSection, "$DATA");
    for (uint32_t i = 1; i < state.inputSymbolCount; ++i)
        if (state.symbolInfos[i].new_id != 0) dumpPlannedSymbol(ctx, state.symbolInfos[i].new_id, i);
    flushOut();
}

void dumpNewSymbol(SymbolContext& ctx, uint32_t newIndex) {
    const SymbolState& state = symState(ctx);
    const Elf32_Sym& symbol = state.newSymbols[newIndex];
    printOut("%4d:", int(newIndex));
    printSectionPart(symbol.st_value, symbol.st_info, dumpSectionName(ctx, symbol.st_shndx), symbol.st_shndx);
    // The new string table is built NUL-terminated name by name.
    const char* name = "";
    if (symbol.st_name < state.newStrings.size())
        name = reinterpret_cast<const char*>(state.newStrings.data()) + symbol.st_name;
    printOut(" %s", name);
    printSizePart(symbol.st_size);
}

void rewriteRelocationSymbols(SymbolContext& ctx, uint32_t inputSymbolCount) {
    const SymbolState& state = symState(ctx);
    if (inputSymbolCount > state.symbolInfos.size()) inputSymbolCount = uint32_t(state.symbolInfos.size());
    uint32_t count = sectionCount(ctx);
    for (uint32_t i = 1; i < count; ++i) {
        const Elf32_Shdr* header = sectionHeaderAt(ctx, i);
        if (!isRelocationSection(header)) continue;
        const EntrySpan<Elf32_Rela> rela = relocationEntries(ctx, i);
        for (uint32_t j = 0; j < rela.count; ++j) {
            Elf32_Rela& entry = rela[j];
            uint32_t type = relocationType(entry.r_info);
            uint32_t s = relocationSymbol(entry.r_info);
            if (type == R_PPC_NONE || s == 0 || s >= inputSymbolCount) continue;
            const SymbolInfo& info = state.symbolInfos[s];
            if (info.use_id != 0) {
                entry.r_info = (info.use_id << 8) + type;
                entry.r_addend = int32_t(uint32_t(entry.r_addend) + info.offset);
            } else {
                if (info.new_id == 0) dumpPlannedSymbol(ctx, 0, s);
                entry.r_info = (info.new_id << 8) + type;
            }
        }
    }
}

void buildNewSymbolTable(SymbolContext& ctx) {
    SymbolState& state = symState(ctx);
    SymbolTableView& tables = view(ctx);
    uint32_t entryCount = state.nextNewSymbolId;
    uint32_t stringSize = uint32_t(state.newStringTableSize);

    state.newSymbols.assign(entryCount, Elf32_Sym{});
    state.newStrings.assign(stringSize, 0);
    std::vector<Elf32_Sym>& symbols = state.newSymbols;
    uint8_t* strings = state.newStrings.data();

    std::memcpy(strings + 1, "$TEXT\0$DATA\0$UNDEF", 19);
    symbols[1].st_name = 1;
    symbols[1].st_value = state.textBase;
    symbols[1].st_info = (STB_LOCAL << 4) | STT_SECTION;
    symbols[1].st_shndx = uint16_t(state.textBaseSection);
    symbols[2].st_name = 7;
    symbols[2].st_value = state.dataBase;
    symbols[2].st_info = (STB_LOCAL << 4) | STT_SECTION;
    symbols[2].st_shndx = uint16_t(state.dataBaseSection);
    symbols[3].st_name = 13;
    symbols[3].st_info = (STB_GLOBAL << 4) | STT_OBJECT;

    uint32_t position = 20;
    for (uint32_t i = 1; i < state.inputSymbolCount; ++i) {
        const SymbolInfo& info = state.symbolInfos[i];
        if (info.new_id == 0) continue;
        const Elf32_Sym& input = tables.symbols[i];
        std::string_view name = nameOfSymbol(ctx, input);
        size_t length = name.size() < info.nameLength ? name.size() : info.nameLength;
        if (length) std::memcpy(strings + position, name.data(), length);
        Elf32_Sym& entry = symbols[info.new_id];
        entry = input;
        entry.st_name = position;
        position += info.nameLength + 1;
    }

    if (ctx.settings.verbose2) {
        printOut("\nNEW SYMBOL TABLE %d symbols symtab size = %d strtab size = %d\n", int(entryCount),
                 int(entryCount * 16), int(stringSize));
        printOut("\nNEW SYMBOL TABLE\n");
        for (uint32_t j = 1; j < entryCount; ++j) dumpNewSymbol(ctx, j);
        flushOut();
        if (ctx.settings.verbose3) dumpPlannedSymbolTable(ctx);
    }

    rewriteRelocationSymbols(ctx, state.inputSymbolCount);

    installSymbols(ctx, tables.symbolTableIndex, *tables.symbolTableHeader, state.newSymbols);
    installStrings(ctx, tables.stringTableIndex, *tables.stringTableHeader, state.newStrings);
    state.newSymbols.clear();
    state.newStrings.clear();
}

int rebuildSymbolTable(SymbolContext& ctx) {
    SymbolState& state = symState(ctx);
    SymbolTableView& tables = view(ctx);
    classifySectionsForSymbols(ctx);
    if (!tables.symbolTableHeader || tables.symbolCount <= 1) return 0;
    // The symbols as the section's contents hold them now (they may have
    // been given room of their own), never read past those contents.
    if (!viewSymbols(ctx, state.inputSymbolCount)) return 0;
    if (state.inputSymbolCount <= 1 || !tables.stringTableHeader) return 0;

    state.symbolInfos.assign(state.inputSymbolCount, SymbolInfo{});
    markRelocatedSymbols(ctx);
    analyseSymbols(ctx);
    numberKeptSymbols(ctx);
    if (state.newStringTableSize > 0xFFFFFFFFull) {
        printOut("***Error: the rebuilt string table of section %d \"%.*s\" would take 0x%llX bytes. Return -1.\n",
                 int(tables.stringTableIndex), int(dumpSectionName(ctx, tables.stringTableIndex).size()),
                 dumpSectionName(ctx, tables.stringTableIndex).data(),
                 static_cast<unsigned long long>(state.newStringTableSize));
        return -1;
    }
    buildNewSymbolTable(ctx);
    return 0;
}
