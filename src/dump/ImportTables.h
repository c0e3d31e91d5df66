// The module's symbol table and its import tables: which module each table
// imports from, its stored count and signature, and the ones recomputed from
// the symbols that lie in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dump/ModuleImage.h"

struct ModuleSymbol {
    uint32_t index = 0;
    std::string name;
    uint32_t value = 0, size = 0;
    uint8_t info = 0, other = 0;
    uint16_t shndx = 0;
};

// The symbols of the first SHT_SYMTAB section, names from its linked string
// table (empty when out of range), in table order; empty without one.
std::vector<ModuleSymbol> readSymbols(const ModuleImage& module);

struct ImportTable {
    uint32_t section = 0;
    std::string moduleName;  // at offset 8, up to its NUL
    bool nameTerminated = false;
    bool headerKnown = false;  // the contents hold the two header words
    uint32_t count = 0, signature = 0;                  // as stored
    uint32_t computedCount = 0, computedSignature = 0;  // from the symbols
    std::vector<const ModuleSymbol*> imports;           // in slot order
    bool hasSectionSymbol = false;  // its slots start at offset 8
};

std::vector<ImportTable> readImportTables(const ModuleImage& module, const std::vector<ModuleSymbol>& symbols);
