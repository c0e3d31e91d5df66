// The import stub object built from the export tables.
#pragma once

#include "symbols/SymbolState.h"

#include <cstdint>
#include <string>
#include <vector>

// One section of the stub: where it lies in the object, and how many of its
// bytes are written (an import table section writes its 8 header bytes and
// the module name; the zero fill supplies the rest).
struct ImportStubSection {
    uint32_t offset = 0;
    uint32_t size = 0;
    uint32_t writtenLength = 0;
};

// The stub object laid out in memory: `image` holds the whole object
// (total size bytes, a multiple of 64) exactly as it is written, in the
// input's byte order.
struct ImportStub {
    std::vector<uint8_t> image;
    bool littleEndian = false;
    uint32_t sectionCount = 0;  // N, the null section included
    uint32_t shoff = 0;         // e_shoff
    std::vector<ImportStubSection> sections;  // N entries
};

// 0 and the stub, or -1 after an error line. Section indexes are 0 for a
// table that is absent; at least one export table is given.
int buildImportStub(SymbolContext& ctx, uint32_t functionExports, uint32_t dataExports, uint32_t dataExportRelocations,
                    const std::string& moduleName, ImportStub& stub);
