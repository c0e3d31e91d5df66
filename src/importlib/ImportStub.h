// The import stub object built from the export tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The stub object laid out in memory: `image` holds the whole object
// (total size bytes, a multiple of 64) exactly as it is written.
struct ImportStub {
    std::vector<uint8_t> image;
};

// 0 and the stub, or -1 after an error line.
int buildImportStub(uint32_t functionExports, uint32_t dataExports, uint32_t dataExportRelocations,
                    const std::string& moduleName, ImportStub& stub);
