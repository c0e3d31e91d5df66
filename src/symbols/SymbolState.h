// The state of the symbol passes, and the context they take.
#pragma once

#include <cstdint>
#include <vector>

#include "elf/ElfFormat.h"
#include "elf/InputState.h"

// The view of the input's symbol table and its string table.
struct SymbolTableView {
    Elf32_Shdr* symbolTableHeader = nullptr;  // first SHT_SYMTAB section
    uint32_t symbolTableIndex = 0;
    Elf32_Shdr* stringTableHeader = nullptr;  // section named by its sh_link
    uint32_t stringTableIndex = 0;
    Elf32_Sym* symbols = nullptr;  // the symbol array (host order)
    uint32_t symbolCount = 0;      // sh_size / 16; index 0 is the null symbol
    const char* strings = nullptr;
    uint32_t stringSize = 0;
    // The string table's bytes as bound: when the table is also the
    // section-name table and is compacted in place, its sh_size shrinks, but
    // the names stored behind the compacted part are still there.
    const uint8_t* boundStrings = nullptr;
    uint32_t boundStringsReadable = 0;

    // Section-name table, looked up on first use.
    bool sectionNamesLoaded = false;
    const char* sectionNames = nullptr;
    uint32_t sectionNamesSize = 0;
};

// Role of an input section for the symbol rebuild.
struct SectionRole {
    uint8_t isImport = 0;
    uint8_t isExport = 0;
    uint8_t isTls = 0;
    uint32_t kind = 0;  // 0 text, 1 data, 2 import, 3 other
};

// Analysis of one input symbol for the symbol rebuild.
struct SymbolInfo {
    uint8_t export_ = 0;
    uint8_t import = 0;
    uint8_t func = 0;
    uint8_t code = 0;
    uint8_t data = 0;
    uint8_t sect = 0;
    uint8_t empty = 0;
    uint8_t undef = 0;
    uint8_t referenced = 0;
    uint8_t absolute = 0;
    uint8_t tls = 0;
    uint32_t nameLength = 0;
    uint32_t new_id = 0;
    uint32_t use_id = 0;
    uint32_t offset = 0;
};

struct SymbolState {
    SymbolTableView view;
    // How many relocations, symbols and links use each input section; the
    // module build counts them, the symbol passes drop what is unused.
    std::vector<uint32_t> sectionUses;

    std::vector<SectionRole> sectionRoles;
    std::vector<SymbolInfo> symbolInfos;
    uint32_t textBase = 0xFFFFFFFF;
    uint32_t dataBase = 0xFFFFFFFF;
    int32_t textBaseSection = -1;
    int32_t dataBaseSection = -1;

    // Numbering and the rebuilt tables while they are built.
    uint32_t inputSymbolCount = 0;      // symbol count before the rebuild
    uint32_t nextNewSymbolId = 4;       // after the null symbol and "$TEXT", "$DATA", "$UNDEF"
    uint64_t newStringTableSize = 20;   // NUL, "$TEXT", "$DATA", "$UNDEF" with their NULs
    std::vector<Elf32_Sym> newSymbols;  // host order
    std::vector<uint8_t> newStrings;
};

struct SymbolContext : ElfContext {
    SymbolState symbols;
};
